#include "tools/qorctl/RunConsole.h"

#include <algorithm>
#include <functional>
#include <string>
#include <utility>

#include "platform/Format.h"
#include "platform/Terminal.h"
#include "platform/TickCount.h"
#include "script/ScriptDisplay.h"
#include "tools/qorctl/ProgressText.h"

namespace qor::cli {
namespace {

constexpr uint32_t kRedrawEveryMs = 50;

struct Line {
  std::string label;
  std::string operation;
  std::string status;
  uint32_t done = 0;
  uint32_t total = 0;
  // Where and when the current transfer began, for its rate.
  uint32_t startDone = 0;
  uint32_t startTick = 0;
  std::string final;  // set once the target's run is over
  std::string lastPrinted;
  bool pending = false;  // changed since last shown
};

// The lines changed since the last refresh, so that a refresh's work grows with the changes,
// not with the targets.
void MarkPending(Line& line, std::vector<Line*>& changed) {
  if (line.pending) return;
  line.pending = true;
  changed.push_back(&line);
}

void AppendDescription(const Line& line, std::string& text) {
  text += line.operation;
  if (!line.operation.empty() && !line.status.empty()) text += ": ";
  text += line.status;
}

// Each target's display writes into its line of the console. Changes wait for the console's
// next refresh, so a section's title and its cleared status show as one change.
class TargetDisplay final : public ScriptDisplay {
 public:
  TargetDisplay(Line& line, std::vector<Line*>& changed, std::function<void(Line&)> flush)
      : line_(line), changed_(changed), flush_(std::move(flush)) {}
  void SetOperationText(const std::string& text) override {
    if (text == line_.operation) return;
    // Each stage gets its own line in a log, even when several run within one step.
    flush_(line_);
    line_.operation = text;
    MarkPending(line_, changed_);
  }
  void SetStatusText(const std::string& text) override {
    if (text == line_.status) return;
    line_.status = text;
    MarkPending(line_, changed_);
  }
  void SetProgress(uint32_t done, uint32_t total) override {
    done = std::min(done, total);
    // Another transfer, or the same one started again: its rate starts afresh.
    if (total != line_.total || done < line_.done) {
      line_.startDone = done;
      line_.startTick = GetTickCount();
    }
    line_.done = done;
    line_.total = total;
    MarkPending(line_, changed_);
  }

 private:
  Line& line_;
  std::vector<Line*>& changed_;
  std::function<void(Line&)> flush_;
};

}  // namespace

struct RunConsole::State {
  std::FILE* out;
  bool terminal;
  std::vector<Line> lines;
  std::vector<Line*> changed;  // pending lines, some perhaps twice or shown since
  std::vector<std::unique_ptr<TargetDisplay>> displays;
  bool drawn = false;  // the live lines are on the terminal
  uint32_t lastDraw = 0;
  // Log lines not yet written: they go out together, at most every 50 ms between forced
  // refreshes, so that a fast run costs no system call per chunk.
  std::string logText;
  uint32_t lastWrite = 0;
  std::string nextPrinted;  // PrintChange's text, its storage kept

  void WriteLog(bool force) {
    if (logText.empty() || (!force && GetTickCount() - lastWrite < kRedrawEveryMs)) return;
    std::fwrite(logText.data(), 1, logText.size(), out);
    std::fflush(out);
    logText.clear();
    lastWrite = GetTickCount();
  }

  std::string LiveText(const Line& line, int columns) const {
    std::string text = line.label + "  ";
    if (!line.final.empty()) {
      text += line.final;
    } else {
      if (line.total > 0) {
        text += ProgressBar(line.done, line.total) + "  ";
        const std::string rate =
            TransferRateText(line.startDone, line.startTick, line.done, line.total, GetTickCount());
        if (!rate.empty()) text += rate + "  ";
      }
      AppendDescription(line, text);
    }
    // A line that wrapped would throw off the cursor arithmetic of the next redraw.
    if (static_cast<int>(text.size()) >= columns) text.resize(static_cast<size_t>(columns - 1));
    return text;
  }

  void Draw() {
    const int columns = GetTerminalSize(out).columns;
    if (drawn) std::fprintf(out, "\x1b[%zuA", lines.size());
    for (const Line& line : lines)
      std::fprintf(out, "\r\x1b[2K%s\n", LiveText(line, columns).c_str());
    std::fflush(out);
    drawn = true;
    lastDraw = GetTickCount();
    for (Line& line : lines) line.pending = false;
    changed.clear();
  }

  void PrintChange(Line& line) {
    line.pending = false;
    // Built where the last one was: a fast download logs a line per chunk, none allocating.
    std::string& text = nextPrinted;
    text.clear();
    if (line.final.empty()) {
      AppendDescription(line, text);
    } else {
      text += line.final;
    }
    if (text.empty() || text == line.lastPrinted) return;
    logText.append(line.label).append("  ").append(text).append("\n");
    std::swap(line.lastPrinted, text);
  }
};

RunConsole::RunConsole(std::FILE* out, bool terminal, std::vector<std::string> labels)
    : state_(std::make_unique<State>()) {
  state_->out = out;
  // Live lines are rewritten by moving the cursor up over them, which stops at the top of the
  // screen: more lines than the screen holds would scroll a copy into its history at every
  // redraw. Then each change gets a line of its own, as in a log.
  state_->terminal = terminal && labels.size() < static_cast<size_t>(GetTerminalSize(out).rows);
  state_->lines.resize(labels.size());
  for (size_t i = 0; i < labels.size(); ++i) state_->lines[i].label = std::move(labels[i]);
  State* s = state_.get();
  for (Line& line : state_->lines) {
    state_->displays.push_back(
        std::make_unique<TargetDisplay>(line, state_->changed, [s](Line& changed) {
          if (!s->terminal && changed.pending) s->PrintChange(changed);
        }));
  }
}

RunConsole::~RunConsole() { state_->WriteLog(true); }

ScriptDisplay& RunConsole::Display(size_t index) { return *state_->displays.at(index); }

void RunConsole::Finish(size_t index, const std::string& text) {
  Line& line = state_->lines.at(index);
  if (!state_->terminal && line.pending) state_->PrintChange(line);
  line.final = text;
  MarkPending(line, state_->changed);
  Refresh(true);
}

void RunConsole::Message(std::FILE* errors, const std::string& text) {
  State& s = *state_;
  s.WriteLog(true);
  if (s.terminal && s.drawn) {
    // Clear the live lines, print the message where they stood, and draw them again below.
    std::fprintf(s.out, "\x1b[%zuA\x1b[J", s.lines.size());
    std::fflush(s.out);
    s.drawn = false;
  }
  std::fprintf(errors, "%s\n", text.c_str());
  std::fflush(errors);
  if (s.terminal) s.Draw();
}

void RunConsole::Refresh(bool force) {
  State& s = *state_;
  if (!s.terminal) {
    // In the order of the lines, as the targets are listed.
    std::sort(s.changed.begin(), s.changed.end());
    for (Line* line : s.changed) {
      if (line->pending) s.PrintChange(*line);
    }
    s.changed.clear();
    s.WriteLog(force);
    return;
  }
  const bool dirty = !s.changed.empty();
  if (!s.drawn || (dirty && (force || GetTickCount() - s.lastDraw >= kRedrawEveryMs))) s.Draw();
}

}  // namespace qor::cli
