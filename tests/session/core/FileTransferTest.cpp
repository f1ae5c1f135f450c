// Files sent by the device, over the in-process pair into a temporary inbox: what lands on
// disk and on the clipboard, every status the device is sent, and what is left behind (nothing)
// when a transfer fails, is cancelled or outlives its session.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "control/TestPictures.h"
#include "host/control/PasteboardProviding.h"
#include "session/core/SessionFixture.h"

namespace brindlet::host::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A clipboard that keeps the files placed on it, or refuses them.
class FilesPasteboard final : public PasteboardProviding {
 public:
  std::int64_t changeCount() const override { return count; }
  asio::awaitable<PasteboardText> readText(std::size_t) override { co_return PasteboardText{}; }
  bool writeText(std::string_view) override {
    ++count;
    return true;
  }
  bool writeFiles(std::vector<PasteboardFile> files) override {
    if (refuse) return false;
    placed = std::move(files);
    ++count;
    return true;
  }

  bool refuse = false;
  std::int64_t count = 7;
  std::vector<PasteboardFile> placed;
};

// The byte at `offset` of a test file.
std::uint8_t patternByte(std::uint64_t offset) {
  return static_cast<std::uint8_t>((offset * 131 + offset / 251) % 256);
}

Bytes pattern(std::uint64_t offset, std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = patternByte(offset + i);
  return bytes;
}

