// Runs the built zolvane (path in env ZOLVANE) as a child process with its
// own environment and collects what it writes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace nerko::testing_support {

// Variables to set (a value) or to remove (nullopt) for the child.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

struct Outcome {
  std::string out;
  std::string err;
  int exit_status = -1;  // -1 when the child did not exit normally
  int signal = 0;
};

// The path of the program under test.
std::string zolvane_path();

// Runs the program with `argv` (argv[0] included; may be empty) to its end.
// A child still running after `limit` is killed and the outcome says so
// (exit_status -1, signal SIGKILL): a safety net, not a timing check.
Outcome run_to_end(const std::vector<std::string> &argv, const EnvChanges &env = {},
                   std::chrono::seconds limit = std::chrono::seconds(120));

// A child that keeps running while the test reads its output line by line.
class RunningProgram {
 public:
  RunningProgram(const std::vector<std::string> &argv, const EnvChanges &env = {});
  // Another program than the one under test, for example a receiver beside it.
  RunningProgram(const std::string &program, const std::vector<std::string> &argv, const EnvChanges &env = {});
  ~RunningProgram();  // kills the child if it still runs
  RunningProgram(const RunningProgram &) = delete;
  RunningProgram &operator=(const RunningProgram &) = delete;

  // The next complete line (with its line feed) on standard output, or
  // nullopt when the output ended or nothing came within `limit`.
  std::optional<std::string> next_out_line(std::chrono::seconds limit = std::chrono::seconds(60));
  // What the child wrote on standard error so far.
  const std::string &err() const { return err_; }
  // Ends the child with SIGKILL and waits for it.
  void kill_and_wait();
  // Sends `signal` to the child, which ends (or not) in its own way; finish() collects it.
  void send_signal(int signal);
  // Reads both outputs until the child closes them (killing it once `limit`
  // has passed: a safety net), waits for it and returns its exit status with
  // the standard output not yet read by next_out_line and all of standard error.
  Outcome finish(std::chrono::seconds limit = std::chrono::seconds(120));

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string pending_;
  std::string err_;
};

}  // namespace nerko::testing_support
