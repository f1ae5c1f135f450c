#include "platform/accessibility/Accessibility.h"

#include <atspi/atspi.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "platform/desktop/ActiveWindow.h"
#include "platform/log/Log.h"
#include "platform/support/MainLoopQuit.h"
#include "platform/support/WorkerThread.h"

namespace brindlet::platform {

namespace {

const Logger& accessibilityLog() {
  static const Logger logger("io.tavix.nolu.host", "session");
  return logger;
}

// Frees a GError it holds when it leaves scope; true while there is one.
struct Error {
  GError* value = nullptr;
  ~Error() {
    if (value) g_error_free(value);
  }
  GError** out() { return &value; }
  explicit operator bool() const { return value != nullptr; }
};

struct GFreeString {
  gchar* value;
  ~GFreeString() { g_free(value); }
  std::string text() const { return value ? std::string(value) : std::string(); }
};

template <class T>
struct GObjectRef {
  T* value;
  ~GObjectRef() {
    if (value) g_object_unref(value);
  }
  explicit operator bool() const { return value != nullptr; }
};

int childCount(AtspiAccessible* object) {
  Error error;
  gint count = atspi_accessible_get_child_count(object, error.out());
  return error ? 0 : std::max(count, 0);
}

AtspiAccessible* childAt(AtspiAccessible* object, int index) {
  Error error;
  AtspiAccessible* child = atspi_accessible_get_child_at_index(object, index, error.out());
  if (error && child) {
    g_object_unref(child);
    return nullptr;
  }
  return child;
}

AtspiRole roleOf(AtspiAccessible* object) {
  Error error;
  AtspiRole role = atspi_accessible_get_role(object, error.out());
  return error ? ATSPI_ROLE_INVALID : role;
}

std::string nameOf(AtspiAccessible* object, bool* ok = nullptr) {
  Error error;
  GFreeString name{atspi_accessible_get_name(object, error.out())};
  if (ok) *ok = !error;
  return error ? std::string() : name.text();
}

bool hasState(AtspiStateSet* states, AtspiStateType state) { return states && atspi_state_set_contains(states, state); }

bool isMenuRole(AtspiRole role) {
  switch (role) {
    case ATSPI_ROLE_MENU:
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_TEAROFF_MENU_ITEM:
    case ATSPI_ROLE_SEPARATOR:
      return true;
    default:
      return false;
  }
}

// The menu key character of an X keysym name, as a menu item shows its shortcut.
std::string menuKeyCharacter(const std::string& keyName) {
  static const std::map<std::string, char32_t, std::less<>> special = {
      {"Return", 0x0D},  {"KP_Enter", 0x0D},     {"Escape", 0x1B}, {"BackSpace", 0x08}, {"Delete", 0xF728},
      {"Tab", 0x09},     {"ISO_Left_Tab", 0x09}, {"space", 0x20},  {"Up", 0xF700},      {"Down", 0xF701},
      {"Left", 0xF702},  {"Right", 0xF703},      {"Home", 0xF729}, {"End", 0xF72B},     {"Page_Up", 0xF72C},
      {"Prior", 0xF72C}, {"Page_Down", 0xF72D},  {"Next", 0xF72D},
  };
  char32_t code = 0;
  if (auto it = special.find(keyName); it != special.end()) {
    code = it->second;
  } else if (keyName.size() >= 2 && keyName[0] == 'F' && std::all_of(keyName.begin() + 1, keyName.end(), ::isdigit)) {
    int n = std::atoi(keyName.c_str() + 1);
    if (n < 1 || n > 12) return {};
    code = 0xF704 + char32_t(n - 1);
  } else {
    xkb_keysym_t sym = xkb_keysym_from_name(keyName.c_str(), XKB_KEYSYM_NO_FLAGS);
    if (sym == XKB_KEY_NoSymbol) return {};
    code = xkb_keysym_to_utf32(sym);
    if (code < 0x20 || code == 0x7F) return {};
    if (code >= 'a' && code <= 'z') code -= 'a' - 'A';
  }
  char utf8[8] = {};
  int n = 0;
  if (code < 0x80) {
    utf8[n++] = char(code);
  } else if (code < 0x800) {
    utf8[n++] = char(0xC0 | (code >> 6));
    utf8[n++] = char(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    utf8[n++] = char(0xE0 | (code >> 12));
    utf8[n++] = char(0x80 | ((code >> 6) & 0x3F));
    utf8[n++] = char(0x80 | (code & 0x3F));
  } else {
    utf8[n++] = char(0xF0 | (code >> 18));
    utf8[n++] = char(0x80 | ((code >> 12) & 0x3F));
    utf8[n++] = char(0x80 | ((code >> 6) & 0x3F));
    utf8[n++] = char(0x80 | (code & 0x3F));
  }
  return std::string(utf8, std::size_t(n));
}

}  // namespace

// A key binding as toolkits write it ("<Primary><Shift>s", GTK 3's "mnemonic;path;<Control>n"):
// the last part holds the shortcut. Control maps to the control bit, Alt to option, Super to
// the command key; without Super the no-command bit is set.
void parseMenuKeyBinding(std::string_view binding, MenuItemAttributes& into) {
  if (auto semicolon = binding.rfind(';'); semicolon != std::string_view::npos) binding = binding.substr(semicolon + 1);
  int modifiers = 0;
  bool command = false;
  while (!binding.empty() && binding.front() == '<') {
    auto close = binding.find('>');
    if (close == std::string_view::npos) return;
    std::string_view name = binding.substr(1, close - 1);
    binding.remove_prefix(close + 1);
    if (name == "Primary" || name == "Control" || name == "Ctrl" || name == "Ctl") {
      modifiers |= 0x04;
    } else if (name == "Shift") {
      modifiers |= 0x01;
    } else if (name == "Alt" || name == "Mod1") {
      modifiers |= 0x02;
    } else if (name == "Super" || name == "Meta" || name == "Mod4") {
      command = true;
    } else {
      // A name that is no modifier is the key itself, written in brackets ("<Return>").
      binding = name;
      break;
    }
  }
  std::string key = menuKeyCharacter(std::string(binding));
  if (key.empty()) return;
  into.cmdChar = key;
  into.cmdModifiers = modifiers | (command ? 0 : 0x08);
}

struct Accessibility::Thread {
  struct Job {
    std::function<void()> work;
    std::function<void()> done;
  };

