#include "host/control/SystemTextFocusSource.h"

#include <functional>

#include <asio/post.hpp>
#include <asio/this_coro.hpp>

#include "host/HostLog.h"
#include "host/control/FrontmostApps.h"
#include "platform/accessibility/Accessibility.h"

namespace brindlet::host {

const std::unordered_set<std::string>& terminalBundleIDs() {
  static const std::unordered_set<std::string> ids = {"com.apple.Terminal", "com.googlecode.iterm2",
                                                      "dev.warp.Warp-Stable", "com.mitchellh.ghostty"};
  return ids;
}

TextFocus classifyTextFocus(const std::string& bundleID, const TextFocusElement& element) {
  auto is = [](const std::optional<std::string>& value, const char* name) { return value && *value == name; };
  TextFocus focus;
  focus.bundleID = bundleID;
  focus.isText = true;
  focus.frame = element.frame;
  if (terminalBundleIDs().count(bundleID)) {
    focus.kind = TextFocusKind::terminal;
  } else if (is(element.subrole, "AXSecureTextField")) {
    focus.kind = TextFocusKind::secure;
  } else if (is(element.role, "AXSearchField") || is(element.subrole, "AXSearchField")) {
    focus.kind = TextFocusKind::search;
  } else if (is(element.role, "AXTextField") || is(element.role, "AXComboBox")) {
    focus.kind = TextFocusKind::field;
  } else if (is(element.role, "AXTextArea")) {
    focus.kind = TextFocusKind::area;
  } else if (element.editable) {
    focus.kind = TextFocusKind::web;
  } else {
    focus.isText = false;
    focus.kind = TextFocusKind::none;
    focus.frame.reset();
  }
  return focus;
}

std::shared_ptr<TextFocusObserver> TextFocusObserver::make(const Executor& executor,
                                                           std::shared_ptr<platform::Accessibility> accessibility,
                                                           std::shared_ptr<FrontmostApps> apps,
                                                           std::shared_ptr<Clock> clock,
                                                           TextFocusSource::Handler handler,
                                                           std::chrono::milliseconds debounce) {
  return std::shared_ptr<TextFocusObserver>(new TextFocusObserver(executor, std::move(accessibility), std::move(apps),
                                                                  std::move(clock), std::move(handler), debounce));
}

TextFocusObserver::TextFocusObserver(const Executor& executor, std::shared_ptr<platform::Accessibility> accessibility,
                                     std::shared_ptr<FrontmostApps> apps, std::shared_ptr<Clock> clock,
                                     TextFocusSource::Handler handler, std::chrono::milliseconds debounce)
    : strand_(makeStrand(executor)),
      accessibility_(std::move(accessibility)),
      apps_(std::move(apps)),
      clock_(std::move(clock)),
      handler_(std::move(handler)),
      debounce_(debounce) {}

TextFocusObserver::~TextFocusObserver() {
  if (focusHandler_) accessibility_->removeFocusHandler(*focusHandler_);
  if (activations_) activations_->finish();
}

void TextFocusObserver::start() {
  asio::post(strand_, [self = shared_from_this()] { self->startOnStrand(); });
}

void TextFocusObserver::stop() {
  asio::post(strand_, [self = shared_from_this()] { self->stopOnStrand(); });
}

void TextFocusObserver::startOnStrand() {
  if (running_) return;
  running_ = true;
  std::weak_ptr<TextFocusObserver> weak = weak_from_this();
  // Called on the accessibility thread: it only hops onto the strand.
  focusHandler_ = accessibility_->addFocusHandler([weak, strand = strand_](std::int32_t) {
    asio::post(strand, [weak] {
      if (auto self = weak.lock(); self && self->running_) self->scheduleRead();
    });
  });
  activations_ = apps_->activations();
  activationTask_ = Task::spawn(strand_, followActivations(weak, *activations_));
  scheduleRead();
}

void TextFocusObserver::stopOnStrand() {
  if (!running_) return;
  running_ = false;
  if (focusHandler_) accessibility_->removeFocusHandler(*focusHandler_);
  focusHandler_.reset();
  if (activations_) activations_->finish();
  activations_.reset();
  activationTask_ = Task();
  pendingRead_ = Task();
}

asio::awaitable<void> TextFocusObserver::followActivations(std::weak_ptr<TextFocusObserver> observer,
                                                           AsyncStream<Change> changes) {
  while (auto change = co_await changes.next()) {
    auto self = observer.lock();
    if (!self || !self->running_) co_return;
    self->scheduleRead();
  }
}

void TextFocusObserver::scheduleRead() {
  // A burst of notices makes one read, `debounce_` after the last.
  pendingRead_ = Task::spawn(strand_, readAfterDebounce(weak_from_this()));
}

asio::awaitable<void> TextFocusObserver::readAfterDebounce(std::weak_ptr<TextFocusObserver> observer) {
  std::shared_ptr<Clock> clock;
  std::chrono::milliseconds debounce{};
  if (auto self = observer.lock()) {
    clock = self->clock_;
    debounce = self->debounce_;
  }
  if (!clock) co_return;
  co_await clock->sleep(debounce);
  auto self = observer.lock();
  if (!self || !self->running_) co_return;
  co_await self->readTimed();
}

asio::awaitable<void> TextFocusObserver::readTimed() {
  auto self = shared_from_this();
  const auto started = clock_->uptimeNow();
  std::optional<MenuSource::FrontmostApp> app = apps_->current();
  std::string bundleID = app ? app->bundleID : std::string();
  std::optional<platform::FocusedElement> element;
  if (app) {
    std::function<std::optional<platform::FocusedElement>()> job =
        [accessibility = accessibility_.get(), pid = app->pid] { return accessibility->focusedElement(pid); };
    element = co_await accessibility_->run(std::move(job));
    // A newer notice superseded this read while it ran: that one reports.
    if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) co_return;
  }
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(clock_->uptimeNow() - started);
  if (elapsed.count() > 100) {
    sessionLog().notice("text focus: AX read of %s took %ld ms", bundleID.c_str(), long(elapsed.count()));
  }
  if (!running_) co_return;
  TextFocus focus;
  if (element) {
    focus = classifyTextFocus(bundleID,
                              TextFocusElement{element->role, element->subrole, element->editable, element->frame});
  } else {
    // Nothing to read: only a terminal's focus counts as text.
    focus.bundleID = bundleID;
    focus.isText = terminalBundleIDs().count(bundleID) > 0;
    focus.kind = focus.isText ? TextFocusKind::terminal : TextFocusKind::none;
  }
  handler_(focus);
}

SystemTextFocusSource::SystemTextFocusSource(Executor executor, std::shared_ptr<platform::Accessibility> accessibility,
                                             std::shared_ptr<FrontmostApps> apps, std::shared_ptr<Clock> clock,
                                             std::chrono::milliseconds debounce)
    : executor_(std::move(executor)),
      accessibility_(std::move(accessibility)),
      apps_(std::move(apps)),
      clock_(std::move(clock)),
      debounce_(debounce) {}

TextFocusSource::Stop SystemTextFocusSource::start(Handler handler) {
  auto observer = TextFocusObserver::make(executor_, accessibility_, apps_, clock_, std::move(handler), debounce_);
  observer->start();
  return [observer] { observer->stop(); };
}

}  // namespace brindlet::host
