// Finding the data of a URB; see transfer_buffer.h.
#include "emulator/usb/transfer_buffer.h"

#include "emulator/kernel/system.h"
#include "emulator/usb/memory_bounds.h"

namespace emu::usb {

USBD_STATUS ResolveTransferBuffer(PMDL mdl, PVOID buffer, ULONG length, const char* routine, uint8_t** address)
{
    *address = nullptr;
    if (length == 0) {
        return USBD_STATUS_SUCCESS;
    }
    if (mdl != nullptr) {
        if (MmGetMdlByteCount(mdl) < length) {
            emu::verifier::Report("transfer longer than its MDL", routine);
            return USBD_STATUS_INVALID_PARAMETER;
        }
        // The host controller works on the pages, not on a mapping: the
        // MDL's system mapping when it has one, else the locked buffer itself.
        const bool mapped = (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0;
        *address = static_cast<uint8_t*>(mapped ? mdl->MappedSystemVa : MmGetMdlVirtualAddress(mdl));
        return USBD_STATUS_SUCCESS;
    }
    if (buffer == nullptr) {
        emu::verifier::Report("transfer of data without a buffer or an MDL", routine);
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (OverrunsPoolBlock(buffer, length)) {
        emu::verifier::Report("transfer buffer runs past the end of its pool block", routine);
        return USBD_STATUS_INVALID_PARAMETER;
    }
    *address = static_cast<uint8_t*>(buffer);
    return USBD_STATUS_SUCCESS;
}

bool UrbHolds(PURB urb, size_t size)
{
    return urb->UrbHeader.Length >= size && !OverrunsPoolBlock(urb, size);
}

}  // namespace emu::usb
