#include "platform/net/DatagramBatch.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace brindlet::platform {

#ifndef UDP_GRO
#define UDP_GRO 104
#endif

void enableReceiveCoalescing(asio::ip::udp::socket& socket) {
  int on = 1;
  setsockopt(socket.native_handle(), SOL_UDP, UDP_GRO, &on, sizeof on);
}

bool segmentationRefused(int error) {
  // EMSGSIZE: a segment that, with its headers, exceeds the route's MTU (what older kernels
  // reported as EINVAL), or a run longer than the kernel takes in one send.
  return error == EIO || error == EINVAL || error == EOPNOTSUPP || error == ENOPROTOOPT || error == EMSGSIZE;
}

namespace {
constexpr std::size_t kCoalescedSlot = 65536;
using CoalescedControl = std::array<char, CMSG_SPACE(sizeof(int))>;
}  // namespace

struct DatagramReceiver::Impl {
  std::size_t maxDatagram;
  std::size_t slotSize;
  bool coalesce;
  bool more = false;
  std::unique_ptr<std::uint8_t[]> storage;  // not cleared: pages are taken as reads reach them
  std::vector<iovec> pieces;
  std::vector<sockaddr_storage> addresses;
  std::vector<CoalescedControl> controls;
  std::vector<mmsghdr> headers;
  std::vector<ReceivedDatagram> received;
  std::vector<std::size_t> offsets;
};

DatagramReceiver::DatagramReceiver(std::size_t capacity, std::size_t maxDatagram, bool coalesce)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.maxDatagram = maxDatagram;
  d.coalesce = coalesce;
  d.slotSize = coalesce ? kCoalescedSlot : maxDatagram;
  d.storage.reset(new std::uint8_t[capacity * d.slotSize]);
  d.pieces.resize(capacity);
  d.addresses.resize(capacity);
  d.controls.resize(capacity);
  d.headers.resize(capacity);
}

DatagramReceiver::~DatagramReceiver() = default;

std::size_t DatagramReceiver::receive(asio::ip::udp::socket& socket, asio::error_code& error) {
  error.clear();
  Impl& d = *impl_;
  d.received.clear();
  d.offsets.clear();
  d.more = false;
  for (std::size_t i = 0; i < d.headers.size(); ++i) {
    d.pieces[i] = {d.storage.get() + i * d.slotSize, d.slotSize};
    d.headers[i] = {};
    d.headers[i].msg_hdr.msg_iov = &d.pieces[i];
    d.headers[i].msg_hdr.msg_iovlen = 1;
    d.headers[i].msg_hdr.msg_name = &d.addresses[i];
    d.headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
    if (d.coalesce) {
      d.headers[i].msg_hdr.msg_control = d.controls[i].data();
      d.headers[i].msg_hdr.msg_controllen = d.controls[i].size();
    }
  }
  int count = ::recvmmsg(socket.native_handle(), d.headers.data(), static_cast<unsigned>(d.headers.size()),
                         MSG_DONTWAIT, nullptr);
  if (count < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) error = asio::error_code(errno, asio::error::get_system_category());
    return 0;
  }
  d.more = static_cast<std::size_t>(count) == d.headers.size();
  for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
    mmsghdr& header = d.headers[i];
    ReceivedDatagram datagram;
    if (header.msg_hdr.msg_namelen <= datagram.sender.capacity()) {
      datagram.sender.resize(header.msg_hdr.msg_namelen);
      std::memcpy(datagram.sender.data(), &d.addresses[i], header.msg_hdr.msg_namelen);
    }
    // A datagram cut to fit its slot says so in its flags (its length is then the slot's).
    const bool cut = (header.msg_hdr.msg_flags & MSG_TRUNC) != 0;
    std::size_t segment = header.msg_len;
    if (d.coalesce) {
      // A run of datagrams the kernel joined: each `segment` bytes (the last may be shorter).
      for (cmsghdr* c = CMSG_FIRSTHDR(&header.msg_hdr); c; c = CMSG_NXTHDR(&header.msg_hdr, c)) {
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
          int size = 0;
          std::memcpy(&size, CMSG_DATA(c), sizeof size);
          if (size > 0) segment = static_cast<std::size_t>(size);
        }
      }
    }
    std::size_t offset = 0;
    do {
      datagram.size = std::min(segment, static_cast<std::size_t>(header.msg_len) - offset);
      datagram.truncated = cut || datagram.size > d.maxDatagram;
      if (datagram.truncated) datagram.size = std::min(datagram.size, d.maxDatagram);
      d.received.push_back(datagram);
      d.offsets.push_back(i * d.slotSize + offset);
      offset += segment;
    } while (offset < header.msg_len);
  }
  return d.received.size();
}

bool DatagramReceiver::more() const { return impl_->more; }

const ReceivedDatagram& DatagramReceiver::datagram(std::size_t i) const { return impl_->received.at(i); }

ByteView DatagramReceiver::bytes(std::size_t i) const {
  return ByteView(impl_->storage.get() + impl_->offsets.at(i), impl_->received.at(i).size);
}

namespace {
// The most datagrams, and bytes, one segmented send may carry: as many bytes as one UDP
// datagram over IPv4 holds, so that a QUIC burst of 64,800 bytes still goes as one message with
// a relay header on each packet.
constexpr std::size_t kMaxSegments = 64;
constexpr std::size_t kMaxSegmentedBytes = 65507;
using SegmentControl = std::array<char, CMSG_SPACE(sizeof(std::uint16_t))>;
}  // namespace

