// What the session streams: the pipeline and capture started from hello, the device's display
// and viewport choices, video switched off and on, the stream's geometry, encoder reports,
// capture failures and stops, display changes, capture held and resumed, host notes.

#include <gtest/gtest.h>

#include <algorithm>

#include "host/capture/BitrateController.h"
#include "host/capture/VideoPipeline.h"
#include "session/core/SessionFixture.h"

namespace brindlet::host::testing {
namespace {

using namespace std::chrono_literals;

const DisplayInfo leftDisplay{7, "Left", false, 1920, 1080, {-1920, 0, 1920, 1080}};
const DisplayInfo mainDisplay{3, "Main", true, 2560, 1440, {0, 0, 1280, 720}};

class StreamingTest : public SessionFixture {
 protected:
  void SetUp() override {
    startAccepted();
    frames = Task::spawn(loop.strand(), readFrames(device, &video));
    loop.settle();
  }
  void TearDown() override { frames = Task(); }

  std::shared_ptr<FakeCaptureSource> capture() const { return services.captures.back(); }
  std::shared_ptr<brindlet::testing::RecordingEncoder> encoder() const {
    return services.encoders->made.back().encoder;
  }

  // A picture from the running capture source.
  void deliverFrame() {
    ASSERT_TRUE(capture()->onFrame);
    capture()->onFrame(CapturedFrame{nullptr, capture()->lastViewport->displayID, NormalizedRect::full, 0});
    loop.settle();
  }

  template <class M>
  std::vector<M> receivedOf() const {
    std::vector<M> found;
    for (const auto& m : received) {
      if (const auto* typed = m.as<M>()) found.push_back(*typed);
    }
    return found;
  }

  template <class Op>
  void perform(Op op) {
    bool done = false;
    Task task = SessionFixture::perform(op, &done);
    ASSERT_TRUE(done);
  }

  void clearObserved() {
    received.clear();
    statuses.clear();
  }

  std::vector<VideoFrame> video;
  Task frames;

