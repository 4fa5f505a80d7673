#pragma once
// Shared pieces of the end-to-end cases of the three actions: a scratch
// folder, the small test packages, the progress text of a clean upload, and
// checks on what a simulated hub received and now holds.

#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

#include "package_text.h"

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

// Another program's hold on a port, the way cooperating programs take one:
// an open of its own with flock(LOCK_EX). Released by the destructor.
class port_holder {
 public:
  explicit port_holder(const std::string &path);
  ~port_holder() { release(); }
  port_holder(const port_holder &) = delete;
  port_holder &operator=(const port_holder &) = delete;
  bool held() const { return fd_ >= 0; }
  void release();

 private:
  int fd_ = -1;
};

// A terminal's settings and its exclusive flag (TIOCEXCL), read through an
// open of its own (root passes the flag); `readable` false when that failed.
// Equal when every setting and the flag are.
struct terminal_state {
  bool readable = false;
  struct termios tty{};
  int exclusive = -1;
  bool operator==(const terminal_state &other) const;
};
terminal_state terminal_state_of(const std::string &path);

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

// How often `needle` occurs in `haystack`.
int occurrences(const std::string &haystack, const std::string &needle);
