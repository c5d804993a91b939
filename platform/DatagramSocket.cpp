#include "platform/DatagramSocket.h"

namespace qor {

int DatagramSocket::ReceiveBatch(ReceiveSlot* slots, int count) {
  int filled = 0;
  while (filled < count) {
    ReceiveSlot& slot = slots[filled];
    slot.length = ReceiveFrom(slot.buffer, slot.capacity, slot.address, slot.port);
    if (slot.length < 0) {
      if (LastError() != wsa::kMessageSize) break;
      // Reported in its slot; the datagrams behind it stay queued for the next call.
      return filled + 1;
    }
    ++filled;
  }
  return filled > 0 ? filled : -1;
}

int DatagramSocket::ReceiveBatchWaiting(ReceiveSlot* slots, int count, int timeoutMs) {
  if (timeoutMs != 0) static_cast<void>(WaitReadable(timeoutMs));
  return ReceiveBatch(slots, count);
}

int DatagramSocket::SendBatch(const SendSlot* slots, int count) {
  int sent = 0;
  for (; sent < count; ++sent) {
    const SendSlot& slot = slots[sent];
    if (SendTo(slot.data, slot.length, slot.address, slot.port) != static_cast<int>(slot.length)) {
      break;
    }
  }
  return sent > 0 || count == 0 ? sent : -1;
}

}  // namespace qor
