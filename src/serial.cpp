// DESIGN
//
// Each link has two threads. The action thread owns the link: it calls every
// function in serial.h. The reader thread, started by serial_init and joined
// by serial_free, is the only one that reads the port, assembles lines, and
// closes or reopens the descriptor.
//
// Who produces, who consumes:
//   - rx_queue (lock-free): the reader produces one heap line per line feed;
//     the action thread consumes in serial_rx_pop. One producer, one consumer,
//     so a non-zero size always means a line is there.
//   - event_fd: the reader signals it after every queued line and after every
//     close or reopen; the action thread sleeps on it in serial_wait. Waking
//     on a counter, not on a flag, is what makes "pop until empty, then wait"
//     race-free: a line queued between the last pop and the wait has already
//     bumped the counter, so the wait returns at once.
//   - wake_fd: the action thread (serial_stop/serial_free, and hot-plug events
//     posted through serial_handle_hotplug) wakes the reader out of poll().
//   - fd (atomic): published by the reader, read afresh by the action thread
//     on every use. tx_users counts writers holding the current descriptor;
//     the reader closes only once it drops to zero, so a write can never land
//     on a number the next open reused.
//   - stop (atomic): raised by the action thread, seen by the reader on its
//     next pass (at once, since wake_fd is signalled too).
//   - following the hub: the reader alone opens the port again after an
//     unplug. It looks for the hub's identity (serial::hub, written before the
//     first publish of fd and read by the action thread only once
//     identity_taken says so), moves current_port when the hub comes back
//     under another name (the old names stay allocated until the link is
//     released, so a reader of the old pointer never sees it freed), and
//     posts notices for the user to notice_queue, which the action thread
//     prints among its own lines. refuse_requested goes the other way: the
//     action thread asks the reader to drop a port where another hub answers.
//   - the port registry (process-wide, atomics): every open port with the
//     settings it was found with, for the interrupt handler, which may run on
//     any thread at any moment. An entry is filled before its descriptor is
//     published and the port is restored before the entry is withdrawn, so
//     the handler restores either nothing or a complete entry. Once the
//     handler has begun, a closing thread never closes the descriptor (the
//     handler might be restoring that number, and a reuse would let it touch
//     another file): it waits for the process to end.
//
// Why a thread at all: a hub answers every command within milliseconds while
// the action thread is busy framing the next one, and an unplugged hub must
// be noticed (udev "remove", or the port's own hang-up) and reopened (udev
// "add", or a retry every 500 ms where there is no udev) without the action
// thread's help. The reader blocks in poll() on the port, the udev monitor
// and wake_fd, so an idle open link costs nothing; one waiting for a hub that
// is away looks for it twice a second (a few reads of sysfs files per USB
// device of the same vendor and product).

#include "serial.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <libudev.h>
#include <linux/serial.h>
#include <new>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "functions.h"
#include "timer.h"

namespace {

constexpr auto SC = std::memory_order_seq_cst;

// The hub's serial settings: 115200 baud, 8N1, raw.
constexpr speed_t SERIAL_BAUD = B115200;
// One read of the port takes at most this many bytes; lines are longer only
// when they wrap in the 256-byte assembly buffer anyway.
constexpr size_t SERIAL_READ_CHUNK = 256;
constexpr int SERIAL_READS_PER_PASS = 64;
// The reader thread wakes at least this often even with nothing to do, so no
// missed wake-up can hold it longer than that.
constexpr int SERIAL_POLL_MS = 100;
// While the port is closed, its path is tried again this often: without udev
// events (containers, minimal systems) nothing else would bring it back.
constexpr int64_t SERIAL_REOPEN_MS = 500;
// Longest time serial_tx waits for the port to take another byte. The longest
// text is a few hundred bytes, which 115200 baud drains in tens of
// milliseconds; a port that takes nothing for a second is stuck.
constexpr int64_t SERIAL_TX_STALL_MS = 1000;
// How long serial_refuse_port waits for the reader to close the port; the
// reader acts on its next pass, which wake_fd starts at once.
constexpr int64_t SERIAL_REFUSE_WAIT_MS = 1000;
// Received lines begin with this prefix when the hub echoes its prompt.
constexpr char SERIAL_PROMPT_PREFIX[] = ">>";
// Ports the interrupt handler can restore at once: more than any process
// holds (the automatic update keeps one per updated hub).
constexpr int SERIAL_REGISTRY_SLOTS = 64;
// What an interrupted run says: it never claims success, and tells how to
// finish (a hub left in bootloader mode is found and updated from the start).
constexpr char SERIAL_INTERRUPT_TEXT[] =
    "ERROR: Interrupted: the update is incomplete and the hub's boards may be left in "
    "bootloader mode; run the same command again to complete it\n";

// --- port registry and restoring ---------------------------------------------

// An open port as the interrupt handler sees it. `fd` is published last and
// withdrawn first; the settings are written only while it is -1.
struct registry_slot {
  std::atomic<bool> taken{false};
  std::atomic<int> fd{-1};
  struct termios found_tty{};
  bool restore_low_latency{false};
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the interrupt handler may only touch lock-free atomics");

registry_slot port_registry[SERIAL_REGISTRY_SLOTS];
std::atomic<bool> interrupting{false};

// Puts a port back as it was found. Only async-signal-safe calls: the
// interrupt handler uses it too. Failures (a port that has gone) change
// nothing worth reporting.
void restore_port(int fd, const struct termios &found_tty, bool restore_low_latency) {
  tcsetattr(fd, TCSANOW, &found_tty);
  if (restore_low_latency) {
    struct serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) == 0) {
      info.flags &= ~ASYNC_LOW_LATENCY;
      ioctl(fd, TIOCSSERIAL, &info);
    }
  }
  ioctl(fd, TIOCNXCL);
}

