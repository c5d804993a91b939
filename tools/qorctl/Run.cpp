#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "exec/RunObserver.h"
#include "exec/RunSession.h"
#include "net/ProductKey.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Format.h"
#include "platform/Terminal.h"
#include "platform/UdpSocket.h"
#include "script/Script.h"
#include "tools/qorctl/Commands.h"
#include "tools/qorctl/Discovery.h"
#include "tools/qorctl/Interrupt.h"
#include "tools/qorctl/NetworkOptions.h"
#include "tools/qorctl/RunConsole.h"
#include "tools/qorctl/RunGuards.h"
#include "tools/qorctl/ScriptTrust.h"
#include "tools/qorctl/TracingSocket.h"
#include "tools/qorctl/Validators.h"
#include "trust/ReadScript.h"

namespace qor::cli {
namespace {

constexpr int kInterruptedExit = 130;

struct RunOptions {
  std::string script;
  std::string mac;
  bool all = false;
  std::string product;
  std::string broadcast;  // empty: every adapter
  uint32_t waitMs = 1000;
  std::string pace = "fast";
  std::string timeout;  // seconds, checked by RunScript
  bool json = false;
  bool force = false;
  bool verify = false;
  bool strict = false;             // refuse a script that draws lint warnings
  bool rewriteDamagedEnv = false;  // let *saveenv write over a block read as damaged
  std::string silence;             // seconds, checked by RunScript; empty for the default
  std::string writeSilence;        // the same, for writes
  std::string trace;               // JSON Lines file of every message; empty for none
  bool allowUnsigned = false;
};

// One number of VID:PID: decimal, or hexadecimal after 0x.
std::optional<uint16_t> ParseId(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > 0xFFFF) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(value);
}

ProductKey ParseProduct(const std::string& text) {
  const size_t colon = text.find(':');
  std::optional<uint16_t> vendor;
  std::optional<uint16_t> product;
  if (colon != std::string::npos) {
    vendor = ParseId(std::string_view(text).substr(0, colon));
    product = ParseId(std::string_view(text).substr(colon + 1));
  }
  if (!vendor || !product) {
    throw UsageError("--product \"" + text +
                     "\" is not VID:PID (two numbers from 0 to 65535, decimal or 0x hexadecimal, "
                     "such as 0x1234:0x0001)");
  }
  return {*vendor, *product};
}

// The program's socket, writing every message to the trace file when one is named.
std::unique_ptr<DatagramSocket> OpenSocket(const std::string& trace) {
  auto socket = std::make_unique<UdpSocket>();
  if (trace.empty()) return socket;
  return std::make_unique<TracingSocket>(std::move(socket), trace);
}

std::string SecondsText(uint32_t milliseconds) {
  return Format("%u.%03u s", milliseconds / 1000, milliseconds % 1000);
}

// A silence limit from its option, in seconds: more than 0, within what the tick count
// measures; empty for the default. Text that is no number fails as one out of range does.
uint32_t SilenceMs(const std::string& text, uint32_t defaultMs, const char* option) {
  if (text.empty()) return defaultMs;
  constexpr double kMaxSeconds = SilenceLimits::kMaxMs / 1000.0;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  // Written so that NaN fails too.
  if (end == text.c_str() || *end != '\0' || !(seconds > 0 && seconds <= kMaxSeconds)) {
    throw UsageError(
        Format("%s must be a number of seconds above 0 and at most %.0f", option, kMaxSeconds));
  }
  return static_cast<uint32_t>(std::ceil(seconds * 1000.0));
}

// The targets that answered the discovery and were asked for, in the order they answered;
// empty (with the reason on standard error) when there is none.
std::vector<Target*> ChooseTargets(TargetNetwork& network, const std::optional<MacAddress>& wanted,
                                   const std::optional<ProductKey>& product) {
  std::vector<Target*> chosen;
  if (wanted) {
    if (Target* target = network.Table().Find(*wanted)) {
      chosen.push_back(target);
    } else {
      std::fprintf(stderr, "No target with MAC address %s answered the discovery\n",
                   wanted->ToString().c_str());
    }
    return chosen;
  }
  for (Target* target : network.Table().InArrivalOrder()) {
    if (!product || target->Key() == *product) chosen.push_back(target);
  }
  if (chosen.empty() && product) {
    std::fprintf(stderr, "No target of product 0x%04X:0x%04X answered the discovery\n",
                 product->vendorId, product->productId);
  } else if (chosen.empty()) {
    std::fprintf(stderr, "No target answered the discovery\n");
  }
  return chosen;
}

// Shows each outcome as it happens: an error on a line of its own, exactly as the script
// dialog's message box shows it (with several targets the MAC in front tells whose it is), then
// the target's last line.
class ConsoleReporter final : public RunObserver {
 public:
  ConsoleReporter(RunConsole& console, bool several) : console_(console), several_(several) {}

