#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/MacAddress.h"
#include "net/ProductKey.h"

namespace qor {

class Script;

// A unit's own environment values, in the order their file names them.
using UnitValueList = std::vector<std::pair<std::string, std::string>>;

// One *download image of a script, as a record names it.
struct ImageInfo {
  uint32_t base = 0;
  uint32_t length = 0;
  uint32_t crc32 = 0;
};

// kCurrent: a run that wrote nothing, its target already holding what the script writes.
enum class UnitOutcome { kPassed, kFailed, kCancelled, kCurrent };

// "passed", "failed", "cancelled", "current".
[[nodiscard]] const char* OutcomeName(UnitOutcome outcome);

// The line a record holds when a unit starts, on disk before its first request.
struct StartRecord {
  std::string time;
  MacAddress mac;
  std::optional<uint32_t> ipBefore;  // none: the unit had no address
  std::optional<uint32_t> ip;        // the address it runs at, given or its own
  std::string script;                // the script's full path
  std::string scriptSha256;
  std::optional<UnitValueList> unitValues;
  std::string version;  // of qorctl
};

// The line a record holds when a unit is done, on disk before anything else happens; `qorctl
// run --json` prints the same per target.
struct EndRecord {
  std::string started;
  std::string ended;
  MacAddress mac;
  ProductKey product;
  std::optional<std::string> productName;  // from the script's *product entries
  std::optional<uint32_t> ipBefore;
  std::optional<uint32_t> ipAfter;
  std::string script;
  std::string scriptSha256;
  std::vector<ImageInfo> images;
  std::optional<UnitValueList> unitValues;
  UnitOutcome outcome = UnitOutcome::kFailed;
  std::optional<std::string> error;
  uint64_t microseconds = 0;
  uint64_t bytesSent = 0;
  uint32_t resends = 0;
  std::optional<bool> restartConfirmed;
  std::string version;
};

[[nodiscard]] nlohmann::ordered_json ToJson(const StartRecord& start);
// The fields in their documented order, from "event": "end" to "qorctl".
[[nodiscard]] nlohmann::ordered_json ToJson(const EndRecord& end);
// value as one line of compact JSON ended by "\n" on every system. Text that is not UTF-8 (an
// 8-bit product name, say) has its stray bytes replaced rather than failing the record.
[[nodiscard]] std::string RecordLine(const nlohmann::ordered_json& value);

// The column names of the end records as CSV, and one end record's cells.
[[nodiscard]] std::vector<std::string> EndRecordCsvHeader();
[[nodiscard]] std::vector<std::string> EndRecordCsvFields(const EndRecord& end);

// "2026-12-09T10:15:02.123Z": UTC, to the millisecond.
[[nodiscard]] std::string RecordTimeText(std::chrono::system_clock::time_point time);

// The base, length and CRC-32 of each *download image of script, in order.
[[nodiscard]] std::vector<ImageInfo> ScriptImages(const Script& script);
// The script's own name for the product, from its *product entries; none when it has none.
[[nodiscard]] std::optional<std::string> ScriptProductName(const Script& script,
                                                           const ProductKey& key);

}  // namespace qor
