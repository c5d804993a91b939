#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "exec/DirectiveRegistry.h"
#include "exec/EnvironmentAccess.h"
#include "net/EnvironmentFile.h"
#include "net/Target.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "tools/qorctl/Commands.h"
#include "tools/qorctl/Discovery.h"
#include "tools/qorctl/Interrupt.h"
#include "tools/qorctl/NetworkOptions.h"
#include "tools/qorctl/ScriptTrust.h"
#include "tools/qorctl/Validators.h"
#include "trust/ReadScript.h"

namespace qor::cli {
namespace {

using Json = nlohmann::ordered_json;

constexpr int kInterruptedExit = 130;
constexpr uint32_t kSmallestBlock = 4;  // its CRC

enum class EnvAction { kShow, kBackup, kRestore, kSet, kDiff };

struct EnvOptions {
  std::string mac;
  std::string at;  // as typed, checked by BlockNumber
  std::string length;
  std::string script;
  bool allowUnsigned = false;
  NetworkChoice network;
  bool json = false;
  bool rewriteDamagedEnv = false;
  std::string file;  // backup: --out; restore and diff: FILE
  std::vector<std::string> assignments;
};

// Decimal, or hexadecimal after 0x, from 0 to 0xFFFFFFFF.
std::optional<uint32_t> ParseBlockNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

CLI::Validator BlockNumber(uint32_t min) {
  return CLI::Validator(
      [min](std::string& text) {
        const std::optional<uint32_t> value = ParseBlockNumber(text);
        return value && *value >= min
                   ? std::string()
                   : Format("not a number from %u to 0xFFFFFFFF (decimal, or 0x hexadecimal): %s",
                            min, text.c_str());
      },
      "");
}

// The block the options name: --at and --length, or the first *loadenv of --script, read as
// run reads a script. Throws Exception for a script that does not read or has no *loadenv.
EnvironmentBlockPlace ChooseBlock(const EnvOptions& options) {
  if (!options.script.empty()) {
    const SignedScript read =
        ReadScript(options.script, DirectiveRegistry(), CommandKeys(options.allowUnsigned));
    const auto place = EnvironmentAccess::FirstLoadEnv(*read.script);
    if (!place) {
      throw Exception(Format("\"%s\" has no *loadenv to take the environment block from",
                             options.script.c_str()));
    }
    return *place;
  }
  if (options.at.empty() || options.length.empty()) {
    throw UsageError("choose the block: --at ADDR --length LEN, or --script FILE");
  }
  return {*ParseBlockNumber(options.at), *ParseBlockNumber(options.length)};
}

std::vector<std::pair<std::string, std::string>> ParseAssignments(const EnvOptions& options) {
  std::vector<std::pair<std::string, std::string>> assignments;
  for (const std::string& text : options.assignments) {
    try {
      assignments.push_back(ParseEnvironmentAssignment(text));
    } catch (const Exception& error) {
      throw UsageError(error.Message());
    }
    if (assignments.back().first.empty()) throw UsageError("\"" + text + "\" names no variable");
  }
  return assignments;
}

// Names and values in the file's escapes: JSON of plain ASCII that says every byte.
Json EscapedObject(const EnvironmentEntries& entries) {
  Json object = Json::object();
  for (const auto& [name, value] : entries) {
    object[EscapeEnvironmentText(name)] = EscapeEnvironmentText(value);
  }
  return object;
}

std::string Count(size_t count) {
  if (count == 0) return "no variables";
  return Format("%zu variable%s", count, count == 1 ? "" : "s");
}

class EnvPrinter {
 public:
  EnvPrinter(const Target& target, EnvironmentBlockPlace place, bool json)
      : mac_(target.mac.ToString()), place_(place), json_(json) {}

  // The block of MAC at ADDR, as every text names it.
  [[nodiscard]] std::string Block() const {
    return Format("the environment block of %s at %08X", mac_.c_str(), place_.address);
  }

  [[nodiscard]] Json Object(EnvironmentBlockState state) const {
    return {{"mac", mac_},
            {"address", place_.address},
            {"length", place_.length},
            {"state", EnvironmentBlockStateName(state)}};
  }

  int Show(const EnvironmentReading& reading) const {
    if (json_) {
      Json object = Object(reading.state);
      object["variables"] = EscapedObject(reading.entries);
      std::printf("%s\n", object.dump().c_str());
      return 0;
    }
    const std::string what = reading.state == EnvironmentBlockState::kDamaged
                                 ? "its variables unknown"
                                 : Count(reading.entries.size());
    std::printf("Environment block of %s at %08X, %u bytes: %s, %s\n", mac_.c_str(), place_.address,
                place_.length, EnvironmentBlockStateText(reading.state).c_str(), what.c_str());
    for (const auto& [name, value] : reading.entries) {
      std::printf("%s\n", EnvironmentLine(name, value).c_str());
    }
    return 0;
  }

