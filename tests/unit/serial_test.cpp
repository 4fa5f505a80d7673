// The serial link over real pseudo-terminals: line assembly, writing, the
// sleeping wait, hot-plug handling, a port that hangs up and returns, ports
// that are held or unusable, the port left as it was found (also on an
// interrupt), port discovery, and the reader's idle cost.

#include "serial.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <string>
#include <csignal>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "port_probe.h"
#include "functions.h"
#include "timer.h"

namespace {

using namespace std::chrono_literals;

// The master side of a pseudo-terminal; the link opens the slave path.
struct pty {
  int master = -1;
  std::string slave;

  pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
      return;
    }
    slave = ptsname(master);
  }
  ~pty() { close_master(); }
  pty(const pty &) = delete;
  pty &operator=(const pty &) = delete;

  void close_master() {
    if (master >= 0) close(master);
    master = -1;
  }

  void write_all(const std::string &bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        ASSERT_TRUE(n < 0 && errno == EAGAIN) << std::strerror(errno);
        struct pollfd p = {master, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  }

  // Everything the link writes, up to `want` bytes or until `quiet` passes
  // with nothing new.
  std::string read_some(size_t want, std::chrono::milliseconds quiet = 300ms) const {
    std::string got;
    char buf[4096];
    while (got.size() < want) {
      struct pollfd p = {master, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
      const ssize_t n = ::read(master, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }
};

// A link record on the heap, freed at the end of the test whatever happens.
struct link_guard {
  std::unique_ptr<serial> s = std::make_unique<serial>();
  ~link_guard() { serial_free(s.get()); }
  serial *operator->() { return s.get(); }
  serial *get() { return s.get(); }
};

// The consumer's loop as the hub engine writes it: pop; if nothing, sleep in
// serial_wait until a line comes or the time is up.
std::optional<std::string> next_line(serial *s, int64_t timeout_ms = 3000) {
  const int64_t start = get_absolute_time();
  char buf[256];
  for (;;) {
    if (serial_rx_pop(s, buf, sizeof buf)) return std::string(buf);
    const int64_t left = start + timeout_ms - get_absolute_time();
    if (left <= 0) return std::nullopt;
    serial_wait(s, left);
  }
}

// Waits until serial_available reports `want`, sleeping in serial_wait.
bool wait_available(serial *s, int want, int64_t timeout_ms = 3000) {
  const int64_t start = get_absolute_time();
  while (serial_available(s) != want) {
    const int64_t left = start + timeout_ms - get_absolute_time();
    if (left <= 0) return false;
    serial_wait(s, left);
  }
  return true;
}

class SerialPty : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(p.slave.empty());
    ASSERT_EQ(serial_init(link.get(), p.slave.c_str()), 1);
    ASSERT_EQ(link->ready, 1);
    ASSERT_EQ(serial_available(link.get()), 1);
  }
  // Sends bytes and returns the delivered lines, `count` of them.
  std::vector<std::string> lines_for(const std::string &bytes, size_t count) {
    p.write_all(bytes);
    std::vector<std::string> out;
    while (out.size() < count) {
      auto line = next_line(link.get());
      if (!line) break;
      out.push_back(*line);
    }
    return out;
  }
  pty p;
  link_guard link;
};

using Lines = std::vector<std::string>;

TEST_F(SerialPty, LineEndsAndSplitReads) {
  EXPECT_EQ(lines_for("ok\r\n", 1), Lines{"ok"});
  p.write_all("abc");
  std::this_thread::sleep_for(50ms);  // let "abc" arrive in a read of its own
  EXPECT_EQ(lines_for("def\n", 1), Lines{"abcdef"});
  // Two lines in one read come out one per call; then nothing, and the
  // destination is left alone.
  EXPECT_EQ(lines_for("first\r\nsecond\r\n", 2), (Lines{"first", "second"}));
  char dest[8];
  std::memset(dest, 'Z', sizeof dest);
  EXPECT_EQ(serial_rx_pop(link.get(), dest, sizeof dest), 0);
  EXPECT_EQ(std::string(dest, sizeof dest), std::string(8, 'Z'));
}

TEST_F(SerialPty, PromptPrefixIsDroppedOnce) {
  EXPECT_EQ(lines_for(">>id\r\n>>>x\r\nx>>\r\n>\r\n", 4), (Lines{"id", ">x", "x>>", ">"}));
}

TEST_F(SerialPty, TrailingControlBytesAndBareLineFeed) {
  EXPECT_EQ(lines_for("a\x85\n", 1), Lines{"a"});
  EXPECT_EQ(lines_for("b\x7f\n", 1), Lines{"b\x7f"});
  EXPECT_EQ(lines_for("c\r\r\x01\xff\r\n", 1), Lines{"c"});
  EXPECT_EQ(lines_for("\n", 1), Lines{"\n"});
  EXPECT_EQ(lines_for("\r\n", 1), Lines{"\r"});
  // A control byte inside a line stays; a zero byte cuts the text there.
  EXPECT_EQ(lines_for("d\te\n", 1), Lines{"d\te"});
  EXPECT_EQ(lines_for(std::string("f\0g\n", 4), 1), Lines{"f"});
}

TEST_F(SerialPty, LongLinesWrapInTheBuffer) {
  std::string l255, l256, l300;
  for (int i = 0; i < 300; ++i) l300 += static_cast<char>('A' + i % 26);
  l255 = l300.substr(0, 255);
  l256 = l300.substr(0, 256);
  EXPECT_EQ(lines_for(l255 + "\n", 1), Lines{l255});
  EXPECT_EQ(lines_for(l256 + "\n", 1), Lines{"\n"});
  EXPECT_EQ(lines_for(l300 + "\n", 1), Lines{l300.substr(256)});
  // Assembly starts afresh after each of them.
  EXPECT_EQ(lines_for("next\r\n", 1), Lines{"next"});
}

TEST_F(SerialPty, PopCopiesWithStrncpySemantics) {
  auto pop_into = [&](char *dest, int length) {
    const int64_t start = get_absolute_time();
    while (!serial_rx_pop(link.get(), dest, length)) {
      if (get_absolute_time() - start > 3000) return false;
      serial_wait(link.get(), 100);
    }
    return true;
  };
  char dest[8];
  std::memset(dest, 'Z', sizeof dest);
  p.write_all("abcdef\n");
  ASSERT_TRUE(pop_into(dest, 4));
  EXPECT_EQ(std::string(dest, 8), "abcdZZZZ");  // cut, unterminated

  std::memset(dest, 'Z', sizeof dest);
  p.write_all("xy\n");
  ASSERT_TRUE(pop_into(dest, 6));
  EXPECT_EQ(std::string(dest, 8), std::string("xy\0\0\0\0ZZ", 8));  // zero-padded
}

TEST_F(SerialPty, TxReachesTheOtherSideWhole) {
  EXPECT_EQ(serial_tx(link.get(), "Dverify\r\n"), 1);
  EXPECT_EQ(p.read_some(9), "Dverify\r\n");

  // A text far larger than the terminal's buffer is written whole while the
  // other side drains it: partial writes are continued.
  std::string big;
  for (int i = 0; i < 200000; ++i) big += static_cast<char>('a' + i % 26);
  std::string got;
  std::thread drain([&] { got = p.read_some(big.size(), 2000ms); });
  EXPECT_EQ(serial_tx(link.get(), big.c_str()), 1);
  drain.join();
  EXPECT_EQ(got.size(), big.size());
  EXPECT_TRUE(got == big);
}

TEST_F(SerialPty, TxToAPortNobodyDrainsFailsInsteadOfHanging) {
  std::string big(1 << 20, 'x');
  const int64_t start = get_absolute_time();
  EXPECT_EQ(serial_tx(link.get(), big.c_str()), 0);
  EXPECT_LT(get_absolute_time() - start, 5000);
}

// The bound is a second without progress, not a second in all: a port that
// drains slowly but steadily gets the whole text; once it stops taking bytes
// the write is given up about a second later.
TEST_F(SerialPty, TxGivesUpOnlyAfterASecondWithoutProgress) {
  std::string big;
  for (int i = 0; i < 256 * 1024; ++i) big += static_cast<char>('a' + i % 26);
  constexpr auto kPace = 100ms;
  constexpr size_t kChunk = 8 * 1024;  // 80 KB/s: the text takes about 3 s
  std::string got;
  const int64_t give_up = get_absolute_time() + 10000;
  std::thread slow([&] {
    char buf[kChunk];
    while (got.size() < big.size() && get_absolute_time() < give_up) {
      std::this_thread::sleep_for(kPace);
      const ssize_t n = ::read(p.master, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<size_t>(n));
      if (n <= 0 && errno != EAGAIN) break;
    }
  });
  const int64_t start = get_absolute_time();
  EXPECT_EQ(serial_tx(link.get(), big.c_str()), 1);
  const int64_t took = get_absolute_time() - start;
  slow.join();
  EXPECT_GT(took, 1500) << "the drain was meant to take well over a second";
  EXPECT_TRUE(got == big) << got.size() << " of " << big.size() << " bytes";

  // Draining for 1.5 s, then nothing: the write fails a second after the
  // last byte was taken.
  std::atomic<int64_t> stopped_at{0};
  std::thread stalling([&] {
    char buf[kChunk];
    const int64_t until = get_absolute_time() + 1500;
    while (get_absolute_time() < until) {
      std::this_thread::sleep_for(kPace);
      if (::read(p.master, buf, sizeof buf) < 0 && errno != EAGAIN) break;
    }
    stopped_at = get_absolute_time();
  });
  EXPECT_EQ(serial_tx(link.get(), big.c_str()), 0);
  const int64_t failed_at = get_absolute_time();
  stalling.join();
  EXPECT_GE(failed_at - stopped_at.load(), 900);
  EXPECT_LT(failed_at - stopped_at.load(), 2500);
}

// The port is left as it was found: settings, and the exclusive flag that
// kept other users out while the link had it.
TEST_F(SerialPty, FreeRestoresThePortAsFound) {
  serial_free(link.get());
  // A cooked terminal, as a port usually is before anyone configures it.
  struct termios cooked{};
  ASSERT_EQ(tcgetattr(p.master, &cooked), 0);
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  cooked.c_iflag |= ICRNL | IXON;
  cooked.c_oflag |= OPOST | ONLCR;
  cfsetispeed(&cooked, B9600);
  cfsetospeed(&cooked, B9600);
  ASSERT_EQ(tcsetattr(p.master, TCSANOW, &cooked), 0);
  const terminal_state before = terminal_state_of(p.slave);
  EXPECT_EQ(before.exclusive, 0);

  ASSERT_EQ(serial_init(link.get(), p.slave.c_str()), 1);
  const terminal_state during = terminal_state_of(p.slave);
  EXPECT_EQ(during.exclusive, 1);
  EXPECT_EQ(during.tty.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(cfgetospeed(&during.tty), static_cast<speed_t>(B115200));

  serial_free(link.get());
  EXPECT_TRUE(terminal_state_of(p.slave) == before);
}

// A port another program holds is refused before anything is changed or
// written, and says so; so is a second link in this process, also between
// the first link's opens (a hub restarting): the hub's lock outlives the
// link and goes with its record.
TEST_F(SerialPty, HeldPortIsRefusedAtOnce) {
  const auto expect_refused = [&](const terminal_state &state) {
    link_guard other;
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_init(other.get(), p.slave.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: Serial port " + p.slave + " is in use by another program\n");
    EXPECT_EQ(other->ready, 0);
    EXPECT_EQ(other->link, nullptr);
    EXPECT_TRUE(terminal_state_of(p.slave) == state) << "the refused link touched the port";
    EXPECT_EQ(p.read_some(1, 100ms), "");
  };
  expect_refused(terminal_state_of(p.slave));

  serial_free(link.get());
  const terminal_state found = terminal_state_of(p.slave);
  expect_refused(found);
  // The same record takes its hub again (the switch's reconnect).
  ASSERT_EQ(serial_init(link.get(), p.slave.c_str()), 1);
  serial_free(link.get());
  link.s = std::make_unique<serial>();
  {
    port_holder other(p.slave);
    ASSERT_TRUE(other.held());
    expect_refused(found);
  }
  ASSERT_EQ(serial_init(link.get(), p.slave.c_str()), 1);  // released: usable again
}

// A path that exists but is no terminal fails at once with its reason, as
// does one without a device behind it; only a missing path is waited for.
TEST(SerialLifecycle, UnusablePathsFailAtOnceWithTheirReason) {
  char path[] = "/tmp/trelk-serial-fileXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  link_guard link;
  testing::internal::CaptureStderr();
  EXPECT_EQ(serial_init(link.get(), path), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("ERROR: Unable to open serial port ") + path +
                ": not a terminal (Inappropriate ioctl for device)\n");
  EXPECT_EQ(link->link, nullptr);
  unlink(path);

  // A directory cannot be opened for writing at all.
  testing::internal::CaptureStderr();
  EXPECT_EQ(serial_init(link.get(), "/tmp"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: Unable to open serial port /tmp: Is a directory\n");
}

// SIGINT, SIGTERM and SIGHUP end the process with 128 + the signal, one line
// on stderr, and the port put back as it was found, whichever thread the
// signal lands on.
TEST(SerialInterrupt, ExitRestoresThePortAndSaysTheUpdateIsIncomplete) {
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    pty p;
    const terminal_state before = terminal_state_of(p.slave);
    int err_pipe[2];
    ASSERT_EQ(pipe(err_pipe), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, SIG_DFL);
      dup2(err_pipe[1], STDERR_FILENO);
      serial_exit_on_interrupt();
      serial link{};
      if (serial_init(&link, p.slave.c_str()) != 1) _exit(3);
      kill(getpid(), signo);
      pause();
      _exit(4);
    }
    close(err_pipe[1]);
    std::string err;
    char buf[512];
    ssize_t n;
    while ((n = read(err_pipe[0], buf, sizeof buf)) > 0) err.append(buf, static_cast<size_t>(n));
    close(err_pipe[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << signo;
    EXPECT_EQ(WEXITSTATUS(status), 128 + signo);
    EXPECT_EQ(err,
              "ERROR: Interrupted: the update is incomplete and the hub's boards may be left in "
              "bootloader mode; run the same command again to complete it\n");
    EXPECT_TRUE(terminal_state_of(p.slave) == before) << "signal " << signo;
  }

  // A signal ignored by whoever started the process stays ignored.
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGHUP, SIG_IGN);
    serial_exit_on_interrupt();
    kill(getpid(), SIGHUP);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// The engine's pattern: pop until empty, then sleep in serial_wait. A line
// already queued makes the wait return at once; one arriving later wakes it;
// with nothing arriving it sleeps out its time.
TEST_F(SerialPty, WaitSleepsUntilALineArrives) {
  // Whatever signals the open left behind are consumed first.
  while (serial_wait(link.get(), 0)) {
  }
  int64_t start = get_absolute_time();
  EXPECT_EQ(serial_wait(link.get(), 60), 0);
  EXPECT_GE(get_absolute_time() - start, 60);

  // A line queued before the wait (its signal maybe drained already).
  p.write_all("early\n");
  std::this_thread::sleep_for(100ms);
  serial_wait(link.get(), 0);  // drains the signal; the line stays queued
  start = get_absolute_time();
  EXPECT_EQ(serial_wait(link.get(), 5000), 1);
  EXPECT_LT(get_absolute_time() - start, 1000);
  EXPECT_EQ(next_line(link.get(), 0), "early");

  // A line that arrives while the consumer sleeps.
  std::thread writer([&] {
    std::this_thread::sleep_for(100ms);
    p.write_all("late\n");
  });
  start = get_absolute_time();
  EXPECT_EQ(serial_wait(link.get(), 10000), 1);
  EXPECT_LT(get_absolute_time() - start, 5000);
  writer.join();
  EXPECT_EQ(next_line(link.get()), "late");
}

// udev events reach the reader through the seam. Another node's events change
// nothing; "remove" closes the port (writes fail and reach nobody), "add"
// opens it again.
TEST(SerialHotplug, RemoveAndAddForThePort) {
  pty p;
  char dir_template[] = "/tmp/trelk-serial-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string port = dir + "/ttyUSB0";
  ASSERT_EQ(symlink(p.slave.c_str(), port.c_str()), 0);

  link_guard link;
  ASSERT_EQ(serial_init(link.get(), port.c_str()), 1);
  ASSERT_EQ(serial_available(link.get()), 1);

  serial_handle_hotplug(link.get(), "remove", (dir + "/ttyUSB1").c_str());
  serial_handle_hotplug(link.get(), "change", port.c_str());
  p.write_all("still here\r\n");
  EXPECT_EQ(next_line(link.get()), "still here");  // events before it were applied
  EXPECT_EQ(serial_available(link.get()), 1);

  // The node disappears, then udev says so.
  ASSERT_EQ(unlink(port.c_str()), 0);
  serial_handle_hotplug(link.get(), "remove", port.c_str());
  ASSERT_TRUE(wait_available(link.get(), 0));
  EXPECT_EQ(serial_tx(link.get(), "lost\r\n"), 0);

  ASSERT_EQ(symlink(p.slave.c_str(), port.c_str()), 0);
  serial_handle_hotplug(link.get(), "add", port.c_str());
  ASSERT_TRUE(wait_available(link.get(), 1));
  EXPECT_EQ(serial_tx(link.get(), "back\r\n"), 1);
  EXPECT_EQ(p.read_some(6), "back\r\n");  // nothing from the closed time
  p.write_all("hello\r\n");
  EXPECT_EQ(next_line(link.get()), "hello");

  unlink(port.c_str());
  rmdir(dir.c_str());
}

// Without any udev event: the port hangs up (the hub is unplugged), the link
// closes it, and opens the path again once it leads to a terminal that no
// other program holds (while one does, the link keeps waiting and touches
// nothing). A line cut by the unplug is continued by the first bytes
// afterwards.
TEST(SerialHotplug, HangUpAndReturnWithoutUdev) {
  auto first = std::make_unique<pty>();
  char dir_template[] = "/tmp/trelk-serial-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string port = dir + "/ttyUSB0";
  ASSERT_EQ(symlink(first->slave.c_str(), port.c_str()), 0);

  link_guard link;
  ASSERT_EQ(serial_init(link.get(), port.c_str()), 1);
  ASSERT_EQ(serial_available(link.get()), 1);
  first->write_all("par");
  std::this_thread::sleep_for(100ms);

  ASSERT_EQ(unlink(port.c_str()), 0);
  first->close_master();
  ASSERT_TRUE(wait_available(link.get(), 0));
  EXPECT_EQ(serial_tx(link.get(), "x\r\n"), 0);

  pty second;
  auto other = std::make_unique<port_holder>(second.slave);
  ASSERT_TRUE(other->held());
  ASSERT_EQ(symlink(second.slave.c_str(), port.c_str()), 0);
  // Several reopen periods pass with the port held.
  EXPECT_FALSE(wait_available(link.get(), 1, 1500));
  EXPECT_EQ(second.read_some(1, 100ms), "");
  other.reset();
  ASSERT_TRUE(wait_available(link.get(), 1, 5000));
  second.write_all("tial\r\n");
  EXPECT_EQ(next_line(link.get()), "partial");
  EXPECT_EQ(serial_tx(link.get(), "ok\r\n"), 1);
  EXPECT_EQ(second.read_some(4), "ok\r\n");

  unlink(port.c_str());
  rmdir(dir.c_str());
}

TEST(SerialLifecycle, MissingPortIsReadyButUnavailable) {
  link_guard link;
  ASSERT_EQ(serial_init(link.get(), "/nonexistent/ttyUSB9"), 1);
  EXPECT_EQ(link->ready, 1);
  EXPECT_EQ(serial_available(link.get()), 0);
  EXPECT_EQ(serial_tx(link.get(), "id\r\n"), 0);
  char dest[16];
  EXPECT_EQ(serial_rx_pop(link.get(), dest, sizeof dest), 0);
}

TEST(SerialLifecycle, FreeJoinsPromptlyAndTheRecordCanBeReused) {
  serial never{};  // a record whose init never ran (or failed): nothing to do
  serial_free(&never);

  pty p;
  link_guard link;
  ASSERT_EQ(serial_init(link.get(), p.slave.c_str()), 1);
  p.write_all("queued\r\n");
  std::this_thread::sleep_for(50ms);
  // The bootloader switch: stop, free (queued lines discarded), init again.
  serial_stop(link.get());
  const int64_t start = get_absolute_time();
  serial_free(link.get());
  EXPECT_LT(get_absolute_time() - start, 1000);
  EXPECT_EQ(link->link, nullptr);

  ASSERT_EQ(serial_init(link.get(), p.slave.c_str()), 1);
  EXPECT_EQ(serial_available(link.get()), 1);
  char dest[16];
  EXPECT_EQ(serial_rx_pop(link.get(), dest, sizeof dest), 0);
  p.write_all("again\r\n");
  EXPECT_EQ(next_line(link.get()), "again");

  // serial_free without a stop first joins just as promptly.
  const int64_t start2 = get_absolute_time();
  serial_free(link.get());
  EXPECT_LT(get_absolute_time() - start2, 1000);
}

// An idle link, open or waiting for its port, costs next to nothing.
TEST(SerialLifecycle, IdleLinksUseAlmostNoCpu) {
  pty p;
  link_guard open_link, closed_link;
  ASSERT_EQ(serial_init(open_link.get(), p.slave.c_str()), 1);
  ASSERT_EQ(serial_init(closed_link.get(), "/nonexistent/ttyUSB9"), 1);
  auto cpu_seconds = [] {
    struct rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec +
           (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
  };
  const double before = cpu_seconds();
  std::this_thread::sleep_for(2s);
  const double used = cpu_seconds() - before;
  EXPECT_LT(used / 2.0, 0.05) << used << " s of CPU in 2 s";
}

std::vector<std::string> list_entries(const char *list) {
  std::vector<std::string> out;
  for (const char *p = list; *p; p += std::strlen(p) + 1) out.emplace_back(p);
  return out;
}

TEST(SerialFindPorts, ListsTtyUsbEntriesInDirectoryOrder) {
  char dir_template[] = "/tmp/trelk-dev-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;

  char *empty = serial_find_ports_in(dir.c_str());
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(list_entries(empty).empty());
  string_list_free(empty);

  for (const char *name : {"ttyUSB0", "ttyS0", "ttyACM0", "ttyUSB3", "xttyUSB1"}) {
    const std::string path = dir + "/" + name;
    std::FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  // The directory's own order, whatever it is.
  std::vector<std::string> expected;
  DIR *d = opendir(dir.c_str());
  for (struct dirent *e; (e = readdir(d)) != nullptr;)
    if (std::strncmp(e->d_name, "ttyUSB", 6) == 0) expected.push_back(dir + "/" + e->d_name);
  closedir(d);
  ASSERT_EQ(expected.size(), 2u);

  char *list = serial_find_ports_in(dir.c_str());
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list_entries(list), expected);
  string_list_free(list);

  for (const char *name : {"ttyUSB0", "ttyS0", "ttyACM0", "ttyUSB3", "xttyUSB1"})
    unlink((dir + "/" + name).c_str());
  rmdir(dir.c_str());

  char *missing = serial_find_ports_in("/nonexistent-dir");
  ASSERT_NE(missing, nullptr);
  EXPECT_TRUE(list_entries(missing).empty());
  string_list_free(missing);

  // The real /dev is only read.
  char *real = serial_find_ports();
  ASSERT_NE(real, nullptr);
  for (const auto &path : list_entries(real)) EXPECT_EQ(path.rfind("/dev/ttyUSB", 0), 0u);
  string_list_free(real);
}

// A scratch lock folder, removed with what is left in it.
struct lock_folder {
  std::string path;
  lock_folder() {
    char name[] = "/tmp/trelk-hub-lock-XXXXXX";
    path = mkdtemp(name) != nullptr ? name : "";
  }
  ~lock_folder() {
    if (DIR *d = opendir(path.c_str())) {
      for (struct dirent *e; (e = readdir(d)) != nullptr;)
        if (e->d_name[0] != '.') unlink((path + "/" + e->d_name).c_str());
      closedir(d);
    }
    rmdir(path.c_str());
  }
  bool has(const std::string &key) const {
    return access((path + "/trelk-" + key + ".lock").c_str(), F_OK) == 0;
  }
};

TEST(SerialHubLock, OneHolderPerKeyAndTheFileGoesWithIt) {
  lock_folder folder;
  ASSERT_FALSE(folder.path.empty());
  const char *dir = folder.path.c_str();
  hub_lock a, b;
  // Whatever the user's umask, other users can open the file to lock it.
  const mode_t umask_was = umask(077);
  EXPECT_EQ(hub_lock_take(&a, dir, "usb-1-3"), hub_lock_result::taken);
  umask(umask_was);
  EXPECT_TRUE(folder.has("usb-1-3"));
  struct stat st{};
  ASSERT_EQ(stat((folder.path + "/trelk-usb-1-3.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "other users could not lock it";
  EXPECT_EQ(hub_lock_take(&a, dir, "usb-1-3"), hub_lock_result::taken);  // kept
  EXPECT_EQ(hub_lock_take(&b, dir, "usb-1-3"), hub_lock_result::busy);
  EXPECT_FALSE(b.fd);
  EXPECT_EQ(hub_lock_take(&b, dir, "usb-1-4"), hub_lock_result::taken);

  // Another hub for `a`: the old one is let go, its file removed.
  EXPECT_EQ(hub_lock_take(&a, dir, "usb-1-5"), hub_lock_result::taken);
  EXPECT_FALSE(folder.has("usb-1-3"));
  EXPECT_EQ(hub_lock_take(&b, dir, "usb-1-3"), hub_lock_result::taken);
  EXPECT_FALSE(folder.has("usb-1-4"));
  hub_lock_release(&a);
  EXPECT_FALSE(a.fd);
  EXPECT_FALSE(folder.has("usb-1-5"));
  hub_lock_release(&a);  // nothing held: nothing happens
  {
    hub_lock c;
    EXPECT_EQ(hub_lock_take(&c, dir, "usb-1-5"), hub_lock_result::taken);
  }
  EXPECT_FALSE(folder.has("usb-1-5")) << "the record went, its lock stayed";
}

// A folder that cannot be used is no reason to fail: the caller goes on
// without the lock. Nothing in it is followed or waited on.
TEST(SerialHubLock, AnUnusableFolderOrFileHoldsNothing) {
  lock_folder folder;
  ASSERT_FALSE(folder.path.empty());
  hub_lock lock;
  EXPECT_EQ(hub_lock_take(&lock, "/nonexistent-lock-folder", "usb-1-3"),
            hub_lock_result::unusable);
  // A link planted under the name, to a file or to nothing, is not followed.
  const std::string target = folder.path + "/target";
  ASSERT_EQ(symlink(target.c_str(), (folder.path + "/trelk-usb-1-3.lock").c_str()), 0);
  EXPECT_EQ(hub_lock_take(&lock, folder.path.c_str(), "usb-1-3"), hub_lock_result::unusable);
  EXPECT_NE(access(target.c_str(), F_OK), 0) << "the link was followed";
  close(open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  EXPECT_EQ(hub_lock_take(&lock, folder.path.c_str(), "usb-1-3"), hub_lock_result::unusable);
  ASSERT_EQ(mkfifo((folder.path + "/trelk-usb-1-4.lock").c_str(), 0644), 0);
  EXPECT_EQ(hub_lock_take(&lock, folder.path.c_str(), "usb-1-4"), hub_lock_result::unusable);
  EXPECT_FALSE(lock.fd);
  ASSERT_EQ(mkdir((folder.path + "/trelk-usb-1-5.lock").c_str(), 0755), 0);
  EXPECT_EQ(hub_lock_take(&lock, folder.path.c_str(), "usb-1-5"), hub_lock_result::unusable);
  EXPECT_FALSE(lock.fd);
  EXPECT_EQ(lock.key, "");
}

// An open's lock lives in the run-time lock folder, under the mount
// namespace that sees the port: a stage or container with a /dev of its own
// may give the same name to another device.
TEST(SerialHubLock, AnOpenHoldsItsHubInTheLockFolderOfItsNamespace) {
  if (access(HUB_LOCK_FOLDER, W_OK) != 0) GTEST_SKIP() << "no usable " << HUB_LOCK_FOLDER;
  char space[64] = {};
  ASSERT_GT(readlink("/proc/self/ns/mnt", space, sizeof space - 1), 0);
  std::string number;
  for (const char *c = space; *c; ++c)
    if (*c >= '0' && *c <= '9') number += *c;
  pty p;
  const std::string file = std::string(HUB_LOCK_FOLDER) + "/trelk-ns" + number + "-" +
                           hub_lock_key({}, p.slave.c_str()) + ".lock";
  {
    hub_lock lock, rival;
    EXPECT_TRUE(hub_lock_hold(&lock, p.slave.c_str(), 0));
    EXPECT_EQ(access(file.c_str(), F_OK), 0) << file;
    EXPECT_FALSE(hub_lock_hold(&rival, p.slave.c_str(), 0));
  }
  EXPECT_NE(access(file.c_str(), F_OK), 0) << "left behind: " << file;
}

TEST(SerialHubLock, KeysNameTheHubSafely) {
  usb_identity id{};
  id.known = 1;
  std::strcpy(id.usb_path, "1-3.2");
  id.vendor = 0x0403;
  id.product = 0x6001;
  id.interface = 1;
  EXPECT_EQ(hub_lock_key(id, "/dev/ttyUSB0"), "usb-1-3.2-if1-0403-6001");
  id.has_serial = 1;
  std::strcpy(id.serial, "A/B 1");
  EXPECT_EQ(hub_lock_key(id, "/dev/ttyUSB0"), "usb-1-3.2-if1-0403-6001-A%2FB%201");
  std::strcpy(id.serial, "az09AZ._-`{@[/:");
  EXPECT_EQ(hub_lock_key(id, "/dev/ttyUSB0"),
            "usb-1-3.2-if1-0403-6001-az09AZ._-%60%7B%40%5B%2F%3A");
  // Long serials keep a bounded name, and two that differ only at the end
  // keep different ones.
  std::memset(id.serial, 'x', 250);
  id.serial[250] = '\0';
  const std::string one = hub_lock_key(id, "/dev/ttyUSB0");
  id.serial[249] = 'y';
  const std::string other = hub_lock_key(id, "/dev/ttyUSB0");
  EXPECT_LE(one.size(), 200u);
  EXPECT_NE(one, other);
  EXPECT_EQ(one.substr(0, 24), "usb-1-3.2-if1-0403-6001-");

  // Without USB identity, the port's name.
  EXPECT_EQ(hub_lock_key({}, "/dev/ttyS0"), "port-%2Fdev%2FttyS0");
  EXPECT_EQ(hub_lock_key({}, ""), "port-");
}

}  // namespace
