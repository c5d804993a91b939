#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

namespace qor::test {

// A fresh folder for one test's files, removed afterwards.
class TempFiles {
 public:
  TempFiles() {
    static std::atomic<int> serial{0};
    folder_ = std::filesystem::temp_directory_path() /
              ("qor-script-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
    std::filesystem::create_directories(folder_);
  }
  ~TempFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  TempFiles(const TempFiles&) = delete;
  TempFiles& operator=(const TempFiles&) = delete;

  // Writes bytes exactly as given (no line-end translation) and returns the file's path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const std::filesystem::path path = folder_ / name;
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return path.string();
  }

  [[nodiscard]] std::string Folder() const { return folder_.string(); }

 private:
  std::filesystem::path folder_;
};

}  // namespace qor::test
