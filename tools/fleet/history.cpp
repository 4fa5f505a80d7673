#include "history.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>
#include <nlohmann/json.hpp>

#include "files.h"
#include "functions.h"
#include "report.h"
#include "timer.h"
#include "usb.h"

namespace {

// Between two tries for another run's lock: it holds it for one line.
constexpr int LOCK_RETRY_MS = 20;

// Takes the exclusive lock within HISTORY_LOCK_WAIT_MS. True when held.
bool lock_within_bound(int fd) {
  const int64_t start = get_absolute_time();
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (time_reached(start, HISTORY_LOCK_WAIT_MS)) return false;
    usleep(LOCK_RETRY_MS * 1000);
  }
}

// Whether the file ends inside a line: one cut short by a power cut or a
// full disk. The next line goes after a line feed of its own, so that the
// cut line alone is lost. False when it cannot be read (opened write-only).
bool ends_in_a_cut_line(int fd) {
  struct stat st {};
  char last = '\n';
  return fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
         last != '\n';
}

std::string text_field(const nlohmann::json &object, const char *key) {
  const auto field = object.find(key);
  return field != object.end() && field->is_string() ? field->get<std::string>() : "";
}

// The fields of one history line; an entry without time or result is none.
bool parse_entry(const std::string &line, history_entry *entry) {
  const nlohmann::json object = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) return false;
  *entry = {text_field(object, "model"),      text_field(object, "boot_serial"),
            text_field(object, "firmware_serial"), text_field(object, "usb_serial"),
            text_field(object, "time"),       text_field(object, "result")};
  return !entry->time.empty() && !entry->result.empty();
}

// Whether each hub's USB serial tells it apart: present, no placeholder,
// and no other listed hub's (cloned bridges share theirs).
std::vector<bool> usable_usb_serials(const std::vector<fleet_hub> &hubs) {
  std::vector<bool> usable(hubs.size(), false);
  for (size_t i = 0; i < hubs.size(); ++i) {
    const usb_identity &usb = hubs[i].usb;
    if (!hubs[i].is_hub || !usb.known || !usb.has_serial || usb_serial_is_placeholder(usb.serial))
      continue;
    bool shared = false;
    for (size_t k = 0; k < hubs.size(); ++k)
      shared = shared || (k != i && hubs[k].is_hub && hubs[k].usb.known && hubs[k].usb.has_serial &&
                          std::strcmp(hubs[k].usb.serial, usb.serial) == 0);
    usable[i] = !shared;
  }
  return usable;
}

}  // namespace

fleet_history_log::~fleet_history_log() {
  if (fd_ >= 0) close(fd_);
}

int fleet_history_log::open(const std::string &path) {
  // Non-blocking for the open only: a FIFO named by mistake must not hang it.
  // Read too, to see a line cut short at the end; write-only where a site's
  // permissions allow no more.
  constexpr int FLAGS = O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
  int fd = ::open(path.c_str(), O_RDWR | FLAGS, 0644);
  if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | FLAGS, 0644);
  const char *cause = fd < 0 ? std::strerror(errno) : nullptr;
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) cause = "not a regular file";
  if (cause != nullptr) {
    if (fd >= 0) close(fd);
    print_error("trelk-fleet: cannot open the history %s: %s\n", path.c_str(), cause);
    return 0;
  }
  fcntl(fd, F_SETFL, O_APPEND);
  fd_ = fd;
  path_ = path;
  return 1;
}

void fleet_history_log::append(const std::string &line) {
  const bool locked = lock_within_bound(fd_);
  if (!locked)
    print_error("trelk-fleet: the history %s stayed locked for %d s: writing without the lock\n",
                path_.c_str(), HISTORY_LOCK_WAIT_MS / 1000);
  const std::string text = (ends_in_a_cut_line(fd_) ? "\n" : "") + line + "\n";
  int error = write_all(fd_, text.data(), text.size()) ? 0 : errno;
  if (error == 0 && fdatasync(fd_) != 0) error = errno;
  if (locked) flock(fd_, LOCK_UN);
  if (error == 0) return;
  print_error("trelk-fleet: cannot write to the history %s: %s\n", path_.c_str(),
              std::strerror(error));
  failed_ = true;
}

