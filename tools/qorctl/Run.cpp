#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "exec/ScriptRunner.h"
#include "net/ProductKey.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/TickCount.h"
#include "script/Script.h"
#include "tools/qorctl/Commands.h"
#include "tools/qorctl/Discovery.h"
#include "tools/qorctl/RunConsole.h"
#include "tools/qorctl/Validators.h"

namespace qor::cli {
namespace {

constexpr int kStepMs = 20;  // the script dialog's timer period
constexpr int kInterruptedExit = 130;
constexpr double kMaxTimeoutSeconds = 30.0 * 24 * 60 * 60;

struct RunOptions {
  std::string script;
  std::string mac;
  bool all = false;
  std::string product;
  std::string broadcast = "255.255.255.255";
  int waitMs = 1000;
  std::string pace = "fast";
  double timeoutSeconds = 0;
  bool json = false;
};

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int) { interrupted = 1; }

// Ctrl-C sets a flag; without SA_RESTART it also wakes a wait on the socket at once.
class InterruptGuard {
 public:
  InterruptGuard() {
    interrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous_);
  }
  ~InterruptGuard() { sigaction(SIGINT, &previous_, nullptr); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction previous_ {};
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

std::string SecondsText(uint32_t milliseconds) {
  return Format("%u.%03u s", milliseconds / 1000, milliseconds % 1000);
}

enum class Outcome { kRunning, kDone, kFailed, kCancelled, kTimedOut, kRefused };

struct TargetRun {
  explicit TargetRun(Target* t) : target(t) {}
  Target* target;
  std::unique_ptr<ScriptRunner> runner;
  Outcome outcome = Outcome::kRunning;
  std::string error;
  uint32_t startedAt = 0;
  uint32_t elapsedMs = 0;
};

int RunScript(const RunOptions& options) {
  if (options.waitMs < 0) throw UsageError("--wait must not be negative");
  // Written so that NaN fails too. The bound keeps the limit within what the wrapping tick count
  // can measure and the conversion to milliseconds defined.
  if (!(options.timeoutSeconds >= 0 && options.timeoutSeconds <= kMaxTimeoutSeconds)) {
    throw UsageError(Format("--timeout must be a number of seconds from 0 (no limit) to %.0f",
                            kMaxTimeoutSeconds));
  }
  std::optional<MacAddress> wanted;
  if (!options.all) wanted = MacAddress::Parse(options.mac);
  std::optional<ProductKey> product;
  if (!options.product.empty()) product = ParseProduct(options.product);
  const uint32_t broadcast = *ParseIpAddress(options.broadcast);
  const bool tick = options.pace == "tick";

  // Read the script before touching the network, so a bad script costs no discovery.
  const Script script(options.script, DirectiveRegistry());

  InterruptGuard interruptGuard;
  TargetNetwork network(broadcast);
  if (!DiscoverTargets(network, static_cast<uint32_t>(options.waitMs),
                       [] { return interrupted != 0; })) {
    return 1;
  }
  if (interrupted) {
    std::fprintf(stderr, "Cancelled\n");
    return kInterruptedExit;
  }

  std::vector<TargetRun> runs;
  if (wanted) {
    Target* target = network.Table().Find(*wanted);
    if (target == nullptr) {
      std::fprintf(stderr, "No target with MAC address %s answered the discovery\n",
                   wanted->ToString().c_str());
      return 1;
    }
    runs.emplace_back(target);
  } else {
    for (Target* target : network.Table().InArrivalOrder()) {
      if (!product || target->Key() == *product) runs.emplace_back(target);
    }
    if (runs.empty()) {
      if (product) {
        std::fprintf(stderr, "No target of product 0x%04X:0x%04X answered the discovery\n",
                     product->vendorId, product->productId);
      } else {
        std::fprintf(stderr, "No target answered the discovery\n");
      }
      return 1;
    }
  }

  // With --json, standard output carries the summary alone; progress goes to standard error.
  std::FILE* const out = options.json ? stderr : stdout;
  const bool terminal = isatty(fileno(out)) != 0;
  std::vector<std::string> labels;
  for (const TargetRun& run : runs) labels.push_back(run.target->mac.ToString());
  RunConsole console(out, terminal, labels);
  const bool several = runs.size() > 1;
  // A directive's error text is shown exactly as the script dialog's message box shows it; with
  // several targets the MAC in front tells whose it is.
  const auto report = [&](const TargetRun& run, const std::string& text) {
    console.Message(stderr, several ? run.target->mac.ToString() + ": " + text : text);
  };

  const uint32_t runStart = GetTickCount();
  for (size_t i = 0; i < runs.size(); ++i) {
    TargetRun& run = runs[i];
    run.startedAt = runStart;
    if (run.target->ipAddress == 0) {
      // As the target list greys its script entries: a target without an address is unreachable.
      run.outcome = Outcome::kRefused;
      run.error = Format("Target %s has no IP address; assign it one before running a script",
                         run.target->mac.ToString().c_str());
      report(run, run.error);
      console.Finish(i, "refused: no IP address");
      continue;
    }
    run.runner = std::make_unique<ScriptRunner>(*run.target, script, network, console.Display(i));
  }

  const auto settle = [&](size_t i, Outcome outcome, const std::string& error) {
    TargetRun& run = runs[i];
    run.outcome = outcome;
    run.error = error;
    run.elapsedMs = GetTickCount() - run.startedAt;
    const std::string after = SecondsText(run.elapsedMs);
    switch (outcome) {
      case Outcome::kDone:
        console.Finish(i, "done in " + after);
        break;
      case Outcome::kFailed:
        report(run, error);
        console.Finish(i, "failed after " + after);
        break;
      case Outcome::kCancelled:
        console.Finish(i, "cancelled after " + after);
        break;
      case Outcome::kTimedOut:
        report(run, error);
        console.Finish(i, "timed out after " + after);
        break;
      default:
        break;
    }
  };

  const auto stepAll = [&] {
    for (size_t i = 0; i < runs.size(); ++i) {
      TargetRun& run = runs[i];
      if (run.outcome != Outcome::kRunning) continue;
      try {
        run.runner->Step();
        if (run.runner->Finished()) {
          // A directive the target refused ends quietly and the script goes on; the run still
          // did not do what was asked.
          const std::string& refusal = console.Refusal(i);
          settle(i, refusal.empty() ? Outcome::kDone : Outcome::kFailed, refusal);
        }
      } catch (const Exception& error) {
        settle(i, Outcome::kFailed, error.Message());
      } catch (const std::exception& error) {
        run.runner->Cancel();
        settle(i, Outcome::kFailed, error.what());
      }
    }
    console.Refresh();
  };
  const auto anyRunning = [&] {
    for (const TargetRun& run : runs) {
      if (run.outcome == Outcome::kRunning) return true;
    }
    return false;
  };
  const auto cancelAll = [&](Outcome outcome, const std::string& error) {
    for (size_t i = 0; i < runs.size(); ++i) {
      if (runs[i].outcome != Outcome::kRunning) continue;
      runs[i].runner->Cancel();
      settle(i, outcome, error);
    }
  };

  // Fast pace starts at once and then steps whenever a reply arrives; tick pace steps every
  // 20 ms as the script dialog's timer does. Either way the resend rules run on the tick count.
  if (!tick) stepAll();
  // Rounded up: a limit below one millisecond is still a limit, not "none".
  const auto timeoutMs = static_cast<uint32_t>(std::ceil(options.timeoutSeconds * 1000.0));
  while (anyRunning()) {
    if (interrupted) {
      cancelAll(Outcome::kCancelled, "Cancelled");
      break;
    }
    if (timeoutMs > 0 && GetTickCount() - runStart >= timeoutMs) {
      cancelAll(Outcome::kTimedOut, Format("Timed out after %g seconds; the run was cancelled",
                                           options.timeoutSeconds));
      break;
    }
    if (tick) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
    } else {
      static_cast<void>(network.WaitReadable(kStepMs));
    }
    network.Poll();
    stepAll();
  }
  console.Refresh(true);

  if (options.json) {
    // One object per target and line, fields in the documented order.
    for (const TargetRun& run : runs) {
      const bool ok = run.outcome == Outcome::kDone;
      const nlohmann::ordered_json line = {
          {"mac", run.target->mac.ToString()},
          {"ok", ok},
          {"error", ok ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(run.error)},
          {"seconds", run.elapsedMs / 1000.0}};
      std::printf("%s\n", line.dump().c_str());
    }
  }
  if (interrupted) return kInterruptedExit;
  for (const TargetRun& run : runs) {
    if (run.outcome != Outcome::kDone) return 1;
  }
  return 0;
}

}  // namespace

