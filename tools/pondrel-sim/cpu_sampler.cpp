#include "tools/pondrel-sim/cpu_sampler.h"

#include "emulator/loader/driver_image.h"
#include "emulator/loader/privileged.h"

#include <atomic>
#include <csignal>

#include <sys/time.h>
#include <ucontext.h>

// Defined by the linker around the renamed code section of the driver.
extern "C" char __start_pondrel_text[] __attribute__((weak));
extern "C" char __stop_pondrel_text[] __attribute__((weak));

namespace sim {
namespace {

std::atomic<uint64_t> gTotal{0};
std::atomic<uint64_t> gDriver{0};
struct sigaction gPrevious;

void OnSample(int, siginfo_t*, void* context)
{
    auto* machine = static_cast<ucontext_t*>(context);
    auto pc = static_cast<uintptr_t>(machine->uc_mcontext.gregs[REG_RIP]);
    gTotal.fetch_add(1, std::memory_order_relaxed);
    if ((pc >= reinterpret_cast<uintptr_t>(__start_pondrel_text) && pc < reinterpret_cast<uintptr_t>(__stop_pondrel_text)) ||
        emu::loader::InLiveImage(pc))
        gDriver.fetch_add(1, std::memory_order_relaxed);
}

void SetTimer(long microseconds)
{
    itimerval timer{};
    timer.it_interval.tv_usec = microseconds;
    timer.it_value.tv_usec = microseconds;
    setitimer(ITIMER_PROF, &timer, nullptr);
}

}  // namespace

bool CanSampleDriver()
{
    if (emu::loader::ImageChosen())
        return true;  // the loaded image's code, wherever it is mapped
    auto start = reinterpret_cast<uintptr_t>(__start_pondrel_text);
    auto stop = reinterpret_cast<uintptr_t>(__stop_pondrel_text);
    return start != 0 && stop > start;
}

CpuSampler::CpuSampler()
{
    gTotal = 0;
    gDriver = 0;
    struct sigaction action {};
    action.sa_sigaction = OnSample;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPROF, &action, &gPrevious);
    SetTimer(1000);
}

CpuSampler::~CpuSampler()
{
    SetTimer(0);
    sigaction(SIGPROF, &gPrevious, nullptr);
}

CpuSamples CpuSampler::Samples() const
{
    return {gTotal.load(), gDriver.load()};
}

}  // namespace sim
