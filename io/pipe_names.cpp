#include "io/pipe_names.h"

static bool IsDecimalDigit(WCHAR Character)
{
    return Character >= L'0' && Character <= L'9';
}

// Reads the last run of digits backwards, each digit times its place value,
// both wrapping modulo 2^32 as 32-bit unsigned numbers do. Characters behind
// the run are passed over, and an odd last byte is no character. The index
// must name a byte of PipeOpenFlags, which has NumberOfPipes of them.
// PASSIVE_LEVEL.
bool PipeIndexFromName(const DeviceContext* Context, const UNICODE_STRING* FileName, ULONG* PipeIndex)
{
    ULONG Position = FileName->Length / sizeof(WCHAR);
    if (Position == 0 || !FileName->Buffer) {
        return false;
    }
    while (Position > 0 && !IsDecimalDigit(FileName->Buffer[Position - 1])) {
        --Position;
    }
    if (Position == 0) {
        return false;
    }

    ULONG Sum = 0;
    ULONG Place = 1;
    while (Position > 0 && IsDecimalDigit(FileName->Buffer[Position - 1])) {
        Sum += static_cast<ULONG>(FileName->Buffer[Position - 1] - L'0') * Place;
        Place *= 10;
        --Position;
    }

    const PUSBD_INTERFACE_INFORMATION Interface = Context->InterfaceInfo;
    if (Sum > MaximumPipeIndex || !Context->PipeOpenFlags || !Interface || Sum >= Interface->NumberOfPipes) {
        return false;
    }
    *PipeIndex = Sum;
    return true;
}

// The handle's FsContext only says that it is a pipe handle; it is never
// dereferenced. After a stop and a new start it may point into a pipe table
// that was freed, or, when the new table was allocated at the same address,
// at an entry of another index. The name the handle was opened with says
// which pipe it stands for, and finds it in the table in force.
// PASSIVE_LEVEL.
PUSBD_PIPE_INFORMATION PipeOfHandle(DeviceContext* Context, PFILE_OBJECT FileObject)
{
    if (!FileObject || !FileObject->FsContext) {
        return nullptr;
    }
    ULONG Index;
    if (!PipeIndexFromName(Context, &FileObject->FileName, &Index)) {
        return nullptr;
    }
    return Context->InterfaceInfo->Pipes + Index;
}
