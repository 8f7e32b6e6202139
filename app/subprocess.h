// Further runs of this program, one per device of a parallel update, each
// with its standard output and error on pipes of their own.
#pragma once

#include <memory>
#include <string>
#include <vector>

class Subprocess {
 public:
  /// Starts this program again with args (argv[1] on); null when it cannot.
  static std::unique_ptr<Subprocess> start(const std::vector<std::string>& args);
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  /// Appends what the run wrote since the last call; false once both of its
  /// streams are closed and read.
  bool collect(std::string* out, std::string* err);
  /// The exit status once the run has ended (128 + the signal that ended it),
  /// -1 while it runs.
  int exitStatus();
  /// Passes a termination request on (SIGTERM); a no-op where the system
  /// delivers it to every run by itself.
  void terminate();

  /// Waits at most timeoutMs until one of the runs has written or closed a
  /// stream.
  static void waitForAny(const std::vector<Subprocess*>& runs, int timeoutMs);

  struct Handles;

 private:
  explicit Subprocess(std::unique_ptr<Handles> handles);
  std::unique_ptr<Handles> handles_;
};
