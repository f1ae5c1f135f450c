#pragma once
// Test helper: other X clients of the clipboard. A GTK 3 program (gtk_clipboard.py beside
// this file) copies and pastes as desktop programs do; SilentOwner takes the clipboard and
// never answers a request.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <xcb/xcb.h>

namespace brindlet::testing {

inline std::string clipboardScript() { return std::string(BRINDLET_TEST_SOURCE_DIR) + "/gtk_clipboard.py"; }

// Runs the GTK program with `arguments` to its end and gives what it printed.
inline std::string runPaste(const std::string& arguments) {
  std::string command = "timeout 20 /usr/bin/python3 " + clipboardScript() + " " + arguments + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {};
  std::string out;
  std::array<char, 4096> buffer;
  while (size_t n = fread(buffer.data(), 1, buffer.size(), pipe)) out.append(buffer.data(), n);
  pclose(pipe);
  return out;
}

// The GTK program holding the clipboard until this object goes.
class GTKCopier {
 public:
  explicit GTKCopier(std::vector<std::string> arguments) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
      std::vector<std::string> all{"/usr/bin/python3", clipboardScript()};
      all.insert(all.end(), arguments.begin(), arguments.end());
      std::vector<char*> argv;
      for (auto& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(fds[1]);
    FILE* out = fdopen(fds[0], "r");
    char line[64] = {};
    const bool ready = fgets(line, sizeof line, out) && std::strncmp(line, "ready", 5) == 0;
    fclose(out);
    if (!ready) throw std::runtime_error("the GTK program did not take the clipboard");
  }
  ~GTKCopier() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  GTKCopier(const GTKCopier&) = delete;
  GTKCopier& operator=(const GTKCopier&) = delete;

 private:
  pid_t pid_ = -1;
};

// Owns CLIPBOARD and never reads its events, so it never answers.
class SilentOwner {
 public:
  SilentOwner() {
    c_ = xcb_connect(nullptr, nullptr);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    window_ = xcb_generate_id(c_);
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, 0, nullptr);
    auto* atom = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, 9, "CLIPBOARD"), nullptr);
    xcb_set_selection_owner(c_, window_, atom->atom, XCB_CURRENT_TIME);
    free(atom);
    free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
  }
  ~SilentOwner() { xcb_disconnect(c_); }
  SilentOwner(const SilentOwner&) = delete;
  SilentOwner& operator=(const SilentOwner&) = delete;

 private:
  xcb_connection_t* c_ = nullptr;
  xcb_window_t window_ = 0;
};

}  // namespace brindlet::testing
