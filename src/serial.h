#pragma once
// The serial link to one hub.
//
// Opens the hub's USB serial port at 115200 baud 8N1 raw and runs a reader
// thread that assembles received bytes into lines and hands each line to the
// action thread through a lock-free queue. The same thread watches udev (and
// the port's own hang-up) for the port going away and coming back, closing and
// reopening it, so an upload survives the hub being unplugged. Apart from
// dropping a leading ">>" from received lines it knows nothing of the hub
// protocol.
//
// Threads: every function here is for the action thread (the link's owner);
// the reader thread is internal. A link goes idle -> serial_init -> ready ->
// (serial_stop) -> serial_free -> idle, and may be initialised again.
//
// Exclusive use: every open of the port (first open, reopen after an unplug,
// the reconnect after a bootloader switch) first takes flock(LOCK_EX|LOCK_NB)
// on it, then sets TIOCEXCL, before any setting is changed or byte written.
// Two programs reading one port steal each other's answers, so a port that
// another program holds is never used. The lock decides between two openers
// racing for the port (only its winner sets TIOCEXCL, which is a flag of the
// terminal, not of a descriptor: a loser clearing it would unguard the
// winner). TIOCEXCL also turns away other users' plain opens (EBUSY), except
// root's. Then the open takes the hub's lock (hub_lock.h), which the record
// keeps after serial_free: a hub restarting with its port closed is not
// taken by another trelk or trelk-fleet meanwhile. A hub whose lock another
// holds is refused like a held port.
//
// The port is left as it was found: the terminal settings and the low-latency
// flag are restored and TIOCEXCL is cleared whenever the link closes the port
// (serial_free, an unplug) and on the interrupt exit.
//
// A hub is not a port path. USB re-enumerates: a hub that restarts into its
// bootloaders or whose cable is pulled comes back under whatever ttyUSB name
// the kernel hands out next, and another device may get its old name. So the
// first open of a port records what USB says about the port's device (its
// usb_identity, usb.h), and every later open (the reopen after an unplug, the
// reconnect after a bootloader switch) looks for the tty with that identity,
// wherever it is, and never opens a device with another identity. A port
// without a USB parent (a pseudo-terminal, a built-in UART) has no identity
// and is reopened by its path, as it always was.
//
// Opening is not proof: the identity only says where to look (a bridge
// without a usable serial is found by its socket, where another hub may sit
// now). The link knows nothing of hubs, so it only counts its opens
// (serial_open_count); its user lets nothing but the detection's probes go
// to a port that came back until the hub there has shown itself
// (device_hub_shows_itself, device.h), and drops one where another hub, or
// nothing, answers (serial_refuse_port).

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <pthread.h>
#include <string>
#include <termios.h>
#include <vector>

#include "functions.h"
#include "hub_lock.h"
#include "lfqueue.h"
#include "usb.h"

// The inner record, allocated by serial_init and released by serial_free.
// Only the reader thread changes fd after serial_init; it closes a descriptor
// only once no serial_tx holds it (tx_users), so a write never lands on a
// reused descriptor number.
struct serial_link {
  std::atomic<int> fd{-1};        // the port; -1 while closed
  struct termios tty{};           // settings as changed by serial_connect
  struct termios found_tty{};     // settings as serial_connect found them, restored at close
  bool restore_low_latency{false};  // serial_connect turned low latency on: turn it off at close
  pthread_t thread{};
  std::atomic<bool> thread_started{false};
  std::atomic<bool> stop{false};  // raised to make the reader leave its loop
  unique_fd event_fd;             // eventfd the reader signals; see serial_wait
  unique_fd wake_fd;              // eventfd that wakes the reader (stop, posted events)
  std::atomic<int> tx_users{0};   // serial_tx calls holding the current fd
  lfqueue hotplug_queue{};        // events posted by serial_handle_hotplug
  bool hotplug_queue_ready{false};
  bool rx_queue_ready{false};     // serial::rx_queue was initialised (released at serial_free)
  int64_t last_open_try{0};       // reader only: when the port was last closed or tried
  int registry_slot{-1};          // the open port's entry for the interrupt exit; -1 none
  // When a line was last queued or the port last (re)opened (monotonic ms):
  // how long the hub has said nothing, for the upload's silence bound.
  std::atomic<int64_t> last_heard{0};

