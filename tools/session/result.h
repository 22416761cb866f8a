// The outcome of one command as it is printed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace session {

struct Result {
    std::string cmd;  // the command as written
    uint32_t status = 0;
    uint64_t information = 0;
    std::string handle;         // open: the handle it gave ("h1")
    std::string request;        // write&/read&: the request's name ("r1")
    bool done = false;          // the line reports a request started with & that has ended
    bool hasData = false;       // reads and fetch-config carry data
    std::vector<uint8_t> data;
    std::optional<bool> held;   // expect: whether it held
    std::vector<std::pair<std::string, std::string>> figures;  // more JSON fields, values already JSON
    std::string note;           // a few words for people, after the human line
    std::string table;          // lines for people under the result line (pipes)
    std::string decoded;        // with -v: the data decoded, shown instead of its hex dump
};

}  // namespace session
