// URB intake of a hub port: checks what a client driver submits, turns each
// URB function into a queued transfer (control requests with their setup
// packet, bulk and interrupt transfers on their pipe) or answers it at once
// (abort pipe, frame number, host-side pipe reset, and every refusal).
#include <cstring>

#include <wdm.h>

#include "kernel.h"
#include "usb/port_state.h"

namespace sim::usb {
namespace {

constexpr uint64_t kFrame = kFrameTime;

uint64_t CurrentFrame() { return sim::kernel::Now() / kFrame; }

Pipe* PipeOf(PortState& s, USBD_PIPE_HANDLE h) {
  auto it = s.pipes.find(reinterpret_cast<uintptr_t>(h));
  return it == s.pipes.end() ? nullptr : it->second.get();
}

uint8_t Recipient(USHORT function) {
  switch (function) {
    case URB_FUNCTION_VENDOR_DEVICE: case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE: case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return BMREQUEST_TO_DEVICE;
    case URB_FUNCTION_VENDOR_INTERFACE: case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE: case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE: case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
      return BMREQUEST_TO_INTERFACE;
    case URB_FUNCTION_VENDOR_ENDPOINT: case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT: case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
      return BMREQUEST_TO_ENDPOINT;
    default:
      return BMREQUEST_TO_OTHER;
  }
}

// The endpoint descriptors that follow an interface descriptor, up to the next interface.
std::vector<PUSB_ENDPOINT_DESCRIPTOR> EndpointsOf(PUSB_CONFIGURATION_DESCRIPTOR c, PUSB_INTERFACE_DESCRIPTOR i) {
  std::vector<PUSB_ENDPOINT_DESCRIPTOR> eps;
  const PUCHAR end = reinterpret_cast<PUCHAR>(c) + c->wTotalLength;
  PUCHAR p = reinterpret_cast<PUCHAR>(i) + i->bLength;
  while (p + 2 <= end) {
    auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
    if (d->bLength < 2 || p + d->bLength > end) break;
    if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (d->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && d->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR))
      eps.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(p));
    p += d->bLength;
  }
  return eps;
}

USBD_PIPE_TYPE TypeOf(UCHAR attributes) {
  switch (attributes & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_ISOCHRONOUS: return UsbdPipeTypeIsochronous;
    case USB_ENDPOINT_TYPE_BULK: return UsbdPipeTypeBulk;
    case USB_ENDPOINT_TYPE_INTERRUPT: return UsbdPipeTypeInterrupt;
    default: return UsbdPipeTypeControl;
  }
}

// Closes the pipes of one interface (or all with -1); their transfers end cancelled.
void ClosePipesLocked(PortState& s, int interfaceNumber, std::vector<Completion>& out) {
  for (auto it = s.pipes.begin(); it != s.pipes.end();) {
    if (interfaceNumber >= 0 && it->second->interfaceNumber != interfaceNumber) {
      ++it;
      continue;
    }
    FlushPipeLocked(s, *it->second, USBD_STATUS_CANCELED, out);
    it = s.pipes.erase(it);
  }
}

// Opens the pipes of one interface setting and fills its USBD_INTERFACE_INFORMATION.
void OpenInterfaceLocked(PortState& s, PUSB_INTERFACE_DESCRIPTOR d, const std::vector<PUSB_ENDPOINT_DESCRIPTOR>& eps,
                         PUSBD_INTERFACE_INFORMATION info) {
  uintptr_t& ih = s.interfaceHandles[d->bInterfaceNumber];
  ih = s.NewHandle();
  s.altSettings[d->bInterfaceNumber] = d->bAlternateSetting;
  info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(ih);
  info->Class = d->bInterfaceClass;
  info->SubClass = d->bInterfaceSubClass;
  info->Protocol = d->bInterfaceProtocol;
  info->Reserved = 0;
  info->NumberOfPipes = d->bNumEndpoints;
  for (ULONG i = 0; i < d->bNumEndpoints; ++i) {
    auto pipe = std::make_unique<Pipe>();
    pipe->handle = s.NewHandle();
    pipe->address = eps[i]->bEndpointAddress;
    pipe->interfaceNumber = d->bInterfaceNumber;
    pipe->type = TypeOf(eps[i]->bmAttributes);
    pipe->maxPacket = eps[i]->wMaxPacketSize & 0x7FF;
    pipe->interval = eps[i]->bInterval;
    pipe->maxTransfer = info->Pipes[i].MaximumTransferSize;
    USBD_PIPE_INFORMATION& pi = info->Pipes[i];
    pi.MaximumPacketSize = pipe->maxPacket;
    pi.EndpointAddress = pipe->address;
    pi.Interval = pipe->interval;
    pi.PipeType = pipe->type;
    pi.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(pipe->handle);
    s.pipes.emplace(pipe->handle, std::move(pipe));
  }
}

