#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kit/protocol/AuthRecords.h"
#include "kit/protocol/CursorSpace.h"
#include "kit/protocol/DesktopRecords.h"
#include "kit/protocol/FNV1a.h"
#include "kit/protocol/FileTransferLimits.h"
#include "kit/protocol/InputRecords.h"
#include "kit/protocol/MediaRecords.h"

namespace brindlet {
namespace {

// Every byte inside [first, last] makes a value, every byte outside makes none.
template <class E>
void expectRawRange(int first, int last) {
  for (int raw = 0; raw <= 255; ++raw) {
    const auto value = fromRaw<E>(static_cast<std::uint8_t>(raw));
    EXPECT_EQ(value.has_value(), raw >= first && raw <= last) << raw;
    if (value) {
      EXPECT_EQ(rawValue(*value), raw);
    }
  }
}

TEST(Records, EnumerationsAcceptExactlyTheirRawValues) {
  expectRawRange<CodecProfile>(0, 3);
  expectRawRange<AudioMode>(0, 2);
  expectRawRange<AudioCodec>(0, 0);
  expectRawRange<AudioStatus>(0, 3);
  expectRawRange<HostState>(0, 6);
  expectRawRange<PointerButton>(0, 2);
  expectRawRange<ScrollPhase>(0, 4);
  expectRawRange<AuthResult>(0, 2);
  expectRawRange<PairMethod>(0, 1);
  expectRawRange<PairResult>(0, 5);
  expectRawRange<MenuMark>(0, 3);
  expectRawRange<TextFocusKind>(0, 6);
  expectRawRange<FocusFollowInfo::Kind>(1, 2);
  expectRawRange<LaunchState>(1, 6);
  expectRawRange<LaunchAction>(1, 3);
  expectRawRange<FileTransferKind>(1, 2);
  expectRawRange<FileTransferState>(1, 5);
  EXPECT_EQ(fromRaw<TextFocusKind>(0), TextFocusKind::none);
  EXPECT_EQ(fromRaw<MenuMark>(0), MenuMark::none);
}

TEST(Records, CodecProfilesListAndNameTheirCases) {
  EXPECT_EQ(allCodecProfiles, (std::array<CodecProfile, 4>{CodecProfile::hevcMain, CodecProfile::hevcMain10,
                                                           CodecProfile::hevcMain444, CodecProfile::hevcMain44410}));
  EXPECT_EQ(displayName(CodecProfile::hevcMain), "HEVC 4:2:0");
  EXPECT_EQ(displayName(CodecProfile::hevcMain10), "HEVC 4:2:0 10-bit");
  EXPECT_EQ(displayName(CodecProfile::hevcMain444), "HEVC 4:4:4");
  EXPECT_EQ(displayName(CodecProfile::hevcMain44410), "HEVC 4:4:4 10-bit");
  EXPECT_EQ(caseName(CodecProfile::hevcMain444), "hevcMain444");
  EXPECT_EQ(allHostStates.size(), 7u);
  EXPECT_EQ(allHostStates.back(), HostState::permissionMissing);
  EXPECT_EQ(allAudioModes.size(), 3u);
}

TEST(Records, FullRectScalesToTheWholeFrame) {
  EXPECT_EQ(NormalizedRect::full.scaled(1920, 1080), (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ((NormalizedRect{0.25f, 0.5f, 0.5f, 0.25f}.scaled(1000, 800)), (Rect{250, 400, 500, 200}));
}

TEST(Records, EqualityCoversEveryField) {
  VideoFrame a{1, 2, 3, true, CodecProfile::hevcMain, 4, 5, NormalizedRect::full, {{1, 2}, {3}}, {9, 9}};
  VideoFrame b = a;
  EXPECT_EQ(a, b);
  b.parameterSets[1] = {4};
  EXPECT_NE(a, b);
  b = a;
  b.payload.push_back(0);
  EXPECT_NE(a, b);

  Feedback nan{1, 0, std::numeric_limits<float>::quiet_NaN(), false};
  EXPECT_NE(nan, nan);

  StreamModeInfo plain{StreamMode::desktop(), false, std::nullopt, NormalizedRect::full, std::nullopt};
  StreamModeInfo followed = plain;
  followed.follow = FocusFollowInfo{FocusFollowInfo::Kind::window, "", "", false};
  EXPECT_NE(plain, followed);
  EXPECT_NE(StreamMode::focus(1, 2), StreamMode::focus(1, 3));
  EXPECT_EQ(StreamMode::desktop(), StreamMode());

  AppInfo app{1, "b", "n", {1}, false, {}};
  AppInfo otherIcon = app;
  otherIcon.icon = {2};
  EXPECT_NE(app, otherIcon);
}

TEST(Records, KeysAndModifiers) {
  EXPECT_EQ(HIDUsage::a.rawValue, 0x04);
  EXPECT_EQ(HIDUsage::n.rawValue, 0x11);
  EXPECT_EQ(HIDUsage::z.rawValue, 0x1D);
  EXPECT_EQ(HIDUsage::digit1.rawValue, 0x1E);
  EXPECT_EQ(HIDUsage::digit0.rawValue, 0x27);
  EXPECT_EQ(HIDUsage::backslash.rawValue, 0x31);
  EXPECT_EQ(HIDUsage::semicolon.rawValue, 0x33);
  EXPECT_EQ(HIDUsage::f12.rawValue, 0x45);
  EXPECT_EQ(HIDUsage::home.rawValue, 0x4A);
  EXPECT_EQ(HIDUsage::upArrow.rawValue, 0x52);
  EXPECT_EQ(HIDUsage::rightCommand.rawValue, 0xE7);
  EXPECT_EQ(HIDUsage::fn.rawValue, 0xFF03);
  EXPECT_EQ(HIDUsage{0x0064}.rawValue, 0x0064);

  const ModifierFlags all(0xFF);
  EXPECT_EQ(all.rawValue, 0xFF);
  for (ModifierFlags f : {ModifierFlags::shift, ModifierFlags::control, ModifierFlags::option, ModifierFlags::command,
                          ModifierFlags::function, ModifierFlags::capsLock}) {
    EXPECT_TRUE(all.contains(f));
  }
  const ModifierFlags chord{ModifierFlags::command, ModifierFlags::option};
  EXPECT_EQ(chord.rawValue, 0x0C);
  EXPECT_FALSE(chord.contains(ModifierFlags::control));
  EXPECT_EQ((chord - ModifierFlags::option), ModifierFlags::command);
  // Menu shortcuts use their own bit order.
  EXPECT_EQ(MenuNode::optionKey, 0x02);
  EXPECT_EQ(MenuNode::controlKey, 0x04);
}

TEST(Records, FNV1aHashes) {
  EXPECT_EQ(fnv1aHash(Bytes{}), 0xcbf29ce484222325ull);
  EXPECT_EQ(fnv1aHash(bytesOf("a")), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(fnv1aHash(bytesOf("foobar")), 0x85944171f73967e8ull);
  EXPECT_EQ(fnv1aHash32(Bytes{}), 0x811c9dc5u);
  EXPECT_EQ(fnv1aHash32(bytesOf("a")), 0xe40c292cu);
  EXPECT_EQ(fnv1aHash32(bytesOf("foobar")), 0xbf9cf968u);
}

DisplayInfo display(float x, float y, float w, float h) {
  return DisplayInfo{0, "", false, 0, 0, DisplayFrame{x, y, w, h}};
}

TEST(CursorSpace, FindsTheContainingOrNearestDisplay) {
  const std::vector<DisplayInfo> one = {display(0, 0, 1440, 900)};
  EXPECT_EQ(CursorSpace::display(Point{1440, 450}, one), one[0]);
  EXPECT_EQ(CursorSpace::clamp(Point{1440, 450}, std::vector<Rect>{one[0].frame.rect()}), (Point{1439, 450}));

  DisplayInfo a = display(0, 0, 100, 100);
  a.id = 1;
  DisplayInfo b = display(200, 0, 100, 100);
  b.id = 2;
  const std::vector<DisplayInfo> two = {a, b};
  EXPECT_EQ(CursorSpace::display(Point{150, 50}, two)->id, 1u);
  EXPECT_EQ(CursorSpace::display(Point{250, 50}, two)->id, 2u);
  EXPECT_EQ(CursorSpace::display(Point{100, 50}, two)->id, 1u);  // right edge is outside, A is nearer
  EXPECT_EQ(CursorSpace::clamp(Point{150, 50}, std::vector<DisplayFrame>{a.frame, b.frame}), (Point{200, 50}));
  EXPECT_FALSE(CursorSpace::display(Point{0, 0}, {}));

  // A display given with a negative size covers its standardised rectangle.
  EXPECT_EQ(CursorSpace::display(Point{-50, -50}, std::vector<DisplayInfo>{b, display(0, 0, -100, -100)})->frame,
            (DisplayFrame{0, 0, -100, -100}));
}

TEST(CursorSpace, ClampsOntoRectanglesOfPositiveSize) {
  const Rect thin{10, 0, 0.5, 100};
  EXPECT_EQ(CursorSpace::clamp(Point{5, 50}, std::vector<Rect>{thin}), (Point{10, 50}));
  EXPECT_EQ(CursorSpace::clamp(Point{20, 50}, std::vector<Rect>{thin}), (Point{10, 50}));
  EXPECT_EQ(CursorSpace::clamp(Point{3, 4}, std::vector<Rect>{}), (Point{3, 4}));
  EXPECT_EQ(CursorSpace::clamp(Point{3, 4}, std::vector<Rect>{Rect{0, 0, 0, 10}, Rect{50, 50, 10, 0}}), (Point{3, 4}));
  EXPECT_EQ(CursorSpace::clamp(Point{-5, 2000}, std::vector<Rect>{Rect{0, 0, 1920, 1080}}), (Point{0, 1079}));
}

TEST(CursorSpace, NormalizesAgainstTheDisplayFrame) {
  const DisplayInfo d = display(100, 50, 200, 100);
  EXPECT_EQ(CursorSpace::normalize(Point{150, 75}, d), (Point{0.25, 0.25}));
  EXPECT_EQ(CursorSpace::normalize(Point{500, 50}, d), (Point{2.0, 0}));  // not clamped
  EXPECT_EQ(CursorSpace::denormalize(Point{0.25, 0.25}, d), (Point{150, 75}));
  EXPECT_EQ(CursorSpace::normalize(Point{1, 0}, display(0, 0, 0.5f, 0.5f)), (Point{1, 0}));  // sizes up to 1 count as 1
}

TEST(FileTransferLimits, ChecksOffersInOrder) {
  using L = FileTransferLimits;
  EXPECT_EQ(L::validateOffer(std::vector<std::uint64_t>{}), "Nothing to send");
  std::vector<std::uint64_t> ten(10, 10485760);
  EXPECT_EQ(L::validateOffer(ten), std::nullopt);
  ten[0] += 1;
  EXPECT_EQ(L::validateOffer(ten), "Too large to send: 100 MB (limit 100 MB)");
  EXPECT_EQ(L::validateOffer(std::vector<std::uint64_t>(11, 0)), "Too many files: 11 (limit 10)");
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(L::validateOffer(std::vector<std::uint64_t>{max, 2}),
            "Too large to send: 17592186044416 MB (limit 100 MB)");
  EXPECT_EQ(L::validateOffer(std::vector<FileMeta>{FileMeta{"a", "public.data", 5}}), std::nullopt);
  EXPECT_EQ(L::chunkSize, 65536u);
  EXPECT_EQ(L::maxFiles, 10u);
  EXPECT_EQ(L::maxTotalBytes, 104857600u);
}

TEST(FileTransferLimits, FormatsBytesInKBOrMB) {
  const std::vector<std::pair<std::uint64_t, std::string>> cases = {
      {0, "1 KB"},           {1, "1 KB"},          {1536, "2 KB"},       {1048575, "1024 KB"},
      {1048576, "1 MB"},     {1572864, "1.5 MB"},  {1310720, "1.3 MB"},  {10485760, "10 MB"},
      {104857600, "100 MB"}, {10380902, "9.9 MB"}, {10433331, "9.9 MB"}, {10466304, "10 MB"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FileTransferLimits::formatBytes(bytes), text) << bytes;
}

}  // namespace
}  // namespace brindlet
