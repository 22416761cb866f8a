// What an emulated USB device is before it is plugged in: its descriptors,
// what each endpoint does with data, its power capabilities and how its
// transfers complete. Built in code, from the built-in default, or from a
// device file.
//
// This header is the contract between emulator/usb and its users (tests,
// the harness, pondrel-sim). Extend it; do not rename what is here.
#pragma once

#include "emulator/usb/bus_timing.h"
#include "emulator/usb/endpoint_fault.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu::usb {

enum class EndpointBehaviour {
    Loopback,  // OUT bytes come back on the paired IN endpoint, packet by packet
    Source,    // IN endpoint: an endless deterministic counting pattern
    Sink,      // OUT endpoint: accepts and discards
    Silent,    // never completes a transfer on its own (IN: no data arrives)
};

enum class CompletionMode {
    BusThread,    // default: completed asynchronously on the bus thread at DISPATCH_LEVEL
    Synchronous,  // completed inside IofCallDriver
    Held,         // kept until a test releases it (UsbDevice::Release*)
};

struct EndpointRole {
    EndpointBehaviour behaviour = EndpointBehaviour::Sink;
    std::optional<uint8_t> pairedWith;  // loopback partner (OUT 0x0N <-> IN 0x8N by default)
    // Loopback OUT endpoint: after echoing an OUT transfer whose length is a
    // non-zero multiple of the IN packet size, the device sends a zero-length
    // packet, so that the host's IN transfer ends there instead of waiting
    // for more bytes. Off: such a transfer is echoed as full packets only.
    bool zeroLengthTerminator = true;
    // OUT endpoint: keep every accepted byte for ReceivedOut. Off for long
    // runs (the benchmark), where the record would grow without end.
    bool recordReceived = true;
};

// Byte `offset` of the endless stream a Source endpoint sends (a counting
// pattern modulo 251, so that it never lines up with a packet size).
uint8_t SourcePatternByte(uint64_t offset);
// Bytes [offset, offset + length) of that stream.
void FillSourcePattern(uint8_t* out, size_t length, uint64_t offset);

struct PowerCapabilities {
    // DEVICE_POWER_STATE per SYSTEM_POWER_STATE (index 0..6), as the bus
    // reports them. As a hub reports a remote-wake device: kept in D2, the
    // state it signals wake from, in every sleep it can wake the system
    // from (S1..S3); D3 in hibernate and shutdown.
    int deviceState[7] = {0, 1, 3, 3, 3, 4, 4};
    int systemWake = 4;           // PowerSystemSleeping3
    int deviceWake = 3;           // PowerDeviceD2
    bool surpriseRemovalOK = false;
    // The PDO's DO_POWER_PAGABLE: without it the power manager may send
    // the stack's power requests at DISPATCH_LEVEL.
    bool pageable = true;
};

struct DeviceModel {
    std::vector<uint8_t> deviceDescriptor;  // 18 bytes normally; served as is, even when malformed
    std::vector<uint8_t> configDescriptor;  // the whole block; served as is, even when malformed
    // The BOS descriptor with its device capabilities; empty when the device
    // has none. A hub wants one of a device whose bcdUSB is above 2.00.
    std::vector<uint8_t> bosDescriptor;
    std::map<uint8_t, EndpointRole> endpoints;  // by bEndpointAddress; unlisted: Sink (OUT) / Silent (IN)
    PowerCapabilities power;
    CompletionMode completion = CompletionMode::BusThread;
    bool shortTransferIsError = false;
    bool recordUrbs = true;  // keep every URB for Urbs(); off for long runs (the benchmark)  // UHCI/OHCI policy for a short IN without USBD_SHORT_TRANSFER_OK
    // The bus the device is on. With busTiming, a transfer completed on the
    // bus thread ends no sooner than that bus could have carried it
    // (bus_timing.h); off, as fast as the emulator moves the bytes (the
    // benchmark's untimed figures). Synchronous and held completions are
    // never timed.
    BusSpeed speed = BusSpeed::High;
    // Set when a device file gave no speed: which speed was taken and why.
    std::string speedNote;
    bool busTiming = true;
    // Faults each endpoint shows from the moment the device is plugged, in
    // the order given (a device file's `fault` lines).
    std::vector<std::pair<uint8_t, EndpointFault>> faults;
    // The device never answers on endpoint 0 (`fault 0x00 silent`): control
    // requests wait until they are cancelled or the device leaves.
    bool defaultPipeSilent = false;

    // The built-in device: vendor-specific interface 0 with bulk OUT 0x01,
    // bulk IN 0x81 (loopback pair), interrupt IN 0x83, bulk OUT 0x02 and bulk
    // IN 0x82 (a second loopback pair); remote-wakeup capable; 512-byte bulk packets.
    static DeviceModel Builtin();

    // Parses a device file (the format: docs/device-files.md).
    // On error returns nullopt and sets `error` to "file:line: what is wrong".
    static std::optional<DeviceModel> Parse(std::string_view text, std::string_view fileName, std::string* error);
    static std::optional<DeviceModel> Load(const std::string& path, std::string* error);

    // The same device on a bus of `speed`: bulk endpoints with the packet
    // size the USB rules want there (64 bytes at full speed, 512 at high,
    // 1024 at super), interrupt endpoints cut to the speed's limit, and at
    // SuperSpeed a USB 3 device descriptor (bMaxPacketSize0 the exponent 9)
    // with a companion descriptor after every endpoint, and a BOS
    // descriptor when the device has none.
    DeviceModel AtSpeed(BusSpeed speed) const;

    // The behaviour of endpoint `address`: as listed, else Sink (OUT) or Silent (IN).
    EndpointRole RoleFor(uint8_t address) const;
    // The configuration descriptor has the remote-wakeup attribute and the
    // power capabilities name a system state to wake from.
    bool RemoteWakeCapable() const;
};

}  // namespace emu::usb
