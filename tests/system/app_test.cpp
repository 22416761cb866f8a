// The application side with the echo driver: names and FileName, the I/O
// manager's own refusals, how each buffering method describes the caller's
// buffer, METHOD_BUFFERED copy-back, cancel, and cleanup and close in their
// order.
#include "tests/system/echo/echo_driver.h"
#include "tests/system/system_fixture.h"

#include <string>
#include <tuple>

namespace system_test {
namespace {

constexpr UCHAR kGuard = 0xCC;
const char* const kPaths[] = {"\\\\.\\EchoBuffered", "\\\\.\\EchoDirect", "\\\\.\\EchoNeither"};

struct LoggedEvent {
    UCHAR major;
    PFILE_OBJECT file;
    bool operator==(const LoggedEvent&) const = default;
};
using Events = std::vector<LoggedEvent>;
using Bytes = std::vector<uint8_t>;

// The creates, cleanups and closes the echo driver saw, in order.
Events EchoLogged()
{
    Events events;
    for (LONG i = 0; i < std::min<LONG>(LONG{EchoEvents.Count}, 128); ++i) {
        events.push_back({EchoEvents.Entries[i].Major, EchoEvents.Entries[i].File});
    }
    return events;
}

// What the driver sees of one file object opened and closed.
Events WholeLife(PFILE_OBJECT file)
{
    return {{IRP_MJ_CREATE, file}, {IRP_MJ_CLEANUP, file}, {IRP_MJ_CLOSE, file}};
}

// `length` bytes, byte i being at(i).
template <typename At>
Bytes Pattern(size_t length, At at)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(at(i));
    }
    return bytes;
}
Bytes Counting(size_t length, uint8_t first) { return Pattern(length, [first](size_t i) { return first + i; }); }
Bytes EchoBytes(size_t length) { return Pattern(length, [](size_t i) { return EchoPattern(ULONG(i)); }); }

Bytes DataOf(const EchoRequestView& view)
{
    return Bytes(view.Data, view.Data + view.DataLength);
}

class Application : public SystemTest {
protected:
    void SetUp() override
    {
        emu::Machine& m = Boot({.plugDevice = false});
        ASSERT_EQ(m.LoadDriver(EchoDriverEntry, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\echo"),
                  STATUS_SUCCESS);
    }

    emu::App& app() { return machine().app(); }

    emu::Handle OpenOk(ULONG kind)
    {
        emu::Handle handle = 0;
        EXPECT_EQ(app().Open(std::string_view(kPaths[kind]), &handle), STATUS_SUCCESS);
        return handle;
    }

    // A read the echo device holds until the test completes it.
    std::unique_ptr<emu::PendingIo> HeldRead(emu::Handle handle, ULONG length)
    {
        EchoHoldReads = 1;
        const ULONG held = EchoHeldCount();
        auto read = app().ReadAsync(handle, length);
        EXPECT_TRUE(EchoWaitHeld(held + 1, 10000));
        return read;
    }

    EchoRequestView Last(ULONG kind) { return EchoOf(EchoDevices[kind])->Last; }
};

// The name after the device's is the file object's FileName; a name that
// resolves to nothing never reaches a driver; a create the driver refuses
// gets no cleanup and no close, nor does a name longer than a UNICODE_STRING
// holds (32,767 characters). An open file object references its device.
TEST_F(Application, OpenResolvesTheNameAndPassesTheRestAsFileName)
{
    const std::string echoName = "\\\\.\\EchoBuffered";
    const std::string longest = "\\" + std::string(0x7FFF - echoName.size() - 1, 'p');
    // driverSees: the creates, cleanups and closes the driver gets.
    const struct { std::string path; NTSTATUS status; std::u16string fileName; size_t driverSees; } cases[] = {
        {echoName, STATUS_SUCCESS, u"", 3},
        {echoName + "\\PIPE3", STATUS_SUCCESS, u"\\PIPE3", 3},
        {echoName + "\\a\\b", STATUS_SUCCESS, u"\\a\\b", 3},
        {"\\\\.\\Missing", STATUS_OBJECT_NAME_NOT_FOUND, u"", 0},
        {echoName + "\\fail", STATUS_ACCESS_DENIED, u"\\fail", 1},
        {echoName + longest, STATUS_SUCCESS, std::u16string(longest.begin(), longest.end()), 3},
        {echoName + longest + "p", STATUS_OBJECT_NAME_INVALID, u"", 0},
    };
    PDEVICE_OBJECT device = EchoDevices[EchoBuffered];
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 40));
        const LONG references = device->ReferenceCount;
        const size_t logged = EchoLogged().size();
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
        EXPECT_EQ(EchoLogged().size(), logged + c.driverSees);
        if (c.driverSees != 0) {
            EXPECT_EQ(EchoOf(device)->CreateNameLength, c.fileName.size() * sizeof(char16_t));
            EXPECT_EQ(EchoLogged()[logged].major, IRP_MJ_CREATE);
        }
    }
}

