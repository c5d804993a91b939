#include "platform/DurableFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/Format.h"

#ifdef _WIN32
#include <io.h>
#include <share.h>
#include <windows.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace qor {
namespace {

#ifdef _WIN32
int WriteSome(int fd, const char* bytes, size_t count) {
  return _write(fd, bytes, static_cast<unsigned>(count));
}
int FlushToDisk(int fd) { return _commit(fd); }
int Truncate(int fd, uint64_t size) {
  // _chsize_s returns the error rather than setting errno.
  const errno_t error = _chsize_s(fd, static_cast<long long>(size));
  if (error != 0) errno = error;
  return error == 0 ? 0 : -1;
}
int CloseFile(int fd) { return _close(fd); }
#else
ssize_t WriteSome(int fd, const char* bytes, size_t count) { return write(fd, bytes, count); }
int FlushToDisk(int fd) { return fsync(fd); }
int Truncate(int fd, uint64_t size) { return ftruncate(fd, static_cast<off_t>(size)); }
int CloseFile(int fd) { return close(fd); }
#endif

std::string SystemText(int error) { return std::strerror(error); }

}  // namespace

struct DurableFile::State {
  std::string path;
  int fd = -1;
  uint64_t size = 0;
};

DurableFile::DurableFile(const std::string& path) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.path = path;
#ifdef _WIN32
  // Others may read it while it grows, but no one else may write it.
  const errno_t error = _wsopen_s(&s.fd, WindowsFilePath(path).c_str(),
                                  _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                                  _SH_DENYWR, _S_IREAD | _S_IWRITE);
  if (error != 0) {
    if (_doserrno == ERROR_SHARING_VIOLATION) {
      throw Exception(Format("\"%s\" is being written by another program", path.c_str()));
    }
    throw Exception(
        Format("Cannot open \"%s\" to append to it: %s", path.c_str(), SystemText(error).c_str()));
  }
  struct _stat64 info;
  if (_fstat64(s.fd, &info) == 0 && info.st_size > 0) s.size = static_cast<uint64_t>(info.st_size);
#else
  struct stat before;
  const bool existed = stat(path.c_str(), &before) == 0;
  s.fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (s.fd < 0) {
    throw Exception(
        Format("Cannot open \"%s\" to append to it: %s", path.c_str(), SystemText(errno).c_str()));
  }
  if (flock(s.fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(s.fd);
    if (error == EWOULDBLOCK) {
      throw Exception(Format("\"%s\" is being written by another program", path.c_str()));
    }
    throw Exception(
        Format("Cannot open \"%s\" to append to it: %s", path.c_str(), SystemText(error).c_str()));
  }
  struct stat info;
  if (fstat(s.fd, &info) == 0 && info.st_size > 0) s.size = static_cast<uint64_t>(info.st_size);
  if (!existed) {
    // A new file's name is on disk only once its folder is.
    const std::string folder = HasFolder(path) ? FolderOfPath(path) : ".";
    const int directory = open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_CLOEXEC);
    if (directory >= 0) {
      fsync(directory);
      close(directory);
    }
  }
#endif
}

DurableFile::~DurableFile() {
  if (state_->fd >= 0) CloseFile(state_->fd);
}

void DurableFile::Append(const std::string& text) {
  State& s = *state_;
  size_t written = 0;
  int error = 0;
  while (written < text.size()) {
    const auto count = WriteSome(s.fd, text.data() + written, text.size() - written);
    if (count < 0) {
      if (errno == EINTR) continue;
      error = errno;
      break;
    }
    if (count == 0) {
      error = ENOSPC;
      break;
    }
    written += static_cast<size_t>(count);
  }
  if (error == 0 && FlushToDisk(s.fd) != 0) error = errno;
  if (error != 0) {
    // A part of a line left behind would spoil the next one written after it.
    if (written > 0 && Truncate(s.fd, s.size) == 0) FlushToDisk(s.fd);
    throw Exception(
        Format("Cannot write to \"%s\": %s", s.path.c_str(), SystemText(error).c_str()));
  }
  s.size += text.size();
}

void DurableFile::CutTo(uint64_t size) {
  State& s = *state_;
  if (Truncate(s.fd, size) != 0 || FlushToDisk(s.fd) != 0) {
    throw Exception(
        Format("Cannot write to \"%s\": %s", s.path.c_str(), SystemText(errno).c_str()));
  }
  s.size = size;
}

uint64_t DurableFile::Size() const { return state_->size; }

const std::string& DurableFile::Path() const { return state_->path; }

}  // namespace qor