// Enters an open port; -1 when every slot is taken (the port then works, but
// an interrupt cannot restore it).
int registry_add(int fd, const struct termios &found_tty, bool restore_low_latency) {
  for (int i = 0; i < SERIAL_REGISTRY_SLOTS; ++i) {
    bool expected = false;
    if (!port_registry[i].taken.compare_exchange_strong(expected, true, SC)) continue;
    port_registry[i].found_tty = found_tty;
    port_registry[i].restore_low_latency = restore_low_latency;
    port_registry[i].fd.store(fd, SC);
    return i;
  }
  return -1;
}

void on_interrupt(int signo) {
  interrupting.store(true, SC);
  for (auto &slot : port_registry) {
    const int fd = slot.fd.load(SC);
    if (fd >= 0) restore_port(fd, slot.found_tty, slot.restore_low_latency);
  }
  // The progress line never ends in a line feed; on a terminal the message
  // would otherwise run on behind it (and behind the "^C" echo).
  struct termios out{};
  if (tcgetattr(STDOUT_FILENO, &out) == 0) {
    ssize_t ignored_newline = write(STDOUT_FILENO, "\r\n", 2);
    (void)ignored_newline;
  }
  ssize_t ignored = write(STDERR_FILENO, SERIAL_INTERRUPT_TEXT, sizeof SERIAL_INTERRUPT_TEXT - 1);
  (void)ignored;
  _exit(128 + signo);
}

