#pragma once
// Shared pieces of the end-to-end cases of the three actions: a scratch
// folder, the small test packages, the progress text of a clean upload, and
// checks on what a simulated hub received and now holds, and a bounded wait
// for what a test watches a program do.

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "package_text.h"
#include "port_probe.h"

// A fresh folder under the temporary directory, removed with its contents.
class scratch_dir {
 public:
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir &) = delete;
  scratch_dir &operator=(const scratch_dir &) = delete;
  const std::string &path() const { return path_; }
  // Writes `text` to <path>/<name> and returns the file's path.
  std::string write(const std::string &name, const std::string &text) const;

 private:
  std::string path_;
};

// One section per board type, 256 bytes each (two 128-byte blocks for the
// 0x01xx types, four 64-byte blocks for the 0x02xx types), the bytes chosen by
// `seed` and the type so that packages and sections differ.
std::vector<package_section> test_sections(const std::vector<uint16_t> &types, unsigned seed);

// Blocks of those sections that a hub of the given board types receives.
int test_block_count(const std::vector<uint16_t> &board_types);

// What the upload prints in its default display for `blocks` blocks that all
// pass at the first attempt, "Device updated successfully." included.
std::string clean_upload_text(int blocks);

// Empty when the memory dump (from 0x4000 up) holds `data` at its start and
// 0xFF after it; else a description of the first difference.
std::string memory_mismatch(const std::vector<uint8_t> &memory,
                            const std::vector<uint8_t> &data);

// The framed commands (lines beginning "@") among `lines` whose command text
// is `text`, as their board numbers in order.
std::vector<int> command_boards(const std::vector<std::string> &lines, const std::string &text);

// Waits up to 30 s (in 10 ms steps) for `done`; false when it never came.
template <typename Condition>
bool eventually(Condition done) {
  for (int i = 0; i < 3000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// How often `needle` occurs in `haystack`.
int occurrences(const std::string &haystack, const std::string &needle);
