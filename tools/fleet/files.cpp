#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "functions.h"

namespace {

// Reads in steps of this size: one step past the limit shows a file that
// grew while it was read.
constexpr size_t READ_STEP = 64 * 1024;

std::string errno_text(int error) { return std::strerror(error); }

}  // namespace

bool write_all(int fd, const char *data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

std::string folder_of(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_name(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool read_bounded_file(const std::string &path, size_t limit, std::string *text,
                       std::string *cause) {
  // O_NONBLOCK: a FIFO's open would wait for a writer; it is refused below.
  const unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    *cause = errno_text(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    *cause = errno_text(errno);
    return false;
  }
  const std::string too_large = "larger than " + std::to_string(limit) + " bytes";
  if (!S_ISREG(st.st_mode)) {
    *cause = "not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > limit) {
    *cause = too_large;
    return false;
  }
  text->clear();
  char step[READ_STEP];
  for (;;) {
    const ssize_t got = ::read(fd.get(), step, sizeof step);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *cause = errno_text(errno);
      return false;
    }
    if (got == 0) return true;
    if (text->size() + static_cast<size_t>(got) > limit) {
      *cause = too_large;
      return false;
    }
    text->append(step, static_cast<size_t>(got));
  }
}

staged_file::~staged_file() { discard(); }

staged_file::staged_file(staged_file &&other) noexcept
    : path_(std::move(other.path_)), temporary_(std::exchange(other.temporary_, {})) {}

void staged_file::discard() noexcept {
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
}

bool staged_file::write(const std::string &path, const std::string &text, mode_t mode,
                        std::string *cause) {
  discard();
  path_ = path;
  std::string temporary = folder_of(path) + "/." + base_name(path) + ".trelk-XXXXXX";
  const unique_fd fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) {
    *cause = errno_text(errno);
    return false;
  }
  temporary_ = temporary;
  bool ok = ::fchmod(fd.get(), mode) == 0 && write_all(fd.get(), text.data(), text.size()) &&
            ::fsync(fd.get()) == 0;
  const int saved = errno;
  // The descriptor closes here; a close error on a local file after a
  // successful fsync loses nothing.
  if (!ok) {
    *cause = errno_text(saved);
    discard();
  }
  return ok;
}

bool staged_file::commit(std::string *cause) {
  if (temporary_.empty()) {
    *cause = "nothing was written";
    return false;
  }
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
    *cause = errno_text(errno);
    discard();
    return false;
  }
  temporary_.clear();
  return true;
}

void sync_folder(const std::string &folder) {
  const unique_fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) ::fsync(fd.get());
}