// Adds one to an eventfd counter (wakes whoever polls it).
void signal_fd(const unique_fd &fd) {
  if (!fd) return;
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = write(fd.get(), &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

// Resets an eventfd counter to zero.
void drain_fd(const unique_fd &fd) {
  uint64_t count;
  ssize_t n;
  do {
    n = read(fd.get(), &count, sizeof count);
  } while (n < 0 && errno == EINTR);
}

// A udev event posted by serial_handle_hotplug for the reader to apply.
struct hotplug_event {
  std::string action;
  std::string devnode;
};

void free_rx_entry(serial_rx_entry *entry) {
  std::free(entry->text);
  std::free(entry);
}

// Queues a notice for the action thread to print, and wakes it.
__attribute__((format(printf, 2, 3))) void post_notice(serial *s, const char *format, ...) {
  serial_link *link = s->link;
  if (!link->notice_queue_ready) return;
  char text[SERIAL_NOTICE_CAPACITY];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  char *copy = strdup(text);
  if (copy == nullptr) {
    print_no_memory();
    return;
  }
  if (lfqueue_enq(&link->notice_queue, copy) != 0) {
    std::free(copy);
    return;
  }
  signal_fd(link->event_fd);
}

void discard_notices(serial_link *link) {
  if (!link->notice_queue_ready) return;
  void *value;
  while ((value = lfqueue_deq(&link->notice_queue)) != nullptr) std::free(value);
  lfqueue_destroy(&link->notice_queue);
  link->notice_queue_ready = false;
}

const char *current_port(const serial *s) { return s->link->current_port.load(SC); }

// Marks the port closed, then closes the descriptor once no serial_tx is
// still writing to it: closing under a writer would let the number be reused
// by the next open and the writer's bytes land in another file.
void port_close(serial *s) {
  serial_link *link = s->link;
  const int old = link->fd.exchange(-1, SC);
  if (old < 0) return;
  int users;
  while ((users = link->tx_users.load(SC)) != 0) link->tx_users.wait(users, SC);
  restore_port(old, link->found_tty, link->restore_low_latency);
  const int slot = link->registry_slot;
  link->registry_slot = -1;
  if (slot >= 0) port_registry[slot].fd.store(-1, SC);
  // The interrupt handler may be restoring this very number: closing it now
  // could hand the number to another file before the handler is done. The
  // handler ends the process in a moment.
  while (interrupting.load(SC)) pause();
  if (slot >= 0) port_registry[slot].taken.store(false, SC);
  close(old);
  // The node of a port that just went away is given time to settle before
  // the path is tried again.
  link->last_open_try = get_absolute_time();
  signal_fd(link->event_fd);
}

// udev actions as this link applies them. Every other action, and every event
// for another node, is ignored.
void apply_hotplug(serial *s, const char *action, const char *devnode) {
  if (action == nullptr || devnode == nullptr) return;
  const bool ours = std::strcmp(devnode, current_port(s)) == 0;
  if (std::strcmp(action, "remove") == 0) {
    if (ours) port_close(s);
  } else if (std::strcmp(action, "add") == 0) {
    // An "add" for a port we hold open changes nothing: opening again would
    // leak the descriptor we have. A hub followed by its identity may come
    // back under any name, so any tty's arrival is worth a look.
    if (s->link->fd.load(SC) < 0 && (ours || s->hub.known)) serial_connect(s);
  }
}

void apply_posted_hotplug(serial *s) {
  serial_link *link = s->link;
  if (!link->hotplug_queue_ready) return;
  void *value;
  while ((value = lfqueue_deq(&link->hotplug_queue)) != nullptr) {
    auto *event = static_cast<hotplug_event *>(value);
    apply_hotplug(s, event->action.c_str(), event->devnode.c_str());
    delete event;
  }
}

void discard_posted_hotplug(serial_link *link) {
  if (!link->hotplug_queue_ready) return;
  void *value;
  while ((value = lfqueue_deq(&link->hotplug_queue)) != nullptr)
    delete static_cast<hotplug_event *>(value);
  lfqueue_destroy(&link->hotplug_queue);
  link->hotplug_queue_ready = false;
}

bool is_control_byte(char c) { return static_cast<int8_t>(c) < 32; }

// Feeds received bytes to line assembly and queues every completed line.
void assemble_lines(serial *s, const char *bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const char b = bytes[i];
    s->line[s->line_pos] = b;
    s->line_pos = (s->line_pos + 1) % 256;
    if (b != '\n') continue;

    // Trailing control bytes (the line feed, carriage returns, 0x80-0xFF)
    // are cut; slot 0 always stays, whatever it holds.
    int slot = s->line_pos == 0 ? 255 : s->line_pos - 1;
    while (slot > 0 && is_control_byte(s->line[slot])) --slot;
    const int end = slot + 1;
    s->line[end] = '\0';
    s->line_pos = end;

    auto *entry = static_cast<serial_rx_entry *>(std::malloc(sizeof(serial_rx_entry)));
    char *text = entry != nullptr ? strdup(s->line) : nullptr;
    if (text == nullptr) {
      std::free(entry);
      print_no_memory();
      return;  // the rest of this read is lost with the line
    }
    entry->text = text;
    entry->unused = nullptr;
    // A line the queue cannot take is lost; the queue has said so.
    if (lfqueue_enq(&s->rx_queue, entry) != 0) free_rx_entry(entry);
    s->link->last_heard.store(get_absolute_time(), SC);
    s->line_pos = 0;
    signal_fd(s->link->event_fd);
  }
}

// Reads what is waiting on the port, at most SERIAL_READS_PER_PASS chunks so
// a port that never pauses cannot keep the reader from seeing its stop flag.
// Returns false when the port is gone (hang-up, read error, end of data).
bool read_port(serial *s, int fd) {
  char buffer[SERIAL_READ_CHUNK];
  bool got_any = false;
  for (int reads = 0; reads < SERIAL_READS_PER_PASS; ++reads) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      got_any = true;
      assemble_lines(s, buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    // End of data right after poll reported input means the other side has
    // gone; a failed read (EIO after an unplug) likewise.
    if (n == 0) return got_any;
    return false;
  }
  return true;
}

struct udev_watch {
  struct udev *ctx = nullptr;
  struct udev_monitor *monitor = nullptr;
  int fd = -1;

  udev_watch() {
    ctx = udev_new();
    if (ctx == nullptr) return;
    monitor = udev_monitor_new_from_netlink(ctx, "udev");
    if (monitor == nullptr) return;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
      udev_monitor_unref(monitor);
      monitor = nullptr;
      return;
    }
    fd = udev_monitor_get_fd(monitor);
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
  ~udev_watch() {
    if (monitor != nullptr) udev_monitor_unref(monitor);
    if (ctx != nullptr) udev_unref(ctx);
  }
  udev_watch(const udev_watch &) = delete;
  udev_watch &operator=(const udev_watch &) = delete;

  void receive(serial *s) {
    if (monitor == nullptr) return;
    struct udev_device *dev;
    while ((dev = udev_monitor_receive_device(monitor)) != nullptr) {
      apply_hotplug(s, udev_device_get_action(dev), udev_device_get_devnode(dev));
      udev_device_unref(dev);
    }
  }
};

void *serial_thread(void *arg) {
  auto *s = static_cast<serial *>(arg);
  serial_link *link = s->link;
  // Without a udev context or monitor the link still reads; it only loses
  // hot-plug events (the hang-up check and reopen timer remain).
  udev_watch watch;
  link->last_open_try = get_absolute_time();

  while (!link->stop.load(SC)) {
    const int port = link->fd.load(SC);
    struct pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {link->wake_fd.get(), POLLIN, 0};
    const nfds_t udev_slot = count;
    if (watch.fd >= 0) fds[count++] = {watch.fd, POLLIN, 0};
    const nfds_t port_slot = count;
    if (port >= 0) fds[count++] = {port, POLLIN, 0};

    int timeout = SERIAL_POLL_MS;
    if (port < 0) {
      const int64_t left = link->last_open_try + SERIAL_REOPEN_MS - get_absolute_time();
      timeout = static_cast<int>(std::clamp<int64_t>(left, 0, SERIAL_POLL_MS));
    }
    const int ready = poll(fds, count, timeout);
    if (ready < 0 && errno != EINTR) wait_ms(SERIAL_POLL_MS);  // never spin on a poll failure
    if (link->stop.load(SC)) break;

    if (ready > 0 && (fds[0].revents & POLLIN)) drain_fd(link->wake_fd);
    if (link->refuse_requested.load(SC)) {
      // Another hub answers here: drop it and keep it from being opened again.
      link->refused_rdev = link->open_rdev;
      port_close(s);
      link->refuse_requested.store(false, SC);
    }
    apply_posted_hotplug(s);
    if (watch.fd >= 0 && ready > 0 && (fds[udev_slot].revents & POLLIN)) watch.receive(s);

    // Only act on the descriptor that was polled: a hot-plug event above may
    // have closed it (and a reopen reused the number) in the meantime.
    if (port >= 0 && ready > 0 && link->fd.load(SC) == port) {
      const short ev = fds[port_slot].revents;
      bool alive = true;
      if (ev & POLLIN) alive = read_port(s, port);
      if (ev & (POLLHUP | POLLERR | POLLNVAL)) alive = false;
      if (!alive) port_close(s);
    }

    if (link->fd.load(SC) < 0 && get_absolute_time() - link->last_open_try >= SERIAL_REOPEN_MS) {
      link->last_open_try = get_absolute_time();
      serial_connect(s);
    }
  }
  return nullptr;
}

enum class open_result {
  opened,        // open, locked and configured
  unconfigured,  // open and locked, but the settings were refused
  missing,       // no such path (yet), or the hub is not attached
  held,          // another program has it
  unusable,      // exists but cannot be used; *error says why
  other_device,  // the path holds a device that is not the hub: left alone
};

// Which device an open may take at its path, whatever the path names.
struct open_rules {
  dev_t expected_rdev = 0;  // nonzero: only this device (the tty sysfs shows as the hub)
  dev_t refused_rdev = 0;   // nonzero: never this device (another hub's)
};

bool device_allowed(dev_t rdev, const open_rules &rules) {
  if (rules.expected_rdev != 0 && rdev != rules.expected_rdev) return false;
  return rules.refused_rdev == 0 || rdev != rules.refused_rdev;
}

// The hub's settings on top of what the port had: 8N1 at SERIAL_BAUD, no
// flow control, no line editing or translation, reads that never wait.
struct termios hub_settings(const struct termios &found) {
  struct termios tty = found;
  tty.c_cflag |= CS8;
  tty.c_cflag &= ~PARENB;
  tty.c_cflag &= ~CSTOPB;
  tty.c_cflag &= ~CRTSCTS;
  tty.c_cflag |= CREAD | CLOCAL;
  tty.c_lflag &= ~ICANON;
  tty.c_lflag &= ~(ECHO | ECHOE | ECHONL);
  tty.c_lflag &= ~ISIG;
  tty.c_iflag &= ~(IXON | IXOFF | IXANY);
  tty.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL);
  tty.c_oflag &= ~(OPOST | ONLCR);
  tty.c_cc[VTIME] = 0;
  tty.c_cc[VMIN] = 0;
  cfsetispeed(&tty, SERIAL_BAUD);
  cfsetospeed(&tty, SERIAL_BAUD);
  return tty;
}

