#include <gtest/gtest.h>

#include <string>

#include "host/ui/MenuBarModel.h"

namespace brindlet::host {
namespace {

SessionStatus session(SessionStatus::Phase phase) {
  SessionStatus status;
  status.phase = phase;
  status.deviceName = "Ada’s iPad";
  status.displayName = "Studio";
  status.width = 2560;
  status.height = 1440;
  status.profile = CodecProfile::hevcMain444;
  status.encodeLatencyMs = 11.6;
  status.bitrateMbps = 18.2;
  return status;
}

TEST(MenuBarModelTest, StatusLineFollowsSessionEncoderAndListener) {
  struct Case {
    std::optional<SessionStatus::Phase> phase;
    bool encoderReady;
    bool retrying;
    std::string text;
    bool live;
  };
  const Case cases[] = {
      {std::nullopt, false, false, "Checking video encoder…", false},
      {std::nullopt, true, true, "Not advertising — retrying…", false},
      {std::nullopt, true, false, "Waiting for connections", false},
      {SessionStatus::Phase::negotiating, false, true, "Connected — Ada’s iPad", true},
      {SessionStatus::Phase::streaming, true, false, "Connected — Ada’s iPad", true},
      // An ended session still held counts as no session.
      {SessionStatus::Phase::ended, true, true, "Not advertising — retrying…", false},
  };
  for (const Case& c : cases) {
    MenuBarSnapshot snapshot;
    if (c.phase) snapshot.status = session(*c.phase);
    snapshot.encoderReady = c.encoderReady;
    snapshot.listenerRetrying = c.retrying;
    MenuBarView view = MenuBarView::render(snapshot);
    EXPECT_EQ(view.statusText, c.text);
    EXPECT_EQ(view.live, c.live) << c.text;
    EXPECT_EQ(view.card.has_value(), c.live) << c.text;
    EXPECT_EQ(view.disconnectEnabled, c.live) << c.text;
  }
}

TEST(MenuBarModelTest, StreamingCardLines) {
  SessionStatus status = session(SessionStatus::Phase::streaming);
  EXPECT_EQ(displayLine(status), "Studio · 2560×1440");
  EXPECT_EQ(statsLine(status), "HEVC 4:4:4 · 12 ms · 18 Mbps");

  status.displayName.clear();
  status.encodeLatencyMs.reset();
  status.profile = CodecProfile::hevcMain;
  status.bitrateMbps = 25;
  EXPECT_EQ(displayLine(status), "No display");
  EXPECT_EQ(statsLine(status), "HEVC 4:2:0 · 25 Mbps");
  status.profile.reset();
  EXPECT_EQ(statsLine(status), "— · 25 Mbps");
  EXPECT_EQ(profileLabel(CodecProfile::hevcMain10), "HEVC 4:2:0 10-bit");
  EXPECT_EQ(profileLabel(CodecProfile::hevcMain44410), "HEVC 4:4:4 10-bit");
}

TEST(MenuBarModelTest, CaptureErrorHidesTheNote) {
  MenuBarSnapshot snapshot;
  snapshot.status = session(SessionStatus::Phase::streaming);
  snapshot.status->note = "Mac is locked";
  MenuBarView view = MenuBarView::render(snapshot);
  EXPECT_EQ(view.card->footnote, "Mac is locked");
  EXPECT_FALSE(view.card->footnoteIsError);

  snapshot.status->captureError = "Capture failed";
  view = MenuBarView::render(snapshot);
  EXPECT_EQ(view.card->footnote, "Capture failed");
  EXPECT_TRUE(view.card->footnoteIsError);
}

TEST(MenuBarModelTest, DevicesPairingAndPermissions) {
  MenuBarSnapshot snapshot;
  MenuBarView view = MenuBarView::render(snapshot);
  EXPECT_TRUE(view.showsNoDevices);
  EXPECT_TRUE(view.devices.empty());
  EXPECT_FALSE(view.pairEnabled);  // before the security bootstrap

  PairedDevice seen{UUID::random(), "Phone", Bytes(65, 4), Date{}, Date{} + std::chrono::hours(1)};
  PairedDevice never{UUID::random(), "Tablet", Bytes(65, 4), Date{}, std::nullopt};
  snapshot.pairedDevices = {seen, never};
  snapshot.securityReady = true;
  snapshot.securityError = "Could not load the host identity: denied";
  snapshot.accessibility = true;
  view = MenuBarView::render(snapshot);
  EXPECT_FALSE(view.showsNoDevices);
  ASSERT_EQ(view.devices.size(), 2u);
  EXPECT_EQ(view.devices[0].name, "Phone");
  EXPECT_TRUE(view.devices[0].lastSeen.has_value());
  EXPECT_FALSE(view.devices[1].lastSeen.has_value());
  EXPECT_EQ(view.devices[1].removeLabel, "Remove Tablet");
  EXPECT_FALSE(view.devices[1].removing);
  snapshot.removing = {never.deviceID};
  EXPECT_TRUE(MenuBarView::render(snapshot).devices[1].removing);
  EXPECT_FALSE(MenuBarView::render(snapshot).devices[0].removing);
  EXPECT_TRUE(view.pairEnabled);
  EXPECT_EQ(view.securityError, snapshot.securityError);
  EXPECT_FALSE(view.screenRecordingGranted);
  EXPECT_TRUE(view.accessibilityGranted);
}

}  // namespace
}  // namespace brindlet::host
