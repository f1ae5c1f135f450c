// Cost of the wire codec measured against a plain memcpy of the same bytes in the same run.
// Each codec benchmark has a memcpy twin; the figures printed at the end are the ratios
// (codec time / memcpy time), so "decode 1 MiB video = 1.8" means 1.8 copies of its bytes.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kit/protocol/WireCodec.h"
#include "kit/protocol/WireDecoder.h"

namespace brindlet {
namespace {

constexpr std::size_t inputCount = 1000;
constexpr std::size_t videoPayloadSize = 1 << 20;
constexpr std::size_t receiveChunk = 64 * 1024;

// A burst of input as a device sends it: key presses, pointer moves and scrolls.
std::vector<Message> inputMessages() {
  std::vector<Message> messages;
  for (std::size_t i = 0; i < inputCount; ++i) {
    const auto seq = static_cast<std::uint32_t>(i);
    switch (i % 4) {
      case 0:
        messages.push_back(msg::Key{KeyEvent{HIDUsage::a, i % 8 == 0, ModifierFlags::shift}});
        break;
      case 1:
        messages.push_back(msg::Pointer{PointerEvent::MoveRelative{1.5f, -2.0f}, seq});
        break;
      case 2:
        messages.push_back(msg::Pointer{PointerEvent::MoveAbsolute{1, 0.25f, 0.75f}, seq});
        break;
      default:
        messages.push_back(msg::Pointer{PointerEvent::Scroll{0, -4.0f, ScrollPhase::changed}, seq});
        break;
    }
  }
  return messages;
}

Bytes inputStream() {
  Bytes stream;
  for (const Message& m : inputMessages()) {
    const Bytes frame = WireCodec::encode(m);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  return stream;
}

VideoFrame largeVideoFrame() {
  VideoFrame frame;
  frame.displayID = 1;
  frame.frameNumber = 42;
  frame.isKeyframe = true;
  frame.profile = CodecProfile::hevcMain444;
  frame.width = 2732;
  frame.height = 2048;
  frame.sourceRect = NormalizedRect::full;
  frame.parameterSets = {Bytes(24, 0x40), Bytes(40, 0x42), Bytes(8, 0x44)};
  frame.payload.resize(videoPayloadSize);
  for (std::size_t i = 0; i < frame.payload.size(); ++i) frame.payload[i] = static_cast<std::uint8_t>(i * 31);
  return frame;
}

void copyBytes(benchmark::State& state, std::size_t size) {
  const Bytes source(size, 0x5A);
  Bytes target(size);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), size);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_EncodeInputStream(benchmark::State& state) {
  const std::vector<Message> messages = inputMessages();
  const std::size_t size = inputStream().size();
  Bytes stream;
  stream.reserve(size);
  for (auto _ : state) {
    stream.clear();
    for (const Message& m : messages) WireCodec::encode(m, stream);
    benchmark::DoNotOptimize(stream.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_EncodeInputStream);
void BM_CopyInputStream(benchmark::State& state) { copyBytes(state, inputStream().size()); }
BENCHMARK(BM_CopyInputStream);

void BM_DecodeInputStream(benchmark::State& state) {
  const Bytes stream = inputStream();
  WireDecoder decoder;
  for (auto _ : state) {
    std::size_t decoded = 0;
    for (std::size_t at = 0; at < stream.size(); at += 1200) {
      decoder.append(ByteView(stream).subspan(at, std::min<std::size_t>(1200, stream.size() - at)));
      while (auto m = decoder.nextMessage()) {
        benchmark::DoNotOptimize(&*m);
        ++decoded;
      }
    }
    if (decoded != inputCount) state.SkipWithError("lost messages");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_DecodeInputStream);
void BM_CopyInputStreamForDecode(benchmark::State& state) { copyBytes(state, inputStream().size()); }
BENCHMARK(BM_CopyInputStreamForDecode);

void BM_EncodeVideoFrame1MiB(benchmark::State& state) {
  const VideoFrame frame = largeVideoFrame();
  std::size_t size = 0;
  for (auto _ : state) {
    const Bytes bytes = WireCodec::encodeVideoFrame(frame);
    size = bytes.size();
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_EncodeVideoFrame1MiB);
void BM_CopyVideoFrame1MiB(benchmark::State& state) {
  copyBytes(state, WireCodec::encodeVideoFrame(largeVideoFrame()).size());
}
BENCHMARK(BM_CopyVideoFrame1MiB);

// The frame arrives in 64 KiB pieces, as from a stream; the decoder is asked after each one.
void BM_DecodeVideoFrame1MiB(benchmark::State& state) {
  const Bytes bytes = WireCodec::encodeVideoFrame(largeVideoFrame());
  WireDecoder decoder;
  for (auto _ : state) {
    bool got = false;
    for (std::size_t at = 0; at < bytes.size(); at += receiveChunk) {
      decoder.append(ByteView(bytes).subspan(at, std::min(receiveChunk, bytes.size() - at)));
      if (auto frame = decoder.nextVideoFrame()) {
        benchmark::DoNotOptimize(frame->payload.data());
        got = true;
      }
    }
    if (!got) state.SkipWithError("no frame");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_DecodeVideoFrame1MiB);
void BM_CopyVideoFrame1MiBForDecode(benchmark::State& state) {
  copyBytes(state, WireCodec::encodeVideoFrame(largeVideoFrame()).size());
}
BENCHMARK(BM_CopyVideoFrame1MiBForDecode);

// Prints each codec benchmark's time over its memcpy twin's after the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const std::pair<const char*, const char*> pairs[] = {
        {"BM_EncodeInputStream", "BM_CopyInputStream"},
        {"BM_DecodeInputStream", "BM_CopyInputStreamForDecode"},
        {"BM_EncodeVideoFrame1MiB", "BM_CopyVideoFrame1MiB"},
        {"BM_DecodeVideoFrame1MiB", "BM_CopyVideoFrame1MiBForDecode"},
    };
    std::printf("\ncodec time / memcpy of the same bytes:\n");
    for (const auto& [codec, copy] : pairs) {
      if (times_.count(codec) && times_.count(copy) && times_[copy] > 0) {
        std::printf("  %-26s %6.2f\n", codec, times_[codec] / times_[copy]);
      }
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace
}  // namespace brindlet

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  brindlet::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
