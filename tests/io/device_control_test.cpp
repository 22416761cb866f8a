// The three device-control codes, and what a handle kept across a stop and a
// new start can still do.
#include "tests/io/io_fixture.h"

#include "control/control_codes.h"
#include "emulator/kernel/system.h"

namespace io_test {
namespace {

class DeviceControl : public IoFixture {
protected:
    void SetUp() override
    {
        IoFixture::SetUp();
        device_ = Open(u"");
        pipe_ = Open(u"\\PIPE1");
    }

    emu::IoResult Control(emu::Handle handle, ULONG code, std::vector<uint8_t>* out)
    {
        return app().DeviceIoControl(handle, code, nullptr, 0, out->data(), static_cast<ULONG>(out->size()));
    }

    emu::Handle device_ = 0;
    emu::Handle pipe_ = 0;
};

// IOCTL_FETCH_CONFIGURATION returns the descriptor's wTotalLength bytes and
// no more; no code takes a reference it keeps, and only the resets the
// table names reach the bus.
TEST_F(DeviceControl, ResultsTable)
{
    const std::vector<uint8_t>& descriptor = device().Model().configDescriptor;
    const size_t total = descriptor.size();
    ASSERT_EQ(total, static_cast<size_t>(descriptor[2] | descriptor[3] << 8));  // the model's wTotalLength
    const auto expect = [&](const char* what, emu::Handle handle, ULONG code, NTSTATUS status, size_t outLength = 0,
                            size_t information = 0, uint64_t pipeResets = 0, uint64_t portResets = 0) {
        SCOPED_TRACE(std::string(what) + (handle == pipe_ ? " on a pipe" : " on the device"));
        const uint64_t pipeBefore = device().PipeResets();
        const uint64_t portBefore = device().PortResets();
        std::vector<uint8_t> out(outLength, 0xEE);
        const auto result = Control(handle, code, &out);
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.information, information);
        if (information != 0) {
            auto expected = descriptor;
            expected.resize(outLength, 0xEE);
            EXPECT_EQ(out, expected) << "not the wTotalLength bytes of the descriptor, or more";
        }
        EXPECT_EQ(device().PipeResets() - pipeBefore, pipeResets);
        EXPECT_EQ(device().PortResets() - portBefore, portResets);
        EXPECT_EQ(IoRefCount(), 1);
    };
    for (emu::Handle handle : {device_, pipe_}) {
        expect("fetch, exact buffer", handle, IOCTL_FETCH_CONFIGURATION, STATUS_SUCCESS, total, total);
        expect("fetch, larger buffer", handle, IOCTL_FETCH_CONFIGURATION, STATUS_SUCCESS, total + 100, total);
        expect("fetch, one byte short", handle, IOCTL_FETCH_CONFIGURATION, STATUS_BUFFER_TOO_SMALL, total - 1);
        expect("fetch, no buffer", handle, IOCTL_FETCH_CONFIGURATION, STATUS_BUFFER_TOO_SMALL);
    }
    expect("port reset, port enabled", device_, IOCTL_PORT_RESET, STATUS_SUCCESS);
    device().SetPortEnabled(false);
    expect("port reset, port disabled", device_, IOCTL_PORT_RESET, STATUS_SUCCESS, 0, 0, 0, 1);
    device().SetPortEnabled(true);
    expect("pipe reset", device_, IOCTL_PIPE_RESET, STATUS_INVALID_PARAMETER);
    expect("pipe reset", pipe_, IOCTL_PIPE_RESET, STATUS_SUCCESS, 0, 0, 1);
    expect("unknown code", device_, 0x220450, STATUS_INVALID_DEVICE_REQUEST);
    for (ULONG code : {IOCTL_FETCH_CONFIGURATION, IOCTL_PORT_RESET, IOCTL_PIPE_RESET}) {
        expect("METHOD_NEITHER variant", pipe_, (code & ~3u) | METHOD_NEITHER, STATUS_INVALID_DEVICE_REQUEST);
        expect("FILE_READ_ACCESS variant", pipe_, code | (FILE_READ_ACCESS << 14), STATUS_INVALID_DEVICE_REQUEST);
    }

    // No configuration descriptor held: a state the driver must survive.
    DeviceContext* context = Context();
    const PUSB_CONFIGURATION_DESCRIPTOR held = context->ConfigDescriptor;
    context->ConfigDescriptor = nullptr;
    std::vector<uint8_t> out(256);
    const auto result = Control(device_, IOCTL_FETCH_CONFIGURATION, &out);
    context->ConfigDescriptor = held;
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);

    // Outside DeviceRunning every code is refused before a reference is taken.
    ASSERT_EQ(machine().pnp().QueryStop(), STATUS_SUCCESS);
    for (ULONG code : {IOCTL_FETCH_CONFIGURATION, IOCTL_PORT_RESET, IOCTL_PIPE_RESET, 0x220450u}) {
        expect("stop pending", pipe_, code, STATUS_INVALID_DEVICE_STATE, 256);
    }
    ASSERT_EQ(machine().pnp().CancelStop(), STATUS_SUCCESS);
}

// A pipe handle kept across a stop and a new start finds its pipe again by
// its name; once the name names no pipe, it is refused.
TEST_F(DeviceControl, HandleKeptAcrossStopAndStartFindsItsPipeByName)
{
    const emu::Handle out = Open(u"\\PIPE0");
    ASSERT_EQ(machine().pnp().QueryStop(), STATUS_SUCCESS);
    ASSERT_EQ(machine().pnp().Stop(), STATUS_SUCCESS);
    ASSERT_TRUE(NT_SUCCESS(machine().pnp().Start()));  // a restart may report the interface enabled already
    ASSERT_EQ(Context()->PnpState, DeviceRunning);

    std::vector<uint8_t> none;
    EXPECT_EQ(Control(pipe_, IOCTL_PIPE_RESET, &none).status, STATUS_SUCCESS);
    const uint8_t byte = 0x5A;
    EXPECT_EQ(app().Write(out, &byte, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(device().Urbs().back().endpoint, 0x01) << "the write did not reach pipe 0's endpoint";

    // The configuration in force with a single pipe: the name PIPE1 names none.
    PUSBD_INTERFACE_INFORMATION interface = Context()->InterfaceInfo;
    const ULONG pipes = interface->NumberOfPipes;
    interface->NumberOfPipes = 1;
    uint8_t buffer[8] = {};
    const auto read = app().Read(pipe_, buffer, sizeof buffer);
    const auto write = app().Write(pipe_, buffer, sizeof buffer);
    const auto reset = Control(pipe_, IOCTL_PIPE_RESET, &none);
    interface->NumberOfPipes = pipes;
    EXPECT_EQ(read.status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(write.status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(reset.status, STATUS_INVALID_HANDLE);

    // Nor does a close whose name says 5, past the five pipes, touch a flag,
    // not even the byte past their block (the pool's guard bytes would tell).
    const emu::Handle fresh = Open(u"\\PIPE1");
    PFILE_OBJECT file = emu::CreateFileObject(Fdo(), u"\\PIPE5");
    file->FsContext = app().FileObjectOf(fresh)->FsContext;
    EXPECT_EQ(SendRaw(IRP_MJ_CLOSE, file).status, STATUS_SUCCESS);
    emu::DeleteFileObject(file);
    EXPECT_EQ(Context()->PipeOpenFlags[1], 1);
}

}  // namespace
}  // namespace io_test