// Notes that the hub is now at `path` (a name other than the one it had) and
// tells the user. The old name stays allocated: the action thread may hold it.
void move_to(serial *s, const char *path) {
  serial_link *link = s->link;
  const size_t n = std::strlen(path) + 1;
  std::unique_ptr<char[]> name(new (std::nothrow) char[n]);
  if (!name) {
    print_no_memory();
    return;
  }
  std::memcpy(name.get(), path, n);
  link->current_port.store(name.get(), SC);
  link->port_names.push_back(std::move(name));
  post_notice(s, "Hub came back on %s\r\n", path);
}

// Everything an open records before the descriptor is published: the hub's
// identity at its first open, the device number, the name it is open under.
void note_open(serial *s, const char *path, dev_t rdev) {
  serial_link *link = s->link;
  if (!link->identity_taken.load(SC)) {
    usb_identity_of(rdev, &s->hub);
    // The run remembers its looks from here on: a serial this look finds on
    // two devices never finds the hub alone later.
    usb_look_at_machine();
    link->identity_taken.store(true, SC);
  }
  link->open_rdev = rdev;
  if (std::strcmp(path, current_port(s)) != 0) move_to(s, path);
  link->told_stranger = false;
  link->told_several = false;
  link->opens.fetch_add(1, SC);
}

