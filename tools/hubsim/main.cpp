// trelk-hubsim: a simulated Varnholt hub on a pseudo-terminal.
//
// It lets anyone try trelk, and write tests, without a hub. It opens a
// pseudo-terminal, prints the path to use as trelk's --port as its first line
// of standard output, and plays one hub of any of the seven models: its normal
// firmware (identification line on "Dverify"/"id", "boot_mode enabled" to
// restart into the bootloaders) and the bootloaders of its boards ("*"
// announcements, framed commands checked and acknowledged, upload lines stored
// in a memory per board, "!PART_CRC" answered with the CRC-16 of a block,
// "!FINISH", "!STOP_PING", "!REBOOT_NORMAL", "!REBOOT_BOOT").
//
// Options: `trelk-hubsim --help` lists them, printed from the one option
// table in cli.cpp; man/trelk-hubsim.1.in documents them for users.
//
// Exit status: 0 after SIGTERM/SIGINT, --exit-after-finish or the idle
// timeout; 1 when the pseudo-terminal cannot be set up; 2 for a bad option.
//
// Shape: parse_cli (cli.h) reads the command line into a cli; a wiring opens
// what the hub talks through (signals, line logs, the pseudo-terminal); a
// session then runs the hub, one pass of named steps per wake-up: received
// bytes become lines, due answers are written, the next wake-up is planned
// and waited for, and what arrived is read.

#include "cli.h"
#include "functions.h"  // unique_fd only: the simulator shares no framing with the updater
#include "hub.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

using namespace hubsim;

namespace {

// 115200 baud, 8N1: ten bit times per byte.
constexpr int64_t kByteNs = 10LL * 1000000000LL / 115200;
// Received lines longer than this are counted and logged cut, never parsed:
// no real command comes near it.
constexpr size_t kMaxLine = 1024;
// Paced reception keeps at most this much unreceived input, so the
// pseudo-terminal's own buffer pushes back on the writer like a real UART.
constexpr size_t kMaxRxBacklog = 4096;
// Output that could not be written (nobody reading) is kept up to this much;
// older bytes are dropped, as a USB serial adapter without a reader would.
constexpr size_t kMaxTxBacklog = 65536;
// Paced output is written in slices of about a millisecond, except that a
// line end is always written at its own wire time.
constexpr int64_t kPaceSliceNs = 1000000;
// A master that reports a hang-up is left alone this long: it cannot happen
// while we hold a slave, and the loop must never spin on it.
constexpr int64_t kHangUpPauseNs = 10000000LL;

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}
int64_t ms_of(int64_t ns) { return ns / 1000000; }

// The hub's end of the line: a pseudo-terminal master, raw, with one slave
// descriptor of our own so that the updater closing its side (it does for
// 25 s during a bootloader switch) does not hang up the line.
struct port {
  unique_fd master;
  unique_fd slave;
  std::string slave_path;

