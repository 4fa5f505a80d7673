#include "timer.h"

#include <cerrno>
#include <ctime>

int64_t get_absolute_time() {
  struct timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int time_reached(int64_t start, int64_t duration) {
  return get_absolute_time() >= start + duration ? 1 : 0;
}

void wait_ms(int64_t ms) {
  if (ms <= 0) return;
  // Sleep to an absolute monotonic deadline so signals that interrupt the
  // sleep cannot stretch or shorten the wait.
  struct timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  struct timespec until = now;
  until.tv_sec += static_cast<time_t>(ms / 1000);
  until.tv_nsec += static_cast<long>((ms % 1000) * 1000000);
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}
