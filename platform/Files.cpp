#include "platform/Files.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>

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
// Text inside the program is in the ANSI code page; the file system speaks UTF-16.
std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size,
                      nullptr, nullptr);
  return narrow;
}
#else
unsigned char Lower(char c) {
  return static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c)));
}

bool EndsWithScriptExtension(const std::string& name) {
  static constexpr char kExtension[] = ".qor";
  constexpr size_t kLength = sizeof kExtension - 1;
  if (name.size() < kLength) return false;
  return std::equal(name.end() - kLength, name.end(), kExtension,
                    [](char a, char b) { return Lower(a) == Lower(b); });
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
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::nullopt;
  std::wstring full(path, length);
  const size_t last = full.rfind(L'\\');
  if (last == std::wstring::npos) return std::nullopt;
  return Narrow(full.substr(0, last));
}

std::vector<std::string> ListScriptFiles(const std::string& directory) {
  std::wstring pattern = Widen(directory);
  if (pattern.empty() || pattern.back() != L'\\') pattern += L'\\';
  pattern += L"*.qor";
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(Narrow(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

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

std::vector<std::string> ListScriptFiles(const std::string& directory) {
  std::vector<std::string> names;
  DIR* listing = opendir(directory.empty() ? "/" : directory.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing)) {
    std::string name = entry->d_name;
    if (EndsWithScriptExtension(name)) names.push_back(std::move(name));
  }
  closedir(listing);
  std::sort(names.begin(), names.end(), ComesBefore);
  return names;
}

bool IsDirectory(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

#endif

}  // namespace qor
