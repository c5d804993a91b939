#include "platform/Files.h"

namespace qor {

std::string FolderOfPath(const std::string& path) {
#ifdef _WIN32
  const size_t last = path.find_last_of("\\/");
#else
  const size_t last = path.rfind(kPathSeparator);
#endif
  return last == std::string::npos ? std::string() : path.substr(0, last);
}

}  // namespace qor
