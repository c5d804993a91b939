#pragma once

#include <vector>

#include "net/Wire.h"
#include "tools/trace/TraceRecord.h"

namespace qor {

// The fields of a message beyond its header and requestId, by name, for a trace:
// AssignAddressRequest ip; FillRequest fill, length; DataRequest offset, bytes (how many);
// WriteRequest address, length, crc; ReadRequest address, length; DiscoverReply ip, vendor,
// product, staging; FinalReply payload (how many bytes). None for a message too short to hold
// them, and none for the others (a status or progress value has a place of its own).
[[nodiscard]] std::vector<TraceField> MessageFields(wire::ByteView bytes);

// A trace record of a datagram as a program sends or receives it: its type, MAC, requestId,
// status or value, fields and length, as far as it holds them. Direction, ends, time and event
// are the caller's.
[[nodiscard]] TraceRecord DescribeMessage(wire::ByteView bytes);

}  // namespace qor
