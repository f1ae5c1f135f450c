#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/ui/DeviceRemovals.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using brindlet::testing::TestLoop;
using namespace std::chrono_literals;

class DeviceRemovalsTest : public ::testing::Test {
 protected:
  TestLoop loop;
  std::vector<std::string> removed;
  DeviceRemovals removals{loop.strand(), loop.clock, [this](const PairedDevice& d) { removed.push_back(d.name); }};
  PairedDevice phone{UUID::random(), "Phone", Bytes(65, 4), Date{}, std::nullopt};
  PairedDevice tablet{UUID::random(), "Tablet", Bytes(65, 4), Date{}, std::nullopt};
};

TEST_F(DeviceRemovalsTest, RemovesAfterTheUndoWindow) {
  removals.request(phone);
  removals.request(phone);  // a second click changes nothing
  EXPECT_TRUE(removals.isPending(phone.deviceID));
  loop.advance(4999ms);
  EXPECT_TRUE(removed.empty());
  loop.advance(1ms);
  EXPECT_EQ(removed, std::vector<std::string>{"Phone"});
  EXPECT_FALSE(removals.isPending(phone.deviceID));
}

TEST_F(DeviceRemovalsTest, UndoKeepsOnlyThatDevice) {
  removals.request(phone);
  loop.advance(2s);
  removals.request(tablet);
  EXPECT_TRUE(removals.undo(phone.deviceID));
  EXPECT_FALSE(removals.undo(phone.deviceID));
  loop.advance(10s);
  EXPECT_EQ(removed, std::vector<std::string>{"Tablet"});
}

TEST_F(DeviceRemovalsTest, FlushCarriesOutWhatWaits) {
  removals.request(phone);
  removals.flush();
  EXPECT_EQ(removed, std::vector<std::string>{"Phone"});
  loop.advance(10s);
  EXPECT_EQ(removed.size(), 1u);
}

}  // namespace
}  // namespace brindlet::host
