#include "tools/pondrel-sim/trace_writer.h"

#include "emulator/kernel/system.h"
#include "tools/session/printer.h"
#include "tools/session/request_names.h"
#include "tools/session/status_names.h"
#include "tools/session/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace sim {
namespace {

using session::DevicePowerName;
using session::MajorName;
using session::MinorName;
using session::SystemPowerName;
using session::UrbFunctionName;

std::string Narrow(const UNICODE_STRING& text)
{
    std::string narrow;
    if (!text.Buffer)
        return narrow;
    for (USHORT i = 0; i < text.Length / sizeof(WCHAR); ++i) {
        auto c = static_cast<char16_t>(text.Buffer[i]);
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

std::string DriverOf(PDEVICE_OBJECT device)
{
    if (!device || !device->DriverObject)
        return "?";
    return Narrow(device->DriverObject->DriverName);
}

std::string Member(const std::string& name, const std::string& value)
{
    return session::JsonString(name) + ":" + value;
}

std::string Hex(uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "\"0x%llx\"", static_cast<unsigned long long>(value));
    return text;
}

// Name, category and arguments of a request as the device called sees it.
void Describe(PIRP irp, PDEVICE_OBJECT device, std::string* name, std::string* category, std::string* args,
              PURB* carried)
{
    *carried = nullptr;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    *args = Member("driver", session::JsonString(DriverOf(device))) + "," + Member("irp", Hex(reinterpret_cast<uintptr_t>(irp))) +
            "," + Member("major", session::JsonString(MajorName(stack->MajorFunction)));
    std::string minor = MinorName(stack->MajorFunction, stack->MinorFunction);
    if (!minor.empty())
        *args += "," + Member("minor", session::JsonString(minor));
    *name = minor.empty() ? MajorName(stack->MajorFunction) : minor;
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        *category = "pnp";
        return;
    case IRP_MJ_POWER: {
        *category = "power";
        if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER)
            return;
        bool system = stack->Parameters.Power.Type == SystemPowerState;
        std::string state = system ? SystemPowerName(stack->Parameters.Power.State.SystemState)
                                   : DevicePowerName(stack->Parameters.Power.State.DeviceState);
        *name += " " + state;
        *args += "," + Member("state", session::JsonString(state));
        return;
    }
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        *category = "bus";
        if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS)
            *name = "IOCTL_INTERNAL_USB_GET_PORT_STATUS";
        else if (code == IOCTL_INTERNAL_USB_RESET_PORT)
            *name = "IOCTL_INTERNAL_USB_RESET_PORT";
        if (code != IOCTL_INTERNAL_USB_SUBMIT_URB)
            return;
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        *category = "urb";
        *carried = urb;
        if (!urb)
            return;
        *name = UrbFunctionName(urb->UrbHeader.Function);
        if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
            const auto& transfer = urb->UrbBulkOrInterruptTransfer;
            bool in = transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN;
            *name += in ? " in" : " out";
            *args += "," + Member("length", std::to_string(transfer.TransferBufferLength));
        }
        return;
    }
    default:
        *category = "io";
        return;
    }
}

// What the request came back with, as JSON members.
std::string Outcome(PIRP irp, PURB urb)
{
    std::string args = Member("status", session::JsonString(session::StatusName(static_cast<uint32_t>(irp->IoStatus.Status)))) +
                       "," + Member("information", std::to_string(irp->IoStatus.Information));
    if (!urb)
        return args;
    args += "," + Member("usbd_status", Hex(static_cast<uint32_t>(urb->UrbHeader.Status)));
    if (urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        args += "," + Member("transferred", std::to_string(urb->UrbBulkOrInterruptTransfer.TransferBufferLength));
    return args;
}

}  // namespace

TraceWriter::TraceWriter() : start_(std::chrono::steady_clock::now()) {}

double TraceWriter::Now() const
{
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start_).count();
}

int TraceWriter::ThreadNumber()
{
    auto [entry, added] = threads_.emplace(std::this_thread::get_id(), static_cast<int>(threads_.size()) + 1);
    if (added)
        threadNames_[entry->second] = emu::threads::CurrentName();
    return entry->second;
}

void TraceWriter::Emit(std::string event)
{
    events_.push_back(std::move(event));
}

void TraceWriter::OnCall(PIRP irp, PDEVICE_OBJECT device)
{
    Span span;
    Describe(irp, device, &span.name, &span.category, &span.args, &span.urb);
    span.device = device;
    span.location = IoGetCurrentIrpStackLocation(irp);
    span.begin = Now();
    std::lock_guard lock(mutex_);
    span.id = nextId_++;
    span.thread = ThreadNumber();
    open_[irp].push_back(std::move(span));
}

