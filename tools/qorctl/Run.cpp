#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "QorVersion.h"
#include "exec/RunObserver.h"
#include "exec/RunSession.h"
#include "net/ProductKey.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/DurableFile.h"
#include "platform/Format.h"
#include "platform/Terminal.h"
#include "script/Script.h"
#include "station/UnitRecord.h"
#include "tools/qorctl/Commands.h"
#include "tools/qorctl/Discovery.h"
#include "tools/qorctl/EngineOptions.h"
#include "tools/qorctl/Interrupt.h"
#include "tools/qorctl/NetworkOptions.h"
#include "tools/qorctl/ProgressText.h"
#include "tools/qorctl/RunConsole.h"
#include "tools/qorctl/RunGuards.h"
#include "tools/qorctl/ScriptTrust.h"
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
  NetworkOptions network;
  uint32_t waitMs = 1000;
  EngineOptions engine;
  std::string timeout;  // seconds, checked by RunScript
  size_t jobs = 0;      // runs at once; 0: all
  std::string record;   // JSON Lines file the end records are appended to; empty for none
  bool json = false;
  bool force = false;
  bool verify = false;
  bool skipIfCurrent = false;  // write nothing to a target that already holds what SCRIPT writes
  bool strict = false;         // refuse a script that draws lint warnings
  bool rewriteDamagedEnv = false;  // let *saveenv write over a block read as damaged
  bool allowUnsigned = false;
};

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
  ConsoleReporter(RunConsole& console, bool several, const Script& script,
                  const RunnableScript& runnable, DurableFile* record)
      : console_(console),
        several_(several),
        script_(script),
        runnable_(runnable),
        images_(ScriptImages(script)),
        record_(record) {}

  // The end record of each run, in the order the targets were added.
  [[nodiscard]] std::vector<nlohmann::ordered_json> EndLines() const {
    std::vector<nlohmann::ordered_json> lines;
    for (const auto& [index, line] : ends_) lines.push_back(line);
    return lines;
  }

  void RunEnded(size_t index, const TargetRun& run) override {
    // On disk first, as a station's record is.
    ends_[index] = EndLine(run);
    if (record_ != nullptr) record_->Append(RecordLine(ends_[index]));
    const std::string after = ElapsedText(run.elapsedMs);
    switch (run.outcome) {
      case RunOutcome::kFinished:
        // A warning, not an error: the restart went out, and the run still succeeds.
        if (run.restartConfirmed == false) Report(run, kRestartUnansweredText);
        console_.Finish(index, "done in " + after);
        break;
      case RunOutcome::kCurrent:
        console_.Finish(index, "current: nothing written");
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
  // The fields of a station's end record, with "ok" after the MAC as ever.
  nlohmann::ordered_json EndLine(const TargetRun& run) const {
    const Target& target = *run.target;
    const auto ended = std::chrono::system_clock::now();
    EndRecord end;
    end.started = RecordTimeText(ended - std::chrono::milliseconds(run.elapsedMs));
    end.ended = RecordTimeText(ended);
    end.mac = target.mac;
    end.product = target.Key();
    end.productName = ScriptProductName(script_, target.Key());
    // A run gives no address: it ends where it began.
    if (target.ipAddress != 0) end.ipBefore = end.ipAfter = target.ipAddress;
    end.script = runnable_.path;
    end.scriptSha256 = runnable_.sha256;
    end.images = images_;
    const bool ok = run.Succeeded();
    end.outcome = run.outcome == RunOutcome::kFinished    ? UnitOutcome::kPassed
                  : run.outcome == RunOutcome::kCurrent   ? UnitOutcome::kCurrent
                  : run.outcome == RunOutcome::kCancelled ? UnitOutcome::kCancelled
                                                          : UnitOutcome::kFailed;
    if (!ok) end.error = run.error;
    end.microseconds = run.elapsedUs;
    end.bytesSent = run.bytesSent;
    end.resends = run.resends;
    end.restartConfirmed = run.restartConfirmed;
    end.version = kQorVersion;
    const nlohmann::ordered_json fields = ToJson(end);
    nlohmann::ordered_json line;
    for (const auto& [key, value] : fields.items()) {
      line[key] = value;
      if (key == "mac") line["ok"] = ok;
    }
    return line;
  }

  void Report(const TargetRun& run, const std::string& text) {
    console_.Message(stderr, several_ ? run.target->mac.ToString() + ": " + text : text);
  }

  RunConsole& console_;
  bool several_;
  const Script& script_;
  const RunnableScript& runnable_;
  std::vector<ImageInfo> images_;
  DurableFile* record_;
  std::map<size_t, nlohmann::ordered_json> ends_;
};

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
  ApplySilence(options.engine, runner);
  runner.verifyDownloads = options.verify;
  runner.skipIfCurrent = options.skipIfCurrent;
  runner.rewriteDamagedEnvironment = options.rewriteDamagedEnv;
  std::optional<MacAddress> wanted;
  if (!options.all) wanted = MacAddress::Parse(options.mac);
  std::optional<ProductKey> product;
  if (!options.product.empty()) product = ParseProduct(options.product);

  // Read the script before touching the network, so a bad script costs no discovery, and
  // show what the reader would silently skip or accept in it.
  const RunnableScript runnable = ReadRunnableScript(options.script, options.allowUnsigned);
  const LintedScript& read = runnable.read;
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
  // Opened before anything is sent: a record that cannot be written stops nothing half way.
  std::unique_ptr<DurableFile> record;
  if (!options.record.empty()) record = std::make_unique<DurableFile>(options.record);

  InterruptGuard interrupt;
  const std::unique_ptr<TargetNetwork> opened =
      OpenNetwork(options.network, Tracing(options.engine));
  TargetNetwork& network = *opened;
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
  settings.pace = PaceOf(options.engine);
  settings.jobs = options.jobs;
  settings.timeoutSeconds = timeoutSeconds;
  settings.cancel = &interrupt.Flag();
  settings.runner = runner;
  RunSession session(script, network, std::move(settings));
  for (size_t i = 0; i < targets.size(); ++i) session.AddTarget(*targets[i], console.Display(i));
  ConsoleReporter reporter(console, targets.size() > 1, script, runnable, record.get());
  session.Run(&reporter);
  console.Refresh(true);

  if (options.json) {
    for (const auto& line : reporter.EndLines()) std::printf("%s", RecordLine(line).c_str());
  }
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
      "Discovers targets first, then runs SCRIPT on the chosen ones at once over one socket "
      "(with --jobs, on so many at a time, the next starting as one ends). Ctrl-C cancels the "
      "runs like the Cancel button.\n"
      "SCRIPT is read as qorctl check reads it, and its warnings are printed before anything "
      "is sent; --strict refuses to run a script that draws any.\n"
      "A script with *script entries runs only on targets of those products (--force: on any).\n"
      "A request the target refuses, or a target silent past --silence (--write-silence for a "
      "write), fails that target's run. *saveenv fails before sending anything when the "
      "variables do not all fit its block, or when its block was read as damaged "
      "(--rewrite-damaged-env writes it all the same). A *restart left unanswered past "
      "--silence does not fail the run: \"Restart sent; the target did not answer\" is printed "
      "as a warning.\n"
      "With --range the discovery also sweeps the range, as qorctl discover does; with "
      "--target the sweep stops as soon as that target answers.\n"
      "With --all the run ends with a line of how many runs succeeded, failed, were refused (no "
      "address) or skipped (another product).\n"
      "With --skip-if-current a target that already holds everything SCRIPT writes (its "
      "images, and its *setenv values in the block *saveenv writes) is reported as current, "
      "\"outcome\": \"current\" with --json and --record, and nothing is written to it, not "
      "even a *restart.\n"
      "Exit status: 0 when every run finished or was current (an unanswered restart included), 1 "
      "when any "
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
  AddNetworkOptions(*run, options->network, "the discovery");
  AddWaitOption(*run, options->waitMs, "answers to the discovery");
  AddEngineOptions(*run, options->engine);
  run->add_option("--timeout", options->timeout,
                  "Cancel runs still going after SECONDS, from 0 to 2592000 (default 0: no "
                  "limit)")
      ->type_name("SECONDS");
  run->add_flag("--force", options->force,
                "Run also on targets of products the script's *script entries do not name");
  run->add_flag("--verify", options->verify,
                "Read every downloaded image back after its write; fail unless it matches");
  run->add_flag("--skip-if-current", options->skipIfCurrent,
                "Read back first what SCRIPT would write (each image by CRC-32, the variables "
                "its *setenv lines put in the block its *saveenv writes); a target that already "
                "holds it all is reported current and nothing is written to it");
  run->add_flag("--strict", options->strict,
                "Refuse to run a script that draws any of qorctl check's warnings (exit 1, "
                "nothing sent)");
  run->add_flag("--rewrite-damaged-env", options->rewriteDamagedEnv,
                "Let *saveenv write over an environment block that was read as damaged, to "
                "repair the target on purpose");
  run->add_option("--jobs", options->jobs,
                  "With --all: run on at most N targets at once, starting the next as one ends "
                  "(default 0: all at once)")
      ->type_name("N")
      ->check(CLI::Range(0, 65536).description(""));
  run->add_flag("--json", options->json,
                "At the end, one JSON object per target and line: the fields of qorctl "
                "provision's end records (mac, ok, error, seconds, restart_confirmed, times, "
                "addresses, product, script SHA-256, image CRCs, bytes sent, resends, ...)");
  run->add_option("--record", options->record,
                  "Append each target's end record to FILE as a line of JSON, on disk as soon "
                  "as its run is over, as qorctl provision records units")
      ->type_name("FILE");
  AddAllowUnsignedFlag(*run, options->allowUnsigned);
  return [options] {
    if (options->mac.empty() && !options->all) {
      throw UsageError("choose the target: --target MAC, or --all");
    }
    return RunScript(*options);
  };
}

}  // namespace qor::cli
