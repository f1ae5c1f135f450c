// The debounced change broadcaster on the manual clock, and the display list's order and names.
#include <gtest/gtest.h>

#include "host/capture/ChangeBroadcaster.h"
#include "host/capture/DisplayManager.h"
#include "support/TestLoop.h"

using namespace brindlet;
using namespace brindlet::host;
using namespace brindlet::testing;
using namespace std::chrono_literals;

TEST(ChangeBroadcaster, ABurstOfNoticesGivesOneEventAfterTheLast) {
  TestLoop loop;
  auto broadcaster = ChangeBroadcaster::make(loop.io.get_executor(), loop.clock);
  auto changes = broadcaster->changes();
  for (int i = 0; i < 3; ++i) {
    broadcaster->notify();
    loop.advance(100ms);
  }
  loop.advance(299ms);
  EXPECT_EQ(changes.count(), 0u) << "0.4 s after the third notice, not before";
  loop.advance(1ms);
  EXPECT_EQ(changes.count(), 1u);
  loop.advance(5s);
  EXPECT_EQ(changes.count(), 1u);
}

TEST(ChangeBroadcaster, SlowSubscribersHoldOneEventAndFinishedOnesAreDropped) {
  TestLoop loop;
  auto broadcaster = ChangeBroadcaster::make(loop.io.get_executor(), loop.clock);
  auto slow = broadcaster->changes();
  auto gone = broadcaster->changes();
  gone.finish();
  for (int i = 0; i < 5; ++i) {
    broadcaster->notify();
    loop.advance(1s);
  }
  EXPECT_EQ(slow.count(), 1u) << "one pending event, not five";
  EXPECT_EQ(broadcaster->subscriberCount(), 1u);
  broadcaster->setDebounce(50ms);
  broadcaster.reset();  // a stream outlives its broadcaster; nothing fires any more
  loop.advance(1s);
  EXPECT_EQ(slow.count(), 1u);
}

TEST(DisplayManager, ListsTheMainDisplayFirstThenByID) {
  platform::ScreenDisplay a, b, c;
  a.id = 5;
  a.isMain = true;
  a.name = "LEFT";
  a.width = 1920;
  a.height = 1080;
  a.pixelWidth = 1920;
  a.pixelHeight = 1080;
  b.id = 1;
  b.x = 1920;
  b.width = 1280;
  b.height = 1024;
  c.id = 3;
  c.name = "";
  c.width = 800;
  c.height = 600;
  auto list = displayInfos({c, a, b});
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].id, 5u);
  EXPECT_EQ(list[1].id, 1u);
  EXPECT_EQ(list[2].id, 3u);
  EXPECT_EQ(list[1].name, "Display 1") << "a display without a name";
  EXPECT_EQ(list[1].pixelWidth, 1280u) << "no mode: the frame's size";
  EXPECT_EQ(list[1].frame, (DisplayFrame{1920, 0, 1280, 1024}));
  EXPECT_TRUE(list[0].isMain);
}
