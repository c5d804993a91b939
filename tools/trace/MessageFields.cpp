#include "tools/trace/MessageFields.h"

#include "net/Target.h"

namespace qor {
namespace {

TraceField Number(const char* name, uint32_t value) { return {name, value, {}}; }
TraceField Address(const char* name, uint32_t address) {
  return {name, std::nullopt, IpAddressText(address)};
}

}  // namespace

std::vector<TraceField> MessageFields(wire::ByteView bytes) {
  const auto prefix = wire::Prefix::Decode(bytes);
  if (!prefix || prefix->version != wire::kVersion) return {};
  switch (prefix->type) {
    case kAssignAddressRequest:
      if (const auto m = wire::AssignAddressRequest::Decode(bytes)) {
        return {Address("ip", m->ipAddress)};
      }
      break;
    case kFillRequest:
      if (const auto m = wire::FillRequest::Decode(bytes)) {
        return {Number("fill", m->fillValue), Number("length", m->length)};
      }
      break;
    case kDataRequest:
      if (const auto m = wire::DataRequest::Decode(bytes)) {
        return {Number("offset", m->offset),
                Number("bytes", static_cast<uint32_t>(m->data.size()))};
      }
      break;
    case kWriteRequest:
      if (const auto m = wire::WriteRequest::Decode(bytes)) {
        return {Number("address", m->address), Number("length", m->length), Number("crc", m->crc)};
      }
      break;
    case kReadRequest:
      if (const auto m = wire::ReadRequest::Decode(bytes)) {
        return {Number("address", m->address), Number("length", m->length)};
      }
      break;
    case kDiscoverReply:
      if (const auto m = wire::DiscoverReply::Decode(bytes)) {
        return {Address("ip", m->ipAddress), Number("vendor", m->vendorId),
                Number("product", m->productId), Number("staging", m->stagingSize)};
      }
      break;
    case kFinalReply:
      if (const auto m = wire::FinalReply::Decode(bytes)) {
        return {Number("payload", static_cast<uint32_t>(m->payload.size()))};
      }
      break;
    default:
      break;
  }
  return {};
}

TraceRecord DescribeMessage(wire::ByteView bytes) {
  TraceRecord record;
  record.length = static_cast<uint32_t>(bytes.size());
  const auto prefix = wire::Prefix::Decode(bytes);
  if (!prefix) return record;
  record.type = prefix->type;
  if (const auto header = wire::Header::Decode(bytes)) record.mac = header->mac;
  const uint16_t type = prefix->type;
  const bool tagged = (type >= kFillRequest && type <= kRestartRequest) || type == kFinalReply ||
                      type == kProgressReply;
  if (tagged) {
    if (const auto head = wire::RequestIdHeader::Decode(bytes)) record.requestId = head->requestId;
  }
  if (type == kFinalReply) {
    if (const auto reply = wire::FinalReply::Decode(bytes)) record.status = reply->status;
  } else if (type == kProgressReply) {
    if (const auto reply = wire::ProgressReply::Decode(bytes)) record.status = reply->value;
  }
  record.fields = MessageFields(bytes);
  return record;
}

}  // namespace qor
