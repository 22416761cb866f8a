// The application side with the echo driver: names and FileName, the I/O
// manager's own refusals, how each buffering method describes the caller's
// buffer, METHOD_BUFFERED copy-back, cancel, and cleanup and close in their
// order.
#include "tests/system/echo/echo_driver.h"
#include "tests/system/system_fixture.h"

#include <numeric>
#include <string>
#include <tuple>

namespace system_test {
namespace {

constexpr UCHAR kGuard = 0xCC;
const char* const kPaths[] = {"\\\\.\\EchoBuffered", "\\\\.\\EchoDirect", "\\\\.\\EchoNeither"};

using Events = std::vector<EchoEvent>;
using Bytes = std::vector<uint8_t>;

// What the driver sees of one file object opened and closed.
Events WholeLife(PFILE_OBJECT file)
{
    return {{IRP_MJ_CREATE, file}, {IRP_MJ_CLEANUP, file}, {IRP_MJ_CLOSE, file}};
}

// `length` bytes counting up from `first`, or of the echo pattern.
Bytes Counting(size_t length, uint8_t first)
{
    Bytes bytes(length);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}
Bytes EchoBytes(size_t length)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = EchoPattern(i);
    }
    return bytes;
}

class Application : public SystemTest {
protected:
    void SetUp() override
    {
        emu::Machine& m = Boot({.plugDevice = false});
        ASSERT_EQ(m.LoadDriver(Echo::DriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\echo"),
                  STATUS_SUCCESS);
    }

    emu::App& app() { return machine().app(); }
    static Echo& echo() { return Echo::Instance(); }

    emu::Handle OpenOk(ULONG kind)
    {
        emu::Handle handle = 0;
        EXPECT_EQ(app().Open(std::string_view(kPaths[kind]), &handle), STATUS_SUCCESS);
        return handle;
    }

    // A read the echo device holds until the test completes it.
    std::unique_ptr<emu::PendingIo> HeldRead(emu::Handle handle, ULONG length)
    {
        echo().holdReads = true;
        const size_t held = echo().HeldCount();
        auto read = app().ReadAsync(handle, length);
        EXPECT_TRUE(echo().WaitHeld(held + 1, kWait));
        return read;
    }
};

// The name after the device's is the file object's FileName; a name that
// resolves to nothing, or to a device still initializing, never reaches a
// driver; a create the driver refuses gets no cleanup and no close, nor does
// a name longer than a UNICODE_STRING holds (32,767 characters). An open
// file object references its device.
TEST_F(Application, OpenResolvesTheNameAndPassesTheRestAsFileName)
{
    ASSERT_EQ(echo().CreateLateDevice(), STATUS_SUCCESS);
    const std::string echoName = "\\\\.\\EchoBuffered";
    const std::string longest = "\\" + std::string(0x7FFF - echoName.size() - 1, 'p');
    // driverSees: the creates, cleanups and closes the driver gets.
    const struct { std::string path; NTSTATUS status; std::u16string fileName; size_t driverSees; } cases[] = {
        {echoName, STATUS_SUCCESS, u"", 3},
        {echoName + "\\PIPE3", STATUS_SUCCESS, u"\\PIPE3", 3},
        {echoName + "\\a\\b", STATUS_SUCCESS, u"\\a\\b", 3},
        {"\\\\.\\Missing", STATUS_OBJECT_NAME_NOT_FOUND, u"", 0},
        {"\\\\.\\EchoLate", STATUS_NO_SUCH_DEVICE, u"", 0},
        {echoName + "\\fail", STATUS_ACCESS_DENIED, u"\\fail", 1},
        {echoName + longest, STATUS_SUCCESS, std::u16string(longest.begin(), longest.end()), 3},
        {echoName + longest + "p", STATUS_OBJECT_NAME_INVALID, u"", 0},
    };
    PDEVICE_OBJECT device = echo().devices[EchoBuffered];
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 40));
        const LONG references = device->ReferenceCount;
        const size_t logged = echo().Events().size();
        emu::Handle handle = 0;
        ASSERT_EQ(app().Open(std::string_view(c.path), &handle), c.status);
        if (c.status == STATUS_SUCCESS) {
            PFILE_OBJECT file = app().FileObjectOf(handle);
            EXPECT_EQ(file->DeviceObject, device);
            EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(file->FileName.Buffer),
                                     file->FileName.Length / sizeof(char16_t)),
                      c.fileName);
            EXPECT_EQ(file->FileName.MaximumLength, file->FileName.Length + sizeof(char16_t));
            EXPECT_EQ(device->ReferenceCount, references + 1);
            app().Close(handle);
        } else {
            EXPECT_EQ(handle, 0u);
            EXPECT_EQ(app().OpenFileObjects(), 0u);
        }
        EXPECT_EQ(device->ReferenceCount, references);
        const Events events = echo().Events();
        ASSERT_EQ(events.size(), logged + c.driverSees);
        if (c.driverSees != 0) {
            EXPECT_EQ(echo().createName[EchoBuffered], c.fileName);
            EXPECT_EQ(events[logged].major, IRP_MJ_CREATE);
        }
    }
}