  void RunEnded(size_t index, const TargetRun& run) override {
    const std::string after = SecondsText(run.elapsedMs);
    switch (run.outcome) {
      case RunOutcome::kFinished:
        // A warning, not an error: the restart went out, and the run still succeeds.
        if (run.restartConfirmed == false) Report(run, kRestartUnansweredText);
        console_.Finish(index, "done in " + after);
        break;
      case RunOutcome::kFailed:
        Report(run, run.error);
        console_.Finish(index, "failed after " + after);
        break;
      case RunOutcome::kCancelled:
        console_.Finish(index, "cancelled after " + after);
        break;
      case RunOutcome::kTimedOut:
        Report(run, run.error);
        console_.Finish(index, "timed out after " + after);
        break;
      case RunOutcome::kRefused:
        // The reason is in the error above; the target's line says only what became of it.
        Report(run, run.error);
        console_.Finish(index, "refused");
        break;
      case RunOutcome::kRunning:
        break;
    }
  }
  void Stepped() override { console_.Refresh(); }

 private:
  void Report(const TargetRun& run, const std::string& text) {
    console_.Message(stderr, several_ ? run.target->mac.ToString() + ": " + text : text);
  }

  RunConsole& console_;
  bool several_;
};

// One object per target and line, fields in the documented order.
void PrintSummary(const std::vector<TargetRun>& runs) {
  for (const TargetRun& run : runs) {
    const bool ok = run.outcome == RunOutcome::kFinished;
    const nlohmann::ordered_json line = {
        {"mac", run.target->mac.ToString()},
        {"ok", ok},
        {"error", ok ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(run.error)},
        {"seconds", run.elapsedMs / 1000.0},
        {"restart_confirmed", run.restartConfirmed ? nlohmann::ordered_json(*run.restartConfirmed)
                                                   : nlohmann::ordered_json(nullptr)}};
    std::printf("%s\n", line.dump().c_str());
  }
}

int RunScript(const RunOptions& options) {
  // Text that is no number fails as a number out of range does; written so that NaN fails too.
  char* end = nullptr;
  const double timeoutSeconds =
      options.timeout.empty() ? 0 : std::strtod(options.timeout.c_str(), &end);
  if ((end != nullptr && (end == options.timeout.c_str() || *end != '\0')) ||
      !(timeoutSeconds >= 0 && timeoutSeconds <= RunSession::kMaxTimeoutSeconds)) {
    throw UsageError(Format("--timeout must be a number of seconds from 0 (no limit) to %.0f",
                            RunSession::kMaxTimeoutSeconds));
  }
  RunnerOptions runner;
  runner.silence.requestMs = SilenceMs(options.silence, SilenceLimits::kRequestMs, "--silence");
  runner.silence.writeMs =
      SilenceMs(options.writeSilence, SilenceLimits::kWriteMs, "--write-silence");
  runner.verifyDownloads = options.verify;
  runner.rewriteDamagedEnvironment = options.rewriteDamagedEnv;
  std::optional<MacAddress> wanted;
  if (!options.all) wanted = MacAddress::Parse(options.mac);
  std::optional<ProductKey> product;
  if (!options.product.empty()) product = ParseProduct(options.product);

  // Read the script before touching the network, so a bad script costs no discovery, and
  // show what the reader would silently skip or accept in it.
  const LintedScript read =
      ReadScriptWithLint(options.script, DirectiveRegistry(), CommandKeys(options.allowUnsigned));
  for (const LintWarning& warning : read.warnings) {
    std::fprintf(stderr, "%s\n", LintWarningText(options.script, warning).c_str());
  }
  if (options.strict && !read.warnings.empty()) {
    const size_t count = read.warnings.size();
    std::fprintf(stderr,
                 "Not run: \"%s\" draws %zu warning%s, and --strict runs only scripts "
                 "without any\n",
                 options.script.c_str(), count, count == 1 ? "" : "s");
    return 1;
  }
  const Script& script = *read.script;

  InterruptGuard interrupt;
  TargetNetwork network(OpenSocket(options.trace), BroadcastsFor(options.broadcast));
  // With --target the run starts the moment that target answers; --all takes the whole wait,
  // as it cannot know who else will answer.
  const auto enough = [&] {
    return interrupt.Interrupted() || (wanted && network.Table().Find(*wanted) != nullptr);
  };
  if (!DiscoverTargets(network, options.waitMs, enough)) {
    return 1;
  }
  if (interrupt.Interrupted()) {
    std::fprintf(stderr, "Cancelled\n");
    return kInterruptedExit;
  }
  std::vector<Target*> targets = ChooseTargets(network, wanted, product);
  if (targets.empty()) return 1;
  size_t skipped = 0;
  if (!options.force) targets = KeepServed(script, targets, options.all, skipped, stderr);
  // With --json, standard output carries the summary alone; progress goes to standard error.
  std::FILE* const out = options.json ? stderr : stdout;
  if (targets.empty()) {
    if (options.all) {
      std::fprintf(stderr, "No target of a product the script names answered\n");
      std::fprintf(out, "%s\n", Tally({}, skipped).c_str());
    }
    return 1;
  }

  std::vector<std::string> labels;
  for (const Target* target : targets) labels.push_back(target->mac.ToString());
  RunConsole console(out, IsTerminal(out), labels);

  RunSettings settings;
  settings.pace = options.pace == "tick" ? RunPace::kTick : RunPace::kFast;
  settings.timeoutSeconds = timeoutSeconds;
  settings.cancel = &interrupt.Flag();
  settings.runner = runner;
  RunSession session(script, network, std::move(settings));
  for (size_t i = 0; i < targets.size(); ++i) session.AddTarget(*targets[i], console.Display(i));
  ConsoleReporter reporter(console, targets.size() > 1);
  session.Run(&reporter);
  console.Refresh(true);

  if (options.json) PrintSummary(session.Runs());
  if (options.all) std::fprintf(out, "%s\n", Tally(session.Runs(), skipped).c_str());
  if (interrupt.Interrupted()) return kInterruptedExit;
  return session.Succeeded() ? 0 : 1;
}

}  // namespace

