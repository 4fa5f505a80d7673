// trelk-fleet against the hubs it updates, at line rate: simulated hubs paced
// at 115200 baud 8N1 (trelk-hubsim --pace), every hub in bootloader mode.
//
// BM_FleetAgainstSlowestAlone: four hubs of four models (Tavrine-16, -10, -24
// and -20, two to four boards). Each is first updated alone, by trelk-fleet
// with only its port; then all four at once. Goals: the fleet's wall time at
// most 1.15 x the slowest hub's time alone, measured in the same run; the
// whole fleet's CPU (the parent and every hub process, from wait4) under 5 %
// of one core.
// BM_FleetGrowth/N: N Tavrine-16 at once, N = 1, 2, 4, 8: how the wall time
// grows with the number of hubs.
//
// Package: 4 KiB per board type (32 blocks of 128 bytes, or 64 of 64 bytes),
// so an upload's own share is a few seconds a board and the whole benchmark
// takes about six minutes; most of each hub's time is the protocol's finish
// pauses (12 s per board), which no fleet can shorten. Every time includes
// each hub's restart into its normal firmware and the read-back of its
// version (the simulator restarts in 1 s), without which trelk-fleet does
// not count a hub as updated.
//
//   build/bench/fleet_bench --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#if defined(TRELK_HUBSIM_BIN) && defined(TRELK_FLEET_BIN)

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "hubsim.h"
#include "package_text.h"

namespace {

constexpr int kSectionBytes = 4 * 1024;

struct fleet_run {
  bool ok = false;
  double wall_s = 0;
  double cpu_s = 0;  // user + system of trelk-fleet and every process it waited for
};

// The package for every model used here, written once to a temporary file.
const std::string &package_path() {
  static const std::string path = [] {
    const std::string text = firmware_package_text(
        312, {{0x0101, kSectionBytes}, {0x0102, kSectionBytes}, {0x0103, kSectionBytes},
              {0x0201, kSectionBytes}, {0x0203, kSectionBytes}, {0x0204, kSectionBytes}});
    const std::string file =
        (std::filesystem::temp_directory_path() / ("trelk-fleet-bench-" + std::to_string(getpid()) + ".ufw"))
            .string();
    write_text_file(file, text);
    // A plain buffer: it outlives every static string the exit handler might
    // otherwise see destroyed.
    static char to_remove[512];
    std::snprintf(to_remove, sizeof to_remove, "%s", file.c_str());
    std::atexit([] { unlink(to_remove); });
    return file;
  }();
  return path;
}

double seconds_of(const timeval &t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs trelk-fleet --fw <package> --port ... with its output discarded.
fleet_run run_fleet(const std::vector<std::string> &ports) {
  std::vector<std::string> args = {TRELK_FLEET_BIN, "--fw", package_path()};
  for (const auto &p : ports) {
    args.push_back("--port");
    args.push_back(p);
  }
  fleet_run result;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) return result;
  int status = 0;
  struct rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return result;
  result.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.cpu_s = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

std::unique_ptr<HubSim> paced_hub(const char *model, int serial) {
  auto hub = std::make_unique<HubSim>(std::vector<std::string>{
      "--model", model, "--mode", "bootloader", "--pace", "--serial", std::to_string(serial)});
  if (!hub->start()) return nullptr;
  return hub;
}

// Starts one paced simulator per model and runs trelk-fleet on all of them.
// Skips the benchmark (ok false) when a simulator did not start or a hub was
// not updated.
fleet_run fleet_of(benchmark::State &state, const std::vector<std::string> &models, int first_serial) {
  std::vector<std::unique_ptr<HubSim>> hubs;
  std::vector<std::string> ports;
  for (const std::string &model : models) {
    hubs.push_back(paced_hub(model.c_str(), first_serial + static_cast<int>(hubs.size())));
    if (!hubs.back()) {
      state.SkipWithError("simulator did not start");
      return {};
    }
    ports.push_back(hubs.back()->port());
  }
  const fleet_run all = run_fleet(ports);
  if (!all.ok) state.SkipWithError("the fleet did not update every hub");
  return all;
}

void BM_FleetAgainstSlowestAlone(benchmark::State &state) {
  const char *models[] = {"1030", "1020", "1050", "1080"};
  for (auto _ : state) {
    double slowest = 0;
    std::string slowest_model;
    for (const char *model : models) {
      auto hub = paced_hub(model, 1);
      if (!hub) {
        state.SkipWithError("simulator did not start");
        return;
      }
      const fleet_run alone = run_fleet({hub->port()});
      if (!alone.ok) {
        state.SkipWithError("a hub alone was not updated");
        return;
      }
      std::fprintf(stderr, "model %s alone: %.1f s, CPU %.2f s\n", model, alone.wall_s, alone.cpu_s);
      if (alone.wall_s > slowest) {
        slowest = alone.wall_s;
        slowest_model = model;
      }
    }
    const fleet_run all = fleet_of(state, {models, models + 4}, 100);
    if (!all.ok) return;
    state.SetIterationTime(all.wall_s);
    state.counters["slowest_alone_s"] = slowest;
    state.counters["fleet_s"] = all.wall_s;
    state.counters["ratio"] = all.wall_s / slowest;
    state.counters["fleet_cpu_s"] = all.cpu_s;
    state.counters["cpu_pct_of_core"] = 100.0 * all.cpu_s / all.wall_s;
    std::fprintf(stderr,
                 "four hubs at once: %.1f s; slowest alone (model %s): %.1f s; ratio %.3f "
                 "(goal <= 1.15); fleet CPU %.2f s = %.2f %% of one core (goal < 5 %%)\n",
                 all.wall_s, slowest_model.c_str(), slowest, all.wall_s / slowest, all.cpu_s,
                 100.0 * all.cpu_s / all.wall_s);
  }
}

void BM_FleetGrowth(benchmark::State &state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    const fleet_run all = fleet_of(state, std::vector<std::string>(count, "1030"), 200);
    if (!all.ok) return;
    state.SetIterationTime(all.wall_s);
    state.counters["hubs"] = count;
    state.counters["fleet_s"] = all.wall_s;
    state.counters["cpu_pct_of_core"] = 100.0 * all.cpu_s / all.wall_s;
    std::fprintf(stderr, "%d Tavrine-16 at once: %.1f s, CPU %.2f s (%.2f %% of one core)\n",
                 count, all.wall_s, all.cpu_s, 100.0 * all.cpu_s / all.wall_s);
  }
}

}  // namespace

BENCHMARK(BM_FleetAgainstSlowestAlone)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();
BENCHMARK(BM_FleetGrowth)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Iterations(1)->Unit(benchmark::kSecond)->UseManualTime();

#endif

BENCHMARK_MAIN();
