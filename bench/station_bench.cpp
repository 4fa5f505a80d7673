// trelk-fleet --watch over many visits: does a station that runs for a
// shift stay the size it started?
//
// BM_StationVisits: ten simulated hubs, already current, each on a USB bridge
// of the tests' fake USB view, are plugged in together, probed and found up
// to date, unplugged, and plugged in again, a hundred times: 1,000 visits.
// Each visit forks a probe, rewrites the report (which keeps every visit)
// and adds a row to the table (which shows the latest). Counters: the
// station's resident memory (VmRSS, KiB) and open descriptors after the
// first 100 visits and after all 1,000, the report's size, and the wall
// time per visit (mostly the 500 ms look for new ports and the unplug's).
// Goal: memory and descriptors flat, apart from the report's rows.
//
//   build/bench/station_bench --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>

#if defined(TRELK_HUBSIM_BIN) && defined(TRELK_FLEET_BIN)

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_usb.h"
#include "hubsim.h"
#include "package_text.h"
#include "private_net.h"
#include "process.h"

namespace {

constexpr int kHubs = 10;
constexpr int kRounds = 100;

std::string file_text(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A "Name:\tvalue" field of /proc/PID/status, 0 when absent.
long status_field(pid_t pid, const std::string &name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(name + ":")) return std::stol(line.substr(name.size() + 1));
  return 0;
}

std::string comm_of(pid_t pid) {
  std::string name = file_text("/proc/" + std::to_string(pid) + "/comm");
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

// The station itself: the trelk-fleet process whose parent is no
// trelk-fleet (its probes are its children). -1 while there is none.
// Processes come and go while /proc is read (the station's probes end at
// any moment): the error_code forms keep a vanished entry from throwing.
pid_t station_pid() {
  std::error_code ec;
  std::filesystem::directory_iterator procs("/proc", ec);
  for (auto it = std::filesystem::begin(procs); !ec && it != std::filesystem::end(procs);
       it.increment(ec)) {
    const std::string name = it->path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const pid_t pid = std::stoi(name);
    if (comm_of(pid) != "trelk-fleet") continue;
    // A probe that ended between the two reads has no parent to read: it is
    // not taken for the station.
    const long parent = status_field(pid, "PPid");
    if (parent > 0 && comm_of(static_cast<pid_t>(parent)) != "trelk-fleet") return pid;
  }
  return -1;
}

// -1 when the process is gone.
long open_fds(pid_t pid) {
  std::error_code ec;
  std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", ec);
  if (ec) return -1;
  long count = 0;
  for (auto it = std::filesystem::begin(fds); it != std::filesystem::end(fds); it.increment(ec)) {
    if (ec) return -1;
    ++count;
  }
  return count;
}

size_t visits_in(const std::string &report) {
  const std::string text = file_text(report);
  size_t count = 0;
  for (size_t at = text.find("\"started\""); at != std::string::npos; at = text.find("\"started\"", at + 1))
    ++count;
  return count;
}

bool wait_for_visits(const std::string &report, size_t count) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (visits_in(report) < count) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

void BM_StationVisits(benchmark::State &state) {
  for (auto _ : state) {
    private_net net;
    fake_usb usb(net.work() + "/usb");
    std::vector<std::string> names;
    std::vector<std::unique_ptr<HubSim>> hubs;
    for (int k = 0; k < kHubs; ++k) {
      names.push_back("ttyUSB" + std::to_string(k));
      hubs.push_back(std::make_unique<HubSim>(std::vector<std::string>{
          "--model", "1030", "--mode", "normal", "--fw-version", "312", "--sn",
          "HUB-" + std::to_string(k), "--idle-timeout", "3600"}));
      if (!hubs.back()->start()) return state.SkipWithError("a simulator did not start");
    }
    usb.attach(net, names);
    const std::string text = firmware_package_text(312, {{0x0102, 1024}, {0x0201, 1024}});
    const std::string package = net.work() + "/fw312.ufw";
    std::ofstream(package) << text;
    const std::string report = net.work() + "/report.json";

    std::promise<pid_t> started;
    ProcessOptions opts;
    opts.timeout = std::chrono::minutes(30);
    opts.started = [&](pid_t pid) { started.set_value(pid); };
    ProcessResult r;
    std::thread station([&] {
      r = net.run_program(TRELK_FLEET_BIN, {"--watch", "--fw", package, "--json", report}, opts);
    });
    const pid_t group = started.get_future().get();
    pid_t pid = -1;
    for (int i = 0; i < 100 && pid < 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      pid = station_pid();
    }
    const auto start = std::chrono::steady_clock::now();
    bool ok = pid > 0;
    for (int round = 0; ok && round < kRounds; ++round) {
      for (int k = 0; k < kHubs; ++k)
        usb.plug({"1-" + std::to_string(k + 1), 0x0403, 0x6001, "S" + std::to_string(k), 0},
                 names[static_cast<size_t>(k)], hubs[static_cast<size_t>(k)]->port());
      ok = wait_for_visits(report, static_cast<size_t>((round + 1) * kHubs));
      for (const std::string &name : names) usb.unplug(name);
      if (round == 9) {
        state.counters["rss_kib_100"] = static_cast<double>(status_field(pid, "VmRSS"));
        state.counters["fds_100"] = static_cast<double>(open_fds(pid));
      }
      // One look without them, so that the next plug-in is a new visit.
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (ok) {
      state.counters["rss_kib_1000"] = static_cast<double>(status_field(pid, "VmRSS"));
      state.counters["fds_1000"] = static_cast<double>(open_fds(pid));
      state.counters["report_kib"] = static_cast<double>(file_text(report).size()) / 1024.0;
      state.counters["s_per_visit"] = seconds / (kHubs * kRounds);
    }
    kill(-group, SIGINT);
    station.join();
    if (!ok) return state.SkipWithError(("the visits did not all end: " + r.err).c_str());
  }
}
BENCHMARK(BM_StationVisits)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

#endif

BENCHMARK_MAIN();
