#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "net/MacAddress.h"
#include "net/TargetNetwork.h"

namespace qor {

// A field of a message beyond its header: a number, or text (an IPv4 address, dotted).
struct TraceField {
  std::string name;
  std::optional<uint32_t> number;
  std::string text;

  bool operator==(const TraceField&) const = default;
};

// One message a program took in or sent (or dropped, or lost), as a line of a JSON Lines trace.
// The simulator writes one for every request and reply; the fields suit either end of the wire.
struct TraceRecord {
  uint32_t timeMs = 0;   // since the trace began
  bool incoming = true;  // received by the program writing the trace, or sent by it
  // The other end, and the program's own address and port.
  uint32_t peerAddress = 0;
  uint16_t peerPort = 0;
  uint32_t localAddress = 0;
  uint16_t localPort = kTargetPort;
  uint16_t type = 0;
  std::optional<MacAddress> mac;  // none for a DiscoverRequest
  std::optional<uint32_t> requestId;
  std::optional<uint32_t> status;  // FinalReply status or ProgressReply value
  std::vector<TraceField> fields;  // the message's own fields, by name
  uint32_t length = 0;             // datagram bytes
  std::string event;   // the simulator's: in "handled" or "ignored"; out "sent" or "lost"
  std::string reason;  // why a message was ignored or not sent
};

// The record as one JSON object on one line, without the newline:
// {"t", "dir", "from", "to", "type", "mac"?, "request_id"?, "status" or "value"?, "fields"?,
//  "length", "event", "reason"?}, "fields" an object of the message's own fields by name.
[[nodiscard]] std::string TraceLine(const TraceRecord& record);

}  // namespace qor
