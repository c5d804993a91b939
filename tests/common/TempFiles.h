#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace qor::test {

// Tells this process's folders from those of test programs running beside it.
inline unsigned ProcessTag() {
  static const unsigned tag = std::random_device{}();
  return tag;
}

// Everything written to a temporary file (std::tmpfile) so far.
inline std::string Contents(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[512];
  size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, count);
  return text;
}

// A fresh folder for one test's files, removed afterwards.
class TempFiles {
 public:
  TempFiles() {
    static std::atomic<int> serial{0};
    folder_ = std::filesystem::temp_directory_path() /
              ("qor-script-" + std::to_string(ProcessTag()) + "-" + std::to_string(serial++));
    std::filesystem::create_directories(folder_);
  }
  ~TempFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  TempFiles(const TempFiles&) = delete;
  TempFiles& operator=(const TempFiles&) = delete;

  // Writes bytes exactly as given (no line-end translation) and returns the file's path.
  // The path is the folder, "/" and name, as tests write paths in the folder by hand.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::string path = Folder() + "/" + name;
    std::ofstream out(std::filesystem::path(folder_ / name), std::ios::binary);
    out << bytes;
    return path;
  }

  [[nodiscard]] std::string Folder() const { return folder_.string(); }

 private:
  std::filesystem::path folder_;
};

}  // namespace qor::test
