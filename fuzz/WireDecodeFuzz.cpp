// Received bytes decoded as every message of the wire codec. What decodes encodes back to the
// same bytes (the two reserved header bytes aside, which a sender always writes as 0) and
// decodes again to the same message.
#include <algorithm>
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "net/Wire.h"

namespace {

using qor::wire::Bytes;
using qor::wire::ByteView;

bool SameBytes(const Bytes& encoded, ByteView received, bool header) {
  if (encoded.size() > received.size()) return false;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (header && (i == 10 || i == 11)) continue;
    if (encoded[i] != received[i]) return false;
  }
  return true;
}

template <typename Message>
void RoundTrip(ByteView received, bool header, bool wholeLength) {
  const auto message = Message::Decode(received);
  if (!message) return;
  const Bytes encoded = message->Encode();
  if (!SameBytes(encoded, received, header)) qor::fuzz::Broken("encodes to other bytes");
  if (wholeLength && encoded.size() != received.size()) qor::fuzz::Broken("lost trailing bytes");
  const auto again = Message::Decode(encoded);
  if (!again || again->Encode() != encoded) qor::fuzz::Broken("does not decode again");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView received(data, size);
  using namespace qor::wire;
  RoundTrip<Prefix>(received, false, false);
  RoundTrip<Header>(received, true, false);
  RoundTrip<RequestIdHeader>(received, true, false);
  RoundTrip<DiscoverRequest>(received, false, false);
  RoundTrip<AssignAddressRequest>(received, true, false);
  RoundTrip<FillRequest>(received, true, false);
  RoundTrip<DataRequest>(received, true, true);
  RoundTrip<WriteRequest>(received, true, false);
  RoundTrip<ReadRequest>(received, true, false);
  RoundTrip<RestartRequest>(received, true, false);
  RoundTrip<DiscoverReply>(received, true, false);
  RoundTrip<FinalReply>(received, true, true);
  RoundTrip<ProgressReply>(received, true, false);
  if (size >= 4) static_cast<void>(MessageTypeName(static_cast<uint16_t>(data[2] << 8 | data[3])));
  return 0;
}