// Makes the locked terminal `fd` (found with settings `found`) exclusive and
// sets it up for the hub; enters it in the interrupt registry first. False
// when the settings were refused.
bool configure_port(serial_link *link, int fd, const struct termios &found) {
  // Keeps other users' programs out; root's opens still pass (the lock
  // turns away cooperating ones).
  ioctl(fd, TIOCEXCL);

  // USB serial adapters hold received bytes up to 16 ms unless asked not to;
  // the hub acknowledges every upload line, so that delay would multiply the
  // upload time. Drivers that refuse (a pseudo-terminal) are fine as they are.
  struct serial_struct info{};
  const bool has_serial_info = ioctl(fd, TIOCGSERIAL, &info) == 0;
  const bool set_low_latency = has_serial_info && (info.flags & ASYNC_LOW_LATENCY) == 0;
  link->found_tty = found;
  link->restore_low_latency = set_low_latency;
  // From here an interrupt puts the port back as it was found.
  link->registry_slot = registry_add(fd, found, set_low_latency);

  const struct termios tty = hub_settings(found);
  const bool configured = tcsetattr(fd, TCSANOW, &tty) == 0;
  link->tty = tty;
  if (set_low_latency) {
    info.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &info);
  }
  return configured;
}

// Opens the port at `path`, takes it for this process alone, and configures
// it. A device the rules do not allow is never opened, or closed again before
// anything is changed or written (the node may change between the look and
// the open). The descriptor is published in fd only when the port is ours.
open_result open_port(serial *s, const char *path, const open_rules &rules, int *error) {
  serial_link *link = s->link;
  struct stat node{};
  if ((rules.expected_rdev != 0 || rules.refused_rdev != 0) && stat(path, &node) == 0 &&
      !device_allowed(node.st_rdev, rules))
    return open_result::other_device;
  // O_NOCTTY: a session leader must not take the port as its controlling
  // terminal (an unplug would then SIGHUP it). O_NONBLOCK: opening a tty
  // without carrier may otherwise wait forever, and writes must be bounded.
  unique_fd port(open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!port) {
    *error = errno;
    if (errno == ENOENT) return open_result::missing;
    // A terminal another user's program made exclusive refuses the open.
    if (errno == EBUSY) return open_result::held;
    return open_result::unusable;
  }
  const int fd = port.get();
  struct stat opened{};
  if (fstat(fd, &opened) != 0) {
    *error = errno;
    return open_result::unusable;
  }
  if (!device_allowed(opened.st_rdev, rules)) return open_result::other_device;
  // The lock comes first and decides: before it nothing is changed, and only
  // its holder sets TIOCEXCL (a flag of the terminal that a loser must not
  // clear again under the winner).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = errno;
    return *error == EWOULDBLOCK ? open_result::held : open_result::unusable;
  }
  // The hub may be between two opens of another run (restarting): its lock
  // says so, where the port's own lock cannot.
  if (!hub_lock_hold(&s->held, path, opened.st_rdev)) return open_result::held;
  struct termios found{};
  if (tcgetattr(fd, &found) != 0) {
    // Not a terminal: nothing this link can talk to.
    *error = errno;
    return open_result::unusable;
  }
  const bool configured = configure_port(link, fd, found);
  note_open(s, path, opened.st_rdev);
  link->last_heard.store(get_absolute_time(), SC);
  // From here the descriptor belongs to the link (the reader closes it in
  // port_close), not to this function.
  link->fd.store(port.release(), SC);
  signal_fd(link->event_fd);
  return configured ? open_result::opened : open_result::unconfigured;
}

// Says why serial_init cannot use the port. A permission problem is the
// usual one on a fresh system, so it comes with what to do.
void print_open_failure(const char *port, open_result result, int error) {
  if (result == open_result::held) {
    print_error("ERROR: Serial port %s is in use by another program\n", port);
  } else if (error == EACCES || error == EPERM) {
    print_error(
        "ERROR: Unable to open serial port %s: %s; add your user to the dialout group "
        "(usermod -aG dialout USER) and log in again\n",
        port, std::strerror(error));
  } else if (error == ENOTTY) {
    print_error("ERROR: Unable to open serial port %s: not a terminal (%s)\n", port,
                     std::strerror(error));
  } else {
    print_error("ERROR: Unable to open serial port %s: %s\n", port, std::strerror(error));
  }
}

