#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <utility>

#include "host/session/SessionDispatch.h"
#include "platform/log/Log.h"
#include "session/core/SessionFixture.h"

namespace brindlet::host::testing {
namespace {

using namespace std::chrono_literals;

// The 29 messages a device sends after its hello.
const std::set<std::string_view> deviceMessages{"selectDisplay",
                                                "viewport",
                                                "setThumbnails",
                                                "feedback",
                                                "requestCursorShape",
                                                "setAppListUpdates",
                                                "activateApp",
                                                "focus",
                                                "windowThumbnails",
                                                "setVideoEnabled",
                                                "setAudio",
                                                "requestAppIcons",
                                                "launchApp",
                                                "launchControl",
                                                "quitApp",
                                                "fileOffer",
                                                "fileChunk",
                                                "fileEnd",
                                                "fileCancel",
                                                "watchActions",
                                                "performAction",
                                                "clipboardText",
                                                "key",
                                                "pointer",
                                                "text",
                                                "ping",
                                                "focusBack",
                                                "unfocus",
                                                "requestInstalledApps"};

template <std::size_t... I>
std::vector<std::pair<std::uint8_t, std::string_view>> allCases(std::index_sequence<I...>) {
  return {
      {std::variant_alternative_t<I, Message::Value>::type, std::variant_alternative_t<I, Message::Value>::name}...};
}

TEST(SessionDispatchTable, EveryDeviceMessageHasItsPlaceAndNothingElseHasOne) {
  const auto& table = SessionDispatch::standard();
  int placed = 0;
  for (auto [type, name] : allCases(std::make_index_sequence<Message::caseCount>{})) {
    SCOPED_TRACE(std::string(name));
    const auto& entry = table.entry(type);
    bool hasPlace = entry.handler != nullptr || !entry.unavailable.empty();
    EXPECT_EQ(hasPlace, deviceMessages.count(name) == 1);
    EXPECT_FALSE(entry.handler != nullptr && !entry.unavailable.empty());
    placed += hasPlace;
  }
  EXPECT_EQ(placed, 29);
  for (auto name : {"feedback", "clipboardText", "key", "pointer", "text", "ping"}) {
    bool found = false;
    for (auto [type, caseName] : allCases(std::make_index_sequence<Message::caseCount>{})) {
      if (caseName == name) found = table.entry(type).handler != nullptr;
    }
    EXPECT_TRUE(found) << name;
  }
}

using SessionDispatchTest = SessionFixture;

TEST_F(SessionDispatchTest, InputReachesTheInjectorAndPingIsAnswered) {
  services.injector->position = Point{640, 360};
  startAccepted();
  send(msg::Key{KeyEvent{HIDUsage::a, true, ModifierFlags::shift}});
  send(msg::Text{"héllo"});
  send(msg::Pointer{PointerEvent::MoveAbsolute{3, 0.5f, 0.25f}, 11});
  send(msg::Pointer{PointerEvent::MoveAbsolute{99, 0.5f, 0.5f}, 12});
  send(msg::Pointer{PointerEvent::Button{PointerButton::left, true, 1}, 13});
  send(msg::Ping{0xFEEDFACECAFEBEEF});

  EXPECT_EQ(services.injector->keys, (std::vector<KeyEvent>{{HIDUsage::a, true, ModifierFlags::shift}}));
  EXPECT_EQ(services.injector->texts, (std::vector<std::string>{"héllo"}));
  ASSERT_EQ(services.injector->pointers.size(), 3u);
  ASSERT_TRUE(services.injector->pointers[0].display);
  EXPECT_EQ(services.injector->pointers[0].display->name, "Main");  // the display of the list by its ID
  EXPECT_FALSE(services.injector->pointers[1].display);             // an unknown display: none
  EXPECT_FALSE(services.injector->pointers[2].display);
  auto click = services.clicks->peek();
  ASSERT_TRUE(click);
  EXPECT_EQ(click->point, (Point{640, 360}));
  // Each pointer event is answered by where the cursor is now (the first at once, the rest
  // within the same 1/120 s not), then the ping.
  ASSERT_EQ(received.size(), 2u);
  ASSERT_TRUE(received[0].is<msg::CursorState>());
  EXPECT_EQ(received[0].as<msg::CursorState>()->seq, 11u);
  EXPECT_EQ(received[1], Message(msg::Pong{0xFEEDFACECAFEBEEF}));
}

TEST_F(SessionDispatchTest, HandleTakesAMessageFromOutsideTheReceiveLoop) {
  startAccepted();
  bool done = false;
  Task handling = perform([](HostSession& s) { return s.handle(msg::Ping{77}); }, &done);
  EXPECT_TRUE(done);
  EXPECT_EQ(received, (std::vector<Message>{msg::Pong{77}}));
}

TEST_F(SessionDispatchTest, ARelativeMoveWakesASleepingDisplay) {
  startAccepted();
  services.wakeRequests.clear();
  int wakes = services.power->wakes;
  send(msg::Pointer{PointerEvent::MoveRelative{3, 4}, 1});
  EXPECT_EQ(services.power->wakes, wakes);
  services.displayAsleep = true;
  send(msg::Pointer{PointerEvent::MoveRelative{3, 4}, 2});
  EXPECT_EQ(services.power->wakes, wakes + 1);
  EXPECT_EQ(services.wakeRequests, (std::vector<bool>{true}));
  EXPECT_EQ(services.injector->pointers.size(), 2u);
}

TEST_F(SessionDispatchTest, ClipboardTextFromTheDeviceGoesOnTheClipboard) {
  startAccepted();
  send(msg::ClipboardText{"from the phone"});
  EXPECT_EQ(services.pasteboard->text, "from the phone");
  EXPECT_TRUE(received.empty());
}

TEST_F(SessionDispatchTest, FeedbackAdaptsTheBitrateAndIsLoggedSparingly) {
  LogCapture log;
  startAccepted();
  // Only a key-frame request: logged, bitrate unchanged.
  send(msg::Feedback{Feedback{0, 0, 0, true}});
  EXPECT_EQ(log.containing("feedback received=0 dropped=0 jitter=0.0ms keyframe=true").size(), 1u);
  EXPECT_TRUE(statuses.empty());

  // Clean reports 1 s apart: at most the first is logged.
  loop.advance(5s);
  send(msg::Feedback{Feedback{60, 0, 2.5f, false}});
  loop.advance(1s);
  send(msg::Feedback{Feedback{60, 0, 2.5f, false}});
  EXPECT_EQ(log.containing("feedback received=60 dropped=0 jitter=2.5ms keyframe=false").size(), 1u);

  // Dropped frames: always logged, and the bitrate comes down.
  send(msg::Feedback{Feedback{50, 10, 40, false}});
  EXPECT_EQ(log.containing("feedback received=50 dropped=10 jitter=40.0ms keyframe=false").size(), 1u);
  ASSERT_FALSE(statuses.empty());
  EXPECT_LT(statuses.back().targetBitrateMbps, 16.0);
  EXPECT_GE(statuses.back().targetBitrateMbps, 4.0);
}

TEST_F(SessionDispatchTest, AMessageOfAFeatureNotBuiltYetIsIgnoredWithOneNotice) {
  LogCapture log;
  startAccepted();
  send(msg::SetAppListUpdates{true});
  send(msg::SetAppListUpdates{false});
  send(msg::QuitApp{42});
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(log.containing("setAppListUpdates ignored: app lists not available on this host yet").size(), 1u);
  EXPECT_EQ(log.containing("quitApp ignored: quitting apps not available on this host yet").size(), 1u);
  send(msg::Ping{9});
  EXPECT_EQ(received, (std::vector<Message>{msg::Pong{9}}));
}

// A request whose feature this host does not have yet gets that feature's failure answer,
// every time it comes.
TEST_F(SessionDispatchTest, ARequestOfAFeatureNotBuiltYetGetsItsFailureAnswer) {
  const msg::StreamMode desktopWithNotice{
      StreamModeInfo{StreamMode::desktop(), false, "That window is no longer available", NormalizedRect::full, {}}};
  struct Case {
    Message request;
    std::vector<Message> answers;
    const char* logged;  // a line the answer comes with, or none
  };
  const std::vector<Case> cases{
      {msg::SetAudio{AudioMode::phoneOnly},
       {msg::AudioStatus{AudioStatus::failed, "Audio capture is not available"}},
       "audio failed: Audio capture is not available"},
      {msg::SetAudio{AudioMode::both}, {msg::AudioStatus{AudioStatus::failed, "Audio capture is not available"}}, {}},
      {msg::Focus{501, 7, true, true}, {desktopWithNotice}, "focus: window 7 not found"},
      {msg::LaunchApp{"com.example.notes", true},
       {msg::LaunchStatus{LaunchStatus{"com.example.notes", LaunchState::launching, 0, ""}},
        msg::LaunchStatus{LaunchStatus{"com.example.notes", LaunchState::failed, 0, "Couldn\u2019t open the app"}}},
       {}},
      {msg::RequestInstalledApps{}, {msg::InstalledApps{}}, {}},
      {msg::PerformAction{3, {"File", "Copy"}},
       {msg::ActionResult{false, "Not available right now"}},
       "actions: File/Copy failed: Not available right now"},
  };
  startAccepted();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.request.name()));
    LogCapture log;
    for (int time = 0; time < 2; ++time) {
      received.clear();
      send(c.request);
      EXPECT_EQ(received, c.answers);
    }
    if (c.logged) {
      EXPECT_EQ(log.containing(c.logged).size(), 2u);
    }
    EXPECT_TRUE(log.containing("not available on this host yet").empty());
  }
  EXPECT_FALSE(deviceClosed);
}

