#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/input/EventPosting.h"

struct _XDisplay;

namespace brindlet::platform {

class X11Keyboard;

// Posts keyboard, text, mouse and scroll events into the X server through XTest, in the
// terms of the Mac's event system, and reads back the pointer and the displays. Owns its
// own X connection (the DISPLAY of the environment); every call is thread-safe. Each post
// answers false when no event could be made (no X server, a key the keyboard lacks).
//
// What X cannot carry: click counts (X clients count clicks by timing), pointer deltas
// beside the absolute position, continuous scrolling (pixels become wheel steps), and the
// Fn key and flag.
class EventPoster final : public EventPosting {
 public:
  // Pixels of continuous scrolling that make one wheel step.
  static constexpr int pixelsPerWheelStep = 20;

  EventPoster();
  ~EventPoster();
  EventPoster(const EventPoster&) = delete;
  EventPoster& operator=(const EventPoster&) = delete;

  bool isAvailable() const { return display_ != nullptr; }

  bool postKeyboard(const KeyboardEvent& event) override;
  // Types UTF-16 text: the key-down event of a Unicode-string pair types every character
  // with exactly the modifiers it needs on the current layout (caps lock off); the key-up
  // event posts nothing, the characters are already typed. A character the layout lacks
  // is typed on a spare key (one without symbols) mapped to its keysym. The mapping stays
  // until that spare key is needed for another character or the poster is destroyed, when
  // it is undone: X clients read a changed keymap only after they see its notification,
  // and one undone at once would make them read the key as nothing.
  bool postUnicodeString(std::u16string_view units, bool isDown) override;
  bool postMouse(const MouseEvent& event) override;
  bool postScroll(const ScrollWheelEvent& event) override;

  // Keys that a poster of a process which has ended (killed while the device held them)
  // left down, with their auto-repeat off: each is released and, where that poster had
  // turned its auto-repeat off and it is still off, repeats again. Keys of running
  // processes and repeat the user turned off are left as they are. Answers how many keys.
  // The host calls it once at start-up.
  int releaseKeysOfEndedPosters();

  // Where the pointer is, nothing when it cannot be read.
  std::optional<GlobalPoint> pointerLocation() override;
  // The bounds of the active displays, the primary first.
  std::vector<GlobalRect> activeDisplayBounds() override;

 private:
  struct ModifierChange;
  ModifierChange applyModifiers(unsigned wanted, bool wantLock);
  void undo(const ModifierChange& change);
  // Presses or releases a key through XTest.
  void fakeKey(unsigned char keycode, bool down);
  void lockCaps(bool on);
  void tapKey(unsigned char keycode, unsigned mods, bool lock);
  // Turn a key's auto-repeat off and back on, noting it in repeatOff_; true when that changed.
  bool holdWithoutRepeat(unsigned char keycode);
  bool restoreRepeat(unsigned char keycode);
  // Writes repeatOff_ to a property of the root window, which outlives this process.
  void recordHeldKeys();
  // Sends what is queued, then the record when the held keys changed.
  void sendThenRecord(bool heldKeysChanged);
  bool typeCharacter(char32_t c, unsigned group);
  bool mapSpareKey(unsigned long keysym);
  void unmapSpareKeys();

  std::mutex mutex_;
  ::_XDisplay* display_ = nullptr;
  std::unique_ptr<X11Keyboard> keyboard_;
  // Spare keys this poster mapped, with their keysym, least recently used first.
  std::vector<std::pair<unsigned char, unsigned long>> mapped_;
  double scrollRemainderX_ = 0;
  double scrollRemainderY_ = 0;
  // Keys held through this poster whose auto-repeat is off, with whether it was on before.
  std::map<unsigned char, bool> repeatOff_;
  // The root window property that lists them while any is held (made on first use).
  unsigned long heldKeysAtom_ = 0;
};

}  // namespace brindlet::platform