 private:
  static asio::awaitable<void> readFrames(std::shared_ptr<Connection> connection, std::vector<VideoFrame>* out) {
    auto stream = connection->videoFrames();
    while (auto frame = co_await stream.next()) out->push_back(*frame);
  }
};

TEST_F(StreamingTest, HelloStartsThePipelineAndCaptureOnTheMainDisplay) {
  ASSERT_EQ(services.encoders->made.size(), 1u);
  EXPECT_EQ(services.encoders->made[0].profile, CodecProfile::hevcMain444);
  EXPECT_EQ(services.encoders->made[0].bitrate, BitrateController().bitrate);
  ASSERT_EQ(services.captures.size(), 1u);
  EXPECT_EQ(capture()->calls, (std::vector<std::string>{"start 3"}));
  EXPECT_TRUE(capture()->scope.isDisplay());
  // The whole display, at its own size, since the device's screen is larger.
  EXPECT_EQ(*capture()->lastViewport, (Viewport{3, NormalizedRect::full, 2560, 1440}));

  deliverFrame();
  deliverFrame();
  ASSERT_EQ(video.size(), 2u);
  EXPECT_TRUE(video[0].isKeyframe);
  EXPECT_FALSE(video[1].isKeyframe);

  perform([](HostSession& s) -> asio::awaitable<void> {
    auto st = co_await s.status();
    EXPECT_EQ(st.phase, SessionStatus::Phase::streaming);
    EXPECT_EQ(st.displayName, "Main");
    EXPECT_EQ(st.width, 2560);
    EXPECT_EQ(st.height, 1440);
  });
}

TEST_F(StreamingTest, SelectionAndViewportFollowTheDevice) {
  LogCapture log;
  deliverFrame();

  // An unknown display changes nothing.
  send(msg::SelectDisplay{99});
  EXPECT_TRUE(received.empty());
  EXPECT_TRUE(statuses.empty());
  EXPECT_EQ(capture()->calls.size(), 1u);

  // A zoom on the streamed display: the source follows, no key frame, no "display selected".
  const Viewport zoom{3, {0.5f, 0.25f, 0.5f, 0.5f}, 1280, 720};
  send(msg::Viewport{zoom});
  EXPECT_EQ(capture()->calls.back(), "update 3");
  EXPECT_EQ(*capture()->lastViewport, zoom);
  ASSERT_EQ(receivedOf<msg::StreamInfo>().size(), 1u);
  EXPECT_EQ(receivedOf<msg::StreamInfo>()[0],
            (msg::StreamInfo{3, zoom.sourceRect, 1280, 720, CodecProfile::hevcMain444}));
  EXPECT_FALSE(statuses.empty());
  EXPECT_FALSE(encoder()->keyframePending());
  EXPECT_TRUE(log.containing("display selected").empty());

  // Another display: the same source moves, with a key frame and one log line.
  clearObserved();
  send(msg::SelectDisplay{7});
  EXPECT_EQ(capture()->calls.back(), "update 7");
  EXPECT_EQ(services.captures.size(), 1u);
  EXPECT_TRUE(encoder()->keyframePending());
  EXPECT_EQ(log.containing("display selected Left id=7 1920x1080").size(), 1u);
  ASSERT_EQ(receivedOf<msg::StreamInfo>().size(), 1u);
  EXPECT_EQ(receivedOf<msg::StreamInfo>()[0].displayID, 7u);

  // A viewport for a display other than the streamed one selects that display with it.
  const Viewport other{3, {0, 0, 1, 1}, 640, 360};
  send(msg::Viewport{other});
  EXPECT_EQ(capture()->calls.back(), "update 3");
  EXPECT_EQ(*capture()->lastViewport, other);
}

TEST_F(StreamingTest, StreamInfoKeepsTheSourceRectangleOnTheDisplay) {
  struct Case {
    NormalizedRect asked;
    NormalizedRect sent;
  };
  const Case cases[] = {
      {{0.25f, 0.25f, 0.5f, 0.5f}, {0.25f, 0.25f, 0.5f, 0.5f}},
      {{0.75f, 0.5f, 0.5f, 0.75f}, {0.75f, 0.5f, 0.25f, 0.5f}},  // past the right and bottom edges
      {{-0.5f, 1.5f, 0.5f, 0.5f}, {0, 1, 0.5f, 0.001f}},
      {{0.5f, 0.5f, 0, -1}, {0.5f, 0.5f, 0.001f, 0.001f}},  // empty or negative
  };
  for (const auto& c : cases) {
    received.clear();
    send(msg::Viewport{Viewport{3, c.asked, 640, 360}});
    auto infos = receivedOf<msg::StreamInfo>();
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_FLOAT_EQ(infos[0].sourceRect.x, c.sent.x);
    EXPECT_FLOAT_EQ(infos[0].sourceRect.y, c.sent.y);
    EXPECT_FLOAT_EQ(infos[0].sourceRect.width, c.sent.width);
    EXPECT_FLOAT_EQ(infos[0].sourceRect.height, c.sent.height);
  }
}

TEST_F(StreamingTest, VideoOffStopsCaptureAndOnRestartsTheLastSelection) {
  LogCapture log;
  deliverFrame();
  auto first = capture();
  send(msg::SetVideoEnabled{false});
  EXPECT_EQ(first->calls.back(), "stop");
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back().note, "Remote mode (no video)");
  EXPECT_EQ(log.containing("video disabled").size(), 1u);

  // Still screen while off: nothing is repeated, not even a requested key frame.
  encoder()->requestKeyframe();
  const auto encodedBefore = encoder()->calls().size();
  loop.advance(1s);
  EXPECT_EQ(encoder()->calls().size(), encodedBefore);

  // A selection while off is only recorded.
  clearObserved();
  send(msg::SelectDisplay{7});
  EXPECT_EQ(services.captures.size(), 1u);
  EXPECT_TRUE(receivedOf<msg::StreamInfo>().empty());
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back().displayName, "Left");
  EXPECT_EQ(statuses.back().phase, SessionStatus::Phase::streaming);

  // On again: a new source on the recorded display, starting with a key frame.
  send(msg::SetVideoEnabled{true});
  ASSERT_EQ(services.captures.size(), 2u);
  EXPECT_EQ(capture()->calls, (std::vector<std::string>{"start 7"}));
  EXPECT_FALSE(statuses.back().note);
  deliverFrame();
  EXPECT_TRUE(video.back().isKeyframe);
}

