// Every block the driver allocates comes from the non-executable non-paged
// pool (Windows 8 and later) with its own tag (the registry path copy in
// DriverEntry is the one paged block).
#pragma once

#include "driver/device_context.h"

// Null when the pool is exhausted. Any IRQL up to DISPATCH_LEVEL.
inline PVOID AllocateFromPool(SIZE_T Bytes)
{
    return ExAllocatePoolWithTag(NonPagedPoolNx, Bytes, PondrelPoolTag);
}
