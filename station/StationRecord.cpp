#include "station/StationRecord.h"

#include <cstdio>
#include <ctime>

#include "platform/DurableFile.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Format.h"

namespace qor {
namespace {

using Json = nlohmann::ordered_json;

std::string ReadWhole(const std::string& path) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) throw Exception(Format("Cannot read \"%s\"", path.c_str()));
  std::string text;
  char piece[64 * 1024];
  size_t got = 0;
  while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) text.append(piece, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) throw Exception(Format("Cannot read \"%s\"", path.c_str()));
  return text;
}

}  // namespace

struct StationRecord::State {
  explicit State(const std::string& path) : file(path) {}
  DurableFile file;  // opened first: no other writer while it is read
  RecordHistory history;
  std::vector<std::string> warnings;

  void Write(const Json& line) {
    file.Append(RecordLine(line));
    history.Take(line);
  }
};

StationRecord::StationRecord(const std::string& path) : state_(std::make_unique<State>(path)) {
  State& s = *state_;
  const std::string text = ReadWhole(path);
  size_t number = 0;
  size_t begin = 0;
  while (begin < text.size()) {
    ++number;
    const size_t end = text.find('\n', begin);
    const std::string line =
        text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    const Json parsed = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (end == std::string::npos) {
      // Every line is written with its line end in one call: a last line without one was
      // cut short, unless all of it is there but the line end.
      if (!parsed.is_discarded() && s.history.Take(parsed)) {
        s.file.Append("\n");
      } else {
        s.file.CutTo(begin);
        s.warnings.push_back(
            Format("The last line of \"%s\" was cut short, by a crash or a power "
                   "cut; its %zu bytes were removed",
                   path.c_str(), line.size()));
      }
      break;
    }
    begin = end + 1;
    const bool blank = line.find_first_not_of(" \t\r") == std::string::npos;
    if (blank) continue;
    if (parsed.is_discarded() || !s.history.Take(parsed)) {
      s.warnings.push_back(Format("Line %zu of \"%s\" is not a record line; it was passed over",
                                  number, path.c_str()));
    }
  }
}

StationRecord::~StationRecord() = default;

const std::string& StationRecord::Path() const { return state_->file.Path(); }
const RecordHistory& StationRecord::History() const { return state_->history; }
const std::vector<std::string>& StationRecord::Warnings() const { return state_->warnings; }

void StationRecord::Append(const StartRecord& start) { state_->Write(ToJson(start)); }
void StationRecord::Append(const EndRecord& end) { state_->Write(ToJson(end)); }

std::string DefaultRecordName() {
  const std::time_t now = std::time(nullptr);
  const std::tm* local = std::localtime(&now);
  if (local == nullptr) return "qor-provision.jsonl";
  return Format("qor-provision-%04d%02d%02d.jsonl", local->tm_year + 1900, local->tm_mon + 1,
                local->tm_mday);
}

}  // namespace qor
