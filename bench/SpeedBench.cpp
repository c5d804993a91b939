// Every speed measure of QOR beside its reference, from one run on this machine, as a new user
// would take them: Release build, loopback, the real programs. Run it inside scripts/netns-run
// (`cmake --build build/default --target bench` does); the simulated targets live in this
// process, except for the scaling section's, which run in the real qor-sim so that its memory
// is its own. Prints one table; exits 1 only when something did not work at all.
//   speed_bench [--realtime] [--csv FILE] [reading|downloads|waits|lists|stations|scaling...]
// --realtime runs everything at a real-time priority (root only), which keeps other work off
// the processors: on a shared machine, the nearest thing to an idle one. Naming sections runs
// only those. --csv FILE: where the scaling section writes its figures (scaling.csv).
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tools/qor-sim/SimEngine.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kImageSize = 1024 * 1024;
constexpr uint32_t kImageBase = 0x00100000;
constexpr int kRounds = 5;
constexpr const char* kMac = "02:00:00:00:00:01";

// What a child process did: its exit status, wall time, peak memory and standard output.
struct Outcome {
  int status = -1;
  double seconds = 0;
  long peakKb = 0;
  std::string out;
};

// Starts the program the words name, its standard output into the pipe returned (-1 when it
// could not be made), its errors discarded; pid is -1 when it did not start. Not fork: that
// would write-protect every page of this process until the child execs, and the simulator's
// thread would then fault on each page it writes during the run being timed (on a virtual
// machine it made every run against the simulator two to three times slower). A child that
// borrows this process's memory until it execs inherits its peak as its own, so the peak is
// brought down to what this process holds now first, as a forked child's would start.
int Launch(const std::vector<std::string>& words, pid_t& pid) {
  pid = -1;
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return -1;
  std::vector<char*> argv;
  for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  std::ofstream("/proc/self/clear_refs") << "5";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  return pipe[0];
}

Outcome Spawn(const std::vector<std::string>& words) {
  Outcome outcome;
  const Clock::time_point start = Clock::now();
  pid_t child = -1;
  const int out = Launch(words, child);
  if (out < 0) return outcome;
  char buffer[65536];
  ssize_t got = 0;
  while ((got = ::read(out, buffer, sizeof buffer)) > 0) {
    outcome.out.append(buffer, static_cast<size_t>(got));
  }
  ::close(out);
  int status = 0;
  rusage usage{};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child) return outcome;
  outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  outcome.peakKb = usage.ru_maxrss;
  return outcome;
}

// A program that runs until told to stop: qor-sim, once it has said "ready".
struct Server {
  pid_t pid = -1;
  int out = -1;
};

Server StartServer(const std::vector<std::string>& words) {
  Server server;
  server.out = Launch(words, server.pid);
  if (server.out < 0) return server;
  std::string said;
  char buffer[256];
  ssize_t got = 0;
  while (said.find("ready\n") == std::string::npos &&
         (got = ::read(server.out, buffer, sizeof buffer)) > 0) {
    said.append(buffer, static_cast<size_t>(got));
  }
  if (said.find("ready\n") == std::string::npos) server.pid = -1;
  return server;
}

// The most memory the process has held so far, in kB (its own, whoever started it).
long HighWaterKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

