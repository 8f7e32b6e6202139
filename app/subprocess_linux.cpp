#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "app/subprocess.h"

extern char** environ;

struct Subprocess::Handles {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
  int status = -1;
};

Subprocess::Subprocess(std::unique_ptr<Handles> handles) : handles_(std::move(handles)) {}

Subprocess::~Subprocess() {
  if (handles_->out >= 0) ::close(handles_->out);
  if (handles_->err >= 0) ::close(handles_->err);
  // A run that is still going is waited for: an update is never cut short here.
  if (handles_->pid > 0 && handles_->status < 0) ::waitpid(handles_->pid, nullptr, 0);
}

std::unique_ptr<Subprocess> Subprocess::start(const std::vector<std::string>& args) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return nullptr;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<std::string> words = {"tavrin"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  auto handles = std::make_unique<Handles>();
  // The run stays in this process group: Ctrl-C at the terminal reaches it
  // directly, once.
  const int spawned =
      posix_spawn(&handles->pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) {
    ::close(out[0]);
    ::close(err[0]);
    return nullptr;
  }
  ::fcntl(out[0], F_SETFL, O_NONBLOCK);
  ::fcntl(err[0], F_SETFL, O_NONBLOCK);
  handles->out = out[0];
  handles->err = err[0];
  return std::unique_ptr<Subprocess>(new Subprocess(std::move(handles)));
}

namespace {

// Reads what is waiting; closes fd at the end of the stream.
void drain(int& fd, std::string* into) {
  char buffer[4096];
  while (fd >= 0) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      into->append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    ::close(fd);
    fd = -1;
  }
}

}  // namespace

bool Subprocess::collect(std::string* out, std::string* err) {
  drain(handles_->out, out);
  drain(handles_->err, err);
  return handles_->out >= 0 || handles_->err >= 0;
}

int Subprocess::exitStatus() {
  if (handles_->status >= 0 || handles_->pid <= 0) return handles_->status;
  int status = 0;
  if (::waitpid(handles_->pid, &status, WNOHANG) != handles_->pid) return -1;
  handles_->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return handles_->status;
}

void Subprocess::terminate() {
  if (handles_->pid > 0 && handles_->status < 0) ::kill(handles_->pid, SIGTERM);
}

void Subprocess::waitForAny(const std::vector<Subprocess*>& runs, int timeoutMs) {
  std::vector<pollfd> fds;
  for (Subprocess* run : runs)
    for (int fd : {run->handles_->out, run->handles_->err})
      if (fd >= 0) fds.push_back({fd, POLLIN, 0});
  // With every stream closed, only the ends of the runs are left to wait for.
  if (fds.empty()) {
    ::usleep(static_cast<useconds_t>(timeoutMs) * 1000);
    return;
  }
  ::poll(fds.data(), fds.size(), timeoutMs);
}
