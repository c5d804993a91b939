#include "station/UnitRecord.h"

#include "exec/DownloadDirective.h"
#include "net/Target.h"
#include "platform/Format.h"
#include "script/Script.h"

namespace qor {
namespace {

using Json = nlohmann::ordered_json;

Json AddressJson(const std::optional<uint32_t>& address) {
  return address ? Json(IpAddressText(*address)) : Json(nullptr);
}

Json ValuesJson(const std::optional<UnitValueList>& values) {
  if (!values) return nullptr;
  Json object = Json::object();
  for (const auto& [name, value] : *values) object[name] = value;
  return object;
}

std::string AddressCell(const std::optional<uint32_t>& address) {
  return address ? IpAddressText(*address) : std::string();
}

}  // namespace

const char* OutcomeName(UnitOutcome outcome) {
  switch (outcome) {
    case UnitOutcome::kPassed:
      return "passed";
    case UnitOutcome::kFailed:
      return "failed";
    case UnitOutcome::kCancelled:
      return "cancelled";
    case UnitOutcome::kCurrent:
      return "current";
  }
  return "failed";
}

Json ToJson(const StartRecord& start) {
  return Json{{"event", "start"},
              {"time", start.time},
              {"mac", start.mac.ToString()},
              {"ip_before", AddressJson(start.ipBefore)},
              {"ip", AddressJson(start.ip)},
              {"script", start.script},
              {"script_sha256", start.scriptSha256},
              {"unit_values", ValuesJson(start.unitValues)},
              {"qorctl", start.version}};
}

Json ToJson(const EndRecord& end) {
  Json images = Json::array();
  for (const ImageInfo& image : end.images) {
    images.push_back({{"base", image.base}, {"length", image.length}, {"crc32", image.crc32}});
  }
  return Json{
      {"event", "end"},
      {"started", end.started},
      {"ended", end.ended},
      {"mac", end.mac.ToString()},
      {"vendor", end.product.vendorId},
      {"product", end.product.productId},
      {"product_name", end.productName ? Json(*end.productName) : Json(nullptr)},
      {"ip_before", AddressJson(end.ipBefore)},
      {"ip_after", AddressJson(end.ipAfter)},
      {"script", end.script},
      {"script_sha256", end.scriptSha256},
      {"images", images},
      {"unit_values", ValuesJson(end.unitValues)},
      {"outcome", OutcomeName(end.outcome)},
      {"error", end.error ? Json(*end.error) : Json(nullptr)},
      {"seconds", static_cast<double>(end.microseconds) / 1e6},
      {"bytes_sent", end.bytesSent},
      {"resends", end.resends},
      {"restart_confirmed", end.restartConfirmed ? Json(*end.restartConfirmed) : Json(nullptr)},
      {"qorctl", end.version}};
}

std::string RecordLine(const Json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::vector<std::string> EndRecordCsvHeader() {
  return {"started",   "ended",    "mac",     "vendor",        "product", "product_name",
          "ip_before", "ip_after", "script",  "script_sha256", "images",  "unit_values",
          "outcome",   "error",    "seconds", "bytes_sent",    "resends", "restart_confirmed",
          "qorctl"};
}

std::vector<std::string> EndRecordCsvFields(const EndRecord& end) {
  std::string images;
  for (const ImageInfo& image : end.images) {
    if (!images.empty()) images += "; ";
    images += Format("0x%08X %u 0x%08X", image.base, image.length, image.crc32);
  }
  std::string values;
  if (end.unitValues) {
    for (const auto& [name, value] : *end.unitValues) {
      if (!values.empty()) values += "; ";
      values += name + "=" + value;
    }
  }
  return {end.started,
          end.ended,
          end.mac.ToString(),
          Format("%u", end.product.vendorId),
          Format("%u", end.product.productId),
          end.productName.value_or(""),
          AddressCell(end.ipBefore),
          AddressCell(end.ipAfter),
          end.script,
          end.scriptSha256,
          images,
          values,
          OutcomeName(end.outcome),
          end.error.value_or(""),
          Format("%llu.%03llu", static_cast<unsigned long long>(end.microseconds / 1000000),
                 static_cast<unsigned long long>(end.microseconds / 1000 % 1000)),
          Format("%llu", static_cast<unsigned long long>(end.bytesSent)),
          Format("%u", end.resends),
          end.restartConfirmed ? (*end.restartConfirmed ? "true" : "false") : "",
          end.version};
}

std::string RecordTimeText(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto milliseconds = floor<std::chrono::milliseconds>(time);
  const auto day = floor<days>(milliseconds);
  const year_month_day date(day);
  const hh_mm_ss clock(milliseconds - day);
  return Format("%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()),
                static_cast<int>(clock.subseconds().count()));
}

std::vector<ImageInfo> ScriptImages(const Script& script) {
  std::vector<ImageInfo> images;
  for (int32_t i = 0; i < script.DirectiveCount(); ++i) {
    const Directive& directive = script.DirectiveAt(i);
    if (directive.Kind() != kDownloadDirective) continue;
    const DataSection& image = static_cast<const DownloadDirective&>(directive).Section();
    images.push_back({image.Base(), image.Length(), image.ImageCrc()});
  }
  return images;
}

std::optional<std::string> ScriptProductName(const Script& script, const ProductKey& key) {
  const auto& entries = script.ProductEntries();
  const auto found = entries.find(key);
  if (found == entries.end()) return std::nullopt;
  return found->second;
}

}  // namespace qor