// Tells the user, once an outage, that the hub's old name now holds another
// device, which is why the link goes on waiting. Our own node lingering for a
// moment after an unplug is no other device.
void tell_if_other_device(serial *s, const std::vector<usb_port_match> &matches) {
  serial_link *link = s->link;
  if (link->told_stranger) return;
  const char *path = current_port(s);
  struct stat node{};
  if (stat(path, &node) != 0 || !S_ISCHR(node.st_mode)) return;
  for (const usb_port_match &m : matches)
    if (m.rdev == node.st_rdev) return;
  usb_identity other{};
  usb_identity_of(node.st_rdev, &other);
  if (!other.known && node.st_rdev == link->open_rdev) return;
  link->told_stranger = true;
  post_notice(s, "A different device (%s) is on %s; waiting for the hub (%s)\r\n",
              usb_identity_text(other).c_str(), path,
              usb_identity_text(s->hub).c_str());
}

// Forgets the device refused as another hub's once no match holds it: after
// it left, whatever comes in the hub's place is asked again.
void forget_refused_if_gone(serial_link *link, const std::vector<usb_port_match> &matches) {
  for (const usb_port_match &m : matches)
    if (m.rdev == link->refused_rdev) return;
  link->refused_rdev = 0;
}

// Opens the hub wherever its identity is now. Several matching ttys, or none,
// leave the port closed (missing) and are said once; so are look-alikes (the
// hub's serial on other devices) and a different device on the hub's old
// name. A match refused as another hub's stays closed while it is there.
// *where gets the path tried.
open_result locate_and_open(serial *s, int *error, std::string *where) {
  serial_link *link = s->link;
  std::vector<usb_port_match> look_alikes;
  const std::vector<usb_port_match> matches = usb_find_hub(s->hub, &look_alikes);
  forget_refused_if_gone(link, matches);
  const std::vector<usb_port_match> &several = matches.size() > 1 ? matches : look_alikes;
  if (matches.size() == 1 && matches.front().rdev != link->refused_rdev) {
    *where = matches.front().devnode;
    const open_result r = open_port(s, where->c_str(), {matches.front().rdev, 0}, error);
    // A node that is not (yet) the tty sysfs shows is looked at again later.
    if (r != open_result::missing && r != open_result::other_device) return r;
  } else if (several.size() > 1 && !link->told_several) {
    link->told_several = true;
    std::string names;
    for (const usb_port_match &m : several) names += (names.empty() ? "" : ", ") + m.devnode;
    post_notice(s, "Several devices match the hub (%s): %s; waiting until only one does\r\n",
                usb_identity_text(s->hub).c_str(), names.c_str());
  }
  tell_if_other_device(s, matches);
  return open_result::missing;
}

// Opens a port without USB identity at its path again, unless the path still
// holds the device refused as another hub's.
open_result reopen_path(serial *s, int *error) {
  serial_link *link = s->link;
  const char *path = current_port(s);
  struct stat node{};
  // Once the refused device has left the path, whatever comes is looked at.
  if (link->refused_rdev != 0 && (stat(path, &node) != 0 || node.st_rdev != link->refused_rdev))
    link->refused_rdev = 0;
  return open_port(s, path, {0, link->refused_rdev}, error);
}

// Releases whatever serial_init set up in the link, however far it got (the
// thread is already gone or was never started): the one way back for every
// failure of serial_init and for serial_free. The eventfds close with the
// link record.
void release_link(serial *s) {
  serial_link *link = s->link;
  port_close(s);
  if (link->rx_queue_ready) {
    void *value;
    while ((value = lfqueue_deq(&s->rx_queue)) != nullptr)
      free_rx_entry(static_cast<serial_rx_entry *>(value));
    lfqueue_destroy(&s->rx_queue);
    link->rx_queue_ready = false;
  }
  discard_posted_hotplug(link);
  discard_notices(link);
  delete link;
  s->link = nullptr;
}

// serial_init's steps after the link record exists, in order: the eventfds,
// both queues, the first open, the reader. Each failure says what failed and
// returns false, leaving what was set up for release_link.
bool start_link(serial *s) {
  serial_link *link = s->link;
  link->event_fd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  link->wake_fd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!link->event_fd || !link->wake_fd) {
    print_error("ERROR: Unable to create the serial link's events: %s\n", std::strerror(errno));
    return false;
  }
  if (lfqueue_init(&s->rx_queue) != 0) {
    print_no_memory();
    return false;
  }
  link->rx_queue_ready = true;
  if (lfqueue_init(&link->hotplug_queue) != 0) {
    print_no_memory();
    return false;
  }
  link->hotplug_queue_ready = true;
  if (lfqueue_init(&link->notice_queue) != 0) {
    print_no_memory();
    return false;
  }
  link->notice_queue_ready = true;

  // A missing port (or a hub not attached yet) is no failure: the reader
  // opens it when it appears. One that exists but is not ours to use fails at
  // once, before any byte.
  int error = 0;
  std::string where = s->port;
  const open_result opened = s->hub.known ? locate_and_open(s, &error, &where)
                                          : open_port(s, s->port, {}, &error);
  if (opened == open_result::held || opened == open_result::unusable) {
    print_open_failure(where.c_str(), opened, error);
    return false;
  }

  const int err = pthread_create(&link->thread, nullptr, serial_thread, s);
  if (err != 0) {
    // A link without its reader would never receive a line; say so here
    // instead of letting detection time out for no visible reason.
    print_error("ERROR: Unable to start the serial reader: %s\n", std::strerror(err));
    return false;
  }
  link->thread_started.store(true, SC);
  return true;
}