void fleet_history_log::record(const std::vector<fleet_hub> &hubs) {
  if (fd_ < 0) return;
  written_.resize(hubs.size(), false);
  std::string host;
  for (size_t i = 0; i < hubs.size(); ++i) {
    const fleet_hub &hub = hubs[i];
    if (written_[i] || !hub.is_hub || hub.result == hub_result::none || hub.pid > 0) continue;
    written_[i] = true;
    if (host.empty()) host = fleet_report_head_now("").host;
    append(fleet_history_line(hub, fleet_utc_now(), host));
  }
}

bool fleet_history_matches(const history_entry &entry, const fleet_hub &hub,
                           bool usb_serial_usable) {
  if (!hub.boot_serial.empty() && entry.boot_serial == hub.boot_serial) return true;
  if (entry.model.empty() || entry.model != hub.model) return false;
  if (!hub.firmware_serial.empty() && entry.firmware_serial == hub.firmware_serial) return true;
  return usb_serial_usable && entry.usb_serial == hub.usb.serial;
}

namespace {

// Reads `fd` a chunk at a time and calls `take` with each line (no line
// feed) of at most HISTORY_LINE_MAX bytes; longer ones are dropped whole.
// 0 at the end, else the errno of a failed read.
template <typename Take>
int for_each_line(int fd, Take take) {
  std::string line;
  bool too_long = false;
  std::vector<char> chunk(HISTORY_LINE_MAX);
  for (;;) {
    const ssize_t got = read(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) break;
    for (const char *p = chunk.data(), *end = p + got; p < end;) {
      const char *feed = static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      const char *stop = feed != nullptr ? feed : end;
      if (!too_long) line.append(p, stop);
      too_long = too_long || line.size() > HISTORY_LINE_MAX;
      if (too_long) line.clear();
      p = stop;
      if (feed == nullptr) break;
      if (!too_long) take(line);
      line.clear();
      too_long = false;
      ++p;
    }
  }
  // A last line without its line feed may still be being written: it is
  // taken only when it is a whole entry.
  if (!too_long && !line.empty()) take(line);
  return 0;
}

}  // namespace

namespace {

// The history opened for reading; -1 with *cause set when it cannot be, or
// is no regular file.
int open_for_reading(const std::string &path, const char **cause) {
  // Non-blocking for the open only: a FIFO named by mistake must not hang it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *cause = std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
  close(fd);
  *cause = "not a regular file";
  return -1;
}

int say_unreadable(const std::string &path, const char *cause) {
  print_error("trelk-fleet: cannot read the history %s: %s\n", path.c_str(), cause);
  return 0;
}

}  // namespace

int fleet_history_readable(const std::string &path) {
  const char *cause = nullptr;
  const int fd = open_for_reading(path, &cause);
  if (fd < 0) return say_unreadable(path, cause);
  close(fd);
  return 1;
}

int fleet_history_lookup(const std::string &path, std::vector<fleet_hub> &hubs) {
  const char *cause = nullptr;
  const int fd = open_for_reading(path, &cause);
  if (fd < 0) return say_unreadable(path, cause);
  const std::vector<bool> usable = usable_usb_serials(hubs);
  history_entry entry;
  const int error = for_each_line(fd, [&](const std::string &line) {
    if (!parse_entry(line, &entry)) return;
    for (size_t i = 0; i < hubs.size(); ++i)
      if (hubs[i].is_hub && fleet_history_matches(entry, hubs[i], usable[i])) {
        hubs[i].last_time = entry.time;
        hubs[i].last_result = entry.result;
      }
  });
  close(fd);
  return error == 0 ? 1 : say_unreadable(path, std::strerror(error));
}