  GMainContext* context = g_main_context_new();
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  std::mutex mutex;
  std::condition_variable started;
  bool running = false;
  bool stopped = false;
  bool busConnected = false;  // set once before `running`, read on the layer's thread only
  std::deque<Job> jobs;
  std::map<std::uint64_t, FocusHandler> handlers;
  std::uint64_t nextHandler = 0;
  // On the thread only.
  std::map<std::int32_t, std::shared_ptr<void>> lastFocused;
  std::unique_ptr<XConnection> x;
  bool xTried = false;
  WorkerThread worker;

  ~Thread() {
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  }

  static std::shared_ptr<void> own(AtspiAccessible* object) {
    if (!object) return nullptr;
    return std::shared_ptr<void>(object, [](void* o) { g_object_unref(o); });
  }

  void start() {
    worker = WorkerThread([this](std::stop_token) { run(); }, [this] { quit(); });
    std::unique_lock lock(mutex);
    started.wait(lock, [this] { return running || stopped; });
  }

  void quit() { quitMainLoop(loop, context); }

  void run() {
    g_main_context_push_thread_default(context);
    int failed = atspi_init();
    // Without a connection to the accessibility bus every further call would hand libdbus a
    // null connection, which aborts the process: menus and text focus are then off, and every
    // job ends without running.
    const bool connected = atspi_get_a11y_bus() != nullptr;
    AtspiEventListener* listener = nullptr;
    if (!connected) {
      accessibilityLog().error("accessibility bus unavailable (AT-SPI init %d): menus and text focus are off", failed);
    } else {
      // After the bus connection exists: it is moved onto this thread's context with it.
      atspi_set_main_context(context);
      if (failed > 1) accessibilityLog().error("accessibility bus unavailable (AT-SPI init %d)", failed);
      // Every call, including those to apps that have just started, waits this long at most.
      atspi_set_timeout(int(messagingTimeout.count()), int(messagingTimeout.count()));
      listener = atspi_event_listener_new(&Thread::onEvent, this, nullptr);
      for (const char* type : {"object:state-changed:focused", "focus:"}) {
        Error error;
        if (!atspi_event_listener_register(listener, type, error.out())) {
          accessibilityLog().error("focus events unavailable: %s", error ? error.value->message : "");
        }
      }
    }
    {
      std::lock_guard lock(mutex);
      running = true;
      busConnected = connected;
    }
    started.notify_all();
    g_main_loop_run(loop);

    std::deque<Job> left;
    {
      std::lock_guard lock(mutex);
      running = false;
      stopped = true;
      left.swap(jobs);
    }
    for (Job& job : left) {
      job.work = nullptr;
      job.done();
    }
    if (listener) {
      atspi_event_listener_deregister(listener, "object:state-changed:focused", nullptr);
      atspi_event_listener_deregister(listener, "focus:", nullptr);
      g_object_unref(listener);
    }
    lastFocused.clear();
    x.reset();
    while (g_main_context_iteration(context, FALSE)) {
    }
    g_main_context_pop_thread_default(context);
  }

