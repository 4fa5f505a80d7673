// Line latency of the serial link: from the moment the last byte of a line is
// written on a pseudo-terminal master to serial_rx_pop returning that line in
// a consumer that sleeps in serial_wait between lines (as the hub engine
// does). Reported as median, 90th and 99th percentile in microseconds; the
// iteration time is the same latency (manual time), so "Time" is the mean.
//
//   build/bench/serial_latency_bench --benchmark_min_time=2

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <sys/eventfd.h>

#include "serial.h"
#include "timer.h"

namespace {

int64_t now_ns() {
  struct timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void line_latency(benchmark::State &state) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  auto *link = new serial{};
  if (serial_init(link, ptsname(master)) != 1 || !serial_available(link)) {
    state.SkipWithError("link did not open");
    return;
  }

  // The writer waits for "go", lets the consumer fall asleep, stamps the
  // time and writes one whole line in a single write.
  const int go = eventfd(0, EFD_CLOEXEC);
  std::atomic<int64_t> written_at{0};
  std::atomic<bool> quit{false};
  std::thread writer([&] {
    static const char line[] = "01@00:1:ACK:00\r\n";
    uint64_t n;
    while (read(go, &n, sizeof n) == sizeof n && !quit.load()) {
      wait_ms(2);
      written_at.store(now_ns());
      if (write(master, line, sizeof line - 1) < 0) break;
    }
  });

  std::vector<double> micros;
  char buf[256];
  const uint64_t one = 1;
  for (auto _ : state) {
    if (write(go, &one, sizeof one) < 0) break;
    for (;;) {
      if (serial_rx_pop(link, buf, sizeof buf)) break;
      serial_wait(link, 1000);
    }
    const double us = static_cast<double>(now_ns() - written_at.load()) / 1000.0;
    micros.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  quit = true;
  if (write(go, &one, sizeof one) < 0) std::perror("eventfd");
  writer.join();
  serial_free(link);
  delete link;
  close(go);
  close(master);

  if (!micros.empty()) {
    std::sort(micros.begin(), micros.end());
    auto pct = [&](double p) { return micros[static_cast<size_t>(p * (micros.size() - 1))]; };
    state.counters["median_us"] = pct(0.5);
    state.counters["p90_us"] = pct(0.9);
    state.counters["p99_us"] = pct(0.99);
  }
}

BENCHMARK(line_latency)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
