#include <gtest/gtest.h>

#include "kit/protocol/WireCodec.h"
#include "kit/transport/InMemoryConnection.h"
#include "support/StreamRecorder.h"
#include "support/TestLoop.h"

#include <asio/executor_work_guard.hpp>

#include <thread>
#include <vector>

namespace brindlet {

void PrintTo(const ConnectionState& state, std::ostream* os) {
  static const char* names[] = {"failed", "connecting", "ready", "closed"};
  *os << names[static_cast<int>(state.stateCase())];
  if (state.is(ConnectionState::Case::failed)) *os << "(" << state.reason() << ")";
}

namespace {

using testing::StreamRecorder;
using testing::TestLoop;
using Ends = std::pair<std::shared_ptr<InMemoryConnection>, std::shared_ptr<InMemoryConnection>>;

VideoFrame sampleFrame(std::uint64_t number) {
  VideoFrame frame;
  frame.displayID = 2;
  frame.frameNumber = number;
  frame.captureTimeNs = 123456789;
  frame.isKeyframe = number == 0;
  frame.profile = CodecProfile::hevcMain444;
  frame.width = 1920;
  frame.height = 1080;
  frame.sourceRect = NormalizedRect{0, 0, 1, 1};
  frame.parameterSets = {Bytes{0x40, 0x01}, Bytes{0x42, 0x01}};
  frame.payload = Bytes(100, static_cast<std::uint8_t>(number));
  return frame;
}

AudioPacket samplePacket(std::uint64_t pts) { return AudioPacket{pts, Bytes{1, 2, 3}}; }

asio::awaitable<void> transfer(std::shared_ptr<Connection> connection, Message message, std::optional<bool>* result) {
  *result = co_await connection->sendTransfer(std::move(message));
}

// Takes one item from a stream.
template <class T>
asio::awaitable<void> takeOne(AsyncStream<T> stream) {
  co_await stream.next();
}

TEST(InMemoryConnection, AFreshPairIsReadyAndHasNoTLSFacts) {
  TestLoop loop;
  auto [a, b] = InMemoryConnection::pair();
  for (auto* end : {a.get(), b.get()}) {
    StreamRecorder<ConnectionState> states(loop.strand(), end->states());
    loop.settle();
    EXPECT_EQ(states.values(), std::vector<ConnectionState>{ConnectionState::ready()});
    EXPECT_FALSE(end->peerFingerprint());
    EXPECT_FALSE(end->exporter());
    EXPECT_EQ(end->maxInFlight(), 8);
    EXPECT_EQ(end->maxAudioInFlight(), 256);
  }
}

TEST(InMemoryConnection, CarriesMessagesFramesPacketsAndTransfersBothWays) {
  TestLoop loop;
  auto [first, second] = InMemoryConnection::pair();
  for (auto [from, to] : {Ends{first, second}, Ends{second, first}}) {
    StreamRecorder<Message> messages(loop.strand(), to->messages());
    StreamRecorder<VideoFrame> frames(loop.strand(), to->videoFrames());
    StreamRecorder<AudioPacket> packets(loop.strand(), to->audioPackets());
    std::vector<Message> sent{msg::Ping{1}, msg::Key{KeyEvent{HIDUsage::a, true, ModifierFlags(0x01)}},
                              msg::ClipboardText{"grüße"}, msg::FileChunk{7, 0, 0, Bytes{9, 9}}};
    for (const auto& message : sent) from->send(message);
    std::optional<bool> handed;
    Task t = Task::spawn(loop.strand(), transfer(from, msg::FileEnd{7}, &handed));
    EXPECT_TRUE(from->sendVideo(sampleFrame(0)));
    EXPECT_TRUE(from->sendVideo(sampleFrame(1)));
    EXPECT_TRUE(from->sendAudio(samplePacket(10)));
    loop.settle();
    EXPECT_EQ(handed, true);
    sent.push_back(msg::FileEnd{7});
    EXPECT_EQ(messages.values(), sent);
    EXPECT_EQ(frames.values(), (std::vector<VideoFrame>{sampleFrame(0), sampleFrame(1)}));
    EXPECT_EQ(packets.values(), std::vector<AudioPacket>{samplePacket(10)});
    messages.cancel();
    frames.cancel();
    packets.cancel();
    loop.settle();
  }
}

// The budget counts items decoded and not yet taken by the receiving reader.
TEST(InMemoryConnection, SendsReportFalseWhileThePeersQueueHoldsTheBudget) {
  TestLoop loop;
  for (bool video : {true, false}) {
    SCOPED_TRACE(video ? "video" : "audio");
    auto [a, b] = InMemoryConnection::pair();
    int budget = video ? 8 : 256;
    auto sendOne = [&, a = a](int i) { return video ? a->sendVideo(sampleFrame(i)) : a->sendAudio(samplePacket(i)); };
    for (int i = 0; i < budget; ++i) ASSERT_TRUE(sendOne(i)) << i;
    EXPECT_FALSE(sendOne(budget));
    if (video) {
      EXPECT_EQ(a->peerVideoBacklog(), 8u);
    }
    Task take = video ? Task::spawn(loop.strand(), takeOne(b->videoFrames()))
                      : Task::spawn(loop.strand(), takeOne(b->audioPackets()));
    loop.settle();
    EXPECT_TRUE(sendOne(budget + 1));
    EXPECT_FALSE(sendOne(budget + 2));

    // What was refused never arrives: the reader sees the budget's items and the one after.
    if (video) {
      StreamRecorder<VideoFrame> frames(loop.strand(), b->videoFrames());
      b->close();
      loop.settle();
      ASSERT_EQ(frames.count(), 8u);
      EXPECT_EQ(frames.values().back().frameNumber, 9u);
    }
  }
  auto [a, b] = InMemoryConnection::pair();
  a->setMaxInFlight(2);
  EXPECT_TRUE(a->sendVideo(sampleFrame(0)));
  EXPECT_TRUE(a->sendVideo(sampleFrame(1)));
  EXPECT_FALSE(a->sendVideo(sampleFrame(2)));
  a->setMaxAudioInFlight(0);
  EXPECT_FALSE(a->sendAudio(samplePacket(0)));
}

TEST(InMemoryConnection, AReaderThatKeepsUpNeverMeetsTheBudget) {
  TestLoop loop;
  auto [a, b] = InMemoryConnection::pair();
  StreamRecorder<VideoFrame> frames(loop.strand(), b->videoFrames());
  loop.settle();
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(a->sendVideo(sampleFrame(i))) << i;
    EXPECT_EQ(a->peerVideoBacklog(), 0u);  // handed straight to the waiting reader
    loop.settle();
  }
  EXPECT_EQ(frames.count(), 20u);
}

TEST(InMemoryConnection, UndecodableMessagesReportFailedAndTheConnectionGoesOn) {
  TestLoop loop;
  auto [a, b] = InMemoryConnection::pair();
  StreamRecorder<ConnectionState> states(loop.strand(), b->states());
  StreamRecorder<Message> messages(loop.strand(), b->messages());
  a->send(msg::ClipboardText{"\xff\xfe not UTF-8"});
  a->send(msg::Ping{2});
  loop.settle();
  EXPECT_EQ(states.values(),
            (std::vector<ConnectionState>{ConnectionState::ready(),
                                          ConnectionState::failed("invalidValue(\"invalid UTF-8\")")}));
  EXPECT_EQ(messages.values(), std::vector<Message>{msg::Ping{2}});
  EXPECT_FALSE(states.ended());
  EXPECT_TRUE(a->sendVideo(sampleFrame(0)));
}

// A message whose frame would be larger than any reader accepts is refused by the sender's
// writer: nothing goes out and the connection goes on.
TEST(InMemoryConnection, AMessageTooLargeToFrameIsRefusedAtTheSender) {
  TestLoop loop;
  Bytes huge(WireCodec::maxFrameSize - 8);  // with the fields before it, over the largest frame
  auto [a, b] = InMemoryConnection::pair();
  StreamRecorder<ConnectionState> states(loop.strand(), b->states());
  StreamRecorder<Message> messages(loop.strand(), b->messages());
  // Payload: type byte, u32 display ID and the blob with its u32 length.
  const WireError refused = WireError::frameTooLarge(static_cast<std::int64_t>(huge.size()) + 9);
  try {
    a->send(msg::Thumbnail{1, huge});
    ADD_FAILURE() << "an oversized thumbnail was sent";
  } catch (const WireError& error) {
    EXPECT_EQ(error, refused);
  }
  a->send(msg::Ping{1});
  loop.settle();
  EXPECT_EQ(messages.values(), std::vector<Message>{msg::Ping{1}});
  EXPECT_EQ(states.values(), std::vector<ConnectionState>{ConnectionState::ready()});
}

// A frame header over the largest frame poisons the decoder of its stream, which is never
// read again: the receiving end fails with the protocol error and the pair closes, as a QUIC
// connection does. What came before the header is still delivered; a header of exactly the
// largest size only waits for its frame.
TEST(InMemoryConnection, AFrameOverTheLargestSizeEndsTheConnection) {
  TestLoop loop;
  auto header = [](std::uint32_t length) {
    Bytes b;
    WireCodec::writeU32(length, b);
    return b;
  };
  for (StreamKind kind : allStreamKinds) {
    SCOPED_TRACE("stream kind " + std::to_string(rawValue(kind)));
    const bool video = kind == StreamKind::video, audio = kind == StreamKind::audio;
    Bytes before = video   ? WireCodec::encodeVideoFrame(sampleFrame(3))
                   : audio ? WireCodec::encodeAudioPacket(samplePacket(3))
                           : WireCodec::encode(msg::Ping{3});

    auto [a, b] = InMemoryConnection::pair();
    StreamRecorder<ConnectionState> statesA(loop.strand(), a->states());
    StreamRecorder<ConnectionState> statesB(loop.strand(), b->states());
    StreamRecorder<Message> messagesA(loop.strand(), a->messages());
    b->receive(kind, header(WireCodec::maxFrameSize));
    loop.settle();
    EXPECT_EQ(statesB.values(), std::vector<ConnectionState>{ConnectionState::ready()});

    auto [c, d] = InMemoryConnection::pair();
    StreamRecorder<ConnectionState> statesC(loop.strand(), c->states());
    StreamRecorder<ConnectionState> statesD(loop.strand(), d->states());
    StreamRecorder<Message> messagesD(loop.strand(), d->messages());
    StreamRecorder<VideoFrame> framesD(loop.strand(), d->videoFrames());
    StreamRecorder<AudioPacket> packetsD(loop.strand(), d->audioPackets());
    Bytes bytes = before;
    const Bytes over = header(WireCodec::maxFrameSize + 1);
    bytes.insert(bytes.end(), over.begin(), over.end());
    d->receive(kind, bytes);
    loop.settle();
    EXPECT_EQ(statesD.values(),
              (std::vector<ConnectionState>{ConnectionState::ready(),
                                            ConnectionState::failed("protocol error: frameTooLarge(67108865)")}));
    EXPECT_EQ(statesC.values(), (std::vector<ConnectionState>{ConnectionState::ready(), ConnectionState::closed()}));
    EXPECT_TRUE(statesC.ended() && statesD.ended() && messagesD.ended() && framesD.ended() && packetsD.ended());
    EXPECT_EQ(messagesD.count(), video || audio ? 0u : 1u);
    EXPECT_EQ(framesD.count(), video ? 1u : 0u);
    EXPECT_EQ(packetsD.count(), audio ? 1u : 0u);
    EXPECT_FALSE(c->sendVideo(sampleFrame(4)));
    EXPECT_FALSE(d->sendAudio(samplePacket(4)));

    // The first pair, whose header was within the limit, is still open (its stream waits
    // for the rest of that frame).
    b->send(msg::Ping{5});
    loop.settle();
    EXPECT_EQ(messagesA.values(), std::vector<Message>{msg::Ping{5}});
    EXPECT_FALSE(statesA.ended() || statesB.ended());
    a->close();
    loop.settle();
  }
}

TEST(InMemoryConnection, CloseFromEitherEndEndsBothAndKeepsWhatWasBuffered) {
  TestLoop loop;
  for (bool closeFirst : {true, false}) {
    SCOPED_TRACE(closeFirst ? "first end closes" : "second end closes");
    auto [a, b] = InMemoryConnection::pair();
    a->send(msg::Ping{5});
    EXPECT_TRUE(a->sendVideo(sampleFrame(0)));
    (closeFirst ? a : b)->close();
    StreamRecorder<ConnectionState> statesA(loop.strand(), a->states());
    StreamRecorder<ConnectionState> statesB(loop.strand(), b->states());
    StreamRecorder<Message> messagesB(loop.strand(), b->messages());
    StreamRecorder<VideoFrame> framesB(loop.strand(), b->videoFrames());
    StreamRecorder<AudioPacket> packetsA(loop.strand(), a->audioPackets());
    loop.settle();
    std::vector<ConnectionState> expected{ConnectionState::ready(), ConnectionState::closed()};
    EXPECT_EQ(statesA.values(), expected);
    EXPECT_EQ(statesB.values(), expected);
    EXPECT_TRUE(statesA.ended() && statesB.ended() && messagesB.ended() && framesB.ended() && packetsA.ended());
    EXPECT_EQ(messagesB.values(), std::vector<Message>{msg::Ping{5}});
    EXPECT_EQ(framesB.count(), 1u);

    for (auto& end : {a, b}) {
      end->send(msg::Ping{6});
      EXPECT_FALSE(end->sendVideo(sampleFrame(1)));
      EXPECT_FALSE(end->sendAudio(samplePacket(1)));
      std::optional<bool> handed;
      Task t = Task::spawn(loop.strand(), transfer(end, msg::FileEnd{1}, &handed));
      loop.settle();
      EXPECT_EQ(handed, false);
      end->close();
    }
    loop.settle();
    EXPECT_EQ(statesA.values(), expected);
    EXPECT_EQ(messagesB.values(), std::vector<Message>{msg::Ping{5}});
  }
}

TEST(InMemoryConnection, AnEndAloneSendsNothingAndADroppedEndClosesItsPeer) {
  TestLoop loop;
  auto alone = std::make_shared<InMemoryConnection>();
  EXPECT_FALSE(alone->sendVideo(sampleFrame(0)));
  EXPECT_FALSE(alone->sendAudio(samplePacket(0)));
  EXPECT_EQ(alone->peerVideoBacklog(), 0u);
  std::optional<bool> handed;
  Task t = Task::spawn(loop.strand(), transfer(alone, msg::FileEnd{1}, &handed));
  loop.settle();
  EXPECT_EQ(handed, false);

  auto [a, b] = InMemoryConnection::pair();
  StreamRecorder<ConnectionState> states(loop.strand(), b->states());
  StreamRecorder<Message> messages(loop.strand(), b->messages());
  a.reset();
  loop.settle();
  EXPECT_EQ(states.values(), (std::vector<ConnectionState>{ConnectionState::ready(), ConnectionState::closed()}));
  EXPECT_TRUE(messages.ended());
}

// Senders on several threads, readers on an io_context thread pool, and a close racing
// with them: each sender's messages arrive in its order, and every stream ends.
TEST(InMemoryConnection, ConcurrentSendersReadersAndCloseOnAThreadPool) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([&io] { io.run(); });
  {
    auto [a, b] = InMemoryConnection::pair();
    StreamRecorder<Message> messages(makeStrand(io.get_executor()), b->messages());
    StreamRecorder<VideoFrame> frames(makeStrand(io.get_executor()), b->videoFrames());
    StreamRecorder<ConnectionState> states(makeStrand(io.get_executor()), b->states());
    constexpr int senders = 4, each = 500;
    std::vector<std::thread> sending;
    for (int s = 0; s < senders; ++s) {
      sending.emplace_back([a = a, s] {
        for (int i = 0; i < each; ++i) {
          a->send(msg::Ping{std::uint64_t(s * each + i)});
          if (i % 10 == 0) a->sendVideo(sampleFrame(i));
        }
      });
    }
    std::thread closer([b = b] {
      for (int i = 0; i < 2000; ++i) std::this_thread::yield();
      b->close();
    });
    for (auto& t : sending) t.join();
    closer.join();
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(messages.ended() && frames.ended() && states.ended()) && std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::yield();
    }
    ASSERT_TRUE(messages.ended() && frames.ended() && states.ended());
    std::vector<std::int64_t> last(senders, -1);
    for (const auto& m : messages.values()) {
      auto value = std::int64_t(m.as<msg::Ping>()->value);
      EXPECT_GT(value, last[value / each]);
      last[value / each] = value;
    }
    EXPECT_EQ(states.values().back(), ConnectionState::closed());
  }
  work.reset();
  for (auto& t : threads) t.join();
}

}  // namespace
}  // namespace brindlet
