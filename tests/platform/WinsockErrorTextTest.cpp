#include <gtest/gtest.h>

#include <cerrno>
#include <set>

#include "platform/DatagramSocket.h"
#include "platform/UdpSocket.h"
#include "platform/WinsockErrorText.h"

namespace qor {
namespace {

TEST(WinsockErrorTextTest, KnownCodesGiveTheirTexts) {
  EXPECT_EQ(WinsockErrorText(6), "invalid event handle");
  EXPECT_EQ(WinsockErrorText(997), "IO pending");
  EXPECT_EQ(WinsockErrorText(10013), "broadcast address used without SO_BROADCAST");
  EXPECT_EQ(WinsockErrorText(10014), "illegal \"buf\" parameter");
  EXPECT_EQ(WinsockErrorText(10035), "blocking operation on nonblocking socket");
  EXPECT_EQ(WinsockErrorText(10040), "message too large");
  EXPECT_EQ(WinsockErrorText(10045), "MSG_OOB improperly specified");
  EXPECT_EQ(WinsockErrorText(10051), "network unreachable");
  EXPECT_EQ(WinsockErrorText(10092), "improper winsock.dll version");
  EXPECT_EQ(WinsockErrorText(10093), "not initialized with WSAStartup");
  EXPECT_EQ(WinsockErrorText(11004), "no data record");
}

TEST(WinsockErrorTextTest, EveryCodeOfTheTableHasItsOwnText) {
  const int codes[] = {6,     8,     87,    995,   996,   997,   10004, 10013, 10014, 10022,
                       10024, 10035, 10036, 10037, 10038, 10039, 10040, 10041, 10042, 10043,
                       10044, 10045, 10046, 10047, 10048, 10049, 10050, 10051, 10052, 10053,
                       10054, 10055, 10056, 10057, 10058, 10060, 10061, 10064, 10065, 10067,
                       10091, 10092, 10093, 10101, 10107, 10109, 11001, 11002, 11003, 11004};
  std::set<std::string> texts;
  for (const int code : codes) {
    const std::string text = WinsockErrorText(code);
    EXPECT_EQ(text.find("unknown error"), std::string::npos) << code;
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), std::size(codes));
}

TEST(WinsockErrorTextTest, OtherCodesAreUnknownInLowerCaseHexadecimal) {
  EXPECT_EQ(WinsockErrorText(10059), "unknown error: 0x274b");
  EXPECT_EQ(WinsockErrorText(0), "unknown error: 0x0");
  EXPECT_EQ(WinsockErrorText(10005), "unknown error: 0x2715");
  EXPECT_EQ(WinsockErrorText(-1), "unknown error: 0xffffffff");
}

TEST(WinsockErrorTextTest, PosixErrorsMapToWindowsSocketsCodes) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows Sockets report their own codes";
#endif
  EXPECT_EQ(WsaCodeFromErrno(EWOULDBLOCK), wsa::kWouldBlock);
  EXPECT_EQ(WsaCodeFromErrno(EAGAIN), wsa::kWouldBlock);
  EXPECT_EQ(WsaCodeFromErrno(ENETUNREACH), wsa::kNetworkUnreachable);
  EXPECT_EQ(WsaCodeFromErrno(EMSGSIZE), wsa::kMessageSize);
  EXPECT_EQ(WsaCodeFromErrno(EACCES), wsa::kAccess);
  EXPECT_EQ(WsaCodeFromErrno(EADDRINUSE), wsa::kAddressInUse);
  EXPECT_EQ(WsaCodeFromErrno(EADDRNOTAVAIL), wsa::kAddressNotAvailable);
  EXPECT_EQ(WsaCodeFromErrno(ENOBUFS), wsa::kNoBuffers);
  EXPECT_EQ(WsaCodeFromErrno(EBADF), wsa::kNotSocket);
  EXPECT_EQ(WsaCodeFromErrno(ENOTSOCK), wsa::kNotSocket);
  EXPECT_EQ(WsaCodeFromErrno(EINVAL), wsa::kInvalid);
  EXPECT_EQ(WsaCodeFromErrno(EMFILE), wsa::kTooManyFiles);
  EXPECT_EQ(WsaCodeFromErrno(EHOSTUNREACH), wsa::kHostUnreachable);
  EXPECT_EQ(WsaCodeFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WsaCodeFromErrno(EINTR), wsa::kInterrupted);
  // Without a counterpart: a known text rather than a misleading one.
  EXPECT_EQ(WinsockErrorText(WsaCodeFromErrno(EIO)), "system call failure");
  EXPECT_EQ(WinsockErrorText(WsaCodeFromErrno(ENXIO)), "system call failure");
}

}  // namespace
}  // namespace qor