TEST_F(Application, ReadAndWriteDescribeTheCallersBufferAsTheDeviceAsks)
{
    for (ULONG kind : {EchoBuffered, EchoDirect, EchoNeither}) {
        for (ULONG length : {0u, 1u, 700u}) {
            SCOPED_TRACE(std::string(kPaths[kind]) + " length " + std::to_string(length));
            const emu::Handle handle = OpenOk(kind);
            Bytes data = Counting(length, 155);
            data.push_back(kGuard);
            const auto written = app().Write(handle, data.data(), length);
            EXPECT_EQ(written.status, STATUS_SUCCESS);
            EXPECT_EQ(written.information, length);
            const EchoRequestView view = echo().Last(kind);
            EXPECT_EQ(std::tuple(view.irql, view.requestorMode, (view.irpFlags & IRP_WRITE_OPERATION) != 0),
                      std::tuple(KIRQL{PASSIVE_LEVEL}, KPROCESSOR_MODE{UserMode}, true));
            EXPECT_EQ(std::pair(view.systemBuffer != nullptr, view.mdl != nullptr),
                      std::pair(kind == EchoBuffered && length != 0, kind == EchoDirect && length != 0));
            if (view.mdl != nullptr) {
                EXPECT_EQ(view.mdlVirtualAddress, data.data());
                EXPECT_NE(view.mdlSystemAddress, data.data()) << "mapped at a system alias";
                EXPECT_EQ(view.mdlByteCount, length);
            }
            if (kind == EchoNeither) {
                EXPECT_EQ(view.userBuffer, data.data());
            }
            EXPECT_EQ(view.data, Bytes(data.begin(), data.end() - 1));

            Bytes back(length + 1, kGuard);
            const auto read = app().Read(handle, back.data(), length);
            EXPECT_EQ(read.status, STATUS_SUCCESS);
            EXPECT_EQ(read.information, length);
            EXPECT_TRUE(echo().Last(kind).irpFlags & IRP_READ_OPERATION);
            EXPECT_EQ(Bytes(back.begin(), back.end() - 1), EchoBytes(length));
            EXPECT_EQ(back.back(), kGuard) << "nothing written past the buffer";
            app().Close(handle);
        }
    }
}

// METHOD_BUFFERED copies Information bytes back unless the status is an
// error, and never past the caller's buffer; the direct methods pass the
// output buffer in an MDL (the input in a system buffer), METHOD_NEITHER
// both buffers as the caller gave them.
TEST_F(Application, ControlMethodsDescribeTheBuffersAndCopyBackOnlyWhatTheyShould)
{
    const Bytes input = {1, 2, 3, 4};
    const Bytes initial = Counting(8, 0xC0);  // the caller's output buffer before the request
    // expectedOut: the caller's output buffer afterwards; driverRead: what the
    // driver found in the input, or through the MDL.
    const struct {
        const char* what;
        ULONG code, in, out;
        NTSTATUS status;
        ULONG_PTR information;
        Bytes expectedOut, driverRead;
        bool systemBuffer, mdl;
        const char* finding;
    } cases[] = {
        {"echo", IOCTL_ECHO_BUFFERED, 4, 8, STATUS_SUCCESS, 4, {0xFE, 0xFD, 0xFC, 0xFB, 0xC4, 0xC5, 0xC6, 0xC7}, input,
         true, false, nullptr},
        {"input only", IOCTL_ECHO_BUFFERED, 4, 0, STATUS_SUCCESS, 0, {}, input, true, false, nullptr},
        {"error", IOCTL_ECHO_FAIL, 4, 8, STATUS_UNSUCCESSFUL, 0, initial, input, true, false, nullptr},
        {"warning", IOCTL_ECHO_WARNING, 0, 6, STATUS_BUFFER_OVERFLOW, 6, EchoBytes(6), {}, true, false, nullptr},
        {"Information past the buffer", IOCTL_ECHO_OVERREPORT, 0, 6, STATUS_SUCCESS, 22, EchoBytes(6), {}, true, false,
         "Information exceeds"},
        {"out direct", IOCTL_ECHO_OUT_DIRECT, 4, 8, STATUS_SUCCESS, 4, {1, 2, 3, 4, 0xC4, 0xC5, 0xC6, 0xC7}, input,
         true, true, nullptr},
        {"in direct", IOCTL_ECHO_IN_DIRECT, 0, 6, STATUS_SUCCESS, 0, Counting(6, 0xC0), Counting(6, 0xC0), false, true,
         nullptr},
        {"neither", IOCTL_ECHO_NEITHER, 4, 8, STATUS_SUCCESS, 0, initial, {}, false, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const emu::Handle handle = OpenOk(EchoBuffered);
        Bytes out(initial.begin(), initial.begin() + c.out);
        out.push_back(kGuard);
        emu::IoResult result;
        const auto control = [&] {
            result = app().DeviceIoControl(handle, c.code, input.data(), c.in, c.out ? out.data() : nullptr, c.out);
        };
        if (c.finding != nullptr) {
            EXPECT_EQ(ExpectFinding(c.finding, control).size(), 1u);
        } else {
            control();
        }
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.information, c.information);
        EXPECT_EQ(Bytes(out.begin(), out.end() - 1), c.expectedOut);
        EXPECT_EQ(out.back(), kGuard) << "the copy never runs past the caller's buffer";
        const EchoRequestView view = echo().Last(EchoBuffered);
        EXPECT_EQ(view.systemBuffer != nullptr, c.systemBuffer);
        EXPECT_EQ(view.mdl != nullptr, c.mdl);
        EXPECT_EQ(view.mdlVirtualAddress, c.mdl ? out.data() : nullptr);
        EXPECT_EQ(view.inputLength, c.in);
        EXPECT_EQ(view.length, c.out);
        EXPECT_EQ(view.data, c.driverRead);
        if (c.code == IOCTL_ECHO_NEITHER) {
            EXPECT_EQ(view.type3InputBuffer, input.data());
            EXPECT_EQ(view.userBuffer, out.data());
        }
        app().Close(handle);
    }
}

