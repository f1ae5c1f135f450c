// A host whose accessibility bus cannot be reached (its socket gone, as when the session's bus
// launcher was replaced) keeps running: menus and text focus are off and their jobs end
// without a result instead of the process aborting inside libdbus.

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "platform/accessibility/Accessibility.h"

namespace brindlet {
namespace {

TEST(AccessibilityUnavailable, JobsEndWithoutRunningAndTheProcessGoesOn) {
  // Read once per process by libatspi, before its first connection.
  ::setenv("AT_SPI_BUS_ADDRESS", "unix:path=/nonexistent/brindlet-accessibility-bus", 1);
  auto layer = platform::Accessibility::shared();
  for (int round = 0; round < 2; ++round) {
    asio::io_context io;
    bool ran = false;
    std::optional<std::string> failure;
    asio::co_spawn(
        io,
        [](platform::Accessibility* a, bool* ran, std::optional<std::string>* failure) -> asio::awaitable<void> {
          try {
            co_await a->run(std::function<int()>([ran] {
              *ran = true;
              return 1;
            }));
          } catch (const platform::AccessibilityStopped& error) {
            failure->emplace(error.what());
          }
        }(layer.get(), &ran, &failure),
        asio::detached);
    io.run();
    EXPECT_FALSE(ran) << "a job ran without an accessibility bus";
    EXPECT_EQ(failure, "accessibility is not running");
  }
}

}  // namespace
}  // namespace brindlet