Bytes readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Every entry below `folder`, as paths relative to it.
std::vector<std::string> entries(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(folder, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    names.push_back(fs::relative(it->path(), folder).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class FileTransferTest : public SessionFixture {
 protected:
  FileTransferTest() {
    base = fs::temp_directory_path() / ("file-transfer-test-" + std::to_string(getpid()));
    fs::remove_all(base);
    fs::create_directories(base);
    inbox = base / "Inbox";
    adjustEnvironment = [this](HostEnvironment& env) {
      env.inbox = HostInbox{inbox};
      env.pasteboard = pasteboard;
    };
  }
  ~FileTransferTest() override { fs::remove_all(base); }

  msg::FileStatus status(std::uint32_t id, FileTransferState state, std::uint64_t bytes = 0, std::string detail = "") {
    return msg::FileStatus{id, state, bytes, std::move(detail)};
  }

  // Offers `files` as transfer `id` and expects it accepted.
  void accept(std::uint32_t id, std::vector<FileMeta> files) {
    received.clear();
    send(msg::FileOffer{id, std::move(files), FileTransferKind::attach});
    ASSERT_EQ(received, (std::vector<Message>{status(id, FileTransferState::accepted)}));
    received.clear();
  }

  // Sends file `index` of `size` bytes whole, in chunks of the largest size.
  void sendFile(std::uint32_t id, std::uint16_t index, std::uint64_t size) {
    for (std::uint64_t offset = 0; offset < size; offset += FileTransferLimits::chunkSize) {
      const auto length =
          static_cast<std::size_t>(std::min<std::uint64_t>(FileTransferLimits::chunkSize, size - offset));
      send(msg::FileChunk{id, index, offset, pattern(offset, length)});
    }
  }

  fs::path base;
  fs::path inbox;
  std::shared_ptr<FilesPasteboard> pasteboard = std::make_shared<FilesPasteboard>();
};

TEST_F(FileTransferTest, OneFileLandsInTheInboxAndOnTheClipboard) {
  LogCapture log;
  startAccepted();
  accept(7, {{"notes.txt", "public.plain-text", 100'000}});
  sendFile(7, 0, 100'000);
  send(msg::FileEnd{7});
  EXPECT_EQ(received, (std::vector<Message>{status(7, FileTransferState::done, 100'000)}));
  EXPECT_EQ(readFile(inbox / "7" / "notes.txt"), pattern(0, 100'000));
  EXPECT_EQ(pasteboard->placed, (std::vector<PasteboardFile>{{inbox / "7" / "notes.txt", {}}}));
  EXPECT_EQ(log.containing("file offer 7 files=1 bytes=100000 kind=1").size(), 1u);
  EXPECT_EQ(log.containing("file transfer 7 done").size(), 1u);
}

// What the device sends is the user's own: other users of this computer cannot list or read
// it, also where the inbox existed before with a looser mode.
TEST_F(FileTransferTest, TheInboxAndItsFilesAreTheOwnersOnly) {
  fs::create_directories(inbox);
  fs::permissions(inbox, fs::perms::all);
  startAccepted();
  accept(5, {{"secret.txt", "public.plain-text", 10}});
  sendFile(5, 0, 10);
  send(msg::FileEnd{5});
  EXPECT_EQ(received, (std::vector<Message>{status(5, FileTransferState::done, 10)}));
  EXPECT_EQ(fs::status(inbox).permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(inbox / "5").permissions(), fs::perms::owner_all);
  EXPECT_EQ(fs::status(inbox / "5" / "secret.txt").permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(FileTransferTest, SeveralFilesKeepTheirOrderWithSafeDistinctNames) {
  startAccepted();
  accept(8, {{"Report.pdf", "com.adobe.pdf", 10},
             {"empty.txt", "public.plain-text", 0},
             {"report.pdf", "com.adobe.pdf", 70'000},
             {"../../x.png", "public.png", 5},
             {" .bashrc", "public.data", 3}});
  sendFile(8, 0, 10);
  sendFile(8, 2, 70'000);  // the empty file needs no chunk
  sendFile(8, 3, 5);
  sendFile(8, 4, 3);
  send(msg::FileEnd{8});
  EXPECT_EQ(received, (std::vector<Message>{status(8, FileTransferState::done, 70'018)}));
  const fs::path folder = inbox / "8";
  EXPECT_EQ(entries(base), (std::vector<std::string>{"Inbox", "Inbox/8", "Inbox/8/Report.pdf", "Inbox/8/_.._x.png",
                                                     "Inbox/8/bashrc", "Inbox/8/empty.txt", "Inbox/8/report 2.pdf"}));
  EXPECT_EQ(readFile(folder / "report 2.pdf"), pattern(0, 70'000));
  EXPECT_EQ(fs::file_size(folder / "empty.txt"), 0u);
  // A picture goes on the clipboard with its own bytes beside its location.
  EXPECT_EQ(pasteboard->placed, (std::vector<PasteboardFile>{{folder / "Report.pdf", {}},
                                                             {folder / "empty.txt", {}},
                                                             {folder / "report 2.pdf", {}},
                                                             {folder / "_.._x.png", {{"public.png", pattern(0, 5)}}},
                                                             {folder / "bashrc", {}}}));
}

// A picture in a format other programs may not paste goes on the clipboard as a PNG too, and
// one the clipboard has no type for as the PNG alone.
TEST_F(FileTransferTest, PicturesGetAPNGCopyOnTheClipboard) {
  startAccepted();
  const Bytes bmp = brindlet::testing::tinyBMP();
  accept(4, {{"scan.bmp", "com.microsoft.bmp", bmp.size()}, {"scan", "public.image", bmp.size()}});
  send(msg::FileChunk{4, 0, 0, bmp});
  send(msg::FileChunk{4, 1, 0, bmp});
  send(msg::FileEnd{4});
  EXPECT_EQ(received, (std::vector<Message>{status(4, FileTransferState::done, 2 * bmp.size())}));
  ASSERT_EQ(pasteboard->placed.size(), 2u);
  const auto& bmpFile = pasteboard->placed[0].representations;
  ASSERT_TRUE(bmpFile.contains("public.png"));
  EXPECT_EQ(bmpFile.at("com.microsoft.bmp"), bmp);
  const Bytes& png = bmpFile.at("public.png");
  EXPECT_EQ(Bytes(png.begin(), png.begin() + std::min<std::size_t>(4, png.size())), (Bytes{0x89, 'P', 'N', 'G'}));
  const auto& untyped = pasteboard->placed[1].representations;
  EXPECT_EQ(untyped.size(), 1u);
  EXPECT_EQ(untyped.count("public.png"), 1u);
}

TEST_F(FileTransferTest, ProgressComesAtMostEveryQuarterSecondWithTheWholeTransfersBytes) {
  startAccepted();
  accept(3, {{"a.bin", "public.data", 4 * 65'536}, {"b.bin", "public.data", 65'536}});
  const auto chunk = [&](std::uint16_t file, std::uint64_t offset) {
    send(msg::FileChunk{3, file, offset, pattern(offset, 65'536)});
  };
  chunk(0, 0);  // within 0.25 s of the offer: nothing
  loop.advance(250ms);
  chunk(0, 65'536);  // 0.25 s: a report
  loop.advance(100ms);
  chunk(0, 131'072);  // 0.1 s after it: nothing
  loop.advance(200ms);
  chunk(0, 196'608);  // 0.3 s after it: a report
  chunk(1, 0);
  send(msg::FileEnd{3});
  EXPECT_EQ(received, (std::vector<Message>{status(3, FileTransferState::progress, 131'072),
                                            status(3, FileTransferState::progress, 262'144),
                                            status(3, FileTransferState::done, 327'680)}));
}

TEST_F(FileTransferTest, OffersOutsideTheLimitsAreRefusedAndMakeNoFolder) {
  const auto files = [](std::size_t count, std::uint64_t size) {
    return std::vector<FileMeta>(count, FileMeta{"f.bin", "public.data", size});
  };
  auto justTooLarge = files(10, 10'485'760);
  justTooLarge.back().size += 1;
  const struct {
    std::vector<FileMeta> files;
    std::string refusal;
  } cases[] = {
      {{}, "Nothing to send"},
      {files(11, 0), "Too many files: 11 (limit 10)"},
      {justTooLarge, "Too large to send: 100 MB (limit 100 MB)"},
      {{{"a", "public.data", ~0ull}, {"b", "public.data", 2}}, "Too large to send: 17592186044416 MB (limit 100 MB)"},
  };
  startAccepted();
  for (const auto& c : cases) {
    received.clear();
    send(msg::FileOffer{4, c.files, FileTransferKind::paste});
    EXPECT_EQ(received, (std::vector<Message>{status(4, FileTransferState::rejected, 0, c.refusal)}));
  }
  EXPECT_FALSE(fs::exists(inbox));
  // Ten files of exactly the largest total are taken.
  accept(5, files(10, 10'485'760));
  EXPECT_EQ(entries(inbox).size(), 11u);
}

TEST_F(FileTransferTest, ChunksOfTheLargestSizeAreTakenAndNoLarger) {
  startAccepted();
  accept(1, {{"a.bin", "public.data", 65'536 * 2}});
  send(msg::FileChunk{1, 0, 0, pattern(0, 65'536)});
  EXPECT_TRUE(received.empty());
  send(msg::FileChunk{1, 0, 65'536, pattern(0, 65'537)});
  EXPECT_EQ(received, (std::vector<Message>{status(1, FileTransferState::failed, 65'536, "Bad chunk size")}));
}

// Each bad input fails its transfer with its reason and the bytes taken so far, leaves no file
// behind, and what the device sends for that transfer afterwards is ignored.
TEST_F(FileTransferTest, BadInputFailsTheTransferAndLeavesNothingBehind) {
  const std::vector<FileMeta> files{{"a.bin", "public.data", 100}, {"b.bin", "public.data", 50}};
  const struct {
    const char* what;
    std::vector<Message> sent;
    std::uint64_t bytes;
    std::string detail;
  } cases[] = {
      {"the second file first", {msg::FileChunk{2, 1, 0, pattern(0, 10)}}, 0, "Chunk out of order"},
      {"a chunk twice",
       {msg::FileChunk{2, 0, 0, pattern(0, 10)}, msg::FileChunk{2, 0, 0, pattern(0, 10)}},
       10,
       "Chunk out of order"},
      {"a gap",
       {msg::FileChunk{2, 0, 0, pattern(0, 10)}, msg::FileChunk{2, 0, 20, pattern(20, 10)}},
       10,
       "Chunk out of order"},
      {"a chunk after the last",
       {msg::FileChunk{2, 0, 0, pattern(0, 100)}, msg::FileChunk{2, 1, 0, pattern(0, 50)},
        msg::FileChunk{2, 1, 50, pattern(50, 1)}},
       150,
       "Chunk out of order"},
      {"a file index past the offer", {msg::FileChunk{2, 9, 0, pattern(0, 10)}}, 0, "Chunk out of order"},
      {"an empty chunk", {msg::FileChunk{2, 0, 0, Bytes{}}}, 0, "Bad chunk size"},
      {"a byte past the size",
       {msg::FileChunk{2, 0, 0, pattern(0, 90)}, msg::FileChunk{2, 0, 90, pattern(90, 11)}},
       90,
       "Chunk past the declared size"},
      {"an end before all bytes", {msg::FileChunk{2, 0, 0, pattern(0, 100)}, msg::FileEnd{2}}, 100, "Size mismatch"},
  };
  LogCapture log;
  startAccepted();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    accept(2, files);
    for (const Message& m : c.sent) send(m);
    EXPECT_EQ(received, (std::vector<Message>{status(2, FileTransferState::failed, c.bytes, c.detail)}));
    EXPECT_EQ(entries(inbox), std::vector<std::string>{});
    received.clear();
    send(msg::FileChunk{2, 0, 0, pattern(0, 10)});
    send(msg::FileEnd{2});
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(log.containing("file transfer 2 failed: " + c.detail).size(), 1u);
    log.records.clear();
  }
  EXPECT_TRUE(pasteboard->placed.empty());
}

TEST_F(FileTransferTest, OneTransferAtATimeAndOtherIDsAreIgnored) {
  startAccepted();
  accept(1, {{"a.bin", "public.data", 20}});
  send(msg::FileOffer{2, {{"b.bin", "public.data", 5}}, FileTransferKind::attach});
  send(msg::FileOffer{1, {{"b.bin", "public.data", 5}}, FileTransferKind::attach});
  send(msg::FileChunk{9, 0, 0, pattern(0, 10)});
  send(msg::FileEnd{9});
  send(msg::FileCancel{9});
  EXPECT_EQ(received,
            (std::vector<Message>{status(2, FileTransferState::rejected, 0, "Another transfer is in progress"),
                                  status(1, FileTransferState::rejected, 0, "Another transfer is in progress")}));
  received.clear();
  sendFile(1, 0, 20);
  send(msg::FileEnd{1});
  EXPECT_EQ(received, (std::vector<Message>{status(1, FileTransferState::done, 20)}));
  EXPECT_EQ(readFile(inbox / "1" / "a.bin"), pattern(0, 20));
}

TEST_F(FileTransferTest, TheDeviceCancelsWithoutAReplyAndTheFolderGoes) {
  startAccepted();
  accept(6, {{"a.bin", "public.data", 100'000}});
  sendFile(6, 0, 65'536);
  send(msg::FileCancel{6});
  EXPECT_TRUE(received.empty());
  EXPECT_EQ(entries(inbox), std::vector<std::string>{});
  send(msg::FileChunk{6, 0, 65'536, pattern(65'536, 10)});
  EXPECT_TRUE(received.empty());
  // The receiver is free for the next transfer.
  accept(7, {{"a.bin", "public.data", 1}});
}

TEST_F(FileTransferTest, ATransferInProgressWhenTheSessionEndsLeavesNoFolder) {
  startAccepted();
  accept(6, {{"a.bin", "public.data", 100'000}, {"b.bin", "public.data", 10}});
  sendFile(6, 0, 65'536);
  ASSERT_EQ(entries(inbox), (std::vector<std::string>{"6", "6/a.bin", "6/b.bin"}));
  device->close();
  loop.settle();
  EXPECT_TRUE(sessionEnded);
  EXPECT_EQ(entries(inbox), std::vector<std::string>{});
}

// A device that uses a transfer ID again never takes the files of the earlier transfer off the
// disk: they may still be on the clipboard.
TEST_F(FileTransferTest, AReusedIDGetsAFolderOfItsOwn) {
  startAccepted();
  accept(5, {{"a.txt", "public.plain-text", 3}});
  sendFile(5, 0, 3);
  send(msg::FileEnd{5});
  accept(5, {{"a.txt", "public.plain-text", 4}});
  sendFile(5, 0, 4);
  send(msg::FileEnd{5});
  EXPECT_EQ(received, (std::vector<Message>{status(5, FileTransferState::done, 4)}));
  EXPECT_EQ(readFile(inbox / "5" / "a.txt"), pattern(0, 3));
  EXPECT_EQ(readFile(inbox / "5-2" / "a.txt"), pattern(0, 4));
  EXPECT_EQ(pasteboard->placed, (std::vector<PasteboardFile>{{inbox / "5-2" / "a.txt", {}}}));
  // A failed reuse takes only its own folder away.
  accept(5, {{"a.txt", "public.plain-text", 4}});
  send(msg::FileEnd{5});
  EXPECT_EQ(entries(inbox), (std::vector<std::string>{"5", "5-2", "5-2/a.txt", "5/a.txt"}));
}

TEST_F(FileTransferTest, FilesThatCannotBePlacedOnTheClipboardFailTheTransfer) {
  const struct {
    const char* what;
    bool withPasteboard;
  } cases[] = {{"a clipboard that refuses", true}, {"no clipboard", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    pasteboard->refuse = true;
    adjustEnvironment = [&](HostEnvironment& env) {
      env.inbox = HostInbox{inbox};
      if (c.withPasteboard)
        env.pasteboard = pasteboard;
      else
        env.pasteboard = nullptr;
    };
    startAccepted();
    accept(9, {{"a.txt", "public.plain-text", 3}});
    sendFile(9, 0, 3);
    send(msg::FileEnd{9});
    EXPECT_EQ(received,
              (std::vector<Message>{status(9, FileTransferState::failed, 3, "Couldn't set the Mac clipboard")}));
    EXPECT_EQ(entries(inbox), std::vector<std::string>{});
    reconnect();
  }
}

TEST_F(FileTransferTest, AnInboxThatCannotBeMadeRefusesTheOffer) {
  std::ofstream(inbox) << "a file where the inbox should be";
  startAccepted();
  send(msg::FileOffer{3, {{"a.txt", "public.plain-text", 3}}, FileTransferKind::attach});
  EXPECT_EQ(received,
            (std::vector<Message>{status(3, FileTransferState::rejected, 0, "Couldn't save files on the Mac")}));
}

TEST_F(FileTransferTest, WithoutAnInboxOffersAreRefused) {
  adjustEnvironment = [](HostEnvironment& env) { env.inbox.reset(); };
  startAccepted();
  send(msg::FileOffer{3, {{"a.txt", "public.plain-text", 3}}, FileTransferKind::attach});
  send(msg::FileOffer{4, {}, FileTransferKind::attach});
  send(msg::FileChunk{3, 0, 0, pattern(0, 3)});
  EXPECT_EQ(received, (std::vector<Message>{status(3, FileTransferState::rejected, 0, "Couldn't save files on the Mac"),
                                            status(4, FileTransferState::rejected, 0, "Nothing to send")}));
}

TEST_F(FileTransferTest, ACompletedTransferPrunesOtherOldTransferFolders) {
  for (const char* name : {"100", "101"}) fs::create_directories(inbox / name);
  std::ofstream(inbox / "loose.txt") << "x";
  const auto twoDaysAgo = loop.clock->wallNow() - std::chrono::hours(48);
  const auto seconds = std::chrono::system_clock::to_time_t(twoDaysAgo);
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (inbox / "100").c_str(), times, 0), 0);
  ASSERT_EQ(utimensat(AT_FDCWD, (inbox / "loose.txt").c_str(), times, 0), 0);
  startAccepted();
  accept(1, {{"a.txt", "public.plain-text", 1}});
  sendFile(1, 0, 1);
  send(msg::FileEnd{1});
  EXPECT_EQ(entries(inbox), (std::vector<std::string>{"1", "1/a.txt", "101", "loose.txt"}));
}

// A file system that fills during a transfer: the transfer fails with the write's reason and
// its partial files are removed. A small tmpfs is the inbox where this process may mount one;
// else a file-size limit of this process stands in for the full disk.
class FullDiskTest : public FileTransferTest {
 protected:
  void SetUp() override {
    fs::create_directories(inbox);
    if (::mount("tmpfs", inbox.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k,mode=0700") == 0) {
      mounted = true;
      return;
    }
    ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
    ::getrlimit(RLIMIT_FSIZE, &previous);
    struct rlimit limit = previous;
    limit.rlim_cur = 256 * 1024;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) GTEST_SKIP() << "neither a tmpfs nor a file-size limit can be set up";
    limited = true;
  }
  void TearDown() override {
    if (mounted) ::umount2(inbox.c_str(), MNT_DETACH);
    if (limited) ::setrlimit(RLIMIT_FSIZE, &previous);
  }

  bool mounted = false;
  bool limited = false;
  struct rlimit previous {};
};

TEST_F(FullDiskTest, AFullDiskFailsTheTransferAndLeavesNothingBehind) {
  startAccepted();
  accept(4, {{"big.bin", "public.data", 1'000'000}, {"small.txt", "public.plain-text", 10}});
  std::uint64_t offset = 0;
  for (; offset < 1'000'000 && received.empty(); offset += 65'536) {
    send(msg::FileChunk{4, 0, offset, pattern(offset, 65'536)});
  }
  ASSERT_EQ(received.size(), 1u) << "the disk never filled";
  const auto* failed = received.front().as<msg::FileStatus>();
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->state, FileTransferState::failed);
  EXPECT_EQ(failed->detail, "Couldn't write the file on the Mac");
  EXPECT_LT(failed->bytes, offset);
  EXPECT_EQ(entries(inbox), std::vector<std::string>{});
  // The room is free again for a transfer that fits.
  accept(5, {{"small.txt", "public.plain-text", 10}});
  sendFile(5, 0, 10);
  send(msg::FileEnd{5});
  EXPECT_EQ(received, (std::vector<Message>{status(5, FileTransferState::done, 10)}));
}

// A size in kB from this process's status, as "VmRSS" (resident now) or "VmHWM" (its peak).
long statusKB(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  }
  return -1;
}

// Two transfers of the largest size: chunks go to disk as they come, so the process's peak
// memory grows by far less than one file.
TEST_F(FileTransferTest, LargeFilesStreamToDiskWithoutBeingHeldInMemory) {
  startAccepted();
  const std::uint64_t size = FileTransferLimits::maxTotalBytes;
  {
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5";  // the peak starts again from the current resident set
  }
  const long before = statusKB("VmRSS");
  for (std::uint32_t id : {1u, 2u}) {
    accept(id, {{"big.bin", "public.data", size}});
    Bytes chunk(FileTransferLimits::chunkSize);
    for (std::uint64_t offset = 0; offset < size; offset += chunk.size()) {
      for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::uint8_t>((offset + i) * 7 + id);
      send(msg::FileChunk{id, 0, offset, chunk});
      gate->offered.clear();  // the fake gate keeps what it is shown
    }
    received.clear();
    send(msg::FileEnd{id});
    ASSERT_EQ(received, (std::vector<Message>{status(id, FileTransferState::done, size)}));
  }
  const long growthKB = statusKB("VmHWM") - before;
  RecordProperty("peak_rss_growth_kb", std::to_string(growthKB));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // (A sanitizer keeps freed memory aside and shadows what is used: its figure says nothing.)
  EXPECT_LT(growthKB, 32 * 1024) << "200 MB received with a peak growth of " << growthKB << " kB";
#endif
  // Byte for byte, read back a block at a time.
  for (std::uint32_t id : {1u, 2u}) {
    std::ifstream in(inbox / std::to_string(id) / "big.bin", std::ios::binary);
    std::vector<char> block(1 << 20);
    std::uint64_t offset = 0;
    bool same = true;
    while (same && in.read(block.data(), static_cast<std::streamsize>(block.size())).gcount() > 0) {
      for (std::streamsize i = 0; i < in.gcount(); ++i, ++offset) {
        if (static_cast<std::uint8_t>(block[i]) != static_cast<std::uint8_t>(offset * 7 + id)) same = false;
      }
    }
    EXPECT_TRUE(same) << "transfer " << id << " differs at byte " << offset;
    EXPECT_EQ(offset, size);
  }
}

}  // namespace
}  // namespace brindlet::host::testing