TEST_F(Application, CleanupComesWithTheLastHandleAndCloseAfterTheLastRequest)
{
    const emu::Handle handle = OpenOk(EchoBuffered);
    const emu::Handle copy = app().Duplicate(handle);
    PFILE_OBJECT file = app().FileObjectOf(handle);
    ASSERT_NE(copy, 0u);
    EXPECT_EQ(app().FileObjectOf(copy), file);
    app().Close(handle);
    EXPECT_EQ(echo().Events().size(), 1u) << "another handle still refers to the file object";

    auto read = HeldRead(copy, 10);
    app().Close(copy);
    EXPECT_EQ(echo().Events(), (Events{{IRP_MJ_CREATE, file}, {IRP_MJ_CLEANUP, file}}));
    EXPECT_EQ(app().OpenFileObjects(), 1u) << "the close waits for the read";

    ASSERT_TRUE(echo().CompleteHeld(STATUS_SUCCESS, 10));
    ASSERT_TRUE(read->WaitFor(kWait));
    EXPECT_EQ(read->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(read->Data(), EchoBytes(10));
    ASSERT_TRUE(app().WaitUntilAllClosed(kWait));
    EXPECT_EQ(echo().Events(), WholeLife(file));
}

// CancelIoEx cancels only the requests of its handle; a request on a closed
// handle is refused.
TEST_F(Application, CancelAllCancelsOnlyTheRequestsOfThatHandle)
{
    const emu::Handle first = OpenOk(EchoDirect);
    const emu::Handle second = OpenOk(EchoDirect);
    auto a = HeldRead(first, 10);
    auto b = HeldRead(first, 20);
    auto c = HeldRead(second, 30);

    app().CancelAll(first);
    for (auto* io : {a.get(), b.get()}) {
        ASSERT_TRUE(io->WaitFor(kWait));
        EXPECT_EQ(io->Result().status, STATUS_CANCELLED);
        EXPECT_EQ(io->Result().information, 0u);
    }
    EXPECT_FALSE(c->Done());
    EXPECT_EQ(echo().HeldCount(), 1u);
    a->Cancel();  // already complete: nothing happens

    c->Cancel();
    ASSERT_TRUE(c->WaitFor(kWait));
    EXPECT_EQ(c->Result().status, STATUS_CANCELLED);
    app().Close(first);
    app().Close(second);

    uint8_t byte = 0;
    EXPECT_EQ(app().Read(first, &byte, 1).status, STATUS_INVALID_HANDLE);
    auto io = app().WriteAsync(first, {1, 2});
    EXPECT_TRUE(io->Done());
    EXPECT_EQ(io->Result().status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(app().Duplicate(first), 0u);
    EXPECT_EQ(app().FileObjectOf(first), nullptr);
}

// Process exit: the requests still in flight are cancelled, the handles
// closed, each file object cleaned up and closed once.
TEST_F(Application, TeardownCancelsAndClosesWhatTheTestLeft)
{
    const emu::Handle handle = OpenOk(EchoBuffered);
    PFILE_OBJECT file = app().FileObjectOf(handle);
    auto read = HeldRead(handle, 10);
    Shutdown();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
    EXPECT_EQ(echo().Events(), WholeLife(file));
}

}  // namespace
}  // namespace system_test
