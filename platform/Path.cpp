#include "platform/Files.h"

namespace qor {

namespace {

size_t LastSeparator(const std::string& path) {
#ifdef _WIN32
  return path.find_last_of("\\/");
#else
  return path.rfind(kPathSeparator);
#endif
}

}  // namespace

bool HasFolder(const std::string& path) { return LastSeparator(path) != std::string::npos; }

std::string FolderOfPath(const std::string& path) {
  const size_t last = LastSeparator(path);
  return last == std::string::npos ? std::string() : path.substr(0, last);
}

std::string LastPathComponent(const std::string& path) {
  const size_t last = LastSeparator(path);
  return last == std::string::npos ? path : path.substr(last + 1);
}

}  // namespace qor