  // Following the hub. The reader is the only writer of everything here but
  // the atomics the action thread sets (refuse_requested).
  std::atomic<const char *> current_port{nullptr};  // where the hub is (or was last) open
  std::vector<std::unique_ptr<char[]>> port_names;  // every path current_port named; freed with the link
  std::atomic<uint32_t> opens{0};                   // successful opens so far
  std::atomic<bool> identity_taken{false};          // serial::hub holds the hub's identity
  dev_t open_rdev{0};                               // device number of the port open now or last
  std::atomic<bool> refuse_requested{false};        // serial_refuse_port asked to drop this device
  dev_t refused_rdev{0};                            // another hub's device: not opened again at the path
  bool told_stranger{false};                        // this outage's notices, said once each
  bool told_several{false};
  lfqueue notice_queue{};                           // notices (heap texts) for the action thread
  bool notice_queue_ready{false};
};

struct serial {
  uint8_t ready;        // 1 after a successful serial_init
  char port[256];       // port path, at most 255 characters
  char line[256];       // reader thread's line assembly buffer
  int32_t line_pos;     // next write slot in `line`, 0..255
  lfqueue rx_queue;     // received lines (serial_rx_entry *), oldest first
  serial_link *link;
  // The hub's identity: taken at the link's first open (serial_init), or the
  // one it was told to follow (serial_init_following). Survives serial_free,
  // so a bootloader switch can follow the hub it switched.
  usb_identity hub;
  // The hub's lock (hub_lock.h), taken by every open: it outlives the link,
  // so the hub stays this record's while it restarts with its port closed,
  // and goes with the record (or when it opens another hub).
  hub_lock held;
};

// One received line in the queue: an owned heap copy of the text.
struct serial_rx_entry {
  char *text;
  void *unused;  // always null
};

// Sets up the record in place: copies the path, allocates the link, opens the
// port and starts the reader thread. Returns 1 and sets ready. A path that
// does not exist is no failure: the reader opens it when it appears (a hub
// may be on its way). Returns 0, with nothing left allocated and link null:
//  - when the port is held by another program, after "ERROR: Serial port %s
//    is in use by another program";
//  - when the path exists but cannot be used (permission, no device behind
//    the node, not a terminal...), after "ERROR: Unable to open serial port
//    %s: <reason>" (for a permission problem, with what to do about it);
//  - when memory ran out ("ERROR: Unable to allocate memory"), or the link's
//    eventfds or reader thread could not be created.
// The caller prints its own connect message afterwards. Nothing was written
// to a port that was refused. The same holds for the reconnect after a
// bootloader switch (serial_init again on the same record): a port taken by
// another program or unusable by then fails it, rather than waiting on a hub
// that someone else is now talking to.
int serial_init(serial *s, const char *port_path);

// serial_init for a hub whose identity is known (hub->known): the port is
// looked for by that identity, wherever it is now, instead of at
// `port_path`, which only says where it was; a device with another identity
// is never opened. Results and messages as serial_init; a hub that is not
// attached now is no failure (the reader keeps looking every 500 ms and on
// udev "add"). Without hub->known it is serial_init.
int serial_init_following(serial *s, const char *port_path, const usb_identity *hub);

// Opens the port again: a hub with a USB identity wherever that identity is
// now, a port without one at its path (unless the device there was refused
// as another hub's). Opening is open, flock and TIOCEXCL, then raw 115200
// 8N1 and low latency where the driver allows (O_RDWR|O_NOCTTY|O_CLOEXEC|
// O_NONBLOCK). Returns 1 when opened and configured; 0 when the hub is
// missing, another device sits where it was, the port is held by another
// program or is not a terminal (nothing is left open and nothing written; the
// reader tries again every 500 ms, so a reopen keeps waiting). Reader thread;
// declared for tests.
int serial_connect(serial *s);

// Writes the whole text (a partial write is continued). Returns 1 when every
// byte was written, 0 when the port is closed, a write failed, or the port
// took no byte for 1 s (a port nobody drains never blocks the caller; one
// that drains slowly but steadily is waited for).
int serial_tx(serial *s, const char *text);

