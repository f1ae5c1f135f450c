#include "platform/quic/QUICSocket.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>

#include "platform/net/DatagramBatch.h"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace brindlet::platform {

namespace {
constexpr std::size_t kReceiveBufferSize = 65536;  // a slot: the largest datagram or coalesced run
constexpr int kReceiveSlots = 8;
constexpr int kDatagramsPerBurst = 256;
constexpr int kSocketBufferSize = 8 * 1024 * 1024;

// Asks the kernel to hand over runs of datagrams from one sender as one buffer (split again
// by the segment size it reports); kernels without it deliver datagrams one by one.
void enableReceiveCoalescing(int fd) {
  int on = 1;
  setsockopt(fd, SOL_UDP, UDP_GRO, &on, sizeof on);
}

void enlargeBuffers(int fd) {
  int size = kSocketBufferSize;
  // Root may go past the system's cap; everyone else gets what the cap allows.
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
}
}  // namespace

std::shared_ptr<QUICSocket> QUICSocket::open(Strand strand, const asio::ip::udp::endpoint& local,
                                             const asio::ip::udp::endpoint* remote, std::error_code& error) {
  asio::ip::udp::socket socket(strand);
  socket.open(local.protocol(), error);
  if (error) return nullptr;
  socket.bind(local, error);
  if (error) return nullptr;
  if (remote) {
    socket.connect(*remote, error);
    if (error) return nullptr;
  }
  socket.non_blocking(true, error);
  if (error) return nullptr;
  enlargeBuffers(socket.native_handle());
  enableReceiveCoalescing(socket.native_handle());
  return std::make_shared<QUICSocket>(strand, std::move(socket));
}

QUICSocket::QUICSocket(Strand strand, asio::ip::udp::socket socket)
    : strand_(strand), socket_(std::move(socket)), receiveBuffer_(kReceiveBufferSize * kReceiveSlots) {
  std::error_code ignored;
  local_ = socket_.local_endpoint(ignored);
}

QUICSocket::~QUICSocket() = default;

void QUICSocket::startReceiving(DatagramHandler onDatagram, BurstEndHandler onBurstEnd, ErrorHandler onError) {
  onDatagram_ = std::move(onDatagram);
  onBurstEnd_ = std::move(onBurstEnd);
  onError_ = std::move(onError);
  waitReadable();
}

void QUICSocket::waitReadable() {
  if (closed_) return;
  // Armed once the socket has been found empty. Arming a wait asks the kernel afresh whether
  // the socket is readable, so a datagram that came after the last read completes it; armed
  // before draining, the datagram being drained would complete it too, for nothing.
  socket_.async_wait(asio::ip::udp::socket::wait_read,
                     asio::bind_executor(strand_, [self = shared_from_this()](std::error_code error) {
                       if (error || self->closed_) return;
                       self->drain();
                     }));
}

void QUICSocket::drain() {
  auto keep = shared_from_this();
  // Several datagrams (or coalesced runs of them) a call: one call empties a quiet socket,
  // and a call that fills fewer slots than it offered has found the socket empty.
  sockaddr_storage from[kReceiveSlots];
  alignas(cmsghdr) char control[kReceiveSlots][CMSG_SPACE(sizeof(int))];
  iovec vectors[kReceiveSlots];
  mmsghdr messages[kReceiveSlots];
  bool burstFull = true;
  for (int call = 0; call < kDatagramsPerBurst / kReceiveSlots && !closed_; ++call) {
    for (int i = 0; i < kReceiveSlots; ++i) {
      vectors[i] = {receiveBuffer_.data() + std::size_t(i) * kReceiveBufferSize, kReceiveBufferSize};
      messages[i] = {};
      messages[i].msg_hdr.msg_name = &from[i];
      messages[i].msg_hdr.msg_namelen = sizeof from[i];
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
      messages[i].msg_hdr.msg_control = control[i];
      messages[i].msg_hdr.msg_controllen = sizeof control[i];
    }
    int count = ::recvmmsg(socket_.native_handle(), messages, kReceiveSlots, MSG_DONTWAIT, nullptr);
    if (count < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        burstFull = false;
        break;
      }
      if (errno == EINTR) continue;
      if (onError_) onError_(std::error_code(errno, std::system_category()));
      continue;
    }
    for (int i = 0; i < count && !closed_; ++i) {
      const msghdr& message = messages[i].msg_hdr;
      const std::size_t n = messages[i].msg_len;
      std::size_t segment = n;
      for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
           header = CMSG_NXTHDR(const_cast<msghdr*>(&message), header)) {
        if (header->cmsg_level == SOL_UDP && header->cmsg_type == UDP_GRO) {
          int size = 0;
          std::memcpy(&size, CMSG_DATA(header), sizeof size);
          if (size > 0) segment = static_cast<std::size_t>(size);
        }
      }
      asio::ip::udp::endpoint sender;
      std::memcpy(sender.data(), &from[i], std::min<std::size_t>(message.msg_namelen, sizeof(sockaddr_storage)));
      sender.resize(message.msg_namelen);
      // One datagram, or a run of them coalesced by the kernel: each segment is one datagram.
      const std::uint8_t* data = static_cast<const std::uint8_t*>(vectors[i].iov_base);
      for (std::size_t offset = 0; offset < n && onDatagram_ && !closed_; offset += segment) {
        onDatagram_(data + offset, std::min(segment, n - offset), sender);
      }
    }
    if (count < kReceiveSlots) {
      burstFull = false;
      break;
    }
  }
  if (onBurstEnd_ && !closed_) onBurstEnd_();
  if (closed_) return;
  if (burstFull) {
    // More may wait; let other work of the strand run first.
    asio::post(strand_, [self = shared_from_this()] {
      if (!self->closed_) self->drain();
    });
  } else {
    waitReadable();
  }
}

