#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/CQORApp.h"
#include "net/MacAddress.h"
#include "net/TargetNetwork.h"
#include "platform/Exception.h"
#include "platform/TickCount.h"
#include "res/ResourceIds.h"
#include "tests/common/FakeDatagramSocket.h"
#include "tests/common/TempFiles.h"
#include "ui/headless/HeadlessDesktop.h"
#include "ui/headless/HeadlessDialog.h"
#include "ui/headless/HeadlessList.h"

namespace qor::test {

using headless::HeadlessDesktop;
using headless::HeadlessDialog;
using headless::HeadlessError;
using headless::HeadlessList;

inline void Put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
  bytes[at] = static_cast<uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<uint8_t>(value);
}

inline void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

inline uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = (value << 8) | bytes.at(at + i);
  return value;
}

inline uint16_t Get16(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint16_t>((bytes.at(at) << 8) | bytes.at(at + 1));
}

inline MacAddress Mac(uint8_t last) { return {{0x00, 0x1a, 0x2b, 0x3c, 0x4d, last}}; }

inline std::vector<uint8_t> Header(uint16_t type, const MacAddress& mac, size_t length) {
  std::vector<uint8_t> bytes(length, 0);
  Put16(bytes, 0, 1);
  Put16(bytes, 2, type);
  std::copy(mac.bytes.begin(), mac.bytes.end(), bytes.begin() + 4);
  return bytes;
}

inline std::vector<uint8_t> DiscoverReply(const MacAddress& mac, uint32_t address, uint16_t vendor,
                                          uint16_t product, uint32_t stagingSize = 0x10000) {
  auto bytes = Header(kDiscoverReply, mac, 24);
  Put32(bytes, 12, address);
  Put16(bytes, 16, vendor);
  Put16(bytes, 18, product);
  Put32(bytes, 20, stagingSize);
  return bytes;
}

inline std::vector<uint8_t> FinalReply(const MacAddress& mac, uint32_t requestId,
                                       uint32_t status = 0) {
  auto bytes = Header(kFinalReply, mac, 20);
  Put32(bytes, 12, requestId);
  Put32(bytes, 16, status);
  return bytes;
}

// A fresh folder for one test's scripts, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    static std::atomic<int> serial{0};
    folder_ = std::filesystem::temp_directory_path() /
              ("qor-ui-" + std::to_string(ProcessTag()) + "-" + std::to_string(serial++));
    std::filesystem::create_directories(folder_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::string Write(const std::string& name, const std::string& bytes) const {
    const auto path = folder_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }
  [[nodiscard]] std::string Path() const { return folder_.string(); }

 private:
  std::filesystem::path folder_;
};

// Records into the desktop's event log when the network's socket is closed and destroyed, so a
// test sees teardown in order with the windows.
class LoggingSocket final : public DatagramSocket {
 public:
  LoggingSocket(FakeDatagramSocket& fake, HeadlessDesktop& desktop)
      : fake_(fake), desktop_(desktop) {}
  ~LoggingSocket() override { desktop_.Log("socket destroyed"); }
  int SendTo(const uint8_t* data, size_t length, uint32_t address, uint16_t port) override {
    return fake_.SendTo(data, length, address, port);
  }
  int ReceiveFrom(uint8_t* buffer, size_t capacity, uint32_t& address, uint16_t& port) override {
    return fake_.ReceiveFrom(buffer, capacity, address, port);
  }
  int LastError() const override { return fake_.LastError(); }
  bool WaitReadable(int timeoutMs) override { return fake_.WaitReadable(timeoutMs); }
  intptr_t NativeHandle() const override { return fake_.NativeHandle(); }
  void Close() override {
    desktop_.Log("socket closed");
    fake_.Close();
  }

 private:
  FakeDatagramSocket& fake_;
  HeadlessDesktop& desktop_;
};

// The program on the headless desktop, over a fake socket, with the scripts of a temporary
// folder as its catalogue. Tests queue the operator's steps, then Run().
class AppTest : public ::testing::Test {
 protected:
  static constexpr uint16_t kVendor = 0x1234;
  static constexpr uint16_t kProduct = 0x0001;
  static constexpr uint32_t kTargetAddress = 0x7F000014;  // 127.0.0.20

  HeadlessDesktop desktop;
  ui::ScopedWindowSystem installed{desktop};
  FakeTickSource clock{1000};
  ScopedTickSource scopedClock{clock};
  TempFolder folder;
  FakeDatagramSocket socket;  // outlives the network, so tests can read it afterwards
  bool failSocketSupport = false;
  bool failOpenNetwork = false;
  std::vector<std::string> keyFolders;  // of the keys trusted to sign scripts; none by default

  CQORApp::Platform TestPlatform() {
    return {
        [this] {
          desktop.Log("sockets");
          return !failSocketSupport;
        },
        [this]() -> std::optional<std::string> { return folder.Path(); },
        [this] {
          if (failOpenNetwork) throw Exception("Failed to create socket: too many open files");
          return std::make_unique<TargetNetwork>(std::make_unique<LoggingSocket>(socket, desktop));
        },
        [](const std::string& programFolder) { return std::vector<std::string>{programFolder}; },
        [this](const std::string&) { return keyFolders; }};
  }

  // Runs the program to its end; returns the exit code.
  int Run() { return Run(TestPlatform()); }
  int Run(CQORApp::Platform platform) {
    CQORApp app(std::move(platform));
    try {
      EXPECT_FALSE(app.InitInstance());
    } catch (const HeadlessError& e) {
      ADD_FAILURE() << "operator: " << e.Message();
    }
    EXPECT_EQ(desktop.PendingActions(), 0u) << "the program ended before the operator was done";
    return app.ExitCode();
  }

  // Operator steps.
  void Then(HeadlessDesktop::Action action) { desktop.Then(std::move(action)); }
  void ThenTick() {
    Then([this](HeadlessDesktop& d) {
      clock.Advance(20);
      d.FireTimers();
    });
  }
  void ThenAnnounce(const MacAddress& mac, uint32_t address, uint16_t vendor = kVendor,
                    uint16_t product = kProduct, uint32_t staging = 0x10000) {
    Then([=, this](HeadlessDesktop&) {
      socket.Deliver(DiscoverReply(mac, address, vendor, product, staging));
    });
    ThenTick();
  }
  void ThenQuit() {
    Then([](HeadlessDesktop& d) { d.Dialog(kIddQorDialog).Click(kIdCancel); });
  }

  HeadlessList& List() { return desktop.Dialog(kIddQorDialog).List(kIdcTargetList); }

  // The requests sent so far with their type.
  std::vector<FakeDatagramSocket::Datagram> Sent(uint16_t type) const {
    std::vector<FakeDatagramSocket::Datagram> found;
    for (const auto& datagram : socket.sent) {
      if (datagram.bytes.size() >= 4 && Get16(datagram.bytes, 2) == type) found.push_back(datagram);
    }
    return found;
  }

  // Answers the last request sent with a FinalReply carrying its request id.
  void ReplyToLast(const MacAddress& mac, uint32_t status = 0) {
    ASSERT_FALSE(socket.sent.empty());
    socket.Deliver(FinalReply(mac, Get32(socket.sent.back().bytes, 12), status));
  }
};

}  // namespace qor::test
