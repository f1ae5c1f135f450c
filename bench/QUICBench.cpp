// QUIC transport over loopback, each figure beside a reference measured in the same run; the
// ratios are printed after the table.
//  - BM_QUICVideo/<frame bytes>: one-way throughput of video frames from the host's
//    QUICConnection to a device's, 64 MiB an iteration over one connection. The sender offers
//    a frame once fewer than the budget's frames are in flight, as a capture pipeline would,
//    and sleeps (on the receiver's progress) while the budget is full; a refused frame is
//    offered again, so nothing is lost and every byte is counted.
//  - BM_NgtcpExampleDownload/<frame bytes>: ngtcp2's own example programs (gtlsserver and
//    gtlsclient, Debian packages ngtcp2-server and ngtcp2-client) moving 16 iterations' worth
//    of BM_QUICVideo's bytes as one download in one client process (one handshake), with the
//    same flow-control windows as ours (initial and largest: 16 MiB for the connection, 4 MiB
//    for a stream), the body discarded. Ratio printed: our bytes per second over the
//    example's.
//  - BM_QUICRoundTrip: a ping from the device, answered by a pong from the host, 100 times
//    an iteration, awaited on the context.
//  - BM_UDPRoundTrip: the same exchange as two bare UDP datagrams between two sockets, the
//    echo on a thread of its own. Ratio printed: our round trip over the bare one.
//  - BM_QUICFileReceive: files from the device to the host's FileReceiver, 10 transfers of the
//    largest offer (100 MiB, about 1 GB) an iteration, in chunks of the largest size handed to
//    the transfer stream within its budget, written into an inbox on /dev/shm (else the
//    temporary folder) and removed after each transfer. Ratio printed: its bytes per second
//    over BM_QUICVideo/1000000's.
// Counters: bytes_per_second, and round_trip (seconds per round trip).
#include <benchmark/benchmark.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <cstring>
#include <map>

#include <gnutls/gnutls.h>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/use_future.hpp>

#include "TransportBench.h"
#include "host/control/FileReceiver.h"
#include "kit/protocol/WireCodec.h"
#include "kit/support/SystemClock.h"
#include "kit/transport/QUICConnection.h"
#include "platform/quic/QUICListener.h"
#include "tests/platform/quic/TestCertificate.h"

extern char** environ;

using namespace brindlet;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kBytesPerIteration = 64 * 1024 * 1024;

// A host listener and one device connected to it, on a context run by two threads.
struct Loopback {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::vector<std::thread> threads;
  platform::QUICIdentity identity = testing::makeTestIdentity();
  std::unique_ptr<bench::BenchListener> listener;
  std::shared_ptr<QUICConnection> host;
  std::shared_ptr<QUICConnection> device;
  Strand strand = makeStrand(io.get_executor());

  Loopback() {
    for (int i = 0; i < 2; ++i) threads.emplace_back([this] { io.run(); });
    QUICConfiguration configuration;
    listener = std::make_unique<bench::BenchListener>(io, identity, configuration);
    device = QUICConnection::makeClient(io, {asio::ip::make_address("127.0.0.1"), listener->port()},
                                        ServerTrust::pinned(certificateFingerprint(identity.certificateDER)),
                                        configuration, SystemClock::shared());
    device->start();
    asio::co_spawn(strand, device->waitUntilReady(), asio::use_future).get();
    host = listener->host(strand);
  }
  ~Loopback() {
    device->close();
    listener.reset();
    host.reset();
    device.reset();
    work.reset();
    io.stop();
    for (auto& thread : threads) thread.join();
  }
};

VideoFrame frameOf(std::size_t payload) { return bench::benchVideoFrame(payload); }

std::size_t framesPerIteration(std::size_t payload) { return kBytesPerIteration / payload; }

using bench::FrameCounter;

void BM_QUICVideo(benchmark::State& state) {
  const std::size_t payload = static_cast<std::size_t>(state.range(0));
  Loopback loop;
  FrameCounter counter;
  asio::co_spawn(loop.strand, FrameCounter::consume(loop.device->videoFrames(), &counter), asio::detached);
  VideoFrame frame = frameOf(payload);
  const std::size_t frames = framesPerIteration(payload);
  const std::size_t encoded = WireCodec::encodeVideoFrame(frame).size();
  std::size_t expected = 0;
  std::size_t drops = 0;
  for (auto _ : state) {
    expected += frames;
    drops += bench::sendVideoFrames(*loop.host, frame, frames, counter);
    counter.waitFor(expected);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frames * encoded));
  state.counters["budget_drops_per_frame"] = static_cast<double>(drops) / static_cast<double>(expected);
}
BENCHMARK(BM_QUICVideo)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Runs a program with its output discarded; returns its process id, or -1.
pid_t spawnQuiet(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void writePEM(const std::filesystem::path& path, const char* header, const Bytes& der) {
  gnutls_datum_t in{const_cast<unsigned char*>(der.data()), static_cast<unsigned>(der.size())}, out{};
  gnutls_pem_base64_encode2(header, &in, &out);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.data), out.size);
  gnutls_free(out.data);
}

