#include "tools/session/executor.h"

#include "tools/session/descriptors.h"
#include "tools/session/pipe_table.h"
#include "tools/session/status_names.h"
#include "tools/session/text.h"

#include <algorithm>

namespace session {
namespace {

using Clock = std::chrono::steady_clock;

std::string HandleName(int handle)
{
    return "h" + std::to_string(handle);
}

std::vector<uint8_t> WriteData(const Command& command)
{
    return command.hasBytes ? command.bytes : CountingPattern(command.length);
}

constexpr uint32_t kStatusInvalidHandle = 0xC0000008;

// Why an expectation did not hold, beyond the status the line shows.
std::string Mismatch(const Command& expect, const Result& last)
{
    if (expect.expectsInformation && last.information != expect.information)
        return "Information " + std::to_string(last.information) + ", expected " + std::to_string(expect.information);
    if (!expect.expectsData)
        return {};
    if (!last.hasData)
        return "the result before it carries no data";
    auto differ = std::mismatch(last.data.begin(), last.data.end(), expect.bytes.begin(), expect.bytes.end());
    if (differ.first == last.data.end() && differ.second == expect.bytes.end())
        return {};
    return std::to_string(last.data.size()) + " bytes, expected " + std::to_string(expect.bytes.size()) +
           "; first difference at byte " + std::to_string(differ.first - last.data.begin());
}

}  // namespace

Executor::Executor(Backend& backend, Printer& printer, ExecutorOptions options)
    : backend_(backend), printer_(printer), options_(std::move(options))
{
}

bool Executor::CheckSupported(const std::vector<Command>& commands, std::string* error) const
{
    for (const auto& command : commands) {
        if (backend_.Supports(command.verb))
            continue;
        *error = command.Where() + ": '" + std::string(VerbWord(command.verb)) +
                 "' needs the emulator (pondrel-sim); a real device takes open, open-interface, close, write, "
                 "read, write&, read&, ioctl, cancel, loopback, pipes, expect and wait";
        return false;
    }
    return true;
}

bool Executor::Run(const std::vector<Command>& commands, std::string* error)
{
    for (const auto& command : commands) {
        if (!Execute(command, error))
            return false;
    }
    return true;
}

bool Executor::Execute(const Command& command, std::string* error)
{
    if (options_.beforeCommand)
        options_.beforeCommand(command);
    if (command.verb != Verb::Expect)
        SettleFailures();
    switch (command.verb) {
    case Verb::Open:
    case Verb::OpenInterface: RunOpen(command); return true;
    case Verb::Close: RunClose(command); return true;
    case Verb::Write: RunWrite(command); return true;
    case Verb::Read: RunRead(command); return true;
    case Verb::WriteAsync:
    case Verb::ReadAsync: RunStart(command); return true;
    case Verb::Ioctl: RunIoctl(command); return true;
    case Verb::Cancel: RunCancel(command); return true;
    case Verb::Loopback: RunLoopback(command); return true;
    case Verb::Pipes: RunPipes(command); return true;
    case Verb::Expect: return RunExpect(command, error);
    case Verb::Wait: RunWait(command); return true;
    default: RunLifecycle(command); return true;
    }
}

bool Executor::Lookup(const Command& command, int handle, BackendHandle* found)
{
    auto entry = handles_.find(handle);
    if (entry != handles_.end()) {
        *found = entry->second;
        return true;
    }
    Result result;
    result.cmd = command.text;
    result.status = kStatusInvalidHandle;
    result.note = HandleName(handle) + " is not an open handle";
    Emit(std::move(result));
    return false;
}

void Executor::Emit(Result result)
{
    printer_.Print(result);
    if (!IsSuccess(result.status))
        unchecked_.push_back(result.status);
    last_ = std::move(result);
}

void Executor::SettleFailures()
{
    unexpectedFailures_ += static_cast<int>(unchecked_.size());
    unchecked_.clear();
}

Result Executor::FromOutcome(const Command& command, const Outcome& outcome) const
{
    Result result;
    result.cmd = command.text;
    result.status = outcome.status;
    result.information = outcome.information;
    result.note = outcome.note;
    result.table = outcome.table;
    result.figures = outcome.figures;
    return result;
}

void Executor::RunOpen(const Command& command)
{
    BackendHandle handle = 0;
    Outcome outcome = command.verb == Verb::OpenInterface ? backend_.OpenInterface(command.name, &handle)
                                                          : backend_.Open(command.name, &handle);
    ++requestsRun_;
    Result result = FromOutcome(command, outcome);
    if (IsSuccess(outcome.status)) {
        handles_[nextHandle_] = handle;
        result.handle = HandleName(nextHandle_++);
    }
    Emit(std::move(result));
}

template <typename Call>
void Executor::OnHandle(const Command& command, Call call)
{
    BackendHandle handle = 0;
    if (!Lookup(command, command.handle, &handle))
        return;
    ++requestsRun_;
    call(handle);
}

void Executor::RunClose(const Command& command)
{
    OnHandle(command, [&](BackendHandle handle) {
        Outcome outcome = backend_.Close(handle);
        handles_.erase(command.handle);
        Emit(FromOutcome(command, outcome));
    });
}

void Executor::RunWrite(const Command& command)
{
    OnHandle(command, [&](BackendHandle handle) {
        Emit(FromOutcome(command, backend_.Write(handle, WriteData(command))));
    });
}

void Executor::RunRead(const Command& command)
{
    OnHandle(command, [&](BackendHandle handle) {
        Outcome outcome = backend_.Read(handle, static_cast<uint32_t>(command.length));
        Result result = FromOutcome(command, outcome);
        result.hasData = true;
        result.data = std::move(outcome.data);
        Emit(std::move(result));
    });
}

void Executor::RunIoctl(const Command& command)
{
    OnHandle(command, [&](BackendHandle handle) {
        Outcome outcome = backend_.Ioctl(handle, command.code, static_cast<uint32_t>(command.length));
        Result result = FromOutcome(command, outcome);
        result.hasData = command.code == IoctlFetchConfiguration || !outcome.data.empty();
        result.data = std::move(outcome.data);
        if (command.code == IoctlFetchConfiguration && IsSuccess(result.status))
            result.decoded = DescribeDescriptors({}, result.data);
        Emit(std::move(result));
    });
}

void Executor::RunStart(const Command& command)
{
    OnHandle(command, [&](BackendHandle handle) {
        bool isRead = command.verb == Verb::ReadAsync;
        auto request = isRead ? backend_.StartRead(handle, static_cast<uint32_t>(command.length))
                              : backend_.StartWrite(handle, WriteData(command));
        Started started{"r" + std::to_string(nextRequest_++), command.text, command.handle, isRead,
                        std::move(request)};
        Result result;
        result.cmd = command.text;
        result.status = StatusPending;
        result.request = started.name;
        started_.push_back(std::move(started));
        Emit(std::move(result));
    });
}

size_t Executor::Collect(std::chrono::milliseconds timeout, std::optional<int> handle, std::vector<Result>* ended)
{
    auto deadline = Clock::now() + timeout;
    size_t left = 0;
    std::vector<Started> still;
    for (auto& started : started_) {
        if (handle && started.handle != *handle) {
            still.push_back(std::move(started));
            continue;
        }
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (!started.request->Wait(std::max(remaining, std::chrono::milliseconds(0)))) {
            ++left;
            still.push_back(std::move(started));
            continue;
        }
        Outcome outcome = started.request->Result();
        Result result;
        result.cmd = started.cmd;
        result.status = outcome.status;
        result.information = outcome.information;
        result.request = started.name;
        result.done = true;
        result.hasData = started.isRead;
        result.data = std::move(outcome.data);
        ended->push_back(std::move(result));
    }
    started_ = std::move(still);
    return left;
}

size_t Executor::Drain(std::chrono::milliseconds timeout)
{
    std::vector<Result> ended;
    size_t left = Collect(timeout, std::nullopt, &ended);
    for (auto& result : ended)
        Emit(std::move(result));
    return left;
}

void Executor::RunCancel(const Command& command)
{
    OnHandle(command, [&](BackendHandle handle) {
        Outcome outcome = backend_.Cancel(handle);
        std::vector<Result> ended;
        size_t left = Collect(options_.cancelWait, command.handle, &ended);
        Result result = FromOutcome(command, outcome);
        if (left)
            result.note = std::to_string(left) + " request(s) still in flight";
        Emit(std::move(result));
        for (auto& line : ended)
            Emit(std::move(line));
    });
}

void Executor::RunPipes(const Command& command)
{
    OnHandle(command, [&](BackendHandle handle) {
        Outcome outcome = backend_.Ioctl(handle, IoctlFetchConfiguration, 65535);
        Result result = FromOutcome(command, outcome);
        result.hasData = true;
        result.data = std::move(outcome.data);
        if (IsSuccess(result.status)) {
            auto pipes = PipeTable(result.data);
            result.table = PipeTableText(pipes);
            result.figures.emplace_back("pipes", PipeTableJson(pipes));
        }
        Emit(std::move(result));
    });
}

void Executor::RunWait(const Command& command)
{
    std::vector<Result> ended;
    size_t left = Collect(std::chrono::milliseconds(command.milliseconds), std::nullopt, &ended);
    Result result;
    result.cmd = command.text;
    result.status = left ? StatusTimeout : StatusSuccess;
    result.information = left;
    if (left)
        result.note = std::to_string(left) + " request(s) still in flight";
    Emit(std::move(result));
    for (auto& line : ended)
        Emit(std::move(line));
}

bool Executor::RunExpect(const Command& command, std::string* error)
{
    if (!last_) {
        *error = command.Where() + ": 'expect' has no result before it to check";
        return false;
    }
    bool statusHeld = !command.expectsStatus || last_->status == command.status;
    std::string mismatch = Mismatch(command, *last_);
    bool held = statusHeld && mismatch.empty();
    held ? ++expectsHeld_ : ++expectsFailed_;
    // The failures printed since the last command are expected once an
    // expectation of their status holds.
    if (held && command.expectsStatus)
        std::erase(unchecked_, command.status);
    Result result;
    result.cmd = command.text;
    result.status = last_->status;
    result.information = last_->information;
    result.held = held;
    result.note = mismatch;
    printer_.Print(result);
    return true;
}

void Executor::RunLifecycle(const Command& command)
{
    Outcome outcome = backend_.Lifecycle(command);
    ++requestsRun_;
    Emit(FromOutcome(command, outcome));
}

void Executor::RunLoopback(const Command& command)
{
    BackendHandle out = 0;
    BackendHandle in = 0;
    if (!Lookup(command, command.handle, &out) || !Lookup(command, command.inHandle, &in))
        return;
    Result result;
    result.cmd = command.text;
    auto begin = Clock::now();
    const std::optional<double> busBegin = backend_.BusSeconds();
    uint64_t checked = 0;
    std::string failure;  // what went wrong, for people
    while (checked < command.length) {
        auto chunk = static_cast<uint32_t>(std::min<uint64_t>(command.chunk, command.length - checked));
        auto sent = CountingPattern(chunk, checked);
        Outcome wrote = backend_.Write(out, sent);
        Outcome got = IsSuccess(wrote.status) ? backend_.Read(in, chunk) : wrote;
        requestsRun_ += IsSuccess(wrote.status) ? 2 : 1;
        result.status = got.status;
        if (!IsSuccess(got.status)) {
            failure = std::string(IsSuccess(wrote.status) ? "the read" : "the write") + " of " + ReadableSize(chunk) +
                      " at byte " + std::to_string(checked) + " ended with " + StatusName(got.status) +
                      (got.note.empty() ? "" : " (" + got.note + ")");
            break;
        }
        auto mismatch = std::mismatch(sent.begin(), sent.end(), got.data.begin(), got.data.end());
        if (got.information != chunk || mismatch.first != sent.end()) {
            result.status = StatusDataError;
            failure = got.information != chunk && mismatch.first == got.data.end()
                          ? "the read at byte " + std::to_string(checked) + " returned " +
                                std::to_string(got.information) + " of " + std::to_string(chunk) + " bytes"
                          : "first difference at byte " +
                                std::to_string(checked + static_cast<uint64_t>(mismatch.first - sent.begin()));
            break;
        }
        checked += chunk;
        if (options_.progress)
            options_.progress(checked, command.length);
    }
    // On an emulated bus the figure is the bus's own time, the same run after run.
    const std::optional<double> busEnd = backend_.BusSeconds();
    double seconds = busBegin && busEnd ? *busEnd - *busBegin : std::chrono::duration<double>(Clock::now() - begin).count();
    double megabytesPerSecond = seconds > 0 ? static_cast<double>(checked) / seconds / 1e6 : 0;
    result.information = checked;
    result.figures = {{"seconds", Fixed(seconds, 6)}, {"mb_per_s", Fixed(megabytesPerSecond, 1)}};
    if (failure.empty())
        result.note = ReadableSize(checked) + " checked in " + Fixed(seconds, 3) + " s, " + Fixed(megabytesPerSecond, 1) +
                      " MB/s";
    else
        result.note = failure + "; " + ReadableSize(checked) + " of " + ReadableSize(command.length) + " checked before";
    Emit(std::move(result));
}

std::vector<BackendHandle> Executor::OpenHandles() const
{
    std::vector<BackendHandle> open;
    for (const auto& [number, handle] : handles_)
        open.push_back(handle);
    return open;
}

}  // namespace session
