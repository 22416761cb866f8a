// The fault handler for loaded images and the CR8 emulation.
#include "emulator/loader/privileged.h"

#include "emulator/kernel/wdm.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace emu::loader {
namespace {

// The kernel's shared data page (KUSER_SHARED_DATA), which the DDK's
// tick-count and interrupt-time inlines read directly.
constexpr uintptr_t SharedDataPage = 0xFFFFF78000000000ull;
constexpr int ExitBugcheck = 1;
constexpr int ExitUnsupported = 2;

enum class Range : int { Free, Live, Retired };

struct Slot {
    std::atomic<uintptr_t> start{0};
    std::atomic<uintptr_t> end{0};
    std::atomic<Range> state{Range::Free};
    uint64_t retiredAt = 0;  // guarded by slotsMutex
    char name[64] = {};
};

constexpr size_t SlotCount = 64;
std::array<Slot, SlotCount> slots;
std::mutex slotsMutex;
uint64_t retirements = 0;  // guarded by slotsMutex
std::once_flag installed;
constexpr int Signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction previous[NSIG];

// ---- Signal-safe text ----
struct Line {
    char text[320];
    size_t length = 0;
    Line& operator<<(const char* part)
    {
        while (*part != 0 && length + 1 < sizeof(text))
            text[length++] = *part++;
        return *this;
    }
    Line& Hex(uint64_t value)
    {
        char digits[19] = "0x";
        int count = 0;
        char reversed[16];
        do {
            reversed[count++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value != 0);
        for (int i = 0; i < count; ++i)
            digits[2 + i] = reversed[count - 1 - i];
        digits[2 + count] = 0;
        return *this << digits;
    }
    [[noreturn]] void Exit(int status)
    {
        *this << "\n";
        ssize_t ignored = write(STDERR_FILENO, text, length);
        (void)ignored;
        _exit(status);
    }
};

const char* SignalName(int signal)
{
    switch (signal) {
    case SIGSEGV: return "an access violation";
    case SIGBUS: return "a bus error";
    case SIGILL: return "an illegal instruction";
    case SIGFPE: return "an arithmetic fault (a division by zero?)";
    default: return "a fault";
    }
}

Slot* SlotHolding(uintptr_t address)
{
    for (Slot& slot : slots) {
        const Range state = slot.state.load(std::memory_order_acquire);
        if (state != Range::Free && address >= slot.start.load() && address < slot.end.load())
            return &slot;
    }
    return nullptr;
}

// ucontext's index of each register as the instruction encodes it.
constexpr int RegisterIndex[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                                   REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

// Reading CR8 is KeGetCurrentIrql; writing it raises or lowers through the
// kernel's own routines, so that the verifier's bookkeeping (and the APCs a
// drop below APC_LEVEL delivers) are those of KfRaiseIrql and KeLowerIrql.
void EmulateCr8(const Cr8Move& move, ucontext_t* context)
{
    greg_t& reg = context->uc_mcontext.gregs[RegisterIndex[move.reg]];
    if (!move.write) {
        reg = KeGetCurrentIrql();
    } else {
        const KIRQL wanted = static_cast<KIRQL>(reg & 0xf);
        const KIRQL now = KeGetCurrentIrql();
        if (wanted > now)
            KfRaiseIrql(wanted);
        else if (wanted < now)
            KeLowerIrql(wanted);
    }
    context->uc_mcontext.gregs[REG_RIP] += move.length;
}

void PassOn(int signal, siginfo_t* info, void* context)
{
    const struct sigaction& before = previous[signal];
    if (before.sa_flags & SA_SIGINFO) {
        before.sa_sigaction(signal, info, context);
        return;
    }
    if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
        before.sa_handler(signal);
        return;
    }
    // The default action: restored, the instruction faults again on return.
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
}

void OnFault(int signal, siginfo_t* info, void* raw)
{
    auto* context = static_cast<ucontext_t*>(raw);
    const uintptr_t rip = context->uc_mcontext.gregs[REG_RIP];
    Slot* slot = SlotHolding(rip);
    if (slot == nullptr) {
        PassOn(signal, info, raw);
        return;
    }
    const uintptr_t offset = rip - slot->start.load();
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    Line line;
    line << "pondrel-sim: " << slot->name;
    if (slot->state.load() == Range::Retired) {
        line << "'s code at offset ";
        line.Hex(offset) << " ran after the image was unloaded (a call into an unloaded driver)";
        line.Exit(ExitBugcheck);
    }
    Cr8Move move;
    if (signal == SIGSEGV && DecodeCr8Move(reinterpret_cast<const uint8_t*>(rip), slot->end.load() - rip, &move)) {
        EmulateCr8(move, context);
        return;
    }
    if (signal == SIGSEGV && address >= SharedDataPage && address < SharedDataPage + 0x1000) {
        line << ": the driver read the kernel's shared data page (KUSER_SHARED_DATA) at ";
        line.Hex(address) << " (" << slot->name << "+";
        line.Hex(offset) << "), which the emulator does not provide";
        line.Exit(ExitUnsupported);
    }
    line << ": " << SignalName(signal) << " at " << slot->name << "+";
    line.Hex(offset) << " (address ";
    line.Hex(address) << "); Windows would bugcheck here";
    line.Exit(ExitBugcheck);
}

void Install()
{
    struct sigaction action{};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : Signals)
        sigaction(signal, &action, &previous[signal]);
}

void CopyName(char* target, size_t room, const std::string& name)
{
    const size_t length = std::min(name.size(), room - 1);
    std::memcpy(target, name.data(), length);
    target[length] = 0;
}

// Gives back the oldest retired range when no slot is free. Caller holds slotsMutex.
Slot* FreeSlot()
{
    Slot* oldest = nullptr;
    for (Slot& slot : slots) {
        if (slot.state.load() == Range::Free)
            return &slot;
        if (slot.state.load() == Range::Retired && (oldest == nullptr || slot.retiredAt < oldest->retiredAt))
            oldest = &slot;
    }
    if (oldest != nullptr) {
        oldest->state.store(Range::Free, std::memory_order_release);
        munmap(reinterpret_cast<void*>(oldest->start.load()), oldest->end.load() - oldest->start.load());
    }
    return oldest;
}

}  // namespace

