// Prints the program's own folder as the platform layer finds it (for FilesTest).
#include <cstdio>

#include "platform/Files.h"

int main() {
  const auto folder = qor::ExecutableDirectory();
  if (!folder) return 1;
  std::printf("%s\n", folder->c_str());
  return 0;
}
