// Counted strings, the memory comparison routine and the C memory routines
// an image imports, plus the emulator's own conversions of kernel strings
// for names and reports.
#include "emulator/kernel/crt_exports.h"
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/thread_state.h"

namespace emu::kernel {

std::u16string ToU16(const UNICODE_STRING* string)
{
    if (string == nullptr || string->Buffer == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(string->Buffer), string->Length / sizeof(WCHAR));
}

std::string ToUtf8(std::u16string_view text)
{
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace emu::kernel

extern "C" {

// <= DISPATCH_LEVEL (for a nonpaged source). The string points at SourceString.
void NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    emu::kernel::CheckIrqlAtMost(DISPATCH_LEVEL, "RtlInitUnicodeString");
    constexpr size_t MaximumCharacters = 0xFFFC / sizeof(WCHAR);
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t characters = 0;
    while (SourceString[characters] != 0 && characters < MaximumCharacters) {
        ++characters;
    }
    DestinationString->Length = static_cast<USHORT>(characters * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR));
}

// PASSIVE_LEVEL. Frees a buffer the system allocated for the caller.
void NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    emu::kernel::CheckIrqlAtMost(PASSIVE_LEVEL, "RtlFreeUnicodeString");
    if (UnicodeString->Buffer != nullptr) {
        emu::kernel::FreePool(UnicodeString->Buffer, "RtlFreeUnicodeString");
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

void NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    const USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                                  : DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    for (size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = (a >= 'a' && a <= 'z') ? WCHAR(a - 'a' + 'A') : a;
            b = (b >= 'a' && b <= 'z') ? WCHAR(b - 'a' + 'A') : b;
        }
        if (a != b) {
            return FALSE;
        }
    }
    return TRUE;
}

// The number of leading bytes that match.
SIZE_T NTAPI RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length)
{
    auto a = static_cast<const UCHAR*>(Source1);
    auto b = static_cast<const UCHAR*>(Source2);
    SIZE_T matching = 0;
    while (matching < Length && a[matching] == b[matching]) {
        ++matching;
    }
    return matching;
}

}  // extern "C"

// The C routines an image imports from the kernel, at any IRQL: the C
// library's, reached through the x64 convention the image calls with.
extern "C" {

void* NTAPI KernelMemcpy(void* Destination, const void* Source, SIZE_T Length)
{
    return memcpy(Destination, Source, Length);
}

void* NTAPI KernelMemmove(void* Destination, const void* Source, SIZE_T Length)
{
    return memmove(Destination, Source, Length);
}

void* NTAPI KernelMemset(void* Destination, int Value, SIZE_T Length)
{
    return memset(Destination, Value, Length);
}

}  // extern "C"
