#pragma once

// The packets a connection writes, gathered into runs that leave the socket in one call: a run
// is made of packets of one size (its last may be shorter), as segmentation offload wants.
// When the socket is full, the run it refused and every packet written after it wait, in
// their order, for the next flush: a packet that the stack has written is sent, never lost.
//
//   QUICPacketBatch batch(65536, [&](const std::uint8_t* data, std::size_t size, std::size_t segment) {
//     return bytesThatLeft;            // fewer than `size`: the socket is full
//   });
//   if (!batch.flush()) return;        // still full: wait until it drains
//   std::size_t n = writePacket(batch.space(), maxPayload);
//   switch (batch.push(n, maxPayload, maxPacketsInRun)) { ... }
//   batch.flush();                     // the last, unfinished run

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace brindlet::platform {

class QUICPacketBatch {
 public:
  // Sends `size` bytes made of packets of `segment` bytes; returns how many bytes left (whole
  // packets), fewer than `size` when the socket is full.
  using Sender = std::function<std::size_t(const std::uint8_t* data, std::size_t size, std::size_t segment)>;

  enum class Outcome {
    gathering,  // the packet joined the open run
    sent,       // a run went out
    runFull,    // a run of the largest count went out
    blocked,    // the socket is full: the packets wait for flush()
  };

  QUICPacketBatch(std::size_t capacity, Sender sender);

  // Where the next packet is written; there is room for at least one of the largest packets
  // passed to push() (none while blocked).
  std::uint8_t* space() { return buffer_.data() + end_; }

  // Takes the `size`-byte packet just written at space(). A run leaves once it holds
  // `maxPackets` packets, once a shorter packet ends it, once a larger packet cannot join it,
  // or once the buffer has no room for another packet of `maxPayload` bytes.
  Outcome push(std::size_t size, std::size_t maxPayload, std::size_t maxPackets);

  // Sends every waiting run and the open one; false when the socket is still full.
  bool flush();

  // Runs wait for the socket to drain.
  bool blocked() const { return blocked_; }
  // Forgets every packet (the connection is gone).
  void clear();

 private:
  struct Run {
    std::size_t offset = 0;
    std::size_t size = 0;
    std::size_t segment = 0;
    std::size_t packets = 0;
  };

  void closeOpenRun();
  bool sendClosedRuns();

  std::vector<std::uint8_t> buffer_;
  Sender sender_;
  std::deque<Run> closed_;
  Run open_;
  std::size_t end_ = 0;
  bool blocked_ = false;
};

}  // namespace brindlet::platform
