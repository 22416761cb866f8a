// Records a session's requests for Perfetto: every IRP as it goes into a
// device and comes back out of it (major/minor, status, Information,
// duration), the URBs among them, power requests and work items, written
// as Chrome trace-event JSON.
#pragma once

#include "emulator/kernel/wdm.h"
#include "emulator/usb/usb_api.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sim {

class TraceWriter {
public:
    TraceWriter();

    // Called by the kernel's observer, on any thread.
    void OnCall(PIRP irp, PDEVICE_OBJECT device);
    void OnLevelCompleted(PIRP irp, PDEVICE_OBJECT device);
    void OnWorkItem(bool starting, const void* item, PDEVICE_OBJECT device);

    // A mark on the timeline (a session command), on the calling thread.
    void Mark(const std::string& name);

    // The whole trace: requests still open are written as begun, not ended.
    std::string Json();
    bool Write(const std::string& path, std::string* error);

    size_t EventCount();

private:
    struct Span {
        uint64_t id;
        std::string name;
        std::string category;
        std::string args;  // JSON members, without braces
        PURB urb;          // the URB it carries, if any
        PDEVICE_OBJECT device;
        const void* location;  // the stack location the device was called with
        double begin;
        int thread;
    };

    double Now() const;
    int ThreadNumber();  // under mutex_
    void Emit(std::string event);  // under mutex_
    void EmitSpan(const Span& span, PIRP irp, double end);  // under mutex_

    std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    // Requests in a device, by IRP. A driver that skips its stack location
    // shares it with the driver below, and both leave it together.
    std::map<const void*, std::vector<Span>> open_;
    std::map<std::pair<const void*, int>, double> workItems_;               // start of running items
    std::map<std::thread::id, int> threads_;
    std::map<int, std::string> threadNames_;  // by number: the thread's role when first seen
    std::vector<std::string> events_;
    uint64_t nextId_ = 1;
};

}  // namespace sim
