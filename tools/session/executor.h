// Runs a session's commands against a backend and prints one result line
// for each; keeps the handles (h1, h2, ...), the requests started with &
// (r1, r2, ...) and the tally of expectations.
#pragma once

#include "tools/session/backend.h"
#include "tools/session/command.h"
#include "tools/session/printer.h"
#include "tools/session/result.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace session {

struct ExecutorOptions {
    // Called after each chunk of a loopback, with the bytes checked so far.
    std::function<void(uint64_t done, uint64_t total)> progress;
    // Called before each command runs (pondrel-sim marks the trace with it).
    std::function<void(const Command&)> beforeCommand;
    // How long `cancel` waits for the cancelled requests to end.
    std::chrono::milliseconds cancelWait{5000};
};

class Executor {
public:
    Executor(Backend& backend, Printer& printer, ExecutorOptions options = {});

    // "file:line: ..." for the first command the backend cannot run.
    bool CheckSupported(const std::vector<Command>& commands, std::string* error) const;

    // Runs the commands in order. A command on a handle that is not open
    // gives a result line with STATUS_INVALID_HANDLE. Stops with `error` set
    // ("file:line: ...") only at an expect with nothing before it to check.
    bool Run(const std::vector<Command>& commands, std::string* error);
    bool Execute(const Command& command, std::string* error);

    // Waits up to `timeout` for the requests started with & and prints each
    // one that has ended; returns how many are still in flight.
    size_t Drain(std::chrono::milliseconds timeout);

    // The handles still open, for the teardown after a session.
    std::vector<BackendHandle> OpenHandles() const;

    // Result lines with a failure status that no expect after them covered.
    int UnexpectedFailures() const { return unexpectedFailures_ + static_cast<int>(unchecked_.size()); }
    int ExpectsHeld() const { return expectsHeld_; }
    int ExpectsFailed() const { return expectsFailed_; }
    uint64_t RequestsRun() const { return requestsRun_; }
    const std::optional<Result>& LastResult() const { return last_; }

private:
    struct Started {
        std::string name;  // r1, r2, ...
        std::string cmd;
        int handle;
        bool isRead;
        std::unique_ptr<PendingRequest> request;
    };

    // The backend's handle for hN, or a STATUS_INVALID_HANDLE result line.
    bool Lookup(const Command& command, int handle, BackendHandle* found);
    // Looks up the command's handle, counts the request and runs `call` on it.
    template <typename Call>
    void OnHandle(const Command& command, Call call);
    void Emit(Result result);
    // The failures printed so far that no expect took up become unexpected.
    void SettleFailures();
    Result FromOutcome(const Command& command, const Outcome& outcome) const;

    void RunOpen(const Command& command);
    void RunClose(const Command& command);
    void RunWrite(const Command& command);
    void RunRead(const Command& command);
    void RunIoctl(const Command& command);
    void RunStart(const Command& command);
    void RunCancel(const Command& command);
    void RunLoopback(const Command& command);
    void RunPipes(const Command& command);
    bool RunExpect(const Command& command, std::string* error);
    void RunWait(const Command& command);
    void RunLifecycle(const Command& command);

    // Prints the started requests (all, or those on one handle) that have
    // ended within `timeout`, and forgets them.
    size_t Collect(std::chrono::milliseconds timeout, std::optional<int> handle, std::vector<Result>* ended);

    Backend& backend_;
    Printer& printer_;
    ExecutorOptions options_;
    std::map<int, BackendHandle> handles_;
    int nextHandle_ = 1;
    std::vector<Started> started_;
    int nextRequest_ = 1;
    std::optional<Result> last_;
    std::vector<uint32_t> unchecked_;  // failure statuses printed since the last command but expect
    int unexpectedFailures_ = 0;
    int expectsHeld_ = 0;
    int expectsFailed_ = 0;
    uint64_t requestsRun_ = 0;
};

}  // namespace session
