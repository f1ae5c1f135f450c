#pragma once
// The accessibility trees of the desktop's apps, over AT-SPI on the session bus: an app's
// menu bar and its items, pressing an item, the element that has the keyboard focus, and
// the notices of focus changes.
//
// Every AT-SPI call waits for the app to answer (at most `messagingTimeout` a call), so all
// of them run on the layer's own thread. Work for it is a job given to run(), which resumes
// the awaiting coroutine on its own executor with the job's result:
//
//   auto access = Accessibility::shared();
//   std::optional<std::string> title = co_await access->run<std::optional<std::string>>([a = access.get(), pid] {
//     auto app = a->application(pid);                   // inside a job: on the thread
//     return app ? a->title(app) : std::nullopt;
//   });
//
// A job runs only while the layer lives, so it needs no reference of its own to it: run()
// holds one until the result is back on the caller's executor, and a job's captures are
// released on the thread before its caller resumes. The layer is thus never destroyed on its
// own thread.
// Elements are handles, valid only inside jobs (made, read and dropped there). What the
// layer reports is in the terms of the host's menu and focus rules: menu items carry their
// shortcut as a key character and modifier bits, focused elements their role in the names
// "AXTextField", "AXTextArea", "AXComboBox", with the subroles "AXSecureTextField" and
// "AXSearchField".
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "base/Geometry.h"

namespace brindlet::platform {

// One element of an app's tree; empty when there is none.
class AccessibleElement {
 public:
  AccessibleElement() = default;
  explicit operator bool() const { return object_ != nullptr; }

 private:
  friend class Accessibility;
  std::shared_ptr<void> object_;
};

// One menu item as read. `cmdModifiers` bits: 0x01 shift, 0x02 option (Alt), 0x04 control,
// 0x08 no command key (set unless the shortcut uses the Super key).
struct MenuItemAttributes {
  std::string title;
  std::string cmdChar;  // the shortcut's key, one character (U+F700... for arrows and F-keys)
  int cmdModifiers = 0;
  bool enabled = true;
  std::string markChar;  // "✓" when checked, "-" when mixed, empty otherwise

  bool operator==(const MenuItemAttributes&) const = default;
};

// Reads a key binding as toolkits write it ("<Primary><Shift>s", or GTK 3's
// "mnemonic;path;shortcut") into the item's shortcut key and modifier bits; leaves them
// empty when there is no shortcut.
void parseMenuKeyBinding(std::string_view binding, MenuItemAttributes& into);

struct FocusedElement {
  std::optional<std::string> role;
  std::optional<std::string> subrole;
  bool editable = false;      // takes typed text and has a text selection
  std::optional<Rect> frame;  // global points

  bool operator==(const FocusedElement&) const = default;
};

// The layer's thread has stopped: a job given after that does not run.
struct AccessibilityStopped : std::runtime_error {
  AccessibilityStopped() : std::runtime_error("accessibility is not running") {}
};

class Accessibility : public std::enable_shared_from_this<Accessibility> {
 public:
  // The longest an app gets to answer one call.
  static constexpr std::chrono::milliseconds messagingTimeout{250};

  // The process's one connection to the accessibility bus, made with its thread on first use.
  static std::shared_ptr<Accessibility> shared();
  ~Accessibility();
  Accessibility(const Accessibility&) = delete;
  Accessibility& operator=(const Accessibility&) = delete;

  // Runs `job` on the layer's thread; its result or exception comes back to the caller.
  template <class R>
  asio::awaitable<R> run(std::function<R()> job) {
    const std::shared_ptr<Accessibility> keep = shared_from_this();
    auto result = std::make_shared<std::optional<R>>();
    auto error = std::make_shared<std::exception_ptr>();
    std::function<void()> body = [job = std::move(job), result, error] {
      try {
        result->emplace(job());
      } catch (...) {
        *error = std::current_exception();
      }
    };
    co_await perform(std::move(body));
    if (*error) std::rethrow_exception(*error);
    if (!*result) throw AccessibilityStopped();
    co_return std::move(**result);
  }

  // Inside jobs only. -----------------------------------------------------------------------

  // The app of process `pid`; empty when it has no accessibility tree.
  AccessibleElement application(std::int32_t pid);
  // The menu bar of an app's windows (the active window's first); empty when it has none.
  AccessibleElement menuBar(const AccessibleElement& application);
  // The items of a menu bar, or of the submenu an item opens (none for a plain item).
  std::vector<AccessibleElement> menuItems(const AccessibleElement& element);
  MenuItemAttributes menuItemAttributes(const AccessibleElement& element);
  // The element's name; nothing when it cannot be read.
  std::optional<std::string> title(const AccessibleElement& element);
  // Performs the element's first action (a menu item's press): 0, or the error's code.
  int press(const AccessibleElement& element);
  // The element of `pid` that has the keyboard focus, as the focus notices last named it
  // (else as found in its active window); nothing when there is none.
  std::optional<FocusedElement> focusedElement(std::int32_t pid);

  // Focus notices ----------------------------------------------------------------------------

  // `handler` is called on the layer's thread with the process of each element that gains the
  // keyboard focus, until removed. Any thread.
  using FocusHandler = std::function<void(std::int32_t pid)>;
  std::uint64_t addFocusHandler(FocusHandler handler);
  void removeFocusHandler(std::uint64_t id);

 private:
  struct Thread;
  Accessibility();

  // Queues `job` on the thread; `done` is called after it ran, with whether it did.
  void enqueue(std::function<void()> job, std::function<void()> done);
  asio::awaitable<void> perform(std::function<void()> job) {
    auto initiation = [this](auto handler, std::function<void()> work) {
      auto shared = std::make_shared<decltype(handler)>(std::move(handler));
      auto executor = asio::get_associated_executor(*shared);
      enqueue(std::move(work), [shared, executor] { asio::post(executor, [shared] { (*shared)(); }); });
    };
    co_await asio::async_initiate<const asio::use_awaitable_t<>&, void()>(initiation, asio::use_awaitable,
                                                                          std::move(job));
  }

  std::unique_ptr<Thread> thread_;
};

}  // namespace brindlet::platform