QUICSocket::SendResult QUICSocket::sendOne(const std::uint8_t* data, std::size_t size, std::size_t segment,
                                           const asio::ip::udp::endpoint* to, bool segmented) {
  iovec vector{const_cast<std::uint8_t*>(data), size};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  if (to) {
    message.msg_name = const_cast<sockaddr*>(to->data());
    message.msg_namelen = static_cast<socklen_t>(to->size());
  }
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint16_t))] = {};
  if (segmented) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_UDP;
    header->cmsg_type = UDP_SEGMENT;
    header->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    std::uint16_t segmentSize = static_cast<std::uint16_t>(segment);
    std::memcpy(CMSG_DATA(header), &segmentSize, sizeof segmentSize);
  }
  for (;;) {
    ssize_t n = ::sendmsg(socket_.native_handle(), &message, MSG_DONTWAIT);
    if (n >= 0) return {size, {}};
    if (errno == EINTR) continue;
    return {0, std::error_code(errno, std::system_category())};
  }
}

QUICSocket::SendResult QUICSocket::send(const std::uint8_t* data, std::size_t size, std::size_t segment,
                                        const asio::ip::udp::endpoint* to) {
  if (closed_) return {0, asio::error::bad_descriptor};
  if (segmentation_ && size > segment) {
    SendResult result = sendOne(data, size, segment, to, true);
    if (!result.error) return result;
    if (!segmentationRefused(result.error.value())) return {0, result.error};
    segmentation_ = false;  // the kernel or the device refuses segmentation offload
  }
  std::size_t sent = 0;
  while (sent < size) {
    std::size_t length = std::min(segment, size - sent);
    SendResult result = sendOne(data + sent, length, segment, to, false);
    if (result.error) return {sent, result.error};
    sent += length;
  }
  return {sent, {}};
}

void QUICSocket::whenWritable(std::function<void()> then) {
  if (closed_) return;
  socket_.async_wait(asio::ip::udp::socket::wait_write,
                     asio::bind_executor(strand_, [self = shared_from_this(), then](std::error_code error) {
                       if (error || self->closed_) return;
                       then();
                     }));
  // The socket may have drained before the wait was armed, and then no change would complete
  // it: look once now as well (a second call of `then` only writes again).
  pollfd descriptor{socket_.native_handle(), POLLOUT, 0};
  if (::poll(&descriptor, 1, 0) == 1 && (descriptor.revents & POLLOUT)) {
    asio::post(strand_, [self = shared_from_this(), then] {
      if (!self->closed_) then();
    });
  }
}

void QUICSocket::close() {
  if (closed_) return;
  closed_ = true;
  std::error_code ignored;
  socket_.cancel(ignored);
  socket_.close(ignored);
  // The owner may close the socket from inside one of these handlers: they are let go of
  // once it has returned.
  asio::post(strand_,
             [datagram = std::move(onDatagram_), burstEnd = std::move(onBurstEnd_), error = std::move(onError_)] {});
  onDatagram_ = nullptr;
  onBurstEnd_ = nullptr;
  onError_ = nullptr;
}

}  // namespace brindlet::platform