TEST_F(StreamingTest, TheRemoteModeNoteNeverHidesOrClearsAnotherNote) {
  perform([](HostSession& s) { return s.hostNote("Mac is locked"); });
  send(msg::SetVideoEnabled{false});
  EXPECT_EQ(statuses.back().note, "Mac is locked");
  send(msg::SetVideoEnabled{true});
  EXPECT_EQ(statuses.back().note, "Mac is locked");
}

TEST_F(StreamingTest, VideoOnBeforeAnySelectionOnlyPublishes) {
  reconnect();
  services.displays->list.clear();
  startSession();
  send(msg::SetVideoEnabled{false});  // noted before hello
  send(hello());
  const auto sources = services.captures.size();
  statuses.clear();
  send(msg::SetVideoEnabled{true});
  EXPECT_EQ(services.captures.size(), sources);
  EXPECT_EQ(statuses.size(), 1u);
}

TEST_F(StreamingTest, EncoderReportsBecomeNotes) {
  LogCapture log;
  auto output = services.encoders->made.back().output;
  output(EncoderOutput{EncoderOutput::ProfileFallback{CodecProfile::hevcMain444, CodecProfile::hevcMain}});
  loop.settle();
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back().note, "Encoder fell back from hevcMain444 to hevcMain");
  EXPECT_EQ(statuses.back().profile, CodecProfile::hevcMain);
  EXPECT_EQ(log.containing("encoder fell back HEVC 4:4:4 -> HEVC 4:2:0").size(), 1u);
  auto infos = receivedOf<msg::StreamInfo>();
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].profile, CodecProfile::hevcMain);

  output(EncoderOutput{EncoderOutput::Failed{"session could not be made"}});
  loop.settle();
  EXPECT_EQ(statuses.back().note, "Encoder: session could not be made");
}

TEST_F(StreamingTest, AFailingEncoderIsReportedToTheDeviceUntilFramesComeOutAgain) {
  LogCapture log;
  encoder()->failWith("Picture size must be at least one CTU");
  clearObserved();
  deliverFrame();
  deliverFrame();
  const msg::HostStatus blocked{HostState::captureBlocked, "Encoder: Picture size must be at least one CTU"};
  EXPECT_EQ(receivedOf<msg::HostStatus>(), (std::vector<msg::HostStatus>{blocked})) << "told once, not per frame";
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back().note, "Encoder: Picture size must be at least one CTU");
  EXPECT_EQ(log.containing("encoder failed: Picture size must be at least one CTU").size(), 1u);

  // A new viewport that still fails keeps the report instead of clearing it for a moment.
  clearObserved();
  send(msg::Viewport{Viewport{3, NormalizedRect{0, 0, 0.5, 0.5}, 640, 360}});
  deliverFrame();
  EXPECT_TRUE(receivedOf<msg::HostStatus>().empty());

  // The first frame that comes out again clears it.
  encoder()->failWith(std::nullopt);
  deliverFrame();
  EXPECT_EQ(receivedOf<msg::HostStatus>(), (std::vector<msg::HostStatus>{{HostState::ok, std::nullopt}}));
  EXPECT_FALSE(statuses.back().note);
}

TEST_F(StreamingTest, AnEncoderThatCannotBeMadeIsReportedAndTheSessionGoesOn) {
  reconnect();
  services.encoders->failure = "no encoder available";
  startSession();
  send(hello());
  const auto reports = receivedOf<msg::HostStatus>();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back(), (msg::HostStatus{HostState::captureBlocked, "Encoder: no encoder available"}));
  EXPECT_TRUE(receivedOf<msg::StreamInfo>().empty());
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back().note, "Encoder: no encoder available");
  clearObserved();
  send(msg::Ping{9});
  EXPECT_EQ(receivedNames(), (std::vector<std::string_view>{"pong"}));
}

TEST_F(StreamingTest, AKeyFrameRequestOnAStillScreenIsAnsweredWithinOneTick) {
  deliverFrame();
  loop.advance(1s);  // the idle refresh has gone out; the screen stands still
  const auto before = video.size();
  send(msg::Feedback{Feedback{0, 0, 0, true}});
  loop.advance(VideoPipeline::tickInterval);
  ASSERT_GT(video.size(), before);
  EXPECT_TRUE(video.back().isKeyframe);
}

