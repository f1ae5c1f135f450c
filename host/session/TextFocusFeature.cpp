#include "host/session/TextFocusFeature.h"

#include "host/control/ClickRecord.h"

namespace brindlet::host {

TextFocusFeature::~TextFocusFeature() { stop(); }

void TextFocusFeature::start() {
  const auto& source = core_.env().textFocus;
  if (textFocusStop_ || !source) return;
  AsyncStream<TextFocus> focuses;
  // The source calls this from its own thread: it only hands the value over.
  textFocusStop_ = source->start([focuses](const TextFocus& focus) { focuses.yield(focus); });
  textFocusTask_ = core_.spawnTask(consume(core_.weakFeature(this), focuses));
}

void TextFocusFeature::stop() {
  if (textFocusStop_) {
    auto stopSource = std::move(textFocusStop_);
    textFocusStop_ = nullptr;
    stopSource();
  }
  textFocusTask_ = Task();
}

asio::awaitable<void> TextFocusFeature::consume(std::weak_ptr<TextFocusFeature> feature,
                                                AsyncStream<TextFocus> focuses) {
  while (auto focus = co_await focuses.next()) {
    auto self = feature.lock();
    if (!self) co_return;
    self->report(*focus);
  }
}

void TextFocusFeature::report(const TextFocus& focus) {
  // Equal focuses differ at most in the frame.
  if (focus == lastTextFocus_) return;
  const bool wasText = lastTextFocus_.isText;
  lastTextFocus_ = focus;
  bool byClick = false;
  if (focus.isText && !wasText && core_.env().clicks) {
    // A click is used once, whatever it shows.
    std::optional<ClickRecord::Click> click = core_.env().clicks->take();
    const double now = core_.uptime();
    if (click && focus.frame && focus.frame->width > 0 && focus.frame->height > 0) {
      const double age = now - click->time;
      const Rect& f = *focus.frame;
      byClick = age >= 0 && age <= byClickWindow && click->point.x >= f.x - byClickMargin &&
                click->point.x <= f.x + f.width + byClickMargin && click->point.y >= f.y - byClickMargin &&
                click->point.y <= f.y + f.height + byClickMargin;
    }
  }
  core_.send(msg::TextFocus{focus.isText, focus.bundleID, focus.kind, byClick});
}

}  // namespace brindlet::host