CommandRunner AddRunCommand(CLI::App& app) {
  auto options = std::make_shared<RunOptions>();
  CLI::App* run =
      app.add_subcommand("run", "Run a script on one target or on every discovered target");
  run->footer(
      "Discovers targets first, then runs SCRIPT on the chosen ones at once over one socket.\n"
      "Exit status: 0 when every run finished, 1 when any failed, was refused or timed out,\n"
      "2 on usage errors, 130 after Ctrl-C (which cancels the runs like the Cancel button).");
  run->add_option("SCRIPT", options->script, "The .QOR script file to run")->required();
  auto* target = run->add_option("--target", options->mac,
                                 "Run on the target with this MAC address (00:1A:2B:3C:4D:5E)")
                     ->type_name("MAC")
                     ->check(MacAddressValidator());
  auto* all = run->add_flag("--all", options->all, "Run on every target that answers");
  target->excludes(all);
  run->add_option("--product", options->product,
                  "With --all: only targets of this product, VID:PID, each decimal or 0x "
                  "hexadecimal (0x1234:0x0001)")
      ->needs(all);
  run->add_option("--broadcast", options->broadcast,
                  "Discovery goes to this address, e.g. one adapter's subnet broadcast")
      ->type_name("ADDR")
      ->capture_default_str()
      ->check(Ipv4Validator());
  run->add_option("--wait", options->waitMs, "Milliseconds to wait for targets to answer")
      ->capture_default_str();
  run->add_option("--pace", options->pace,
                  "fast: step whenever a reply arrives; tick: step every 20 ms like the GUI")
      ->check(CLI::IsMember({"fast", "tick"}))
      ->capture_default_str();
  run->add_option("--timeout", options->timeoutSeconds,
                  "Cancel runs still going after SECONDS (default: no limit)");
  run->add_flag("--json", options->json,
                "At the end, one JSON object per target and line: mac, ok, error, seconds");
  return [options] {
    if (options->mac.empty() && !options->all) {
      throw UsageError("choose the target: --target MAC, or --all");
    }
    return RunScript(*options);
  };
}

}  // namespace qor::cli
