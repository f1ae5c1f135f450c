#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "host/control/HostScroll.h"
#include "host/control/PointerTracker.h"

namespace brindlet::host {
namespace {

TEST(PointerTracker, EchoesOfInjectedMovesAreNotLocalMoves) {
  PointerTracker tracker;
  EXPECT_FALSE(tracker.isLocalMove(std::nullopt, 10));
  EXPECT_FALSE(tracker.isLocalMove(Point{5, 5}, 10));  // adopted, not a local move
  EXPECT_EQ(tracker.position, (Point{5, 5}));

  tracker.noteInjected({100, 100}, 10.0);
  tracker.noteInjected({200, 200}, 10.0);
  EXPECT_FALSE(tracker.isLocalMove(Point{201, 199}, 10.3));  // 1 point off: where the host put it
  EXPECT_EQ(tracker.position, (Point{200, 200}));
  EXPECT_FALSE(tracker.isLocalMove(Point{101, 101}, 10.3));  // an injected position 0.3 s ago
  EXPECT_EQ(tracker.position, (Point{200, 200}));
  EXPECT_TRUE(tracker.isLocalMove(Point{101, 101}, 10.6));  // the same 0.6 s after it
  EXPECT_EQ(tracker.position, (Point{101, 101}));
  EXPECT_TRUE(tracker.isLocalMove(Point{400, 10}, 10.6));  // nowhere the host has been
}

TEST(PointerTracker, KeepsTheLast128Samples) {
  PointerTracker tracker;
  for (int i = 0; i < 200; ++i) tracker.noteInjected({double(i), 0}, i * 0.01);
  EXPECT_EQ(tracker.recent.size(), 128u);
  EXPECT_EQ(tracker.recent.back().point, (Point{199, 0}));
  // The point left behind counts as injected at the moment of the move.
  EXPECT_EQ(tracker.recent[tracker.recent.size() - 2].point, (Point{198, 0}));
  EXPECT_DOUBLE_EQ(tracker.recent[tracker.recent.size() - 2].at, 1.99);
}

TEST(HostScroll, CarriesFractionsAndClampsToTheLimit) {
  HostScroll::Remainder r;
  std::vector<std::int32_t> vertical;
  for (int i = 0; i < 3; ++i) vertical.push_back(HostScroll::accumulate(0, 0.3f, r).second);
  EXPECT_EQ(vertical, (std::vector<std::int32_t>{0, 1, 0}));
  EXPECT_NEAR(r.y, 0.8f, 1e-5);

  HostScroll::Remainder negative;
  EXPECT_EQ(HostScroll::accumulate(-0.8f, 0, negative).first, -1);
  EXPECT_NEAR(negative.x, -0.6f, 1e-5);  // keeps its sign

  HostScroll::Remainder big;
  EXPECT_EQ(HostScroll::accumulate(20000, -20000, big), (std::pair<std::int32_t, std::int32_t>{30000, -30000}));

  HostScroll::Remainder odd;
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(HostScroll::accumulate(std::nanf(""), -inf, odd), (std::pair<std::int32_t, std::int32_t>{30000, -30000}));
  EXPECT_EQ(odd, (HostScroll::Remainder{0, 0}));  // a fresh start, not a remainder that is not finite
  EXPECT_EQ(HostScroll::accumulate(inf, 1, odd).first, 30000);
}

}  // namespace
}  // namespace brindlet::host
