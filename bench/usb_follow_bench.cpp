// Following a hub by its USB identity: what the look for it costs, and how
// soon a hub that comes back under another name is open again.
//
//   sudo build/bench/usb_follow_bench --benchmark_counters_tabular=true
//
// This machine has no USB, so the bench runs itself again on a private stage
// (a mount namespace whose /sys is the tests' fake USB tree and whose
// /dev/ttyUSB0 and ttyUSB1 are the fake's port links; needs root) and builds
// there a machine with many ttys: N USB serial bridges (N = 1, 8, 32, 64, in
// sockets behind intermediate hubs) and 100 ttys without USB (virtual
// consoles and built-in UARTs, as Linux shows them).
//  - BM_FindHub: CPU time of one usb_find_hub, with the hub away (the
//    waiting case: the reader looks twice a second) or attached; the share of
//    one core that two looks a second take.
//  - BM_WaitingReader: the whole process's CPU while a link waits 5 s for a
//    hub that stays away, with 64 other bridges attached.
//  - BM_HubReturn: 20 returns of the hub under the other ttyUSB name (in the
//    same socket, or in another one: its serial number finds it there); time
//    from the plug to the link having it open (serial_open_count grows).
// Each return comes 0 to 1 s after the unplug, out of step with the link's
// looks. Without a udev daemon nothing announces the return, so the 500 ms
// look is what finds it: the expected median is about 250 ms, the maximum
// 500 ms.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fake_usb.h"
#include "functions.h"
#include "private_net.h"
#include "serial.h"
#include "timer.h"

namespace {

namespace fs = std::filesystem;

// Set by the outer run for the run on the stage: the fake's root folder.
constexpr char kStageVariable[] = "TRELK_USB_BENCH_ROOT";
constexpr int kOtherTtys = 100;
constexpr int kReturns = 20;
constexpr int64_t kWaitingMs = 5000;
const char kHubSerial[] = "VH7Q2K9D";

// A pseudo-terminal whose slave stands for a bridge's tty; closing the master
// is the cable pulled.
struct pty {
  unique_fd master;
  std::string slave;
  pty() : master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master && grantpt(master.get()) == 0 && unlockpt(master.get()) == 0)
      slave = ptsname(master.get());
  }
};

struct stage_machine {
  fake_usb usb;
  std::vector<std::unique_ptr<pty>> bridges;  // the other bridges' ttys, kept open
  explicit stage_machine(const std::string &root) : usb(root) {}
};
stage_machine *machine = nullptr;

double thread_cpu_s() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double process_cpu_s() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Virtual consoles and UARTs: ttys with no USB parent, as Linux lists them.
void add_other_ttys(const std::string &sys) {
  for (int i = 0; i < kOtherTtys; ++i) {
    const bool uart = i >= 64;
    const std::string name = uart ? "ttyS" + std::to_string(i - 64) : "tty" + std::to_string(i);
    const fs::path dir = fs::path(sys) / (uart ? "devices/platform/serial8250/tty" : "devices/virtual/tty") / name;
    fs::create_directories(dir);
    const std::string devnum = "4:" + std::to_string(i);
    std::ofstream(dir / "dev") << devnum << "\n";
    std::ofstream(dir / "uevent") << "MAJOR=4\nMINOR=" << i << "\nDEVNAME=" << name << "\n";
    auto link = [](const fs::path &from, const fs::path &to) {
      fs::create_directory_symlink(to.lexically_relative(from.parent_path()), from);
    };
    link(dir / "subsystem", fs::path(sys) / "class/tty");
    link(fs::path(sys) / "class/tty" / name, dir);
    link(fs::path(sys) / "dev/char" / devnum, dir);
  }
}

// The bridges other than the hub, up to `count` of them: seven to a hub,
// behind hubs in sockets 1-1, 1-2, ...
void attach_bridges(size_t count) {
  while (machine->bridges.size() < count) {
    const size_t i = machine->bridges.size();
    auto tty = std::make_unique<pty>();
    const std::string path =
        "1-" + std::to_string(i / 7 + 1) + "." + std::to_string(i % 7 + 1);
    char serial[32];
    std::snprintf(serial, sizeof serial, "VB%05zu", i);
    machine->usb.plug({path, 0x0403, 0x6001, serial, 0}, "ttyUSB" + std::to_string(10 + i),
                      tty->slave);
    machine->bridges.push_back(std::move(tty));
  }
}

usb_bridge hub_bridge(const std::string &socket) { return {socket, 0x0403, 0x6001, kHubSerial, 0}; }

usb_identity hub_identity() {
  usb_identity id{};
  id.known = 1;
  copy_text(id.usb_path, sizeof id.usb_path, "3-2");
  id.busnum = 3;
  id.vendor = 0x0403;
  id.product = 0x6001;
  id.has_serial = 1;
  copy_text(id.serial, sizeof id.serial, kHubSerial);
  id.interface = 0;
  return id;
}

void BM_FindHub(benchmark::State &state) {
  attach_bridges(static_cast<size_t>(state.range(0)));
  const bool attached = state.range(1) != 0;
  pty hub;
  if (attached) machine->usb.plug(hub_bridge("3-2"), "ttyUSB0", hub.slave);
  const usb_identity id = hub_identity();
  size_t found = 0;
  const double cpu_start = thread_cpu_s();
  int64_t scans = 0;
  for (auto _ : state) {
    found = usb_find_hub(id).size();
    ++scans;
  }
  const double per_scan = (thread_cpu_s() - cpu_start) / static_cast<double>(scans);
  if (attached) machine->usb.unplug("ttyUSB0");
  if (found != (attached ? 1u : 0u)) state.SkipWithError("the hub was not found as plugged");
  state.counters["usb_bridges"] = static_cast<double>(state.range(0));
  state.counters["cpu_us_per_scan"] = per_scan * 1e6;
  state.counters["core_pct_at_2_per_s"] = per_scan * 2 * 100;
}

