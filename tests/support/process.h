#pragma once
// Running the built binaries from tests: a child process with its standard
// input given as text, standard output and error captured separately, and a
// hard time limit after which it is killed (a hang is a test failure, never a
// hung CI).

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct ProcessResult {
  int exit_status = -1;     // 0..255 when the process exited
  int term_signal = 0;      // the signal that ended it, 0 when it exited
  bool timed_out = false;   // killed at the time limit
  std::string out;
  std::string err;
  double seconds = 0;       // wall time
};

struct ProcessOptions {
  std::string stdin_text;            // written, then stdin is closed
  bool close_stdin = true;           // false: stdin stays open (no EOF) until exit
  std::chrono::milliseconds timeout{60000};
  std::vector<std::string> env;      // extra NAME=VALUE entries
  // Above zero: SIGINT to the child's whole process group once this long
  // after the start, as Ctrl-C at a terminal sends it.
  std::chrono::milliseconds interrupt_after{0};
};

// Runs argv[0] (a path) with argv. Never throws on child failures.
ProcessResult run_process(const std::vector<std::string> &argv,
                          const ProcessOptions &opts = {});

// Runs `body` in a forked child with its standard output in a temporary
// file (for code that may end the process itself); returns the child's exit
// status (-1 when a signal ended it) and fills `out` with what it printed.
int run_in_child(const std::function<void()> &body, std::string *out);

// The trelk binary under test.
std::string trelk_binary();

#ifdef TRELK_FLEET_BIN
// The trelk-fleet binary under test.
inline std::string fleet_binary() { return TRELK_FLEET_BIN; }
#endif
