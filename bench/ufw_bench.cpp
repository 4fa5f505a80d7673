// The largest package trelk can meet: one section for each of the seven
// known board types, each filled with data up to its highest address. One
// iteration loads it from memory (parse, rebuild of every image and upload
// line) and computes the CRC of every block of every section, as an upload
// asks for them. Peak memory is the process's maximum resident set.

#include <sys/resource.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "functions.h"
#include "ufw.h"

namespace {

std::string record(uint16_t address, uint8_t type, const uint8_t *data, size_t count) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(count), address, type);
  unsigned sum = static_cast<unsigned>(count) + (address >> 8) + (address & 0xFF) + type;
  for (size_t i = 0; i < count; ++i) {
    n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%02X", data[i]);
    sum += data[i];
  }
  std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
  return buf;
}

std::string largest_package() {
  std::mt19937 rng(42);
  std::string text = "___999\r\n";
  for (uint16_t type : {0x0101, 0x0102, 0x0103, 0x0201, 0x0202, 0x0203, 0x0204}) {
    const uint32_t top = type < 0x0200 ? 0x1FFFF : 0xFFFF;
    char head[16];
    std::snprintf(head, sizeof head, ">>>%04X\r\n", type);
    text += head;
    uint32_t segment = 0xFFFFFFFF;
    for (uint32_t a = 0x4000; a <= top; a += 16) {
      if ((a >> 16) != segment) {
        segment = a >> 16;
        const uint8_t hi[2] = {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)};
        text += record(0, 4, hi, 2);
      }
      uint8_t data[16];
      for (uint8_t &b : data) b = static_cast<uint8_t>(rng());
      text += record(static_cast<uint16_t>(a & 0xFFFF), 0, data, 16);
    }
    text += record(0, 1, nullptr, 0);
    text += "!!!!!!!!\r\n";
  }
  return text;
}

void BM_LoadLargestPackageAndCrcEveryBlock(benchmark::State &state) {
  const std::string text = largest_package();
  std::vector<char> buffer(text.size() + 1);
  size_t blocks = 0;
  uint32_t sink = 0;
  for (auto _ : state) {
    std::copy(text.begin(), text.end(), buffer.begin());
    buffer.back() = '\0';
    ufw pkg{};
    ufw_load_data(buffer.data(), &pkg);
    if (!pkg.valid) {
      state.SkipWithError("package did not load");
      break;
    }
    blocks = 0;
    for (ufw_section *s = pkg.sections; s != nullptr; s = s->next) {
      for (int n = 0; n < s->block_count; ++n) {
        sink += ufw_get_crc_for_firmware(s, s->blocks[n]->address - UFW_BASE_ADDRESS);
        ++blocks;
      }
    }
    ufw_free(&pkg);
    benchmark::DoNotOptimize(sink);
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  state.counters["blocks"] = static_cast<double>(blocks);
  state.counters["package_MiB"] = static_cast<double>(text.size()) / (1024.0 * 1024.0);
  state.counters["peak_rss_MiB"] = static_cast<double>(ru.ru_maxrss) / 1024.0;
}
BENCHMARK(BM_LoadLargestPackageAndCrcEveryBlock)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