  void enqueue(Job job) {
    {
      std::lock_guard lock(mutex);
      if (!stopped) {
        jobs.push_back(std::move(job));
        GSource* source = g_idle_source_new();
        g_source_set_callback(source, &Thread::drain, this, nullptr);
        g_source_attach(source, context);
        g_source_unref(source);
        return;
      }
    }
    job.done();
  }

  static gboolean drain(gpointer data) {
    auto* self = static_cast<Thread*>(data);
    for (;;) {
      Job job;
      {
        std::lock_guard lock(self->mutex);
        if (self->jobs.empty()) break;
        job = std::move(self->jobs.front());
        self->jobs.pop_front();
      }
      // What the job holds goes here, before its caller resumes and may drop the last
      // reference to anything the job shares with it.
      auto work = std::exchange(job.work, nullptr);
      if (self->busConnected) work();
      work = nullptr;
      job.done();
    }
    return G_SOURCE_REMOVE;
  }

  static void onEvent(AtspiEvent* event, void* data) {
    // Each listener is handed its own copy of the event, to free.
    std::unique_ptr<AtspiEvent, void (*)(AtspiEvent*)> owned(event,
                                                             [](AtspiEvent* e) { g_boxed_free(ATSPI_TYPE_EVENT, e); });
    auto* self = static_cast<Thread*>(data);
    if (!event->source) return;
    bool gained = std::string_view(event->type).starts_with("focus:") || event->detail1 != 0;
    if (!gained) return;
    Error error;
    auto pid = std::int32_t(atspi_accessible_get_process_id(event->source, error.out()));
    if (error || pid <= 0) return;
    // One element per app; apps come and go, so the record is forgotten now and then.
    if (self->lastFocused.size() >= 64 && !self->lastFocused.count(pid)) self->lastFocused.clear();
    self->lastFocused[pid] = own(static_cast<AtspiAccessible*>(g_object_ref(event->source)));
    std::vector<FocusHandler> called;
    {
      std::lock_guard lock(self->mutex);
      for (auto& [id, handler] : self->handlers) called.push_back(handler);
    }
    for (auto& handler : called) handler(pid);
  }

