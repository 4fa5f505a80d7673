#pragma once
// Holding a hub across its restarts: one lock file per hub in the run-time
// lock folder.
//
// A port's own lock (flock and TIOCEXCL, serial.h) lasts only while the port
// is open. A hub that restarts (the 25 s switch into its bootloaders, the
// restart after an update) is away for a while with its port closed, and a
// second trelk or trelk-fleet started then would take it when it comes back
// and talk to it at the same time as the first. So every open of a port also
// takes a lock that belongs to the hub rather than to a descriptor:
// flock(LOCK_EX|LOCK_NB) on HUB_LOCK_FOLDER/trelk-<key>.lock, kept by the
// serial record until the record goes (or opens another hub).
//
// The key is what stays the same while a hub restarts in its socket: the USB
// socket, interface, vendor, product and serial of the device behind the tty
// (usb.h); a port without USB identity (a pseudo-terminal, a built-in UART)
// is keyed by its name as given, which is also how such a port is opened
// again. Not by the device behind the name: a pseudo-terminal's number goes
// to the next one made as soon as it closes, and a lock held across a
// restart must not turn away an unrelated port that got the number. Both
// mean one device only within the mount namespace that sees them (a
// container's or a test stage's /dev and /sys may be views of their own), so
// hub_lock_hold puts the namespace's number in front.
//
// The folder is shared by every user: a lock file is made readable by all
// (flock needs only a read-only descriptor), never opened through a link or
// as anything but a regular file, and removed by its holder when done. A
// folder that is missing or that this user may not use (a container without
// /run/lock, a system where it is root's alone, a lock file another user made
// unreadable) is no error: the run goes on guarded by the port's own lock
// alone, as without this module, and says nothing, because the user cannot
// fix it and an update must not fail for it.
//
// Threads: a record is used by one thread at a time (the serial link's opener).

#include <sys/types.h>

#include <string>

#include "functions.h"
#include "usb.h"

// Where hub locks live: the run-time lock folder, writable by all on Debian.
inline constexpr const char *HUB_LOCK_FOLDER = "/run/lock";

// The lock a serial record holds. Destroying it releases the lock and
// removes its file.
struct hub_lock {
  unique_fd fd;      // the locked file; closed: nothing held
  std::string key;   // what is held ("" when nothing)
  std::string path;  // the lock file

  hub_lock() = default;
  ~hub_lock();
  hub_lock(const hub_lock &) = delete;
  hub_lock &operator=(const hub_lock &) = delete;
};

// The key of a device with identity `id` opened at `port`: the identity's
// fields when known, else the port's name. Only characters safe in a file
// name; long keys keep their start and a hash of the whole. Pure.
std::string hub_lock_key(const usb_identity &id, const char *port);

enum class hub_lock_result {
  taken,     // held now (or held already by this record)
  busy,      // another holder has it: the hub is someone else's
  unusable,  // the folder or file cannot be used here: nothing held
};

// Holds the lock of `key` in `folder` for `lock`. A record that holds it
// already keeps it; one that holds another key takes the new one first and
// then releases the old. Never blocks. busy leaves the record as it was.
hub_lock_result hub_lock_take(hub_lock *lock, const char *folder, const std::string &key);

// Releases what the record holds (removing its file); nothing held is fine.
void hub_lock_release(hub_lock *lock);

// What an open of the device `rdev` at `port` does: holds its hub's lock in
// HUB_LOCK_FOLDER, keyed "ns<mount namespace>-<hub_lock_key>". False only when another holder has it; an unusable
// folder is true (see above).
bool hub_lock_hold(hub_lock *lock, const char *port, dev_t rdev);
