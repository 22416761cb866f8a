// Every block the driver allocates comes from the non-paged pool with its
// own tag (the registry path copy in DriverEntry is the one paged block).
#pragma once

#include "driver/device_context.h"

// Null when the pool is exhausted. Any IRQL up to DISPATCH_LEVEL.
inline PVOID AllocateFromPool(SIZE_T Bytes)
{
    return ExAllocatePoolWithTag(NonPagedPool, Bytes, PondrelPoolTag);
}
