#pragma once
// This computer's clipboard: the X11 CLIPBOARD selection, owned and read by a small X client
// of the host's own (one connection, one invisible window).
//
//   auto clipboard = X11Clipboard::open(executor, clock);        // starts its event loop
//   clipboard->own({{"UTF8_STRING", bytes}, {"text/plain;charset=utf-8", bytes}});
//   auto read = co_await clipboard->read("UTF8_STRING", 65535);  // from whoever owns it
//
// While it owns the selection it answers other clients' requests (TARGETS, TIMESTAMP and the
// flavours it holds; large data in INCR steps). Reading asks the current owner and waits for
// each of its steps at most `answerTimeout`, so an owner that never answers costs a time-out,
// never a hang. The change count grows with every change of the selection's owner that the
// server reports (XFixes) and with every own(). The event loop is an Asio wait on the
// connection's descriptor, on the clipboard's own strand; close() ends it.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "base/Bytes.h"
#include "base/Clock.h"
#include "base/Executor.h"

namespace brindlet::platform {

// One flavour of clipboard content: the X target (a MIME type such as "image/png", or an X
// name such as "UTF8_STRING") and its bytes.
struct ClipboardFlavor {
  std::string target;
  Bytes data;
};

struct ClipboardRead {
  enum class Status {
    ok,        // `data` holds the content
    empty,     // nobody owns the selection, or the owner has no such flavour
    tooLarge,  // the content is larger than asked for; `size` is at least its size
    timedOut,  // the owner did not answer (or stopped answering) in time
    failed,    // the connection is gone, or too many reads are under way
  };
  Status status = Status::empty;
  Bytes data;
  std::uint64_t size = 0;
};

class X11Clipboard {
 public:
  // How long a read waits for the owner's next step; how long an INCR transfer to another
  // client may stall before it is dropped.
  static constexpr Clock::Duration answerTimeout = std::chrono::seconds(1);
  static constexpr Clock::Duration transferTimeout = std::chrono::seconds(10);

  // Opens its connection and starts its event loop on a strand of `executor`. Throws
  // ScreenError when the server cannot be reached or has no XFixes.
  static std::shared_ptr<X11Clipboard> open(const Executor& executor, std::shared_ptr<Clock> clock,
                                            const std::string& displayName = {});
  ~X11Clipboard();
  X11Clipboard(const X11Clipboard&) = delete;
  X11Clipboard& operator=(const X11Clipboard&) = delete;

  // Grows with every change of the selection (another owner, no owner, our own()).
  std::int64_t changeCount() const;
  // Takes the selection with these flavours; the change count has grown when it returns true.
  // False when the server did not give us the selection (nothing was placed).
  bool own(std::vector<ClipboardFlavor> flavors);
  // The targets the owner offers (empty when nobody owns it or it does not answer).
  asio::awaitable<std::vector<std::string>> targets();
  // The owner's content in `target`, at most `maxBytes` of it.
  asio::awaitable<ClipboardRead> read(std::string target, std::size_t maxBytes);
  // Ends the event loop and gives up the selection.
  void close();

  struct Impl;  // the X side (X11Clipboard.cpp)
  explicit X11Clipboard(std::shared_ptr<Impl> impl);

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace brindlet::platform
