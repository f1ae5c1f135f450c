#pragma once

// What the host's windows look like on the screen, for the tests that run the host program:
// the whole screen grabbed from the X server, each window's elements placed on it through the
// boxes the accessibility tree gives them, and the colours found there compared with the
// palette's.
//
//   Screen screen = Screen::grab();
//   WindowPixels panel = WindowPixels::read("Nolu Host", boxesFromTheDriver, screen);
//   const Element* dot = panel.find("panel", "", [](const Element& e) { return e.width == 7; });
//   EXPECT_TRUE(panel.fillAt("status dot", dot->x + 3, dot->y + 3, sRGB(0.45, 0.45, 0.45)));
//   EXPECT_TRUE(panel.textColour(*label, sRGB(0.63, 0.63, 0.65), background));

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "ui/TopLevelWindows.h"

namespace brindlet::testing {

struct Colour {
  int red = 0, green = 0, blue = 0;
  bool operator==(const Colour&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Colour& c) {
  return out << "rgb(" << c.red << ", " << c.green << ", " << c.blue << ")";
}

// A colour given as sRGB channels from 0 to 1, as the palette gives them, in 8-bit channels.
inline Colour sRGB(double red, double green, double blue) {
  auto channel = [](double value) { return static_cast<int>(std::lround(value * 255)); };
  return {channel(red), channel(green), channel(blue)};
}

// White at `opacity` drawn over `under`.
inline Colour whiteOver(double opacity, Colour under) {
  auto channel = [opacity](int value) { return static_cast<int>(std::lround(value + (255 - value) * opacity)); };
  return {channel(under.red), channel(under.green), channel(under.blue)};
}

// The whole screen, as the X server holds it.
struct Screen {
  int width = 0, height = 0;
  std::vector<std::uint8_t> bgrx;

  static Screen grab() {
    Screen screen;
    Display* display = XOpenDisplay(nullptr);
    if (!display) return screen;
    Window root = DefaultRootWindow(display);
    XWindowAttributes attributes;
    XGetWindowAttributes(display, root, &attributes);
    XImage* image = XGetImage(display, root, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    screen.width = attributes.width;
    screen.height = attributes.height;
    screen.bgrx.resize(static_cast<std::size_t>(screen.width) * screen.height * 4);
    for (int y = 0; y < screen.height; ++y) {
      std::memcpy(screen.bgrx.data() + static_cast<std::size_t>(y) * screen.width * 4,
                  image->data + static_cast<std::ptrdiff_t>(y) * image->bytes_per_line,
                  static_cast<std::size_t>(screen.width) * 4);
    }
    XDestroyImage(image);
    XCloseDisplay(display);
    return screen;
  }

  bool contains(int x, int y) const { return x >= 0 && y >= 0 && x < width && y < height; }

  Colour at(int x, int y) const {
    if (!contains(x, y)) return {-1, -1, -1};
    std::size_t i = (static_cast<std::size_t>(y) * width + x) * 4;
    return {bgrx[i + 2], bgrx[i + 1], bgrx[i]};
  }

  // As grey levels (PGM, for reading a QR code back) or in colour (PPM, for a reviewer).
  void save(const std::filesystem::path& file, bool grey) const {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out << (grey ? "P5\n" : "P6\n") << width << " " << height << "\n255\n";
    for (std::size_t i = 0; i < bgrx.size(); i += 4) {
      if (grey) {
        out.put(static_cast<char>((bgrx[i] + bgrx[i + 1] + bgrx[i + 2]) / 3));
      } else {
        out.put(static_cast<char>(bgrx[i + 2])).put(static_cast<char>(bgrx[i + 1])).put(static_cast<char>(bgrx[i]));
      }
    }
  }
};

// One element of a window as the accessibility tree gives it: its role, its name (a label's
// text, a button's label) and its content box in the window's own pixels.
struct Element {
  std::string role, name;
  int x = 0, y = 0, width = 0, height = 0;
};

// The driver's "boxes" lines: role, name, "x y width height", separated by tabs.
inline std::vector<Element> parseElements(const std::string& text) {
  std::vector<Element> elements;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    auto first = line.find('\t');
    auto second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos) continue;
    Element element;
    element.role = line.substr(0, first);
    element.name = line.substr(first + 1, second - first - 1);
    std::istringstream box(line.substr(second + 1));
    if (box >> element.x >> element.y >> element.width >> element.height) elements.push_back(element);
  }
  return elements;
}

// Where the inside of the top-level window so titled starts on the screen.
inline std::optional<std::pair<int, int>> windowOrigin(const std::string& title) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return std::nullopt;
  std::optional<std::pair<int, int>> origin;
  if (Window window = findWindow(display, title)) {
    int x = 0, y = 0;
    Window child;
    if (XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child)) origin = {{x, y}};
  }
  XCloseDisplay(display);
  return origin;
}