  // A new pseudo-terminal, raw at 115200 baud, replacing the one held (if
  // any) only once it is ready. False after saying why.
  bool open_new() {
    unique_fd m(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!m || grantpt(m.get()) != 0 || unlockpt(m.get()) != 0) {
      std::fprintf(stderr, "trelk-hubsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
      return false;
    }
    const char *name = ptsname(m.get());
    if (!name) {
      std::fprintf(stderr, "trelk-hubsim: ptsname: %s\n", std::strerror(errno));
      return false;
    }
    std::string path = name;
    unique_fd s(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!s) {
      std::fprintf(stderr, "trelk-hubsim: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
      return false;
    }
    // Raw both ways: nothing the hub writes may be echoed back to it, and no
    // byte may be translated on its way through.
    termios t;
    if (tcgetattr(s.get(), &t) != 0) {
      std::fprintf(stderr, "trelk-hubsim: tcgetattr: %s\n", std::strerror(errno));
      return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(s.get(), TCSANOW, &t) != 0) {
      std::fprintf(stderr, "trelk-hubsim: tcsetattr: %s\n", std::strerror(errno));
      return false;
    }
    master = std::move(m);
    slave = std::move(s);
    slave_path = path;
    return true;
  }
  // Unplugged: both ends closed, the updater's side hangs up.
  void close_all() {
    master.reset();
    slave.reset();
  }
};

// Points `link` at `target` in one step (a new link renamed over the old).
// False after saying why.
bool point_link(const std::string &link, const std::string &target) {
  const std::string tmp = link + ".hubsim-tmp";
  ::unlink(tmp.c_str());
  if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "trelk-hubsim: cannot link %s -> %s: %s\n", link.c_str(), target.c_str(),
                 std::strerror(errno));
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

// The line as printable text: control bytes, bytes from 0x7F up and the
// backslash written as \xNN.
std::string escape_line(std::string_view line) {
  std::string s;
  s.reserve(line.size());
  for (unsigned char c : line) {
    if (c < 0x20 || c >= 0x7F || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      s += buf;
    } else {
      s += static_cast<char>(c);
    }
  }
  return s;
}

// Bytes on their way, each due at a time on the wire's absolute schedule:
// byte k of a burst that started at `epoch` has fully crossed the line at
// epoch + (k + 1) * byte time, so rounding never accumulates.
struct paced_queue {
  std::string bytes;
  size_t head = 0;          // bytes[head..] not yet delivered
  std::vector<int64_t> due; // parallel to bytes (only used when paced)
  int64_t epoch = 0;
  int64_t in_burst = 0;     // bytes scheduled since epoch

  size_t size() const { return bytes.size() - head; }
  void push(std::string_view data, int64_t now, bool paced) {
    compact();
    for (char ch : data) {
      if (paced) {
        if (epoch + in_burst * kByteNs <= now) {  // line idle: a new burst starts now
          epoch = now;
          in_burst = 0;
        }
        ++in_burst;
        due.push_back(epoch + in_burst * kByteNs);
      }
      bytes += ch;
    }
  }
  // Number of leading bytes already due at `now`.
  size_t ready(int64_t now, bool paced) const {
    if (!paced) return size();
    size_t n = 0;
    while (head + n < bytes.size() && due[head + n] <= now) ++n;
    return n;
  }
  void consume(size_t n) { head += n; }
  void drop_oldest(size_t keep) {
    if (size() > keep) head = bytes.size() - keep;
  }
  void clear() {
    bytes.clear();
    due.clear();
    head = 0;
    epoch = 0;
    in_burst = 0;
  }
  void compact() {
    if (head > 0 && head >= bytes.size() / 2) {
      bytes.erase(0, head);
      if (!due.empty()) due.erase(due.begin(), due.begin() + static_cast<std::ptrdiff_t>(head));
      head = 0;
    }
  }
};

struct file_closer {
  void operator()(std::FILE *f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// What the hub talks through, opened before its clock starts: the signals,
// the logs of received lines and the pseudo-terminal (with its link).
struct wiring {
  unique_fd signals;
  file_ptr lines_log, timed_log;  // both or neither (--dump-dir)
  port p;

  // Opens everything and prints the port's name as the first line of
  // standard output. False (after saying why) ends the run with status 1.
  bool open(const cli &c) {
    if (!open_signals() || !open_logs(c.dump_dir) || !connect(c.link)) return false;
    std::printf("%s\n", c.link.empty() ? p.slave_path.c_str() : c.link.c_str());
    std::fflush(stdout);
    if (c.verbose) std::fprintf(stderr, "trelk-hubsim: serving on %s\n", p.slave_path.c_str());
    return true;
  }

  // A new pseudo-terminal, and the link pointed at it: at start and when the
  // hub is plugged in again. False after saying why.
  bool connect(const std::string &link) {
    if (!p.open_new()) return false;
    return link.empty() || point_link(link, p.slave_path);
  }

 private:
  // Signals arrive through a descriptor so that the single poll loop sees them.
  bool open_signals() {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGUSR1);
    sigaddset(&mask, SIGHUP);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signals.reset(signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signals) {
      std::fprintf(stderr, "trelk-hubsim: signalfd: %s\n", std::strerror(errno));
      return false;
    }
    return true;
  }

  // Received lines are streamed to the logs as they arrive, so a long run
  // does not hold them in memory.
  bool open_logs(const std::string &dir) {
    if (dir.empty()) return true;
    ::mkdir(dir.c_str(), 0777);
    for (auto [name, file] : {std::pair{"/lines.log", &lines_log}, std::pair{"/lines-timed.log", &timed_log}}) {
      const std::string path = dir + name;
      file->reset(std::fopen(path.c_str(), "w"));
      if (!*file) {
        std::fprintf(stderr, "trelk-hubsim: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
      }
    }
    return true;
  }
};

// Where poll is to wait, and until when.
struct wait_plan {
  int64_t wake = 0;  // monotonic ns
  pollfd pfd[2] = {};  // the signals, then the port when it is watched
  nfds_t count = 1;
  int ready = 0;     // ppoll's result, once waited
};

// One run of the hub behind its wiring, from the first byte to the exit.
class session {
 public:
  session(const cli &c, wiring w)
      : c_(c), w_(std::move(w)), start_(now_ns()), hub_(c.hub, ms_of(start_)), last_input_(start_) {}

  // Serves until a signal, --exit-after-finish or the idle timeout (0), or
  // until the pseudo-terminal or poll fails (1, after saying why).
  int run() {
    while (true) {
      int64_t now = now_ns();
      take_received_lines(now);
      if (replug_at_ >= 0 && now >= replug_at_ && !replug(now)) return 1;
      hub_.on_time(ms_of(now));
      write_due_answers(now);
      if (time_to_exit(now)) break;
      wait_plan plan = next_wake_up(now);
      if (!wait(plan)) return 1;
      now = now_ns();
      if (plan.ready > 0 && take_signals(plan.pfd[0])) break;
      if (plan.ready > 0 && plan.count > 1) read_port(plan.pfd[1], now);
    }
    dump();
    w_.lines_log.reset();
    w_.timed_log.reset();
    if (!c_.link.empty()) ::unlink(c_.link.c_str());
    return 0;
  }

 private:
  // Received bytes that have crossed the line become lines; an unplug the
  // hub asks for after one of them drops the rest.
  void take_received_lines(int64_t now) {
    if (!w_.p.master) return;
    const size_t n = rx_.ready(now, c_.pace);
    for (size_t i = 0; i < n; ++i) {
      const char ch = rx_.bytes[rx_.head + i];
      ++line_len_;
      if (line_.size() < kMaxLine) line_ += ch;
      if (ch == '\n') {
        deliver_line(now);
        if (hub_.take_unplug_request()) {
          unplug(now);
          break;
        }
      }
    }
    if (w_.p.master) rx_.consume(n);
  }

  // Logs the line gathered so far and hands it to the hub.
  void deliver_line(int64_t now) {
    // Trailing control bytes (the CR of "\r\n") are not part of the line.
    size_t n = line_.size();
    while (n > 0 && static_cast<unsigned char>(line_[n - 1]) < 0x20) --n;
    std::string_view text(line_.data(), n);
    const long long t_ms = (now - start_) / 1000000;
    if (w_.lines_log) {
      std::string e = escape_line(text);
      if (line_len_ > kMaxLine) e += "...(" + std::to_string(line_len_) + " bytes)";
      std::fprintf(w_.lines_log.get(), "%s\n", e.c_str());
      std::fprintf(w_.timed_log.get(), "%lld.%03lld %s\n", t_ms / 1000, t_ms % 1000, e.c_str());
    }
    if (c_.verbose)
      std::fprintf(stderr, "%lld.%03lld << %s\n", t_ms / 1000, t_ms % 1000, escape_line(text).c_str());
    if (line_len_ > kMaxLine) {
      // Too long for any command: count it through the hub as garbage.
      hub_.on_line("#overlong", ms_of(now));
    } else {
      hub_.on_line(text, ms_of(now));
    }
    line_.clear();
    line_len_ = 0;
  }

  // The hub goes away: its port closes and whatever was on the line is lost.
  void unplug(int64_t now) {
    ++unplugs_;
    if (c_.verbose) std::fprintf(stderr, "trelk-hubsim: unplugged %s\n", w_.p.slave_path.c_str());
    // The node goes first, as when a device is removed: whoever sees the
    // hang-up and looks again finds nothing.
    if (!c_.link.empty()) ::unlink(c_.link.c_str());
    w_.p.close_all();
    rx_.clear();
    tx_.clear();
    line_.clear();
    line_len_ = 0;
    hub_.on_unplug();
    replug_at_ = c_.unplug_ms < 0 ? -1 : now + c_.unplug_ms * 1000000LL;
  }

  // The hub comes back on a new pseudo-terminal. False after saying why.
  bool replug(int64_t now) {
    if (!w_.connect(c_.link)) return false;
    if (c_.verbose) std::fprintf(stderr, "trelk-hubsim: back on %s\n", w_.p.slave_path.c_str());
    replug_at_ = -1;
    hub_.on_replug(ms_of(now));
    return true;
  }

  // The hub's new output joins the line, and what has crossed the wire
  // (everything, unpaced) is written.
  void write_due_answers(int64_t now) {
    if (!w_.p.master) {
      hub_.take_output();  // unplugged: nothing reaches anyone
      return;
    }
    std::string out = hub_.take_output();
    if (!out.empty()) {
      if (c_.verbose) log_output(now, out);
      tx_.push(out, now, c_.pace);
    }
    const size_t n = tx_.ready(now, c_.pace);
    if (n > 0) {
      const ssize_t w = ::write(w_.p.master.get(), tx_.bytes.data() + tx_.head, n);
      if (w > 0) tx_.consume(static_cast<size_t>(w));
      else if (w < 0 && errno != EAGAIN && errno != EINTR && c_.verbose)
        std::fprintf(stderr, "trelk-hubsim: write: %s\n", std::strerror(errno));
      // Nobody reads the line: wait for room instead of for the clock.
      tx_blocked_ = w < static_cast<ssize_t>(n);
    } else {
      tx_blocked_ = false;
    }
    tx_.drop_oldest(kMaxTxBacklog);
  }

  void log_output(int64_t now, const std::string &out) const {
    size_t s = 0;
    while (s < out.size()) {
      size_t e = out.find('\n', s);
      if (e == std::string::npos) e = out.size();
      const long long t_ms = (now - start_) / 1000000;
      std::fprintf(stderr, "%lld.%03lld >> %s\n", t_ms / 1000, t_ms % 1000,
                   escape_line(std::string_view(out).substr(s, e - s)).c_str());
      s = e + 1;
    }
  }

  // --exit-after-finish's delay has passed, or no byte came for the idle
  // timeout (said on stderr).
  bool time_to_exit(int64_t now) {
    if (c_.exit_after_finish && exit_at_ < 0 && hub_.all_finished())
      exit_at_ = now + c_.exit_delay_ms * 1000000LL;
    if (exit_at_ >= 0 && now >= exit_at_) {
      exit_reason_ = "finished";
      return true;
    }
    if (now - last_input_ >= c_.idle_timeout_s * 1000000000LL) {
      std::fprintf(stderr, "trelk-hubsim: no input for %lld s, exiting\n",
                   static_cast<long long>(c_.idle_timeout_s));
      exit_reason_ = "idle";
      return true;
    }
    return false;
  }

  // Sleep until input, a signal, or the next thing falls due.
  wait_plan next_wake_up(int64_t now) const {
    wait_plan plan;
    plan.wake = last_input_ + c_.idle_timeout_s * 1000000000LL;
    auto sooner = [&](int64_t t) {
      if (t >= 0 && t < plan.wake) plan.wake = t;
    };
    const int64_t hub_due = hub_.next_due();
    if (hub_due != INT64_MAX) sooner(hub_due * 1000000LL);
    sooner(replug_at_);
    sooner(exit_at_);
    plan.pfd[0] = {w_.signals.get(), POLLIN, 0};
    if (w_.p.master && now < hup_until_) {
      sooner(hup_until_);
    } else if (w_.p.master) {
      short ev = 0;
      if (!c_.pace || rx_.size() < kMaxRxBacklog) ev |= POLLIN;
      if (tx_.size() > 0) {
        if (!c_.pace || tx_blocked_) ev |= POLLOUT;
        else sooner(next_tx_slice_due());
      }
      if (c_.pace && rx_.size() > 0) {
        // Only a completed line matters to the hub; without one, a full
        // backlog must still drain so that reading can resume.
        const size_t nl = rx_.bytes.find('\n', rx_.head);
        if (nl != std::string::npos) sooner(rx_.due[nl]);
        else if (rx_.size() >= kMaxRxBacklog) sooner(rx_.due.back());
      }
      plan.pfd[plan.count++] = {w_.p.master.get(), ev, 0};
    }
    return plan;
  }

  // When paced output is next written: a millisecond of bytes, or up to the
  // next line end.
  int64_t next_tx_slice_due() const {
    size_t k = tx_.head;
    const int64_t slice_end = tx_.due[k] + kPaceSliceNs;
    while (k + 1 < tx_.bytes.size() && tx_.bytes[k] != '\n' && tx_.due[k + 1] <= slice_end) ++k;
    return tx_.due[k];
  }

  // False (after saying why) when poll fails; an interruption is no failure.
  static bool wait(wait_plan &plan) {
    const int64_t now = now_ns();
    const int64_t wait_ns = plan.wake > now ? plan.wake - now : 0;
    timespec ts{static_cast<time_t>(wait_ns / 1000000000LL), static_cast<long>(wait_ns % 1000000000LL)};
    plan.ready = ppoll(plan.pfd, plan.count, &ts, nullptr);
    if (plan.ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "trelk-hubsim: poll: %s\n", std::strerror(errno));
      return false;
    }
    return true;
  }

  // SIGUSR1 dumps; any other signal ends the run (true).
  bool take_signals(const pollfd &signals) {
    if (!(signals.revents & POLLIN)) return false;
    signalfd_siginfo si;
    bool stop = false;
    while (::read(w_.signals.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
      if (si.ssi_signo == SIGUSR1) dump();
      else stop = true;
    }
    if (stop) exit_reason_ = "signal";
    return stop;
  }

  // Takes what the updater wrote, as much as the paced line has room for.
  void read_port(const pollfd &port_events, int64_t now) {
    if ((port_events.revents & (POLLHUP | POLLERR)) && !(port_events.revents & POLLIN))
      hup_until_ = now + kHangUpPauseNs;
    if (!(port_events.revents & POLLIN)) return;
    const size_t room = c_.pace ? kMaxRxBacklog - std::min(kMaxRxBacklog, rx_.size()) : buf_.size();
    const ssize_t r = ::read(w_.p.master.get(), buf_.data(), std::min(room, buf_.size()));
    if (r > 0) {
      rx_.push(std::string_view(buf_.data(), static_cast<size_t>(r)), now, c_.pace);
      last_input_ = now;
    }
  }

  // With --dump-dir: the hub's memories and state, and how the run went so far.
  void dump() {
    if (c_.dump_dir.empty()) return;
    if (w_.lines_log) std::fflush(w_.lines_log.get());
    if (w_.timed_log) std::fflush(w_.timed_log.get());
    ++dumps_;
    std::string extra = "exit=" + exit_reason_ + "\ndumps=" + std::to_string(dumps_) +
                        "\nunplugs=" + std::to_string(unplugs_) + "\nport=" + w_.p.slave_path + "\n";
    hub_.write_dumps(c_.dump_dir, extra);
  }

  const cli &c_;
  wiring w_;
  const int64_t start_;
  hub hub_;
  paced_queue rx_, tx_;
  std::string line_;           // the line being received, cut at kMaxLine
  size_t line_len_ = 0;        // its true length, also beyond kMaxLine
  int64_t last_input_;
  int64_t replug_at_ = -1;     // while unplugged
  int64_t exit_at_ = -1;       // --exit-after-finish
  long dumps_ = 0;
  bool tx_blocked_ = false;
  int64_t hup_until_ = 0;      // a master that reports hang-up is left alone briefly
  long unplugs_ = 0;
  std::string exit_reason_ = "running";
  std::vector<char> buf_ = std::vector<char>(4096);
};

} // namespace

int main(int argc, char **argv) {
  cli c;
  const int rc = parse_cli(argc, argv, c);
  if (rc >= 0) return rc;
  wiring w;
  if (!w.open(c)) return 1;
  session s(c, std::move(w));
  return s.run();
}