void TraceWriter::OnLevelCompleted(PIRP irp, PDEVICE_OBJECT device)
{
    double end = Now();
    std::lock_guard lock(mutex_);
    auto found = open_.find(irp);
    if (found == open_.end())
        return;
    auto& spans = found->second;
    auto left = std::find_if(spans.rbegin(), spans.rend(), [device](const Span& span) { return span.device == device; });
    if (left == spans.rend())
        return;
    const void* location = left->location;
    for (auto span = spans.rbegin(); span != spans.rend(); ++span) {
        if (span->location == location)
            EmitSpan(*span, irp, end);
    }
    std::erase_if(spans, [location](const Span& span) { return span.location == location; });
    if (spans.empty())
        open_.erase(found);
}

void TraceWriter::EmitSpan(const Span& span, PIRP irp, double end)
{
    std::string common = Member("name", session::JsonString(span.name)) + "," +
                         Member("cat", session::JsonString(span.category)) + "," + Member("id", std::to_string(span.id)) +
                         "," + Member("pid", "1");
    Emit("{" + common + "," + Member("ph", "\"b\"") + "," + Member("ts", session::Fixed(span.begin, 3)) + "," +
         Member("tid", std::to_string(span.thread)) + "," + Member("args", "{" + span.args + "}") + "}");
    Emit("{" + common + "," + Member("ph", "\"e\"") + "," + Member("ts", session::Fixed(end, 3)) + "," +
         Member("tid", std::to_string(ThreadNumber())) + "," +
         Member("args", "{" + Outcome(irp, span.urb) + "," + Member("duration_us", session::Fixed(end - span.begin, 3)) + "}") +
         "}");
}

void TraceWriter::OnWorkItem(bool starting, const void* item, PDEVICE_OBJECT device)
{
    double now = Now();
    std::lock_guard lock(mutex_);
    int thread = ThreadNumber();
    if (starting) {
        workItems_[{item, thread}] = now;
        return;
    }
    auto found = workItems_.find({item, thread});
    if (found == workItems_.end())
        return;
    Emit("{" + Member("name", "\"work item\"") + "," + Member("cat", "\"workitem\"") + "," + Member("ph", "\"X\"") +
         "," + Member("ts", session::Fixed(found->second, 3)) + "," + Member("dur", session::Fixed(now - found->second, 3)) + "," +
         Member("pid", "1") + "," + Member("tid", std::to_string(thread)) + "," +
         Member("args", "{" + Member("driver", session::JsonString(DriverOf(device))) + "}") + "}");
    workItems_.erase(found);
}

void TraceWriter::Mark(const std::string& name)
{
    double now = Now();
    std::lock_guard lock(mutex_);
    Emit("{" + Member("name", session::JsonString(name)) + "," + Member("cat", "\"session\"") + "," +
         Member("ph", "\"i\"") + "," + Member("s", "\"p\"") + "," + Member("ts", session::Fixed(now, 3)) + "," +
         Member("pid", "1") + "," + Member("tid", std::to_string(ThreadNumber())) + "}");
}

size_t TraceWriter::EventCount()
{
    std::lock_guard lock(mutex_);
    return events_.size();
}

std::string TraceWriter::Json()
{
    std::lock_guard lock(mutex_);
    std::string json = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
    json += "{\"name\":\"process_name\",\"ph\":\"M\",\"pid\":1,\"args\":{\"name\":\"pondrel-sim\"}}";
    for (const auto& [thread, number] : threads_)
        json += ",\n{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":1,\"tid\":" + std::to_string(number) +
                ",\"args\":{\"name\":" + session::JsonString(threadNames_[number]) + "}}";
    for (const auto& event : events_)
        json += ",\n" + event;
    for (const auto& [key, spans] : open_) {
        for (const auto& span : spans)
            json += ",\n{" + Member("name", session::JsonString(span.name)) + "," +
                    Member("cat", session::JsonString(span.category)) + "," + Member("id", std::to_string(span.id)) +
                    ",\"pid\":1,\"ph\":\"b\"," + Member("ts", session::Fixed(span.begin, 3)) + "," +
                    Member("tid", std::to_string(span.thread)) + "," +
                    Member("args", "{" + span.args + ",\"status\":\"still pending\"}") + "}";
    }
    return json + "\n]}\n";
}

bool TraceWriter::Write(const std::string& path, std::string* error)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out)
        out << Json();
    if (!out) {
        *error = path + ": cannot write the trace (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

}  // namespace sim
