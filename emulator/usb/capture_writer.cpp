// USBPcap capture writing; see capture_writer.h.
#include "emulator/usb/capture_writer.h"

#include <chrono>
#include <cstring>
#include <vector>

namespace emu::usb {
namespace {

#pragma pack(push, 1)
struct PcapGlobalHeader {
    uint32_t magic;
    uint16_t versionMajor;
    uint16_t versionMinor;
    int32_t thiszone;
    uint32_t sigfigs;
    uint32_t snaplen;
    uint32_t network;
};

struct PcapRecordHeader {
    uint32_t seconds;
    uint32_t microseconds;
    uint32_t includedLength;
    uint32_t originalLength;
};

struct UsbpcapPacketHeader {
    uint16_t headerLen;
    uint64_t irpId;
    uint32_t status;
    uint16_t function;
    uint8_t info;
    uint16_t bus;
    uint16_t device;
    uint8_t endpoint;
    uint8_t transfer;
    uint32_t dataLength;
};
#pragma pack(pop)

static_assert(sizeof(PcapGlobalHeader) == 24);
static_assert(sizeof(PcapRecordHeader) == 16);
static_assert(sizeof(UsbpcapPacketHeader) == 27);

constexpr uint32_t LinkTypeUsbPcap = 249;
constexpr uint16_t RootHub = 1;
constexpr uint8_t StageSetup = 0;
constexpr uint8_t StageComplete = 3;

uint64_t WallClockMicroseconds()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace

CaptureWriter::~CaptureWriter()
{
    Close();
}

bool CaptureWriter::Open(const std::string& path, uint16_t deviceAddress)
{
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) {
        std::fclose(file_);
    }
    file_ = std::fopen(path.c_str(), "wb");
    open_ = file_ != nullptr;
    if (file_ == nullptr) {
        return false;
    }
    deviceAddress_ = deviceAddress;
    lastMicroseconds_ = 0;
    const PcapGlobalHeader header{0xA1B2C3D4, 2, 4, 0, 0, 65535, LinkTypeUsbPcap};
    if (std::fwrite(&header, sizeof header, 1, file_) != 1) {
        std::fclose(file_);
        file_ = nullptr;
        open_ = false;
        return false;
    }
    std::fflush(file_);
    open_ = true;
    return true;
}

bool CaptureWriter::Append(const std::string& path, uint16_t deviceAddress)
{
    {
        std::lock_guard lock(mutex_);
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
            open_ = false;
        }
        std::FILE* existing = std::fopen(path.c_str(), "ab");
        if (existing != nullptr && std::fseek(existing, 0, SEEK_END) == 0 && std::ftell(existing) > 0) {
            file_ = existing;
            open_ = true;
            deviceAddress_ = deviceAddress;
            lastMicroseconds_ = 0;
            return true;
        }
        if (existing != nullptr) {
            std::fclose(existing);
        }
    }
    return Open(path, deviceAddress);
}

void CaptureWriter::Close()
{
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    open_ = false;
}

bool CaptureWriter::IsOpen()
{
    std::lock_guard lock(mutex_);
    return file_ != nullptr;
}

void CaptureWriter::Write(const CaptureRecord& record)
{
    if (!open_.load(std::memory_order_acquire)) {
        return;
    }
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) {
        WriteLocked(record);
    }
}

// Lays out one record: pcap header, USBPcap header (with the stage byte for
// control transfers), then the setup packet and data. Timestamps never go
// backwards, whatever the wall clock does.
void CaptureWriter::WriteLocked(const CaptureRecord& record)
{
    const bool control = record.transfer == CaptureTransfer::Control;
    const uint32_t setupBytes = control && record.setup != nullptr ? 8 : 0;
    const uint32_t payload = setupBytes + (record.data != nullptr ? record.dataLength : 0);
    const uint16_t headerLen = sizeof(UsbpcapPacketHeader) + (control ? 1 : 0);

    uint64_t now = WallClockMicroseconds();
    if (now <= lastMicroseconds_) {
        now = lastMicroseconds_ + 1;
    }
    lastMicroseconds_ = now;

    const PcapRecordHeader pcap{static_cast<uint32_t>(now / 1000000), static_cast<uint32_t>(now % 1000000),
                                headerLen + payload, headerLen + payload};
    const UsbpcapPacketHeader usb{headerLen,
                                  record.irpId,
                                  static_cast<uint32_t>(record.status),
                                  record.function,
                                  static_cast<uint8_t>(record.completion ? 1 : 0),
                                  RootHub,
                                  deviceAddress_,
                                  record.endpoint,
                                  static_cast<uint8_t>(record.transfer),
                                  payload};
    std::vector<uint8_t> bytes(sizeof pcap + headerLen + payload);
    uint8_t* out = bytes.data();
    std::memcpy(out, &pcap, sizeof pcap);
    out += sizeof pcap;
    std::memcpy(out, &usb, sizeof usb);
    out += sizeof usb;
    if (control) {
        *out++ = record.completion ? StageComplete : StageSetup;
    }
    if (setupBytes != 0) {
        std::memcpy(out, record.setup, setupBytes);
        out += setupBytes;
    }
    if (record.data != nullptr && record.dataLength != 0) {
        std::memcpy(out, record.data, record.dataLength);
    }
    std::fwrite(bytes.data(), 1, bytes.size(), file_);
    std::fflush(file_);
}

}  // namespace emu::usb
