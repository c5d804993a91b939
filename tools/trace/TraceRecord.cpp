#include "tools/trace/TraceRecord.h"

#include <nlohmann/json.hpp>

#include "net/Target.h"
#include "net/Wire.h"
#include "platform/Format.h"

namespace qor {
namespace {

std::string Endpoint(uint32_t address, uint16_t port) {
  return Format("%s:%u", IpAddressText(address).c_str(), port);
}

}  // namespace

std::string TraceLine(const TraceRecord& record) {
  nlohmann::ordered_json line;
  line["t"] = record.timeMs;
  line["dir"] = record.incoming ? "in" : "out";
  const std::string peer = Endpoint(record.peerAddress, record.peerPort);
  const std::string local = Endpoint(record.localAddress, record.localPort);
  line["from"] = record.incoming ? peer : local;
  line["to"] = record.incoming ? local : peer;
  line["type"] = wire::MessageTypeName(record.type);
  if (record.mac) line["mac"] = record.mac->ToString();
  if (record.requestId) line["request_id"] = *record.requestId;
  if (record.status) line[record.type == kProgressReply ? "value" : "status"] = *record.status;
  if (!record.fields.empty()) {
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    for (const TraceField& field : record.fields) {
      if (field.number) {
        fields[field.name] = *field.number;
      } else {
        fields[field.name] = field.text;
      }
    }
    line["fields"] = fields;
  }
  line["length"] = record.length;
  line["event"] = record.event;
  if (!record.reason.empty()) line["reason"] = record.reason;
  return line.dump();
}

}  // namespace qor
