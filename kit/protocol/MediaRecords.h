#pragma once

// Video, audio and display records shared by both ends of the protocol.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/Geometry.h"
#include "kit/protocol/RawEnum.h"
#include "base/Bytes.h"

namespace brindlet {

// The HEVC profile a stream is coded in.
enum class CodecProfile : std::uint8_t { hevcMain = 0, hevcMain10 = 1, hevcMain444 = 2, hevcMain44410 = 3 };
template <>
struct RawRange<CodecProfile> {
  static constexpr std::uint8_t first = 0, last = 3;
};
inline constexpr std::array<CodecProfile, 4> allCodecProfiles{CodecProfile::hevcMain, CodecProfile::hevcMain10,
                                                              CodecProfile::hevcMain444, CodecProfile::hevcMain44410};
// The case's own name, as in "hevcMain444".
std::string_view caseName(CodecProfile profile);
// The name shown to the user and in the log, as in "HEVC 4:4:4".
std::string_view displayName(CodecProfile profile);

// A rectangle as fractions of a display.
struct NormalizedRect {
  float x = 0;
  float y = 0;
  float width = 0;
  float height = 0;

  // The whole display.
  static const NormalizedRect full;

  // The rectangle in a frame of width w and height h (points or pixels).
  Rect scaled(double w, double h) const { return Rect{x * w, y * h, width * w, height * h}; }

  bool operator==(const NormalizedRect&) const = default;
};
inline constexpr NormalizedRect NormalizedRect::full{0, 0, 1, 1};

// One encoded HEVC access unit.
struct VideoFrame {
  std::uint32_t displayID = 0;
  std::uint64_t frameNumber = 0;
  std::uint64_t captureTimeNs = 0;
  bool isKeyframe = false;
  CodecProfile profile = CodecProfile::hevcMain;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  NormalizedRect sourceRect;
  std::vector<Bytes> parameterSets;
  Bytes payload;

  bool operator==(const VideoFrame&) const = default;
};

// One encoded audio packet.
struct AudioPacket {
  std::uint64_t ptsMicros = 0;
  Bytes data;

  bool operator==(const AudioPacket&) const = default;
};

enum class AudioMode : std::uint8_t { off = 0, phoneOnly = 1, both = 2 };
template <>
struct RawRange<AudioMode> {
  static constexpr std::uint8_t first = 0, last = 2;
};
inline constexpr std::array<AudioMode, 3> allAudioModes{AudioMode::off, AudioMode::phoneOnly, AudioMode::both};

enum class AudioCodec : std::uint8_t { aacELD = 0 };
template <>
struct RawRange<AudioCodec> {
  static constexpr std::uint8_t first = 0, last = 0;
};

enum class AudioStatus : std::uint8_t { off = 0, playing = 1, permissionMissing = 2, failed = 3 };
template <>
struct RawRange<AudioStatus> {
  static constexpr std::uint8_t first = 0, last = 3;
};

// A display's or window's frame in global display coordinates, in points.
struct DisplayFrame {
  float x = 0;
  float y = 0;
  float width = 0;
  float height = 0;

  Rect rect() const { return Rect{x, y, width, height}; }

  bool operator==(const DisplayFrame&) const = default;
};

// One display of the host, as reported in the display list.
struct DisplayInfo {
  std::uint32_t id = 0;
  std::string name;
  bool isMain = false;
  std::uint32_t pixelWidth = 0;
  std::uint32_t pixelHeight = 0;
  DisplayFrame frame;

  bool operator==(const DisplayInfo&) const = default;
};

// What the device asks to be streamed.
struct Viewport {
  std::uint32_t displayID = 0;
  NormalizedRect sourceRect;
  std::uint32_t outputWidth = 0;
  std::uint32_t outputHeight = 0;

  bool operator==(const Viewport&) const = default;
};

// The device's periodic report on the video it receives.
struct Feedback {
  std::uint32_t framesReceived = 0;
  std::uint32_t framesDropped = 0;
  float jitterMs = 0;
  bool requestKeyframe = false;

  bool operator==(const Feedback&) const = default;
};

// What the device can do, carried in its hello.
struct ClientCapabilities {
  std::vector<CodecProfile> decodableProfiles;
  std::uint32_t screenPixelWidth = 0;
  std::uint32_t screenPixelHeight = 0;
  float scale = 0;
  std::string deviceModel;
  bool supportsFolio = false;

  bool operator==(const ClientCapabilities&) const = default;
};

enum class HostState : std::uint8_t {
  ok = 0,
  displayAsleep = 1,
  waking = 2,
  locked = 3,
  asleep = 4,
  captureBlocked = 5,
  permissionMissing = 6,
};
template <>
struct RawRange<HostState> {
  static constexpr std::uint8_t first = 0, last = 6;
};
inline constexpr std::array<HostState, 7> allHostStates{
    HostState::ok,     HostState::displayAsleep,  HostState::waking,           HostState::locked,
    HostState::asleep, HostState::captureBlocked, HostState::permissionMissing};

}  // namespace brindlet