  XConnection* xConnection() {
    if (!xTried) {
      xTried = true;
      try {
        x = XConnection::open();
      } catch (const std::exception&) {
        x.reset();
      }
    }
    return x.get();
  }
};

std::shared_ptr<Accessibility> Accessibility::shared() {
  static std::mutex mutex;
  static std::weak_ptr<Accessibility> instance;
  std::lock_guard lock(mutex);
  if (auto existing = instance.lock()) return existing;
  std::shared_ptr<Accessibility> made(new Accessibility());
  instance = made;
  return made;
}

Accessibility::Accessibility() : thread_(std::make_unique<Thread>()) { thread_->start(); }

Accessibility::~Accessibility() { thread_->worker.stop(); }

void Accessibility::enqueue(std::function<void()> job, std::function<void()> done) {
  thread_->enqueue(Thread::Job{std::move(job), std::move(done)});
}

std::uint64_t Accessibility::addFocusHandler(FocusHandler handler) {
  std::lock_guard lock(thread_->mutex);
  std::uint64_t id = ++thread_->nextHandler;
  thread_->handlers.emplace(id, std::move(handler));
  return id;
}

void Accessibility::removeFocusHandler(std::uint64_t id) {
  std::lock_guard lock(thread_->mutex);
  thread_->handlers.erase(id);
}

AccessibleElement Accessibility::application(std::int32_t pid) {
  AccessibleElement found;
  GObjectRef<AtspiAccessible> desktop{atspi_get_desktop(0)};
  if (!desktop) return found;
  int count = childCount(desktop.value);
  for (int i = 0; i < count; ++i) {
    AtspiAccessible* app = childAt(desktop.value, i);
    if (!app) continue;
    Error error;
    auto appPID = std::int32_t(atspi_accessible_get_process_id(app, error.out()));
    if (!error && appPID == pid) {
      found.object_ = Thread::own(app);
      return found;
    }
    g_object_unref(app);
  }
  return found;
}

AccessibleElement Accessibility::menuBar(const AccessibleElement& application) {
  AccessibleElement found;
  if (!application) return found;
  // The windows, the active one first; then a breadth-first search a few levels deep.
  std::vector<std::shared_ptr<void>> windows;
  AtspiAccessible* app = static_cast<AtspiAccessible*>(application.object_.get());
  int count = childCount(app);
  for (int i = 0; i < count; ++i) {
    auto window = Thread::own(childAt(app, i));
    if (!window) continue;
    GObjectRef<AtspiStateSet> states{atspi_accessible_get_state_set(static_cast<AtspiAccessible*>(window.get()))};
    if (hasState(states.value, ATSPI_STATE_ACTIVE)) {
      windows.insert(windows.begin(), window);
    } else {
      windows.push_back(window);
    }
  }
  constexpr int maxDepth = 4, maxVisited = 400;
  int visited = 0;
  for (const auto& window : windows) {
    std::vector<std::shared_ptr<void>> level{window};
    for (int depth = 0; depth < maxDepth && !level.empty(); ++depth) {
      std::vector<std::shared_ptr<void>> next;
      for (const auto& object : level) {
        auto* o = static_cast<AtspiAccessible*>(object.get());
        if (roleOf(o) == ATSPI_ROLE_MENU_BAR) {
          found.object_ = object;
          return found;
        }
        if (++visited > maxVisited) return found;
        int n = childCount(o);
        for (int i = 0; i < n && i < 64; ++i) {
          if (auto child = Thread::own(childAt(o, i))) next.push_back(std::move(child));
        }
      }
      level = std::move(next);
    }
  }
  return found;
}

std::vector<AccessibleElement> Accessibility::menuItems(const AccessibleElement& element) {
  std::vector<AccessibleElement> items;
  if (!element) return items;
  AtspiAccessible* object = static_cast<AtspiAccessible*>(element.object_.get());
  AtspiRole role = roleOf(object);
  int count = childCount(object);
  if (role == ATSPI_ROLE_MENU_BAR || role == ATSPI_ROLE_MENU) {
    for (int i = 0; i < count; ++i) {
      AccessibleElement child;
      child.object_ = Thread::own(childAt(object, i));
      if (child && isMenuRole(roleOf(static_cast<AtspiAccessible*>(child.object_.get())))) items.push_back(child);
    }
    return items;
  }
  // An item whose submenu is a child element of its own.
  for (int i = 0; i < count; ++i) {
    AccessibleElement child;
    child.object_ = Thread::own(childAt(object, i));
    if (child && roleOf(static_cast<AtspiAccessible*>(child.object_.get())) == ATSPI_ROLE_MENU) {
      return menuItems(child);
    }
  }
  return items;
}

MenuItemAttributes Accessibility::menuItemAttributes(const AccessibleElement& element) {
  MenuItemAttributes attributes;
  if (!element) return attributes;
  AtspiAccessible* object = static_cast<AtspiAccessible*>(element.object_.get());
  attributes.title = nameOf(object);
  GObjectRef<AtspiStateSet> states{atspi_accessible_get_state_set(object)};
  if (states) {
    attributes.enabled = hasState(states.value, ATSPI_STATE_ENABLED) || hasState(states.value, ATSPI_STATE_SENSITIVE);
    if (hasState(states.value, ATSPI_STATE_INDETERMINATE)) {
      attributes.markChar = "-";
    } else if (hasState(states.value, ATSPI_STATE_CHECKED)) {
      attributes.markChar = "\u2713";
    }
  }
  GObjectRef<AtspiAction> action{atspi_accessible_get_action_iface(object)};
  if (action) {
    Error error;
    gint n = atspi_action_get_n_actions(action.value, error.out());
    if (!error && n > 0) {
      Error bindingError;
      GFreeString binding{atspi_action_get_key_binding(action.value, 0, bindingError.out())};
      if (!bindingError && binding.value) parseMenuKeyBinding(binding.value, attributes);
    }
  }
  return attributes;
}

std::optional<std::string> Accessibility::title(const AccessibleElement& element) {
  if (!element) return std::nullopt;
  bool ok = false;
  std::string name = nameOf(static_cast<AtspiAccessible*>(element.object_.get()), &ok);
  if (!ok) return std::nullopt;
  return name;
}

int Accessibility::press(const AccessibleElement& element) {
  if (!element) return -1;
  GObjectRef<AtspiAction> action{
      atspi_accessible_get_action_iface(static_cast<AtspiAccessible*>(element.object_.get()))};
  if (!action) return -1;
  Error error;
  gboolean done = atspi_action_do_action(action.value, 0, error.out());
  if (error) return error.value->code != 0 ? error.value->code : -1;
  return done ? 0 : -1;
}

namespace {

// The window an element lies in: its ancestor whose parent is the app.
AtspiAccessible* topLevelOf(AtspiAccessible* object) {
  AtspiAccessible* current = static_cast<AtspiAccessible*>(g_object_ref(object));
  for (int depth = 0; depth < 64; ++depth) {
    Error error;
    AtspiAccessible* parent = atspi_accessible_get_parent(current, error.out());
    if (error || !parent) {
      if (parent) g_object_unref(parent);
      break;
    }
    if (roleOf(parent) == ATSPI_ROLE_APPLICATION) {
      g_object_unref(parent);
      return current;
    }
    g_object_unref(current);
    current = parent;
  }
  g_object_unref(current);
  return nullptr;
}

// GTK 4 reports positions from its window's corner even when asked for screen positions.
bool reportsWindowPositions(AtspiAccessible* object) {
  // The toolkit is a property of the app's own element.
  Error appError, nameError, versionError;
  GObjectRef<AtspiAccessible> app{atspi_accessible_get_application(object, appError.out())};
  if (!app) return false;
  GFreeString name{atspi_accessible_get_toolkit_name(app.value, nameError.out())};
  GFreeString version{atspi_accessible_get_toolkit_version(app.value, versionError.out())};
  std::string toolkit = name.text(), release = version.text();
  std::transform(toolkit.begin(), toolkit.end(), toolkit.begin(), ::tolower);
  return toolkit == "gtk" && release.starts_with("4.");
}

std::optional<std::string> roleName(AtspiAccessible* object, AtspiRole role, AtspiStateSet* states,
                                    std::optional<std::string>& subrole, bool gtk4) {
  bool multiLine = hasState(states, ATSPI_STATE_MULTI_LINE);
  switch (role) {
    case ATSPI_ROLE_PASSWORD_TEXT:
      subrole = "AXSecureTextField";
      return "AXTextField";
    case ATSPI_ROLE_ENTRY: {
      // GTK 4 gives the entry role to its search fields only; pages mark theirs.
      bool search = gtk4;
      Error error;
      if (GHashTable* attributes = atspi_accessible_get_attributes(object, error.out())) {
        if (auto* roles = static_cast<const char*>(g_hash_table_lookup(attributes, "xml-roles"))) {
          if (std::strstr(roles, "searchbox")) search = true;
        }
        g_hash_table_unref(attributes);
      }
      if (search) subrole = "AXSearchField";
      return multiLine ? "AXTextArea" : "AXTextField";
    }
    case ATSPI_ROLE_TEXT:
      return multiLine ? "AXTextArea" : "AXTextField";
    case ATSPI_ROLE_COMBO_BOX:
      return "AXComboBox";
    default: {
      GFreeString name{atspi_role_get_name(role)};
      if (!name.value) return std::nullopt;
      return name.text();
    }
  }
}

}  // namespace

std::optional<FocusedElement> Accessibility::focusedElement(std::int32_t pid) {
  std::shared_ptr<void> element;
  if (auto it = thread_->lastFocused.find(pid); it != thread_->lastFocused.end()) {
    GObjectRef<AtspiStateSet> states{atspi_accessible_get_state_set(static_cast<AtspiAccessible*>(it->second.get()))};
    if (hasState(states.value, ATSPI_STATE_FOCUSED)) element = it->second;
  }
  if (!element) {
    // No notice named it: search the app's active window, breadth first, a bounded number of
    // elements.
    AccessibleElement app = application(pid);
    if (!app) return std::nullopt;
    std::deque<std::shared_ptr<void>> queue;
    auto* a = static_cast<AtspiAccessible*>(app.object_.get());
    for (int i = 0, n = childCount(a); i < n; ++i) {
      auto window = Thread::own(childAt(a, i));
      if (!window) continue;
      GObjectRef<AtspiStateSet> states{atspi_accessible_get_state_set(static_cast<AtspiAccessible*>(window.get()))};
      if (hasState(states.value, ATSPI_STATE_ACTIVE)) queue.push_back(window);
    }
    for (int visited = 0; !queue.empty() && visited < 500; ++visited) {
      auto object = queue.front();
      queue.pop_front();
      auto* o = static_cast<AtspiAccessible*>(object.get());
      GObjectRef<AtspiStateSet> states{atspi_accessible_get_state_set(o)};
      if (hasState(states.value, ATSPI_STATE_FOCUSED)) {
        element = object;
        break;
      }
      for (int i = 0, n = std::min(childCount(o), 64); i < n; ++i) {
        if (auto child = Thread::own(childAt(o, i))) queue.push_back(std::move(child));
      }
    }
    if (!element) return std::nullopt;
  }

  auto* object = static_cast<AtspiAccessible*>(element.get());
  FocusedElement focused;
  GObjectRef<AtspiStateSet> states{atspi_accessible_get_state_set(object)};
  bool gtk4 = reportsWindowPositions(object);
  focused.role = roleName(object, roleOf(object), states.value, focused.subrole, gtk4);
  GObjectRef<AtspiText> text{atspi_accessible_get_text_iface(object)};
  GObjectRef<AtspiEditableText> editable{atspi_accessible_get_editable_text_iface(object)};
  if (text && editable && hasState(states.value, ATSPI_STATE_EDITABLE)) {
    Error error;
    atspi_text_get_n_selections(text.value, error.out());
    focused.editable = !error;
  }
  GObjectRef<AtspiComponent> component{atspi_accessible_get_component_iface(object)};
  if (component) {
    Error error;
    AtspiRect* extents = atspi_component_get_extents(component.value, ATSPI_COORD_TYPE_SCREEN, error.out());
    if (!error && extents) {
      Rect frame{double(extents->x), double(extents->y), double(extents->width), double(extents->height)};
      bool placed = true;
      if (gtk4) {
        placed = false;
        if (AtspiAccessible* window = topLevelOf(object)) {
          std::string windowTitle = nameOf(window);
          g_object_unref(window);
          if (XConnection* x = thread_->xConnection()) {
            if (auto origin = topLevelWindowOrigin(*x, pid, windowTitle)) {
              frame.x += origin->first;
              frame.y += origin->second;
              placed = true;
            }
          }
        }
      }
      if (placed) focused.frame = frame;
    }
    if (extents) g_free(extents);
  }
  return focused;
}

}  // namespace brindlet::platform