void WatchImage(const std::string& name, uint8_t* base, size_t size)
{
    std::call_once(installed, Install);
    std::lock_guard lock(slotsMutex);
    Slot* slot = FreeSlot();
    if (slot == nullptr)
        return;  // 64 images live at once: the newest runs unwatched
    CopyName(slot->name, sizeof(slot->name), name);
    slot->start.store(reinterpret_cast<uintptr_t>(base));
    slot->end.store(reinterpret_cast<uintptr_t>(base) + size);
    slot->state.store(Range::Live, std::memory_order_release);
}

void RetireImage(uint8_t* base, size_t size)
{
    std::lock_guard lock(slotsMutex);
    Slot* slot = SlotHolding(reinterpret_cast<uintptr_t>(base));
    if (slot == nullptr) {
        munmap(base, size);
        return;
    }
    mprotect(base, size, PROT_NONE);
    madvise(base, size, MADV_DONTNEED);
    slot->retiredAt = ++retirements;
    slot->state.store(Range::Retired, std::memory_order_release);
}

bool InLiveImage(uintptr_t address)
{
    const Slot* slot = SlotHolding(address);
    return slot != nullptr && slot->state.load(std::memory_order_acquire) == Range::Live;
}

bool DecodeCr8Move(const uint8_t* code, size_t available, Cr8Move* move)
{
    size_t at = 0;
    uint8_t rex = 0;
    if (available > 0 && (code[0] & 0xf0) == 0x40)
        rex = code[at++];
    if (available < at + 3 || code[at] != 0x0f || (code[at + 1] != 0x20 && code[at + 1] != 0x22))
        return false;
    const uint8_t modrm = code[at + 2];
    if ((modrm >> 6) != 3)
        return false;
    const int control = ((rex & 4) ? 8 : 0) + ((modrm >> 3) & 7);
    if (control != 8)
        return false;
    move->write = code[at + 1] == 0x22;
    move->reg = ((rex & 1) ? 8 : 0) + (modrm & 7);
    move->length = static_cast<int>(at + 3);
    return true;
}

}  // namespace emu::loader
