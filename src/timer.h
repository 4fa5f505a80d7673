#pragma once
// Millisecond clock, deadline test and sleeping wait.
//
// Every timeout and pause in trelk is built from these three functions. The
// clock is CLOCK_MONOTONIC: boxes without a battery-backed clock step their
// wall clock by years when they first sync, and a wall-clock deadline would
// then fire at once or never. Values are milliseconds since an arbitrary
// point (boot), good only for differences.
//
// All functions are reentrant; any thread may call them.

#include <cstdint>

// Current time in milliseconds on the monotonic clock (truncated).
int64_t get_absolute_time();

// 1 when get_absolute_time() >= start + duration, else 0.
int time_reached(int64_t start, int64_t duration);

// Returns once `ms` milliseconds have passed; zero or negative returns at once.
// Sleeps (nanosleep on the monotonic clock) instead of spinning.
void wait_ms(int64_t ms);