CommandRunner AddRunCommand(CLI::App& app) {
  auto options = std::make_shared<RunOptions>();
  CLI::App* run =
      app.add_subcommand("run", "Run a script on one target or on every discovered target");
  run->footer(
      "Discovers targets first, then runs SCRIPT on the chosen ones at once over one socket. "
      "Ctrl-C cancels the runs like the Cancel button.\n"
      "SCRIPT is read as qorctl check reads it, and its warnings are printed before anything "
      "is sent; --strict refuses to run a script that draws any.\n"
      "A script with *script entries runs only on targets of those products (--force: on any).\n"
      "A request the target refuses, or a target silent past --silence (--write-silence for a "
      "write), fails that target's run. *saveenv fails before sending anything when the "
      "variables do not all fit its block, or when its block was read as damaged "
      "(--rewrite-damaged-env writes it all the same). A *restart left unanswered past "
      "--silence does not fail the run: \"Restart sent; the target did not answer\" is printed "
      "as a warning.\n"
      "With --all the run ends with a line of how many runs succeeded, failed, were refused (no "
      "address) or skipped (another product).\n"
      "Exit status: 0 when every run finished (an unanswered restart included), 1 when any "
      "failed, was refused or timed out, or --strict refused the script, 2 on a usage error, "
      "130 after Ctrl-C.");
  run->add_option("SCRIPT", options->script, "The .QOR script file to run")->required();
  auto* target = run->add_option("--target", options->mac,
                                 "Run on the target with this MAC address, e.g. "
                                 "00:1A:2B:3C:4D:5E (not with --all)")
                     ->type_name("MAC")
                     ->check(MacAddressValidator());
  auto* all =
      run->add_flag("--all", options->all, "Run on every target that answers (not with --target)");
  target->excludes(all);
  run->add_option("--product", options->product,
                  "With --all: only targets of this product, each ID decimal or 0x "
                  "hexadecimal, e.g. 0x1234:0x0001")
      ->type_name("VID:PID")
      ->needs(all);
  AddBroadcastOption(*run, options->broadcast, "the discovery");
  AddWaitOption(*run, options->waitMs, "answers to the discovery");
  run->add_option("--pace", options->pace,
                  "fast: step whenever a reply arrives; tick: step every 20 ms like the desktop "
                  "program")
      ->type_name("fast|tick")
      ->check(CLI::IsMember({"fast", "tick"}).description(""))
      ->capture_default_str();
  run->add_option("--timeout", options->timeout,
                  "Cancel runs still going after SECONDS, from 0 to 2592000 (default 0: no "
                  "limit)")
      ->type_name("SECONDS");
  run->add_flag("--force", options->force,
                "Run also on targets of products the script's *script entries do not name");
  run->add_flag("--verify", options->verify,
                "Read every downloaded image back after its write; fail unless it matches");
  run->add_flag("--strict", options->strict,
                "Refuse to run a script that draws any of qorctl check's warnings (exit 1, "
                "nothing sent)");
  run->add_flag("--rewrite-damaged-env", options->rewriteDamagedEnv,
                "Let *saveenv write over an environment block that was read as damaged, to "
                "repair the target on purpose");
  run->add_option("--silence", options->silence,
                  "Fail a run when its target is silent for SECONDS about a fill, data, read or "
                  "restart request (default 30)")
      ->type_name("SECONDS");
  run->add_option("--write-silence", options->writeSilence,
                  "The same for a write; each progress reply starts the wait again (default "
                  "600)")
      ->type_name("SECONDS");
  run->add_option("--trace", options->trace,
                  "Write every request sent and every reply received to FILE, one JSON object "
                  "per line, as qor-sim --trace does")
      ->type_name("FILE");
  run->add_flag("--json", options->json,
                "At the end, one JSON object per target and line: mac, ok, error, seconds, "
                "restart_confirmed");
  AddAllowUnsignedFlag(*run, options->allowUnsigned);
  return [options] {
    if (options->mac.empty() && !options->all) {
      throw UsageError("choose the target: --target MAC, or --all");
    }
    return RunScript(*options);
  };
}

}  // namespace qor::cli
