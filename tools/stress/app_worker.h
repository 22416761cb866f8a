// One application thread of a life.
#pragma once

#include "tools/stress/life_context.h"

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace lives {

class AppCrew;

enum class Role {
    Writer,  // writes the checked stream on the first loopback OUT pipe
    Reader,  // the only reader of a checked life, on the first loopback IN pipe
    Chaos,   // anything else, on any handle
};

class Worker {
public:
    Worker(LifeContext& life, AppCrew& crew, Role role, int index, uint64_t seed);
    void Run();
    void CloseHandles();  // only while the thread is parked

private:
    struct OpenHandle {
        emu::Handle handle;
        int pipe;
    };

    void Once();
    void WriteStream();
    void ReadStream();
    void OpenRandom();
    void CloseRandom();
    void ChaosTransfer(bool read);
    void Control();
    void CancelAnyone();
    void CloseWhileBusy();

    emu::Handle HandleFor(int pipe);  // opens one when there is none; 0 if that fails
    emu::Handle Open(int pipe, RequestKind kind);  // checks the open and keeps the handle; 0 if it fails
    const OpenHandle* RandomHandle();
    void Forget(emu::Handle handle);
    bool MayRead(int pipe) const;
    bool MayWrite(int pipe) const;
    RequestKind TransferKind(int pipe, bool read) const;

    // Waits for a request (cancelling it at a random moment when asked) and
    // checks its outcome.
    emu::IoResult Finish(emu::PendingIo& io, bool cancel, RequestKind kind, ULONG length, LifeContext::Mark mark);
    // Sends a control code on `handle` and checks its outcome.
    emu::IoResult Control(emu::Handle handle, int pipe, ULONG code, ULONG outLength);
    // After a failed transfer: what an application does to get its pipe going again.
    void Recover(emu::Handle handle, int pipe, bool read, NTSTATUS status);

    LifeContext& life_;
    AppCrew& crew_;
    const Role role_;
    const std::string name_;
    std::mt19937_64 random_;
    std::vector<OpenHandle> handles_;
};

}  // namespace lives
