// A full update of a two-board hub through the simulator paced at 115200 baud
// 8N1 both ways, measured against the time the wire itself needs.
//
// Wire-time bound = (bytes to the hub + bytes from the hub) / 11520 bytes/s
// (the protocol waits for every answer, so the two directions do not
// overlap) + the pauses the upload must keep: 1 ms per acknowledged upload
// line, 250 ms per "!STOP_PING", and the finish pauses (6 s per board per
// pass, two passes). Bytes to the hub come from the simulator's log of
// received lines; bytes from the hub from its answer counters and the fixed
// answer formats. Goals: wall <= 1.10 x bound, trelk CPU < 5% of wall.
//
//   build/bench/upload_bench --benchmark_counters_tabular=true
//
// BM_RigBaseline plays the same exchanges without trelk, to show how much of
// the distance to the bound belongs to the simulator and the pseudo-terminal.

#include <benchmark/benchmark.h>

#ifdef TRELK_HUBSIM_BIN

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device.h"
#include "package_text.h"
#include "functions.h"
#include "hubsim.h"
#include "options.h"
#include "timer.h"
#include "ufw.h"

namespace {

constexpr double WIRE_BYTES_PER_S = 11520.0;  // 115200 baud, 10 bits a byte

double cpu_seconds() {
  struct rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_FullUpload(benchmark::State &state) {
  // Board 1 (type 0x0102) gets 64 KiB; board 2 (type 0x0201) ends at
  // 0xFFFF, so 48 KiB is all it can hold.
  const std::string text = firmware_package_text(310, {{0x0102, 64 * 1024}, {0x0201, 48 * 1024}});
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  ufw package{};
  ufw_load_data(buffer.data(), &package);
  if (package.valid != 1) {
    state.SkipWithError("package did not load");
    return;
  }
  std::memset(&options, 0, sizeof options);
  options.no_status = 1;

  for (auto _ : state) {
    state.PauseTiming();
    std::vector<std::string> args = {"--model", "1030", "--mode", "bootloader", "--ack", "echo"};
    if (state.range(0) == 1) args.push_back("--pace");
    HubSim sim(args);
    if (!sim.start()) {
      state.SkipWithError(sim.error().c_str());
      break;
    }
    device *dev = device_create_from_port(sim.port().c_str());
    if (dev == nullptr || !device_is_bootloader_ready(dev)) {
      state.SkipWithError("hub not ready");
      break;
    }
    sim.dump_now();
    const size_t lines_before = sim.lines().size();
    const auto before = sim.state();
    auto before_count = [&](const char *key) {
      auto it = before.find(std::string("count.") + key);
      return it == before.end() ? 0L : std::stol(it->second);
    };
    const long acks0 = before_count("acks_sent"), crc0 = before_count("part_crc"),
               ann0 = before_count("announcements"), naks0 = before_count("naks_sent");

    std::fflush(stdout);
    const int saved = dup(1);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    const double cpu0 = cpu_seconds();
    const int64_t t0 = get_absolute_time();
    state.ResumeTiming();

    const int done = device_do_firmware_update(dev, &package);

    state.PauseTiming();
    const double wall = static_cast<double>(get_absolute_time() - t0) / 1000.0;
    const double cpu = cpu_seconds() - cpu0;
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null_fd);
    if (done != 1) state.SkipWithError("upload refused");

    sim.stop();
    const auto lines = sim.lines();
    double to_hub = 0, stop_pings = 0, upload_lines = 0;
    for (size_t i = lines_before; i < lines.size(); ++i) {
      const std::string &l = lines[i];
      to_hub += l.empty() ? 2 : static_cast<double>(l.size()) + 1;  // "\r\n" or the line and "\n"
      if (l.size() > 5 && l[0] == '@' && l.compare(5, 10, "!STOP_PING") == 0) ++stop_pings;
      if (l.size() > 5 && l[0] == '@' && l[5] == ';') ++upload_lines;
    }
    auto count = [&](const char *key) { return sim.state_long(std::string("count.") + key); };
    // Answer lines with "\r\n": an echoed acknowledgement "@00BB+>Btttttttt|cc"
    // is 21 bytes, a CRC report "@00BB-CRC=XXXX|cc" 19, a "?" 11, an
    // announcement "@00BB*vvvvhhhhtttt42|cc" 25.
    const double from_hub = 21.0 * static_cast<double>(count("acks_sent") - acks0) +
                            19.0 * static_cast<double>(count("part_crc") - crc0) +
                            11.0 * static_cast<double>(count("naks_sent") - naks0) +
                            25.0 * static_cast<double>(count("announcements") - ann0);
    const double pauses = upload_lines * 0.001 + stop_pings * 0.250 + 2 * 2 * 6.0;
    const double bound = (to_hub + from_hub) / WIRE_BYTES_PER_S + pauses;

    state.counters["wall_s"] = wall;
    state.counters["bytes_to_hub"] = to_hub;
    state.counters["bytes_from_hub"] = from_hub;
    state.counters["bound_s"] = bound;
    state.counters["ratio"] = wall / bound;
    state.counters["cpu_s"] = cpu;
    state.counters["cpu_pct"] = 100.0 * cpu / wall;
    // Unpaced, the wire time is nearly nothing: what is left over the pauses
    // is the cost of one exchange (trelk and simulator together).
    state.counters["ms_per_exchange_over_bound"] =
        1000.0 * (wall - bound) / (upload_lines + static_cast<double>(count("part_crc") - crc0) + stop_pings);
    std::fprintf(stderr,
                 "%s full upload: wall %.2f s, to hub %.0f B, from hub %.0f B, bound %.2f s "
                 "(wire %.2f s + pauses %.2f s), ratio %.3f, trelk CPU %.2f s (%.2f%%)\n",
                 state.range(0) == 1 ? "paced" : "unpaced", wall, to_hub, from_hub, bound, (to_hub + from_hub) / WIRE_BYTES_PER_S, pauses, wall / bound,
                 cpu, 100.0 * cpu / wall);
    device_free(dev);
    state.ResumeTiming();
  }
  ufw_free(&package);
}

// The rig alone: the same exchanges (stop pings, every upload line with its
// 1 ms pause, every CRC request, the finish commands and pauses) written
// straight to the simulator's pseudo-terminal by one thread that polls the
// port itself. What this takes over the bound is the cost of the simulator's
// pacing and the pseudo-terminal, not of trelk.
void BM_RigBaseline(benchmark::State &state) {
  const std::string text = firmware_package_text(310, {{0x0102, 64 * 1024}, {0x0201, 48 * 1024}});
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  ufw package{};
  ufw_load_data(buffer.data(), &package);
  device dev{};
  dev.board_count = 2;
  dev.boards[1].board_type = 0x0102;
  dev.boards[2].board_type = 0x0201;
  int n = 0;
  firmware_block *list = device_build_firmware_blocks(&dev, &package, &n);

  for (auto _ : state) {
    state.PauseTiming();
    HubSim sim({"--model", "1030", "--mode", "bootloader", "--pace", "--ack", "echo"});
    if (!sim.start()) {
      state.SkipWithError(sim.error().c_str());
      break;
    }
    const int fd = open(sim.port().c_str(), O_RDWR | O_NOCTTY);
    struct termios tty{};
    tcgetattr(fd, &tty);
    cfmakeraw(&tty);
    tcsetattr(fd, TCSANOW, &tty);
    std::string pending;
    uint32_t sequence = 0;
    // One framed command; waits for an answer of type '+' or '-' from `board`.
    auto exchange = [&](int board, const char *command, bool wait) {
      char head[128];
      std::snprintf(head, sizeof head, "@%02x00%s", board, command);
      char frame[160];
      std::snprintf(frame, sizeof frame, "%s|%02x>%01x%08x\n", head, crc2c(head), board, sequence++);
      if (write(fd, frame, std::strlen(frame)) < 0) return;
      const int64_t start = get_absolute_time();
      while (wait && !time_reached(start, 3000)) {
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
          const std::string line = pending.substr(0, nl);
          pending.erase(0, nl + 1);
          const size_t at = line.find('@');
          if (at != std::string::npos && line.size() > at + 5 && (line[at + 5] == '+' || line[at + 5] == '-'))
            return;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        poll(&pfd, 1, 100);
        char chunk[256];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got > 0) pending.append(chunk, static_cast<size_t>(got));
      }
    };
    const int64_t t0 = get_absolute_time();
    state.ResumeTiming();
    for (int b = 2; b >= 1; --b) {
      exchange(b, "!STOP_PING", true);
      wait_ms(250);
    }
    for (firmware_block *block = list; block != nullptr; block = block->next) {
      for (hex_cmd *line = block->lines; line != nullptr; line = line->next) {
        exchange(block->board, line->text, true);
        wait_ms(1);
      }
      char request[32];
      std::snprintf(request, sizeof request, "!PART_CRC=%06x", block->lines->address);
      exchange(block->board, request, true);
    }
    for (int pass = 0; pass < 2; ++pass)
      for (int b = 2; b >= 1; --b) {
        exchange(b, "!FINISH 0310", false);
        wait_ms(4000);
        exchange(b, "!FINISH 0310", false);
        wait_ms(2000);
      }
    state.PauseTiming();
    const double wall = static_cast<double>(get_absolute_time() - t0) / 1000.0;
    state.counters["wall_s"] = wall;
    std::fprintf(stderr, "rig baseline: wall %.2f s for %d blocks\n", wall, n);
    close(fd);
    sim.stop();
    state.ResumeTiming();
  }
  device_free_firmware_blocks(list);
  ufw_free(&package);
}

BENCHMARK(BM_RigBaseline)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Arg 1: paced at 115200 baud (the measurement); arg 0: unpaced, to show
// the per-exchange overhead apart from the wire.
BENCHMARK(BM_FullUpload)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

#endif  // TRELK_HUBSIM_BIN

BENCHMARK_MAIN();
