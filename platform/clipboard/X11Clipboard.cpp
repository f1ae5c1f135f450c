#include "platform/clipboard/X11Clipboard.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/experimental/channel.hpp>
#include <asio/multiple_exceptions.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include <xcb/xfixes.h>

#include "platform/screen/ScreenError.h"
#include "platform/screen/XCB.h"

namespace brindlet::platform {

using namespace asio::experimental::awaitable_operators;

namespace {

// Data larger than this goes to another client in INCR steps of this size.
constexpr std::size_t incrChunk = 256 * 1024;
// Properties of our window that answers are delivered into; one per read under way.
constexpr int readSlots = 4;
// Atoms and names kept at most.
constexpr std::size_t maxRememberedAtoms = 1024;

using Signal = asio::experimental::channel<void(asio::error_code, bool)>;

}  // namespace

struct X11Clipboard::Impl : std::enable_shared_from_this<X11Clipboard::Impl> {
  // A read of ours under way: the owner answers into `property` of our window.
  struct PendingRead {
    explicit PendingRead(const Strand& strand) : signal(strand, 1) {}
    Signal signal;
    std::size_t maxBytes = 0;
    bool incr = false;
    bool discarding = false;  // too large: the owner's steps are taken and dropped
    std::uint64_t discarded = 0;
    bool progressed = false;
    bool done = false;
    ClipboardRead result;
  };
  struct Slot {
    xcb_atom_t property = XCB_ATOM_NONE;
    std::shared_ptr<PendingRead> read;
    Clock::Duration freeAfter{0};  // an abandoned read's late answers are drained until then
  };
  // Data we send another client in INCR steps.
  struct Transfer {
    xcb_window_t requestor = XCB_WINDOW_NONE;
    xcb_atom_t property = XCB_ATOM_NONE;
    xcb_atom_t type = XCB_ATOM_NONE;
    std::shared_ptr<const Bytes> data;
    std::size_t offset = 0;
    bool finished = false;  // the last, empty step has been written
    Clock::Duration lastStep{0};
  };
  struct Owned {
    xcb_atom_t target = XCB_ATOM_NONE;
    std::string name;
    std::shared_ptr<const Bytes> data;
  };

  Impl(std::unique_ptr<XConnection> connection, Strand strand, std::shared_ptr<Clock> clock)
      : x(std::move(connection)), c(x->get()), strand(std::move(strand)), clock(std::move(clock)) {}

  ~Impl() {
    if (window != XCB_WINDOW_NONE) xcb_destroy_window(c, window);
    xcb_flush(c);
  }

  void setUp() {
    const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
    if (!xfixes || !xfixes->present) throw ScreenError("The X server has no XFIXES extension.");
    xfixesEvent = xfixes->first_event;
    free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
    clipboard = x->atom("CLIPBOARD");
    targetsAtom = x->atom("TARGETS");
    timestampAtom = x->atom("TIMESTAMP");
    incrAtom = x->atom("INCR");
    multipleAtom = x->atom("MULTIPLE");
    textAtom = x->atom("TEXT");
    utf8Atom = x->atom("UTF8_STRING");
    for (int i = 0; i < readSlots; ++i) {
      std::string name = "NOLU_CLIPBOARD_" + std::to_string(i);
      slots[i].property = x->atom(name.c_str());
    }
    window = xcb_generate_id(c);
    const uint32_t values[2] = {1, XCB_EVENT_MASK_PROPERTY_CHANGE};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, x->root(), -10, -10, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_xfixes_select_selection_input(c, window, clipboard,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    const char* name = "Nolu clipboard";
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                        static_cast<uint32_t>(std::strlen(name)), name);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (x->failed()) throw ScreenError("The clipboard's X connection failed.");
  }

  // --- atoms and round trips ---

  // Atoms and their names never change on a connection: each is asked for once. Any thread.
  xcb_atom_t atomOf(const std::string& name) {
    {
      std::lock_guard guard(atomMutex);
      if (auto it = atoms.find(name); it != atoms.end()) return it->second;
    }
    const xcb_atom_t atom = x->atom(name.c_str());
    afterRoundTrip();
    std::lock_guard guard(atomMutex);
    if (atom != XCB_ATOM_NONE) remember(atom, name);
    return atom;
  }

