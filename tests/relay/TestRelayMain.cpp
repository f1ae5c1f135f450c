// The test relay as a program of its own, for whole-process tests and benchmarks:
//   brindlet-test-relay --secret HEX [--port N]
// prints "port N" once it listens on 127.0.0.1 and runs until SIGTERM or SIGINT.

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "relay/TestRelay.h"

namespace {

brindlet::Bytes fromHex(const std::string& text) {
  brindlet::Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string secret;
  int port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--secret")
      secret = argv[i + 1];
    else if (option == "--port")
      port = std::atoi(argv[i + 1]);
  }
  if (secret.empty()) {
    std::fprintf(stderr, "usage: brindlet-test-relay --secret HEX [--port N]\n");
    return 2;
  }
  asio::io_context io;
  brindlet::testing::TestRelay relay(io.get_executor(), fromHex(secret), static_cast<std::uint16_t>(port));
  relay.start();
  std::printf("port %u\n", relay.port());
  std::fflush(stdout);
  asio::signal_set signals(io, SIGTERM, SIGINT);
  signals.async_wait([&](const asio::error_code&, int) { io.stop(); });
  io.run();
  return 0;
}