  int Backup(const EnvironmentReading& reading, const std::string& path) const {
    if (json_) {
      Json object = Object(reading.state);
      object["file"] = path;
      object["variables"] = EscapedObject(reading.entries);
      std::printf("%s\n", object.dump().c_str());
      return 0;
    }
    std::printf("Backed up %s of %s to \"%s\"", Count(reading.entries.size()).c_str(), mac_.c_str(),
                path.c_str());
    if (reading.state == EnvironmentBlockState::kBlank) {
      std::printf(": its environment block at %08X is %s", place_.address,
                  EnvironmentBlockStateText(reading.state).c_str());
    }
    std::printf("\n");
    return 0;
  }

  // held names what the block holds when nothing was written ("these values").
  int Change(const EnvironmentChange& change, size_t count, const std::string& held) const {
    if (json_) {
      Json object = Object(change.before.state);
      object["changed"] = change.changed;
      std::printf("%s\n", object.dump().c_str());
      return 0;
    }
    std::string block = Block();
    block[0] = 'T';
    if (!change.changed) {
      std::printf("%s holds %s already; nothing written\n", block.c_str(), held.c_str());
      return 0;
    }
    const std::string was =
        change.before.state == EnvironmentBlockState::kValid
            ? std::string()
            : std::string(" (it was ") + EnvironmentBlockStateName(change.before.state) + ")";
    std::printf("Wrote %s%s: %s, read back as written\n", Block().c_str(), was.c_str(),
                Count(count).c_str());
    return 0;
  }

  // What restoring file would change, name by name: 0 when nothing, 1 otherwise.
  int Diff(const EnvironmentReading& reading, const EnvironmentEntries& file) const {
    const bool same = reading.Holds(file);
    const bool damaged = reading.state == EnvironmentBlockState::kDamaged;
    const EnvironmentDifference difference =
        damaged ? EnvironmentDifference{} : CompareEnvironment(reading.entries, file);
    if (json_) {
      Json object = Object(reading.state);
      object["same"] = same;
      object["added"] = EscapedObject(difference.added);
      object["removed"] = EscapedObject(difference.removed);
      Json changed = Json::object();
      for (const auto& [name, values] : difference.changed) {
        changed[EscapeEnvironmentText(name)] = {{"target", EscapeEnvironmentText(values.first)},
                                                {"file", EscapeEnvironmentText(values.second)}};
      }
      object["changed"] = std::move(changed);
      std::printf("%s\n", object.dump().c_str());
      return same ? 0 : 1;
    }
    if (reading.state != EnvironmentBlockState::kValid) {
      std::string block = Block();
      block[0] = 'T';
      std::fprintf(stderr, "%s is %s%s\n", block.c_str(),
                   EnvironmentBlockStateText(reading.state).c_str(),
                   damaged ? ": its variables are unknown" : "");
    }
    // One line per name, in the block's order.
    std::map<std::string, std::string> lines;
    for (const auto& [name, value] : difference.added) {
      lines[name] = "+ " + EnvironmentLine(name, value);
    }
    for (const auto& [name, value] : difference.removed) {
      lines[name] = "- " + EnvironmentLine(name, value);
    }
    for (const auto& [name, values] : difference.changed) {
      lines[name] = "~ " + EnvironmentLine(name, values.second) +
                    " (target: " + EscapeEnvironmentText(values.first) + ")";
    }
    for (const auto& [name, line] : lines) std::printf("%s\n", line.c_str());
    return same ? 0 : 1;
  }

