#pragma once
// Looking at a serial port from outside trelk, for tests: holding it the way
// another cooperating program would, and reading its settings to see that
// trelk left it as it found it. No other test support is needed, so the
// sanitizer builds of the serial tests can take it alone.

#include <sys/types.h>
#include <termios.h>

#include <string>

// Another program's hold on a port, the way cooperating programs take one:
// an open of its own with flock(LOCK_EX). Released by the destructor.
class port_holder {
 public:
  explicit port_holder(const std::string &path);
  ~port_holder() { release(); }
  port_holder(const port_holder &) = delete;
  port_holder &operator=(const port_holder &) = delete;
  bool held() const { return fd_ >= 0; }
  void release();

 private:
  int fd_ = -1;
};

// A terminal's settings and its exclusive flag (TIOCEXCL), read through an
// open of its own (root passes the flag); `readable` false when that failed.
// Equal when every setting and the flag are.
struct terminal_state {
  bool readable = false;
  struct termios tty{};
  int exclusive = -1;
  bool operator==(const terminal_state &other) const;
};
terminal_state terminal_state_of(const std::string &path);

// A port that never answers, standing for a device that is not the hub: a
// pseudo-terminal of the test's own whose master keeps whatever was written
// to its port. Its port hangs up when the object goes.
class silent_port {
 public:
  silent_port();
  ~silent_port();
  silent_port(const silent_port &) = delete;
  silent_port &operator=(const silent_port &) = delete;
  // The port ("/dev/pts/N") and its device number; empty and 0 when no
  // pseudo-terminal could be made.
  const std::string &path() const { return path_; }
  dev_t rdev() const { return rdev_; }
  // Every byte written to the port since the last call.
  std::string received();

 private:
  int master_ = -1;
  std::string path_;
  dev_t rdev_ = 0;
};
