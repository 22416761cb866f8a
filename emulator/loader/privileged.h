// What a driver's code may do that only the kernel can: in a user-mode
// process such an instruction faults. The fault handler, active while an
// image is loaded, emulates the moves to and from CR8 (the task-priority
// register, which is the IRQL on x64: the DDK's inline KeGetCurrentIrql,
// KeRaiseIrql and KeLowerIrql) against the calling thread's IRQL, as Wine
// does. Any other fault in an image's code ends the run with one line
// naming the image, the offset and the address, as a bugcheck would; no
// exception or unwinding ever crosses the image's frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace emu::loader {

// Lets the fault handler know an image's range (installing the handler
// with the first image).
void WatchImage(const std::string& name, uint8_t* base, size_t size);
// Unloads the range: its pages are released and made inaccessible, the
// range stays reserved (the oldest retired ranges are given back once many
// have gathered).
void RetireImage(uint8_t* base, size_t size);

// True when `address` lies in a loaded (not yet retired) image. Safe in a
// signal handler (the bench's CPU sampler asks from one).
bool InLiveImage(uintptr_t address);

// A `mov crN, reg` or `mov reg, crN` with N = 8.
struct Cr8Move {
    bool write = false;  // true: mov cr8, reg
    int reg = 0;         // 0 rax, 1 rcx, ... 15 r15
    int length = 0;      // bytes of the instruction
};
// Decodes the instruction at `code` (`available` bytes readable). False
// when it is not a move to or from CR8.
bool DecodeCr8Move(const uint8_t* code, size_t available, Cr8Move* move);

}  // namespace emu::loader
