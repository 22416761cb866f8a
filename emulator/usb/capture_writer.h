// Writes the URBs of one device as a USBPcap capture: classic pcap,
// little-endian, link type 249, one record per submission and one per
// completion, the same IRP id in both.
#pragma once

#include "emulator/usb/usb_api.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace emu::usb {

// USBPcap transfer types.
enum class CaptureTransfer : uint8_t {
    Isochronous = 0,
    Interrupt = 1,
    Control = 2,
    Bulk = 3,
    IrpInfo = 0xFE,
};

// One record as the caller describes it; the writer adds the headers.
struct CaptureRecord {
    uint64_t irpId = 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    uint16_t function = 0;
    bool completion = false;  // PDO to FDO
    uint8_t endpoint = 0;     // bit 7 set for IN
    CaptureTransfer transfer = CaptureTransfer::Bulk;
    const uint8_t* setup = nullptr;  // control SETUP stage: the 8-byte setup packet
    const uint8_t* data = nullptr;
    uint32_t dataLength = 0;
};

class CaptureWriter {
public:
    ~CaptureWriter();
    // Starts a new capture file (truncating it); false when it cannot be written.
    bool Open(const std::string& path, uint16_t deviceAddress);
    // Adds this device's records to a capture another writer started and
    // closed (a device plugged again); starts the file when there is none.
    bool Append(const std::string& path, uint16_t deviceAddress);
    void Close();
    bool IsOpen();
    void Write(const CaptureRecord& record);

private:
    void WriteLocked(const CaptureRecord& record);

    std::mutex mutex_;  // guards file_ and the timestamp; records come from every thread
    std::FILE* file_ = nullptr;
    // file_ != nullptr, read without the lock: most devices capture nothing,
    // and every URB would otherwise take it twice.
    std::atomic<bool> open_{false};
    uint16_t deviceAddress_ = 0;
    uint64_t lastMicroseconds_ = 0;
};

}  // namespace emu::usb
