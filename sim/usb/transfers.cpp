// The frame engine: what one 1 ms full-speed frame does for a port. Interrupt
// pipes are polled first when their bInterval is due, then the control
// transfer at the head of the default pipe moves one stage, then bulk pipes
// share what is left of the frame packet by packet.
#include <algorithm>
#include <cstring>

#include <wdm.h>

#include "usb/port_state.h"

namespace sim::usb {

NTSTATUS NtStatusOf(USBD_STATUS status) {
  switch (status) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
      return STATUS_INVALID_PARAMETER;
    default: return STATUS_UNSUCCESSFUL;
  }
}

void FinishLocked(PortState& s, Transfer* t, USBD_STATUS status, std::vector<Completion>& out) {
  auto& q = t->pipe->queue;
  q.erase(std::remove(q.begin(), q.end(), t), q.end());
  s.byTicket.erase(t->ticket);
  ++s.counters.completed;
  --s.counters.pending;
  if (!t->control && t->in) s.counters.bytesIn += t->actual;
  if (!t->control && !t->in) s.counters.bytesOut += t->actual;
  out.push_back({t, status});
}

void FlushPipeLocked(PortState& s, Pipe& pipe, USBD_STATUS status, std::vector<Completion>& out) {
  while (!pipe.queue.empty()) FinishLocked(s, pipe.queue.front(), status, out);
}

void FlushAllLocked(PortState& s, USBD_STATUS status, std::vector<Completion>& out) {
  FlushPipeLocked(s, s.defaultPipe, status, out);
  for (auto& [handle, pipe] : s.pipes) FlushPipeLocked(s, *pipe, status, out);
}

void Deliver(std::vector<Completion>& done) {
  if (done.empty()) return;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  for (auto& c : done) {
    Transfer* t = c.transfer;
    t->urb->UrbHeader.Status = c.usbd;
    if (t->lengthField) *t->lengthField = t->actual;
    UrbDone fn = std::move(t->done);
    PURB urb = t->urb;
    delete t;
    if (fn) fn(urb, NtStatusOf(c.usbd));
  }
  KeLowerIrql(old);
  done.clear();
}

namespace {

constexpr uint64_t kNever = UINT64_MAX;

uint64_t DueOf(const Pipe& p) {
  if (p.queue.empty()) return kNever;
  const Transfer* t = p.queue.front();
  // A halted pipe waits for its reset; nothing on it runs.
  if (p.halted) return kNever;
  if (p.type == UsbdPipeTypeInterrupt) return std::max(t->notBefore, p.nextPoll);
  return t->notBefore;
}

// A transaction's share of the frame, or false when it no longer fits.
bool Spend(int& budget, size_t payload) {
  const int cost = kTransactionOverhead + int(payload);
  if (budget < cost) return false;
  budget -= cost;
  return true;
}

// An error that halts the endpoint: the failed transfer carries the error,
// the transfers queued behind it fail at once as Windows fails requests to a
// halted pipe, and the pipe stays halted until a reset.
void HaltPipe(PortState& s, Pipe& p, Transfer* t, USBD_STATUS status, std::vector<Completion>& out) {
  p.halted = true;
  FinishLocked(s, t, status, out);
  FlushPipeLocked(s, p, USBD_STATUS_ENDPOINT_HALTED, out);
}

// What a transaction left the pipe able to do in the rest of the frame.
enum class Step { More, Finished, Stop };

// One IN or OUT transaction on a bulk or interrupt pipe.
Step Transaction(PortState& s, Pipe& p, uint64_t now, int& budget, std::vector<Completion>& out) {
  Transfer* t = p.queue.front();
  UsbDeviceModel& dev = *s.device;
  if (t->in) {
    if (!Spend(budget, p.maxPacket)) return Step::Stop;
    std::vector<uint8_t> packet;
    const Handshake h = dev.in(p.address, p.maxPacket, packet, now);
    if (h == Handshake::Nak) return Step::Stop;
    if (h == Handshake::Stall) {
      HaltPipe(s, p, t, USBD_STATUS_STALL_PID, out);
      return Step::Stop;
    }
    if (packet.size() > p.maxPacket) {
      HaltPipe(s, p, t, USBD_STATUS_BABBLE_DETECTED, out);
      return Step::Stop;
    }
    const ULONG room = t->length - t->actual;
    const ULONG take = std::min<ULONG>(room, ULONG(packet.size()));
    if (take) std::memcpy(t->buffer + t->actual, packet.data(), take);
    t->actual += take;
    if (packet.size() > room) {
      // The device sent more than the buffer holds: the excess is lost.
      HaltPipe(s, p, t, USBD_STATUS_BUFFER_OVERRUN, out);
      return Step::Stop;
    }
    if (t->actual == t->length) {
      FinishLocked(s, t, USBD_STATUS_SUCCESS, out);
      return Step::Finished;
    }
    if (packet.size() < p.maxPacket) {
      // A short packet ends the transfer; a full-speed controller halts the
      // pipe unless the client allowed short transfers.
      if (t->shortOk) {
        FinishLocked(s, t, USBD_STATUS_SUCCESS, out);
        return Step::Finished;
      }
      HaltPipe(s, p, t, USBD_STATUS_DATA_UNDERRUN, out);
      return Step::Stop;
    }
    return Step::More;
  }
  const ULONG n = std::min<ULONG>(p.maxPacket, t->length - t->actual);
  if (!Spend(budget, n)) return Step::Stop;
  const Handshake h = dev.out(p.address, std::span<const uint8_t>(t->buffer + t->actual, n), now);
  if (h == Handshake::Nak) return Step::Stop;
  if (h == Handshake::Stall) {
    HaltPipe(s, p, t, USBD_STATUS_STALL_PID, out);
    return Step::Stop;
  }
  t->actual += n;
  if (t->actual == t->length) {
    FinishLocked(s, t, USBD_STATUS_SUCCESS, out);
    return Step::Stop;
  }
  return Step::More;
}

// Moves the control transfer at the head of the default pipe by one stage.
void ControlStage(PortState& s, uint64_t frame, uint64_t now, int& budget, std::vector<Completion>& out) {
  Pipe& p = s.defaultPipe;
  if (p.queue.empty()) return;
  Transfer* t = p.queue.front();
  if (t->notBefore > frame) return;
  switch (t->stage) {
    case 0: {  // setup: the device sees the request now and answers for the whole transfer
      if (!Spend(budget, 8)) return;
      std::vector<uint8_t> answer;
      std::span<const uint8_t> outData;
      if (!t->in) outData = std::span<const uint8_t>(t->buffer, t->length);
      const Handshake h = s.device->control(t->setup, outData, answer, now);
      if (h == Handshake::Nak) return;  // tried again next frame
      if (h == Handshake::Stall) {
        // A control pipe stall is cleared by the next setup: no halt to reset.
        FinishLocked(s, t, USBD_STATUS_STALL_PID, out);
        return;
      }
      if (t->in) {
        answer.resize(std::min<size_t>(answer.size(), t->length));
        t->answer = std::move(answer);
      }
      t->stage = t->length > 0 ? 1 : 2;
      t->notBefore = frame + 1;
      return;
    }
    case 1: {  // data, in packets of bMaxPacketSize0
      const ULONG total = t->in ? ULONG(t->answer.size()) : t->length;
      while (t->actual < total || (t->in && t->actual == 0 && total == 0)) {
        const ULONG n = std::min<ULONG>(s.maxPacket0, total - t->actual);
        if (!Spend(budget, n)) return;
        if (t->in && n) std::memcpy(t->buffer + t->actual, t->answer.data() + t->actual, n);
        t->actual += n;
        if (n < s.maxPacket0) break;  // short packet: end of the data stage
      }
      t->stage = 2;
      t->notBefore = frame + 1;
      return;
    }
    default: {  // status
      if (!Spend(budget, 0)) return;
      USBD_STATUS status = USBD_STATUS_SUCCESS;
      if (t->onSuccess) status = t->onSuccess(s, out);
      FinishLocked(s, t, status, out);
      return;
    }
  }
}

}  // namespace

