// This computer's clipboard as the session uses it, against a GTK program: text both ways,
// a file list and a picture placed for pasting, text too long for a message refused.
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>

#include "host/control/SystemPasteboard.h"
#include "kit/support/SystemClock.h"
#include "platform/clipboard/OtherClient.h"
#include "platform/clipboard/X11Clipboard.h"
#include "platform/image/ImageCodec.h"

namespace brindlet::host {
namespace {

namespace fs = std::filesystem;
using testing::GTKCopier;
using testing::runPaste;

class SystemPasteboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_ = std::thread([this] { io_.run(); });
    pasteboard_ =
        std::make_shared<SystemPasteboard>(platform::X11Clipboard::open(io_.get_executor(), SystemClock::shared()));
    dir_ = fs::temp_directory_path() / ("system-pasteboard-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    pasteboard_.reset();
    work_.reset();
    thread_.join();
    fs::remove_all(dir_);
  }

  PasteboardText readText(std::size_t maxBytes) {
    auto p = pasteboard_;
    return asio::co_spawn(io_, p->readText(maxBytes), asio::use_future).get();
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  std::thread thread_;
  std::shared_ptr<SystemPasteboard> pasteboard_;
  fs::path dir_;
};

TEST_F(SystemPasteboardTest, TextGoesBothWaysAndTooMuchIsRefusedNotCut) {
  ASSERT_TRUE(pasteboard_->writeText("Grüße ✓"));
  EXPECT_EQ(runPaste("paste-text"), "text:11:Grüße ✓");
  EXPECT_EQ(readText(65535).text, "Grüße ✓");
  {
    GTKCopier copier({"copy-text", "copied on the computer"});
    EXPECT_EQ(readText(65535).text, "copied on the computer");
  }
  GTKCopier copier({"copy-repeat", "ab", "40000"});
  PasteboardText tooLong = readText(65535);
  EXPECT_FALSE(tooLong.text);
  ASSERT_TRUE(tooLong.tooLargeBytes);
  EXPECT_GE(*tooLong.tooLargeBytes, 80000u);
}

TEST_F(SystemPasteboardTest, FilesAndAPictureArePastedByAnotherProgram) {
  platform::RGBAImage red{4, 3, Bytes()};
  for (int i = 0; i < 12; ++i) red.rgba.insert(red.rgba.end(), {200, 10, 20, 255});
  const Bytes png = *platform::encodePNG(red);
  const fs::path picture = dir_ / "red dot.png";
  const fs::path notes = dir_ / "notes.txt";
  std::ofstream(picture, std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
  std::ofstream(notes) << "notes";

  const std::int64_t before = pasteboard_->changeCount();
  ASSERT_TRUE(pasteboard_->writeFiles(
      {PasteboardFile::make(picture, "public.png"), PasteboardFile::make(notes, "public.plain-text")}));
  EXPECT_GT(pasteboard_->changeCount(), before);
  EXPECT_EQ(runPaste("paste-uris"),
            SystemPasteboard::fileURI(picture) + "\n" + SystemPasteboard::fileURI(notes) + "\n");
  EXPECT_EQ(runPaste("paste-image"), "4 3 200 10 20\n");

  // A file that is not there is not placed, and the clipboard stays as it was.
  const std::int64_t placed = pasteboard_->changeCount();
  EXPECT_FALSE(pasteboard_->writeFiles({PasteboardFile{dir_ / "gone.txt", {}}}));
  EXPECT_FALSE(pasteboard_->writeFiles({}));
  EXPECT_EQ(pasteboard_->changeCount(), placed);
  EXPECT_EQ(runPaste("paste-image"), "4 3 200 10 20\n");
}

}  // namespace
}  // namespace brindlet::host
