// What a received file puts on the clipboard beside its location, and the clipboard's text
// helpers.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "control/TestPictures.h"
#include "host/control/PasteboardProviding.h"
#include "host/control/SystemPasteboard.h"
#include "platform/image/ImageCodec.h"

namespace brindlet::host {
namespace {

namespace fs = std::filesystem;

class PasteboardFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pasteboard-file-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const Bytes& bytes) {
    fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
  }

  fs::path dir_;
};

using brindlet::testing::tinyBMP;

TEST_F(PasteboardFileTest, PicturesCarryTheirBytesAndOtherFormatsAPNGToo) {
  const Bytes png = *platform::encodePNG(platform::RGBAImage{1, 1, {10, 20, 30, 255}});
  const Bytes text = {'h', 'i'};
  const Bytes broken = {'G', 'I', 'F', '8', '9', 'a', 1, 2, 3};
  struct Case {
    const char* name;
    const char* typeID;
    Bytes bytes;
    std::vector<std::string> types;
  };
  const std::vector<Case> cases{
      {"notes.txt", "public.plain-text", text, {}},      // not a picture: the location only
      {"unknown.bin", "com.example.unknown", text, {}},  // an unknown type: the location only
      {"photo.png", "public.png", png, {"public.png"}},  // PNG and JPEG are not converted
      {"photo.jpg", "public.jpeg", text, {"public.jpeg"}},
      {"scan.bmp", "com.microsoft.bmp", tinyBMP(), {"com.microsoft.bmp", "public.png"}},
      {"broken.gif", "com.compuserve.gif", broken, {"com.compuserve.gif"}},  // cannot be decoded
      // A picture type the clipboard has no name for: its PNG only.
      {"scan.image", "public.image", tinyBMP(), {"public.png"}},
      {"broken.psd", "com.adobe.photoshop-image", broken, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::path path = write(c.name, c.bytes);
    PasteboardFile file = PasteboardFile::make(path, c.typeID);
    EXPECT_EQ(file.url, path);
    std::vector<std::string> types;
    for (const auto& [type, bytes] : file.representations) types.push_back(type);
    std::sort(types.begin(), types.end());
    auto expected = c.types;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(types, expected);
    if (file.representations.contains(c.typeID)) {
      EXPECT_EQ(file.representations.at(c.typeID), c.bytes);
    }
  }
  // The conversion shows the picture.
  auto converted = PasteboardFile::make(dir_ / "scan.bmp", "com.microsoft.bmp").representations.at("public.png");
  auto image = platform::decodePNG(converted);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 2);
  EXPECT_EQ(image->height, 1);
  EXPECT_EQ((Bytes(image->rgba.begin(), image->rgba.begin() + 3)), (Bytes{255, 0, 0}));
  EXPECT_EQ((Bytes(image->rgba.begin() + 4, image->rgba.begin() + 7)), (Bytes{0, 0, 255}));
  // A picture that cannot be read keeps its location only.
  EXPECT_TRUE(PasteboardFile::make(dir_ / "gone.png", "public.png").representations.empty());
}

TEST(SystemPasteboardText, BrokenUTF8IsReplacedAndFileLocationsAreEscaped) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"plain ✓ text", "plain ✓ text"},
      {"bad \xff byte", "bad \xEF\xBF\xBD byte"},
      {"cut \xE2\x9C", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"overlong \xC0\xAF", "overlong \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate \xED\xA0\x80", "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(SystemPasteboard::validUTF8(in), out) << in;
  EXPECT_EQ(SystemPasteboard::fileURI("/tmp/Inbox/7/a b%c#ü.txt"), "file:///tmp/Inbox/7/a%20b%25c%23%C3%BC.txt");
}

}  // namespace
}  // namespace brindlet::host
