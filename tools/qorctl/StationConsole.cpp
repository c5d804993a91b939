#include "tools/qorctl/StationConsole.h"

#include <algorithm>
#include <list>

#include "net/Target.h"
#include "platform/Format.h"
#include "platform/Terminal.h"
#include "platform/TickCount.h"
#include "script/ScriptDisplay.h"
#include "station/Station.h"
#include "station/UnitRecord.h"
#include "tools/qorctl/ProgressText.h"

namespace qor::cli {
namespace {

constexpr uint32_t kRedrawEveryMs = 50;

// One unit in flight: what its display was last told.
class LiveLine final : public ScriptDisplay {
 public:
  LiveLine(MacAddress unit, std::string text) : mac(unit), label(std::move(text)) {}
  void SetOperationText(const std::string& text) override { operation = text; }
  void SetStatusText(const std::string& text) override { status = text; }
  void SetProgress(uint32_t d, uint32_t t) override {
    d = std::min(d, t);
    // Another transfer, or the same one started again: its rate starts afresh.
    if (t != total || d < done) {
      startDone = d;
      startTick = GetTickCount();
    }
    done = d;
    total = t;
  }

  [[nodiscard]] std::string Text() const {
    std::string text = label + "  ";
    if (total > 0) {
      text += ProgressBar(done, total) + "  ";
      const std::string rate = TransferRateText(startDone, startTick, done, total, GetTickCount());
      if (!rate.empty()) text += rate + "  ";
    }
    text += operation;
    if (!operation.empty() && !status.empty()) text += ": ";
    return text + status;
  }

  MacAddress mac;
  std::string label;
  std::string operation;
  std::string status;
  uint32_t done = 0;
  uint32_t total = 0;
  uint32_t startDone = 0;
  uint32_t startTick = 0;
};

}  // namespace

std::string StartText(const StartRecord& start) {
  std::string text = start.mac.ToString() + "  started at " +
                     (start.ip ? IpAddressText(*start.ip) : std::string("no address"));
  if (start.ip != start.ipBefore) {
    text += " (was " + TargetAddressText(start.ipBefore.value_or(0)) + ")";
  }
  if (start.unitValues) {
    std::string values;
    for (const auto& [name, value] : *start.unitValues) {
      values += (values.empty() ? "" : " ") + name + "=" + value;
    }
    text += ", " + values;
  }
  return text;
}

std::string EndText(const EndRecord& end) {
  const std::string mac = end.mac.ToString();
  switch (end.outcome) {
    case UnitOutcome::kPassed:
      return mac + "  passed in " + ElapsedText(end.microseconds / 1000);
    case UnitOutcome::kCancelled:
      return mac + "  cancelled after " + ElapsedText(end.microseconds / 1000);
    case UnitOutcome::kCurrent:
      return mac + "  current: nothing written";
    case UnitOutcome::kFailed:
      break;
  }
  return mac + "  failed after " + ElapsedText(end.microseconds / 1000) + ": " +
         end.error.value_or("");
}

std::string CountsText(const Station& station) {
  const Station::Counts counts = station.CurrentCounts();
  std::string text =
      Format("Passed %zu  Failed %zu  Cancelled %zu  Waiting %zu  In flight %zu", counts.passed,
             counts.failed, counts.cancelled, counts.waiting, counts.inFlight);
  if (const auto left = station.PoolLeft()) text += Format("  Pool left %zu", *left);
  if (counts.passed > 0 && counts.elapsedMs > 0) {
    text += Format("  %.0f units/h", counts.passed * 3600000.0 / counts.elapsedMs);
  }
  return text;
}

struct StationConsole::State {
  std::FILE* out = nullptr;
  std::FILE* notes = nullptr;
  std::FILE* json = nullptr;
  bool terminal = false;
  const Station* station = nullptr;
  std::list<LiveLine> lines;  // in the order the units started; a display never moves
  size_t drawn = 0;           // lines now on the terminal below the log
  uint32_t lastDraw = 0;

  // Takes the live lines off the terminal, so that a line of the log can go where they were.
  void Clear() {
    if (drawn == 0) return;
    std::fprintf(out, "\x1b[%zuA\x1b[J", drawn);
    std::fflush(out);
    drawn = 0;
  }

  void Draw() {
    if (!terminal) return;
    Clear();
    const TerminalSize size = GetTerminalSize(out);
    const auto fit = [&](std::string text) {
      // A line that wrapped would throw off the cursor arithmetic of the next redraw.
      if (static_cast<int>(text.size()) >= size.columns) {
        text.resize(static_cast<size_t>(std::max(size.columns - 1, 0)));
      }
      return text;
    };
    // Room for the counters and a line of the log above.
    const size_t room = static_cast<size_t>(std::max(size.rows - 3, 1));
    size_t shown = 0;
    for (const LiveLine& line : lines) {
      if (shown + 1 == room && lines.size() > room) {
        std::fprintf(out, "%s\n", fit(Format("... and %zu more", lines.size() - shown)).c_str());
        ++shown;
        break;
      }
      std::fprintf(out, "%s\n", fit(line.Text()).c_str());
      ++shown;
    }
    if (station != nullptr) {
      std::fprintf(out, "%s\n", fit(CountsText(*station)).c_str());
      ++shown;
    }
    std::fflush(out);
    drawn = shown;
    lastDraw = GetTickCount();
  }

  void Log(std::FILE* stream, const std::string& text) {
    Clear();
    std::fprintf(stream, "%s\n", text.c_str());
    std::fflush(stream);
    if (terminal) Draw();
  }
};

StationConsole::StationConsole(std::FILE* out, std::FILE* notes, bool terminal, std::FILE* json)
    : state_(std::make_unique<State>()) {
  state_->out = out;
  state_->notes = notes;
  state_->terminal = terminal;
  state_->json = json;
}

StationConsole::~StationConsole() = default;

void StationConsole::Watch(const Station& station) { state_->station = &station; }

ScriptDisplay& StationConsole::UnitStarted(const StartRecord& start) {
  State& s = *state_;
  const std::string address = TargetAddressText(start.ip.value_or(0));
  s.lines.emplace_back(start.mac, start.mac.ToString() + "  " + address);
  s.Log(s.out, StartText(start));
  return s.lines.back();
}

void StationConsole::UnitEnded(const EndRecord& end) {
  State& s = *state_;
  s.lines.remove_if([&](const LiveLine& line) { return line.mac == end.mac; });
  if (s.json != nullptr) {
    const std::string line = RecordLine(ToJson(end));
    std::fwrite(line.data(), 1, line.size(), s.json);
    std::fflush(s.json);
  }
  s.Log(s.out, EndText(end));
}

void StationConsole::Note(const std::string& text) { state_->Log(state_->notes, text); }

void StationConsole::Stepped() {
  State& s = *state_;
  if (s.terminal && GetTickCount() - s.lastDraw >= kRedrawEveryMs) s.Draw();
}

void StationConsole::Close() { state_->Clear(); }

}  // namespace qor::cli
