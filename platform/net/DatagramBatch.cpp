#include "platform/net/DatagramBatch.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace brindlet::platform {

struct DatagramReceiver::Impl {
  std::size_t slotSize;
  std::vector<std::uint8_t> storage;
  std::vector<iovec> pieces;
  std::vector<sockaddr_storage> addresses;
  std::vector<mmsghdr> headers;
  std::vector<ReceivedDatagram> received;
};

DatagramReceiver::DatagramReceiver(std::size_t capacity, std::size_t slotSize) : impl_(std::make_unique<Impl>()) {
  impl_->slotSize = slotSize;
  impl_->storage.resize(capacity * slotSize);
  impl_->pieces.resize(capacity);
  impl_->addresses.resize(capacity);
  impl_->headers.resize(capacity);
  impl_->received.resize(capacity);
}

DatagramReceiver::~DatagramReceiver() = default;

std::size_t DatagramReceiver::receive(asio::ip::udp::socket& socket, asio::error_code& error) {
  error.clear();
  Impl& d = *impl_;
  for (std::size_t i = 0; i < d.headers.size(); ++i) {
    d.pieces[i] = {d.storage.data() + i * d.slotSize, d.slotSize};
    d.headers[i] = {};
    d.headers[i].msg_hdr.msg_iov = &d.pieces[i];
    d.headers[i].msg_hdr.msg_iovlen = 1;
    d.headers[i].msg_hdr.msg_name = &d.addresses[i];
    d.headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
  }
  int count = ::recvmmsg(socket.native_handle(), d.headers.data(), static_cast<unsigned>(d.headers.size()),
                         MSG_DONTWAIT, nullptr);
  if (count < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) error = asio::error_code(errno, asio::error::get_system_category());
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    const mmsghdr& header = d.headers[static_cast<std::size_t>(i)];
    ReceivedDatagram& datagram = d.received[static_cast<std::size_t>(i)];
    // A datagram cut to fit its slot says so in its flags (its length is then the slot's).
    datagram.truncated = (header.msg_hdr.msg_flags & MSG_TRUNC) != 0;
    datagram.size = header.msg_len;
    datagram.sender = {};
    if (header.msg_hdr.msg_namelen <= datagram.sender.capacity()) {
      datagram.sender.resize(header.msg_hdr.msg_namelen);
      std::memcpy(datagram.sender.data(), &d.addresses[static_cast<std::size_t>(i)], header.msg_hdr.msg_namelen);
    }
  }
  return static_cast<std::size_t>(count);
}

const ReceivedDatagram& DatagramReceiver::datagram(std::size_t i) const { return impl_->received.at(i); }

ByteView DatagramReceiver::bytes(std::size_t i) const {
  return ByteView(impl_->storage.data() + i * impl_->slotSize, impl_->received.at(i).size);
}

struct DatagramSender::Impl {
  std::size_t slotSize;
  std::size_t count = 0;
  std::vector<std::uint8_t> storage;
  std::vector<iovec> pieces;
  std::vector<asio::ip::udp::endpoint> targets;
  std::vector<mmsghdr> headers;
};

DatagramSender::DatagramSender(std::size_t capacity, std::size_t slotSize) : impl_(std::make_unique<Impl>()) {
  impl_->slotSize = slotSize;
  impl_->storage.resize(capacity * slotSize);
  impl_->pieces.resize(capacity);
  impl_->targets.resize(capacity);
  impl_->headers.resize(capacity);
}

DatagramSender::~DatagramSender() = default;

bool DatagramSender::add(ByteView head, ByteView body, const asio::ip::udp::endpoint* to) {
  Impl& d = *impl_;
  if (d.count == d.headers.size() || head.size() + body.size() > d.slotSize) return false;
  std::uint8_t* slot = d.storage.data() + d.count * d.slotSize;
  if (!head.empty()) std::memcpy(slot, head.data(), head.size());
  if (!body.empty()) std::memcpy(slot + head.size(), body.data(), body.size());
  d.pieces[d.count] = {slot, head.size() + body.size()};
  mmsghdr& header = d.headers[d.count];
  header = {};
  header.msg_hdr.msg_iov = &d.pieces[d.count];
  header.msg_hdr.msg_iovlen = 1;
  if (to) {
    d.targets[d.count] = *to;
    header.msg_hdr.msg_name = d.targets[d.count].data();
    header.msg_hdr.msg_namelen = static_cast<socklen_t>(d.targets[d.count].size());
  }
  ++d.count;
  return true;
}

bool DatagramSender::empty() const { return impl_->count == 0; }

bool DatagramSender::full() const { return impl_->count == impl_->headers.size(); }

void DatagramSender::flush(asio::ip::udp::socket& socket) {
  Impl& d = *impl_;
  std::size_t next = 0;
  while (next < d.count) {
    int sent = ::sendmmsg(socket.native_handle(), d.headers.data() + next, static_cast<unsigned>(d.count - next),
                          MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EINTR) continue;
      ++next;  // refused (no room, no listener yet, a pending error): dropped, the rest still go
      continue;
    }
    next += static_cast<std::size_t>(sent);
  }
  d.count = 0;
}

void DatagramSender::clear() { impl_->count = 0; }

}  // namespace brindlet::platform