TEST_F(StreamingTest, ACaptureFailureIsReportedAndTheNextSelectionTriesAgain) {
  struct Case {
    bool granted;
    msg::HostStatus reported;
  };
  const Case cases[] = {
      {true, {HostState::captureBlocked, "no such output"}},
      {false, {HostState::permissionMissing, "Screen Recording permission is not granted"}},
  };
  for (const auto& c : cases) {
    reconnect();
    services.screenRecordingGranted = c.granted;
    services.captureFailure = "no such output";
    startSession();
    send(hello());
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back().captureError, "no such output");
    auto reports = receivedOf<msg::HostStatus>();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), c.reported);
    EXPECT_TRUE(receivedOf<msg::StreamInfo>().empty());

    // The next selection makes a new source; its success clears the problem.
    services.captureFailure.reset();
    services.screenRecordingGranted = true;
    const auto sources = services.captures.size();
    clearObserved();
    send(msg::SelectDisplay{3});
    EXPECT_EQ(services.captures.size(), sources + 1);
    EXPECT_TRUE(capture()->running);
    EXPECT_EQ(receivedOf<msg::HostStatus>(), (std::vector<msg::HostStatus>{{HostState::ok, std::nullopt}}));
    EXPECT_FALSE(statuses.back().captureError);
  }
}

TEST_F(StreamingTest, CaptureThatStopsByItselfIsReportedAndRestartedOnTheNextSelection) {
  auto first = capture();
  first->stopByItself(3, "The X server went away.");
  loop.settle();
  EXPECT_EQ(receivedOf<msg::HostStatus>(),
            (std::vector<msg::HostStatus>{{HostState::captureBlocked, "The X server went away."}}));
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back().captureError, "The X server went away.");

  clearObserved();
  send(msg::SelectDisplay{3});
  ASSERT_EQ(services.captures.size(), 2u);
  EXPECT_EQ(capture()->calls, (std::vector<std::string>{"start 3"}));
  EXPECT_EQ(receivedOf<msg::HostStatus>(), (std::vector<msg::HostStatus>{{HostState::ok, std::nullopt}}));

  // A late stop of the old source changes nothing.
  clearObserved();
  first->stopByItself(3, "late");
  loop.settle();
  EXPECT_TRUE(received.empty());
  EXPECT_TRUE(capture()->running);
}

TEST_F(StreamingTest, DisplayChangesAreFollowed) {
  auto source = capture();
  // Nothing changed: nothing is sent.
  services.displays->change();
  loop.settle();
  EXPECT_TRUE(received.empty());

  // The streamed display renamed: a new list, capture untouched.
  services.displays->list[1].name = "Studio Display";
  services.displays->change();
  loop.settle();
  EXPECT_EQ(receivedNames(), (std::vector<std::string_view>{"displayList"}));
  EXPECT_EQ(source->calls.size(), 1u);

  // Its mode changed: re-selected at its default viewport.
  clearObserved();
  services.displays->list[1].pixelWidth = 1280;
  services.displays->list[1].pixelHeight = 720;
  services.displays->change();
  loop.settle();
  EXPECT_EQ(source->calls.back(), "update 3");
  EXPECT_EQ(*source->lastViewport, (Viewport{3, NormalizedRect::full, 1280, 720}));

  // Unplugged: the stream moves to the main display that is left, else the first one.
  clearObserved();
  services.displays->list = {leftDisplay};
  services.displays->change();
  loop.settle();
  EXPECT_EQ(source->calls.back(), "update 7");
  auto infos = receivedOf<msg::StreamInfo>();
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].displayID, 7u);
}

