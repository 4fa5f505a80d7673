// options_load over arbitrary argument vectors: the input is split at zero
// bytes into arguments. Checks what the actions rely on: the two path fields
// stay terminated whatever the argument lengths, the mode is one of the four,
// and a run is asked for exactly when a mode was chosen.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "options.h"

namespace {
// More arguments add no new behaviour; this keeps inputs meaningful.
constexpr size_t kMaxArguments = 64;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Usage and help texts would flood the fuzzer's log.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> words;
  std::string current;
  for (size_t i = 0; i < size && words.size() < kMaxArguments; ++i) {
    if (data[i] == 0) {
      words.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (words.size() < kMaxArguments && !current.empty()) words.push_back(current);

  // argv as main receives it: program name, arguments, null; each argument
  // in its own exact-size allocation so any over-read is caught.
  std::vector<char *> argv;
  argv.push_back(strdup("trelk"));
  for (const std::string &w : words) argv.push_back(strdup(w.c_str()));
  argv.push_back(nullptr);

  int run = options_load(static_cast<int>(argv.size() - 1), argv.data());

  if (memchr(options.fw_path, 0, sizeof options.fw_path) == nullptr) std::abort();
  if (memchr(options.port, 0, sizeof options.port) == nullptr) std::abort();
  if (options.mode > ACTION_EXIT_BOOTLOADER) std::abort();
  if ((run == 1) != (options.mode != ACTION_NONE)) std::abort();
  for (char *p : argv) std::free(p);
  return 0;
}
