#include "platform/net/Datagram.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace brindlet::platform {

std::optional<ReceivedDatagram> receiveDatagram(asio::ip::udp::socket& socket, std::span<std::uint8_t> buffer,
                                                asio::error_code& error) {
  error.clear();
  ReceivedDatagram datagram;
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  // MSG_TRUNC makes recvfrom return the datagram's real length even when the buffer is smaller.
  ssize_t size = ::recvfrom(socket.native_handle(), buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT,
                            reinterpret_cast<sockaddr*>(&address), &length);
  if (size < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) error = asio::error_code(errno, asio::error::get_system_category());
    return std::nullopt;
  }
  datagram.truncated = static_cast<std::size_t>(size) > buffer.size();
  datagram.size = datagram.truncated ? buffer.size() : static_cast<std::size_t>(size);
  if (length <= datagram.sender.capacity()) {
    datagram.sender.resize(length);
    std::memcpy(datagram.sender.data(), &address, length);
  }
  return datagram;
}

}  // namespace brindlet::platform
