#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qor {

// A file a directive read while its script was read, such as a *download image.
struct InputFile {
  std::string name;  // as the script names it
  std::string path;  // as it was opened
  // Of the bytes taken from it, when the reader was asked for digests; empty otherwise.
  std::vector<uint8_t> digest;
};

}  // namespace qor
