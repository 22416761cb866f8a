// Transfer data movement for the emulated device; see endpoint_engine.h.
#include "emulator/usb/endpoint_engine.h"

#include <algorithm>
#include <cstring>

namespace emu::usb {

std::optional<Fault> EndpointState::CountSubmission()
{
    ++submitted;
    auto hit = std::find_if(faults.begin(), faults.end(), [&](const Fault& f) { return f.ordinal == submitted; });
    if (hit == faults.end()) {
        return std::nullopt;
    }
    Fault fault = *hit;
    faults.erase(hit);
    return fault;
}

void QueueInPackets(EndpointState& in, const uint8_t* bytes, size_t length, bool zeroLengthAfterFull)
{
    size_t offset = 0;
    bool lastFull = false;
    while (offset < length) {
        const size_t size = std::min<size_t>(in.maxPacket, length - offset);
        in.packets.emplace_back(bytes + offset, bytes + offset + size);
        lastFull = size == in.maxPacket;
        offset += size;
    }
    if (length == 0 || (zeroLengthAfterFull && lastFull)) {
        in.packets.emplace_back();
    }
}

// The next packet the IN endpoint sends, or nothing when it has none now.
static std::optional<std::vector<uint8_t>> NextPacket(EndpointState& in)
{
    if (!in.packets.empty()) {
        std::vector<uint8_t> packet = std::move(in.packets.front());
        in.packets.pop_front();
        return packet;
    }
    if (in.role.behaviour != EndpointBehaviour::Source) {
        return std::nullopt;
    }
    std::vector<uint8_t> packet(in.maxPacket);
    for (auto& byte : packet) {
        byte = SourcePatternByte(in.sourceOffset++);
    }
    return packet;
}

size_t TakeInBytes(EndpointState& in, uint8_t* out, size_t length)
{
    size_t taken = 0;
    while (taken < length) {
        auto packet = NextPacket(in);
        if (!packet) {
            break;
        }
        const size_t used = std::min(packet->size(), length - taken);
        if (used != 0) {
            std::memcpy(out + taken, packet->data(), used);
        }
        taken += used;
        if (used < packet->size()) {
            in.packets.emplace_front(packet->begin() + static_cast<ptrdiff_t>(used), packet->end());
        } else if (packet->size() < in.maxPacket) {
            break;  // a short or zero-length packet ends what the device sends
        }
    }
    return taken;
}

void AcceptOutBytes(EndpointState& out, EndpointState* peer, const uint8_t* bytes, size_t length)
{
    if (out.role.recordReceived) {
        out.received.insert(out.received.end(), bytes, bytes + length);
    }
    if (out.role.behaviour != EndpointBehaviour::Loopback || peer == nullptr) {
        return;
    }
    // Each wire packet of the OUT endpoint comes back as packets of the IN
    // endpoint's size; a zero-length OUT transfer comes back as a
    // zero-length packet.
    size_t offset = 0;
    do {
        const size_t size = std::min<size_t>(out.maxPacket, length - offset);
        QueueInPackets(*peer, bytes + offset, size, false);
        offset += size;
    } while (offset < length);
    if (length != 0 && out.role.zeroLengthTerminator && peer->packets.back().size() == peer->maxPacket) {
        peer->packets.emplace_back();
    }
}

// The end of an IN transfer that received fewer bytes than it asked for.
static StepResult EndShort(EndpointState& in, const TransferData& transfer, bool shortIsError)
{
    if (transfer.shortOk || !shortIsError) {
        return {true, USBD_STATUS_SUCCESS};
    }
    in.halted = true;
    return {true, USBD_STATUS_ERROR_SHORT_TRANSFER};
}

static StepResult AdvanceIn(EndpointState& in, TransferData& transfer, bool shortIsError)
{
    const bool forcedShort = transfer.fault && transfer.fault->kind == Fault::Kind::Short;
    const uint32_t limit = forcedShort ? std::min(transfer.requested, transfer.fault->value) : transfer.requested;
    for (;;) {
        if (transfer.moved == limit) {
            return limit < transfer.requested ? EndShort(in, transfer, shortIsError) : StepResult{true, USBD_STATUS_SUCCESS};
        }
        auto packet = NextPacket(in);
        if (!packet) {
            return {false, USBD_STATUS_PENDING};
        }
        const uint32_t room = limit - transfer.moved;
        const uint32_t size = static_cast<uint32_t>(packet->size());
        const uint32_t used = std::min(size, room);
        if (used != 0) {
            std::memcpy(transfer.buffer + transfer.moved, packet->data(), used);
        }
        transfer.moved += used;
        if (size > room) {
            if (forcedShort) {
                in.packets.emplace_front(packet->begin() + used, packet->end());
                continue;
            }
            in.halted = true;  // the device sent more than the host asked for
            return {true, USBD_STATUS_BABBLE_DETECTED};
        }
        if (size < in.maxPacket) {
            return transfer.moved < transfer.requested ? EndShort(in, transfer, shortIsError)
                                                       : StepResult{true, USBD_STATUS_SUCCESS};
        }
    }
}

static StepResult AdvanceOut(EndpointState& out, EndpointState* peer, TransferData& transfer)
{
    if (out.role.behaviour == EndpointBehaviour::Silent) {
        return {false, USBD_STATUS_PENDING};
    }
    const bool forcedShort = transfer.fault && transfer.fault->kind == Fault::Kind::Short;
    const uint32_t length = forcedShort ? std::min(transfer.requested, transfer.fault->value) : transfer.requested;
    AcceptOutBytes(out, peer, transfer.buffer, length);
    transfer.moved = length;
    return {true, USBD_STATUS_SUCCESS};
}

StepResult Advance(EndpointState& endpoint, EndpointState* peer, TransferData& transfer, bool shortIsError)
{
    if (endpoint.halted) {
        return {true, USBD_STATUS_ENDPOINT_HALTED};
    }
    if (transfer.fault && transfer.fault->kind == Fault::Kind::Fail) {
        return {true, static_cast<USBD_STATUS>(transfer.fault->value)};
    }
    if (transfer.fault && transfer.fault->kind == Fault::Kind::Stall) {
        endpoint.halted = true;
        return {true, USBD_STATUS_STALL_PID};
    }
    return endpoint.In() ? AdvanceIn(endpoint, transfer, shortIsError) : AdvanceOut(endpoint, peer, transfer);
}

}  // namespace emu::usb
