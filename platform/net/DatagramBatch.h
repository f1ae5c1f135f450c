#pragma once

// Many datagrams a system call on a non-blocking UDP socket: a receiver that reads what waits
// into slots of its own (recvmmsg), and a sender that gathers copies of datagrams and sends them
// together (sendmmsg). A datagram larger than its slot is reported as truncated, never handed on
// cut.
//
//   DatagramReceiver receiver(64, 2048);                 // or (8, 2048, true) after enableReceiveCoalescing
//   asio::error_code error;
//   std::size_t count = receiver.receive(socket, error);
//   for (std::size_t i = 0; i < count; ++i)
//     if (!receiver.datagram(i).truncated) use(receiver.bytes(i), receiver.datagram(i).sender);
//
//   DatagramSender sender(64, 2048);
//   sender.add(header, payload);          // to the socket's connected peer, or add(..., &to)
//   sender.flush(socket);                 // everything gathered goes out; the batch is empty again

#include <cstddef>
#include <cstdint>
#include <memory>

#include <asio/ip/udp.hpp>

#include "base/Bytes.h"
#include "platform/net/Datagram.h"

namespace brindlet::platform {

// Lets the kernel join runs of same-sized datagrams from one sender into one read (UDP GRO);
// a receiver made to split them again reads such a socket. Kernels without it do not join.
void enableReceiveCoalescing(asio::ip::udp::socket& socket);

// Whether a segmented send failed with `error` because the kernel or the device will not
// segment it (no checksum offload, segments larger than the route's MTU, too many segments),
// rather than for want of room or a route: the same datagrams then go out one at a time.
bool segmentationRefused(int error);

class DatagramReceiver {
 public:
  // Reads up to `capacity` messages a call; a datagram larger than `maxDatagram` is reported
  // as truncated. `coalesce`: each message may be a joined run (64 KiB a message).
  DatagramReceiver(std::size_t capacity, std::size_t maxDatagram, bool coalesce = false);
  ~DatagramReceiver();
  DatagramReceiver(const DatagramReceiver&) = delete;
  DatagramReceiver& operator=(const DatagramReceiver&) = delete;

  // Reads the datagrams waiting, at most the capacity of messages. How many datagrams: 0 when
  // none waited (error clear) or the call failed (error set).
  std::size_t receive(asio::ip::udp::socket& socket, asio::error_code& error);
  // Whether the last receive filled every message: more may wait.
  bool more() const;
  // The i-th datagram of the last receive, and its bytes (as many as the slot holds).
  const ReceivedDatagram& datagram(std::size_t i) const;
  ByteView bytes(std::size_t i) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

class DatagramSender {
 public:
  DatagramSender(std::size_t capacity, std::size_t slotSize);
  ~DatagramSender();
  DatagramSender(const DatagramSender&) = delete;
  DatagramSender& operator=(const DatagramSender&) = delete;

  // Copies `head` then `body` as one datagram, to `to` (nothing: the socket's connected peer).
  // False, and nothing added, when the batch is full or the datagram larger than a slot.
  bool add(ByteView head, ByteView body, const asio::ip::udp::endpoint* to = nullptr);
  bool empty() const;
  bool full() const;
  // Sends every gathered datagram in order, in as few calls as the socket takes; one the
  // socket refuses is dropped (as a datagram lost on the way would be). The batch is emptied.
  void flush(asio::ip::udp::socket& socket);
  // Empties the batch without sending.
  void clear();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace brindlet::platform
