// qor-sim: simulated QOR targets behind one UDP socket, for tests and demonstrations.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "QorVersion.h"
#include "net/EnvironmentFile.h"
#include "net/Target.h"
#include "net/Wire.h"
#include "platform/Exception.h"
#include "platform/NetworkAdapters.h"
#include "platform/StopRequest.h"
#include "tools/cli/HelpFormatter.h"
#include "tools/cli/NumberValidators.h"
#include "tools/qor-sim/SimEngine.h"

namespace {

using qor::sim::SimOptions;

// A request type by name ("write") or number ("5").
std::optional<uint16_t> ParseRequestType(const std::string& text) {
  static const std::map<std::string, uint16_t> kNames = {
      {"discover", qor::kDiscoverRequest}, {"assign", qor::kAssignAddressRequest},
      {"fill", qor::kFillRequest},         {"data", qor::kDataRequest},
      {"write", qor::kWriteRequest},       {"read", qor::kReadRequest},
      {"restart", qor::kRestartRequest}};
  if (const auto found = kNames.find(text); found != kNames.end()) return found->second;
  try {
    size_t used = 0;
    const unsigned long value = std::stoul(text, &used, 0);
    if (used == text.size() && value > 0 && value < 0x8000) return static_cast<uint16_t>(value);
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

std::optional<uint32_t> ParseNumber(const std::string& text) {
  try {
    size_t used = 0;
    const unsigned long long value = std::stoull(text, &used, 0);
    if (used == text.size() && value <= 0xFFFFFFFFULL && text[0] != '-') {
      return static_cast<uint32_t>(value);
    }
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

const auto kNumber = CLI::Validator(
    [](std::string& text) {
      return ParseNumber(text) ? std::string() : "not a number from 0 to 0xFFFFFFFF: " + text;
    },
    "");

const auto kIpv4 = CLI::Validator(
    [](std::string& text) {
      return qor::ParseIpAddress(text) ? std::string() : "not an IPv4 address: " + text;
    },
    "");

// The first target's address: dotted decimal, or 0 for targets without one.
std::optional<uint32_t> ParseFirstAddress(const std::string& text) {
  if (text == "0") return 0u;
  return qor::ParseIpAddress(text);
}

const auto kFirstAddress = CLI::Validator(
    [](std::string& text) {
      return ParseFirstAddress(text) ? std::string() : "not an IPv4 address or 0: " + text;
    },
    "");

const auto kMac = CLI::Validator(
    [](std::string& text) {
      return qor::MacAddress::Parse(text) ? std::string() : "not a MAC address: " + text;
    },
    "");

// The options as typed, converted into SimOptions once CLI11 has checked each of them.
struct TypedOptions {
  std::string firstMac = SimOptions().firstMac.ToString();
  std::string firstIp = "127.0.0.10";
  std::string bind = "0.0.0.0";
  std::string vendor = "0x1234", product = "0x0001", staging = "0x100000";
  std::string envAddress = "0x00F00000", envLength = "0x1000";
  std::string envBlock = "valid";
  std::vector<std::string> variables, failures, lossTypes;
};

void AddTargetOptions(CLI::App& app, SimOptions& options, TypedOptions& typed) {
  app.add_option("-n,--targets", options.targets, "Number of simulated targets (1 to 100000)")
      ->type_name("N")
      ->capture_default_str()
      ->check(qor::cli::WholeNumber(1, 100000));
  app.add_option("--first-mac", typed.firstMac, "MAC of the first target; the others count up")
      ->type_name("MAC")
      ->capture_default_str()
      ->check(kMac);
  app.add_option("--first-ip", typed.firstIp,
                 "127.x.y.z address of the first target, the others counting up; 0 starts "
                 "every target unassigned. Addresses of this machine's own adapters are taken "
                 "too, so that targets can stand on the LAN of a private network namespace")
      ->type_name("ADDR")
      ->capture_default_str()
      ->check(kFirstAddress);
  app.add_option("--unassigned", options.unassigned,
                 "This many targets at the end start without an address")
      ->type_name("N")
      ->check(qor::cli::WholeNumber(0, 100000));
  app.add_option("--vendor", typed.vendor, "Vendor ID")
      ->type_name("ID")
      ->capture_default_str()
      ->check(kNumber);
  app.add_option("--product", typed.product, "Product ID")
      ->type_name("ID")
      ->capture_default_str()
      ->check(kNumber);
  app.add_option("--staging", typed.staging, "Staging buffer size in bytes")
      ->type_name("NUMBER")
      ->capture_default_str()
      ->check(kNumber);
  app.add_option("--env-address", typed.envAddress, "Address of the environment block")
      ->type_name("NUMBER")
      ->capture_default_str()
      ->check(kNumber);
  app.add_option("--env-length", typed.envLength, "Length of the environment block (0: none)")
      ->type_name("NUMBER")
      ->capture_default_str()
      ->check(kNumber);
  app.add_option("--env", typed.variables,
                 "NAME=VALUE added to each target's starting environment (ipaddr, netmask, "
                 "serial and bootdelay are there already); VALUE may be empty, and both may "
                 "hold qorctl env's escapes: \\\\ for a backslash, \\xHH for any byte")
      ->type_name("NAME=VALUE");
  app.add_option("--env-block", typed.envBlock,
                 "What each environment block starts as: valid, blank (every byte 0xFF) or "
                 "damaged (a wrong CRC)")
      ->type_name("valid|blank|damaged")
      ->capture_default_str()
      ->check(CLI::IsMember({"valid", "blank", "damaged"}).description(""));
}

void AddFaultOptions(CLI::App& app, SimOptions& options, TypedOptions& typed) {
  app.add_option("--progress", options.progressReplies,
                 "ProgressReplies sent while carrying out each WriteRequest")
      ->type_name("N")
      ->check(qor::cli::WholeNumber(0, 0xFFFFFFFF));
  app.add_option("--loss", options.lossRate, "Probability (0 to 1) that a reply is lost")
      ->type_name("RATE")
      ->check(qor::cli::DecimalNumber(0, 1));
  app.add_option("--loss-types", typed.lossTypes,
                 "Only replies to these request types may be lost (discover, fill, data, write, "
                 "read, restart or numbers)")
      ->type_name("TYPE")
      ->delimiter(',');
  app.add_option("--seed", options.seed, "Seed of the fault generators")
      ->type_name("N")
      ->capture_default_str()
      ->check(qor::cli::WholeNumber(0, 0xFFFFFFFF));
  app.add_option("--fail", typed.failures,
                 "Answer requests of TYPE with STATUS (default 255) instead of "
                 "carrying them out")
      ->type_name("TYPE[=STATUS]");
  app.add_option("--delay", options.replyDelayMs, "Send every reply MS milliseconds late")
      ->type_name("MS")
      ->check(qor::cli::WholeNumber(0, 3600000));
  app.add_option("--trace", options.tracePath, "Write every request and reply to FILE (JSON Lines)")
      ->type_name("FILE");
  app.add_option("--bind", typed.bind, "Local address to listen on")
      ->type_name("ADDR")
      ->capture_default_str()
      ->check(kIpv4);
}

// Targets that fail now and then, drop off, lose power or go silent, and the dump of their state
// that lets a soak test judge what a run left behind.
void AddSoakOptions(CLI::App& app, SimOptions& options) {
  app.add_option("--fail-rate", options.failureRate,
                 "Probability (0 to 1) that a request of a --fail type fails; the others are "
                 "carried out")
      ->type_name("RATE")
      ->capture_default_str()
      ->check(qor::cli::DecimalNumber(0, 1));
  app.add_option("--drop-off", options.dropOffRate,
                 "Probability (0 to 1) that a request finds its target dropping off the network: "
                 "it answers nothing for up to --drop-off-ms, then comes back as it was")
      ->type_name("RATE")
      ->check(qor::cli::DecimalNumber(0, 1));
  app.add_option("--drop-off-ms", options.dropOffMs, "Longest absence after a drop-off")
      ->type_name("MS")
      ->capture_default_str()
      ->check(qor::cli::WholeNumber(1, 3600000));
  app.add_option("--power-cut", options.powerCutRate,
                 "Probability (0 to 1) that a request finds its target losing power: it answers "
                 "nothing for up to --power-cut-ms and comes back with its staging buffer lost")
      ->type_name("RATE")
      ->check(qor::cli::DecimalNumber(0, 1));
  app.add_option("--power-cut-ms", options.powerCutMs, "Longest absence after a power cut")
      ->type_name("MS")
      ->capture_default_str()
      ->check(qor::cli::WholeNumber(1, 3600000));
  app.add_option("--restart-ms", options.restartMs,
                 "After answering a RestartRequest a target answers nothing for MS while it "
                 "starts again (it always loses its staging buffer)")
      ->type_name("MS")
      ->check(qor::cli::WholeNumber(0, 3600000));
  app.add_option("--vanish", options.vanishing,
                 "This many targets, chosen by --seed, go silent for good, each at a time drawn "
                 "within --vanish-within")
      ->type_name("N")
      ->check(qor::cli::WholeNumber(0, 100000));
  app.add_option("--vanish-within", options.vanishWithinMs,
                 "--vanish targets go silent within MS of the start")
      ->type_name("MS")
      ->capture_default_str()
      ->check(qor::cli::WholeNumber(1, 0x7FFFFFFF));
  app.add_option("--damaged-blocks", options.damagedBlocks,
                 "This many targets, chosen by --seed, start with a damaged environment block")
      ->type_name("N")
      ->check(qor::cli::WholeNumber(0, 100000));
  app.add_option("--blank-blocks", options.blankBlocks, "This many others start with a blank one")
      ->type_name("N")
      ->check(qor::cli::WholeNumber(0, 100000));
  app.add_option("--late", options.lateRate,
                 "Probability (0 to 1) that a reply (not to a discovery) leaves --late-ms "
                 "after the others")
      ->type_name("RATE")
      ->check(qor::cli::DecimalNumber(0, 1));
  app.add_option("--late-ms", options.lateMs, "How much later a late reply leaves")
      ->type_name("MS")
      ->capture_default_str()
      ->check(qor::cli::WholeNumber(1, 3600000));
  app.add_option("--duplicate", options.duplicateRate,
                 "Probability (0 to 1) that a reply is sent twice")
      ->type_name("RATE")
      ->check(qor::cli::DecimalNumber(0, 1));
  app.add_option("--short-reads", options.shortReadRate,
                 "Probability (0 to 1) that a read is answered with only some of its bytes")
      ->type_name("RATE")
      ->check(qor::cli::DecimalNumber(0, 1));
  app.add_option("--dump", options.dumpPath,
                 "Write every target's state to FILE (JSON) on a dump request from this host")
      ->type_name("FILE");
}

// A production line: boards put on the fixture one by one, taken off once flashed, some put
// back.
void AddLineOptions(CLI::App& app, SimOptions& options) {
  auto* every = app.add_option("--appear-every", options.appearEveryMs,
                               "Targets arrive on the line one every MS: the n-th to arrive "
                               "answers from n*MS after the start on, nothing before")
                    ->type_name("MS")
                    ->check(qor::cli::WholeNumber(0, 3600000));
  app.add_option("--appear-count", options.appearCount,
                 "Only the last N targets arrive so, the others being there from the start "
                 "(default: all arrive)")
      ->type_name("N")
      ->needs(every)
      ->check(qor::cli::WholeNumber(0, 100000));
  auto* leave = app.add_option("--leave-after", options.leaveAfterMs,
                               "A target leaves (answers nothing, its staging buffer lost) MS "
                               "after the first RestartRequest it carries out since it appeared "
                               "or came back")
                    ->type_name("MS")
                    ->check(qor::cli::WholeNumber(0, 3600000));
  auto* comeBack = app.add_option("--come-back-after", options.comeBackAfterMs,
                                  "A target that left answers again MS later, keeping its "
                                  "memory and its address")
                       ->type_name("MS")
                       ->needs(leave)
                       ->check(qor::cli::WholeNumber(0, 3600000));
  app.add_option("--come-back-count", options.comeBackCount,
                 "Only N targets, chosen by --seed, ever come back (default: all)")
      ->type_name("N")
      ->needs(comeBack)
      ->check(qor::cli::WholeNumber(0, 100000));
}

// Throws CLI::ValidationError for what the single-option checks could not see.
void Convert(const TypedOptions& typed, SimOptions& options) {
  options.firstMac = *qor::MacAddress::Parse(typed.firstMac);
  options.firstAddress = *ParseFirstAddress(typed.firstIp);
  for (const qor::NetworkInterface& adapter : qor::ListInterfaces()) {
    for (const qor::NetworkAdapter& address : adapter.addresses) {
      options.localAddresses.insert(address.address);
    }
  }
  options.bindAddress = *qor::ParseIpAddress(typed.bind);
  const auto id = [](const std::string& text, const char* what) {
    const uint32_t value = *ParseNumber(text);
    if (value > 0xFFFF) throw CLI::ValidationError(what, "must be at most 0xFFFF");
    return static_cast<uint16_t>(value);
  };
  options.vendorId = id(typed.vendor, "--vendor");
  options.productId = id(typed.product, "--product");
  options.stagingSize = *ParseNumber(typed.staging);
  options.environmentAddress = *ParseNumber(typed.envAddress);
  options.environmentLength = *ParseNumber(typed.envLength);
  options.environmentBlock = typed.envBlock == "blank"     ? qor::sim::SimEnvBlock::kBlank
                             : typed.envBlock == "damaged" ? qor::sim::SimEnvBlock::kDamaged
                                                           : qor::sim::SimEnvBlock::kValid;
  for (const std::string& variable : typed.variables) {
    std::pair<std::string, std::string> entry;
    try {
      entry = qor::ParseEnvironmentAssignment(variable);
    } catch (const qor::Exception& error) {
      throw CLI::ValidationError("--env", error.Message());
    }
    if (entry.first.empty()) {
      throw CLI::ValidationError("--env", "expected NAME=VALUE, got " + variable);
    }
    options.environment[entry.first] = entry.second;
  }
  for (const std::string& type : typed.lossTypes) {
    const auto parsed = ParseRequestType(type);
    if (!parsed) throw CLI::ValidationError("--loss-types", "unknown request type " + type);
    options.lossTypes.insert(*parsed);
  }
  for (const std::string& failure : typed.failures) {
    const size_t equals = failure.find('=');
    const auto type = ParseRequestType(failure.substr(0, equals));
    const auto status = equals == std::string::npos ? qor::sim::kStatusInjected
                                                    : ParseNumber(failure.substr(equals + 1));
    if (!type || !status)
      throw CLI::ValidationError("--fail", "expected TYPE[=STATUS], got " + failure);
    options.failures[*type] = *status;
  }
}

// Answers until asked to stop (Ctrl-C, or SIGTERM): the exit status.
int Serve(const SimOptions& options, const std::string& bind) {
  // Before the engine's thread starts, so that only Wait takes the request.
  qor::StopRequest stop;
  try {
    qor::sim::SimEngine engine(options);
    engine.Start();
    const auto targets = engine.Targets();
    std::fprintf(stderr, "qor-sim: %zu target(s) from %s at %s, listening on %s:%u\n",
                 targets.size(), targets.front().mac.ToString().c_str(),
                 qor::TargetAddressText(targets.front().ipAddress).c_str(), bind.c_str(),
                 options.port);
    std::printf("ready\n");
    std::fflush(stdout);
    stop.Wait();
    engine.Stop();
    return 0;
  } catch (const qor::Exception& error) {
    std::fprintf(stderr, "qor-sim: %s\n", error.Message().c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "qor-sim: %s\n", error.what());
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Simulated QOR targets on UDP port 5266, any number of them behind one socket.",
               "qor-sim"};
  app.formatter(std::make_shared<qor::cli::HelpFormatter>());
  app.set_help_flag("-h,--help", "Print this help and exit");
  app.set_version_flag("--version", std::string("qor-sim ") + qor::kQorVersion,
                       "Print the version and exit");
  app.footer(
      "Run it inside scripts/netns-run (a private network namespace) so that it never answers "
      "a real network. It prints 'ready' when listening and stops on Ctrl-C (SIGINT) or SIGTERM.\n"
      "Statuses of its FinalReplies: 0 success, 1 bad length, 2 beyond the staging buffer or "
      "the address space, 3 CRC mismatch, 255 injected by --fail.\n"
      "Faults are drawn from --seed, each target's from a generator of its own. With --dump, a "
      "datagram 'qor-sim dump [ADDRESS:LENGTH]...' from a 127.x.y.z address, sent to the port, "
      "writes every target's state (presence on the line, environment block in hexadecimal, CRC-32 "
      "of each region, fault counters) to FILE and is answered 'dumped'.\n"
      "A target keeps the address it was given through restarts and absences. The simulator's "
      "time counts from its start.");
  SimOptions options;
  TypedOptions typed;
  AddTargetOptions(app, options, typed);
  AddFaultOptions(app, options, typed);
  AddSoakOptions(app, options);
  AddLineOptions(app, options);
  try {
    app.parse(argc, argv);
    Convert(typed, options);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    std::fprintf(stderr, "qor-sim: %s\nRun 'qor-sim --help' for usage.\n", error.what());
    return 2;
  }
  return Serve(options, typed.bind);
}
