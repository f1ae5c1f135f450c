#pragma once

// A program the tests start and stop themselves: its standard output and error are
// collected (and can be waited on), its standard input can be written, and it is ended by
// its process id, with SIGKILL when SIGTERM is not heeded, at the latest when the object
// goes away.
//
//   ChildProcess host(BRINDLET_HOST_BINARY, {}, {{"HOME", home}});
//   if (!host.waitForOutput("listener advertising on UDP", 30s)) FAIL() << host.output();
//   int status = host.stop();   // the wait status of waitpid

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace brindlet::testing {

class ChildProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;

  // Starts `program` with `arguments`, this process's environment with `environment`
  // put over it, and pipes for its standard input and output (error goes with output).
  ChildProcess(std::string program, std::vector<std::string> arguments, Environment environment);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Everything it wrote so far.
  std::string output() const;
  // True once `text` occurs in the output after `from` (a position in output()); false when
  // `limit` passes or the program ends first.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds limit, std::size_t from = 0) const;
  // How often `text` occurs in the output.
  std::size_t count(const std::string& text) const;
  // Writes to its standard input; closes it with `closeInput()`.
  bool write(const std::string& text);
  void closeInput();

  // Sends `signal` (while it runs).
  void signal(int signal);
  // Waits up to `limit` for the program to end; its wait status, or nothing while it runs.
  std::optional<int> waitForExit(std::chrono::milliseconds limit);
  // SIGTERM, then SIGKILL after `grace`; the wait status.
  int stop(std::chrono::milliseconds grace = std::chrono::seconds(10));

 private:
  void readOutput(int fd);
  bool reap(bool block);

  pid_t pid_ = -1;
  int input_ = -1;
  std::optional<int> status_;
  std::thread reader_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string output_;
  bool outputEnded_ = false;
};

}  // namespace brindlet::testing
