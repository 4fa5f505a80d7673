#include "process.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

extern char **environ;

std::string trelk_binary() { return TRELK_BIN; }

ProcessResult run_process(const std::vector<std::string> &argv, const ProcessOptions &opts) {
  ProcessResult result;
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0)
    return result;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    setpgid(0, 0);
    for (int signo = 1; signo < NSIG; ++signo) signal(signo, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const auto &e : opts.env) putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (opts.started) opts.started(pid);
  signal(SIGPIPE, SIG_IGN);
  int in_fd = in_pipe[1];
  size_t in_off = 0;
  if (opts.stdin_text.empty() && opts.close_stdin) {
    close(in_fd);
    in_fd = -1;
  } else if (in_fd >= 0) {
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  int fds[2] = {out_pipe[0], err_pipe[0]};
  std::string *sinks[2] = {&result.out, &result.err};
  const auto deadline = start + opts.timeout;
  bool interrupted = false;
  while (fds[0] >= 0 || fds[1] >= 0) {
    auto now = std::chrono::steady_clock::now();
    if (opts.interrupt_after.count() > 0 && !interrupted && now >= start + opts.interrupt_after) {
      interrupted = true;
      kill(-pid, SIGINT);
    }
    if (now >= deadline) {
      result.timed_out = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      break;
    }
    struct pollfd pfd[3];
    int n = 0;
    int map[3];
    for (int i = 0; i < 2; ++i)
      if (fds[i] >= 0) {
        pfd[n] = {fds[i], POLLIN, 0};
        map[n++] = i;
      }
    if (in_fd >= 0 && in_off < opts.stdin_text.size()) {
      pfd[n] = {in_fd, POLLOUT, 0};
      map[n++] = 2;
    }
    int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
    if (poll(pfd, n, ms > 100 ? 100 : ms) < 0 && errno != EINTR) break;
    for (int k = 0; k < n; ++k) {
      if (!pfd[k].revents) continue;
      if (map[k] == 2) {
        ssize_t w = write(in_fd, opts.stdin_text.data() + in_off, opts.stdin_text.size() - in_off);
        if (w > 0) in_off += static_cast<size_t>(w);
        if (w < 0 || in_off >= opts.stdin_text.size()) {
          if (opts.close_stdin) {
            close(in_fd);
            in_fd = -1;
          }
        }
        continue;
      }
      char buf[4096];
      ssize_t r = read(fds[map[k]], buf, sizeof buf);
      if (r > 0) {
        sinks[map[k]]->append(buf, static_cast<size_t>(r));
      } else {
        close(fds[map[k]]);
        fds[map[k]] = -1;
      }
    }
  }
  for (int fd : fds)
    if (fd >= 0) close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  if (in_fd >= 0) close(in_fd);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  return result;
}

background_process::background_process(std::vector<std::string> argv, ProcessOptions opts)
    : pid_(started_.get_future().share()) {
  auto on_start = std::move(opts.started);
  opts.started = [this, on_start](pid_t pid) {
    started_.set_value(pid);
    if (on_start) on_start(pid);
  };
  thread_ = std::thread([this, argv = std::move(argv), opts = std::move(opts)] {
    result_ = run_process(argv, opts);
    // A child that could not even be forked still releases pid().
    if (result_.exit_status == -1 && result_.term_signal == 0) {
      try {
        started_.set_value(-1);
      } catch (const std::future_error &) {
      }
    }
  });
}

background_process::~background_process() {
  if (thread_.joinable()) thread_.join();
}

pid_t background_process::pid() { return pid_.get(); }

ProcessResult background_process::wait() {
  if (thread_.joinable()) thread_.join();
  return result_;
}

int run_in_child(const std::function<void()> &body, std::string *out) {
  char path[] = "/tmp/trelk-child-outXXXXXX";
  const int fd = mkstemp(path);
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fd, 1);
    body();
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  out->clear();
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
  close(fd);
  unlink(path);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
