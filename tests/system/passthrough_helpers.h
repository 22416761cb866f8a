// What the tests of the PnP manager and the full life share about the
// pass-through driver: what it saw, reset before each machine; its PnP log;
// its handles.
#pragma once

#include "tests/system/passthrough/passthrough.h"
#include "tests/system/system_fixture.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace system_test {

// Pipes of the built-in device's interface (pinned by
// BuiltinDevice.HasTheDocumentedInterfaceAndEndpoints): a loopback pair, and
// an IN pipe nothing is ever written for, whose reads wait on the bus.
constexpr int kOutPipe = 0;     // 0x01
constexpr int kInPipe = 1;      // 0x81
constexpr int kSilentPipe = 4;  // 0x82

class PassthroughTest : public SystemTest {
protected:
    void BeforeBoot() override { std::memset(static_cast<void*>(&PassthroughSeen), 0, sizeof(PassthroughSeen)); }

    emu::Machine& Start(emu::MachineOptions options = {})
    {
        emu::Machine& m = Boot(std::move(options));
        EXPECT_EQ(m.BringUp(PassthroughDriverEntry), STATUS_SUCCESS);
        return m;
    }

    // The device (pipe < 0) or one of its pipes.
    emu::Handle Open(int pipe = -1)
    {
        const std::string path = "\\\\.\\passthru" + (pipe < 0 ? "" : "\\PIPE" + std::to_string(pipe));
        emu::Handle handle = 0;
        EXPECT_EQ(machine().app().Open(std::string_view(path), &handle), STATUS_SUCCESS) << path;
        return handle;
    }

    // The minor codes of IRP_MJ_PNP in arrival order; the last `count` only
    // when given.
    static std::vector<UCHAR> PnpLog(size_t count = SIZE_MAX)
    {
        const size_t logged = std::min<size_t>(PassthroughSeen.PnpLogCount, sizeof(PassthroughSeen.PnpLog));
        return std::vector<UCHAR>(PassthroughSeen.PnpLog + logged - std::min(count, logged),
                                  PassthroughSeen.PnpLog + logged);
    }
};

}  // namespace system_test
