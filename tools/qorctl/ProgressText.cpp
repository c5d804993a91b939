#include "tools/qorctl/ProgressText.h"

#include "platform/Format.h"

namespace qor::cli {
namespace {

constexpr int kBarWidth = 20;
// A rate needs this much of a transfer behind it before it says anything useful.
constexpr uint32_t kRateAfterMs = 250;

}  // namespace

std::string ProgressBar(uint32_t done, uint32_t total) {
  const uint64_t filled = uint64_t{done} * kBarWidth / total;
  const uint64_t percent = uint64_t{done} * 100 / total;
  std::string bar = "[";
  bar.append(filled, '#');
  bar.append(kBarWidth - filled, '.');
  bar += Format("] %3u%%", static_cast<unsigned>(percent));
  return bar;
}

std::string TransferRateText(uint32_t startDone, uint32_t startTick, uint32_t done, uint32_t total,
                             uint32_t now) {
  const uint32_t elapsed = now - startTick;
  if (elapsed < kRateAfterMs || done <= startDone || done >= total) return {};
  const double rate = (done - startDone) * 1000.0 / elapsed;
  std::string text;
  if (rate >= 1024.0 * 1024.0) {
    text = Format("%.1f MiB/s", rate / (1024.0 * 1024.0));
  } else if (rate >= 1024.0) {
    text = Format("%.1f KiB/s", rate / 1024.0);
  } else {
    text = Format("%.0f B/s", rate);
  }
  const auto left = static_cast<uint64_t>((total - done) / rate + 0.999);
  if (left >= 3600) {
    text += Format("  %u:%02u:%02u left", static_cast<unsigned>(left / 3600),
                   static_cast<unsigned>(left / 60 % 60), static_cast<unsigned>(left % 60));
  } else {
    text += Format("  %u:%02u left", static_cast<unsigned>(left / 60),
                   static_cast<unsigned>(left % 60));
  }
  return text;
}

std::string ElapsedText(uint64_t milliseconds) {
  const auto whole = static_cast<unsigned long long>(milliseconds);
  return Format("%llu.%03llu s", whole / 1000, whole % 1000);
}

}  // namespace qor::cli