 private:
  std::string mac_;
  EnvironmentBlockPlace place_;
  bool json_;
};

int RunEnv(EnvAction action, const EnvOptions& options) {
  const MacAddress mac = *MacAddress::Parse(options.mac);
  // Whatever can be refused without the network is refused before anything is sent.
  const auto assignments = ParseAssignments(options);
  const EnvironmentBlockPlace place = ChooseBlock(options);
  EnvironmentEntries file;
  if (action == EnvAction::kRestore || action == EnvAction::kDiff) {
    file = ReadEnvironmentFile(options.file);
  }
  std::string out = options.file;
  if (action == EnvAction::kBackup && out.empty()) {
    out = mac.ToString();
    std::replace(out.begin(), out.end(), ':', '-');  // ':' cannot stand in a Windows file name
    out += ".env";
  }

  InterruptGuard interrupt;
  const std::unique_ptr<TargetNetwork> opened = OpenNetwork(options.network.network);
  TargetNetwork& network = *opened;
  // The work starts the moment the target answers; --wait is the most it waits.
  const auto found = [&] {
    return interrupt.Interrupted() || network.Table().Find(mac) != nullptr;
  };
  if (!DiscoverTargets(network, options.network.waitMs, found)) return 1;
  if (interrupt.Interrupted()) {
    std::fprintf(stderr, "Cancelled\n");
    return kInterruptedExit;
  }
  Target* target = network.Table().Find(mac);
  if (target == nullptr) {
    std::fprintf(stderr, "No target with MAC address %s answered the discovery\n",
                 mac.ToString().c_str());
    return 1;
  }

  RunSettings settings;
  settings.cancel = &interrupt.Flag();
  settings.runner.rewriteDamagedEnvironment = options.rewriteDamagedEnv;
  const EnvPrinter print(*target, place, options.json);
  try {
    EnvironmentAccess access(network, *target, place, settings);
    switch (action) {
      case EnvAction::kShow:
        return print.Show(access.Read());
      case EnvAction::kBackup:
        return print.Backup(access.Backup(out), out);
      case EnvAction::kRestore:
        return print.Change(access.Restore(file), file.size(),
                            "exactly the variables of \"" + options.file + "\"");
      case EnvAction::kSet: {
        const EnvironmentChange change = access.Set(assignments);
        return print.Change(change, target->environment.entries.size(), "these values");
      }
      case EnvAction::kDiff:
        return print.Diff(access.Read(), file);
    }
  } catch (const Exception&) {
    if (!interrupt.Interrupted()) throw;
    std::fprintf(stderr, "Cancelled\n");
    return kInterruptedExit;
  }
  return 1;
}

// What every env command says about the block, the discovery and the escapes.
constexpr const char* kCommonFooter =
    "The block is --at ADDR with --length LEN, or the one the first *loadenv of --script FILE "
    "names (the script is read as run reads it, trusted keys and all). The target is "
    "discovered first; the command starts the moment it answers.\n"
    "Names and values are printed and read with escapes, so that every byte can be said: \\\\ "
    "is a backslash, \\xHH the byte of hexadecimal value HH; every byte from 0x20 to 0x7E but "
    "the backslash stands for itself. With --json they are given the same way.\n";

CLI::App* AddEnvSubcommand(CLI::App& env, const std::string& name, const std::string& about,
                           EnvOptions& options) {
  CLI::App* command = env.add_subcommand(name, about);
  command->group("Commands");
  command->add_option("MAC", options.mac, "The target's MAC address, e.g. 00:1A:2B:3C:4D:5E")
      ->type_name("MAC")
      ->required()
      ->check(MacAddressValidator());
  return command;
}

// The options after a command's arguments, in the same order in each.
void AddBlockOptions(CLI::App& command, EnvOptions& options) {
  auto* at = command.add_option("--at", options.at, "The block's address in the target's memory")
                 ->type_name("ADDR")
                 ->check(BlockNumber(0));
  auto* length = command.add_option("--length", options.length, "The block's length in bytes")
                     ->type_name("LEN")
                     ->check(BlockNumber(kSmallestBlock));
  auto* script =
      command
          .add_option("--script", options.script,
                      "Take the block from the first *loadenv of this .QOR script (not with "
                      "--at and --length)")
          ->type_name("FILE");
  at->needs(length);
  length->needs(at);
  script->excludes(at);
  script->excludes(length);
  AddNetworkOptions(command, options.network, "the discovery", "the target to answer");
  AddAllowUnsignedFlag(command, options.allowUnsigned);
}

void AddRewriteFlag(CLI::App& command, EnvOptions& options) {
  command.add_flag("--rewrite-damaged-env", options.rewriteDamagedEnv,
                   "Write over a block that was read as damaged, to repair the target on "
                   "purpose");
}

}  // namespace

CommandRunner AddEnvCommand(CLI::App& app) {
  CLI::App* env = app.add_subcommand(
      "env", "Show, back up, restore, set or compare a target's environment variables");
  env->require_subcommand(1);
  env->footer(
      "Run 'qorctl env COMMAND --help' for the options of one command.\n"
      "Exit status: 0 success (diff: no difference), 1 failure (diff: a difference), 2 on a "
      "usage error, 130 after Ctrl-C.");
  std::map<const CLI::App*, CommandRunner> runners;
  const auto add = [&](const std::string& name, const std::string& about, EnvAction action,
                       const std::string& footer) {
    auto options = std::make_shared<EnvOptions>();
    CLI::App* command = AddEnvSubcommand(*env, name, about, *options);
    // What the command does first, then what all of them share, then the exit status.
    const size_t exit = footer.find("Exit status:");
    command->footer(footer.substr(0, exit) + kCommonFooter + footer.substr(exit));
    runners[command] = [action, options] { return RunEnv(action, *options); };
    return std::make_pair(command, options);
  };

  auto [show, showOptions] =
      add("show", "Print the variables of a target's environment block", EnvAction::kShow,
          "Prints a line that says whether the block is valid, blank (every byte 0xFF, never "
          "written) or damaged (its CRC does not match, so its variables are unknown), then one "
          "NAME=VALUE line per variable.\n"
          "Exit status: 0 the block was read, whatever it held; 1 failure; 2 on a usage error; "
          "130 after Ctrl-C.");
  AddBlockOptions(*show, *showOptions);
  show->add_flag("--json", showOptions->json,
                 "Print one JSON object: mac, address, length, state (valid, blank or "
                 "damaged), variables");

  auto [backup, backupOptions] = add(
      "backup", "Write the variables of a target's environment block to a file", EnvAction::kBackup,
      "The file holds one NAME=VALUE line per variable, after comment lines (#) that name "
      "the target, the block and the time; restore and diff read it back. A damaged block "
      "is refused: it holds no variables to save, and nothing is written. A blank block "
      "gives a file without variables, and the command says so.\n"
      "Exit status: 0 written, 1 failure or a damaged block, 2 on a usage error, 130 after "
      "Ctrl-C.");
  backup
      ->add_option("--out", backupOptions->file,
                   "Write to FILE (default: the MAC with '-' for ':', then .env, such as "
                   "02-00-00-00-00-01.env)")
      ->type_name("FILE");
  AddBlockOptions(*backup, *backupOptions);
  backup->add_flag("--json", backupOptions->json,
                   "Print one JSON object: mac, address, length, state, file, variables");

  auto [restore, restoreOptions] =
      add("restore", "Make a target's environment block hold exactly the variables of a file",
          EnvAction::kRestore,
          "Writes the block only when it is not already valid and holding exactly the file's "
          "variables, empty values included, then reads it back and fails unless it holds them. "
          "A file whose variables do not fit the block is refused before anything is sent, and "
          "a block read as damaged is not written over without --rewrite-damaged-env.\n"
          "Exit status: 0 the block holds the file's variables (written or not), 1 failure, 2 "
          "on a usage error, 130 after Ctrl-C.");
  restore->add_option("FILE", restoreOptions->file, "The file backup wrote")->required();
  AddBlockOptions(*restore, *restoreOptions);
  AddRewriteFlag(*restore, *restoreOptions);
  restore->add_flag("--json", restoreOptions->json,
                    "Print one JSON object: mac, address, length, state (as found), changed");

  auto [set, setOptions] = add(
      "set", "Set or delete variables in a target's environment block", EnvAction::kSet,
      "Each NAME=VALUE sets NAME; an empty VALUE (NAME=) deletes it. The block is read, changed "
      "in the order given and written back only when that changes it, then read back. A "
      "damaged block is not written over without --rewrite-damaged-env (its variables are "
      "lost then), and variables that would not fit the block are refused before anything is "
      "written.\n"
      "Exit status: 0 the block holds the values (written or not), 1 failure, 2 on a usage "
      "error, 130 after Ctrl-C.");
  set->add_option("NAME=VALUE", setOptions->assignments, "The variables to set")
      ->type_name("NAME=VALUE")
      ->required();
  AddBlockOptions(*set, *setOptions);
  AddRewriteFlag(*set, *setOptions);
  set->add_flag("--json", setOptions->json,
                "Print one JSON object: mac, address, length, state (as found), changed");

  auto [diff, diffOptions] = add(
      "diff", "Compare a target's environment block with a file", EnvAction::kDiff,
      "Prints what restoring FILE would change, one line per name: \"+ NAME=VALUE\" in the file "
      "but not on the target, \"- NAME=VALUE\" on the target but not in the file, \"~ "
      "NAME=VALUE (target: VALUE)\" in both with another value, the file's first. A blank or "
      "damaged block always differs, and is named on standard error.\n"
      "Exit status: 0 no difference, 1 a difference or a failure, 2 on a usage error, 130 "
      "after Ctrl-C.");
  diff->add_option("FILE", diffOptions->file, "The file to compare with, as backup writes it")
      ->required();
  AddBlockOptions(*diff, *diffOptions);
  diff->add_flag("--json", diffOptions->json,
                 "Print one JSON object: mac, address, length, state, same, added, removed, "
                 "changed (each name with its target and file value)");

  return
      [env, runners = std::move(runners)] { return runners.at(env->get_subcommands().front())(); };
}

}  // namespace qor::cli
