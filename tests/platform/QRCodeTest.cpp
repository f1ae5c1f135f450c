#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/ui/QRCode.h"

namespace brindlet::platform {
namespace {

// Draws the code at 8 pixels a module with a 4-module quiet zone as a PGM picture.
void writePGM(const QRCode& code, const std::filesystem::path& file) {
  const int scale = 8, margin = 4;
  int side = (code.size + 2 * margin) * scale;
  std::ofstream out(file, std::ios::binary);
  out << "P5\n" << side << " " << side << "\n255\n";
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      int mx = x / scale - margin, my = y / scale - margin;
      bool dark = mx >= 0 && my >= 0 && mx < code.size && my < code.size && code.dark(mx, my);
      out.put(static_cast<char>(dark ? 0 : 255));
    }
  }
}

std::string decode(const std::filesystem::path& file) {
  std::string command = "zbarimg --quiet --raw -Sdisable -Sqrcode.enable '" + file.string() + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string text;
  char buffer[512];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
  ::pclose(pipe);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

TEST(QRCodeTest, DecodesBackToTheSameText) {
  const std::string link =
      "nolu://"
      "pair?v=1&h=6F1C2D3E-4A5B-4C6D-8E9F-0A1B2C3D4E5F&n=Studio%20Mac&fp=q83vEjRWeJCrze8SNFZ4kKvN7xI0VniQq83vEjRWeJA&"
      "t=AAECAwQFBgcICQoLDA0ODw";
  auto code = QRCode::encode(link);
  ASSERT_TRUE(code);
  EXPECT_EQ((code->size - 17) % 4, 0);  // a standard version's side
  auto file = std::filesystem::temp_directory_path() / ("qrcode-" + std::to_string(::getpid()) + ".pgm");
  writePGM(*code, file);
  EXPECT_EQ(decode(file), link);
  std::filesystem::remove(file);
}

TEST(QRCodeTest, TooLongATextHasNoCode) { EXPECT_FALSE(QRCode::encode(std::string(4000, 'x'))); }

}  // namespace
}  // namespace brindlet::platform
