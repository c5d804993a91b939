#include "net/Wire.h"

#include <algorithm>
#include <cstring>

namespace qor::wire {
namespace {

// Appends fields in wire order, most significant byte first, to bytes of its own or to the end
// of the caller's. Room for the length expected is made at once and each field is stored in
// place: the simulator encodes a reply, and a download a request, a thousand times a megabyte.
class Writer {
 public:
  explicit Writer(size_t length) : Writer(own_, length) {}
  Writer(Bytes& out, size_t length) : out_(out), at_(out.size()) { out_.resize(at_ + length); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  Writer& U16(uint16_t value) {
    uint8_t* at = Room(2);
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
    return *this;
  }
  Writer& U32(uint32_t value) {
    U16(static_cast<uint16_t>(value >> 16));
    return U16(static_cast<uint16_t>(value));
  }
  Writer& Raw(ByteView bytes) {
    if (!bytes.empty()) std::memcpy(Room(bytes.size()), bytes.data(), bytes.size());
    return *this;
  }
  Writer& Head(uint16_t type, const MacAddress& mac) {
    U16(kVersion).U16(type).Raw(mac.bytes);
    return U16(0);  // reserved
  }
  // Ends the message where the last field did.
  void Finish() { out_.resize(at_); }
  [[nodiscard]] Bytes Take() {
    Finish();
    return std::move(own_);
  }

 private:
  uint8_t* Room(size_t count) {
    if (at_ + count > out_.size()) Grow(at_ + count);
    uint8_t* at = out_.data() + at_;
    at_ += count;
    return at;
  }
  // Out of line: a field beyond the length expected is rare.
  [[gnu::noinline]] void Grow(size_t size) { out_.resize(size); }

  Bytes own_;
  Bytes& out_;
  size_t at_;
};

// Takes fields in wire order. The caller has checked that the bytes are long enough.
class Reader {
 public:
  explicit Reader(ByteView bytes) : bytes_(bytes) {}

  uint16_t U16() {
    const auto value = static_cast<uint16_t>((bytes_[at_] << 8) | bytes_[at_ + 1]);
    at_ += 2;
    return value;
  }
  uint32_t U32() {
    const uint32_t high = U16();
    return (high << 16) | U16();
  }
  MacAddress Mac() {
    MacAddress mac;
    for (uint8_t& byte : mac.bytes) byte = bytes_[at_++];
    return mac;
  }
  Bytes Rest() { return Bytes(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), bytes_.end()); }

