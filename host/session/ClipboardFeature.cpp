#include "host/session/ClipboardFeature.h"

#include "host/HostLog.h"
#include "host/control/PasteboardProviding.h"
#include "host/session/PeriodicTask.h"
#include "host/session/SessionDispatch.h"

#include <asio/this_coro.hpp>

namespace brindlet::host {

void ClipboardFeature::registerHandlers(SessionDispatch& d) { d.on<&ClipboardFeature::onClipboardText>(); }

asio::awaitable<void> ClipboardFeature::onClipboardText(const msg::ClipboardText& text) {
  const auto& pasteboard = core_.env().pasteboard;
  if (!pasteboard) {
    core_.reportUnavailable<msg::ClipboardText>("the clipboard");
    co_return;
  }
  if (!pasteboard->writeText(text.text)) {
    sessionLog().error("clipboard: the device's text could not be placed on this computer's clipboard");
  }
  // Also after a failure: whatever the clipboard holds now, the device need not get it back.
  mark_.set(pasteboard->changeCount());
}

void ClipboardFeature::markCurrent() {
  if (const auto& pasteboard = core_.env().pasteboard) mark_.set(pasteboard->changeCount());
}

void ClipboardFeature::start() {
  if (!core_.env().pasteboard) return;
  pollTask_ =
      core_.spawnTask(repeatEvery(core_.weakFeature(this), core_.env().clock,
                                  Clock::seconds(core_.env().clipboardPollInterval), false, &ClipboardFeature::poll));
}

asio::awaitable<void> ClipboardFeature::poll() {
  std::shared_ptr<PasteboardProviding> pasteboard = core_.env().pasteboard;
  if (!pasteboard) co_return;
  const std::int64_t count = pasteboard->changeCount();
  if (count == mark_.get()) co_return;
  mark_.set(count);
  PasteboardText read = co_await pasteboard->readText(maxTextBytes);
  if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) co_return;
  if (read.tooLargeBytes) {
    // Never cut: a part of the text would paste as if it were all of it.
    sessionLog().notice("clipboard not sent: its text of %llu bytes is more than the %zu a message carries",
                        static_cast<unsigned long long>(*read.tooLargeBytes), maxTextBytes);
    co_return;
  }
  if (read.text && !read.text->empty()) core_.send(msg::ClipboardText{std::move(*read.text)});
}

}  // namespace brindlet::host