  std::string nameOf(xcb_atom_t atom) {
    {
      std::lock_guard guard(atomMutex);
      if (auto it = atomNames.find(atom); it != atomNames.end()) return it->second;
    }
    std::string name = x->atomName(atom);
    afterRoundTrip();
    std::lock_guard guard(atomMutex);
    if (!name.empty()) remember(atom, name);
    return name;
  }

  void remember(xcb_atom_t atom, const std::string& name) {
    // Other clients name as many targets as they like: the record stays small.
    if (atoms.size() >= maxRememberedAtoms) {
      atoms.clear();
      atomNames.clear();
    }
    atoms[name] = atom;
    atomNames[atom] = name;
  }

  // Waiting for a reply reads the events that came before it into xcb's queue, where the
  // event loop, waiting for the connection to become readable, would not see them until more
  // arrived: the loop is asked to take them now.
  void afterRoundTrip() {
    asio::post(strand, [weak = weak_from_this()] {
      auto self = weak.lock();
      if (self && !self->closed.load() && !self->x->failed()) self->pump();
    });
  }

  // --- owning ---

  bool own(std::vector<ClipboardFlavor> flavors) {
    std::vector<Owned> table;
    for (auto& flavor : flavors) {
      table.push_back(
          Owned{atomOf(flavor.target), flavor.target, std::make_shared<const Bytes>(std::move(flavor.data))});
    }
    // Held until the server has our ownership, so that a notice of losing an earlier one is
    // not taken for losing this one (see lost()).
    std::lock_guard owning(ownMutex);
    {
      std::lock_guard guard(mutex);
      owned = std::move(table);
      isOwner = true;
      // Counted before the server's notice of our own change arrives, which is then skipped:
      // the caller reads the new count as soon as this returns.
      changeCount.fetch_add(1);
    }
    xcb_set_selection_owner(c, window, clipboard, XCB_CURRENT_TIME);
    XReply<xcb_get_selection_owner_reply_t> reply(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard), nullptr));
    afterRoundTrip();
    if (reply && reply->owner == window) return true;
    std::lock_guard guard(mutex);
    isOwner = false;
    owned.clear();
    return false;
  }

  // The server says another client took the clipboard. The notice may be about an ownership
  // of ours that own() has since replaced (it was still queued when own() ran): the server is
  // asked who owns it now, and our table is dropped only when it is not us.
  void lost() {
    std::lock_guard owning(ownMutex);
    XReply<xcb_get_selection_owner_reply_t> reply(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard), nullptr));
    if (reply && reply->owner == window) return;
    std::lock_guard guard(mutex);
    isOwner = false;
    owned.clear();
  }

  std::optional<Owned> ownedFlavor(xcb_atom_t target) {
    std::lock_guard guard(mutex);
    if (!isOwner) return std::nullopt;
    for (const auto& o : owned) {
      if (o.target == target) return o;
    }
    if (target == textAtom) {  // TEXT: any text the owner prefers; ours is UTF-8
      for (const auto& o : owned) {
        if (o.target == utf8Atom) return o;
      }
    }
    return std::nullopt;
  }

  void sendNotify(xcb_window_t requestor, xcb_atom_t target, xcb_atom_t property, xcb_timestamp_t time) {
    xcb_selection_notify_event_t event{};
    event.response_type = XCB_SELECTION_NOTIFY;
    event.time = time;
    event.requestor = requestor;
    event.selection = clipboard;
    event.target = target;
    event.property = property;
    xcb_send_event(c, 0, requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
  }

  void answerRequest(const xcb_selection_request_event_t& request) {
    xcb_atom_t property = request.property == XCB_ATOM_NONE ? request.target : request.property;
    auto refuse = [&] { sendNotify(request.requestor, request.target, XCB_ATOM_NONE, request.time); };
    bool owner;
    std::vector<xcb_atom_t> offered;
    {
      std::lock_guard guard(mutex);
      owner = isOwner;
      for (const auto& o : owned) offered.push_back(o.target);
    }
    if (request.selection != clipboard || !owner) return refuse();
    if (request.target == targetsAtom) {
      std::vector<xcb_atom_t> list{targetsAtom, timestampAtom};
      list.insert(list.end(), offered.begin(), offered.end());
      if (std::find(offered.begin(), offered.end(), utf8Atom) != offered.end()) list.push_back(textAtom);
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM, 32,
                          static_cast<uint32_t>(list.size()), list.data());
    } else if (request.target == timestampAtom) {
      uint32_t stamp = ownedSince;
      xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_INTEGER, 32, 1, &stamp);
    } else if (auto flavor = ownedFlavor(request.target)) {
      xcb_atom_t type = request.target == textAtom ? utf8Atom : request.target;
      if (flavor->data->size() > incrChunk) {
        startTransfer(request.requestor, property, type, flavor->data);
      } else {
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, request.requestor, property, type, 8,
                            static_cast<uint32_t>(flavor->data->size()), flavor->data->data());
      }
    } else {
      return refuse();  // MULTIPLE too: no client of the clipboard needs it
    }
    sendNotify(request.requestor, request.target, property, request.time);
  }

  void startTransfer(xcb_window_t requestor, xcb_atom_t property, xcb_atom_t type, std::shared_ptr<const Bytes> data) {
    // The requestor deleting the property asks for the next step.
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c, requestor, XCB_CW_EVENT_MASK, &mask);
    uint32_t size = static_cast<uint32_t>(std::min<std::size_t>(data->size(), UINT32_MAX));
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, incrAtom, 32, 1, &size);
    std::erase_if(transfers, [&](const Transfer& t) { return t.requestor == requestor && t.property == property; });
    transfers.push_back(Transfer{requestor, property, type, std::move(data), 0, false, clock->continuousNow()});
  }

  void continueTransfer(xcb_window_t requestor, xcb_atom_t property) {
    auto it = std::find_if(transfers.begin(), transfers.end(),
                           [&](const Transfer& t) { return t.requestor == requestor && t.property == property; });
    if (it == transfers.end()) return;
    if (it->finished) {
      endTransfer(it);
      return;
    }
    std::size_t length = std::min(incrChunk, it->data->size() - it->offset);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, requestor, property, it->type, 8, static_cast<uint32_t>(length),
                        it->data->data() + it->offset);
    it->offset += length;
    it->finished = length == 0;  // the empty step ends the transfer
    it->lastStep = clock->continuousNow();
  }

  void endTransfer(std::vector<Transfer>::iterator it) {
    xcb_window_t requestor = it->requestor;
    transfers.erase(it);
    bool more =
        std::any_of(transfers.begin(), transfers.end(), [&](const Transfer& t) { return t.requestor == requestor; });
    if (!more) {
      const uint32_t none = 0;
      xcb_change_window_attributes(c, requestor, XCB_CW_EVENT_MASK, &none);
    }
  }

  void dropStalledTransfers() {
    const auto now = clock->continuousNow();
    for (auto it = transfers.begin(); it != transfers.end();) {
      if (now - it->lastStep > transferTimeout) {
        endTransfer(it);
        it = transfers.begin();
      } else {
        ++it;
      }
    }
  }

  // --- reading ---

  Slot* slotFor(xcb_atom_t property) {
    for (auto& slot : slots) {
      if (slot.property == property) return &slot;
    }
    return nullptr;
  }

  void finish(PendingRead& read, ClipboardRead::Status status) {
    read.result.status = status;
    read.done = true;
    read.signal.try_send(asio::error_code{}, true);
  }

  // Takes the property's value off our window (deleting it, which asks an INCR owner for the
  // next step); `tooLarge` when it holds more than `limit` bytes.
  struct Value {
    xcb_atom_t type = XCB_ATOM_NONE;
    Bytes bytes;
    std::uint64_t fullSize = 0;
    bool tooLarge = false;
  };
  Value takeProperty(xcb_atom_t property, std::size_t limit) {
    Value value;
    const uint32_t units = static_cast<uint32_t>(std::min<std::size_t>(limit / 4 + 2, UINT32_MAX / 4));
    XReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 1, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, units), nullptr));
    if (!reply) return value;
    value.type = reply->type;
    const int length = xcb_get_property_value_length(reply.value);
    const auto* data = static_cast<const uint8_t*>(xcb_get_property_value(reply.value));
    value.bytes.assign(data, data + length);
    value.fullSize = static_cast<std::uint64_t>(length) + reply->bytes_after;
    if (reply->bytes_after > 0) {
      // Not deleted by the read: the rest is not wanted.
      xcb_delete_property(c, window, property);
      value.tooLarge = true;
    } else if (value.bytes.size() > limit) {
      value.tooLarge = true;
    }
    return value;
  }

  void selectionArrived(const xcb_selection_notify_event_t& event) {
    Slot* slot = slotFor(event.property == XCB_ATOM_NONE ? pendingNone(event) : event.property);
    if (!slot || !slot->read || slot->read->done) return;
    PendingRead& read = *slot->read;
    read.progressed = true;
    if (event.property == XCB_ATOM_NONE) return finish(read, ClipboardRead::Status::empty);
    Value value = takeProperty(event.property, read.maxBytes);
    if (value.type == incrAtom) {
      read.incr = true;  // deleting the property (done) starts the steps
      if (value.bytes.size() >= 4) {
        uint32_t announced = 0;
        std::memcpy(&announced, value.bytes.data(), 4);
        if (announced > read.maxBytes) {
          // The steps are taken all the same: an owner left in the middle of a transfer
          // answers nothing else for a while.
          read.result.size = announced;
          read.discarding = true;
        }
      }
      return;
    }
    if (value.type == XCB_ATOM_NONE) return finish(read, ClipboardRead::Status::empty);
    read.result.size = value.fullSize;
    if (value.tooLarge) return finish(read, ClipboardRead::Status::tooLarge);
    read.result.data = std::move(value.bytes);
    finish(read, ClipboardRead::Status::ok);
  }

  // A refusal names no property: it belongs to the oldest read that asked for its target.
  xcb_atom_t pendingNone(const xcb_selection_notify_event_t& event) {
    for (auto& slot : slots) {
      if (slot.read && !slot.read->done && !slot.read->incr && slot.read->progressed == false &&
          requestedTarget[&slot - slots.data()] == event.target) {
        return slot.property;
      }
    }
    return XCB_ATOM_NONE;
  }

  void stepArrived(xcb_atom_t property) {
    Slot* slot = slotFor(property);
    if (!slot) return;
    if (!slot->read || slot->read->done) {
      // Late steps of a finished or abandoned read: keep taking them so the owner can finish.
      xcb_delete_property(c, window, property);
      return;
    }
    PendingRead& read = *slot->read;
    if (!read.incr) return;
    read.progressed = true;
    if (read.discarding) {
      Value value = takeProperty(property, 0);
      read.discarded += value.fullSize;
      read.result.size = std::max(read.result.size, read.discarded);
      if (value.fullSize == 0) finish(read, ClipboardRead::Status::tooLarge);
      return;
    }
    const std::size_t room = read.maxBytes - std::min(read.maxBytes, read.result.data.size());
    Value value = takeProperty(property, room);
    if (value.bytes.empty() && !value.tooLarge) {
      read.result.size = read.result.data.size();
      return finish(read, ClipboardRead::Status::ok);
    }
    if (value.tooLarge) {
      read.discarded = read.result.data.size() + value.fullSize;
      read.result.size = read.discarded;
      read.result.data.clear();
      read.discarding = true;
      return;
    }
    read.result.data.insert(read.result.data.end(), value.bytes.begin(), value.bytes.end());
  }

  asio::awaitable<ClipboardRead> readOnStrand(std::string target, std::size_t maxBytes) {
    auto self = shared_from_this();
    ClipboardRead result;
    if (closed.load() || x->failed()) {
      result.status = ClipboardRead::Status::failed;
      co_return result;
    }
    const xcb_atom_t targetAtom = atomOf(target);
    bool owner;
    {
      std::lock_guard guard(mutex);
      owner = isOwner;
    }
    if (owner) {  // our own content, without asking ourselves through the server
      if (auto flavor = ownedFlavor(targetAtom)) {
        result.size = flavor->data->size();
        if (flavor->data->size() > maxBytes) {
          result.status = ClipboardRead::Status::tooLarge;
        } else {
          result.status = ClipboardRead::Status::ok;
          result.data = *flavor->data;
        }
      } else if (targetAtom == targetsAtom) {
        std::lock_guard guard(mutex);
        std::vector<xcb_atom_t> list{targetsAtom, timestampAtom};
        for (const auto& o : owned) list.push_back(o.target);
        result.data.resize(list.size() * 4);
        std::memcpy(result.data.data(), list.data(), result.data.size());
        result.status = ClipboardRead::Status::ok;
      }
      co_return result;
    }
    const auto now = clock->continuousNow();
    Slot* slot = nullptr;
    for (auto& s : slots) {
      if (!s.read && s.freeAfter <= now) {
        slot = &s;
        break;
      }
    }
    if (!slot) {
      result.status = ClipboardRead::Status::failed;
      co_return result;
    }
    auto read = std::make_shared<PendingRead>(strand);
    read->maxBytes = maxBytes;
    slot->read = read;
    slot->freeAfter = Clock::Duration{0};
    requestedTarget[slot - slots.data()] = targetAtom;
    xcb_delete_property(c, window, slot->property);
    xcb_convert_selection(c, window, clipboard, targetAtom, slot->property, XCB_CURRENT_TIME);
    xcb_flush(c);
    while (!read->done) {
      read->progressed = false;
      try {
        co_await (read->signal.async_receive(asio::use_awaitable) || clock->sleep(answerTimeout));
      } catch (const asio::multiple_exceptions& both) {
        std::rethrow_exception(both.first_exception());
      }
      if (!read->done && !read->progressed) {
        finish(*read, ClipboardRead::Status::timedOut);
      }
    }
    const bool unfinishedSteps = read->incr && read->result.status != ClipboardRead::Status::ok;
    const bool unanswered = read->result.status == ClipboardRead::Status::timedOut;
    slot->read.reset();
    // An owner that may still answer or send steps keeps the slot for a while.
    if (unfinishedSteps || unanswered) slot->freeAfter = clock->continuousNow() + transferTimeout;
    result = std::move(read->result);
    co_return result;
  }

  // --- the event loop ---

  void handle(xcb_generic_event_t* event) {
    const uint8_t type = event->response_type & 0x7F;
    if (type == XCB_SELECTION_REQUEST) {
      answerRequest(*reinterpret_cast<xcb_selection_request_event_t*>(event));
    } else if (type == XCB_SELECTION_CLEAR) {
      const auto* clear = reinterpret_cast<xcb_selection_clear_event_t*>(event);
      if (clear->selection == clipboard) lost();
    } else if (type == XCB_SELECTION_NOTIFY) {
      const auto* notify = reinterpret_cast<xcb_selection_notify_event_t*>(event);
      if (notify->requestor == window) selectionArrived(*notify);
    } else if (type == XCB_PROPERTY_NOTIFY) {
      const auto* property = reinterpret_cast<xcb_property_notify_event_t*>(event);
      if (property->window == window) {
        if (property->state == XCB_PROPERTY_NEW_VALUE) stepArrived(property->atom);
      } else if (property->state == XCB_PROPERTY_DELETE) {
        continueTransfer(property->window, property->atom);
      }
    } else if (type == xfixesEvent + XCB_XFIXES_SELECTION_NOTIFY) {
      const auto* notify = reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(event);
      if (notify->selection != clipboard) return;
      if (notify->subtype == XCB_XFIXES_SELECTION_EVENT_SET_SELECTION_OWNER && notify->owner == window) {
        ownedSince = notify->selection_timestamp;  // our own change, counted by own()
        return;
      }
      changeCount.fetch_add(1);
    }
  }

  // Handles every event that came, on the strand.
  void pump() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
      handle(event);
      free(event);
    }
    dropStalledTransfers();
    xcb_flush(c);
  }

  static asio::awaitable<void> run(std::shared_ptr<Impl> self) {
    asio::posix::stream_descriptor descriptor(self->strand, self->x->fd());
    struct Loan {
      asio::posix::stream_descriptor& d;
      ~Loan() { d.release(); }  // the descriptor stays the connection's
    } loan{descriptor};
    for (;;) {
      self->pump();
      if (self->x->failed() || self->closed.load()) co_return;
      auto readable = descriptor.async_wait(asio::posix::descriptor_base::wait_read, asio::use_awaitable);
      if (self->transfers.empty()) {
        co_await std::move(readable);
      } else {
        try {
          co_await (std::move(readable) || self->clock->sleep(std::chrono::seconds(1)));
        } catch (const asio::multiple_exceptions& both) {
          std::rethrow_exception(both.first_exception());
        }
      }
    }
  }

  std::unique_ptr<XConnection> x;
  xcb_connection_t* c;
  Strand strand;
  std::shared_ptr<Clock> clock;
  xcb_window_t window = XCB_WINDOW_NONE;
  uint8_t xfixesEvent = 0;
  xcb_atom_t clipboard = 0, targetsAtom = 0, timestampAtom = 0, incrAtom = 0, multipleAtom = 0, textAtom = 0,
             utf8Atom = 0;
  std::atomic<std::int64_t> changeCount{0};
  std::atomic<bool> closed{false};
  asio::cancellation_signal stopLoop;

  // Held by own() and lost() through their round trips.
  std::mutex ownMutex;
  // Shared with own() and the readers on other threads.
  std::mutex mutex;
  std::mutex atomMutex;
  std::map<std::string, xcb_atom_t> atoms;
  std::map<xcb_atom_t, std::string> atomNames;
  bool isOwner = false;
  std::vector<Owned> owned;

  // The strand's own.
  uint32_t ownedSince = XCB_CURRENT_TIME;
  std::array<Slot, readSlots> slots;
  std::array<xcb_atom_t, readSlots> requestedTarget{};
  std::vector<Transfer> transfers;
};

