#include "kit/transport/Connection.h"

namespace brindlet {

AsyncStream<AudioPacket> Connection::audioPackets() {
  AsyncStream<AudioPacket> ended;
  ended.finish();
  return ended;
}

asio::awaitable<bool> Connection::sendTransfer(Message message) {
  send(message);
  co_return true;
}

}  // namespace brindlet
