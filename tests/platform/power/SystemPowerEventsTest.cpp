#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/log/Log.h"
#include "platform/power/DBusMock.h"
#include "platform/power/SystemPowerEvents.h"

namespace brindlet::platform {
namespace {

using testing::DBusMock;

class EventLog {
 public:
  void add(PowerEvent event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
    changed_.notify_all();
  }
  // The events once `count` have arrived (bounded wait for the bus's delivery).
  std::vector<PowerEvent> waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return events_.size() >= count; });
    return events_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<PowerEvent> events_;
};

TEST(SystemPowerEvents, SleepWakeDisplaySleepAndLockOfThisSessionArriveInOrder) {
  DBusMock mock;
  mock.startLogind();
  mock.startScreenSaver();
  mock.call(DBusMock::logind, DBusMock::logind.path, "org.freedesktop.DBus.Mock", "AddSession",
            g_variant_new("(ssusb)", "c1", "seat0", 1000u, "user", TRUE));
  mock.call(DBusMock::logind, DBusMock::logind.path, "org.freedesktop.DBus.Mock", "AddSession",
            g_variant_new("(ssusb)", "c2", "seat0", 1001u, "other", TRUE));
  setenv("XDG_SESSION_ID", "c1", 1);

  EventLog log;
  SystemPowerEvents events([&](PowerEvent e) { log.add(e); }, mock.address(), mock.address());
  events.start();

  auto flag = [](bool value) {
    GVariant* v = g_variant_new_variant(g_variant_new_boolean(value));
    return g_variant_new_array(G_VARIANT_TYPE_VARIANT, &v, 1);
  };
  mock.emitSignal(DBusMock::logind, DBusMock::logind.path, "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                  flag(true));
  mock.emitSignal(DBusMock::logind, DBusMock::logind.path, "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                  flag(false));
  mock.emitSignal(DBusMock::screenSaver, DBusMock::screenSaver.path, "org.freedesktop.ScreenSaver", "ActiveChanged",
                  "b", flag(true));
  mock.emitSignal(DBusMock::screenSaver, DBusMock::screenSaver.path, "org.freedesktop.ScreenSaver", "ActiveChanged",
                  "b", flag(false));
  // Another user's session locking is not this host's lock.
  mock.call(DBusMock::logind, "/org/freedesktop/login1/session/c2", "org.freedesktop.login1.Session", "Lock", nullptr);
  mock.call(DBusMock::logind, "/org/freedesktop/login1/session/c1", "org.freedesktop.login1.Session", "Lock", nullptr);
  mock.call(DBusMock::logind, "/org/freedesktop/login1/session/c1", "org.freedesktop.login1.Session", "Unlock",
            nullptr);

  std::vector<PowerEvent> expected{PowerEvent::willSleep,      PowerEvent::didWake,      PowerEvent::screensDidSleep,
                                   PowerEvent::screensDidWake, PowerEvent::screenLocked, PowerEvent::screenUnlocked};
  EXPECT_EQ(log.waitFor(expected.size()), expected);
  events.stop();
  unsetenv("XDG_SESSION_ID");
}

TEST(SystemPowerEvents, MissingBusesAreReportedAndStoppingStillWorks) {
  std::vector<LogRecord> records;
  auto previous = setLogObserver([&](const LogRecord& r) { records.push_back(r); });
  {
    SystemPowerEvents events([](PowerEvent) {}, "unix:path=/nonexistent/system", "unix:path=/nonexistent/session");
    events.start();
    events.stop();
  }
  setLogObserver(previous);
  int errors = 0;
  for (const auto& r : records) errors += r.level == LogLevel::error;
  EXPECT_EQ(errors, 2);
}

}  // namespace
}  // namespace brindlet::platform
