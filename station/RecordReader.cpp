#include "station/RecordReader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unordered_set>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "station/RecordTime.h"

namespace qor {
namespace {

using Json = nlohmann::json;

std::string Text(const Json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::optional<int64_t> Time(const Json& object, const char* key) {
  const std::string text = Text(object, key);
  return text.empty() ? std::nullopt : ParseRecordTime(text);
}

std::optional<uint64_t> Count(const Json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number_unsigned()) return std::nullopt;
  return found->get<uint64_t>();
}

std::optional<uint32_t> Id(const Json& object, const char* key) {
  const std::optional<uint64_t> value = Count(object, key);
  if (!value || *value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

constexpr size_t kLongestLine = 16 * 1024 * 1024;

// Beyond a year no run is believable; such a figure would only swamp the others.
constexpr double kMostSeconds = 366.0 * 86400;

std::optional<double> Seconds(const Json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number()) return std::nullopt;
  const double value = found->get<double>();
  if (!std::isfinite(value) || value < 0 || value > kMostSeconds) return std::nullopt;
  return value;
}

std::optional<bool> Flag(const Json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_boolean()) return std::nullopt;
  return found->get<bool>();
}

std::optional<RecordOutcome> Outcome(const std::string& text) {
  // A current unit already held what the script writes: it passes.
  if (text == "passed" || text == "current") return RecordOutcome::kPassed;
  if (text == "failed") return RecordOutcome::kFailed;
  if (text == "cancelled") return RecordOutcome::kCancelled;
  return std::nullopt;
}

// A field's text quoted for a skip's detail, cut short when long.
std::string Quoted(const std::string& text) {
  return "\"" + (text.size() > 40 ? text.substr(0, 40) + "..." : text) + "\"";
}

bool Blank(const std::string& line) {
  return std::all_of(line.begin(), line.end(),
                     [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; });
}

// Runs of one unit are told apart by their start time: a line with the same MAC and start time
// is the same run read again.
std::string RunKey(char event, const std::string& mac, const std::optional<int64_t>& timeMs,
                   const std::string& timeText) {
  if (!timeMs && timeText.empty()) return {};
  std::string key{event};
  for (const char c : mac) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  key += '\n';
  key += timeMs ? std::to_string(*timeMs) : timeText;
  return key;
}

}  // namespace

const char* RecordOutcomeName(RecordOutcome outcome) {
  switch (outcome) {
    case RecordOutcome::kPassed:
      return "passed";
    case RecordOutcome::kFailed:
      return "failed";
    case RecordOutcome::kCancelled:
      return "cancelled";
  }
  return "failed";
}

const char* RecordSkipReasonText(RecordSkipReason reason) {
  switch (reason) {
    case RecordSkipReason::kTornLastLine:
      return "torn last line";
    case RecordSkipReason::kNotJson:
      return "not JSON";
    case RecordSkipReason::kNotARecord:
      return "not a record line";
    case RecordSkipReason::kUnknownEvent:
      return "unknown event";
    case RecordSkipReason::kMissingField:
      return "missing field";
    case RecordSkipReason::kDuplicate:
      return "duplicate of a line read before";
  }
  return "not JSON";
}

struct RecordReader::Impl {
  std::vector<RecordStart> starts;
  std::vector<RecordEnd> ends;
  std::vector<RecordSkip> skipped;
  std::vector<std::string> files;
  size_t lines = 0;
  std::unordered_set<std::string> runKeys;
  std::vector<std::string> keysOfThisFile;  // to take back when the file fails

  void Skip(RecordPlace place, RecordSkipReason reason, std::string detail = {}) {
    skipped.push_back({std::move(place), reason, std::move(detail)});
  }

  void SkipLong(RecordPlace place) {
    ++lines;
    Skip(std::move(place), RecordSkipReason::kNotJson, "longer than any record line");
  }

  // Whether key was seen before; remembers it when not.
  bool SeenBefore(const std::string& key) {
    if (key.empty()) return false;
    if (!runKeys.insert(key).second) return true;
    keysOfThisFile.push_back(key);
    return false;
  }

