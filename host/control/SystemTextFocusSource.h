#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "base/Clock.h"
#include "base/Executor.h"
#include "base/Geometry.h"
#include "host/capture/ChangeBroadcaster.h"
#include "host/control/TextFocusSource.h"
#include "kit/support/AsyncStream.h"
#include "kit/support/Task.h"

namespace brindlet::platform {
class Accessibility;
}

namespace brindlet::host {

class FrontmostApps;

// The focused element as read: its role and subrole in the accessibility layer's names
// ("AXTextField", "AXSecureTextField" ...), whether it takes typed text, and its frame.
struct TextFocusElement {
  std::optional<std::string> role;
  std::optional<std::string> subrole;
  bool editable = false;
  std::optional<Rect> frame;

  bool operator==(const TextFocusElement&) const = default;
};

// The apps whose every focus counts as text: terminals.
const std::unordered_set<std::string>& terminalBundleIDs();

// What kind of text element the focus is in, first match winning: a terminal app; a secure
// field; a search field; a text field or combo box; a text area; anything else that takes
// typed text (web content); else not text.
TextFocus classifyTextFocus(const std::string& bundleID, const TextFocusElement& element);

// Follows the keyboard focus of the frontmost app. Focus notices come from the accessibility
// layer and activations from the frontmost-app watch; after each burst of them (`debounce`,
// 0.1 s unless told, without another) the focused element is read on the accessibility layer's thread and
// handed to the handler, changed or not.
class TextFocusObserver : public std::enable_shared_from_this<TextFocusObserver> {
 public:
  static constexpr std::chrono::milliseconds defaultDebounce{100};

  static std::shared_ptr<TextFocusObserver> make(const Executor& executor,
                                                 std::shared_ptr<platform::Accessibility> accessibility,
                                                 std::shared_ptr<FrontmostApps> apps, std::shared_ptr<Clock> clock,
                                                 TextFocusSource::Handler handler,
                                                 std::chrono::milliseconds debounce = defaultDebounce);
  ~TextFocusObserver();

  // Any thread; each takes effect on the observer's strand.
  void start();
  void stop();

 private:
  TextFocusObserver(const Executor& executor, std::shared_ptr<platform::Accessibility> accessibility,
                    std::shared_ptr<FrontmostApps> apps, std::shared_ptr<Clock> clock, TextFocusSource::Handler handler,
                    std::chrono::milliseconds debounce);

  void startOnStrand();
  void stopOnStrand();
  void scheduleRead();
  static asio::awaitable<void> followActivations(std::weak_ptr<TextFocusObserver> observer,
                                                 AsyncStream<Change> changes);
  static asio::awaitable<void> readAfterDebounce(std::weak_ptr<TextFocusObserver> observer);
  asio::awaitable<void> readTimed();

  Strand strand_;
  std::shared_ptr<platform::Accessibility> accessibility_;
  std::shared_ptr<FrontmostApps> apps_;
  std::shared_ptr<Clock> clock_;
  TextFocusSource::Handler handler_;
  std::chrono::milliseconds debounce_;
  // On the strand only.
  bool running_ = false;
  std::optional<std::uint64_t> focusHandler_;
  std::optional<AsyncStream<Change>> activations_;
  Task activationTask_;
  Task pendingRead_;
};

// The text focus of this desktop's apps.
class SystemTextFocusSource final : public TextFocusSource {
 public:
  SystemTextFocusSource(Executor executor, std::shared_ptr<platform::Accessibility> accessibility,
                        std::shared_ptr<FrontmostApps> apps, std::shared_ptr<Clock> clock,
                        std::chrono::milliseconds debounce = TextFocusObserver::defaultDebounce);

  Stop start(Handler handler) override;

 private:
  Executor executor_;
  std::shared_ptr<platform::Accessibility> accessibility_;
  std::shared_ptr<FrontmostApps> apps_;
  std::shared_ptr<Clock> clock_;
  std::chrono::milliseconds debounce_;
};

}  // namespace brindlet::host