// A message of a feature not built yet that expects no answer gets none: one notice a session.
TEST_F(SessionDispatchTest, AMessageThatExpectsNoAnswerGetsOneNoticeASession) {
  const std::vector<std::pair<Message, const char*>> cases{
      {msg::SetThumbnails{true}, "setThumbnails ignored: display thumbnails not available"},
      {msg::ActivateApp{501, 7, true}, "activateApp ignored: app activation not available"},
      {msg::WindowThumbnails{true, {7, 9}}, "windowThumbnails ignored: window thumbnails not available"},
      {msg::LaunchControl{"com.example.notes", LaunchAction::keepWaiting},
       "launchControl ignored: launching apps not available"},
      {msg::WatchActions{true}, "watchActions ignored: menu actions not available"},
  };
  LogCapture log;
  startAccepted();
  for (const auto& [message, notice] : cases) {
    SCOPED_TRACE(std::string(message.name()));
    send(message);
    send(message);
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(log.containing(notice).size(), 1u);
  }
  send(msg::Ping{9});
  EXPECT_EQ(received, (std::vector<Message>{msg::Pong{9}}));
}

TEST_F(SessionDispatchTest, WithoutAPasteboardClipboardTextIsNoticedOnce) {
  LogCapture log;
  adjustEnvironment = [](HostEnvironment& env) { env.pasteboard = nullptr; };
  startAccepted();
  send(msg::ClipboardText{"from the phone"});
  send(msg::ClipboardText{"again"});
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(log.containing("clipboardText ignored: the clipboard not available on this host yet").size(), 1u);
  EXPECT_FALSE(services.pasteboard->text);
}

TEST_F(SessionDispatchTest, WithoutDisplaysAFocusRequestIsNotAnswered) {
  services.displays->list.clear();
  startAccepted();
  send(msg::Focus{501, 7, false, false});
  EXPECT_TRUE(received.empty());
}

TEST_F(SessionDispatchTest, AServiceThatFailsEndsOnlyThatMessage) {
  LogCapture log;
  services.injector->failure = "no keyboard";
  startAccepted();
  send(msg::Key{KeyEvent{HIDUsage::b, true, {}}});
  EXPECT_EQ(log.containing("key failed: no keyboard").size(), 1u);
  send(msg::Ping{2});
  EXPECT_EQ(received, (std::vector<Message>{msg::Pong{2}}));
  EXPECT_FALSE(deviceClosed);
}

}  // namespace
}  // namespace brindlet::host::testing
