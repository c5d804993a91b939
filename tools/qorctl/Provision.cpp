#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/Terminal.h"
#include "script/Script.h"
#include "station/AddressPool.h"
#include "station/Station.h"
#include "station/StationRecord.h"
#include "station/UnitValues.h"
#include "tools/cli/NumberValidators.h"
#include "tools/qorctl/Commands.h"
#include "tools/qorctl/EngineOptions.h"
#include "tools/qorctl/Interrupt.h"
#include "tools/qorctl/NetworkOptions.h"
#include "tools/qorctl/ScriptTrust.h"
#include "tools/qorctl/StationConsole.h"
#include "tools/qorctl/Validators.h"

namespace qor::cli {
namespace {

constexpr int kInterruptedExit = 130;

struct ProvisionOptions {
  std::string script;
  std::string addresses;   // FIRST-LAST
  std::string addressMap;  // FILE.csv
  bool readdress = false;
  std::string unitValues;  // FILE.csv
  std::string product;
  bool force = false;
  size_t jobs = 4;
  std::string record;  // empty: qor-provision-YYYYMMDD.jsonl here
  std::string csv;
  bool again = false;
  bool retryFailed = false;
  uint32_t retries = 0;
  size_t count = 0;
  std::string idle;  // seconds
  uint32_t waitMs = 3000;
  NetworkOptions network;
  EngineOptions engine;
  bool noVerify = false;
  bool allowWarnings = false;
  bool allowUnsigned = false;
  bool json = false;
};

double IdleSeconds(const std::string& text) {
  if (text.empty()) return 0;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  // Written so that NaN fails too.
  if (end == text.c_str() || *end != '\0' ||
      !(seconds >= 0 && seconds <= RunSession::kMaxTimeoutSeconds)) {
    throw UsageError(Format("--idle must be a number of seconds from 0 (never) to %.0f",
                            RunSession::kMaxTimeoutSeconds));
  }
  return seconds;
}

std::string StopText(StationStop stop, const ProvisionOptions& options, double idleSeconds) {
  switch (stop) {
    case StationStop::kCount:
      return Format("Stopped: %zu units have passed (--count)", options.count);
    case StationStop::kIdle:
      return Format("Stopped: no new unit for %g seconds (--idle)", idleSeconds);
    case StationStop::kExhausted:
      return "Stopped: the address pool is exhausted";
    case StationStop::kCancelled:
      break;
  }
  return "Cancelled";
}

int Provision(const ProvisionOptions& options) {
  StationOptions station;
  station.product =
      options.product.empty() ? std::nullopt : std::optional(ParseProduct(options.product));
  station.idleSeconds = IdleSeconds(options.idle);
  if (options.readdress && options.addresses.empty() && options.addressMap.empty()) {
    throw UsageError("--readdress needs --addresses or --address-map");
  }
  std::optional<AddressPool> pool;
  if (!options.addresses.empty()) {
    try {
      pool = AddressPool::Range(options.addresses);
    } catch (const Exception& error) {
      throw UsageError("--addresses: " + error.Message());
    }
  }
  ApplySilence(options.engine, station.run.runner);

  // Everything read before anything is sent: a bad script or file costs no discovery.
  const RunnableScript runnable = ReadRunnableScript(options.script, options.allowUnsigned);
  for (const LintWarning& warning : runnable.read.warnings) {
    std::fprintf(stderr, "%s\n", LintWarningText(options.script, warning).c_str());
  }
  if (!runnable.read.warnings.empty() && !options.allowWarnings) {
    const size_t count = runnable.read.warnings.size();
    std::fprintf(stderr,
                 "Not started: \"%s\" draws %zu warning%s, and provision runs only scripts "
                 "without any (--allow-warnings runs it all the same)\n",
                 options.script.c_str(), count, count == 1 ? "" : "s");
    return 1;
  }
  if (!options.addressMap.empty()) pool = AddressPool::MapFile(options.addressMap);
  std::optional<UnitValues> values;
  if (!options.unitValues.empty()) values = UnitValues::File(options.unitValues);
  StationRecord record(options.record.empty() ? DefaultRecordName() : options.record);
  for (const std::string& warning : record.Warnings()) {
    std::fprintf(stderr, "Warning: %s\n", warning.c_str());
  }

  station.scriptPath = runnable.path;
  station.scriptSha256 = runnable.sha256;
  station.force = options.force;
  station.pool = pool ? &*pool : nullptr;
  station.readdress = options.readdress;
  station.confirmMs = options.waitMs;
  station.values = values ? &*values : nullptr;
  station.jobs = options.jobs;
  station.count = options.count;
  station.retries = options.retries;
  station.again = options.again;
  station.retryFailed = options.retryFailed;
  station.csvPath = options.csv;
  station.run.pace = PaceOf(options.engine);
  station.run.runner.verifyDownloads = !options.noVerify;

  // With --json, standard output carries the end records alone; the rest goes to errors.
  std::FILE* const out = options.json ? stderr : stdout;
  InterruptGuard interrupt;
  station.run.cancel = &interrupt.Flag();
  const std::unique_ptr<TargetNetwork> opened =
      OpenNetwork(options.network, Tracing(options.engine));
  TargetNetwork& network = *opened;
  StationConsole console(out, stderr, IsTerminal(out), options.json ? stdout : nullptr);
  std::fprintf(out, "Provisioning with \"%s\" (SHA-256 %s), recording to \"%s\"\n",
               runnable.path.c_str(), runnable.sha256.c_str(), record.Path().c_str());
  std::fflush(out);
  Station running(*runnable.read.script, network, record, std::move(station), console);
  console.Watch(running);
  const StationStop stop = running.Run();
  console.Close();

  std::fprintf(out, "%s\n", StopText(stop, options, IdleSeconds(options.idle)).c_str());
  std::fprintf(out, "%s\n", CountsText(running).c_str());
  if (stop == StationStop::kCancelled) return kInterruptedExit;
  return running.AllPassed() && stop != StationStop::kExhausted ? 0 : 1;
}

}  // namespace

CommandRunner AddProvisionCommand(CLI::App& app) {
  auto options = std::make_shared<ProvisionOptions>();
  CLI::App* command = app.add_subcommand(
      "provision", "Provision every target that appears on the network: address, script, record");
  command->footer(
      "Watches the network, with a discovery every second, and takes every target that appears "
      "and is meant for SCRIPT (a product its *script entries name; --product narrows that, "
      "--force takes any) through the same steps, at most --jobs at a time: an address from "
      "--addresses or --address-map when it has none (always with --readdress), confirmed by a "
      "later discovery within --wait; then SCRIPT, run as qorctl run runs it with every "
      "download read back (--no-verify skips that), the unit's own --unit-values set before "
      "each *saveenv.\n"
      "An address is given only when no target that answered holds it and the record gave it "
      "to no other unit. A unit without an address that neither option gives one, or whose MAC "
      "the map does not list, is passed over with a note; once the pool is exhausted no other "
      "unit starts, and those in flight finish.\n"
      "The record (--record, by default qor-provision-YYYYMMDD.jsonl here) gets a line of JSON "
      "when a unit starts and one when it ends, each on disk before the next step, so that a "
      "crash or a power cut loses only the units in flight. Started again with the same record, "
      "provision resumes: units that passed this script (the same SHA-256) are passed over "
      "(--again runs them again), units that failed too (--retry-failed runs them again), and "
      "units that started without an end are run again with the address and values they were "
      "given. --count counts the units the record holds as passed.\n"
      "SCRIPT must draw none of qorctl check's warnings (--allow-warnings runs it all the same), "
      "and with trusted keys it must be signed, as for qorctl run.\n"
      "It stops after --count units passed, after --idle SECONDS without a new unit, or on "
      "Ctrl-C, which cancels the units in flight and records them as cancelled.\n"
      "Exit status: 0 when every unit it started passed, 1 when any failed or was cancelled, "
      "the pool ran out, or the script was refused, 2 on a usage error, 130 after Ctrl-C.");
  command->add_option("SCRIPT", options->script, "The .QOR script to run on every unit")
      ->required();
  auto* addresses =
      command
          ->add_option("--addresses", options->addresses,
                       "Give units without an address one from this range, both ends included, "
                       "e.g. 127.0.1.1-127.0.1.254")
          ->type_name("FIRST-LAST");
  auto* map = command
                  ->add_option("--address-map", options->addressMap,
                               "Give each unit the address its MAC has in FILE, a CSV file of "
                               "mac,ip lines")
                  ->type_name("FILE")
                  ->check(CLI::ExistingFile.description(""));
  addresses->excludes(map);
  command->add_flag("--readdress", options->readdress,
                    "Give every unit an address from the pool, also one that has an address");
  command
      ->add_option("--unit-values", options->unitValues,
                   "Set each unit's own environment variables from FILE, a CSV file whose header "
                   "names them: with a mac column the row of the unit's MAC, without one the "
                   "next row no unit was given")
      ->type_name("FILE")
      ->check(CLI::ExistingFile.description(""));
  command
      ->add_option("--product", options->product,
                   "Only targets of this product, each ID decimal or 0x hexadecimal, e.g. "
                   "0x1234:0x0001")
      ->type_name("VID:PID");
  command->add_flag("--force", options->force,
                    "Take targets of any product, also those the script's *script entries do "
                    "not name");
  command->add_option("--jobs", options->jobs, "Units in flight at most, addressed or running")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::Range(1, 1024).description(""));
  command
      ->add_option("--record", options->record,
                   "The record to write and resume from (default qor-provision-YYYYMMDD.jsonl "
                   "in the current folder)")
      ->type_name("FILE");
  command
      ->add_option("--csv", options->csv,
                   "Append each unit's end record to FILE as CSV too, for spreadsheets")
      ->type_name("FILE");
  command->add_flag("--again", options->again,
                    "Run the units the record holds as passed once more");
  command->add_flag("--retry-failed", options->retryFailed,
                    "Run the units the record holds as failed again");
  command
      ->add_option("--retries", options->retries,
                   "Try a unit that fails up to N more times in this session (default 0)")
      ->type_name("N")
      ->check(CLI::Range(0, 100).description(""));
  command
      ->add_option("--count", options->count,
                   "Stop once N units have passed, those of the record included (default 0: no "
                   "limit)")
      ->type_name("N");
  command
      ->add_option("--idle", options->idle,
                   "Stop after SECONDS without a new unit (default 0: never)")
      ->type_name("SECONDS");
  AddWaitOption(*command, options->waitMs, "a unit's new address to show in a discovery");
  AddNetworkOptions(*command, options->network, "the discoveries and addresses");
  AddEngineOptions(*command, options->engine);
  command->add_flag("--no-verify", options->noVerify,
                    "Do not read downloaded images back after their write");
  command->add_flag("--allow-warnings", options->allowWarnings,
                    "Run a script that draws qorctl check's warnings");
  AddAllowUnsignedFlag(*command, options->allowUnsigned);
  command->add_flag("--json", options->json,
                    "Print each unit's end record on standard output too, one JSON object per "
                    "line; the rest goes to standard error");
  return [options] { return Provision(*options); };
}

}  // namespace qor::cli
