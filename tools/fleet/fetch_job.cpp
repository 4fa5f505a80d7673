#include "fetch_job.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "files.h"
#include "run.h"

namespace {

// The child's first byte says whether the rest is the file or the cause.
constexpr char FETCH_OK = '1';
constexpr char FETCH_FAILED = '0';
// Pipe reads in steps of this size; a package of megabytes takes a few
// hundred polls, each cheap.
constexpr size_t READ_STEP = 64 * 1024;
constexpr char STOPPED_TEXT[] = "the fetch was stopped";

// In the child: the work, its file or cause down the pipe, and the end.
[[noreturn]] void run_child(const fetch_job::work &w, int out, const sigset_t &previous) {
  for (int signo : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(signo, SIG_DFL);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd >= 0) {
    dup2(null_fd, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
  }
  const fetched_file file = w();
  const char head = file.ok ? FETCH_OK : FETCH_FAILED;
  const std::string &body = file.ok ? file.text : file.cause;
  const bool sent = write_all(out, &head, 1) && write_all(out, body.data(), body.size());
  _exit(sent ? 0 : 1);
}

}  // namespace

fetch_job::~fetch_job() { cancel(); }

bool fetch_job::start(const work &w, std::string *cause) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *cause = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  sigset_t previous;
  const pid_t pid = fleet_fork(&previous);
  if (pid == 0) {
    close(fds[0]);
    run_child(w, fds[1], previous);
  }
  const int fork_error = errno;
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    *cause = std::string("cannot start a process: ") + std::strerror(fork_error);
    return false;
  }
  pid_ = pid;
  fd_ = fds[0];
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  received_.clear();
  result_ = {};
  return true;
}

bool fetch_job::take() {
  if (fd_ < 0) return true;
  char step[READ_STEP];
  for (;;) {
    const ssize_t got = read(fd_, step, sizeof step);
    if (got > 0) {
      received_.append(step, static_cast<size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) return false;
    end();
    return true;
  }
}

// The pipe reached its end (or read failed): the child is waited for and
// what it sent becomes the result.
void fetch_job::end() {
  close(fd_);
  fd_ = -1;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  const bool whole = WIFEXITED(status) && WEXITSTATUS(status) == 0 && !received_.empty();
  if (whole) {
    result_.ok = received_[0] == FETCH_OK;
    (result_.ok ? result_.text : result_.cause) = received_.substr(1);
  } else if (WIFSIGNALED(status)) {
    result_.cause = std::string("its download's process was ended by ") + strsignal(WTERMSIG(status));
  } else {
    result_.cause = "its download's process ended with status " +
                    std::to_string(WEXITSTATUS(status)) + " without a result";
  }
  received_.clear();
  received_.shrink_to_fit();
}

void fetch_job::cancel() {
  if (pid_ < 0) return;
  kill(pid_, SIGKILL);
  close(fd_);
  fd_ = -1;
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  received_.clear();
  result_ = {};
  result_.cause = STOPPED_TEXT;
}

fetched_file fetch_in_child(const fetch_job::work &w, int stop_fd) {
  fetch_job job;
  fetched_file failed;
  if (!job.start(w, &failed.cause)) return failed;
  for (;;) {
    pollfd fds[2] = {{job.fd(), POLLIN, 0}, {stop_fd, POLLIN, 0}};
    const int ready = poll(fds, stop_fd >= 0 ? 2 : 1, -1);
    if (ready < 0 && errno != EINTR) {
      job.cancel();
      break;
    }
    if (ready > 0 && fds[0].revents != 0 && job.take()) break;
    if (stop_fd >= 0 && ready > 0 && fds[1].revents != 0) {
      job.cancel();
      break;
    }
  }
  return job.result();
}
