// Publishing and browsing through the avahi-daemon that scripts/test-services runs in a
// loopback-only network namespace (reached over its private system bus).
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kit/support/UUID.h"
#include "platform/dnssd/AvahiBrowse.h"
#include "platform/dnssd/DNSSDBrowser.h"
#include "platform/dnssd/DNSSDRegistration.h"
#include "platform/dnssd/Waiter.h"

extern char** environ;

namespace brindlet::platform {
namespace {

using testing::browseGone;
using testing::browseLine;
using testing::RunningContext;
using testing::uniqueName;
using testing::Waiter;

constexpr const char* kType = "_nolu._udp";

class DNSSDTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
      GTEST_FAIL() << "needs the test daemons: run under scripts/test-services (DBUS_SYSTEM_BUS_ADDRESS unset)";
    }
  }

  struct Published {
    std::unique_ptr<DNSSDRegistration> registration;
    std::string name;  // the name Avahi published it under
  };

  Published publish(const std::string& name, uint16_t port, TXTRecord txt = {}) {
    auto events = std::make_shared<Waiter<DNSSDRegistrationEvent>>();
    auto registration =
        std::make_unique<DNSSDRegistration>(context.executor(), DNSSDService{name, kType, "", port, std::move(txt)},
                                            [events](const DNSSDRegistrationEvent& event) { events->push(event); });
    registration->start();
    auto event = events->waitFor([](const auto&) { return true; });
    EXPECT_TRUE(event.has_value()) << "no answer from the daemon for " << name;
    if (!event) return {std::move(registration), ""};
    EXPECT_EQ(event->kind, DNSSDRegistrationEvent::Kind::registered) << event->error;
    EXPECT_EQ(registration->name(), event->name);
    return {std::move(registration), event->name};
  }

  RunningContext context;
};

TEST_F(DNSSDTest, AvahiBrowseFindsTheServiceWithItsHostIDUntilWithdrawn) {
  const std::string name = uniqueName("Studio Mac");
  const std::string hostID = UUID::random().uuidString();
  TXTRecord txt;
  txt.set("id", hostID);
  auto published = publish(name, 47123, txt);
  ASSERT_EQ(published.name, name);

  auto line = browseLine(name);
  ASSERT_TRUE(line.has_value()) << "avahi-browse does not list " << name;
  const auto& fields = *line;
  EXPECT_EQ(fields[4], kType);
  EXPECT_EQ(fields[5], "local");
  EXPECT_EQ(fields[7], "127.0.0.1");
  EXPECT_EQ(fields[8], "47123");
  EXPECT_EQ(fields[9], "\"id=" + hostID + "\"");

  published.registration->withdraw();
  published.registration->withdraw();  // a second withdraw changes nothing
  EXPECT_TRUE(browseGone(name)) << "still listed after withdraw";
}

TEST_F(DNSSDTest, ASecondServiceWithTheSameNameIsRenamed) {
  const std::string name = uniqueName("Twin Mac");
  auto first = publish(name, 47124);
  auto second = publish(name, 47125);
  EXPECT_EQ(first.name, name);
  EXPECT_EQ(second.name, name + " #2");
  auto third = publish(name, 47126);
  EXPECT_EQ(third.name, name + " #3");

  // All three are on the network, each under its own name and with its own port.
  auto firstLine = browseLine(first.name);
  auto secondLine = browseLine(second.name);
  ASSERT_TRUE(firstLine && secondLine);
  EXPECT_EQ((*firstLine)[8], "47124");
  EXPECT_EQ((*secondLine)[8], "47125");
}

TEST_F(DNSSDTest, BrowserReportsResolvedServicesAsTheyComeAndGo) {
  using Kind = DNSSDBrowseChange::Kind;
  struct Update {
    std::vector<DNSSDBrowseResult> results;
    DNSSDBrowseChange change;
  };
  auto updates = std::make_shared<Waiter<Update>>();
  DNSSDBrowser browser(context.executor(), kType, [updates](const auto& results, const auto& change) {
    updates->push({results, change});
  });
  browser.start();

  const std::string withID = uniqueName("Office Mac");
  const std::string withoutTXT = uniqueName("Attic Mac");
  TXTRecord txt;
  txt.set("id", "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
  txt.set("note", "a=b c");
  auto a = publish(withID, 47130, txt);
  auto b = publish(withoutTXT, 47131);

  auto isAdded = [](const std::string& name) {
    return [name](const Update& u) { return u.change.kind == Kind::added && u.change.result.service.name == name; };
  };
  auto added = updates->waitFor(isAdded(withID));
  ASSERT_TRUE(added) << "browser did not report " << withID;
  const auto& result = added->change.result;
  EXPECT_TRUE(result.resolved);
  EXPECT_EQ(result.service.type, kType);
  EXPECT_EQ(result.service.domain, "local");
  EXPECT_EQ(result.address, "127.0.0.1");
  EXPECT_EQ(result.port, 47130);
  EXPECT_EQ(result.txt, txt);
  EXPECT_NE(std::find(added->results.begin(), added->results.end(), result), added->results.end())
      << "the list delivered with a change holds the changed service";

  auto addedEmpty = updates->waitFor(isAdded(withoutTXT));
  ASSERT_TRUE(addedEmpty);
  EXPECT_TRUE(addedEmpty->change.result.resolved);
  EXPECT_TRUE(addedEmpty->change.result.txt.empty());
  EXPECT_EQ(addedEmpty->change.result.port, 47131);

  a.registration->withdraw();
  auto removed = updates->waitFor(
      [&](const Update& u) { return u.change.kind == Kind::removed && u.change.result.service.name == withID; });
  ASSERT_TRUE(removed) << "browser did not report the withdrawal";
  for (const auto& r : removed->results) EXPECT_NE(r.service.name, withID);
  bool otherStillListed = false;
  for (const auto& r : removed->results) otherStillListed |= r.service.name == withoutTXT;
  EXPECT_TRUE(otherStillListed);
}

TEST_F(DNSSDTest, BrowserFindsAServicePublishedByAnotherProgram) {
  auto updates = std::make_shared<Waiter<DNSSDBrowseResult>>();
  DNSSDBrowser browser(context.executor(), kType, [updates](const auto&, const DNSSDBrowseChange& change) {
    if (change.kind != DNSSDBrowseChange::Kind::removed) updates->push(change.result);
  });
  browser.start();

  const std::string name = uniqueName("Foreign Mac");
  std::vector<std::string> args = {"avahi-publish", "-s", name, kType, "47140", "id=not-a-uuid", "flag"};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawnp(&pid, "avahi-publish", nullptr, nullptr, argv.data(), environ), 0);

  auto found = updates->waitFor([&](const DNSSDBrowseResult& r) { return r.service.name == name; });
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  ASSERT_TRUE(found) << "browser did not see the service avahi-publish announced";
  EXPECT_EQ(found->port, 47140);
  EXPECT_EQ(found->txt.value("id"), "not-a-uuid");
  EXPECT_EQ(found->txt.value("flag"), "");
}

}  // namespace
}  // namespace brindlet::platform
