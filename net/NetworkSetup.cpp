#include "net/NetworkSetup.h"

#include <utility>
#include <vector>

#include "net/TargetNetwork.h"
#include "platform/NetworkAdapters.h"
#include "platform/UdpSocket.h"

namespace qor {

std::unique_ptr<TargetNetwork> NetworkSetup::Open(const SocketWrapper& wrap) const {
  // The adapter is chosen before any socket is made: a wrong name costs nothing.
  std::optional<NetworkInterface> chosen;
  if (!adapter.empty()) chosen = ChooseInterface(ListInterfaces(), adapter);
  auto socket = std::make_unique<UdpSocket>();
  TargetNetwork::BroadcastAddresses broadcasts;
  if (chosen) {
    socket->BindToInterface(*chosen);
    broadcasts = [addresses = TargetNetwork::BroadcastAddressesOf(*chosen)] { return addresses; };
  } else {
    broadcasts = TargetNetwork::EveryAdapter();
  }
  if (broadcast) broadcasts = [address = *broadcast] { return std::vector<uint32_t>{address}; };
  std::unique_ptr<DatagramSocket> used = wrap ? wrap(std::move(socket)) : std::move(socket);
  auto network = std::make_unique<TargetNetwork>(std::move(used), std::move(broadcasts));
  network->SetDiscoveryRange(range, rate);
  return network;
}

}  // namespace qor