// Takes the oldest received line, drops a leading ">>", copies it with strncpy
// semantics into `destination` of `length` bytes. Returns 1, or 0 at once when
// no line is queued (destination untouched). Never blocks.
int serial_rx_pop(serial *s, char *destination, int length);

// Sleeps until the reader thread signals (a line was queued, or the port was
// closed or opened) or `timeout_ms` pass. Returns 1 when signalled, 0 on
// timeout. Lines queued before the call make it return at once. This is how
// the action thread waits instead of spinning on serial_rx_pop: pop until
// empty, then serial_wait (or test serial_available, then serial_wait); a line
// or port change after the last pop or test makes the wait return at once.
// May return 1 with nothing new (an old signal); callers just look again.
int serial_wait(serial *s, int64_t timeout_ms);

// 1 while the port is open, else 0.
int serial_available(serial *s);

// When the reader last queued a line or (re)opened the port, in
// get_absolute_time() milliseconds; 0 before either happened or without a
// link. Lets the action thread see a hub that has gone silent on an open port.
int64_t serial_last_heard(serial *s);

// The path the hub is open on now, or was open on last: the path given to
// serial_init until the hub comes back under another name. Empty without a
// link. Any time from the action thread.
std::string serial_port_now(serial *s);

// The hub's identity as the link has it: what its first open found, or what
// it was told to follow. known is 0 for a port without USB identity and
// before the first open.
usb_identity serial_hub_identity(serial *s);

// How many times the link has opened the port. A change tells the caller the
// port went away and came back, even when it never saw it closed.
uint32_t serial_open_count(serial *s);

// Takes the oldest of the link's notices for the user: "Hub came back on
// PATH", a different device on the hub's port, several devices matching the
// hub (each once per outage, each ending in "\r\n"). Returns 1 and copies it
// as serial_rx_pop does, 0 when there is none. The caller prints them, so
// they fall in place among its own lines.
int serial_take_notice(serial *s, char *destination, int length);
// Longest notice, terminator included: two identities and two paths.
inline constexpr size_t SERIAL_NOTICE_CAPACITY = 1024;

// Closes the port because what answers on it is not the hub (found out by
// the hub protocol: another hub, or nothing at all) and keeps that device
// from being opened again while it is there (at the path, or as the hub's
// USB match): the link waits for another device to take its place. Returns once the port is closed (within a second). Action
// thread; nothing is written.
void serial_refuse_port(serial *s);

// Raises the stop flag and returns at once; nothing is closed or released.
void serial_stop(serial *s);

// Stops and joins the reader thread, restores the port's settings as they
// were found, closes it, discards queued lines and releases the link and the
// queue's nodes; ready becomes 0. Returns at once when link is null. The
// record may then go to serial_init again.
void serial_free(serial *s);

// Makes SIGINT, SIGTERM and SIGHUP end the process within a second: every
// port the process holds open is restored (settings, low-latency flag,
// TIOCEXCL cleared), the line
//   "ERROR: Interrupted: the update is incomplete and the hub's boards may be
//   left in bootloader mode; run the same command again to complete it"
// goes to standard error, and the process exits with status 128 + the signal
// number. Nothing printed claims success; running the same command again
// completes the update (a hub left in bootloader mode is found and updated
// from the start). A signal that was ignored when this is called stays
// ignored (nohup, background jobs of a non-interactive shell). Call once from
// the main thread before any port is opened; a child process calls it for
// itself. The handler uses only async-signal-safe calls.
void serial_exit_on_interrupt();

// The /dev/ttyUSB* paths in directory order as a string list (functions.h),
// empty when there are none or /dev cannot be read; null only when memory ran
// out. The caller releases it with string_list_free.
char *serial_find_ports();
// The same over another directory (test seam): paths are "<dir>/<name>".
char *serial_find_ports_in(const char *dir);

// Hot-plug handling of one udev event, as the reader thread applies it: for
// devnode equal to the port path, "remove" closes the port and "add" opens it
// (when closed); other actions and other nodes change nothing. Called from
// another thread (tests) while the reader runs, the event is handed to the
// reader, which applies it at once; serial_wait wakes when the port closes or
// opens.
void serial_handle_hotplug(serial *s, const char *action, const char *devnode);
