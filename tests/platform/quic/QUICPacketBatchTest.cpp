#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/quic/QUICPacketBatch.h"

namespace brindlet::platform {
namespace {

using Outcome = QUICPacketBatch::Outcome;

constexpr std::size_t kMaxPayload = 100;

// A socket that takes whole packets while it has room and records each send: the datagrams
// that left, in order, and the segment size of every call.
struct FakeSocket {
  std::size_t room = SIZE_MAX;
  std::vector<std::vector<std::uint8_t>> datagrams;
  std::vector<std::size_t> segments;

  std::size_t send(const std::uint8_t* data, std::size_t size, std::size_t segment) {
    segments.push_back(segment);
    std::size_t sent = 0;
    while (sent < size) {
      std::size_t length = std::min(segment, size - sent);
      if (length > room) break;
      room -= length;
      datagrams.emplace_back(data + sent, data + sent + length);
      sent += length;
    }
    return sent;
  }
};

// Writes packets the way the connection does: each filled with its own number.
struct Writer {
  FakeSocket socket;
  QUICPacketBatch batch{1000, [this](const std::uint8_t* data, std::size_t size, std::size_t segment) {
                          return socket.send(data, size, segment);
                        }};
  std::vector<std::vector<std::uint8_t>> written;

  Outcome write(std::size_t size, std::size_t maxPackets = 64) {
    std::vector<std::uint8_t> packet(size, static_cast<std::uint8_t>(written.size() + 1));
    std::memcpy(batch.space(), packet.data(), size);
    written.push_back(packet);
    return batch.push(size, kMaxPayload, maxPackets);
  }
};

TEST(QUICPacketBatch, GathersPacketsOfOneSizeIntoRuns) {
  struct Case {
    std::string name;
    std::vector<std::size_t> sizes;
    std::vector<Outcome> outcomes;
    std::vector<std::size_t> segments;  // of each send, after the final flush
  };
  const std::vector<Case> cases = {
      {"equal packets wait for the flush", {100, 100, 100}, {Outcome::gathering, Outcome::gathering, Outcome::gathering},
       {100}},
      {"a shorter packet ends its run", {100, 100, 40, 100}, {Outcome::gathering, Outcome::gathering, Outcome::sent,
                                                             Outcome::gathering}, {100, 100}},
      {"a larger packet starts a run of its own", {40, 40, 100, 100},
       {Outcome::gathering, Outcome::gathering, Outcome::sent, Outcome::gathering}, {40, 100}},
      // 1000 bytes of room: the ninth packet of 100 would not fit after eight more.
      {"a run leaves when the room runs out", std::vector<std::size_t>(10, 100),
       {Outcome::gathering, Outcome::gathering, Outcome::gathering, Outcome::gathering, Outcome::gathering,
        Outcome::gathering, Outcome::gathering, Outcome::gathering, Outcome::gathering, Outcome::sent},
       {100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Writer writer;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) EXPECT_EQ(writer.write(c.sizes[i]), c.outcomes[i]) << i;
    EXPECT_TRUE(writer.batch.flush());
    EXPECT_EQ(writer.socket.datagrams, writer.written);
    EXPECT_EQ(writer.socket.segments, c.segments);
  }
}

TEST(QUICPacketBatch, ARunOfTheLargestCountLeavesAtOnce) {
  Writer writer;
  EXPECT_EQ(writer.write(100, 3), Outcome::gathering);
  EXPECT_EQ(writer.write(100, 3), Outcome::gathering);
  EXPECT_EQ(writer.write(100, 3), Outcome::runFull);
  EXPECT_EQ(writer.socket.datagrams, writer.written);
  // The buffer starts again from its beginning once everything has left.
  EXPECT_EQ(writer.write(100, 3), Outcome::gathering);
  EXPECT_TRUE(writer.batch.flush());
  EXPECT_EQ(writer.socket.datagrams, writer.written);
}

// A full socket refuses a run; every packet written before and after the refusal leaves,
// once and in order, when the socket has drained.
TEST(QUICPacketBatch, PacketsRefusedByAFullSocketLeaveLaterInOrder) {
  struct Case {
    std::string name;
    std::size_t room;  // bytes the socket takes before it is full
    std::vector<std::size_t> sizes;
  };
  const std::vector<Case> cases = {
      // The run of small packets is refused when the larger one ends it: the larger packet,
      // already written behind the run, must not be lost.
      {"run ended by a larger packet, nothing taken", 0, {40, 40, 100}},
      {"run ended by a larger packet, part taken", 40, {40, 40, 40, 100}},
      {"run ended by a shorter packet", 100, {100, 100, 30}},
      {"refused at the final flush", 0, {100, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Writer writer;
    writer.socket.room = c.room;
    bool blocked = false;
    for (std::size_t size : c.sizes) {
      ASSERT_FALSE(blocked) << "a blocked batch takes no packet";
      blocked = writer.write(size) == Outcome::blocked;
    }
    if (!blocked) blocked = !writer.batch.flush();
    ASSERT_TRUE(blocked);
    EXPECT_TRUE(writer.batch.blocked());
    EXPECT_LT(writer.socket.datagrams.size(), writer.written.size());
    // Still full: nothing more leaves, nothing is lost.
    std::size_t before = writer.socket.datagrams.size();
    EXPECT_FALSE(writer.batch.flush());
    EXPECT_EQ(writer.socket.datagrams.size(), before);
    // Drained.
    writer.socket.room = SIZE_MAX;
    EXPECT_TRUE(writer.batch.flush());
    EXPECT_FALSE(writer.batch.blocked());
    EXPECT_EQ(writer.socket.datagrams, writer.written);
    // And the batch goes on from an empty buffer.
    writer.write(100);
    EXPECT_TRUE(writer.batch.flush());
    EXPECT_EQ(writer.socket.datagrams, writer.written);
  }
}

}  // namespace
}  // namespace brindlet::platform