// One window on a grabbed screen, read through its elements' boxes. Positions are in the
// window's own pixels.
class WindowPixels {
 public:
  // Channels may differ this much from the palette's (rounding of the channels and of white
  // drawn over a colour).
  static constexpr int tolerance = 3;

  // Nothing (with the reason in `why`) when the window is not on the screen or has no elements.
  static std::optional<WindowPixels> read(const std::string& title, const std::string& boxes, const Screen& screen,
                                          std::string* why) {
    auto origin = windowOrigin(title);
    std::vector<Element> elements = parseElements(boxes);
    if (!origin || elements.empty()) {
      *why = !origin ? "no window \"" + title + "\" on the screen" : "no elements in:\n" + boxes;
      return std::nullopt;
    }
    return WindowPixels(screen, origin->first, origin->second, std::move(elements));
  }

  const std::vector<Element>& elements() const { return elements_; }

  // The first element of that role and name (in the tree's order) that `also` accepts.
  const Element* find(const std::string& role, const std::string& name,
                      const std::function<bool(const Element&)>& also = nullptr) const {
    for (const Element& element : elements_) {
      if (element.role == role && element.name == name && (!also || also(element))) return &element;
    }
    return nullptr;
  }

  Colour at(int x, int y) const { return screen_->at(originX_ + x, originY_ + y); }

  // The pixel at (x, y) is `expected`, within the tolerance.
  ::testing::AssertionResult fillAt(const std::string& what, int x, int y, Colour expected) const {
    Colour found = at(x, y);
    if (close(found, expected, tolerance)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << what << " at (" << x << ", " << y << ") of the window is " << found
                                         << ", not " << expected;
  }

  // The element's text is drawn in `text` on `background`. Smoothed glyph edges blend the
  // two, so the pixel of the box that stands farthest from the background is taken, one that
  // a stem covers wholly: it must be the text colour, within the tolerance.
  ::testing::AssertionResult textColour(const Element& element, Colour text, Colour background) const {
    Colour farthest = background;
    double distance = 0;
    for (int y = element.y; y < element.y + element.height; ++y) {
      for (int x = element.x; x < element.x + element.width; ++x) {
        Colour c = at(x, y);
        double d = squared(c, background);
        if (d > distance) {
          distance = d;
          farthest = c;
        }
      }
    }
    if (close(farthest, text, tolerance)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the text \"" << element.name << "\" is drawn in " << farthest
                                         << " (its pixel farthest from " << background << "), not " << text;
  }

  // The leftmost column of the element's box where anything stands out from `background`
  // (the start of its text, for a label drawn on it); -1 when nothing does.
  int firstInkColumn(const Element& element, Colour background) const {
    for (int x = element.x; x < element.x + element.width; ++x) {
      for (int y = element.y; y < element.y + element.height; ++y) {
        if (!close(at(x, y), background, 4 * tolerance)) return x;
      }
    }
    return -1;
  }

 private:
  WindowPixels(const Screen& screen, int x, int y, std::vector<Element> elements)
      : screen_(&screen), originX_(x), originY_(y), elements_(std::move(elements)) {}

  static bool close(Colour a, Colour b, int within) {
    return std::abs(a.red - b.red) <= within && std::abs(a.green - b.green) <= within &&
           std::abs(a.blue - b.blue) <= within;
  }
  static double squared(Colour a, Colour b) {
    double r = a.red - b.red, g = a.green - b.green, bl = a.blue - b.blue;
    return r * r + g * g + bl * bl;
  }

  const Screen* screen_;
  int originX_, originY_;
  std::vector<Element> elements_;
};

}  // namespace brindlet::testing
