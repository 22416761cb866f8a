// Events that live in a driver routine's stack frame. A routine that puts an
// event on its stack, hands it to someone who signals it (a completion
// routine, a request built with IoBuildDeviceIoControlRequest) and returns
// before the signal has come leaves the signaller writing into a stack
// that is being reused: on Windows, a corrupted stack. KeInitializeEvent
// notes an event on the calling thread's stack, with the driver routine that
// runs on it; when that routine returns to the kernel the event is dead
// until initialized again, and signalling a dead event is a finding.
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

#include <pthread.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(__SANITIZE_ADDRESS__)
#define __SANITIZE_ADDRESS__ 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include <atomic>
#include <map>
#include <mutex>

namespace emu::kernel {
namespace {

struct StackEvent {
    uint64_t scope = 0;            // the driver routine whose frame holds it
    PDRIVER_OBJECT driver = nullptr;
    bool dead = false;
};

std::mutex stackEventsMutex;
std::map<const void*, StackEvent> stackEvents;  // guarded by stackEventsMutex
std::atomic<size_t> liveStackEvents{0};
std::atomic<size_t> recordedStackEvents{0};  // live or dead, as stackEvents.size()

// The calling thread's stack, measured once (and, under AddressSanitizer
// with its check of use after return, the heap frames that stand in for it).
bool OnOwnStack(const void* address)
{
#if defined(__SANITIZE_ADDRESS__)
    void* fake = __asan_get_current_fake_stack();
    if (fake != nullptr && __asan_addr_is_in_fake_stack(fake, const_cast<void*>(address), nullptr, nullptr) != nullptr) {
        return true;
    }
#endif
    ThreadState& self = CurrentThread();
    if (self.stackHigh == 0) {
        pthread_attr_t attributes;
        void* low = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
            return false;
        }
        pthread_attr_getstack(&attributes, &low, &size);
        pthread_attr_destroy(&attributes);
        self.stackLow = reinterpret_cast<uintptr_t>(low);
        self.stackHigh = self.stackLow + size;
    }
    const auto at = reinterpret_cast<uintptr_t>(address);
    return at >= self.stackLow && at < self.stackHigh;
}

}  // namespace

void NoteEventInitialized(const void* event)
{
    const ThreadState& self = CurrentThread();
    const bool inFrame = !self.scopes.empty() && self.drivers.back() != nullptr && OnOwnStack(event);
    if (!inFrame && recordedStackEvents.load() == 0) {
        return;
    }
    std::lock_guard lock(stackEventsMutex);
    auto found = stackEvents.find(event);
    if (found != stackEvents.end()) {
        liveStackEvents -= found->second.dead ? 0 : 1;
        stackEvents.erase(found);
    }
    if (inFrame) {
        stackEvents[event] = StackEvent{self.scopes.back(), self.drivers.back(), false};
        liveStackEvents++;
    }
    recordedStackEvents = stackEvents.size();
}

bool CheckEventAlive(const void* event, const char* routine)
{
    if (recordedStackEvents.load() == 0) {
        return true;
    }
    std::lock_guard lock(stackEventsMutex);
    auto found = stackEvents.find(event);
    if (found == stackEvents.end() || !found->second.dead) {
        return true;
    }
    char text[40];
    snprintf(text, sizeof(text), "event %p", event);
    verifier::Report("event signalled after the driver routine whose stack holds it returned", routine,
                     std::string(text) + " of " + DriverText(found->second.driver));
    return false;
}

uint64_t EnterDriverFrame()
{
    // Unique across threads without a shared counter: the thread's id above
    // its own count (every driver call passes here).
    thread_local uint64_t entered = 0;
    return (CurrentThread().id << 40) | (++entered & ((uint64_t{1} << 40) - 1));
}

void LeaveDriverFrame(uint64_t scope)
{
    if (liveStackEvents.load() == 0) {
        return;
    }
    std::lock_guard lock(stackEventsMutex);
    for (auto& [event, record] : stackEvents) {
        if (record.scope == scope && !record.dead) {
            record.dead = true;
            liveStackEvents--;
        }
    }
}

void ResetStackEvents()
{
    std::lock_guard lock(stackEventsMutex);
    stackEvents.clear();
    liveStackEvents = 0;
    recordedStackEvents = 0;
}

}  // namespace emu::kernel