TEST_F(StreamingTest, SuspendedCaptureResumesOnTheLastSelection) {
  LogCapture log;
  auto first = capture();
  perform([](HostSession& s) { return s.captureSuspended("Mac is asleep"); });
  EXPECT_EQ(first->calls.back(), "stop");
  EXPECT_EQ(statuses.back().note, "Mac is asleep");

  // A selection during the hold is recorded, not started.
  send(msg::SelectDisplay{7});
  EXPECT_EQ(services.captures.size(), 1u);

  clearObserved();
  perform([](HostSession& s) { return s.resumeCapture(true); });
  EXPECT_EQ(receivedOf<msg::DisplayList>().size(), 1u);  // sent even though nothing changed
  ASSERT_EQ(services.captures.size(), 2u);
  EXPECT_EQ(capture()->calls, (std::vector<std::string>{"start 7"}));
  EXPECT_TRUE(encoder()->keyframePending());
  EXPECT_FALSE(statuses.back().note);
  EXPECT_EQ(log.containing("capture resumed").size(), 1u);

  // No displays at all on resumption: noted, nothing started.
  perform([](HostSession& s) { return s.captureSuspended("Mac display is asleep"); });
  services.displays->list.clear();
  perform([](HostSession& s) { return s.resumeCapture(false); });
  EXPECT_EQ(statuses.back().note, "No displays available");
  EXPECT_EQ(services.captures.size(), 2u);
}

TEST_F(StreamingTest, ResumingWhenNothingWasSelectedOnlyReleasesTheHold) {
  reconnect();
  services.displays->list.clear();
  startSession();
  send(hello());
  const auto sources = services.captures.size();
  perform([](HostSession& s) { return s.captureSuspended("Mac is asleep"); });
  services.displays->list = {mainDisplay};
  clearObserved();
  perform([](HostSession& s) { return s.resumeCapture(true); });
  EXPECT_TRUE(received.empty());
  // Released: the next selection starts capture.
  send(msg::SelectDisplay{3});  // not in the list the device was sent: nothing
  EXPECT_EQ(services.captures.size(), sources);
  services.displays->change();
  loop.settle();
  EXPECT_EQ(receivedOf<msg::DisplayList>().size(), 1u);
  send(msg::SelectDisplay{3});
  ASSERT_EQ(services.captures.size(), sources + 1);
  EXPECT_TRUE(capture()->running);
}

TEST_F(StreamingTest, HostNotesAndLifecycleStateReachTheStatus) {
  LogCapture log;
  perform([](HostSession& s) { return s.hostNote(std::nullopt); });  // clearing an absent note
  EXPECT_TRUE(statuses.empty());
  perform([](HostSession& s) { return s.hostNote("Mac is locked"); });
  perform([](HostSession& s) { return s.hostNote("Mac is locked"); });
  EXPECT_EQ(statuses.size(), 1u);
  EXPECT_EQ(log.containing("host note: Mac is locked").size(), 1u);
  perform([](HostSession& s) { return s.hostNote(std::nullopt); });
  EXPECT_EQ(log.containing("host note: (cleared)").size(), 1u);
  EXPECT_FALSE(statuses.back().note);

  perform([](HostSession& s) { return s.setLifecycleState({HostState::locked, "Mac is locked"}); });
  perform([](HostSession& s) { return s.setLifecycleState({HostState::locked, "Mac is locked"}); });
  perform([](HostSession& s) { return s.setLifecycleState({}); });
  EXPECT_EQ(receivedOf<msg::HostStatus>(),
            (std::vector<msg::HostStatus>{{HostState::locked, "Mac is locked"}, {HostState::ok, std::nullopt}}));
}

TEST_F(StreamingTest, StatisticsAreReportedEverySecond) {
  deliverFrame();
  loop.advance(1s);  // first report: the totals are recorded
  for (int i = 0; i < 3; ++i) deliverFrame();
  statuses.clear();
  loop.advance(1s);
  ASSERT_FALSE(statuses.empty());
  const auto& status = statuses.back();
  EXPECT_EQ(status.framesSent, static_cast<std::int64_t>(video.size()));
  EXPECT_GE(status.fps, 3.0);  // the three frames and the idle refresh
  EXPECT_GT(status.bitrateMbps, 0.0);
  EXPECT_EQ(status.encodeLatencyMs, 1.5);
}

TEST_F(StreamingTest, EndingTheSessionStopsCaptureAndTheEncoder) {
  auto source = capture();
  auto enc = encoder();
  device->close();
  loop.settle();
  EXPECT_TRUE(sessionEnded);
  EXPECT_EQ(source->calls.back(), "stop");
  EXPECT_EQ(enc->invalidations(), 1);
  // Nothing is encoded after the end.
  const auto encoded = enc->calls().size();
  loop.advance(1s);
  EXPECT_EQ(enc->calls().size(), encoded);
}

}  // namespace
}  // namespace brindlet::host::testing
