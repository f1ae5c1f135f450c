#include <gtest/gtest.h>

#include "host/session/LoopbackHostListener.h"
#include "support/StreamRecorder.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using brindlet::testing::StreamRecorder;
using brindlet::testing::TestLoop;

TEST(LoopbackHostListener, WithoutClientsYieldsNothingAndStopEndsTheStreamAtOnce) {
  TestLoop loop;
  LoopbackHostListener listener;
  EXPECT_NO_THROW(listener.start());
  StreamRecorder<std::shared_ptr<Connection>> incoming(loop.strand(), listener.connections());
  loop.settle();
  EXPECT_EQ(incoming.count(), 0u);
  EXPECT_FALSE(incoming.ended());
  listener.stop();
  loop.settle();
  EXPECT_TRUE(incoming.ended());
  EXPECT_EQ(incoming.count(), 0u);
  listener.stop();  // a second stop changes nothing
}

TEST(LoopbackHostListener, AttachedClientsReachTheAcceptPathAndStopEndsThem) {
  TestLoop loop;
  LoopbackHostListener listener;
  listener.start();
  StreamRecorder<std::shared_ptr<Connection>> incoming(loop.strand(), listener.connections());
  auto first = listener.attachClient();
  auto second = listener.attachClient();
  loop.settle();
  ASSERT_EQ(incoming.count(), 2u);
  EXPECT_EQ(listener.clientCount(), 2u);

  // Each host end talks to its own client.
  auto hostEnds = incoming.values();
  std::vector<std::unique_ptr<StreamRecorder<Message>>> hostMessages;
  for (auto& end : hostEnds)
    hostMessages.push_back(std::make_unique<StreamRecorder<Message>>(loop.strand(), end->messages()));
  first->startCounting(loop.strand());
  second->startCounting(loop.strand());
  first->connection()->send(msg::Ping{1});
  second->connection()->send(msg::Ping{2});
  hostEnds[1]->send(msg::Pong{2});
  hostEnds[1]->send(msg::Pong{3});
  loop.settle();
  EXPECT_EQ(hostMessages[0]->values(), std::vector<Message>{msg::Ping{1}});
  EXPECT_EQ(hostMessages[1]->values(), std::vector<Message>{msg::Ping{2}});
  EXPECT_EQ(first->received(), 0);
  EXPECT_EQ(second->received(), 2);
  EXPECT_TRUE(first->hasRunningTasks() && second->hasRunningTasks());

  listener.stop();
  loop.settle();
  EXPECT_TRUE(incoming.ended());
  EXPECT_EQ(listener.clientCount(), 0u);
  for (auto& client : {first, second}) {
    EXPECT_FALSE(client->hasRunningTasks());
    EXPECT_FALSE(client->connection()->sendVideo(VideoFrame{}));
  }
  for (auto& messages : hostMessages) EXPECT_TRUE(messages->ended());  // the sessions on the host ends end

  auto late = listener.attachClient();  // after stop: a closed pair, not kept
  EXPECT_EQ(listener.clientCount(), 0u);
  EXPECT_FALSE(late->connection()->sendVideo(VideoFrame{}));
}

}  // namespace
}  // namespace brindlet::host
