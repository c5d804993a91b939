#include "platform/WinsockErrorText.h"

#include <algorithm>
#include <iterator>

#ifndef _WIN32
#include <cerrno>
#endif

#include "platform/DatagramSocket.h"
#include "platform/Format.h"

namespace qor {
namespace {

struct ErrorText {
  int code;
  const char* text;
};

// Sorted by code.
constexpr ErrorText kTexts[] = {
    {6, "invalid event handle"},                             // WSA_INVALID_HANDLE
    {8, "insufficient memory"},                              // WSA_NOT_ENOUGH_MEMORY
    {87, "invalid parameter"},                               // WSA_INVALID_PARAMETER
    {995, "overlapped operation aborted"},                   // WSA_OPERATION_ABORTED
    {996, "IO incomplete"},                                  // WSA_IO_INCOMPLETE
    {997, "IO pending"},                                     // WSA_IO_PENDING
    {10004, "canceled with WSACancelBlockingCall"},          // WSAEINTR
    {10013, "broadcast address used without SO_BROADCAST"},  // WSAEACCES
    {10014, "illegal \"buf\" parameter"},                    // WSAEFAULT
    {10022, "unbound socket or improper flag"},              // WSAEINVAL
    {10024, "too many open files"},                          // WSAEMFILE
    {10035, "blocking operation on nonblocking socket"},     // WSAEWOULDBLOCK
    {10036, "blocking call in progress"},                    // WSAEINPROGRESS
    {10037, "operation already in progress"},                // WSAEALREADY
    {10038, "descriptor not a socket"},                      // WSAENOTSOCK
    {10039, "address omitted"},                              // WSAEDESTADDRREQ
    {10040, "message too large"},                            // WSAEMSGSIZE
    {10041, "wrong protocol type"},                          // WSAEPROTOTYPE
    {10042, "improper protocol option"},                     // WSAENOPROTOOPT
    {10043, "unsupported protocol"},                         // WSAEPROTONOSUPPORT
    {10044, "unsupported socket type"},                      // WSAESOCKTNOSUPPORT
    {10045, "MSG_OOB improperly specified"},                 // WSAEOPNOTSUPP
    {10046, "unsupported protocol family"},                  // WSAEPFNOSUPPORT
    {10047, "unsupported address family"},                   // WSAEAFNOSUPPORT
    {10048, "address already in use"},                       // WSAEADDRINUSE
    {10049, "unassignable address"},                         // WSAEADDRNOTAVAIL
    {10050, "network down"},                                 // WSAENETDOWN
    {10051, "network unreachable"},                          // WSAENETUNREACH
    {10052, "keep-alive failure"},                           // WSAENETRESET
    {10053, "connection aborted"},                           // WSAECONNABORTED
    {10054, "connection reset by peer"},                     // WSAECONNRESET
    {10055, "no buffer space available"},                    // WSAENOBUFS
    {10056, "socket already connected"},                     // WSAEISCONN
    {10057, "socket not connected"},                         // WSAENOTCONN
    {10058, "socket shut down"},                             // WSAESHUTDOWN
    {10060, "timed out"},                                    // WSAETIMEDOUT
    {10061, "connection refused"},                           // WSAECONNREFUSED
    {10064, "remote host down"},                             // WSAEHOSTDOWN
    {10065, "remote host unreachable"},                      // WSAEHOSTUNREACH
    {10067, "too many processes"},                           // WSAEPROCLIM
    {10091, "network subsystem unavailable"},                // WSASYSNOTREADY
    {10092, "improper winsock.dll version"},                 // WSAVERNOTSUPPORTED
    {10093, "not initialized with WSAStartup"},              // WSANOTINITIALISED
    {10101, "shutdown in progress"},                         // WSAEDISCON
    {10107, "system call failure"},                          // WSASYSCALLFAILURE
    {10109, "class type not found"},                         // WSATYPE_NOT_FOUND
    {11001, "host not found"},                               // WSAHOST_NOT_FOUND
    {11002, "nonauthoritative host not found"},              // WSATRY_AGAIN
    {11003, "nonrecoverable error"},                         // WSANO_RECOVERY
    {11004, "no data record"},                               // WSANO_DATA
};

static_assert(std::is_sorted(std::begin(kTexts), std::end(kTexts),
                             [](const ErrorText& a, const ErrorText& b) {
                               return a.code < b.code;
                             }));

}  // namespace

std::string WinsockErrorText(int code) {
  const auto* found =
      std::lower_bound(std::begin(kTexts), std::end(kTexts), code,
                       [](const ErrorText& entry, int wanted) { return entry.code < wanted; });
  if (found != std::end(kTexts) && found->code == code) return found->text;
  return Format("unknown error: 0x%x", static_cast<unsigned>(code));
}

#ifndef _WIN32
namespace {

struct ErrnoCode {
  int error;
  int code;
};

// Where POSIX and Windows Sockets name the same failure.
constexpr ErrnoCode kErrnoCodes[] = {
    {EINTR, wsa::kInterrupted},
    {EBADF, wsa::kNotSocket},
    {ENOTSOCK, wsa::kNotSocket},
    {EPERM, wsa::kAccess},
    {EACCES, wsa::kAccess},
    {EFAULT, wsa::kFault},
    {EINVAL, wsa::kInvalid},
    {EMFILE, wsa::kTooManyFiles},
    {ENFILE, wsa::kTooManyFiles},
    {EAGAIN, wsa::kWouldBlock},
    {EINPROGRESS, wsa::kInProgress},
    {EALREADY, wsa::kAlready},
    {EDESTADDRREQ, wsa::kDestinationRequired},
    {EMSGSIZE, wsa::kMessageSize},
    {EPROTOTYPE, wsa::kProtocolType},
    {ENOPROTOOPT, wsa::kNoProtocolOption},
    {EPROTONOSUPPORT, wsa::kProtocolNotSupported},
    {ESOCKTNOSUPPORT, wsa::kSocketTypeNotSupported},
    {EOPNOTSUPP, wsa::kOperationNotSupported},
    {EPFNOSUPPORT, wsa::kProtocolFamilyNotSupported},
    {EAFNOSUPPORT, wsa::kAddressFamilyNotSupported},
    {EADDRINUSE, wsa::kAddressInUse},
    {EADDRNOTAVAIL, wsa::kAddressNotAvailable},
    {ENETDOWN, wsa::kNetworkDown},
    {ENETUNREACH, wsa::kNetworkUnreachable},
    {ENETRESET, wsa::kNetworkReset},
    {ECONNABORTED, wsa::kConnectionAborted},
    {ECONNRESET, wsa::kConnectionReset},
    {ENOBUFS, wsa::kNoBuffers},
    {ENOMEM, wsa::kNotEnoughMemory},
    {EISCONN, wsa::kIsConnected},
    {ENOTCONN, wsa::kNotConnected},
    {EPIPE, wsa::kShutdown},
    {ESHUTDOWN, wsa::kShutdown},
    {ETIMEDOUT, wsa::kTimedOut},
    {ECONNREFUSED, wsa::kConnectionRefused},
    {EHOSTDOWN, wsa::kHostDown},
    {EHOSTUNREACH, wsa::kHostUnreachable},
};

}  // namespace
#endif

int WsaCodeFromErrno(int error) {
#ifdef _WIN32
  return error;
#else
  // EWOULDBLOCK is EAGAIN on the systems we build for; should it differ, it is the same failure.
  if (error == EWOULDBLOCK) return wsa::kWouldBlock;
  for (const ErrnoCode& entry : kErrnoCodes) {
    if (entry.error == error) return entry.code;
  }
  return wsa::kSystemCallFailure;
#endif
}

}  // namespace qor