// The I/O manager refuses an open of a device still initializing; the
// driver never sees the create. (A deleted device's name: see the PnP
// manager's orderly removal.)
TEST_F(Application, InitializingDeviceIsNotOpened)
{
    ASSERT_EQ(EchoCreateLateDevice(), STATUS_SUCCESS);
    emu::Handle handle = 0;
    EXPECT_EQ(app().Open(std::string_view("\\\\.\\EchoLate"), &handle), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(handle, 0u);
    EXPECT_TRUE(EchoLogged().empty());
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
            EchoRequestView view = Last(kind);
            EXPECT_EQ(std::tuple(view.Irql, view.RequestorMode, (view.IrpFlags & IRP_WRITE_OPERATION) != 0),
                      std::tuple(KIRQL{PASSIVE_LEVEL}, UCHAR{UserMode}, true));
            EXPECT_EQ(std::pair(view.HadSystemBuffer != 0, view.HadMdl != 0),
                      std::pair(kind == EchoBuffered && length != 0, kind == EchoDirect && length != 0));
            if (view.HadMdl) {
                EXPECT_EQ(view.MdlVirtualAddress, data.data());
                EXPECT_NE(view.MdlSystemAddress, data.data()) << "mapped at a system alias";
                EXPECT_EQ(view.MdlByteCount, length);
            }
            if (kind == EchoNeither) {
                EXPECT_EQ(view.UserBuffer, data.data());
            }
            EXPECT_EQ(DataOf(view), Bytes(data.begin(), data.begin() + std::min(length, EchoMaxData)));

            Bytes back(length + 1, kGuard);
            const auto read = app().Read(handle, back.data(), length);
            EXPECT_EQ(read.status, STATUS_SUCCESS);
            EXPECT_EQ(read.information, length);
            EXPECT_TRUE(Last(kind).IrpFlags & IRP_READ_OPERATION);
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
        const EchoRequestView view = Last(EchoBuffered);
        EXPECT_EQ(view.HadSystemBuffer, c.systemBuffer);
        EXPECT_EQ(view.HadMdl, c.mdl);
        EXPECT_EQ(view.MdlVirtualAddress, c.mdl ? out.data() : nullptr);
        EXPECT_EQ(view.InputLength, c.in);
        EXPECT_EQ(view.Length, c.out);
        EXPECT_EQ(DataOf(view), c.driverRead);
        if (c.code == IOCTL_ECHO_NEITHER) {
            EXPECT_EQ(view.Type3InputBuffer, input.data());
            EXPECT_EQ(view.UserBuffer, out.data());
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
    EXPECT_EQ(EchoLogged().size(), 1u) << "another handle still refers to the file object";

    auto read = HeldRead(copy, 10);
    app().Close(copy);
    EXPECT_EQ(EchoLogged(), (Events{{IRP_MJ_CREATE, file}, {IRP_MJ_CLEANUP, file}}));
    EXPECT_EQ(app().OpenFileObjects(), 1u) << "the close waits for the read";

    ASSERT_TRUE(EchoCompleteHeld(STATUS_SUCCESS, 10));
    ASSERT_TRUE(read->WaitFor(kWait));
    EXPECT_EQ(read->Result().status, STATUS_SUCCESS);
    EXPECT_EQ(read->Data(), EchoBytes(10));
    ASSERT_TRUE(app().WaitUntilAllClosed(kWait));
    EXPECT_EQ(EchoLogged(), WholeLife(file));
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
    EXPECT_EQ(EchoHeldCount(), 1u);
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
    EXPECT_EQ(EchoLogged(), WholeLife(file));
}

}  // namespace
}  // namespace system_test
