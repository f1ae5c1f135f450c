// The name each host runs under on the session bus, and the links a start hands over.

#include <gtest/gtest.h>

#include <gio/gio.h>

#include "host/app/HostInstance.h"

namespace brindlet::host {
namespace {

TEST(HostInstanceTest, TheUsualDataFolderHasTheApplicationsNameAndEveryOtherOneItsOwn) {
  EXPECT_EQ(hostInstanceName("/home/ada/.local/share", "/home/ada"), "io.tavix.nolu.host");
  EXPECT_EQ(hostInstanceName("/home/ada/.local/share/", "/home/ada/"), "io.tavix.nolu.host");
  EXPECT_EQ(hostInstanceName("/home/ada/x/../.local/share", "/home/ada"), "io.tavix.nolu.host");

  std::string other = hostInstanceName("/tmp/test-home/data", "/home/ada");
  std::string another = hostInstanceName("/tmp/test-home/data2", "/home/ada");
  EXPECT_NE(other, "io.tavix.nolu.host");
  EXPECT_EQ(other.rfind("io.tavix.nolu.host.", 0), 0u);
  EXPECT_NE(other, another);
  EXPECT_EQ(other, hostInstanceName("/tmp/test-home/data", "/home/ada"));  // the same on every start
  // Without an account home every folder gets a name of its own.
  EXPECT_NE(hostInstanceName("/home/ada/.local/share", ""), "io.tavix.nolu.host");
  for (const std::string& name : {other, another, hostInstanceName("/home/ada/.local/share", "")}) {
    EXPECT_TRUE(g_application_id_is_valid(name.c_str())) << name;
  }
}

TEST(HostInstanceTest, OnlyArgumentsWithASchemeAreLinks) {
  const char* arguments[] = {"brindlet-host",
                             "nolu://invite?code=ABCDE-FGHJK",
                             "--verbose",
                             "/home/ada/file.txt",
                             "BRINDLET:INVITE",
                             "1nolu://x",
                             ":nothing",
                             "x-y.z+w://ok",
                             "plain"};
  auto links = hostLinks(static_cast<int>(std::size(arguments)), const_cast<char**>(arguments));
  EXPECT_EQ(links, (std::vector<std::string>{"nolu://invite?code=ABCDE-FGHJK", "BRINDLET:INVITE", "x-y.z+w://ok"}));
}

}  // namespace
}  // namespace brindlet::host
