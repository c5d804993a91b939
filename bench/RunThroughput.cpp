// Download throughput of `qorctl run` on loopback: a 1 MiB image with no blank kilobyte, sent
// to one simulated target at --pace tick (a step every 20 ms, as the GUI) and at --pace fast
// (a step as soon as a reply arrives). Run it inside scripts/netns-run.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/qor-sim/SimEngine.h"

namespace {

constexpr uint32_t kImageSize = 1024 * 1024;
constexpr uint32_t kBase = 0x00100000;

// Seconds that qorctl reports for the run itself (discovery excluded), or a negative number.
double TimedRun(const std::string& script, const char* pace) {
  const std::string command = std::string(QORCTL_PATH) + " run " + script +
                              " --all --wait 300 --json --pace " + pace + " 2>/dev/null";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string out;
  char buffer[4096];
  size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, count);
  const int status = ::pclose(pipe);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  // One summary object per target and line; the bench runs one target.
  const auto summary = nlohmann::json::parse(out.substr(0, out.find('\n')));
  return summary.at("seconds").get<double>();
}

}  // namespace

int main() {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("qor-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::vector<uint8_t> image(kImageSize);
  for (uint32_t i = 0; i < kImageSize; ++i) image[i] = static_cast<uint8_t>((i * 131 + 7) % 251);
  std::ofstream(folder / "image.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), kImageSize);
  const std::string script = (folder / "bench.qor").string();
  std::ofstream(script) << "*download 0x00100000 0x100000 image.bin\n";

  qor::sim::SimOptions options;
  options.stagingSize = kImageSize;
  qor::sim::SimEngine engine(options);
  engine.Start();
  const qor::MacAddress mac = options.firstMac;

  double seconds[2] = {0, 0};
  const char* paces[2] = {"tick", "fast"};
  int status = 0;
  for (int i = 0; i < 2; ++i) {
    engine.WriteMemory(mac, kBase, std::vector<uint8_t>(kImageSize, 0));
    seconds[i] = TimedRun(script, paces[i]);
    if (seconds[i] <= 0 || engine.ReadMemory(mac, kBase, kImageSize) != image) {
      std::fprintf(stderr, "--pace %s: the download failed\n", paces[i]);
      status = 1;
      continue;
    }
    std::printf("--pace %s: 1 MiB in %.3f s, %.1f KiB/s\n", paces[i], seconds[i],
                1024.0 / seconds[i]);
  }
  if (status == 0) std::printf("fast is %.1f times as fast as tick\n", seconds[0] / seconds[1]);
  std::filesystem::remove_all(folder);
  return status;
}
