#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "host/ui/PairingPrompter.h"
#include "kit/support/Task.h"
#include "support/TestLoop.h"

namespace brindlet::host {
namespace {

using brindlet::testing::TestLoop;

// The gate's side: asks on its own strand and records the answer.
asio::awaitable<void> ask(std::shared_ptr<PairingPrompter> prompter, std::string name, std::string code,
                          std::shared_ptr<std::optional<bool>> answer) {
  *answer = co_await prompter->confirm(std::move(name), std::move(code));
}

class PairingPrompterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prompter = PairingPrompter::make(main);
    prompter->onPresent = [this](const PairingPrompter::Pending& p) { presented.push_back(p); };
    prompter->onDismiss = [this] { ++dismissed; };
  }

  std::shared_ptr<std::optional<bool>> request(Task& task, std::string name, std::string code) {
    auto answer = std::make_shared<std::optional<bool>>();
    task = Task::spawn(gate, ask(prompter, std::move(name), std::move(code), answer));
    return answer;
  }

  TestLoop loop;
  Strand main = loop.strand();
  Strand gate = loop.strand();
  std::shared_ptr<PairingPrompter> prompter;
  std::vector<PairingPrompter::Pending> presented;
  int dismissed = 0;
};

TEST_F(PairingPrompterTest, ANewerRequestAnswersTheOlderFalseAndOnlyItsOwnAnswerCounts) {
  Task first, second;
  auto a = request(first, "Phone", "123456");
  loop.settle();
  auto b = request(second, "Tablet", "654321");
  loop.settle();

  EXPECT_EQ(*a, false);
  EXPECT_FALSE(b->has_value());
  ASSERT_EQ(presented.size(), 2u);
  EXPECT_EQ(dismissed, 1);
  ASSERT_TRUE(prompter->pending());
  EXPECT_EQ(prompter->pending()->deviceName, "Tablet");
  EXPECT_EQ(prompter->pending()->code, "654321");

  prompter->resolve(true, presented[0].id);  // the older prompt's window answering late
  loop.settle();
  EXPECT_FALSE(b->has_value());
  EXPECT_EQ(dismissed, 1);

  prompter->resolve(true, presented[1].id);
  loop.settle();
  EXPECT_EQ(*b, true);
  EXPECT_EQ(dismissed, 2);
  EXPECT_FALSE(prompter->pending());
}

TEST_F(PairingPrompterTest, AllowAnswersOnceAndTheCloseHandlersLaterDenialIsIgnored) {
  Task task;
  auto answer = request(task, "Phone", "123456");
  loop.settle();
  UUID id = presented.at(0).id;
  prompter->resolve(true, id);
  prompter->resolve(false, id);  // the window's close handler after Allow
  loop.settle();
  EXPECT_EQ(*answer, true);
  EXPECT_EQ(dismissed, 1);

  prompter->resolve(false);  // nothing pending: no callback
  EXPECT_EQ(dismissed, 1);
}

TEST_F(PairingPrompterTest, ACancelledWaitWithdrawsThePromptAndAnswersFalse) {
  Task task;
  auto answer = request(task, "Phone", "123456");
  loop.settle();
  ASSERT_TRUE(prompter->pending());
  task.cancel();  // the gate's confirmation time-out
  loop.settle();
  EXPECT_FALSE(prompter->pending());
  EXPECT_EQ(dismissed, 1);
  // The cancelled wait has ended, and never with the user's consent.
  EXPECT_FALSE(task.isRunning());
  EXPECT_NE(*answer, std::optional<bool>(true));
}

TEST_F(PairingPrompterTest, ACancelledWithdrawalLeavesANewerPromptAlone) {
  Task first, second;
  request(first, "Phone", "123456");
  loop.settle();
  auto b = request(second, "Tablet", "654321");
  loop.settle();
  first.cancel();  // already answered false by the newer request
  loop.settle();
  ASSERT_TRUE(prompter->pending());
  EXPECT_EQ(prompter->pending()->deviceName, "Tablet");
  EXPECT_EQ(dismissed, 1);
  prompter->resolve(false);
  loop.settle();
  EXPECT_EQ(*b, false);
}

// Waits on a stream that never delivers until the task is cancelled, then asks to present.
asio::awaitable<void> presentAfterCancellation(std::shared_ptr<PairingPrompter> prompter,
                                               std::shared_ptr<std::optional<bool>> answer) {
  AsyncStream<int> never;
  co_await never.next();  // ends with nothing once the task is cancelled
  PairingPrompter::Pending prompt{UUID::random(), "Phone", "123456"};
  *answer = co_await prompter->present(std::move(prompt));
}

TEST_F(PairingPrompterTest, ARequestWhoseTaskIsAlreadyCancelledShowsNothingAndAnswersFalse) {
  auto answer = std::make_shared<std::optional<bool>>();
  Task task = Task::spawn(main, presentAfterCancellation(prompter, answer));
  loop.settle();
  task.cancel();
  loop.settle();
  EXPECT_FALSE(task.isRunning());
  EXPECT_NE(*answer, std::optional<bool>(true));
  EXPECT_TRUE(presented.empty());
  EXPECT_EQ(dismissed, 0);
  EXPECT_FALSE(prompter->pending());
}

}  // namespace
}  // namespace brindlet::host
