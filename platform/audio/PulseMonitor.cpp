#include "platform/audio/PulseMonitor.h"

#include <pulse/pulseaudio.h>

#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/support/WorkerThread.h"
#include "platform/video/MediaClock.h"

namespace brindlet::platform {

namespace {

// The property of the silent sink that remembers which sink was the default before it.
constexpr const char* restoreProperty = "brindlet.default_sink";

struct SinkInfo {
  std::uint32_t index = PA_INVALID_INDEX;
  std::uint32_t ownerModule = PA_INVALID_INDEX;
  std::string name;
  std::string monitor;
  std::uint32_t rate = 0;
  // Ours: a silent sink made by some monitor, with the default it replaced.
  bool silent = false;
  std::string restoreDefault;
};

// Quotes a value for a module's argument text, which the server splits at blanks and reads
// quotes and backslashes in.
std::string quotedArgument(const std::string& value, char quote) {
  std::string quoted(1, quote);
  for (char c : value) {
    if (c == quote || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + quote;
}

}  // namespace

PulseError::PulseError(std::string step, int code, const std::string& text)
    : std::runtime_error(text), step_(std::move(step)), code_(code) {}

bool PulseError::refused() const { return code_ == PA_ERR_ACCESS || code_ == PA_ERR_AUTHKEY; }

struct PulseRouting::Shared {
  // Held for every change of the routing, by one monitor at a time.
  std::mutex mutex;
  // The muting in force while at least one monitor mutes: the silent sink's module, the
  // default sink before it and where each moved stream was.
  struct Mute {
    std::uint32_t module = PA_INVALID_INDEX;
    std::string previousDefault;
    std::map<std::uint32_t, std::uint32_t> movedStreams;
    int users = 0;
  };
  std::optional<Mute> mute;
};

PulseRouting::PulseRouting() : shared_(std::make_unique<Shared>()) {}
PulseRouting::~PulseRouting() = default;

struct PulseMonitor::State {
  using Mute = PulseRouting::Shared::Mute;

  explicit State(PulseRouting::Shared& routing) : routing(routing) {}

  PulseRouting::Shared& routing;
  pa_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  Buffers buffers;
  WorkerThread thread;
  std::size_t channels = 2;
  double rate = 48000;
  // This monitor is one of the users of the routing's mute.
  bool muting = false;

  ~State() { close(); }

  void close() {
    thread.stop();
    if (stream) {
      pa_stream_set_read_callback(stream, nullptr, nullptr);
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
      stream = nullptr;
    }
    if (context) {
      unmute();
      pa_context_disconnect(context);
      pa_context_unref(context);
      context = nullptr;
    }
    if (loop) {
      pa_mainloop_free(loop);
      loop = nullptr;
    }
  }

  [[noreturn]] void fail(const std::string& step, int code) {
    throw PulseError(step, code,
                     "Audio capture: " + step + " failed (PulseAudio error " + std::to_string(code) + ": " +
                         pa_strerror(code) + ")");
  }
  [[noreturn]] void failContext(const std::string& step) {
    fail(step, context ? pa_context_errno(context) : PA_ERR_UNKNOWN);
  }

  // Runs the loop on the calling thread until `done` holds; fails when the connection dies.
  template <class Done>
  void runUntil(const std::string& step, Done done) {
    while (!done()) {
      auto state = pa_context_get_state(context);
      if (!PA_CONTEXT_IS_GOOD(state)) failContext(step);
      if (pa_mainloop_iterate(loop, 1, nullptr) < 0) failContext(step);
    }
  }

  // Waits for an operation; `op` null means the request itself failed.
  void await(const std::string& step, pa_operation* op) {
    if (!op) failContext(step);
    try {
      runUntil(step, [&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
    } catch (...) {
      pa_operation_unref(op);
      throw;
    }
    pa_operation_unref(op);
  }

  void connect(const std::string& server) {
    loop = pa_mainloop_new();
    context = pa_context_new(pa_mainloop_get_api(loop), "Nolu Host");
    if (!loop || !context) fail("connect", PA_ERR_INTERNAL);
    if (pa_context_connect(context, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      failContext("connect");
    }
    runUntil("connect", [&] { return pa_context_get_state(context) == PA_CONTEXT_READY; });
  }

  std::string defaultSink() {
    std::string name;
    auto cb = [](pa_context*, const pa_server_info* info, void* data) {
      if (info && info->default_sink_name) *static_cast<std::string*>(data) = info->default_sink_name;
    };
    await("read server", pa_context_get_server_info(context, cb, &name));
    return name;
  }

  static SinkInfo sinkInfo(const pa_sink_info* info) {
    SinkInfo sink;
    sink.index = info->index;
    sink.ownerModule = info->owner_module;
    sink.name = info->name ? info->name : "";
    sink.monitor = info->monitor_source_name ? info->monitor_source_name : "";
    sink.rate = info->sample_spec.rate;
    if (const char* restore = pa_proplist_gets(info->proplist, restoreProperty)) {
      sink.silent = true;
      sink.restoreDefault = restore;
    }
    return sink;
  }

  std::optional<SinkInfo> sink(const std::string& name) {
    std::optional<SinkInfo> found;
    auto cb = [](pa_context*, const pa_sink_info* info, int eol, void* data) {
      if (eol || !info) return;
      *static_cast<std::optional<SinkInfo>*>(data) = sinkInfo(info);
    };
    pa_operation* op = pa_context_get_sink_info_by_name(context, name.c_str(), cb, &found);
    if (!op) failContext("read sink");
    // A sink that does not exist ends the operation with an error, not a failed connection.
    runUntil("read sink", [&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
    pa_operation_unref(op);
    return found;
  }

  std::vector<SinkInfo> sinks() {
    std::vector<SinkInfo> all;
    auto cb = [](pa_context*, const pa_sink_info* info, int eol, void* data) {
      if (eol || !info) return;
      static_cast<std::vector<SinkInfo>*>(data)->push_back(sinkInfo(info));
    };
    await("list sinks", pa_context_get_sink_info_list(context, cb, &all));
    return all;
  }

  // The sink a module of ours made; whatever name the server gave it.
  std::optional<SinkInfo> sinkOfModule(std::uint32_t module) {
    for (SinkInfo& sink : sinks()) {
      if (sink.ownerModule == module) return sink;
    }
    return std::nullopt;
  }

  // Every playing stream and the sink it plays on.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> playingStreams() {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> streams;
    auto cb = [](pa_context*, const pa_sink_input_info* info, int eol, void* data) {
      if (eol || !info) return;
      static_cast<std::vector<std::pair<std::uint32_t, std::uint32_t>>*>(data)->emplace_back(info->index, info->sink);
    };
    await("list streams", pa_context_get_sink_input_info_list(context, cb, &streams));
    return streams;
  }

  void move(std::uint32_t stream, std::uint32_t sink) {
    // A stream may end meanwhile; that is not a failure.
    pa_operation* op = pa_context_move_sink_input_by_index(context, stream, sink, nullptr, nullptr);
    if (op) await("move stream", op);
  }

  void unloadModule(std::uint32_t module) {
    pa_operation* op = pa_context_unload_module(context, module, nullptr, nullptr);
    if (op) await("unload silent sink", op);
  }

  void setDefault(const std::string& name) {
    await("set default sink", pa_context_set_default_sink(context, name.c_str(), nullptr, nullptr));
  }

  // Connects the stream to what this monitor records, taking its part in the routing first.
  // Returns the monitor source and its rate.
  std::pair<std::string, std::uint32_t> route(bool muteLocal) {
    std::lock_guard lock(routing.mutex);
    cleanUpLeftovers();
    if (muteLocal) return mute();
    // While another monitor mutes, the default is its silent sink, which goes when that
    // monitor stops: the speakers' sink is recorded, and heard again from then on.
    std::string outputName = routing.mute ? routing.mute->previousDefault : defaultSink();
    auto output = outputName.empty() ? std::nullopt : sink(outputName);
    if (!output) fail("find output", PA_ERR_NOENTITY);
    return {output->monitor, output->rate};
  }

  // Silent sinks of ours that no monitor of this process uses (left by a process that ended
  // without restoring, or a mute whose last user lost its connection): give their streams and
  // the default back and remove them.
  void cleanUpLeftovers() {
    if (routing.mute && !sinkOfModule(routing.mute->module)) routing.mute.reset();
    const std::uint32_t live = routing.mute ? routing.mute->module : PA_INVALID_INDEX;
    for (const SinkInfo& leftover : sinks()) {
      if (!leftover.silent || leftover.ownerModule == live) continue;
      auto target = leftover.restoreDefault.empty() ? std::nullopt : sink(leftover.restoreDefault);
      if (target && !target->silent) {
        for (auto [stream, on] : playingStreams()) {
          if (on == leftover.index) move(stream, target->index);
        }
        if (defaultSink() == leftover.name) setDefault(target->name);
      }
      if (leftover.ownerModule != PA_INVALID_INDEX) unloadModule(leftover.ownerModule);
    }
  }

  // Moves every playing stream onto the silent sink (made now unless another monitor already
  // mutes) and makes it the default; returns its monitor and rate. Under the routing's lock.
  std::pair<std::string, std::uint32_t> mute() {
    if (!routing.mute) {
      std::string outputName = defaultSink();
      auto output = outputName.empty() ? std::nullopt : sink(outputName);
      if (!output) fail("find output", PA_ERR_NOENTITY);
      std::string properties = std::string("device.description=\"Nolu Host (muted)\" ") + restoreProperty + "=" +
                               quotedArgument(outputName, '"');
      std::string arguments = std::string("sink_name=") + silentSinkName + " rate=" + std::to_string(output->rate) +
                              " channels=2 sink_properties=" + quotedArgument(properties, '\'');
      std::uint32_t module = PA_INVALID_INDEX;
      auto cb = [](pa_context*, std::uint32_t index, void* data) { *static_cast<std::uint32_t*>(data) = index; };
      await("load silent sink", pa_context_load_module(context, "module-null-sink", arguments.c_str(), cb, &module));
      if (module == PA_INVALID_INDEX) failContext("load silent sink");
      // From here on a failure is undone by unmute(), as a stop is.
      routing.mute = Mute{module, outputName, {}, 0};
    }
    ++routing.mute->users;
    muting = true;
    auto silent = sinkOfModule(routing.mute->module);
    if (!silent) fail("load silent sink", PA_ERR_NOENTITY);
    if (defaultSink() != silent->name) setDefault(silent->name);
    for (auto [stream, on] : playingStreams()) {
      if (on == silent->index) continue;
      routing.mute->movedStreams.emplace(stream, on);
      move(stream, silent->index);
    }
    return {silent->monitor, silent->rate};
  }

  // Gives up this monitor's part in the mute; the last user puts back what muting changed:
  // every stream on the silent sink goes to where it was (or to the former default when it
  // came later or its sink is gone), the default is restored and the silent sink removed.
  // Failures here are not reported: the routing is restored as far as the server allows, and
  // what is left is cleaned up by the next start.
  void unmute() {
    if (!muting) return;
    muting = false;
    std::lock_guard lock(routing.mutex);
    if (!routing.mute || --routing.mute->users > 0) return;
    Mute mute = std::move(*routing.mute);
    routing.mute.reset();
    if (pa_context_get_state(context) != PA_CONTEXT_READY) return;
    try {
      auto silent = sinkOfModule(mute.module);
      auto former = sink(mute.previousDefault);
      if (silent && former) {
        for (auto [stream, on] : playingStreams()) {
          if (on != silent->index) continue;
          auto was = mute.movedStreams.find(stream);
          move(stream, was != mute.movedStreams.end() ? was->second : former->index);
        }
      }
      if (former && (!silent || defaultSink() == silent->name)) setDefault(mute.previousDefault);
      unloadModule(mute.module);
    } catch (const PulseError&) {
    }
  }

  static void onRead(pa_stream* s, std::size_t, void* data) {
    auto* self = static_cast<State*>(data);
    const std::size_t frameBytes = self->channels * sizeof(float);
    while (pa_stream_readable_size(s) > 0) {
      const void* bytes = nullptr;
      std::size_t size = 0;
      if (pa_stream_peek(s, &bytes, &size) < 0 || size == 0) return;
      std::size_t frames = size / frameBytes;
      std::uint64_t now = monotonicRawNowNs();
      std::uint64_t span = static_cast<std::uint64_t>(static_cast<double>(frames) / self->rate * 1e9);
      std::uint64_t first = now > span ? now - span : 0;
      if (frames > 0) {
        if (bytes) {
          self->buffers(static_cast<const float*>(bytes), frames, first);
        } else {
          // A hole in the recording: silence keeps the time line.
          std::vector<float> silence(frames * self->channels, 0.f);
          self->buffers(silence.data(), frames, first);
        }
      }
      pa_stream_drop(s);
    }
  }

  void record(const std::string& monitor, std::uint32_t rate) {
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, 2};
    channels = 2;
    this->rate = rate;
    stream = pa_stream_new(context, "Nolu Host audio", &spec, nullptr);
    if (!stream) failContext("create stream");
    pa_stream_set_read_callback(stream, &State::onRead, this);
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(10'000, &spec));
    if (pa_stream_connect_record(stream, monitor.c_str(), &attributes, PA_STREAM_ADJUST_LATENCY) < 0) {
      failContext("record");
    }
    runUntil("record", [&] {
      auto state = pa_stream_get_state(stream);
      if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) failContext("record");
      return state == PA_STREAM_READY;
    });
  }
};

PulseMonitor::PulseMonitor(std::shared_ptr<PulseRouting> routing, std::string server)
    : routing_(std::move(routing)), server_(std::move(server)) {}

PulseMonitor::~PulseMonitor() { stop(); }

PulseMonitor::Format PulseMonitor::start(bool muteLocal, Buffers buffers) {
  stop();
  auto state = std::make_unique<State>(*routing_->shared_);
  state->buffers = std::move(buffers);
  state->connect(server_);
  auto [monitor, rate] = state->route(muteLocal);
  state->record(monitor, rate);
  Format format{static_cast<int>(state->channels), state->rate};
  State* raw = state.get();
  raw->thread = WorkerThread(
      [raw](std::stop_token stop) {
        while (!stop.stop_requested()) {
          if (pa_mainloop_iterate(raw->loop, 1, nullptr) < 0) break;
        }
      },
      [raw] { pa_mainloop_wakeup(raw->loop); });
  state_ = std::move(state);
  return format;
}

void PulseMonitor::stop() {
  if (!state_) return;
  state_->close();
  state_.reset();
}

}  // namespace brindlet::platform