  void TakeLine(std::string line, RecordPlace place, bool unterminated) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (place.line == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    if (Blank(line)) return;
    ++lines;
    const Json object = Json::parse(line, nullptr, false);
    if (object.is_discarded()) {
      Skip(std::move(place),
           unterminated ? RecordSkipReason::kTornLastLine : RecordSkipReason::kNotJson);
      return;
    }
    if (!object.is_object() || !object.contains("event") || !object["event"].is_string()) {
      Skip(std::move(place), RecordSkipReason::kNotARecord);
      return;
    }
    const std::string event = object["event"].get<std::string>();
    if (event != "start" && event != "end") {
      Skip(std::move(place), RecordSkipReason::kUnknownEvent, Quoted(event));
      return;
    }
    const std::string mac = Text(object, "mac");
    if (mac.empty()) {
      Skip(std::move(place), RecordSkipReason::kMissingField, "no \"mac\"");
      return;
    }
    if (event == "start") {
      RecordStart start;
      start.mac = mac;
      start.timeMs = Time(object, "time");
      if (SeenBefore(RunKey('s', mac, start.timeMs, Text(object, "time")))) {
        Skip(std::move(place), RecordSkipReason::kDuplicate);
        return;
      }
      start.script = Text(object, "script");
      start.scriptSha256 = Text(object, "script_sha256");
      start.qorctl = Text(object, "qorctl");
      start.place = std::move(place);
      starts.push_back(std::move(start));
      return;
    }
    const std::string outcomeText = Text(object, "outcome");
    const std::optional<RecordOutcome> outcome = Outcome(outcomeText);
    if (!outcome) {
      Skip(std::move(place), RecordSkipReason::kMissingField,
           outcomeText.empty() ? "no \"outcome\"" : "\"outcome\" is " + Quoted(outcomeText));
      return;
    }
    RecordEnd end;
    end.mac = mac;
    end.outcome = *outcome;
    end.startedMs = Time(object, "started");
    end.endedMs = Time(object, "ended");
    const std::string startedText = Text(object, "started");
    const std::string key = startedText.empty() && !end.startedMs
                                ? RunKey('e', mac, end.endedMs, Text(object, "ended"))
                                : RunKey('e', mac, end.startedMs, startedText);
    if (SeenBefore(key)) {
      Skip(std::move(place), RecordSkipReason::kDuplicate);
      return;
    }
    end.seconds = Seconds(object, "seconds");
    if (!end.seconds && end.startedMs && end.endedMs && *end.endedMs >= *end.startedMs &&
        *end.endedMs - *end.startedMs <= static_cast<int64_t>(kMostSeconds * 1000)) {
      end.seconds = static_cast<double>(*end.endedMs - *end.startedMs) / 1000.0;
    }
    end.error = Text(object, "error");
    end.vendor = Id(object, "vendor");
    end.product = Id(object, "product");
    end.productName = Text(object, "product_name");
    end.ipAfter = Text(object, "ip_after");
    end.script = Text(object, "script");
    end.scriptSha256 = Text(object, "script_sha256");
    end.qorctl = Text(object, "qorctl");
    end.bytesSent = Count(object, "bytes_sent");
    end.resends = Count(object, "resends");
    end.restartConfirmed = Flag(object, "restart_confirmed");
    end.place = std::move(place);
    ends.push_back(std::move(end));
  }
};

RecordReader::RecordReader() : impl_(std::make_unique<Impl>()) {}
RecordReader::~RecordReader() = default;

void RecordReader::ReadFile(const std::string& path) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) throw Exception(Format("Cannot open \"%s\"", path.c_str()));
  const std::optional<OpenFileStatus> status = StatOpenFile(file);
  if (status && status->isDirectory) {
    std::fclose(file);
    throw Exception(Format("Cannot open \"%s\"", path.c_str()));
  }
  // What this file adds is taken back when it cannot be read to its end.
  const size_t starts = impl_->starts.size();
  const size_t ends = impl_->ends.size();
  const size_t skipped = impl_->skipped.size();
  const size_t lines = impl_->lines;
  impl_->keysOfThisFile.clear();

  std::string pending;
  bool overlong = false;  // pending was dropped: the line is no record
  size_t number = 0;
  char buffer[65536];
  size_t count = 0;
  const auto keep = [&](const char* from, size_t length) {
    if (!overlong) pending.append(from, length);
    // No record line comes near this; a file of something else (an image, say) given by
    // mistake must not be held whole.
    if (pending.size() > kLongestLine) {
      overlong = true;
      pending.clear();
      pending.shrink_to_fit();
    }
  };
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    size_t from = 0;
    for (size_t i = 0; i < count; ++i) {
      if (buffer[i] != '\n') continue;
      keep(buffer + from, i - from);
      if (overlong) {
        impl_->SkipLong({path, ++number});
      } else {
        impl_->TakeLine(std::move(pending), {path, ++number}, false);
      }
      pending.clear();
      overlong = false;
      from = i + 1;
    }
    keep(buffer + from, count - from);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    impl_->starts.resize(starts);
    impl_->ends.resize(ends);
    impl_->skipped.resize(skipped);
    impl_->lines = lines;
    for (const std::string& key : impl_->keysOfThisFile) impl_->runKeys.erase(key);
    throw Exception(Format("Cannot read \"%s\"", path.c_str()));
  }
  if (overlong) {
    impl_->SkipLong({path, ++number});
  } else if (!pending.empty()) {
    impl_->TakeLine(std::move(pending), {path, ++number}, true);
  }
  impl_->files.push_back(path);
}

void RecordReader::ReadStream(const std::string& name, std::istream& in) {
  std::string line;
  size_t number = 0;
  while (std::getline(in, line)) {
    // getline stops at the end of the input without a line end only for the last line.
    impl_->TakeLine(line, {name, ++number}, in.eof());
  }
  impl_->files.push_back(name);
}

void RecordReader::ReadText(const std::string& name, const std::string& text) {
  std::istringstream in(text);
  ReadStream(name, in);
}

const std::vector<RecordStart>& RecordReader::Starts() const { return impl_->starts; }
const std::vector<RecordEnd>& RecordReader::Ends() const { return impl_->ends; }
const std::vector<RecordSkip>& RecordReader::Skipped() const { return impl_->skipped; }
size_t RecordReader::Lines() const { return impl_->lines; }
const std::vector<std::string>& RecordReader::Files() const { return impl_->files; }

}  // namespace qor
