#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace qor {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Directory of the running program file, without a trailing separator; nothing when unknown.
[[nodiscard]] std::optional<std::string> ExecutableDirectory();

// Names (not paths) of the entries of directory whose names end in ".qor" in any case,
// directories included. On Windows in the order the file search gives them; on POSIX sorted by
// name without regard to case, so the order is stable.
[[nodiscard]] std::vector<std::string> ListScriptFiles(const std::string& directory);
// The same for names ending in extension (such as ".pub"), in any case.
[[nodiscard]] std::vector<std::string> ListFilesWithExtension(const std::string& directory,
                                                              const std::string& extension);

[[nodiscard]] bool IsDirectory(const std::string& path);

// std::fopen for a path of any length (Windows limits plain paths to 260 characters).
[[nodiscard]] std::FILE* OpenFile(const std::string& path, const char* mode);

#ifdef _WIN32
// path as the Windows file functions take it, whatever its length.
[[nodiscard]] std::wstring WindowsFilePath(const std::string& path);
#endif

// What the file system says of an open file.
struct OpenFileStatus {
  bool isDirectory = false;
  uint64_t size = 0;
};
// Nothing when the system cannot tell.
[[nodiscard]] std::optional<OpenFileStatus> StatOpenFile(std::FILE* file);

// Whether path names a folder before its last component (a separator stands in it).
[[nodiscard]] bool HasFolder(const std::string& path);

// The folder part of path: everything before its last separator (empty when there is none).
[[nodiscard]] std::string FolderOfPath(const std::string& path);
// The last component of path: everything after its last separator (all of it when there is none).
[[nodiscard]] std::string LastPathComponent(const std::string& path);

}  // namespace qor
