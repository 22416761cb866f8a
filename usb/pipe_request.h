// The 40-byte request that names one pipe (reset, abort). Only the header
// and the pipe handle are set; the rest of the block is zero.
#pragma once

#include "driver/pool.h"

inline _URB_PIPE_REQUEST* AllocatePipeRequest()
{
    return static_cast<_URB_PIPE_REQUEST*>(AllocateFromPool(sizeof(_URB_PIPE_REQUEST)));
}

inline PURB FillPipeRequest(_URB_PIPE_REQUEST* Urb, USHORT Function, PUSBD_PIPE_INFORMATION Pipe)
{
    RtlZeroMemory(Urb, sizeof(_URB_PIPE_REQUEST));
    Urb->Hdr.Length = sizeof(_URB_PIPE_REQUEST);
    Urb->Hdr.Function = Function;
    Urb->PipeHandle = Pipe->PipeHandle;
    return reinterpret_cast<PURB>(Urb);
}
