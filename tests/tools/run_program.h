// Runs a program to its end and gives back its exit status and output.
#pragma once

#include <string>
#include <vector>

namespace tools_test {

struct ProgramRun {
    int exitCode = -1;  // -1 when it did not run or end normally
    std::string out;
    std::string err;
    std::vector<std::string> OutLines() const;
};

ProgramRun RunProgram(const std::vector<std::string>& arguments);

// A file in the temporary folder that is removed with the object.
class TempFile {
public:
    explicit TempFile(const std::string& suffix, const std::string& contents = {});
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& Path() const { return path_; }
    std::string Read() const;

private:
    std::string path_;
};

}  // namespace tools_test
