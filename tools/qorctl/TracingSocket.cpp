#include "tools/qorctl/TracingSocket.h"

#include "platform/TickCount.h"
#include "platform/UdpSocket.h"
#include "platform/WinsockErrorText.h"
#include "tools/trace/MessageFields.h"
#include "tools/trace/TraceWriter.h"

namespace qor::cli {

struct TracingSocket::State {
  std::unique_ptr<UdpSocket> socket;
  TraceWriter writer;
  uint32_t started = GetTickCount();

  State(std::unique_ptr<UdpSocket> s, const std::string& path)
      : socket(std::move(s)), writer(path) {}

  void Write(const uint8_t* data, size_t length, bool incoming, uint32_t peer, uint16_t peerPort,
             const char* event, const std::string& reason = {}) {
    TraceRecord record = DescribeMessage(wire::ByteView(data, length));
    record.timeMs = GetTickCount() - started;
    record.incoming = incoming;
    record.peerAddress = peer;
    record.peerPort = peerPort;
    record.localAddress = 0;  // the socket is not bound to one address
    record.localPort = socket->LocalPort();
    record.event = event;
    record.reason = reason;
    writer.Write(record);
  }
};

TracingSocket::TracingSocket(std::unique_ptr<UdpSocket> socket, const std::string& path)
    : state_(std::make_unique<State>(std::move(socket), path)) {}

TracingSocket::~TracingSocket() = default;

int TracingSocket::SendTo(const uint8_t* data, size_t length, uint32_t address, uint16_t port) {
  const int sent = state_->socket->SendTo(data, length, address, port);
  if (sent < 0) {
    state_->Write(data, length, false, address, port, "failed",
                  WinsockErrorText(state_->socket->LastError()));
  } else {
    state_->Write(data, length, false, address, port, "sent");
  }
  return sent;
}

int TracingSocket::ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t& address,
                               uint16_t& port) {
  const int received = state_->socket->ReceiveFrom(buffer, capacity, address, port);
  if (received >= 0) {
    state_->Write(buffer, static_cast<size_t>(received), true, address, port, "received");
  }
  return received;
}

int TracingSocket::LastError() const { return state_->socket->LastError(); }

bool TracingSocket::WaitReadable(int timeoutMs) {
  state_->writer.Flush();
  return state_->socket->WaitReadable(timeoutMs);
}

void TracingSocket::Close() {
  state_->writer.Flush();
  state_->socket->Close();
}

}  // namespace qor::cli
