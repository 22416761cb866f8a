// What an emulated device and its host controller do with the data of one
// bulk or interrupt transfer: packets in, packets out, short and zero-length
// packets, babble, halts and injected faults. Pure bookkeeping on plain data
// (no requests, no locks): the device calls it under its own lock.
#pragma once

#include "emulator/usb/device_model.h"
#include "emulator/usb/endpoint_fault.h"
#include "emulator/usb/usb_api.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace emu::usb {

// A fault a test asked for, attached to the transfer it hits.
struct Fault {
    enum class Kind { Fail, Stall, Short };
    Kind kind;
    uint64_t ordinal;  // the endpoint's transfer number (1-based, counted at submission)
    uint32_t value;    // Fail: the URB status; Short: the byte count
};

// What an endpoint was told to do wrong (endpoint_fault.h) that lasts
// beyond one transfer. Byte marks count the endpoint's bytesMoved.
struct Misbehaviour {
    bool silent = false;                        // NAK until cleared
    std::chrono::steady_clock::time_point nakUntil{};  // NAK until then
    std::optional<uint32_t> shortLimit;         // at most this many bytes per transfer
    std::optional<uint64_t> failAt;             // the transfer that reaches this mark fails...
    USBD_STATUS failStatus = USBD_STATUS_SUCCESS;  // ...with this status
    std::optional<uint64_t> leaveAt;            // the device leaves the bus at this mark
};

// One endpoint of the device, on both sides of the wire.
struct EndpointState {
    uint8_t address = 0;
    uint8_t type = USB_ENDPOINT_TYPE_BULK;
    uint16_t maxPacket = 512;  // never 0 (a malformed descriptor's 0 is taken as 1)
    EndpointRole role;
    std::deque<std::vector<uint8_t>> packets;  // IN: what the device will send, one entry per packet
    std::vector<std::vector<uint8_t>> spare;   // IN: sent packets' buffers, for the next ones to reuse
    uint64_t sourceOffset = 0;                 // IN, Source: position in the pattern
    std::vector<uint8_t> received;             // OUT: every byte the device accepted
    bool halted = false;                       // stalled, or halted by the host controller
    uint64_t submitted = 0;                    // transfers submitted so far
    std::vector<Fault> faults;                 // faults still to come
    Misbehaviour misbehaviour;
    uint64_t bytesMoved = 0;                   // by every transfer so far
    bool leaving = false;                      // leave-after reached: the device is leaving the bus

    bool In() const { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }
    // Takes the fault planned for the next submitted transfer, if any.
    std::optional<Fault> CountSubmission();
};

// The data side of one transfer.
struct TransferData {
    uint8_t* buffer = nullptr;  // system address of the caller's bytes
    uint32_t requested = 0;
    uint32_t moved = 0;  // bytes moved so far (partial progress survives a wait)
    bool shortOk = false;
    std::optional<Fault> fault;
};

struct StepResult {
    bool done = false;
    USBD_STATUS status = USBD_STATUS_PENDING;
};

// Applies a fault told to the endpoint at time `now`, except what needs
// the whole device: a stall of a transfer already waiting, and zlp on an
// IN endpoint (which its OUT partner decides).
void ApplyFault(EndpointState& endpoint, const EndpointFault& fault, std::chrono::steady_clock::time_point now);

// Whether the endpoint answers NAK at `now` (silent, or in a nak window).
bool Naking(const EndpointState& endpoint, std::chrono::steady_clock::time_point now);

// Moves whatever the device can move now. `peer` is the loopback partner of
// an OUT endpoint (null if none); `shortIsError` the UHCI/OHCI policy.
StepResult Advance(EndpointState& endpoint, EndpointState* peer, TransferData& transfer, bool shortIsError);

// Splits `bytes` into packets of the endpoint's size and queues them; with
// `zeroLengthAfterFull`, a zero-length packet follows when the last packet is full.
void QueueInPackets(EndpointState& in, const uint8_t* bytes, size_t length, bool zeroLengthAfterFull);

// Takes up to `length` bytes the IN endpoint has (queued packets, then its
// pattern), splitting a packet when needed and stopping after a short or
// zero-length packet; returns how many it took.
size_t TakeInBytes(EndpointState& in, uint8_t* out, size_t length);

// What an OUT endpoint does with bytes it accepted: keep them and, for
// loopback, echo them on the partner packet by packet.
void AcceptOutBytes(EndpointState& out, EndpointState* peer, const uint8_t* bytes, size_t length);

}  // namespace emu::usb
