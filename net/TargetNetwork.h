#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/AddressRange.h"
#include "net/MacAddress.h"
#include "net/RangeSweep.h"
#include "net/TargetTable.h"
#include "net/Wire.h"

namespace qor {

class DatagramSocket;
struct DataBlock;

inline constexpr uint16_t kTargetPort = 5266;
inline constexpr uint32_t kLimitedBroadcast = 0xFFFFFFFF;
inline constexpr size_t kMaxDatagram = 1200;

// Told about every accepted DiscoverReply; the target list implements it.
class TargetListObserver {
 public:
  virtual ~TargetListObserver() = default;
  virtual void UpdateRow(Target& target) = 0;
};

struct NetworkAdapter;
struct NetworkInterface;

// The program's one UDP socket and the table of targets it has heard from.
class TargetNetwork {
 public:
  // Where a broadcast goes: asked at every broadcast, so that an adapter brought up while the
  // program runs is reached too.
  using BroadcastAddresses = std::function<std::vector<uint32_t>()>;

  // 255.255.255.255 and the directed broadcast address of every adapter that is up: a limited
  // broadcast leaves by one interface only, so targets behind the others would go unheard.
  [[nodiscard]] static BroadcastAddresses EveryAdapter();
  // The same for the given adapters, without repeats, the limited broadcast first.
  [[nodiscard]] static std::vector<uint32_t> BroadcastAddressesOf(
      const std::vector<NetworkAdapter>& adapters);

  // 255.255.255.255 and the subnet broadcasts of the one adapter (loopback's too: they reach
  // this machine's own sockets), for a socket that sends through it alone.
  [[nodiscard]] static std::vector<uint32_t> BroadcastAddressesOf(const NetworkInterface& adapter);

  // Opens a real socket: throws Exception with the failing step's text.
  explicit TargetNetwork(uint32_t broadcastAddress = kLimitedBroadcast);
  explicit TargetNetwork(BroadcastAddresses broadcasts);
  // Uses the given socket (tests).
  explicit TargetNetwork(std::unique_ptr<DatagramSocket> socket,
                         uint32_t broadcastAddress = kLimitedBroadcast);
  TargetNetwork(std::unique_ptr<DatagramSocket> socket, BroadcastAddresses broadcasts);
  ~TargetNetwork();
  TargetNetwork(const TargetNetwork&) = delete;
  TargetNetwork& operator=(const TargetNetwork&) = delete;

  // Sends one datagram to target's address, or to every broadcast address when target is null.
  // Throws Exception("Failed sendto: %s") or ("sendto sent only %d of %d bytes"); a broadcast
  // throws only when no address took it, with the first address's error.
  void Send(const uint8_t* message, size_t length, const Target* target);

  // From here on, requests to targets are held instead of sent, until SendHeld sends them all
  // together (with one system call where the platform has one). Broadcasts are never held.
  void HoldSends();
  // Sends the held requests in the order they were made and stops holding. A request that
  // cannot be sent is reported to failed with its target and the text Send would have thrown;
  // the others still go.
  void SendHeld(
      const std::function<void(const Target& target, const std::string& message)>& failed);

  // Dispatches every waiting datagram; never throws for socket errors.
  void Poll(TargetListObserver* observer = nullptr);
  // Called after a poll in which a reply reached a waiting context, so that whoever drives
  // that context can step it at once, whichever window's poll took the reply. One listener;
  // nullptr for none.
  void SetReplyListener(std::function<void()> listener);

  // The targets whose waiting request took a reply or progress since the last call (a target
  // as often as it did), swapped into answered; false when they cannot all be told (more came
  // than the list holds, or the table was emptied meanwhile): then any target may have. Lets
  // whoever drives many runs step only those a reply moved on.
  bool TakeAnswered(std::vector<Target*>& answered);

  // Waits until a datagram is waiting or timeoutMs passes, then polls: on Linux the wait is the
  // first receive's own, one system call for both.
  void PollWaiting(int timeoutMs, TargetListObserver* observer = nullptr);

  // Empties the table and broadcasts a DiscoverRequest. A failed send goes to the discovery
  // error handler (the GUI's message box, the CLI's stderr) and Discover returns normally;
  // without a handler the Exception propagates, so the failure is never lost.
  void Discover();
  // Broadcasts a DiscoverRequest and keeps the table, so that the targets already listed answer
  // into their own entries (after an address assignment, say). Failures go where Discover's go.
  void Rediscover();
  void SetDiscoverErrorHandler(std::function<void(const std::string& message)> handler);

  // Besides its broadcast, every Discover and Rediscover sends the DiscoverRequest to each
  // address of range by unicast, at most rate a second, paced on the tick count: each Poll
  // sends what has come due (and PollFor wakes for it), so answers keep being taken in while
  // the range is swept. Targets answer the sender, so those behind a router, which no
  // broadcast crosses, are heard too. A send that fails is counted in Sweep(), never thrown.
  // nullopt: broadcasts alone, as before.
  void SetDiscoveryRange(std::optional<AddressRange> range,
                         uint32_t rate = RangeSweep::kDefaultRate);
  // Where the last discovery's sweep stands; nothing without a range.
  [[nodiscard]] std::optional<SweepReport> Sweep() const;
  // Ends the sweep where it stands (the target sought has answered, say).
  void StopSweep();

  // Broadcasts a DiscoverRequest again, keeping the table: answers merge by MAC. Throws the
  // Exception of Send.
  void RepeatDiscoverRequest();

  // Waits until a datagram is waiting or timeoutMs passes.
  bool WaitReadable(int timeoutMs);
  // The socket's handle for a window system to watch for datagrams; -1 when there is none.
  [[nodiscard]] intptr_t SocketHandle() const;
  // Polls, sleeping on the socket in between, until milliseconds have passed on the tick count
  // or, after a poll, done() says so.
  void PollFor(uint32_t milliseconds, TargetListObserver* observer = nullptr,
               const std::function<bool()>& done = {});
  void Close();

  [[nodiscard]] TargetTable& Table();
  // Where a broadcast would go now.
  [[nodiscard]] std::vector<uint32_t> BroadcastAddressList() const;

  // One sender per request type; each throws the Exception of Send.
  // Broadcast; with at, to that target's current address instead.
  void SendAssignAddressRequest(const MacAddress& mac, uint32_t newAddress,
                                const Target* at = nullptr);
  void SendFillRequest(const Target& target, uint32_t requestId, uint32_t length);
  void SendDataRequest(const Target& target, uint32_t requestId, uint32_t offset,
                       const DataBlock& block);
  void SendDataRequest(const Target& target, uint32_t requestId, uint32_t offset,
                       std::span<const uint8_t> data);
  void SendWriteRequest(const Target& target, uint32_t requestId, uint32_t address, uint32_t length,
                        uint32_t crc);
  void SendReadRequest(const Target& target, uint32_t requestId, uint32_t address, uint32_t length);
  void SendRestartRequest(const Target& target, uint32_t requestId);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qor
