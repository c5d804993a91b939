#include "tools/qorctl/EngineOptions.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/UdpSocket.h"
#include "tools/qorctl/Commands.h"
#include "tools/qorctl/ScriptTrust.h"
#include "tools/qorctl/TracingSocket.h"

namespace qor::cli {
namespace {

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

}  // namespace

void AddEngineOptions(CLI::App& command, EngineOptions& options) {
  command
      .add_option("--pace", options.pace,
                  "fast: step whenever a reply arrives; tick: step every 20 ms like the desktop "
                  "program")
      ->type_name("fast|tick")
      ->check(CLI::IsMember({"fast", "tick"}).description(""))
      ->capture_default_str();
  command
      .add_option("--silence", options.silence,
                  "Fail a run when its target is silent for SECONDS about a fill, data, read or "
                  "restart request (default 30)")
      ->type_name("SECONDS");
  command
      .add_option("--write-silence", options.writeSilence,
                  "The same for a write; each progress reply starts the wait again (default "
                  "600)")
      ->type_name("SECONDS");
  command
      .add_option("--trace", options.trace,
                  "Write every request sent and every reply received to FILE, one JSON object "
                  "per line, as qor-sim --trace does")
      ->type_name("FILE");
}

RunPace PaceOf(const EngineOptions& options) {
  return options.pace == "tick" ? RunPace::kTick : RunPace::kFast;
}

void ApplySilence(const EngineOptions& options, RunnerOptions& runner) {
  runner.silence.requestMs = SilenceMs(options.silence, SilenceLimits::kRequestMs, "--silence");
  runner.silence.writeMs =
      SilenceMs(options.writeSilence, SilenceLimits::kWriteMs, "--write-silence");
}

NetworkSetup::SocketWrapper Tracing(const EngineOptions& options) {
  if (options.trace.empty()) return {};
  return [trace =
              options.trace](std::unique_ptr<UdpSocket> socket) -> std::unique_ptr<DatagramSocket> {
    return std::make_unique<TracingSocket>(std::move(socket), trace);
  };
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

RunnableScript ReadRunnableScript(const std::string& path, bool allowUnsigned) {
  return qor::ReadRunnableScript(path, CommandKeys(allowUnsigned));
}

}  // namespace qor::cli