// serial_init and serial_init_following: `follow` is the identity to look
// for, null (or not known) to take it at the first open.
int init_link(serial *s, const char *port_path, const usb_identity *follow) {
  // Copied first: `follow` may be this record's own identity.
  const usb_identity hub = follow != nullptr && follow->known ? *follow : usb_identity{};
  // The record may hold atomics from an earlier life, so it is reset field by
  // field rather than overwritten with zero bytes.
  s->ready = 0;
  std::memset(s->port, 0, sizeof s->port);
  std::strncpy(s->port, port_path, sizeof s->port - 1);
  std::memset(s->line, 0, sizeof s->line);
  s->line_pos = 0;
  s->link = nullptr;
  s->hub = hub;

  auto *link = new (std::nothrow) serial_link;
  if (link == nullptr) {
    print_no_memory();
    return 0;
  }
  s->link = link;
  link->current_port.store(s->port, SC);
  link->identity_taken.store(hub.known != 0, SC);
  if (!start_link(s)) {
    release_link(s);
    return 0;
  }
  s->ready = 1;
  return 1;
}

}  // namespace

int serial_init(serial *s, const char *port_path) { return init_link(s, port_path, nullptr); }

int serial_init_following(serial *s, const char *port_path, const usb_identity *hub) {
  return init_link(s, port_path, hub);
}

int serial_connect(serial *s) {
  int error = 0;
  std::string where;
  const open_result r = s->hub.known ? locate_and_open(s, &error, &where) : reopen_path(s, &error);
  return r == open_result::opened ? 1 : 0;
}

int serial_tx(serial *s, const char *text) {
  serial_link *link = s->link;
  if (link == nullptr) return 0;
  // Holding tx_users keeps the reader from closing this descriptor under us.
  link->tx_users.fetch_add(1, SC);
  const int fd = link->fd.load(SC);
  int result = 0;
  if (fd >= 0) {
    const char *p = text;
    size_t left = std::strlen(text);
    int64_t last_progress = get_absolute_time();
    result = 1;
    while (left > 0) {
      const ssize_t n = write(fd, p, left);
      if (n > 0) {
        p += n;
        left -= static_cast<size_t>(n);
        last_progress = get_absolute_time();
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        result = 0;
        break;
      }
      // The port's buffer is full: wait for room, but not forever (a port
      // nobody drains must not hang the caller; a slow one is waited for).
      const int64_t waited = get_absolute_time() - last_progress;
      if (waited >= SERIAL_TX_STALL_MS) {
        result = 0;
        break;
      }
      struct pollfd pfd = {fd, POLLOUT, 0};
      const int r = poll(&pfd, 1, static_cast<int>(SERIAL_TX_STALL_MS - waited));
      if (r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        result = 0;
        break;
      }
    }
  }
  if (link->tx_users.fetch_sub(1, SC) == 1) link->tx_users.notify_all();
  return result;
}

int serial_rx_pop(serial *s, char *destination, int length) {
  if (lfqueue_size(&s->rx_queue) == 0) return 0;
  auto *entry = static_cast<serial_rx_entry *>(lfqueue_deq(&s->rx_queue));
  if (entry == nullptr) return 0;
  const char *text = entry->text;
  if (std::strncmp(text, SERIAL_PROMPT_PREFIX, 2) == 0) text += 2;
  if (length > 0) std::strncpy(destination, text, static_cast<size_t>(length));
  free_rx_entry(entry);
  return 1;
}