std::uint16_t freeUDPPort() {
  asio::io_context io;
  asio::ip::udp::socket socket(io, {asio::ip::make_address("127.0.0.1"), 0});
  return socket.local_endpoint().port();
}

constexpr std::size_t kReferenceIterationsPerDownload = 16;

void BM_NgtcpExampleDownload(benchmark::State& state) {
  const std::size_t payload = static_cast<std::size_t>(state.range(0));
  const std::size_t size = kReferenceIterationsPerDownload * framesPerIteration(payload) *
                           WireCodec::encodeVideoFrame(frameOf(payload)).size();
  char folderTemplate[] = "/tmp/quic-bench-XXXXXX";
  if (!mkdtemp(folderTemplate)) {
    state.SkipWithError("no temporary folder");
    return;
  }
  std::filesystem::path folder(folderTemplate);
  std::filesystem::create_directory(folder / "htdocs");
  auto identity = testing::makeTestIdentity();
  writePEM(folder / "cert.pem", "CERTIFICATE", identity.certificateDER);
  writePEM(folder / "key.pem", "PRIVATE KEY", identity.privateKeyDER);
  // A sparse file: the server reads zeros without touching the disk.
  std::filesystem::resize_file((std::ofstream(folder / "htdocs" / "blob"), folder / "htdocs" / "blob"), size);

  // Our windows: 16 MiB for the connection and 4 MiB for a stream, initial and largest.
  const std::vector<std::string> windows = {"--max-data=16M", "--max-stream-data-bidi-local=4M",
                                            "--max-stream-data-bidi-remote=4M", "--max-window=16M",
                                            "--max-stream-window=4M"};
  std::string port = std::to_string(freeUDPPort());
  std::vector<std::string> serverArguments = {"gtlsserver", "-q", "-d", (folder / "htdocs").string()};
  serverArguments.insert(serverArguments.end(), windows.begin(), windows.end());
  serverArguments.insert(serverArguments.end(),
                         {"127.0.0.1", port, (folder / "key.pem").string(), (folder / "cert.pem").string()});
  pid_t server = spawnQuiet(serverArguments);
  if (server < 0) {
    state.SkipWithError("gtlsserver is not installed (Debian package ngtcp2-server)");
    std::filesystem::remove_all(folder);
    return;
  }
  std::this_thread::sleep_for(200ms);  // let the example server bind its socket
  std::vector<std::string> clientArguments = {"gtlsclient", "-q", "--exit-on-all-streams-close"};
  clientArguments.insert(clientArguments.end(), windows.begin(), windows.end());
  clientArguments.insert(clientArguments.end(), {"127.0.0.1", port, "https://127.0.0.1:" + port + "/blob"});
  for (auto _ : state) {
    pid_t client = spawnQuiet(clientArguments);
    if (client < 0) {
      state.SkipWithError("gtlsclient is not installed (Debian package ngtcp2-client)");
      break;
    }
    int status = 0;
    waitpid(client, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("gtlsclient failed");
      break;
    }
  }
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  std::filesystem::remove_all(folder);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_NgtcpExampleDownload)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

using bench::echoPings;
using bench::kRoundTripsPerIteration;
using bench::pingPong;