// A link on the hub at ttyUSB0 (its identity taken at the open); null, with
// the benchmark marked failed, when the port did not open.
std::unique_ptr<serial> open_hub(benchmark::State &state, pty *tty) {
  machine->usb.plug(hub_bridge("3-2"), "ttyUSB0", tty->slave);
  auto link = std::make_unique<serial>();
  if (serial_init(link.get(), "/dev/ttyUSB0") == 1 && serial_available(link.get())) return link;
  state.SkipWithError("the hub's port did not open");
  return nullptr;
}

// Pulls the hub's cable: its tty hangs up and leaves the fake's view.
void unplug_hub(serial *link, pty *tty, const std::string &name) {
  tty->master.reset();
  machine->usb.unplug(name);
  while (serial_available(link)) serial_wait(link, 100);
}

void drain_notices(serial *link) {
  char text[SERIAL_NOTICE_CAPACITY];
  while (serial_take_notice(link, text, sizeof text - 1)) {
  }
}

void BM_WaitingReader(benchmark::State &state) {
  attach_bridges(64);
  for (auto _ : state) {
    auto tty = std::make_unique<pty>();
    std::unique_ptr<serial> link = open_hub(state, tty.get());
    if (!link) return;
    unplug_hub(link.get(), tty.get(), "ttyUSB0");
    const double cpu_start = process_cpu_s();
    wait_ms(kWaitingMs);
    const double cpu = process_cpu_s() - cpu_start;
    serial_free(link.get());
    state.counters["core_pct_while_waiting"] = 100.0 * cpu / (kWaitingMs / 1000.0);
  }
}

// Arg 0: the hub returns into its own socket; 1: into another one.
void BM_HubReturn(benchmark::State &state) {
  attach_bridges(64);
  const bool moves_socket = state.range(0) != 0;
  std::vector<double> ms;
  for (auto _ : state) {
    auto tty = std::make_unique<pty>();
    std::unique_ptr<serial> link = open_hub(state, tty.get());
    if (!link) return;
    std::string name = "ttyUSB0";
    for (int i = 0; i < kReturns; ++i) {
      unplug_hub(link.get(), tty.get(), name);
      // A hub is away for some time, not in step with the link's looks: the
      // pause spreads the returns over the look's period.
      wait_ms((i * 173) % 1000);
      name = name == "ttyUSB0" ? "ttyUSB1" : "ttyUSB0";
      tty = std::make_unique<pty>();
      const uint32_t opens = serial_open_count(link.get());
      const int64_t plugged = get_absolute_time();
      machine->usb.plug(hub_bridge(moves_socket && i % 2 == 0 ? "3-4" : "3-2"), name, tty->slave);
      while (serial_open_count(link.get()) == opens && !time_reached(plugged, 5000))
        serial_wait(link.get(), 100);
      ms.push_back(static_cast<double>(get_absolute_time() - plugged));
      drain_notices(link.get());
    }
    unplug_hub(link.get(), tty.get(), name);
    serial_free(link.get());
  }
  std::sort(ms.begin(), ms.end());
  state.counters["returns"] = static_cast<double>(ms.size());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p90_ms"] = ms[ms.size() * 9 / 10];
  state.counters["max_ms"] = ms.back();
}

// The bridges only ever grow, so each count is measured away and attached.
BENCHMARK(BM_FindHub)
    ->Args({1, 0})->Args({1, 1})->Args({8, 0})->Args({8, 1})
    ->Args({32, 0})->Args({32, 1})->Args({64, 0})->Args({64, 1})
    ->ArgNames({"bridges", "attached"});
BENCHMARK(BM_WaitingReader)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_HubReturn)->Arg(0)->Arg(1)->ArgName("other_socket")->Iterations(1)->Unit(benchmark::kSecond);

// Outside the stage: makes it and runs this program again there.
int run_on_stage(int argc, char **argv) {
  private_net stage;
  const std::string root = stage.work() + "/usb";
  fs::create_directories(root + "/sys");
  stage.sys(root + "/sys");
  for (const char *name : {"ttyUSB0", "ttyUSB1"}) stage.link(name, root + "/ports/" + name);
  ProcessOptions opts;
  opts.timeout = std::chrono::minutes(10);
  opts.env = {std::string(kStageVariable) + "=" + root};
  const ProcessResult r = stage.run_program(fs::canonical("/proc/self/exe").string(),
                                            std::vector<std::string>(argv + 1, argv + argc), opts);
  std::fputs(r.out.c_str(), stdout);
  std::fputs(r.err.c_str(), stderr);
  return r.exit_status;
}

}  // namespace

int main(int argc, char **argv) {
  if (geteuid() != 0) {
    std::puts("usb_follow_bench: needs root (it runs in a mount namespace of its own)");
    return 0;
  }
  const char *root = std::getenv(kStageVariable);
  if (root == nullptr) return run_on_stage(argc, argv);
  stage_machine on_stage(root);
  add_other_ttys(on_stage.usb.sys_dir());
  machine = &on_stage;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
