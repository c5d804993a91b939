#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "exec/RunSession.h"
#include "net/NetworkSetup.h"
#include "net/ProductKey.h"
#include "platform/DatagramSocket.h"
#include "station/RunnableScript.h"

namespace qor::cli {

// The options of the commands that run scripts (run, provision), worded alike in each.
struct EngineOptions {
  std::string pace = "fast";
  std::string silence;       // seconds; empty for the default
  std::string writeSilence;  // the same, for writes
  std::string trace;         // JSON Lines file of every message; empty for none
};

// --pace, --silence, --write-silence, --trace.
void AddEngineOptions(CLI::App& command, EngineOptions& options);
// The pace, and the silence limits in runner. Throws UsageError for a limit out of range.
[[nodiscard]] RunPace PaceOf(const EngineOptions& options);
void ApplySilence(const EngineOptions& options, RunnerOptions& runner);
// Wraps the program's socket so that it writes every message to the trace file, when one is
// named.
[[nodiscard]] NetworkSetup::SocketWrapper Tracing(const EngineOptions& options);

// VID:PID, each decimal or 0x hexadecimal. Throws UsageError naming --product.
[[nodiscard]] ProductKey ParseProduct(const std::string& text);

// qor::ReadRunnableScript with the trusted keys, unless allowUnsigned.
[[nodiscard]] RunnableScript ReadRunnableScript(const std::string& path, bool allowUnsigned);

}  // namespace qor::cli