void BM_QUICRoundTrip(benchmark::State& state) {
  Loopback loop;
  asio::co_spawn(loop.strand, echoPings(loop.host), asio::detached);
  auto replies = loop.device->messages();
  std::uint64_t value = 0;
  for (auto _ : state) {
    bool answered = asio::co_spawn(loop.strand, pingPong(loop.device, replies, value), asio::use_future).get();
    value += kRoundTripsPerIteration;
    if (!answered) {
      state.SkipWithError("no pong");
      break;
    }
  }
  state.counters["round_trip"] = benchmark::Counter(static_cast<double>(state.iterations() * kRoundTripsPerIteration),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_QUICRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_UDPRoundTrip(benchmark::State& state) {
  asio::io_context io;
  asio::ip::udp::socket a(io, {asio::ip::make_address("127.0.0.1"), 0});
  asio::ip::udp::socket b(io, {asio::ip::make_address("127.0.0.1"), 0});
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    std::uint8_t buffer[64];
    asio::ip::udp::endpoint from;
    for (;;) {
      std::size_t n = b.receive_from(asio::buffer(buffer), from);
      if (stop) return;
      b.send_to(asio::buffer(buffer, n), from);
    }
  });
  std::uint8_t message[13] = {0, 0, 0, 9, 0x0D};
  std::uint8_t reply[64];
  for (auto _ : state) {
    for (int i = 0; i < kRoundTripsPerIteration; ++i) {
      a.send_to(asio::buffer(message), b.local_endpoint());
      a.receive(asio::buffer(reply));
    }
  }
  state.counters["round_trip"] = benchmark::Counter(static_cast<double>(state.iterations() * kRoundTripsPerIteration),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  stop = true;
  a.send_to(asio::buffer(message), b.local_endpoint());
  echo.join();
}
BENCHMARK(BM_UDPRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

constexpr int kTransfersPerIteration = 10;

// The host's side: every file message of the connection to the receiver, one at a time.
asio::awaitable<void> receiveFiles(std::shared_ptr<QUICConnection> host, host::FileReceiver* receiver) {
  auto messages = host->messages();
  while (auto message = co_await messages.next()) {
    if (const auto* offer = message->as<msg::FileOffer>()) {
      receiver->handleOffer(offer->transferID, offer->files, offer->kind);
    } else if (const auto* chunk = message->as<msg::FileChunk>()) {
      receiver->handleChunk(chunk->transferID, chunk->fileIndex, chunk->offset, chunk->data);
    } else if (const auto* end = message->as<msg::FileEnd>()) {
      receiver->handleEnd(end->transferID);
    }
  }
}

// The status of transfer `id` that ends a wait for `state` (or a failure); nothing when the
// connection ended first.
asio::awaitable<std::optional<msg::FileStatus>> statusOf(AsyncStream<Message>& replies, std::uint32_t id,
                                                         FileTransferState state) {
  while (auto reply = co_await replies.next()) {
    const auto* status = reply->as<msg::FileStatus>();
    if (!status || status->transferID != id) continue;
    if (status->state == state || status->state == FileTransferState::failed ||
        status->state == FileTransferState::rejected) {
      co_return *status;
    }
  }
  co_return std::nullopt;
}

// The device's side: one file of the largest size, offered, sent and ended; true when done.
asio::awaitable<bool> sendFile(std::shared_ptr<QUICConnection> device, AsyncStream<Message>& replies, std::uint32_t id,
                               const Bytes& piece) {
  const std::uint64_t size = FileTransferLimits::maxTotalBytes;
  Message offer = msg::FileOffer{id, {FileMeta{"big.bin", "public.data", size}}, FileTransferKind::attach};
  device->send(offer);
  auto accepted = co_await statusOf(replies, id, FileTransferState::accepted);
  if (!accepted || accepted->state != FileTransferState::accepted) co_return false;
  for (std::uint64_t offset = 0; offset < size; offset += piece.size()) {
    Message chunk = msg::FileChunk{id, 0, offset, piece};
    if (!co_await device->sendTransfer(std::move(chunk))) co_return false;
  }
  Message end = msg::FileEnd{id};
  if (!co_await device->sendTransfer(std::move(end))) co_return false;
  auto done = co_await statusOf(replies, id, FileTransferState::done);
  co_return done && done->state == FileTransferState::done;
}

void BM_QUICFileReceive(benchmark::State& state) {
  const std::filesystem::path shm = "/dev/shm";
  const std::filesystem::path base =
      (std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path()) /
      ("brindlet-file-bench-" + std::to_string(getpid()));
  host::HostInbox inbox{base / "Inbox"};
  std::unique_ptr<host::FileReceiver> receiver;  // outlives the loop, which runs its task
  Loopback loop;
  receiver = std::make_unique<host::FileReceiver>(
      inbox, SystemClock::shared(), [host = loop.host](const Message& reply) { host->send(reply); },
      [](const std::vector<host::PasteboardFile>&) { return true; });
  asio::co_spawn(loop.strand, receiveFiles(loop.host, receiver.get()), asio::detached);
  Strand deviceStrand = makeStrand(loop.io.get_executor());
  AsyncStream<Message> replies = loop.device->messages();
  const Bytes piece(FileTransferLimits::chunkSize, 0x5a);
  std::uint32_t id = 0;
  for (auto _ : state) {
    for (int transfer = 0; transfer < kTransfersPerIteration; ++transfer) {
      ++id;
      if (!asio::co_spawn(deviceStrand, sendFile(loop.device, replies, id, piece), asio::use_future).get()) {
        state.SkipWithError("a transfer did not finish");
        break;
      }
      std::filesystem::remove_all(inbox.root / std::to_string(id));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kTransfersPerIteration *
                          static_cast<std::int64_t>(FileTransferLimits::maxTotalBytes));
  loop.device->close();
  std::filesystem::remove_all(base);
}
BENCHMARK(BM_QUICFileReceive)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Prints, after the usual table, each figure over its reference from the same run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) rates_[name] = rate->second;
      auto trip = run.counters.find("round_trip");
      if (trip != run.counters.end()) roundTrips_[name] = trip->second;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nthroughput / reference's (higher is better):\n");
    ratio(rates_, "BM_QUICVideo/100000", "BM_NgtcpExampleDownload/100000");
    ratio(rates_, "BM_QUICVideo/1000000", "BM_NgtcpExampleDownload/1000000");
    ratio(rates_, "BM_QUICFileReceive", "BM_QUICVideo/1000000");
    std::printf("round trip / reference's (lower is better):\n");
    ratio(roundTrips_, "BM_QUICRoundTrip", "BM_UDPRoundTrip");
  }

 private:
  static void ratio(std::map<std::string, double>& values, const std::string& ours, const std::string& reference) {
    if (!values.count(ours) || !values.count(reference) || values[reference] <= 0) return;
    std::printf("  %-22s / %-32s %6.2f\n", ours.c_str(), reference.c_str(), values[ours] / values[reference]);
  }
  std::map<std::string, double> rates_;
  std::map<std::string, double> roundTrips_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
