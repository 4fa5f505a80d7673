#pragma once
// A download in a process of its own. trelk-fleet's parent forks the hubs'
// processes, so it must never have a thread but its own: libcurl and trelk's
// own client may leave a resolver thread behind (a lookup given up, an idle
// pool), and a fork from a process with another thread may copy a lock that
// thread held. Every fetch of the firmware documents and packages therefore
// runs in a child forked from the single-threaded parent, which sends back
// the bytes over a pipe and ends. A station polls the pipe with its other
// descriptors, so a slow server stalls no hub, no port watch and no Ctrl-C.
//
// Parent process only. The child runs the work on its only thread with
// SIGINT, SIGTERM and SIGHUP at their defaults (a signal ends it).

#include <sys/types.h>

#include <functional>
#include <string>

#include "source.h"

class fetch_job {
 public:
  using work = std::function<fetched_file()>;

  fetch_job() = default;
  // Ends a child still running (SIGKILL) and waits for it.
  ~fetch_job();
  fetch_job(const fetch_job &) = delete;
  fetch_job &operator=(const fetch_job &) = delete;

  // Forks the child that runs `w`. True; false with *cause set when no pipe
  // or process could be had.
  bool start(const work &w, std::string *cause);
  // The descriptor to poll for what the child sends (-1 when none runs).
  int fd() const { return fd_; }
  // Reads what the child sent once fd() polled readable. True when the job
  // has ended (the child was waited for): result() is then its file, or why
  // not (a child that ended without one is a failure naming how it ended).
  bool take();
  const fetched_file &result() const { return result_; }
  // Ends a running child (SIGKILL) and waits for it; the result then says
  // the fetch was stopped.
  void cancel();

 private:
  void end();

  pid_t pid_ = -1;
  int fd_ = -1;
  std::string received_;
  fetched_file result_;
};

// Runs `w` in a child and waits for its end. A readable `stop_fd` (-1: none;
// it is not read) ends the child early, and the result says it was stopped.
fetched_file fetch_in_child(const fetch_job::work &w, int stop_fd);
