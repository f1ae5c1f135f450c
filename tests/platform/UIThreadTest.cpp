// The toolkit's thread held back until begin(): GTK does not start before, work posted
// meanwhile waits and then runs in order on that thread, and a thread dropped before it began
// never starts GTK and lets go of what was posted to it.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/UIThread.h"

namespace brindlet::platform {
namespace {

using namespace std::chrono_literals;

// One process starts GTK once: both cases run in this one test, the never-begun one first.
TEST(UIThreadTest, GTKStartsOnlyAtBeginAndWhatWasPostedWaitsForIt) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "needs the test services: run under scripts/test-services";

  {
    auto held = UIThread::launch("brindlet-ui-thread-test")->proceed(nullptr);
    auto kept = std::make_shared<int>(0);
    held->post([kept] { ++*kept; });
    held->atExit([kept] { ++*kept; });
    EXPECT_FALSE(gtk_is_initialized());
    held.reset();
    EXPECT_FALSE(gtk_is_initialized());
    EXPECT_EQ(kept.use_count(), 1) << "work posted to a thread that never began is let go of";
    EXPECT_EQ(*kept, 0);
  }

  std::promise<bool> ran;
  auto ui = UIThread::launch("brindlet-ui-thread-test")->proceed([&ran](const std::string&) { ran.set_value(false); });
  ASSERT_TRUE(ui);
  auto order = std::make_shared<std::vector<int>>();
  UIThread* thread = ui.get();
  ui->post([order] { order->push_back(1); });
  ui->post([order, thread, &ran] {
    order->push_back(2);
    ran.set_value(gtk_is_initialized() && thread->isCurrent());
  });
  EXPECT_FALSE(gtk_is_initialized());
  ui->begin();
  auto done = ran.get_future();
  ASSERT_EQ(done.wait_for(30s), std::future_status::ready) << "GTK did not start after begin()";
  EXPECT_TRUE(done.get()) << "posted work runs on the toolkit's thread once GTK runs";
  EXPECT_EQ(*order, (std::vector<int>{1, 2}));
  ui.reset();
}

}  // namespace
}  // namespace brindlet::platform
