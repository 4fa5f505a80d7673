#include "hub_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

// Lock files are readable by every user: another user's run must be able to
// open one to lock it (flock needs no write access), whatever our umask.
constexpr mode_t LOCK_FILE_MODE = 0644;
// A key longer than this keeps its start and gets a hash of the whole, so a
// file name stays far below NAME_MAX (255) with its prefix and suffix.
constexpr size_t KEY_KEPT_CHARS = 150;
// A holder that removes its file between our open and our lock makes us try
// again; more than this many times in a row is a folder we cannot use.
constexpr int TAKE_ATTEMPTS = 8;

// `text` with every character that is unsafe in a file name written %XX.
std::string file_name_safe(const std::string &text) {
  std::string out;
  for (const unsigned char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

// Opens the lock file at `path` read-only, making it when missing. Without
// O_CREAT first: a kernel protecting sticky folders (fs.protected_regular)
// refuses O_CREAT on another user's file there, even when it exists.
// O_NONBLOCK: a FIFO planted under the name must not hang the open.
int open_lock_file(const std::string &path) {
  constexpr int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = open(path.c_str(), flags);
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = open(path.c_str(), flags | O_CREAT | O_EXCL, LOCK_FILE_MODE);
  if (fd >= 0) fchmod(fd, LOCK_FILE_MODE);
  return fd;
}

// True when `fd` is still the file at `path`: its holder may have removed it
// between our open and our lock, and a lock on a removed file guards nothing.
bool still_at_path(int fd, const std::string &path) {
  struct stat opened{};
  struct stat named{};
  return fstat(fd, &opened) == 0 && lstat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// One try at the file: taken (fd holds it), busy, unusable, or removed under
// us (*again).
hub_lock_result try_lock_file(const std::string &path, unique_fd *fd, bool *again) {
  *again = false;
  unique_fd file(open_lock_file(path));
  if (!file) {
    *again = errno == EEXIST;  // made by another run between our two opens
    return hub_lock_result::unusable;
  }
  struct stat st{};
  if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return hub_lock_result::unusable;
  if (flock(file.get(), LOCK_EX | LOCK_NB) != 0)
    return errno == EWOULDBLOCK ? hub_lock_result::busy : hub_lock_result::unusable;
  if (!still_at_path(file.get(), path)) {
    *again = true;
    return hub_lock_result::unusable;
  }
  *fd = std::move(file);
  return hub_lock_result::taken;
}

// The number of the mount namespace this process sees /dev and /sys
// through ("" when /proc does not say): a port's name and a USB identity
// mean one device only within it.
std::string mount_namespace() {
  char link[64];
  const ssize_t n = readlink("/proc/self/ns/mnt", link, sizeof link - 1);
  if (n <= 0) return "";
  std::string digits;
  for (ssize_t i = 0; i < n; ++i)
    if (link[i] >= '0' && link[i] <= '9') digits += link[i];
  return digits;
}

}  // namespace

hub_lock::~hub_lock() { hub_lock_release(this); }

std::string hub_lock_key(const usb_identity &id, const char *port) {
  std::string key;
  if (id.known) {
    char fields[64];
    std::snprintf(fields, sizeof fields, "-if%d-%04x-%04x", static_cast<int>(id.interface),
                  id.vendor, id.product);
    key = "usb-" + file_name_safe(id.usb_path) + fields +
          (id.has_serial ? "-" + file_name_safe(id.serial) : std::string());
  } else {
    key = "port-" + file_name_safe(port != nullptr ? port : "");
  }
  if (key.size() <= KEY_KEPT_CHARS) return key;
  char hash[16];
  std::snprintf(hash, sizeof hash, "-%08x", short_hash(key.c_str()));
  return key.substr(0, KEY_KEPT_CHARS) + hash;
}

hub_lock_result hub_lock_take(hub_lock *lock, const char *folder, const std::string &key) {
  if (lock->fd && lock->key == key) return hub_lock_result::taken;
  const std::string path = std::string(folder) + "/trelk-" + key + ".lock";
  for (int attempt = 0; attempt < TAKE_ATTEMPTS; ++attempt) {
    unique_fd fd;
    bool again = false;
    const hub_lock_result result = try_lock_file(path, &fd, &again);
    if (again) continue;
    if (result != hub_lock_result::taken) return result;
    // The new hub's lock first, then the old one goes: never a moment with neither.
    hub_lock_release(lock);
    lock->fd = std::move(fd);
    lock->key = key;
    lock->path = path;
    return result;
  }
  return hub_lock_result::unusable;
}

void hub_lock_release(hub_lock *lock) {
  if (!lock->fd) return;
  // Removed while still locked: a run that opened the file a moment ago sees
  // it gone once it has the lock and tries again on a new file. Another
  // user's file in a sticky folder stays (we may not remove it); harmless.
  unlink(lock->path.c_str());
  lock->fd.reset();
  lock->key.clear();
  lock->path.clear();
}

bool hub_lock_hold(hub_lock *lock, const char *port, dev_t rdev) {
  usb_identity id{};
  usb_identity_of(rdev, &id);
  const std::string space = mount_namespace();
  const std::string key = (space.empty() ? "" : "ns" + space + "-") + hub_lock_key(id, port);
  return hub_lock_take(lock, HUB_LOCK_FOLDER, key) != hub_lock_result::busy;
}
