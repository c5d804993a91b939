#pragma once

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/common/TempFiles.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/WideText.h"
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace qor::test {

// How a test runs a program of ours, as a user would from a console.
struct ProgramOptions {
  std::string folder = ".";          // its working folder
  double interruptAfterSeconds = 0;  // then Ctrl-C (0: never)
  double killAfterSeconds = 60;      // then it is killed, and the status is 124
  size_t addressSpaceLimit = 0;      // bytes (0: none); honoured on POSIX only
  // Variables set for it, beside those it inherits; honoured on POSIX only.
  std::vector<std::pair<std::string, std::string>> environment;
};

struct ProgramRun {
  int status = -1;
  std::string out;  // line ends as LF, whatever the system wrote
  std::string err;
};

namespace detail {

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  std::string bytes = text.str();
  std::string lines;
  lines.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    lines.push_back(bytes[i]);
  }
  return lines;
}

#ifdef _WIN32
// The program's paths are those of the build machine: wine reaches them through drive Z:.
inline std::string SystemPath(const std::string& path) {
  return !path.empty() && path[0] == '/' ? "Z:" + path : path;
}

// One argument as the C runtime's command-line parser reads it back.
inline std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
    } else if (c == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
      backslashes = 0;
    } else {
      backslashes = 0;
    }
    quoted.push_back(c);
  }
  quoted.append(backslashes, L'\\');
  return quoted + L"\"";
}

inline HANDLE InheritableFile(const std::string& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(WidenText(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}
#endif

}  // namespace detail

// Runs program with arguments, standard input empty, and collects its exit status and both
// streams.
inline ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                             const ProgramOptions& options = {}) {
  const TempFiles streams;
  const std::string outPath = streams.Folder() + "/out";
  const std::string errPath = streams.Folder() + "/err";
  ProgramRun run;
  const auto started = std::chrono::steady_clock::now();
  const auto elapsed = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
#ifdef _WIN32
  std::wstring line = detail::QuoteArgument(WidenText(detail::SystemPath(program)));
  for (const std::string& argument : arguments) {
    line += L" " + detail::QuoteArgument(WidenText(argument));
  }
  HANDLE in = detail::InheritableFile("NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = detail::InheritableFile(outPath, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = detail::InheritableFile(errPath, GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  const std::wstring folder = WidenText(detail::SystemPath(options.folder));
  // A console of its own to be interrupted through, when it is to be.
  const DWORD flags = options.interruptAfterSeconds > 0 ? CREATE_NEW_CONSOLE : 0;
  const bool started_ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags,
                                         nullptr, folder.c_str(), &startup, &process) != 0;
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  if (!started_ok) return run;
  bool interrupted = false;
  for (;;) {
    if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0) break;
    if (!interrupted && options.interruptAfterSeconds > 0 &&
        elapsed() >= options.interruptAfterSeconds) {
      // Ctrl-C is pressed in the program's console, with this program ignoring it meanwhile.
      FreeConsole();
      if (AttachConsole(process.dwProcessId)) {
        SetConsoleCtrlHandler(nullptr, TRUE);
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        FreeConsole();
        SetConsoleCtrlHandler(nullptr, FALSE);
      }
      interrupted = true;
    }
    if (elapsed() >= options.killAfterSeconds) {
      TerminateProcess(process.hProcess, 124);
      WaitForSingleObject(process.hProcess, INFINITE);
      break;
    }
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  run.status = static_cast<int>(code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
#else
  const pid_t child = fork();
  if (child < 0) return run;
  if (child == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        chdir(options.folder.c_str()) != 0) {
      _exit(127);
    }
    for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
    if (options.addressSpaceLimit > 0) {
      const rlimit limit{options.addressSpaceLimit, options.addressSpaceLimit};
      setrlimit(RLIMIT_AS, &limit);
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  bool interrupted = false;
  bool killed = false;
  int raw = 0;
  while (waitpid(child, &raw, WNOHANG) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!interrupted && options.interruptAfterSeconds > 0 &&
        elapsed() >= options.interruptAfterSeconds) {
      kill(child, SIGINT);
      interrupted = true;
    }
    if (!killed && elapsed() >= options.killAfterSeconds) {
      kill(child, SIGKILL);
      killed = true;
    }
  }
  run.status = killed ? 124 : WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
  run.out = detail::ReadWhole(outPath);
  run.err = detail::ReadWhole(errPath);
  return run;
}

}  // namespace qor::test