void StopServer(Server& server) {
  if (server.pid > 0) {
    ::kill(server.pid, SIGTERM);
    ::waitpid(server.pid, nullptr, 0);
  }
  if (server.out >= 0) ::close(server.out);
  server = {};
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Reference seconds over QOR's, round by round: the median and the range.
struct Ratio {
  double median = 0;
  double low = 0;
  double high = 0;
};

Ratio Ratios(const std::vector<double>& reference, const std::vector<double>& qor) {
  std::vector<double> each;
  for (size_t i = 0; i < std::min(reference.size(), qor.size()); ++i) {
    if (qor[i] > 0) each.push_back(reference[i] / qor[i]);
  }
  if (each.empty()) return {};
  const auto [low, high] = std::minmax_element(each.begin(), each.end());
  return {Median(each), *low, *high};
}

std::string Text(const char* format, double a, double b = 0) {
  char text[128];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// One line of the table.
struct Row {
  std::string measure;
  std::string reference;
  std::string qor;
  std::string ratio;
  std::string goal;
  std::optional<bool> met;  // none: a figure without a goal
};

std::string RatioText(const Ratio& ratio) {
  char text[128];
  std::snprintf(text, sizeof text, "%.2f (%.2f-%.2f)", ratio.median, ratio.low, ratio.high);
  return text;
}

// The figures of one number of targets running one script at once.
struct Scale {
  uint32_t targets = 0;
  uint32_t passed = 0;
  double mibPerSecond = 0;
  double medianSeconds = 0;
  double slowestSeconds = 0;
  double qorctlMb = 0;
  double simMb = 0;
};

class Bench {
 public:
  explicit Bench(fs::path folder) : folder_(std::move(folder)) {}

  void WriteFiles();
  void Downloads();
  void Waits();
  void Reading();
  void Lists();
  void Stations();
  void Scaling(const std::string& csv);
  int Print() const;

 private:
  [[nodiscard]] std::string Path(const char* name) const { return (folder_ / name).string(); }
  // The longest run time qorctl reports for targets, or -1 when a run failed.
  double QorctlRun(const std::vector<std::string>& selection);
  void StartTargets(uint32_t count);

  fs::path folder_;
  std::vector<uint8_t> image_;
  std::unique_ptr<qor::sim::SimEngine> engine_;
  std::vector<Row> rows_;
  std::vector<Scale> scales_;
  bool broken_ = false;
  double cliFast_ = 0;
};

void Bench::WriteFiles() {
  image_.resize(kImageSize);
  // No blank kilobyte anywhere: every chunk travels.
  for (uint32_t i = 0; i < kImageSize; ++i) image_[i] = static_cast<uint8_t>((i * 131 + 7) % 251);
  std::ofstream(Path("image.bin"), std::ios::binary)
      .write(reinterpret_cast<const char*>(image_.data()), kImageSize);
  std::ofstream(Path("download.qor")) << "*download 0x00100000 0x100000 image.bin\n";
  std::ofstream(Path("section.qor")) << "*section Ready\n";
  std::ofstream(Path("blank.qor")) << "*download 0 0x7fffffff\n";
  // What a production line runs on each unit: the image, its own settings, a restart.
  std::ofstream(Path("unit.qor")) << "*product 0x1234 0x0001 \"QOR Demo Board\"\n"
                                     "*script 0x1234 0x0001 \"Production\"\n"
                                     "*download 0x00100000 0x100000 image.bin\n"
                                     "*loadenv 0x00F00000 0x1000\n"
                                     "*setenv bootdelay 3\n"
                                     "*saveenv 0x00F00000 0x1000\n"
                                     "*restart\n";

  // 16 MiB in S3 records of 32 bytes: about 41 MB of text, the same records for srec_cat.
  constexpr uint32_t kBig = 16 * 1024 * 1024;
  constexpr uint32_t kBigBase = 0x01000000;
  static const char kDigits[] = "0123456789ABCDEF";
  std::string records;
  records.reserve(42 * 1000 * 1000);
  for (uint32_t offset = 0; offset < kBig; offset += 32) {
    uint8_t bytes[37] = {37, 0, 0, 0, 0};
    const uint32_t address = kBigBase + offset;
    for (int i = 0; i < 4; ++i) bytes[1 + i] = static_cast<uint8_t>(address >> (24 - 8 * i));
    for (uint32_t i = 0; i < 32; ++i) bytes[5 + i] = static_cast<uint8_t>((offset + i) * 7 + 3);
    unsigned sum = 0;
    records += "S3";
    for (const uint8_t byte : bytes) {
      sum += byte;
      records += kDigits[byte >> 4];
      records += kDigits[byte & 15];
    }
    const auto checksum = static_cast<uint8_t>(~sum);
    records += kDigits[checksum >> 4];
    records += kDigits[checksum & 15];
    records += '\n';
  }
  std::ofstream(Path("records.s3"), std::ios::binary) << records;
  std::ofstream(Path("big.qor"), std::ios::binary) << "*download 0x01000000 0x1000000\n" << records;
}

void Bench::StartTargets(uint32_t count) {
  engine_.reset();
  qor::sim::SimOptions options;
  options.targets = count;
  options.stagingSize = kImageSize;
  engine_ = std::make_unique<qor::sim::SimEngine>(options);
  engine_->Start();
}

double Bench::QorctlRun(const std::vector<std::string>& selection) {
  std::vector<std::string> words = {QORCTL_PATH, "run", Path("download.qor"), "--json"};
  words.insert(words.end(), selection.begin(), selection.end());
  const Outcome outcome = Spawn(words);
  if (outcome.status != 0) return -1;
  double longest = 0;
  size_t from = 0;
  while (from < outcome.out.size()) {
    const size_t end = outcome.out.find('\n', from);
    const auto line = nlohmann::json::parse(outcome.out.substr(from, end - from));
    longest = std::max(longest, line.at("seconds").get<double>());
    if (end == std::string::npos) break;
    from = end + 1;
  }
  return longest;
}

void Bench::Downloads() {
  StartTargets(16);
  // Each reference runs beside the QOR run it is measured against, round after round, so that
  // what else the machine does falls on both alike.
  std::vector<double> blocking;
  std::vector<double> polled;
  std::vector<double> polledSixteen;
  std::vector<double> one;
  std::vector<double> all;
  std::vector<double> desktop;
  const auto reference = [](std::vector<double>& into, const std::vector<std::string>& words) {
    const Outcome outcome = Spawn(words);
    if (outcome.status == 0) into.push_back(std::stod(outcome.out));
  };
  for (int round = 0; round < kRounds; ++round) {
    reference(blocking, {STOP_AND_WAIT_PATH, "1024", "1044", "20"});
    one.push_back(QorctlRun({"--target", kMac}));
    reference(polled, {POLLED_EXCHANGE_PATH, "1", "1024", "1044", "20"});
    all.push_back(QorctlRun({"--all", "--wait", "300"}));
    reference(polledSixteen, {POLLED_EXCHANGE_PATH, "16", "1024", "1044", "20"});
    const Outcome window = Spawn({DESKTOP_BENCH_PATH, "download", Path("download.qor"), kMac});
    if (window.status == 0) {
      desktop.push_back(nlohmann::json::parse(window.out).at("seconds").get<double>());
    }
  }
  for (const auto& info : engine_->Targets()) {
    if (engine_->ReadMemory(info.mac, kImageBase, kImageSize) != image_) {
      std::fprintf(stderr, "the image did not land in %s\n", info.mac.ToString().c_str());
      broken_ = true;
    }
  }
  const bool failed = std::find(one.begin(), one.end(), -1.0) != one.end() ||
                      std::find(all.begin(), all.end(), -1.0) != all.end() ||
                      blocking.size() != kRounds || polled.size() != kRounds ||
                      polledSixteen.size() != kRounds || desktop.size() != kRounds;
  if (failed) {
    std::fprintf(stderr, "a download or a reference program failed\n");
    broken_ = true;
    return;
  }
  const double oneMedian = Median(one);
  const double allMedian = Median(all);
  const double desktopMedian = Median(desktop);
  cliFast_ = oneMedian;
  // One target against the faster of the two C programs on this machine.
  const bool polledFaster = Median(polled) < Median(blocking);
  const std::vector<double>& fastest = polledFaster ? polled : blocking;
  const std::string references =
      polledFaster
          ? Text("polled C %.4f s (stop-and-wait %.4f s)", Median(polled), Median(blocking))
          : Text("stop-and-wait C %.4f s (polled %.4f s)", Median(blocking), Median(polled));
  const Ratio ofFastest = Ratios(fastest, one);
  rows_.push_back({"1 MiB download, one target, --pace fast (median of 5)", references,
                   Text("%.4f s", oneMedian), RatioText(ofFastest), ">= 0.8",
                   ofFastest.median >= 0.8});
  // Where the scheduler puts the two ends of an exchange (one core or two) changes a round
  // trip several times over from run to run; the best of each side shows the limit itself.
  const double fastestBest = *std::min_element(fastest.begin(), fastest.end());
  const double oneBest = *std::min_element(one.begin(), one.end());
  rows_.push_back({"the same, best of 5", Text("%.4f s", fastestBest), Text("%.4f s", oneBest),
                   Text("%.2f", fastestBest / oneBest), "-", std::nullopt});
  const Ratio ofSixteen = Ratios(polledSixteen, all);
  rows_.push_back({"16 targets at once, 1 MiB each (median of 5)",
                   Text("polled C, 16 in flight: 16 MiB in %.4f s", Median(polledSixteen)),
                   Text("16 MiB in %.4f s", allMedian), RatioText(ofSixteen), ">= 0.8",
                   ofSixteen.median >= 0.8});
  rows_.push_back({"the same against one target", Text("one target %.4f s per MiB", oneMedian),
                   Text("16 MiB in %.4f s", allMedian),
                   Text("%.1fx one target", 16 * oneMedian / allMedian), "-", std::nullopt});
  const double slower = desktopMedian / oneMedian;
  rows_.push_back({"1 MiB download in the desktop program (median of 5)",
                   Text("qorctl --pace fast %.4f s", oneMedian), Text("%.4f s", desktopMedian),
                   Text("%.2fx the CLI's time", slower), "<= 1.25x", slower <= 1.25});
}

void Bench::Waits() {
  // The target answers at once: the run must not sit out the rest of the discovery window.
  std::vector<double> run;
  std::vector<double> verify;
  for (int round = 0; round < kRounds; ++round) {
    const Outcome ran = Spawn({QORCTL_PATH, "run", Path("section.qor"), "--target", kMac});
    const Outcome assigned = Spawn({QORCTL_PATH, "assign", kMac, "127.0.0.10", "--verify"});
    if (ran.status != 0 || assigned.status != 0) {
      std::fprintf(stderr, "run --target or assign --verify failed\n");
      broken_ = true;
      return;
    }
    run.push_back(ran.seconds);
    verify.push_back(assigned.seconds);
  }
  const double runMedian = Median(run);
  const double verifyMedian = Median(verify);
  rows_.push_back({"run --target MAC, default --wait (wall, median)", "wait 1.000 s",
                   Text("%.3f s", runMedian), "-", "< 0.5 s", runMedian < 0.5});
  // Its first discovery listens the whole wait: another target may hold the address. The
  // verifying one ends when the target reports it.
  rows_.push_back({"assign MAC IP --verify, default --wait (wall, median)", "two waits 2.000 s",
                   Text("%.3f s", verifyMedian), "-", "< 1.5 s (the check's wait, then at once)",
                   verifyMedian < 1.5});
  engine_.reset();
}

void Bench::Reading() {
  std::vector<Outcome> srec;
  std::vector<Outcome> check;
  for (int round = 0; round < 3; ++round) {
    srec.push_back(Spawn({"srec_cat", Path("records.s3"), "-o", "/dev/null", "-binary"}));
    check.push_back(Spawn({QORCTL_PATH, "check", Path("big.qor")}));
  }
  const auto median = [](const std::vector<Outcome>& outcomes) {
    std::vector<double> seconds;
    for (const Outcome& outcome : outcomes) seconds.push_back(outcome.seconds);
    return Median(seconds);
  };
  const auto peakMb = [](const std::vector<Outcome>& outcomes) {
    long peak = 0;
    for (const Outcome& outcome : outcomes) peak = std::max(peak, outcome.peakKb);
    return static_cast<double>(peak) / 1024.0;
  };
  const bool checked = std::all_of(check.begin(), check.end(),
                                   [](const Outcome& outcome) { return outcome.status == 0; });
  if (!checked) {
    std::fprintf(stderr, "qorctl check of the S3 script failed\n");
    broken_ = true;
  } else if (srec.front().status == 127) {
    rows_.push_back({"qorctl check, 41 MB S3 script (16 MiB image)",
                     "srec_cat missing (Debian package srecord)",
                     Text("%.3f s, %.0f MB", median(check), peakMb(check)), "-", ">= 3x, < 60 MB",
                     false});
  } else {
    const double faster = median(srec) / median(check);
    rows_.push_back({"qorctl check, 41 MB S3 script (16 MiB image)",
                     Text("srec_cat %.3f s, %.0f MB", median(srec), peakMb(srec)),
                     Text("%.3f s, %.0f MB", median(check), peakMb(check)),
                     Text("%.1fx as fast", faster), ">= 3x, < 60 MB",
                     faster >= 3 && peakMb(check) < 60});
  }

  std::vector<Outcome> blank;
  for (int round = 0; round < 3; ++round)
    blank.push_back(Spawn({QORCTL_PATH, "check", "--json", Path("blank.qor")}));
  if (blank.front().status != 0) {
    std::fprintf(stderr, "qorctl check of the blank image failed\n");
    broken_ = true;
    return;
  }
  rows_.push_back({"qorctl check --json, *download 0 0x7fffffff", "-",
                   Text("%.3f s, %.0f MB", median(blank), peakMb(blank)), "-", "< 1 s, < 100 MB",
                   median(blank) < 1 && peakMb(blank) < 100});
}

void Bench::Lists() {
  constexpr uint32_t kListed = 10000;
  StartTargets(kListed);
  const Outcome list = Spawn({DESKTOP_BENCH_PATH, "list", std::to_string(kListed)});
  if (list.status != 0) {
    std::fprintf(stderr, "the desktop list did not show %u targets\n", kListed);
    broken_ = true;
  } else {
    const auto result = nlohmann::json::parse(list.out);
    const double seconds = result.at("seconds").get<double>();
    const double stall = result.at("longest_stall").get<double>();
    rows_.push_back({"desktop list of 10,000 answering targets", "-",
                     Text("%.3f s, longest stall %.0f ms", seconds, stall * 1000), "-",
                     "< 1 s, no freeze", seconds < 1 && stall < 0.1});
  }

  constexpr uint32_t kDiscovered = 20000;
  StartTargets(kDiscovered);
  const Outcome discover = Spawn({QORCTL_PATH, "discover", "--json", "--wait", "2000"});
  size_t found = 0;
  if (discover.status == 0) found = nlohmann::json::parse(discover.out).size();
  rows_.push_back({"qorctl discover, 20,000 simulated targets", "20000 answering",
                   std::to_string(found) + " listed", "-", "all", found == kDiscovered});
  engine_.reset();
}

void Bench::Stations() {
  // 64 units waiting without an address, as a fixture full of fresh boards: each is addressed
  // (and the address confirmed by a later discovery), flashed, read back, given its settings and
  // restarted, at most --jobs at a time.
  constexpr uint32_t kUnits = 64;
  for (const int jobs : {1, 4, 8, 16}) {
    engine_.reset();
    qor::sim::SimOptions options;
    options.targets = kUnits;
    options.unassigned = kUnits;
    options.stagingSize = kImageSize;
    engine_ = std::make_unique<qor::sim::SimEngine>(options);
    engine_->Start();
    const std::string record = Path("station.jsonl");
    fs::remove(record);
    const Outcome station =
        Spawn({QORCTL_PATH, "provision", Path("unit.qor"), "--addresses", "127.0.1.1-127.0.1.254",
               "--jobs", std::to_string(jobs), "--count", std::to_string(kUnits), "--idle", "60",
               "--record", record});
    size_t passed = 0;
    std::ifstream lines(record);
    for (std::string line; std::getline(lines, line);) {
      const auto entry = nlohmann::json::parse(line, nullptr, false);
      if (entry.is_object() && entry.value("event", "") == "end" &&
          entry.value("outcome", "") == "passed") {
        ++passed;
      }
    }
    const bool met = station.status == 0 && passed == kUnits;
    if (!met) {
      std::fprintf(stderr, "provisioning with --jobs %d: %zu of %u units passed\n", jobs, passed,
                   kUnits);
      broken_ = true;
    }
    rows_.push_back(
        {"qorctl provision, 64 units of 1 MiB + settings + restart, --jobs " + std::to_string(jobs),
         "-", std::to_string(passed) + Text(" passed in %.1f s", station.seconds),
         Text("%.0f units/h", kUnits * 3600.0 / station.seconds), "all pass", met});
  }
  engine_.reset();
}

void Bench::Scaling(const std::string& csv) {
  // 256 KiB for each target, the simulator holding them all behind its one socket: how the
  // cost grows with the number of targets in one run --all.
  constexpr uint32_t kScaleSize = 256 * 1024;
  constexpr int kScaleRounds = 3;
  engine_.reset();
  std::ofstream(Path("scale.bin"), std::ios::binary)
      .write(reinterpret_cast<const char*>(image_.data()), kScaleSize);
  std::ofstream(Path("scale.qor")) << "*download 0x00100000 0x40000 scale.bin\n";
  for (const uint32_t count : {1u, 4u, 16u, 64u, 256u, 1000u}) {
    std::vector<Scale> rounds;
    for (int round = 0; round < kScaleRounds; ++round) {
      Scale scale;
      scale.targets = count;
      Server sim = StartServer({QOR_SIM_PATH, "--targets", std::to_string(count), "--staging",
                                std::to_string(kScaleSize)});
      if (sim.pid <= 0) {
        std::fprintf(stderr, "qor-sim with %u targets did not start\n", count);
        broken_ = true;
        return;
      }
      const Outcome run =
          Spawn({QORCTL_PATH, "run", Path("scale.qor"), "--all", "--json", "--wait", "500"});
      scale.simMb = static_cast<double>(HighWaterKb(sim.pid)) / 1024.0;
      StopServer(sim);
      scale.qorctlMb = static_cast<double>(run.peakKb) / 1024.0;
      std::vector<double> seconds;
      std::istringstream lines(run.out);
      for (std::string line; std::getline(lines, line);) {
        const auto entry = nlohmann::json::parse(line, nullptr, false);
        if (!entry.is_object()) continue;
        if (entry.value("outcome", "") == "passed") ++scale.passed;
        seconds.push_back(entry.value("seconds", 0.0));
      }
      if (run.status != 0 || scale.passed != count || seconds.empty()) {
        std::fprintf(stderr, "run --all on %u targets: %u passed\n", count, scale.passed);
        broken_ = true;
      }
      if (seconds.empty()) continue;
      // The runs start together: the slowest is the span of the whole transfer.
      scale.medianSeconds = Median(seconds);
      scale.slowestSeconds = *std::max_element(seconds.begin(), seconds.end());
      scale.mibPerSecond =
          scale.slowestSeconds > 0 ? count * (kScaleSize / 1048576.0) / scale.slowestSeconds : 0;
      rounds.push_back(scale);
    }
    if (rounds.empty()) continue;
    // The round of the median throughput, with the most memory any round took.
    std::sort(rounds.begin(), rounds.end(),
              [](const Scale& a, const Scale& b) { return a.mibPerSecond < b.mibPerSecond; });
    Scale chosen = rounds[rounds.size() / 2];
    for (const Scale& round : rounds) {
      chosen.qorctlMb = std::max(chosen.qorctlMb, round.qorctlMb);
      chosen.simMb = std::max(chosen.simMb, round.simMb);
      chosen.passed = std::min(chosen.passed, round.passed);
    }
    scales_.push_back(chosen);
  }
  std::ofstream file(csv);
  file << "targets,mib_per_s,median_s,slowest_s,qorctl_mb,qor_sim_mb\n";
  for (const Scale& scale : scales_) {
    char line[160];
    std::snprintf(line, sizeof line, "%u,%.1f,%.4f,%.4f,%.1f,%.1f\n", scale.targets,
                  scale.mibPerSecond, scale.medianSeconds, scale.slowestSeconds, scale.qorctlMb,
                  scale.simMb);
    file << line;
  }
  if (!file) {
    std::fprintf(stderr, "cannot write %s\n", csv.c_str());
    broken_ = true;
  }
  if (scales_.empty()) return;
  const Scale& most = scales_.back();
  rows_.push_back(
      {"1,000 targets at once, 256 KiB each, one run --all", "1000 targets",
       std::to_string(most.passed) + " passed" + Text(", %.1f MiB/s", most.mibPerSecond), "-",
       "all pass", most.passed == most.targets});
  // Linear growth keeps the time of each target's share, and its memory, flat.
  const auto at = [this](uint32_t targets) {
    return *std::find_if(scales_.begin(), scales_.end(),
                         [targets](const Scale& scale) { return scale.targets == targets; });
  };
  if (scales_.size() == 6) {
    const Scale& small = at(64);
    const double time =
        (most.slowestSeconds / most.targets) / (small.slowestSeconds / small.targets);
    rows_.push_back({"time per target, 1,000 targets against 64", "64 targets",
                     Text("%.2f ms per target", 1000 * most.slowestSeconds / most.targets),
                     Text("%.2fx", time), "<= 1.5x", time <= 1.5});
  }
}

int Bench::Print() const {
  utsname system{};
  ::uname(&system);
  std::string cpu = "unknown CPU";
  std::ifstream info("/proc/cpuinfo");
  for (std::string line; std::getline(info, line);) {
    if (line.rfind("model name", 0) == 0) {
      cpu = line.substr(line.find(':') + 2);
      break;
    }
  }
  std::string load;
  std::getline(std::ifstream("/proc/loadavg"), load);
  std::printf("%s, %ld cores, Linux %s; load average %s\n\n", cpu.c_str(),
              ::sysconf(_SC_NPROCESSORS_ONLN), system.release, load.c_str());
  std::printf("| measure | reference | QOR | ratio | goal | met |\n|---|---|---|---|---|---|\n");
  for (const Row& row : rows_) {
    const char* met = !row.met ? "-" : *row.met ? "yes" : "NO";
    std::printf("| %s | %s | %s | %s | %s | %s |\n", row.measure.c_str(), row.reference.c_str(),
                row.qor.c_str(), row.ratio.c_str(), row.goal.c_str(), met);
  }
  if (!scales_.empty()) {
    std::printf(
        "\n| targets | MiB/s | seconds per target: median | slowest | qorctl MB | qor-sim MB "
        "|\n|---|---|---|---|---|---|\n");
  }
  for (const Scale& scale : scales_) {
    std::printf("| %u | %.1f | %.3f | %.3f | %.1f | %.1f |\n", scale.targets, scale.mibPerSecond,
                scale.medianSeconds, scale.slowestSeconds, scale.qorctlMb, scale.simMb);
  }
  return broken_ ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = "normal priority";
  std::vector<std::string> sections(argv + 1, argv + argc);
  std::string csv = "scaling.csv";
  const auto csvFlag = std::find(sections.begin(), sections.end(), "--csv");
  if (csvFlag != sections.end()) {
    if (csvFlag + 1 == sections.end()) {
      std::fprintf(stderr, "usage: speed_bench [--realtime] [--csv FILE] [SECTION...]\n");
      return 2;
    }
    csv = *(csvFlag + 1);
    sections.erase(csvFlag, csvFlag + 2);
  }
  const auto realtime = std::find(sections.begin(), sections.end(), "--realtime");
  if (realtime != sections.end()) {
    sections.erase(realtime);
    // Inherited by the simulator's thread and by every program started.
    sched_param priority{};
    priority.sched_priority = 10;
    mode = ::sched_setscheduler(0, SCHED_FIFO, &priority) == 0
               ? "real-time priority (SCHED_FIFO 10)"
               : "normal priority (real-time refused)";
  }
  std::printf("QOR speed, %s\n", mode.c_str());
  const fs::path folder = fs::temp_directory_path() / ("qor-bench-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  // Qt wants a private runtime folder; the desktop measures run on its offscreen platform.
  fs::create_directories(folder / "runtime");
  fs::permissions(folder / "runtime", fs::perms::owner_all);
  ::setenv("XDG_RUNTIME_DIR", (folder / "runtime").c_str(), 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

  Bench bench(folder);
  bench.WriteFiles();
  // First, while this process is small: a child's peak memory counts what it shared of it
  // before it started its program.
  const auto wanted = [&](const char* section) {
    return sections.empty() ||
           std::find(sections.begin(), sections.end(), section) != sections.end();
  };
  if (wanted("reading")) bench.Reading();
  // Its programs' memory counts what this process held when it started them: while it is small.
  if (wanted("scaling")) bench.Scaling(csv);
  if (wanted("downloads")) bench.Downloads();
  if (wanted("waits")) bench.Waits();
  if (wanted("lists")) bench.Lists();
  if (wanted("stations")) bench.Stations();
  if (wanted("scaling")) std::printf("scaling figures written to %s\n", csv.c_str());
  const int status = bench.Print();
  fs::remove_all(folder);
  return status;
}
