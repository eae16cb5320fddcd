#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char **environ;

namespace nerko::testing_support {
namespace {

std::vector<std::string> child_environment(const EnvChanges &changes) {
  std::map<std::string, std::string> env;
  for (char **entry = environ; *entry; ++entry) {
    std::string text(*entry);
    auto equals = text.find('=');
    if (equals != std::string::npos)
      env[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto &[name, value] : changes) {
    if (value)
      env[name] = *value;
    else
      env.erase(name);
  }
  std::vector<std::string> entries;
  for (const auto &[name, value] : env)
    entries.push_back(name + "=" + value);
  return entries;
}

std::vector<char *> pointers(std::vector<std::string> &texts) {
  std::vector<char *> result;
  for (auto &text : texts)
    result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// Starts the program at `path` with its standard output and error on two pipes.
pid_t spawn(const std::string &path, std::vector<std::string> argv, const EnvChanges &changes, int *out_fd,
            int *err_fd) {
  std::vector<std::string> env = child_environment(changes);
  std::vector<char *> argv_ptrs = pointers(argv);
  std::vector<char *> env_ptrs = pointers(env);
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, STDIN_FILENO);
    execve(path.c_str(), argv_ptrs.data(), env_ptrs.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  *out_fd = out_pipe[0];
  *err_fd = err_pipe[0];
  return pid;
}

void wait_for(pid_t pid, Outcome &outcome) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status))
    outcome.exit_status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    outcome.signal = WTERMSIG(status);
}

}  // namespace

std::string zolvane_path() {
  const char *path = std::getenv("ZOLVANE");
  if (!path || !*path)
    throw std::runtime_error("ZOLVANE is not set");
  return path;
}

Outcome run_to_end(const std::vector<std::string> &argv, const EnvChanges &env,
                   std::chrono::seconds limit) {
  int fds[2];
  pid_t pid = spawn(zolvane_path(), argv, env, &fds[0], &fds[1]);
  Outcome outcome;
  std::string *sinks[2] = {&outcome.out, &outcome.err};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int open_count = 2;
  while (open_count > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                     std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    if (poll(polled, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
      break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buffer[4096];
      ssize_t n = read(fds[i], buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, n);
      } else if (n == 0 || errno != EINTR) {
        close(fds[i]);
        fds[i] = -1;
        --open_count;
      }
    }
  }
  for (int fd : fds)
    if (fd >= 0)
      close(fd);
  wait_for(pid, outcome);
  return outcome;
}

RunningProgram::RunningProgram(const std::vector<std::string> &argv, const EnvChanges &env)
    : RunningProgram(zolvane_path(), argv, env) {}

RunningProgram::RunningProgram(const std::string &program, const std::vector<std::string> &argv,
                               const EnvChanges &env) {
  pid_ = spawn(program, argv, env, &out_fd_, &err_fd_);
}

RunningProgram::~RunningProgram() {
  if (pid_ > 0)
    kill_and_wait();
  if (out_fd_ >= 0)
    close(out_fd_);
  if (err_fd_ >= 0)
    close(err_fd_);
}

std::optional<std::string> RunningProgram::next_out_line(std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    auto newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline + 1);
      pending_.erase(0, newline + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                     std::chrono::steady_clock::now());
    if (left.count() <= 0)
      return std::nullopt;
    // Standard error is drained too, so the child never blocks on it.
    pollfd polled[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(polled, 2, static_cast<int>(left.count())) <= 0)
      continue;
    char buffer[4096];
    if (err_fd_ >= 0 && (polled[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t n = read(err_fd_, buffer, sizeof buffer);
      if (n > 0) {
        err_.append(buffer, n);
      } else {
        close(err_fd_);
        err_fd_ = -1;
      }
    }
    if (polled[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = read(out_fd_, buffer, sizeof buffer);
      if (n <= 0)
        return std::nullopt;
      pending_.append(buffer, n);
    }
  }
}

Outcome RunningProgram::finish(std::chrono::seconds limit) {
  Outcome outcome;
  outcome.out = std::move(pending_);
  pending_.clear();
  outcome.err = err_;
  int *fds[2] = {&out_fd_, &err_fd_};
  std::string *sinks[2] = {&outcome.out, &outcome.err};
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (out_fd_ >= 0 || err_fd_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                     std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid_, SIGKILL);
      break;
    }
    pollfd polled[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (poll(polled, 2, static_cast<int>(left.count())) < 0 && errno != EINTR)
      break;
    for (int i = 0; i < 2; ++i) {
      if (*fds[i] < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR)))
        continue;
      char buffer[4096];
      ssize_t n = read(*fds[i], buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, n);
      } else if (n == 0 || errno != EINTR) {
        close(*fds[i]);
        *fds[i] = -1;
      }
    }
  }
  err_ = outcome.err;
  wait_for(pid_, outcome);
  pid_ = -1;
  return outcome;
}

void RunningProgram::send_signal(int signal) {
  if (pid_ > 0)
    kill(pid_, signal);
}

void RunningProgram::kill_and_wait() {
  kill(pid_, SIGKILL);
  Outcome ignored;
  wait_for(pid_, ignored);
  pid_ = -1;
}

}  // namespace nerko::testing_support
