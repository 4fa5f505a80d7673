// The clock, the deadline test and the sleeping wait.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <time.h>

#include "timer.h"

namespace {

int64_t monotonic_ms() {
  struct timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

double process_cpu_seconds() {
  struct rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Waits must not move when someone sets the wall clock, so the clock is the
// monotonic one: compare with both clocks read around it.
TEST(Timer, ReadsTheMonotonicClock) {
  int64_t before = monotonic_ms();
  int64_t t = get_absolute_time();
  int64_t after = monotonic_ms();
  EXPECT_LE(before, t);
  EXPECT_LE(t, after);
  struct timespec wall{};
  clock_gettime(CLOCK_REALTIME, &wall);
  // The wall clock counts from 1970; the monotonic one from boot.
  EXPECT_GT(wall.tv_sec * 1000LL - t, 1000LL * 3600 * 24 * 365);
}

TEST(Timer, TimeReachedArithmetic) {
  int64_t now = get_absolute_time();
  EXPECT_EQ(time_reached(now, 0), 1);
  EXPECT_EQ(time_reached(now - 2000, 2000), 1);
  EXPECT_EQ(time_reached(now, 60000), 0);
  EXPECT_EQ(time_reached(now + 1000, -1000), 1);
}

TEST(Timer, WaitIsAccurateAndDoesNotBurnCpu) {
  double cpu_before = process_cpu_seconds();
  int64_t start = get_absolute_time();
  wait_ms(500);
  int64_t elapsed = get_absolute_time() - start;
  double cpu = process_cpu_seconds() - cpu_before;
  EXPECT_GE(elapsed, 500);
  EXPECT_LT(elapsed, 1500);  // shared, noisy machines: generous upper bound
  EXPECT_LT(cpu, 0.1);       // a spinning wait would use ~0.5 s
}

TEST(Timer, NonPositiveWaitReturnsAtOnce) {
  int64_t start = get_absolute_time();
  wait_ms(0);
  wait_ms(-5);
  EXPECT_LT(get_absolute_time() - start, 50);
}

}  // namespace
