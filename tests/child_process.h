// Test helper: runs the real tavrin binary as a child process, with its
// standard output and error on one pipe the test reads.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

class ChildProcess {
 public:
  /// Starts TAVRIN_BINARY with args. With outputFd >= 0 both streams go there
  /// instead of to the pipe; with discardErrors standard error goes to the
  /// null device. Signal dispositions are reset to their defaults.
  explicit ChildProcess(const std::vector<std::string>& args, int outputFd = -1,
                        bool discardErrors = false) {
    int pipeFds[2] = {-1, -1};
    if (outputFd < 0) {
      if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
      outputFd = pipeFds[1];
      readFd_ = pipeFds[0];
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    if (discardErrors)
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    else
      posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigdefault(&attributes, &all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    // A process group of its own, as a shell gives a command: a signal to the
    // group reaches it and its runs, not the test.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    std::vector<std::string> words = {TAVRIN_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, TAVRIN_BINARY, &actions, &attributes, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (pipeFds[1] >= 0) ::close(pipeFds[1]);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (readFd_ >= 0) ::close(readFd_);
  }

  bool started() const { return pid_ > 0; }
  void signal(int number) { ::kill(pid_, number); }
  /// Signals its whole process group, as Ctrl-C at a terminal does.
  void signalGroup(int number) { ::kill(-pid_, number); }

  /// Reads until text has appeared or seconds have passed; true when it has.
  bool readUntil(const std::string& text, int seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (output_.find(text) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  /// Reads to the end of the output and waits for the child (at most
  /// `seconds`); returns its wait status, or -1 when it did not end.
  int finish(int seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (readFd_ >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) break;
    }
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        waited_ = true;
        return status;
      }
      if (std::chrono::steady_clock::now() >= end) return -1;
      ::usleep(10000);
    }
  }

  const std::string& output() const { return output_; }

 private:
  // False at the end of the output or when nothing came in time.
  bool readSome(int timeoutMs) {
    if (readFd_ < 0) return false;
    pollfd p{readFd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(readFd_, buffer, sizeof buffer);
    if (n <= 0) {
      ::close(readFd_);
      readFd_ = -1;
      return false;
    }
    output_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int readFd_ = -1;
  bool waited_ = false;
  std::string output_;
};