int serial_wait(serial *s, int64_t timeout_ms) {
  serial_link *link = s->link;
  if (link == nullptr || !link->event_fd) {
    wait_ms(timeout_ms);
    return 0;
  }
  // A line already queued (its signal maybe drained by an earlier wait)
  // needs no sleep at all.
  if (lfqueue_size(&s->rx_queue) > 0) return 1;
  const int64_t deadline = get_absolute_time() + std::max<int64_t>(timeout_ms, 0);
  for (;;) {
    const int64_t left = std::max<int64_t>(deadline - get_absolute_time(), 0);
    struct pollfd pfd = {link->event_fd.get(), POLLIN, 0};
    const int r = poll(&pfd, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
    if (r > 0) {
      drain_fd(link->event_fd);
      return 1;
    }
    if (r == 0 || errno != EINTR) {
      if (get_absolute_time() >= deadline) return 0;
      if (r < 0) {  // poll itself failed: sleep out the time rather than spin
        wait_ms(deadline - get_absolute_time());
        return 0;
      }
    }
  }
}

int64_t serial_last_heard(serial *s) {
  return s != nullptr && s->link != nullptr ? s->link->last_heard.load(SC) : 0;
}

int serial_available(serial *s) {
  return s->link != nullptr && s->link->fd.load(SC) >= 0 ? 1 : 0;
}

std::string serial_port_now(serial *s) {
  return s != nullptr && s->link != nullptr ? std::string(current_port(s)) : std::string();
}

usb_identity serial_hub_identity(serial *s) {
  if (s == nullptr) return usb_identity{};
  // Before the first open the reader may still be writing it.
  if (s->link != nullptr && !s->link->identity_taken.load(SC)) return usb_identity{};
  return s->hub;
}

uint32_t serial_open_count(serial *s) {
  return s != nullptr && s->link != nullptr ? s->link->opens.load(SC) : 0;
}

int serial_take_notice(serial *s, char *destination, int length) {
  serial_link *link = s->link;
  if (link == nullptr || !link->notice_queue_ready || lfqueue_size(&link->notice_queue) == 0)
    return 0;
  auto *text = static_cast<char *>(lfqueue_deq(&link->notice_queue));
  if (text == nullptr) return 0;
  if (length > 0) std::strncpy(destination, text, static_cast<size_t>(length));
  std::free(text);
  return 1;
}

void serial_refuse_port(serial *s) {
  serial_link *link = s->link;
  if (link == nullptr || !link->thread_started.load(SC)) return;
  link->refuse_requested.store(true, SC);
  signal_fd(link->wake_fd);
  const int64_t start = get_absolute_time();
  while (link->refuse_requested.load(SC) && !time_reached(start, SERIAL_REFUSE_WAIT_MS)) {
    // What the other hub says is nobody's answer; dropping it lets the wait
    // sleep instead of returning for queued lines.
    void *value;
    while ((value = lfqueue_deq(&s->rx_queue)) != nullptr)
      free_rx_entry(static_cast<serial_rx_entry *>(value));
    serial_wait(s, SERIAL_POLL_MS);
  }
}

void serial_stop(serial *s) {
  if (s->link == nullptr) return;
  s->link->stop.store(true, SC);
  signal_fd(s->link->wake_fd);
}

void serial_free(serial *s) {
  serial_link *link = s->link;
  if (link == nullptr) return;
  if (link->thread_started.load(SC)) {
    link->stop.store(true, SC);
    signal_fd(link->wake_fd);
    pthread_join(link->thread, nullptr);
    link->thread_started.store(false, SC);
  }
  release_link(s);
  s->ready = 0;
}

char *serial_find_ports() { return serial_find_ports_in("/dev"); }

char *serial_find_ports_in(const char *dir) {
  char *data = nullptr;
  char *end = nullptr;
  if (!string_list_init(&data, &end)) return nullptr;
  DIR *d = opendir(dir);
  if (d == nullptr) return data;
  struct dirent *entry;
  while ((entry = readdir(d)) != nullptr) {
    if (std::strncmp(entry->d_name, "ttyUSB", 6) != 0) continue;
    const std::string path = std::string(dir) + "/" + entry->d_name;
    // A port path holds at most 255 characters; a longer one could never be
    // opened through the link anyway.
    if (path.size() > 255) continue;
    if (!string_list_add(&data, &end, path.c_str())) {
      closedir(d);
      string_list_free(data);
      return nullptr;
    }
  }
  closedir(d);
  return data;
}

void serial_handle_hotplug(serial *s, const char *action, const char *devnode) {
  serial_link *link = s->link;
  if (link == nullptr || action == nullptr || devnode == nullptr) return;
  const bool reader_running = link->thread_started.load(SC) && !link->stop.load(SC) &&
                              !pthread_equal(pthread_self(), link->thread);
  if (!reader_running) {
    apply_hotplug(s, action, devnode);
    return;
  }
  // The descriptor belongs to the reader: hand the event to it, so it never
  // polls a descriptor another thread has just closed.
  auto *event = new (std::nothrow) hotplug_event{action, devnode};
  if (event == nullptr) {
    print_no_memory();
    return;
  }
  if (lfqueue_enq(&link->hotplug_queue, event) != 0) {
    delete event;
    return;
  }
  signal_fd(link->wake_fd);
}

void serial_exit_on_interrupt() {
  struct sigaction action{};
  action.sa_handler = on_interrupt;
  // One handler at a time: a second signal waits for the exit.
  sigemptyset(&action.sa_mask);
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signo);
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous{};
    // A signal ignored by whoever started us (nohup, a background job) is
    // meant to stay ignored.
    if (sigaction(signo, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signo, &action, nullptr);
  }
}
