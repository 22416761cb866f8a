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
        device_ = OpenOk(u"");
        pipe_ = OpenOk(u"\\PIPE1");
    }

    emu::IoResult Control(emu::Handle handle, ULONG code, std::vector<uint8_t>* out)
    {
        return app().DeviceIoControl(handle, code, nullptr, 0, out->data(), static_cast<ULONG>(out->size()));
    }

    const std::vector<uint8_t>& Descriptor() { return device().Model().configDescriptor; }

    emu::Handle device_ = 0;
    emu::Handle pipe_ = 0;
};

TEST_F(DeviceControl, FetchConfigurationReturnsWTotalLengthBytes)
{
    const size_t total = Descriptor().size();  // the model's wTotalLength
    ASSERT_EQ(total, static_cast<size_t>(Descriptor()[2] | Descriptor()[3] << 8));
    const struct {
        size_t outLength;
        NTSTATUS status;
        size_t information;
    } cases[] = {
        {total, STATUS_SUCCESS, total},
        {total - 1, STATUS_BUFFER_TOO_SMALL, 0},
        {0, STATUS_BUFFER_TOO_SMALL, 0},
        {total + 100, STATUS_SUCCESS, total},
    };
    for (const auto& [outLength, status, information] : cases) {
        SCOPED_TRACE("output buffer of " + std::to_string(outLength));
        for (emu::Handle handle : {device_, pipe_}) {
            std::vector<uint8_t> out(outLength, 0xEE);
            const auto result = Control(handle, IOCTL_FETCH_CONFIGURATION, &out);
            EXPECT_EQ(result.status, status);
            EXPECT_EQ(result.information, information);
            auto expected = Descriptor();
            expected.resize(outLength, 0xEE);
            if (NT_SUCCESS(status)) {
                EXPECT_EQ(out, expected) << "not the wTotalLength bytes of the descriptor, or more";
            }
            EXPECT_EQ(IoRefCount(), 1);
        }
    }
}

TEST_F(DeviceControl, ResultsTable)
{
    std::vector<uint8_t> none;
    const auto expect = [&](const char* what, emu::Handle handle, ULONG code, NTSTATUS status,
                            uint64_t pipeResets, uint64_t portResets) {
        SCOPED_TRACE(what);
        const uint64_t pipeBefore = device().PipeResets();
        const uint64_t portBefore = device().PortResets();
        const auto result = Control(handle, code, &none);
        EXPECT_EQ(result.status, status);
        EXPECT_EQ(result.information, 0u);
        EXPECT_EQ(device().PipeResets() - pipeBefore, pipeResets);
        EXPECT_EQ(device().PortResets() - portBefore, portResets);
        EXPECT_EQ(IoRefCount(), 1);
    };
    expect("port reset, port enabled", device_, IOCTL_PORT_RESET, STATUS_SUCCESS, 0, 0);
    device().SetPortEnabled(false);
    expect("port reset, port disabled", device_, IOCTL_PORT_RESET, STATUS_SUCCESS, 0, 1);
    device().SetPortEnabled(true);
    expect("pipe reset, device handle", device_, IOCTL_PIPE_RESET, STATUS_INVALID_PARAMETER, 0, 0);
    expect("pipe reset, pipe handle", pipe_, IOCTL_PIPE_RESET, STATUS_SUCCESS, 1, 0);
    expect("unknown code", device_, 0x220450, STATUS_INVALID_DEVICE_REQUEST, 0, 0);
    for (ULONG code : {IOCTL_FETCH_CONFIGURATION, IOCTL_PORT_RESET, IOCTL_PIPE_RESET}) {
        const ULONG neither = (code & ~3u) | METHOD_NEITHER;
        expect("METHOD_NEITHER variant", pipe_, neither, STATUS_INVALID_DEVICE_REQUEST, 0, 0);
        const ULONG readAccess = code | (FILE_READ_ACCESS << 14);
        expect("FILE_READ_ACCESS variant", pipe_, readAccess, STATUS_INVALID_DEVICE_REQUEST, 0, 0);
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
        expect("stop pending", pipe_, code, STATUS_INVALID_DEVICE_STATE, 0, 0);
    }
    ASSERT_EQ(machine().pnp().CancelStop(), STATUS_SUCCESS);
}

// A pipe handle kept across a stop and a new start finds its pipe again by
// its name; once the name names no pipe, it is refused.
TEST_F(DeviceControl, HandleKeptAcrossStopAndStartFindsItsPipeByName)
{
    const emu::Handle out = OpenOk(u"\\PIPE0");
    ASSERT_EQ(machine().pnp().QueryStop(), STATUS_SUCCESS);
    ASSERT_EQ(machine().pnp().Stop(), STATUS_SUCCESS);
    ASSERT_TRUE(NT_SUCCESS(machine().pnp().Start()));  // a restart may report the interface enabled already
    ASSERT_EQ(Context()->PnpState, DeviceRunning);

    std::vector<uint8_t> none;
    EXPECT_EQ(Control(pipe_, IOCTL_PIPE_RESET, &none).status, STATUS_SUCCESS);
    const auto data = Pattern(1000, 9);
    const size_t before = BulkUrbs(0x01).size();
    const auto written = app().Write(out, data.data(), 1000);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, 1000u);
    EXPECT_EQ(BulkUrbs(0x01).size(), before + 2) << "the write did not reach pipe 0's endpoint";

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
}

}  // namespace
}  // namespace io_test
