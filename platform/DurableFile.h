#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qor {

// A file that only grows, whole lines at a time, each one on disk before Append returns, so that
// a crash or a power cut loses at most the line being written. One writer at a time: a second
// DurableFile on the same file, in this process or another, is refused.
class DurableFile {
 public:
  // Opens path for appending, creating it if need be. Throws Exception: "Cannot open \"%s\" to
  // append to it: %s", or "\"%s\" is being written by another program".
  explicit DurableFile(const std::string& path);
  ~DurableFile();
  DurableFile(const DurableFile&) = delete;
  DurableFile& operator=(const DurableFile&) = delete;

  // Writes text at the end with one write call, then has the system put it on disk (fsync;
  // _commit on Windows). On failure nothing of text stays in the file, so no line is ever left
  // half written; throws Exception("Cannot write to \"%s\": %s").
  void Append(const std::string& text);
  // Cuts the file to its first size bytes, on disk before returning. Throws Exception.
  void CutTo(uint64_t size);

  [[nodiscard]] uint64_t Size() const;
  [[nodiscard]] const std::string& Path() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
