#include "port_probe.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

port_holder::port_holder(const std::string &path) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0) release();
}

void port_holder::release() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool terminal_state::operator==(const terminal_state &other) const {
  return readable == other.readable && tty.c_iflag == other.tty.c_iflag &&
         tty.c_oflag == other.tty.c_oflag && tty.c_cflag == other.tty.c_cflag &&
         tty.c_lflag == other.tty.c_lflag &&
         std::memcmp(tty.c_cc, other.tty.c_cc, sizeof tty.c_cc) == 0 &&
         cfgetispeed(&tty) == cfgetispeed(&other.tty) &&
         cfgetospeed(&tty) == cfgetospeed(&other.tty) && exclusive == other.exclusive;
}

terminal_state terminal_state_of(const std::string &path) {
  terminal_state state;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return state;
  state.readable =
      tcgetattr(fd, &state.tty) == 0 && ioctl(fd, TIOCGEXCL, &state.exclusive) == 0;
  close(fd);
  return state;
}

silent_port::silent_port() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  struct stat st{};
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
  const char *name = ptsname(master_);
  if (name == nullptr || stat(name, &st) != 0) return;
  path_ = name;
  rdev_ = st.st_rdev;
}

silent_port::~silent_port() {
  if (master_ >= 0) close(master_);
}

std::string silent_port::received() {
  std::string bytes;
  char buffer[4096];
  ssize_t n;
  while (master_ >= 0 && (n = read(master_, buffer, sizeof buffer)) > 0) bytes.append(buffer, n);
  return bytes;
}
