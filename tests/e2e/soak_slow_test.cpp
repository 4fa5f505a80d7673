// Fault soak: many seeded manual updates against simulated hubs that answer
// "?" at random, drop acknowledgements, report wrong CRCs and send noise lines
// (random bytes, overlong lines, answers with bad checksums) between valid
// ones. Each seed picks the hub model, the package and the fault rates.
//
// The invariant of every run: either trelk says "Device updated
// successfully.", exits 0 and every board holds exactly the package image,
// or it exits 1 with the failure message. Never success over a wrong image,
// never a crash or sanitizer report, never longer than the injected faults
// can explain.
//
// Size: TRELK_SOAK_SEEDS runs (default 30) from TRELK_SOAK_FIRST_SEED
// (default 1), TRELK_SOAK_PARALLEL at a time (default 15); a run lasts about
// 25 s per two boards because of the finish pauses. scripts/soak.sh runs a
// longer soak.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hubsim.h"
#include "process.h"

namespace {

const char kSuccess[] = "Device updated successfully.\n";
const char kFailure[] =
    "Failed to update the Varnholt hub. Please power cycle the hub and run trelk again.\r\n";

struct model_info {
  const char *code;
  std::vector<uint16_t> types;  // board 1 first
};

const std::vector<model_info> kModels = {
    {"1010", {0x0101, 0x0201}},         {"1011", {0x0101, 0x0201}},
    {"1020", {0x0103, 0x0203}},         {"1030", {0x0102, 0x0201}},
    {"1050", {0x0102, 0x0204, 0x0101}}, {"1080", {0x0103, 0x0203, 0x0103, 0x0203}},
    {"1131", {0x0102, 0x0201}},
};

int env_int(const char *name, int fallback) {
  const char *v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

uint32_t block_size_of(uint16_t type) { return type < 0x0200 ? 128 : 64; }

// One section's data: placed from 0x4000 on, FF beyond it.
struct section_plan {
  uint16_t type;
  std::vector<uint8_t> data;
};

struct soak_plan {
  int seed = 0;
  const model_info *model = nullptr;
  bool start_normal = false;  // switched with --bootloader first
  double nak = 0, drop = 0, bad_crc = 0, noise = 0;
  std::vector<section_plan> sections;  // one per distinct board type
  std::string package;
};

std::string hex2(unsigned v) {
  char b[3];
  std::snprintf(b, sizeof b, "%02X", v & 0xFF);
  return b;
}

// Intel HEX record with its checksum.
std::string record(unsigned type, unsigned address, const uint8_t *data, size_t n) {
  unsigned sum = static_cast<unsigned>(n) + (address >> 8) + (address & 0xFF) + type;
  std::string r = ":" + hex2(static_cast<unsigned>(n)) + hex2(address >> 8) + hex2(address) + hex2(type);
  for (size_t i = 0; i < n; ++i) {
    r += hex2(data[i]);
    sum += data[i];
  }
  return r + hex2(0x100 - (sum & 0xFF)) + "\r\n";
}

// Records of random lengths (so they cross block boundaries at odd places),
// with a type 04 record in front and now and then again.
std::string section_text(const section_plan &s, std::mt19937 &rng) {
  std::string t = ">>>" + hex2(s.type >> 8) + hex2(s.type) + "\r\n";
  const uint8_t zero[2] = {0, 0};
  t += record(4, 0, zero, 2);
  size_t off = 0;
  while (off < s.data.size()) {
    size_t n = std::min<size_t>(s.data.size() - off,
                                std::uniform_int_distribution<size_t>(1, 32)(rng));
    if (rng() % 8 == 0) t += record(4, 0, zero, 2);
    t += record(0, static_cast<unsigned>(0x4000 + off), s.data.data() + off, n);
    off += n;
  }
  return t + "!!!!!!!!\r\n";
}

soak_plan plan_for(int seed) {
  std::mt19937 rng(static_cast<unsigned>(seed) * 2654435761u);
  soak_plan p;
  p.seed = seed;
  p.model = &kModels[rng() % kModels.size()];
  p.start_normal = seed % 6 == 0;
  auto rate = [&](double max) { return std::uniform_real_distribution<double>(0, max)(rng); };
  p.nak = rate(0.15);
  p.drop = rate(0.08);
  // Up to 0.6: some seeds fail beyond the retry limits, others get through.
  p.bad_crc = rate(0.6);
  p.noise = rate(0.3);
  for (uint16_t type : p.model->types) {
    if (std::any_of(p.sections.begin(), p.sections.end(),
                    [&](const section_plan &s) { return s.type == type; }))
      continue;
    section_plan s{type, {}};
    // 1 to 12 blocks' worth, not block-aligned.
    s.data.resize(std::uniform_int_distribution<size_t>(1, 12 * block_size_of(type))(rng));
    for (auto &b : s.data) b = static_cast<uint8_t>(rng());
    p.sections.push_back(std::move(s));
  }
  p.package = "___300\r\n";
  for (const auto &s : p.sections) p.package += section_text(s, rng);
  return p;
}

const section_plan &section_of(const soak_plan &p, uint16_t type) {
  for (const auto &s : p.sections)
    if (s.type == type) return s;
  return p.sections.front();
}

std::string sim_rate(double r) {
  char b[32];
  std::snprintf(b, sizeof b, "%.4f", r);
  return b;
}

struct soak_result {
  int seed = 0;
  bool updated = false;
  std::string violation;  // empty when the invariant held
  double seconds = 0;
  std::string summary;
};

soak_result run_plan(const soak_plan &p) {
  soak_result res;
  res.seed = p.seed;
  std::ostringstream why;
  const int boards = static_cast<int>(p.model->types.size());

  HubSim sim({"--model", p.model->code, "--mode", p.start_normal ? "normal" : "bootloader",
              "--fw-version", "100", "--rate-nak", sim_rate(p.nak), "--rate-drop", sim_rate(p.drop),
              "--rate-bad-crc", sim_rate(p.bad_crc), "--rate-noise", sim_rate(p.noise), "--seed",
              std::to_string(p.seed), "--idle-timeout", "900"});
  // Generous: up to 15 simulators start at once, in the sanitizer build too.
  if (!sim.start(std::chrono::seconds(30))) {
    res.summary = "seed " + std::to_string(p.seed);
    res.violation = "simulator did not start: " + sim.error();
    return res;
  }
  const std::string pkg = sim.dump_dir() + "/soak.ufw";
  {
    std::ofstream out(pkg, std::ios::binary);
    out << p.package;
  }
  std::vector<std::string> argv{trelk_binary(), "--fw", pkg, "--port", sim.port(), "--basic-status"};
  if (p.start_normal) argv.push_back("--bootloader");
  ProcessOptions opts;
  opts.timeout = std::chrono::seconds(900);  // a hang, whatever the bound says
  const ProcessResult r = run_process(argv, opts);
  sim.stop();
  res.seconds = r.seconds;

  // What the injected faults can cost at most: a dropped or refused answer
  // costs one attempt's timeout (3 s at most, a CRC request's), a wrong CRC
  // a 1 s pause and the block again; a restarted block adds the pings' and
  // restart pauses. A switch costs its 25.75 s of pauses and a detection.
  const long faults = sim.state_long("count.acks_dropped") + sim.state_long("count.naks_injected") +
                      sim.state_long("count.crc_spoiled");
  const long switches = sim.state_long("count.boot_mode");
  long lines = 0;
  for (const auto &s : p.sections) lines += static_cast<long>(s.data.size() / 16 + 8);
  const double bound = 20.0 + boards * (12.0 + 2.0) + 0.05 * lines * boards + 4.5 * faults +
                       40.0 * switches;

  const bool said_success = r.out.find(kSuccess) != std::string::npos;
  const bool said_failure = r.out.find(kFailure) != std::string::npos;
  char head[256];
  std::snprintf(head, sizeof head,
                "seed %d model %s%s nak %.3f drop %.3f crc %.3f noise %.3f: exit %d signal %d "
                "%.1f s (bound %.0f s, %ld faults)",
                p.seed, p.model->code, p.start_normal ? " normal" : "", p.nak, p.drop, p.bad_crc,
                p.noise, r.exit_status, r.term_signal, r.seconds, bound, faults);
  res.summary = head;

  if (r.timed_out) why << "hung (killed after " << r.seconds << " s); ";
  if (r.term_signal) why << "ended by signal " << r.term_signal << "; ";
  if (r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error") != std::string::npos)
    why << "sanitizer report; ";
  if (r.seconds > bound) why << "took longer than the faults explain; ";
  if (r.exit_status == 0) {
    if (!said_success) why << "exit 0 without the success line; ";
    if (said_failure) why << "exit 0 after the failure message; ";
    // Every board's whole memory: the package image over the upload range,
    // untouched (FF) beyond it.
    for (int b = 1; b <= boards; ++b) {
      const section_plan &s = section_of(p, p.model->types[static_cast<size_t>(b - 1)]);
      std::vector<uint8_t> mem = sim.memory(b);
      std::vector<uint8_t> want(mem.size(), 0xFF);
      if (mem.size() < s.data.size()) {
        why << "board " << b << " memory dump missing; ";
        continue;
      }
      std::copy(s.data.begin(), s.data.end(), want.begin());
      if (mem != want) {
        size_t i = 0;
        while (mem[i] == want[i]) ++i;
        why << "SUCCESS OVER A WRONG IMAGE: board " << b << " differs at 0x" << std::hex
            << 0x4000 + i << std::dec << "; ";
      }
    }
    res.updated = true;
  } else if (r.exit_status == 1) {
    if (!said_failure) why << "exit 1 without the failure message; ";
    if (said_success) why << "exit 1 after the success line; ";
  } else {
    why << "unexpected exit status " << r.exit_status << "; ";
  }
  res.violation = why.str();
  if (!res.violation.empty())
    res.violation += "\n--- stdout:\n" + r.out.substr(r.out.size() > 3000 ? r.out.size() - 3000 : 0) +
                     "\n--- stderr:\n" + r.err.substr(0, 3000);
  return res;
}

TEST(Soak, SeededFaultRunsKeepTheInvariant) {
  const int first = env_int("TRELK_SOAK_FIRST_SEED", 1);
  const int count = env_int("TRELK_SOAK_SEEDS", 30);
  const int parallel = std::max(1, env_int("TRELK_SOAK_PARALLEL", 15));

  std::vector<soak_result> results(static_cast<size_t>(count));
  std::atomic<int> next{0};
  std::mutex print;
  auto worker = [&] {
    for (int i; (i = next++) < count;) {
      soak_result r = run_plan(plan_for(first + i));
      {
        std::lock_guard<std::mutex> lock(print);
        std::printf("soak: %s -> %s\n", r.summary.c_str(),
                    !r.violation.empty() ? "VIOLATION" : r.updated ? "updated" : "failed cleanly");
        std::fflush(stdout);
      }
      results[static_cast<size_t>(i)] = std::move(r);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < std::min(parallel, count); ++t) threads.emplace_back(worker);
  for (auto &t : threads) t.join();

  int updated = 0;
  for (const auto &r : results) {
    if (r.updated) ++updated;
    EXPECT_TRUE(r.violation.empty()) << r.summary << "\n" << r.violation;
  }
  std::printf("soak: %d runs, %d updated, %d failed cleanly\n", count, updated, count - updated);
}

}  // namespace
