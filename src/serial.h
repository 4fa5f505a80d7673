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

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <termios.h>

#include "lfqueue.h"

// The inner record, allocated by serial_init and released by serial_free.
// Only the reader thread changes fd after serial_init; it closes a descriptor
// only once no serial_tx holds it (tx_users), so a write never lands on a
// reused descriptor number.
struct serial_link {
  std::atomic<int> fd{-1};        // the port; -1 while closed
  struct termios tty{};           // settings as read and changed by serial_connect
  pthread_t thread{};
  std::atomic<bool> thread_started{false};
  std::atomic<bool> stop{false};  // raised to make the reader leave its loop
  int event_fd{-1};               // eventfd the reader signals; see serial_wait
  int wake_fd{-1};                // eventfd that wakes the reader (stop, posted events)
  std::atomic<int> tx_users{0};   // serial_tx calls holding the current fd
  lfqueue hotplug_queue{};        // events posted by serial_handle_hotplug
  bool hotplug_queue_ready{false};
  int64_t last_open_try{0};       // reader only: when the port was last closed or tried
  // When a line was last queued or the port last (re)opened (monotonic ms):
  // how long the hub has said nothing, for the upload's silence bound.
  std::atomic<int64_t> last_heard{0};
};

struct serial {
  uint8_t ready;        // 1 after a successful serial_init
  char port[256];       // port path, at most 255 characters
  char line[256];       // reader thread's line assembly buffer
  int32_t line_pos;     // next write slot in `line`, 0..255
  lfqueue rx_queue;     // received lines (serial_rx_entry *), oldest first
  serial_link *link;
};

// One received line in the queue: an owned heap copy of the text.
struct serial_rx_entry {
  char *text;
  void *unused;  // always null
};

// Sets up the record in place: copies the path, allocates the link, opens the
// port if it can (a missing port is no failure: the reader opens it when it
// appears) and starts the reader thread. Returns 1 and sets ready; 0 after
// an "ERROR: ..." message when memory ran out ("ERROR: Unable to allocate
// memory"), or the link's eventfds or reader thread could not be created
// (then nothing is left allocated and link is null).
int serial_init(serial *s, const char *port_path);

// Opens and configures the port (O_RDWR|O_NOCTTY|O_CLOEXEC|O_NONBLOCK, raw
// 115200 8N1, low latency where the driver allows). Returns 1 when opened and
// configured; a path that is not a terminal is closed again (0). Called by
// serial_init and then only by the reader thread; declared for tests.
int serial_connect(serial *s);

// Writes the whole text (a partial write is continued). Returns 1 when every
// byte was written, 0 when the port is closed, a write failed, or the port
// took no bytes for 1 s (a port nobody drains never blocks the caller).
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

// Raises the stop flag and returns at once; nothing is closed or released.
void serial_stop(serial *s);

// Stops and joins the reader thread, closes the port, discards queued lines
// and releases the link and the queue's nodes; ready becomes 0. Returns at
// once when link is null. The record may then go to serial_init again.
void serial_free(serial *s);

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