// Checks a select-configuration request against the descriptor it carries.
// Each interface information must name an interface setting of that
// configuration and have room for all its pipes.
struct InterfaceChoice {
  PUSBD_INTERFACE_INFORMATION info;
  PUSB_INTERFACE_DESCRIPTOR descriptor;
  std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints;
};

USBD_STATUS CheckInterfaces(PUSB_CONFIGURATION_DESCRIPTOR c, PUCHAR first, PUCHAR end,
                            std::vector<InterfaceChoice>& out) {
  const size_t head = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  for (PUCHAR p = first; p < end;) {
    if (size_t(end - p) < head) return USBD_STATUS_INVALID_PARAMETER;
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
    if (info->Length < head || info->Length > size_t(end - p)) return USBD_STATUS_INVALID_PARAMETER;
    PUSB_INTERFACE_DESCRIPTOR d =
        USBD_ParseConfigurationDescriptorEx(c, c, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
    if (d == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
    if (info->Length < GET_USBD_INTERFACE_SIZE(d->bNumEndpoints)) return USBD_STATUS_INVALID_PARAMETER;
    auto eps = EndpointsOf(c, d);
    if (eps.size() < d->bNumEndpoints) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    out.push_back({info, d, std::move(eps)});
    p += info->Length;
  }
  return out.empty() ? USBD_STATUS_INVALID_PARAMETER : USBD_STATUS_SUCCESS;
}

}  // namespace

NTSTATUS HubPort::SubmitUrb(PURB urb, UrbDone done, uint64_t* ticket) {
  PortState& s = *state_;
  std::vector<Completion> finished;
  auto answer = [&](USBD_STATUS status) {
    if (urb) urb->UrbHeader.Status = status;
    std::lock_guard lock(s.mu);
    ++s.counters.submitted;
    ++s.counters.completed;
    return NtStatusOf(status);
  };
  if (urb == nullptr || urb->UrbHeader.Length < sizeof(struct _URB_HEADER)) {
    if (urb) urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
    return STATUS_INVALID_PARAMETER;
  }
  const USHORT function = urb->UrbHeader.Function;
  const USHORT length = urb->UrbHeader.Length;

  auto t = std::make_unique<Transfer>();
  t->urb = urb;
  t->done = std::move(done);
  std::unique_lock lock(s.mu);
  if (!s.connected) {
    lock.unlock();
    return answer(USBD_STATUS_DEVICE_GONE);
  }
  auto needs = [&](size_t size) { return length >= size; };
  auto controlOn = [&](uint8_t type, uint8_t request, uint16_t value, uint16_t index, bool in, ULONG* lengthField,
                       PVOID buffer, ULONG bufferLength) {
    t->control = true;
    t->in = in;
    t->buffer = static_cast<uint8_t*>(buffer);
    t->length = bufferLength;
    t->lengthField = lengthField;
    t->setup = {uint8_t((in ? 0x80 : 0x00) | type), request, value, index, uint16_t(bufferLength)};
    t->pipe = &s.defaultPipe;
  };

  USBD_STATUS refuse = USBD_STATUS_SUCCESS;
  switch (function) {
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: {
      if (!needs(sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER))) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      urb->UrbGetCurrentFrameNumber.FrameNumber = ULONG(CurrentFrame());
      lock.unlock();
      return answer(USBD_STATUS_SUCCESS);
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE: {
      if (!needs(sizeof(struct _URB_PIPE_REQUEST))) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      Pipe* p = PipeOf(s, urb->UrbPipeRequest.PipeHandle);
      if (p == nullptr) { refuse = USBD_STATUS_INVALID_PIPE_HANDLE; break; }
      if (function == URB_FUNCTION_ABORT_PIPE) {
        FlushPipeLocked(s, *p, USBD_STATUS_CANCELED, finished);
      } else {
        p->halted = false;
        s.device->clearHalt(p->address);
      }
      lock.unlock();
      Deliver(finished);
      return answer(USBD_STATUS_SUCCESS);
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
      if (!needs(sizeof(struct _URB_PIPE_REQUEST))) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      Pipe* p = PipeOf(s, urb->UrbPipeRequest.PipeHandle);
      if (p == nullptr) { refuse = USBD_STATUS_INVALID_PIPE_HANDLE; break; }
      // CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint, then the host side forgets the halt.
      controlOn(0x00 | BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, p->address,
                false, nullptr, nullptr, 0);
      const uintptr_t handle = p->handle;
      const bool reset = function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
      t->onSuccess = [handle, reset](PortState& st, std::vector<Completion>&) {
        auto it = st.pipes.find(handle);
        if (it != st.pipes.end()) {
          if (reset) it->second->halted = false;
          st.device->clearHalt(it->second->address);
        }
        return USBD_STATUS_SUCCESS;
      };
      break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      if (!needs(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      auto& b = urb->UrbBulkOrInterruptTransfer;
      Pipe* p = PipeOf(s, b.PipeHandle);
      if (p == nullptr) { refuse = USBD_STATUS_INVALID_PIPE_HANDLE; break; }
      if (p->type != UsbdPipeTypeBulk && p->type != UsbdPipeTypeInterrupt) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      if (b.TransferBufferLength > p->maxTransfer || (b.TransferBufferLength && !b.TransferBuffer && !b.TransferBufferMDL)) {
        refuse = USBD_STATUS_INVALID_PARAMETER;
        break;
      }
      // The direction comes from the endpoint; the flag must agree with it.
      const bool in = USB_ENDPOINT_DIRECTION_IN(p->address);
      if (bool(b.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != in) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      if (p->halted) { refuse = USBD_STATUS_ENDPOINT_HALTED; break; }
      t->in = in;
      t->shortOk = b.TransferFlags & USBD_SHORT_TRANSFER_OK;
      t->buffer = static_cast<uint8_t*>(b.TransferBuffer ? b.TransferBuffer : MmGetSystemAddressForMdlSafe(b.TransferBufferMDL, NormalPagePriority));
      t->length = b.TransferBufferLength;
      t->lengthField = &b.TransferBufferLength;
      t->pipe = p;
      break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
      if (!needs(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      auto& d = urb->UrbControlDescriptorRequest;
      if (d.TransferBufferLength > 0xFFFF || (d.TransferBufferLength && !d.TransferBuffer)) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      controlOn(Recipient(function), USB_REQUEST_GET_DESCRIPTOR, USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(d.DescriptorType, d.Index),
                d.LanguageId, true, &d.TransferBufferLength, d.TransferBuffer, d.TransferBufferLength);
      break;
    }
    case URB_FUNCTION_VENDOR_DEVICE: case URB_FUNCTION_VENDOR_INTERFACE: case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER: case URB_FUNCTION_CLASS_DEVICE: case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT: case URB_FUNCTION_CLASS_OTHER: {
      if (!needs(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST))) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      auto& v = urb->UrbControlVendorClassRequest;
      if (v.TransferBufferLength > 0xFFFF || (v.TransferBufferLength && !v.TransferBuffer)) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      const bool vendor = function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
                          function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
      controlOn(uint8_t((vendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS) << 5 | Recipient(function)), v.Request, v.Value,
                v.Index, v.TransferFlags & USBD_TRANSFER_DIRECTION_IN, &v.TransferBufferLength, v.TransferBuffer,
                v.TransferBufferLength);
      break;
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE: case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT: case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE: case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
      if (!needs(sizeof(struct _URB_CONTROL_FEATURE_REQUEST))) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      auto& f = urb->UrbControlFeatureRequest;
      const bool set = function <= URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
      controlOn(Recipient(function), set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE, f.FeatureSelector,
                f.Index, false, nullptr, nullptr, 0);
      break;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: {
      if (!needs(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST))) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      auto& g = urb->UrbControlGetStatusRequest;
      if (g.TransferBufferLength < 2 || !g.TransferBuffer) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      controlOn(Recipient(function), USB_REQUEST_GET_STATUS, 0, g.Index, true, &g.TransferBufferLength,
                g.TransferBuffer, 2);
      break;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      if (!needs(sizeof(struct _URB_CONTROL_TRANSFER))) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      auto& c = urb->UrbControlTransfer;
      if (c.PipeHandle && !(c.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER)) { refuse = USBD_STATUS_INVALID_PIPE_HANDLE; break; }
      SetupPacket sp;
      std::memcpy(&sp, c.SetupPacket, sizeof sp);
      if (c.TransferBufferLength > 0xFFFF || (c.TransferBufferLength && !c.TransferBuffer)) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      controlOn(sp.bmRequestType & 0x7F, sp.bRequest, sp.wValue, sp.wIndex, c.TransferFlags & USBD_TRANSFER_DIRECTION_IN,
                &c.TransferBufferLength, c.TransferBuffer, c.TransferBufferLength);
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      if (!needs(offsetof(struct _URB_SELECT_CONFIGURATION, Interface))) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      auto& sc = urb->UrbSelectConfiguration;
      PUSB_CONFIGURATION_DESCRIPTOR c = sc.ConfigurationDescriptor;
      std::vector<InterfaceChoice> choices;
      if (c != nullptr) {
        if (c->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || c->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
          refuse = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
          break;
        }
        PUCHAR first = reinterpret_cast<PUCHAR>(&sc.Interface);
        refuse = CheckInterfaces(c, first, reinterpret_cast<PUCHAR>(urb) + length, choices);
        if (refuse != USBD_STATUS_SUCCESS) break;
      }
      controlOn(0x00, USB_REQUEST_SET_CONFIGURATION, c ? c->bConfigurationValue : 0, 0, false, nullptr, nullptr, 0);
      t->onSuccess = [urb, c, choices](PortState& st, std::vector<Completion>& out) {
        ClosePipesLocked(st, -1, out);
        st.interfaceHandles.clear();
        st.altSettings.clear();
        st.configurationValue = c ? c->bConfigurationValue : 0;
        st.configurationHandle = c ? st.NewHandle() : 0;
        urb->UrbSelectConfiguration.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(st.configurationHandle);
        for (const auto& ch : choices) OpenInterfaceLocked(st, ch.descriptor, ch.endpoints, ch.info);
        return USBD_STATUS_SUCCESS;
      };
      break;
    }
    case URB_FUNCTION_SELECT_INTERFACE: {
      if (!needs(offsetof(struct _URB_SELECT_INTERFACE, Interface))) { refuse = USBD_STATUS_INVALID_PARAMETER; break; }
      auto& si = urb->UrbSelectInterface;
      if (s.configurationHandle == 0 || reinterpret_cast<uintptr_t>(si.ConfigurationHandle) != s.configurationHandle) {
        refuse = USBD_STATUS_INVALID_PARAMETER;
        break;
      }
      // The interface settings come from the device's own configuration descriptor.
      std::vector<uint8_t> config = s.configDescriptor;
      if (config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) { refuse = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR; break; }
      auto holder = std::make_shared<std::vector<uint8_t>>(std::move(config));
      auto* c = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(holder->data());
      c->wTotalLength = USHORT(std::min<size_t>(c->wTotalLength, holder->size()));
      std::vector<InterfaceChoice> choices;
      PUCHAR first = reinterpret_cast<PUCHAR>(&si.Interface);
      PUCHAR end = first + std::min<size_t>(si.Interface.Length, reinterpret_cast<PUCHAR>(urb) + length - first);
      refuse = CheckInterfaces(c, first, end, choices);
      if (refuse != USBD_STATUS_SUCCESS) break;
      const InterfaceChoice choice = choices.front();
      controlOn(BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_INTERFACE, choice.descriptor->bAlternateSetting,
                choice.descriptor->bInterfaceNumber, false, nullptr, nullptr, 0);
      t->onSuccess = [holder, choice](PortState& st, std::vector<Completion>& out) {
        ClosePipesLocked(st, choice.descriptor->bInterfaceNumber, out);
        OpenInterfaceLocked(st, choice.descriptor, choice.endpoints, choice.info);
        return USBD_STATUS_SUCCESS;
      };
      break;
    }
    case URB_FUNCTION_ISOCH_TRANSFER:
      refuse = USBD_STATUS_NOT_SUPPORTED;
      break;
    default:
      refuse = USBD_STATUS_INVALID_URB_FUNCTION;
      break;
  }
  if (refuse != USBD_STATUS_SUCCESS) {
    lock.unlock();
    return answer(refuse);
  }
  Transfer* raw = t.release();
  raw->ticket = s.nextTicket++;
  raw->notBefore = CurrentFrame() + 1;
  raw->pipe->queue.push_back(raw);
  s.byTicket[raw->ticket] = raw;
  ++s.counters.submitted;
  ++s.counters.pending;
  if (ticket) *ticket = raw->ticket;
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  lock.unlock();
  hc_.Kick();
  return STATUS_PENDING;
}

bool HubPort::CancelUrb(uint64_t ticket) {
  PortState& s = *state_;
  std::vector<Completion> finished;
  {
    std::lock_guard lock(s.mu);
    auto it = s.byTicket.find(ticket);
    if (it == s.byTicket.end()) return false;
    FinishLocked(s, it->second, USBD_STATUS_CANCELED, finished);
  }
  Deliver(finished);
  return true;
}

}  // namespace sim::usb
