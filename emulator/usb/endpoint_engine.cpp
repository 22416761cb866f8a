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

// A packet of `size` bytes from `bytes`, in a buffer a sent packet left
// when there is one (a loopback queues a packet per packet it receives).
static std::vector<uint8_t> NewPacket(EndpointState& in, const uint8_t* bytes, size_t size)
{
    if (in.spare.empty()) {
        return std::vector<uint8_t>(bytes, bytes + size);
    }
    std::vector<uint8_t> packet = std::move(in.spare.back());
    in.spare.pop_back();
    packet.assign(bytes, bytes + size);
    return packet;
}

// Keeps a sent packet's buffer for NewPacket: enough for the packets of a
// 64 KiB loopback at full speed, which are all queued before a read takes
// them, so that a steady loopback allocates nothing.
static void Recycle(EndpointState& in, std::vector<uint8_t>&& packet)
{
    constexpr size_t SparePackets = 1024;
    if (in.spare.size() < SparePackets) {
        in.spare.push_back(std::move(packet));
    }
}

void QueueInPackets(EndpointState& in, const uint8_t* bytes, size_t length, bool zeroLengthAfterFull)
{
    size_t offset = 0;
    bool lastFull = false;
    while (offset < length) {
        const size_t size = std::min<size_t>(in.maxPacket, length - offset);
        in.packets.push_back(NewPacket(in, bytes + offset, size));
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
    FillSourcePattern(packet.data(), packet.size(), in.sourceOffset);
    in.sourceOffset += packet.size();
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
            continue;
        }
        const bool ends = packet->size() < in.maxPacket;
        Recycle(in, std::move(*packet));
        if (ends) {
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

// A source with nothing queued sends full packets without end: as many as
// fit before `limit` go straight into the transfer's buffer, exactly the
// bytes NextPacket would have made of them one packet at a time. False when
// there is not a whole one to take.
static bool TakeWholeSourcePackets(EndpointState& in, TransferData& transfer, uint32_t limit)
{
    const uint32_t room = limit - transfer.moved;
    if (in.role.behaviour != EndpointBehaviour::Source || !in.packets.empty() || in.maxPacket == 0 ||
        room < in.maxPacket) {
        return false;
    }
    const uint32_t whole = room - room % in.maxPacket;
    FillSourcePattern(transfer.buffer + transfer.moved, whole, in.sourceOffset);
    in.sourceOffset += whole;
    transfer.moved += whole;
    return true;
}

// `limit` (at most the requested length) is where the transfer must stop:
// past it the device keeps its bytes for the next transfer.
static StepResult AdvanceIn(EndpointState& in, TransferData& transfer, uint32_t limit, bool shortIsError)
{
    const bool forcedShort = limit < transfer.requested;
    for (;;) {
        if (transfer.moved == limit) {
            return limit < transfer.requested ? EndShort(in, transfer, shortIsError) : StepResult{true, USBD_STATUS_SUCCESS};
        }
        if (TakeWholeSourcePackets(in, transfer, limit)) {
            continue;
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
        if (size <= room) {
            Recycle(in, std::move(*packet));
        }
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

static StepResult AdvanceOut(EndpointState& out, EndpointState* peer, TransferData& transfer, uint32_t limit)
{
    if (out.role.behaviour == EndpointBehaviour::Silent) {
        return {false, USBD_STATUS_PENDING};
    }
    AcceptOutBytes(out, peer, transfer.buffer, limit);
    transfer.moved = limit;
    return {true, USBD_STATUS_SUCCESS};
}

// Bytes the endpoint may still move before a fail-after or leave-after mark.
static uint64_t BytesBeforeMark(const EndpointState& endpoint)
{
    uint64_t budget = UINT64_MAX;
    for (const auto& mark : {endpoint.misbehaviour.failAt, endpoint.misbehaviour.leaveAt}) {
        if (mark) {
            budget = std::min(budget, *mark > endpoint.bytesMoved ? *mark - endpoint.bytesMoved : 0);
        }
    }
    return budget;
}

// The transfer reached a byte mark: the fail-after fault is spent on it,
// and at the leave-after mark the device leaves (the transfer with it,
// unless it ended right at the mark).
static StepResult ReachMark(EndpointState& endpoint, StepResult step, bool cut)
{
    auto& misbehaviour = endpoint.misbehaviour;
    if (misbehaviour.leaveAt && endpoint.bytesMoved >= *misbehaviour.leaveAt) {
        endpoint.leaving = true;
        return cut ? StepResult{true, USBD_STATUS_DEVICE_GONE} : step;
    }
    if (cut && misbehaviour.failAt && endpoint.bytesMoved >= *misbehaviour.failAt) {
        misbehaviour.failAt.reset();
        return {true, misbehaviour.failStatus};
    }
    return step;
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
    if (endpoint.leaving) {
        return {true, USBD_STATUS_DEVICE_GONE};
    }
    // The clock is read only for an endpoint told to NAK for a while: every
    // step of every transfer passes here.
    const auto& misbehaviour = endpoint.misbehaviour;
    const bool nakTimed = misbehaviour.nakUntil != std::chrono::steady_clock::time_point{};
    if (misbehaviour.silent || (nakTimed && Naking(endpoint, std::chrono::steady_clock::now()))) {
        return {false, USBD_STATUS_PENDING};
    }
    uint32_t limit = transfer.requested;
    if (transfer.fault && transfer.fault->kind == Fault::Kind::Short) {
        limit = std::min(limit, transfer.fault->value);
    }
    if (endpoint.misbehaviour.shortLimit) {
        limit = std::min(limit, *endpoint.misbehaviour.shortLimit);
    }
    const uint64_t budget = BytesBeforeMark(endpoint);
    const bool cut = budget < static_cast<uint64_t>(limit) - std::min(limit, transfer.moved);
    if (cut) {
        limit = static_cast<uint32_t>(std::min<uint64_t>(limit, transfer.moved + budget));
    }
    const uint32_t before = transfer.moved;
    StepResult step = endpoint.In() ? AdvanceIn(endpoint, transfer, limit, shortIsError)
                                    : AdvanceOut(endpoint, peer, transfer, limit);
    endpoint.bytesMoved += transfer.moved - before;
    if (budget == UINT64_MAX) {
        return step;
    }
    return ReachMark(endpoint, step, cut && step.done);
}

bool Naking(const EndpointState& endpoint, std::chrono::steady_clock::time_point now)
{
    return endpoint.misbehaviour.silent || now < endpoint.misbehaviour.nakUntil;
}

void ApplyFault(EndpointState& endpoint, const EndpointFault& fault, std::chrono::steady_clock::time_point now)
{
    using Kind = EndpointFault::Kind;
    auto& misbehaviour = endpoint.misbehaviour;
    switch (fault.kind) {
    case Kind::Stall:
        endpoint.faults.push_back({Fault::Kind::Stall, endpoint.submitted + fault.value + 1, 0});
        break;
    case Kind::Nak: misbehaviour.nakUntil = now + std::chrono::milliseconds(fault.value); break;
    case Kind::Silent: misbehaviour.silent = true; break;
    case Kind::Short: misbehaviour.shortLimit = static_cast<uint32_t>(std::min<uint64_t>(fault.value, UINT32_MAX)); break;
    case Kind::Zlp: endpoint.role.zeroLengthTerminator = fault.value != 0; break;
    case Kind::FailAfter:
        misbehaviour.failAt = endpoint.bytesMoved + fault.value;
        misbehaviour.failStatus = fault.status;
        break;
    case Kind::LeaveAfter: misbehaviour.leaveAt = endpoint.bytesMoved + fault.value; break;
    case Kind::Clear:
        misbehaviour = Misbehaviour{};
        std::erase_if(endpoint.faults, [](const Fault& f) { return f.kind == Fault::Kind::Stall; });
        break;
    }
}

}  // namespace emu::usb
