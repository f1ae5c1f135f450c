#include "support/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

extern char** environ;

namespace brindlet::testing {

ChildProcess::ChildProcess(std::string program, std::vector<std::string> arguments, Environment environment) {
  // Everything the child needs is built before fork: after it, only async-signal-safe calls.
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    std::string text(*entry);
    auto equals = text.find('=');
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (auto& [name, value] : environment) variables[name] = value;
  std::vector<std::string> envStrings;
  for (auto& [name, value] : variables) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  arguments.insert(arguments.begin(), program);
  std::vector<char*> argv;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);

  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
  if (pid_ == 0) {
    // A test that dies must not leave its host running.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(126);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  reader_ = std::thread([this, fd = out[0]] { readOutput(fd); });
}

ChildProcess::~ChildProcess() {
  if (!status_) stop();
  closeInput();
  if (reader_.joinable()) reader_.join();
}

void ChildProcess::readOutput(int fd) {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard lock(mutex_);
    output_.append(buffer, static_cast<std::size_t>(n));
    changed_.notify_all();
  }
  close(fd);
  std::lock_guard lock(mutex_);
  outputEnded_ = true;
  changed_.notify_all();
}

std::string ChildProcess::output() const {
  std::lock_guard lock(mutex_);
  return output_;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit, std::size_t from) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    return output_.find(text, std::min(from, output_.size())) != std::string::npos || outputEnded_;
  }) && output_.find(text, std::min(from, output_.size())) != std::string::npos;
}

std::size_t ChildProcess::count(const std::string& text) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (auto at = output_.find(text); at != std::string::npos; at = output_.find(text, at + text.size())) ++n;
  return n;
}

bool ChildProcess::write(const std::string& text) {
  std::size_t done = 0;
  while (input_ >= 0 && done < text.size()) {
    ssize_t n = ::write(input_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return input_ >= 0;
}

void ChildProcess::closeInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

void ChildProcess::signal(int signal) {
  if (!status_) kill(pid_, signal);
}

bool ChildProcess::reap(bool block) {
  if (status_) return true;
  int status = 0;
  pid_t done = waitpid(pid_, &status, block ? 0 : WNOHANG);
  if (done == pid_) status_ = status;
  return status_.has_value();
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!reap(false)) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return status_;
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
  signal(SIGTERM);
  if (!waitForExit(grace)) {
    signal(SIGKILL);
    reap(true);
  }
  return *status_;
}

}  // namespace brindlet::testing
