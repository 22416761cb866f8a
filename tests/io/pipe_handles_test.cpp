// Opening the device or a pipe by name, and what cleanup and close do.
#include "tests/io/io_fixture.h"

#include "driver/entry_points.h"
#include "emulator/kernel/system.h"

namespace io_test {
namespace {

std::string Narrow(std::u16string_view text)
{
    return std::string(text.begin(), text.end());
}

class ManyPipes : public IoFixture {
protected:
    emu::usb::DeviceModel Model() override { return ManyPipesModel(7); }

    void ExpectNoFlagSet()
    {
        for (ULONG pipe = 0; pipe < Context()->InterfaceInfo->NumberOfPipes; ++pipe) {
            EXPECT_EQ(Context()->PipeOpenFlags[pipe], 0) << "pipe " << pipe;
        }
    }

    // A create, and for a successful one cleanup and close, on a file object
    // whose name is `length` bytes of `name`. Returns the create's result and
    // the pipe index its FsContext pointed at (-1 for none).
    std::pair<emu::IoResult, int> RawOpenAndClose(std::u16string_view name, USHORT length)
    {
        PFILE_OBJECT file = emu::CreateFileObject(Fdo(), name);
        file->FileName.Length = length;
        const emu::IoResult created = SendRaw(IRP_MJ_CREATE, file);
        int pipe = -1;
        if (file->FsContext) {
            pipe = static_cast<int>(static_cast<PUSBD_PIPE_INFORMATION>(file->FsContext) - Context()->InterfaceInfo->Pipes);
        }
        if (NT_SUCCESS(created.status)) {
            EXPECT_EQ(SendRaw(IRP_MJ_CLEANUP, file).status, STATUS_SUCCESS);
            EXPECT_EQ(SendRaw(IRP_MJ_CLOSE, file).status, STATUS_SUCCESS);
        }
        emu::DeleteFileObject(file);
        return {created, pipe};
    }
};

// A name opens the pipe its last run of digits names, read as a number
// modulo 2^32; -1: the name is refused with STATUS_INVALID_PARAMETER.
TEST_F(ManyPipes, NameOpensThePipeOfItsLastRunOfDigits)
{
    const struct {
        std::u16string_view name;
        int pipe;
    } cases[] = {
        {u"\\PIPE03", 3}, {u"\\PIPE5X", 5}, {u"\\0005", 5}, {u"\\PIPE1", 1}, {u"\\P9Q2", 2},
        {u"\\4294967296", 0},            // 2^32
        {u"\\4294967301", 5},            // 2^32 + 5
        {u"\\18446744073709551620", 4},  // 2^64 + 4: place values wrap too
        {u"\\00000000000000000000000000000000000004", 4},
        {u"\\PIPE6", -1}, {u"\\12", -1}, {u"\\PIPE", -1}, {u"\\", -1},
        {u"\\4294967302", -1},  // 2^32 + 6
    };
    for (const auto& [name, pipe] : cases) {
        SCOPED_TRACE(Narrow(name));
        emu::Handle handle = 0;
        const NTSTATUS status = Open(name, &handle);
        if (pipe < 0) {
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
            ExpectNoFlagSet();
            continue;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(app().FileObjectOf(handle)->FsContext, Context()->InterfaceInfo->Pipes + pipe);
        EXPECT_EQ(Context()->PipeOpenFlags[pipe], 1);

        const uint8_t byte = 0x5A;
        EXPECT_EQ(app().Write(handle, &byte, 1).status, STATUS_SUCCESS);
        EXPECT_EQ(device().Urbs().back().endpoint, pipe + 1) << "the write went to another pipe";

        Close(handle);
        EXPECT_EQ(Context()->PipeOpenFlags[pipe], 0);
    }
}

TEST_F(ManyPipes, OddLengthDropsTheLastByte)
{
    const struct {
        std::u16string_view name;
        USHORT length;
        int pipe;
    } cases[] = {
        {u"3", 1, -1},      // not empty, and no whole character
        {u"\\3", 3, -1},    // the digit lies in the dropped half
        {u"\\3", 4, 3},
        {u"\\35", 5, 3},    // "\3" and half of "5"
        {u"\\P2X", 7, 2},
    };
    for (const auto& [name, length, pipe] : cases) {
        SCOPED_TRACE(Narrow(name) + " with length " + std::to_string(length));
        const auto [created, opened] = RawOpenAndClose(name, length);
        EXPECT_EQ(created.status, pipe < 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
        EXPECT_EQ(created.information, 0u);
        EXPECT_EQ(opened, pipe);
        ExpectNoFlagSet();
    }
}

// The empty name opens the device and sets no flag; closing the device
// handle leaves the pipes' flags alone, and the first close of two handles
// to a pipe clears its flag while the other handle still writes.
TEST_F(ManyPipes, FlagsFollowThePipeHandles)
{
    const emu::Handle deviceHandle = OpenOk(u"");
    EXPECT_EQ(app().FileObjectOf(deviceHandle)->FsContext, nullptr);
    ExpectNoFlagSet();
    const emu::Handle first = OpenOk(u"\\PIPE1");
    const emu::Handle second = OpenOk(u"\\pipe1");
    Close(deviceHandle);
    EXPECT_EQ(Context()->PipeOpenFlags[1], 1) << "closing the device handle touched a pipe's flag";
    Close(first);
    EXPECT_EQ(Context()->PipeOpenFlags[1], 0);

    const auto data = Pattern(100, 1);
    const auto result = app().Write(second, data.data(), 100);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 100u);
    EXPECT_EQ(device().ReceivedOut(0x02), data);
}

// The pipe index must name a byte of PipeOpenFlags, which has one byte per
// pipe: an index below six but not below the pipe count names nothing.
class TwoPipes : public IoFixture {
protected:
    emu::usb::DeviceModel Model() override { return ManyPipesModel(2); }
};

// A close of a pipe handle whose name says 5 must not touch
// PipeOpenFlags[5] either, past the two-byte block (the pool's guard bytes
// would tell).
TEST_F(TwoPipes, IndexNotBelowThePipeCountNamesNoPipe)
{
    for (std::u16string_view name : {u"\\2", u"\\3", u"\\PIPE5"}) {
        emu::Handle handle = 0;
        EXPECT_EQ(Open(name, &handle), STATUS_INVALID_PARAMETER) << Narrow(name);
    }
    EXPECT_EQ(Context()->PipeOpenFlags[0] | Context()->PipeOpenFlags[1], 0);
    const emu::Handle handle = OpenOk(u"\\1");
    EXPECT_EQ(Context()->PipeOpenFlags[1], 1);
    PFILE_OBJECT file = emu::CreateFileObject(Fdo(), u"\\PIPE5");
    file->FsContext = app().FileObjectOf(handle)->FsContext;
    EXPECT_EQ(SendRaw(IRP_MJ_CLOSE, file).status, STATUS_SUCCESS);
    emu::DeleteFileObject(file);
    EXPECT_EQ(Context()->PipeOpenFlags[1], 1);
}

// Every state but DeviceRunning refuses a create, the empty name included,
// while cleanup and close of handles opened before succeed.
class Lifecycle : public IoFixture {
protected:
    bool StartAtSetUp() override { return false; }

    void ExpectCreatesRefused(DEVICE_PNP_STATE state)
    {
        SCOPED_TRACE("state " + std::to_string(state));
        ASSERT_EQ(Context()->PnpState, state);
        for (std::u16string_view name : {u"", u"\\PIPE1"}) {
            emu::Handle handle = 0;
            EXPECT_EQ(Open(name, &handle), STATUS_INVALID_DEVICE_STATE) << Narrow(name);
        }
    }
};

TEST_F(Lifecycle, CreateRefusedInEveryStateButRunning)
{
    ASSERT_EQ(machine().LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(machine().pnp().AddDevice(), STATUS_SUCCESS);
    ExpectCreatesRefused(DeviceNew);

    ASSERT_EQ(machine().pnp().Start(), STATUS_SUCCESS);
    emu::Handle kept = OpenOk(u"\\PIPE1");
    ASSERT_EQ(machine().pnp().QueryStop(), STATUS_SUCCESS);
    ExpectCreatesRefused(DeviceStopPending);
    Close(kept);

    ASSERT_EQ(machine().pnp().Stop(), STATUS_SUCCESS);
    ExpectCreatesRefused(DeviceStopped);

    ASSERT_TRUE(NT_SUCCESS(machine().pnp().Start()));  // a restart may report the interface enabled already
    ASSERT_EQ(Context()->PnpState, DeviceRunning);
    kept = OpenOk(u"\\PIPE1");
    ASSERT_EQ(machine().pnp().QueryRemove(), STATUS_SUCCESS);
    ExpectCreatesRefused(DeviceRemovePending);
    Close(kept);

    ASSERT_EQ(machine().pnp().CancelRemove(), STATUS_SUCCESS);
    kept = OpenOk(u"\\PIPE1");
    const emu::Handle device = OpenOk(u"");
    ASSERT_EQ(machine().pnp().SurpriseRemove(), STATUS_SUCCESS);
    ExpectCreatesRefused(DeviceSurpriseRemoved);
    Close(kept);

    // After removal the name is gone: only a request sent to the device
    // object, which the open device handle keeps, reaches the driver.
    ASSERT_EQ(machine().pnp().Remove(), STATUS_SUCCESS);
    ASSERT_EQ(Context()->PnpState, DeviceRemoved);
    PFILE_OBJECT file = emu::CreateFileObject(Fdo(), u"");
    EXPECT_EQ(SendRaw(IRP_MJ_CREATE, file).status, STATUS_INVALID_DEVICE_STATE);
    emu::DeleteFileObject(file);
    Close(device);
}

}  // namespace
}  // namespace io_test
