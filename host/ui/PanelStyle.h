#pragma once

// The windows' look: the palette and type sizes of the panel, the guide and the pairing
// windows, as one style sheet for the whole display, installed once on the toolkit's thread.
// Widgets pick it up through their style classes ("nolu-window", "nolu-heading",
// "nolu-secondary", "nolu-accent", "nolu-code", ...).

namespace Gtk {
class Window;
}

namespace brindlet::host {

// On the toolkit's thread; once is enough, more is harmless.
void installPanelStyle();

// On the toolkit's thread: shows a window that the host opens by itself (at start) without
// taking the focus from the window in use.
void showWithoutFocus(Gtk::Window& window);

// The palette, sRGB at full opacity, as 0–255 channels.
struct PanelColour {
  int red, green, blue;
};
inline constexpr PanelColour panelAmber{255, 176, 32};
inline constexpr PanelColour panelGrey{161, 161, 166};
inline constexpr PanelColour panelGreen{125, 224, 143};
inline constexpr PanelColour windowBackground{28, 28, 30};
inline constexpr PanelColour raisedSurface{43, 43, 46};

}  // namespace brindlet::host
