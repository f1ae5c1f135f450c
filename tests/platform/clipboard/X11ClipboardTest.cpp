// The host's clipboard client against other X clients: a GTK program copying and pasting,
// and an owner that never answers.
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_future.hpp>

#include "kit/support/SystemClock.h"
#include "platform/clipboard/OtherClient.h"
#include "platform/clipboard/X11Clipboard.h"

namespace brindlet::platform {
namespace {

using testing::GTKCopier;
using testing::runPaste;
using testing::SilentOwner;
using Status = ClipboardRead::Status;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

class X11ClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_ = std::thread([this] { io_.run(); });
    clipboard_ = X11Clipboard::open(io_.get_executor(), SystemClock::shared());
  }
  void TearDown() override {
    clipboard_.reset();
    work_.reset();
    thread_.join();
  }

  ClipboardRead read(const std::string& target, std::size_t maxBytes) {
    auto c = clipboard_;
    return asio::co_spawn(io_, c->read(target, maxBytes), asio::use_future).get();
  }

  // Waits (at most 5 s) until the change count is past `count`.
  bool countPasses(std::int64_t count) {
    for (int i = 0; i < 500 && clipboard_->changeCount() <= count; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return clipboard_->changeCount() > count;
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  std::thread thread_;
  std::shared_ptr<X11Clipboard> clipboard_;
};

TEST_F(X11ClipboardTest, TextCopiedInAnotherProgramIsCountedAndRead) {
  const std::int64_t before = clipboard_->changeCount();
  GTKCopier copier({"copy-text", "héllo wörld ✓"});
  ASSERT_TRUE(countPasses(before));
  ClipboardRead text = read("UTF8_STRING", 65535);
  ASSERT_EQ(text.status, Status::ok);
  EXPECT_EQ(text.data, bytesOf("héllo wörld ✓"));
  auto targets = asio::co_spawn(io_, clipboard_->targets(), asio::use_future).get();
  EXPECT_NE(std::find(targets.begin(), targets.end(), "UTF8_STRING"), targets.end());
  // A flavour the owner does not have.
  EXPECT_EQ(read("image/png", 1 << 20).status, Status::empty);
}

TEST_F(X11ClipboardTest, LargeTextOfAnotherProgramComesInStepsAndIsRefusedPastTheLimit) {
  GTKCopier copier({"copy-repeat", "x", "700000"});
  ClipboardRead whole = read("UTF8_STRING", 1 << 20);
  ASSERT_EQ(whole.status, Status::ok);
  EXPECT_EQ(whole.data, Bytes(700000, 'x'));
  ClipboardRead limited = read("UTF8_STRING", 65535);
  EXPECT_EQ(limited.status, Status::tooLarge);
  EXPECT_GT(limited.size, 65535u);
  EXPECT_TRUE(limited.data.empty());
  // The refused read leaves nothing behind that spoils the next one.
  ClipboardRead again = read("UTF8_STRING", 1 << 20);
  EXPECT_EQ(again.status, Status::ok);
  EXPECT_EQ(again.data.size(), 700000u);
}

TEST_F(X11ClipboardTest, WhatWeOwnIsPastedByAnotherProgramSmallAndLarge) {
  const std::int64_t before = clipboard_->changeCount();
  ASSERT_TRUE(clipboard_->own({{"UTF8_STRING", bytesOf("from the phone ✓")}}));
  EXPECT_EQ(clipboard_->changeCount(), before + 1);  // counted by own() itself
  EXPECT_EQ(runPaste("paste-text"), "text:18:from the phone ✓");
  EXPECT_EQ(clipboard_->changeCount(), before + 1);  // our own change is not counted twice

  std::string large(1'500'000, 'y');
  ASSERT_TRUE(clipboard_->own({{"UTF8_STRING", bytesOf(large)}}));
  EXPECT_EQ(runPaste("paste-text"), "text:1500000:" + large.substr(0, 64));
  // Read back without asking ourselves through the server.
  EXPECT_EQ(read("UTF8_STRING", 2'000'000).data.size(), large.size());
}

TEST_F(X11ClipboardTest, AnOwnerThatNeverAnswersCostsATimeOutNotAHang) {
  const std::int64_t before = clipboard_->changeCount();
  SilentOwner owner;
  ASSERT_TRUE(countPasses(before));
  const auto started = std::chrono::steady_clock::now();
  ClipboardRead text = read("UTF8_STRING", 65535);
  EXPECT_EQ(text.status, Status::timedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  // Taking the clipboard back from it works.
  ASSERT_TRUE(clipboard_->own({{"UTF8_STRING", bytesOf("mine")}}));
  EXPECT_EQ(read("UTF8_STRING", 100).data, bytesOf("mine"));
}

// Another program takes the clipboard and we take it back before our event loop saw the
// notice of losing it: that late notice must not empty what we now offer.
TEST_F(X11ClipboardTest, ALateNoticeOfAnEarlierLossKeepsTheNewContent) {
  ASSERT_TRUE(clipboard_->own({{"UTF8_STRING", bytesOf("first")}}));
  std::promise<void> stalled, release;
  asio::post(io_, [&] {
    stalled.set_value();
    release.get_future().wait();
  });
  stalled.get_future().wait();
  {
    SilentOwner other;  // the server has queued its notice for us when this returns
    ASSERT_TRUE(clipboard_->own({{"UTF8_STRING", bytesOf("second ✓")}}));
  }
  release.set_value();
  EXPECT_EQ(runPaste("paste-text"), "text:10:second ✓");
  EXPECT_EQ(read("UTF8_STRING", 100).data, bytesOf("second ✓"));
}

TEST_F(X11ClipboardTest, AnOwnerLeavingIsAChange) {
  std::int64_t before = clipboard_->changeCount();
  {
    GTKCopier copier({"copy-text", "short-lived"});
    ASSERT_TRUE(countPasses(before));
    before = clipboard_->changeCount();
  }
  ASSERT_TRUE(countPasses(before));
  EXPECT_EQ(read("UTF8_STRING", 100).status, Status::empty);
}

}  // namespace
}  // namespace brindlet::platform