std::shared_ptr<X11Clipboard> X11Clipboard::open(const Executor& executor, std::shared_ptr<Clock> clock,
                                                 const std::string& displayName) {
  auto impl = std::make_shared<Impl>(XConnection::open(displayName), makeStrand(executor), std::move(clock));
  impl->setUp();
  asio::co_spawn(impl->strand, Impl::run(impl),
                 asio::bind_cancellation_slot(impl->stopLoop.slot(), [](std::exception_ptr) {}));
  return std::make_shared<X11Clipboard>(std::move(impl));
}

X11Clipboard::X11Clipboard(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

X11Clipboard::~X11Clipboard() { close(); }

std::int64_t X11Clipboard::changeCount() const { return impl_->changeCount.load(); }

bool X11Clipboard::own(std::vector<ClipboardFlavor> flavors) {
  if (impl_->closed.load() || impl_->x->failed()) return false;
  return impl_->own(std::move(flavors));
}

asio::awaitable<ClipboardRead> X11Clipboard::read(std::string target, std::size_t maxBytes) {
  return asio::co_spawn(impl_->strand, impl_->readOnStrand(std::move(target), maxBytes), asio::use_awaitable);
}

asio::awaitable<std::vector<std::string>> X11Clipboard::targets() {
  auto impl = impl_;
  ClipboardRead read = co_await this->read("TARGETS", 64 * 1024);
  std::vector<std::string> names;
  if (read.status != ClipboardRead::Status::ok) co_return names;
  for (std::size_t i = 0; i + 4 <= read.data.size(); i += 4) {
    uint32_t atom = 0;
    std::memcpy(&atom, read.data.data() + i, 4);
    names.push_back(impl->nameOf(atom));
  }
  co_return names;
}

void X11Clipboard::close() {
  if (impl_->closed.exchange(true)) return;
  asio::post(impl_->strand, [impl = impl_] {
    impl->stopLoop.emit(asio::cancellation_type::all);
    std::lock_guard guard(impl->mutex);
    if (impl->isOwner) xcb_set_selection_owner(impl->c, XCB_WINDOW_NONE, impl->clipboard, XCB_CURRENT_TIME);
    impl->isOwner = false;
    impl->owned.clear();
    xcb_flush(impl->c);
  });
}

}  // namespace brindlet::platform