struct DatagramSender::Impl {
  std::size_t slotSize;
  std::size_t count = 0;
  bool segmentation = true;  // until the kernel refuses it
  std::unique_ptr<std::uint8_t[]> storage;  // not cleared: pages are taken as datagrams reach them
  std::vector<iovec> pieces;
  std::vector<asio::ip::udp::endpoint> targets;
  std::vector<bool> targeted;
  std::vector<mmsghdr> messages;
  std::vector<SegmentControl> controls;
  std::vector<std::pair<std::size_t, std::size_t>> runs;  // first datagram and count, per message

  // One message for `n` datagrams from `first` on (same target; all of the first one's size
  // but the last, which may be shorter), segmented by the kernel when more than one.
  void buildMessage(std::size_t index, std::size_t first, std::size_t n) {
    mmsghdr& message = messages[index];
    message = {};
    message.msg_hdr.msg_iov = &pieces[first];
    message.msg_hdr.msg_iovlen = n;
    if (targeted[first]) {
      message.msg_hdr.msg_name = targets[first].data();
      message.msg_hdr.msg_namelen = static_cast<socklen_t>(targets[first].size());
    }
    if (n > 1) {
      SegmentControl& control = controls[index];
      control.fill(0);
      message.msg_hdr.msg_control = control.data();
      message.msg_hdr.msg_controllen = control.size();
      cmsghdr* header = CMSG_FIRSTHDR(&message.msg_hdr);
      header->cmsg_level = SOL_UDP;
      header->cmsg_type = UDP_SEGMENT;
      header->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
      const auto size = static_cast<std::uint16_t>(pieces[first].iov_len);
      std::memcpy(CMSG_DATA(header), &size, sizeof size);
    }
    runs[index] = {first, n};
  }

  bool sameTarget(std::size_t a, std::size_t b) const {
    return targeted[a] == targeted[b] && (!targeted[a] || targets[a] == targets[b]);
  }
};

DatagramSender::DatagramSender(std::size_t capacity, std::size_t slotSize) : impl_(std::make_unique<Impl>()) {
  impl_->slotSize = slotSize;
  impl_->storage.reset(new std::uint8_t[capacity * slotSize]);
  impl_->pieces.resize(capacity);
  impl_->targets.resize(capacity);
  impl_->targeted.resize(capacity);
  impl_->messages.resize(capacity);
  impl_->controls.resize(capacity);
  impl_->runs.resize(capacity);
}

DatagramSender::~DatagramSender() = default;

bool DatagramSender::add(ByteView head, ByteView body, const asio::ip::udp::endpoint* to) {
  Impl& d = *impl_;
  if (d.count == d.pieces.size() || head.size() + body.size() > d.slotSize) return false;
  std::uint8_t* slot = d.storage.get() + d.count * d.slotSize;
  if (!head.empty()) std::memcpy(slot, head.data(), head.size());
  if (!body.empty()) std::memcpy(slot + head.size(), body.data(), body.size());
  d.pieces[d.count] = {slot, head.size() + body.size()};
  d.targeted[d.count] = to != nullptr;
  if (to) d.targets[d.count] = *to;
  ++d.count;
  return true;
}

bool DatagramSender::empty() const { return impl_->count == 0; }

bool DatagramSender::full() const { return impl_->count == impl_->pieces.size(); }

// Runs of datagrams of one size to one target go out as one segmented message each (the last
// of a run may be shorter), every message of the batch in one call where the socket takes it.
void DatagramSender::flush(asio::ip::udp::socket& socket) {
  Impl& d = *impl_;
  std::size_t messageCount = 0;
  for (std::size_t first = 0; first < d.count;) {
    std::size_t n = 1;
    const std::size_t size = d.pieces[first].iov_len;
    if (d.segmentation && size > 0) {
      const std::size_t most = std::min(kMaxSegments, kMaxSegmentedBytes / size);
      while (n < most && first + n < d.count && d.sameTarget(first, first + n) && d.pieces[first + n].iov_len <= size &&
             d.pieces[first + n].iov_len > 0) {
        const bool shorter = d.pieces[first + n].iov_len < size;
        ++n;
        if (shorter) break;  // only the last of a run may be shorter
      }
    }
    d.buildMessage(messageCount++, first, n);
    first += n;
  }
  std::size_t next = 0;
  while (next < messageCount) {
    int sent = ::sendmmsg(socket.native_handle(), d.messages.data() + next, static_cast<unsigned>(messageCount - next),
                          MSG_DONTWAIT);
    if (sent >= 0) {
      next += static_cast<std::size_t>(sent);
      continue;
    }
    if (errno == EINTR) continue;
    const auto [first, n] = d.runs[next];
    if (n > 1 && segmentationRefused(errno)) {
      // The kernel will not segment: this run and every later batch go one datagram a message.
      d.segmentation = false;
      for (std::size_t i = 0; i < n; ++i) {
        msghdr message{};
        message.msg_iov = &d.pieces[first + i];
        message.msg_iovlen = 1;
        if (d.targeted[first + i]) {
          message.msg_name = d.targets[first + i].data();
          message.msg_namelen = static_cast<socklen_t>(d.targets[first + i].size());
        }
        while (::sendmsg(socket.native_handle(), &message, MSG_DONTWAIT) < 0 && errno == EINTR) {
        }
      }
    }
    ++next;  // otherwise refused (no room, nobody listening yet, a pending error): dropped
  }
  d.count = 0;
}

void DatagramSender::clear() { impl_->count = 0; }

}  // namespace brindlet::platform
