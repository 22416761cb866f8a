// Which pipe of the configuration in force a file name or a handle stands for.
#pragma once

#include "driver/device_context.h"

// The pipe index named by the last run of decimal digits of FileName, when
// that index is at most MaximumPipeIndex and below the NumberOfPipes of the
// configuration in force; false otherwise. PipeOpenFlags[*PipeIndex] is then
// the pipe's open flag. PASSIVE_LEVEL: file names live in paged pool.
bool PipeIndexFromName(const DeviceContext* Context, const UNICODE_STRING* FileName, ULONG* PipeIndex);

// The entry of the configuration in force for a pipe handle; null for a
// device handle, a missing file object, or a name that no longer names a
// pipe. PASSIVE_LEVEL.
PUSBD_PIPE_INFORMATION PipeOfHandle(DeviceContext* Context, PFILE_OBJECT FileObject);
