// Opening the device or a pipe by name, and what cleanup and close do.
#include "tests/io/io_fixture.h"

#include "driver/entry_points.h"
#include "emulator/kernel/system.h"

namespace io_test {
namespace {

// One interface of seven bulk OUT pipes (sinks) on endpoints 0x01 to 0x07.
class ManyPipes : public IoFixture {
protected:
    emu::usb::DeviceModel Model() override
    {
        std::string error;
        const auto model = emu::usb::DeviceModel::Parse(
            "device 12 01 00 02 00 00 00 40 09 12 01 00 00 01 00 00 00 01\n"
            "config 09 02 43 00 01 01 00 80 32  09 04 00 00 07 ff 00 00 00\n"
            "  07 05 01 02 00 02 00  07 05 02 02 00 02 00  07 05 03 02 00 02 00  07 05 04 02 00 02 00\n"
            "  07 05 05 02 00 02 00  07 05 06 02 00 02 00  07 05 07 02 00 02 00\n",
            "seven-pipes", &error);
        EXPECT_TRUE(model) << error;
        return model.value();
    }
};

// A name opens the pipe its last run of digits names, read as a number
// modulo 2^32; an odd name length drops the last byte. -1: the name is
// refused with STATUS_INVALID_PARAMETER. Open sets the pipe's flag, cleanup
// and close clear it.
TEST_F(ManyPipes, NameOpensThePipeOfItsLastRunOfDigits)
{
    const struct {
        std::u16string_view name;
        int pipe;
        USHORT length = 0;  // 0: the whole name
    } cases[] = {
        {u"\\PIPE03", 3}, {u"\\PIPE5X", 5}, {u"\\0005", 5}, {u"\\PIPE1", 1}, {u"\\P9Q2", 2},
        {u"\\4294967296", 0},            // 2^32
        {u"\\4294967301", 5},            // 2^32 + 5
        {u"\\18446744073709551620", 4},  // 2^64 + 4: place values wrap too
        {u"\\00000000000000000000000000000000000004", 4},
        {u"\\PIPE6", -1}, {u"\\12", -1}, {u"\\PIPE", -1}, {u"\\", -1},
        {u"\\4294967302", -1},  // 2^32 + 6
        {u"3", -1, 1},          // not empty, and no whole character
        {u"\\3", -1, 3},        // the digit lies in the dropped half
        {u"\\3", 3, 4}, {u"\\35", 3, 5}, {u"\\P2X", 2, 7},
    };
    for (const auto& c : cases) {
        const auto length = static_cast<USHORT>(c.length ? c.length : c.name.size() * sizeof(char16_t));
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()) + " with length " + std::to_string(length));
        PFILE_OBJECT file = emu::CreateFileObject(Fdo(), c.name);
        file->FileName.Length = length;
        const emu::IoResult created = SendRaw(IRP_MJ_CREATE, file);
        EXPECT_EQ(created.status, c.pipe < 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
        EXPECT_EQ(created.information, 0u);
        if (c.pipe >= 0) {
            EXPECT_EQ(file->FsContext, Context()->InterfaceInfo->Pipes + c.pipe);
            EXPECT_EQ(Context()->PipeOpenFlags[c.pipe], 1);
            EXPECT_EQ(SendRaw(IRP_MJ_CLEANUP, file).status, STATUS_SUCCESS);
            EXPECT_EQ(SendRaw(IRP_MJ_CLOSE, file).status, STATUS_SUCCESS);
        }
        emu::DeleteFileObject(file);
        for (ULONG pipe = 0; pipe < 7; ++pipe) {
            EXPECT_EQ(Context()->PipeOpenFlags[pipe], 0) << "pipe " << pipe;
        }
    }

    // Two handles to pipe 1: the first close clears its flag while the other
    // still writes; the device handle's close touches no pipe's flag.
    const emu::Handle deviceHandle = Open(u"");
    const emu::Handle first = Open(u"\\PIPE1");
    const emu::Handle second = Open(u"\\pipe1");
    Close(deviceHandle);
    EXPECT_EQ(Context()->PipeOpenFlags[1], 1) << "closing the device handle touched a pipe's flag";
    Close(first);
    EXPECT_EQ(Context()->PipeOpenFlags[1], 0);
    const auto data = Pattern(100, 1);
    EXPECT_EQ(app().Write(second, data.data(), 100).information, 100u);
    EXPECT_EQ(device().ReceivedOut(0x02), data);
}

// Every state but DeviceRunning refuses a create, the empty name included,
// while cleanup and close of handles opened before succeed. (A stopped and a
// surprise-removed device refuse it in pondrel-sim's session test.)
class Lifecycle : public IoFixture {
protected:
    bool StartAtSetUp() override { return false; }

    void ExpectCreatesRefused(DEVICE_PNP_STATE state)
    {
        SCOPED_TRACE("state " + std::to_string(state));
        ASSERT_EQ(Context()->PnpState, state);
        Open(u"", STATUS_INVALID_DEVICE_STATE);
        Open(u"\\PIPE1", STATUS_INVALID_DEVICE_STATE);
    }
};

TEST_F(Lifecycle, CreateRefusedInEveryStateButRunning)
{
    ASSERT_EQ(machine().LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(machine().pnp().AddDevice(), STATUS_SUCCESS);
    ExpectCreatesRefused(DeviceNew);

    ASSERT_EQ(machine().pnp().Start(), STATUS_SUCCESS);
    emu::Handle kept = Open(u"\\PIPE1");
    ASSERT_EQ(machine().pnp().QueryStop(), STATUS_SUCCESS);
    ExpectCreatesRefused(DeviceStopPending);
    Close(kept);
    ASSERT_EQ(machine().pnp().CancelStop(), STATUS_SUCCESS);

    kept = Open(u"\\PIPE1");
    const emu::Handle device = Open(u"");
    ASSERT_EQ(machine().pnp().QueryRemove(), STATUS_SUCCESS);
    ExpectCreatesRefused(DeviceRemovePending);
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
