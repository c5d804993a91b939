#include "platform/Files.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>

#include "platform/WideText.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#endif

namespace qor {
namespace {

#ifdef _WIN32
// A path as the Windows file functions take it whatever its length: past 259 characters only
// in the extended form, which must be absolute and use backslashes alone.
std::wstring SystemPath(std::wstring wide) {
  if (wide.size() < MAX_PATH || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  std::wstring full(wide.size() + MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return wide;
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);
  }
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

bool EndsWithExtension(const std::wstring& name, const std::wstring& extension) {
  const auto length = static_cast<int>(extension.size());
  return name.size() >= extension.size() &&
         CompareStringOrdinal(name.c_str() + name.size() - extension.size(), length,
                              extension.c_str(), length, TRUE) == CSTR_EQUAL;
}
#else
unsigned char Lower(char c) {
  return static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c)));
}

bool EndsWithExtension(const std::string& name, const std::string& extension) {
  if (name.size() < extension.size()) return false;
  return std::equal(name.end() - static_cast<std::ptrdiff_t>(extension.size()), name.end(),
                    extension.begin(), [](char a, char b) { return Lower(a) == Lower(b); });
}

unsigned char Upper(char c) {
  return static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c)));
}

// Without regard to case, comparing upper-case forms as the Windows file system orders names
// (so "_" sorts after the letters); ties by bytes, so the order never depends on how the
// directory happens to be stored.
bool ComesBefore(const std::string& a, const std::string& b) {
  const auto upperLess = [](char x, char y) { return Upper(x) < Upper(y); };
  const bool less = std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), upperLess);
  const bool greater =
      std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), upperLess);
  if (less || greater) return less;
  return a < b;
}
#endif

}  // namespace

std::optional<OpenFileStatus> StatOpenFile(std::FILE* file) {
#ifdef _WIN32
  struct _stat64 info;
  if (_fstat64(_fileno(file), &info) != 0 || info.st_size < 0) return std::nullopt;
#else
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || info.st_size < 0) return std::nullopt;
#endif
  OpenFileStatus status;
  status.isDirectory = (info.st_mode & S_IFMT) == S_IFDIR;
  status.size = static_cast<uint64_t>(info.st_size);
  return status;
}

#ifdef _WIN32

std::optional<std::string> ExecutableDirectory() {
  // The whole path, however long: the buffer grows until the name fits. It starts small, so
  // that growing is what every start does, not a path taken only by rare long names.
  std::wstring path(64, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::nullopt;
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    if (path.size() >= 0x10000) return std::nullopt;  // longer than any path Windows allows
    path.resize(path.size() * 2);
  }
  const size_t last = path.rfind(L'\\');
  if (last == std::wstring::npos) return std::nullopt;
  return NarrowText(path.substr(0, last));
}

std::vector<std::string> ListFilesWithExtension(const std::string& directory,
                                                const std::string& extension) {
  const std::wstring wideExtension = WidenText(extension);
  std::wstring pattern = WidenText(directory);
  if (pattern.empty() || pattern.back() != L'\\') pattern += L'\\';
  pattern += L"*" + wideExtension;
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(SystemPath(pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    // The pattern also matches short 8.3 names, such as that of "x.qorx": only whole matches.
    const std::wstring name = found.cFileName;
    if (EndsWithExtension(name, wideExtension)) names.push_back(NarrowText(name));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(SystemPath(WidenText(path)).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(WindowsFilePath(path).c_str(), wideMode.c_str());
}

std::wstring WindowsFilePath(const std::string& path) { return SystemPath(WidenText(path)); }

#else

std::optional<std::string> ExecutableDirectory() {
  std::string path(PATH_MAX, '\0');
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0 || static_cast<size_t>(length) >= path.size()) return std::nullopt;
  path.resize(static_cast<size_t>(length));
  const size_t last = path.rfind(kPathSeparator);
  if (last == std::string::npos) return std::nullopt;
  return path.substr(0, last);
}

std::vector<std::string> ListFilesWithExtension(const std::string& directory,
                                                const std::string& extension) {
  std::vector<std::string> names;
  DIR* listing = opendir(directory.empty() ? "/" : directory.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (EndsWithExtension(name, extension)) names.push_back(std::move(name));
  }
  closedir(listing);
  std::sort(names.begin(), names.end(), ComesBefore);
  return names;
}

bool IsDirectory(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

#endif

std::vector<std::string> ListScriptFiles(const std::string& directory) {
  return ListFilesWithExtension(directory, ".qor");
}

}  // namespace qor