uint64_t NextDueFrameLocked(PortState& s) {
  if (!s.connected || s.suspended) return kNever;
  uint64_t due = DueOf(s.defaultPipe);
  for (auto& [h, p] : s.pipes) due = std::min(due, DueOf(*p));
  return due;
}

void RunFrameLocked(PortState& s, uint64_t frame, uint64_t now, std::vector<Completion>& out) {
  if (!s.connected || s.suspended || !s.device) return;
  int budget = kFrameBytes;
  // Periodic transfers first: one transaction per due interrupt pipe.
  for (auto& [h, pp] : s.pipes) {
    Pipe& p = *pp;
    if (p.type != UsbdPipeTypeInterrupt || DueOf(p) > frame) continue;
    p.nextPoll = frame + std::max<uint8_t>(p.interval, 1);
    Transaction(s, p, now, budget, out);
  }
  ControlStage(s, frame, now, budget, out);
  // Bulk pipes take turns packet by packet; the starting pipe rotates so no
  // pipe owns the head of every frame.
  std::vector<Pipe*> bulk;
  for (auto& [h, pp] : s.pipes)
    if (pp->type == UsbdPipeTypeBulk && DueOf(*pp) <= frame) bulk.push_back(pp.get());
  if (bulk.empty()) return;
  const size_t start = s.bulkCursor++ % bulk.size();
  std::rotate(bulk.begin(), bulk.begin() + start, bulk.end());
  std::vector<bool> idle(bulk.size(), false);
  for (bool progress = true; progress && budget > kTransactionOverhead;) {
    progress = false;
    for (size_t i = 0; i < bulk.size(); ++i) {
      if (idle[i]) continue;
      Pipe& p = *bulk[i];
      if (DueOf(p) > frame) {
        idle[i] = true;
        continue;
      }
      // A transfer that ends frees the pipe for the next one queued behind it
      // in the same frame, as a controller's transfer chain does.
      const Step step = Transaction(s, p, now, budget, out);
      if (step == Step::More || (step == Step::Finished && DueOf(p) <= frame)) {
        progress = true;
      } else {
        idle[i] = true;
      }
    }
  }
}

}  // namespace sim::usb