 private:
  ByteView bytes_;
  size_t at_ = 0;
};

Header ReadHeader(Reader& reader) {
  Header header;
  header.version = reader.U16();
  header.type = reader.U16();
  header.mac = reader.Mac();
  static_cast<void>(reader.U16());  // reserved
  return header;
}

// A reader past the header of a message of `type` at least `minimum` bytes long, with the MAC
// in `mac`; nothing for anything shorter or of another version or type.
std::optional<Reader> Open(ByteView bytes, size_t minimum, uint16_t type, MacAddress& mac) {
  if (bytes.size() < std::max(minimum, Header::kLength)) return std::nullopt;
  Reader reader(bytes);
  const Header header = ReadHeader(reader);
  if (header.version != kVersion || header.type != type) return std::nullopt;
  mac = header.mac;
  return reader;
}

}  // namespace

Bytes Prefix::Encode() const { return Writer(kLength).U16(version).U16(type).Take(); }

std::optional<Prefix> Prefix::Decode(ByteView bytes) {
  if (bytes.size() < kLength) return std::nullopt;
  Reader reader(bytes);
  Prefix prefix;
  prefix.version = reader.U16();
  prefix.type = reader.U16();
  return prefix;
}

Bytes Header::Encode() const {
  return Writer(kLength).U16(version).U16(type).Raw(mac.bytes).U16(0).Take();
}

std::optional<Header> Header::Decode(ByteView bytes) {
  if (bytes.size() < kLength) return std::nullopt;
  Reader reader(bytes);
  return ReadHeader(reader);
}

Bytes RequestIdHeader::Encode() const {
  return Writer(kLength).Raw(header.Encode()).U32(requestId).Take();
}

std::optional<RequestIdHeader> RequestIdHeader::Decode(ByteView bytes) {
  if (bytes.size() < kLength) return std::nullopt;
  Reader reader(bytes);
  RequestIdHeader message;
  message.header = ReadHeader(reader);
  message.requestId = reader.U32();
  return message;
}

Bytes DiscoverRequest::Encode() const { return Prefix{kVersion, kType}.Encode(); }

std::optional<DiscoverRequest> DiscoverRequest::Decode(ByteView bytes) {
  const auto prefix = Prefix::Decode(bytes);
  if (!prefix || prefix->version != kVersion || prefix->type != kType) return std::nullopt;
  return DiscoverRequest{};
}

Bytes AssignAddressRequest::Encode() const {
  return Writer(kLength).Head(kType, mac).U32(ipAddress).Take();
}

std::optional<AssignAddressRequest> AssignAddressRequest::Decode(ByteView bytes) {
  AssignAddressRequest message;
  auto reader = Open(bytes, kLength, kType, message.mac);
  if (!reader) return std::nullopt;
  message.ipAddress = reader->U32();
  return message;
}

Bytes FillRequest::Encode() const {
  return Writer(kLength).Head(kType, mac).U32(requestId).U32(fillValue).U32(length).Take();
}

std::optional<FillRequest> FillRequest::Decode(ByteView bytes) {
  FillRequest message;
  auto reader = Open(bytes, kLength, kType, message.mac);
  if (!reader) return std::nullopt;
  message.requestId = reader->U32();
  message.fillValue = reader->U32();
  message.length = reader->U32();
  return message;
}

Bytes DataRequest::Encode() const {
  Bytes bytes;
  AppendEncoded(bytes, mac, requestId, offset, data);
  return bytes;
}

void DataRequest::AppendEncoded(Bytes& out, const MacAddress& mac, uint32_t requestId,
                                uint32_t offset, ByteView data) {
  Writer(out, kHeaderLength + data.size())
      .Head(kType, mac)
      .U32(requestId)
      .U32(offset)
      .Raw(data)
      .Finish();
}

std::optional<DataRequest> DataRequest::Decode(ByteView bytes) {
  const auto view = DecodeView(bytes);
  if (!view) return std::nullopt;
  return DataRequest{.mac = view->mac,
                     .requestId = view->requestId,
                     .offset = view->offset,
                     .data = Bytes(view->data.begin(), view->data.end())};
}

std::optional<DataRequest::View> DataRequest::DecodeView(ByteView bytes) {
  View message;
  auto reader = Open(bytes, kHeaderLength + 1, kType, message.mac);
  if (!reader) return std::nullopt;
  message.requestId = reader->U32();
  message.offset = reader->U32();
  message.data = bytes.subspan(kHeaderLength);
  return message;
}

Bytes WriteRequest::Encode() const {
  return Writer(kLength).Head(kType, mac).U32(requestId).U32(address).U32(length).U32(crc).Take();
}

std::optional<WriteRequest> WriteRequest::Decode(ByteView bytes) {
  WriteRequest message;
  auto reader = Open(bytes, kLength, kType, message.mac);
  if (!reader) return std::nullopt;
  message.requestId = reader->U32();
  message.address = reader->U32();
  message.length = reader->U32();
  message.crc = reader->U32();
  return message;
}

Bytes ReadRequest::Encode() const {
  return Writer(kLength).Head(kType, mac).U32(requestId).U32(address).U32(length).Take();
}

std::optional<ReadRequest> ReadRequest::Decode(ByteView bytes) {
  ReadRequest message;
  auto reader = Open(bytes, kLength, kType, message.mac);
  if (!reader) return std::nullopt;
  message.requestId = reader->U32();
  message.address = reader->U32();
  message.length = reader->U32();
  return message;
}

Bytes RestartRequest::Encode() const {
  return Writer(kLength).Head(kType, mac).U32(requestId).Take();
}

std::optional<RestartRequest> RestartRequest::Decode(ByteView bytes) {
  RestartRequest message;
  auto reader = Open(bytes, kLength, kType, message.mac);
  if (!reader) return std::nullopt;
  message.requestId = reader->U32();
  return message;
}

Bytes DiscoverReply::Encode() const {
  return Writer(kLength)
      .Head(kType, mac)
      .U32(ipAddress)
      .U16(vendorId)
      .U16(productId)
      .U32(stagingSize)
      .Take();
}

std::optional<DiscoverReply> DiscoverReply::Decode(ByteView bytes) {
  DiscoverReply message;
  auto reader = Open(bytes, kLength, kType, message.mac);
  if (!reader) return std::nullopt;
  message.ipAddress = reader->U32();
  message.vendorId = reader->U16();
  message.productId = reader->U16();
  message.stagingSize = reader->U32();
  return message;
}

Bytes FinalReply::Encode() const {
  return Writer(kHeaderLength + payload.size())
      .Head(kType, mac)
      .U32(requestId)
      .U32(status)
      .Raw(payload)
      .Take();
}

std::optional<FinalReply> FinalReply::Decode(ByteView bytes) {
  FinalReply message;
  auto reader = Open(bytes, kHeaderLength, kType, message.mac);
  if (!reader) return std::nullopt;
  message.requestId = reader->U32();
  message.status = reader->U32();
  message.payload = reader->Rest();
  return message;
}

Bytes ProgressReply::Encode() const {
  return Writer(kLength).Head(kType, mac).U32(requestId).U32(value).Take();
}

std::optional<ProgressReply> ProgressReply::Decode(ByteView bytes) {
  ProgressReply message;
  auto reader = Open(bytes, kLength, kType, message.mac);
  if (!reader) return std::nullopt;
  message.requestId = reader->U32();
  message.value = reader->U32();
  return message;
}

std::string MessageTypeName(uint16_t type) {
  switch (type) {
    case kDiscoverRequest:
      return "DiscoverRequest";
    case kAssignAddressRequest:
      return "AssignAddressRequest";
    case kFillRequest:
      return "FillRequest";
    case kDataRequest:
      return "DataRequest";
    case kWriteRequest:
      return "WriteRequest";
    case kReadRequest:
      return "ReadRequest";
    case kRestartRequest:
      return "RestartRequest";
    case kDiscoverReply:
      return "DiscoverReply";
    case kFinalReply:
      return "FinalReply";
    case kProgressReply:
      return "ProgressReply";
    default:
      return std::to_string(type);
  }
}

}  // namespace qor::wire
