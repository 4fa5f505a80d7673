#pragma once
// Running the built binaries from tests: a child process with its standard
// input given as text, standard output and error captured separately, and a
// hard time limit after which it is killed (a hang is a test failure, never a
// hung CI). The child starts with every signal at its default disposition
// and none blocked, whatever the test runner had (a shell's background job
// ignores SIGINT, and ignored signals survive exec).

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
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
  // Called with the child's process id once it runs, from the calling
  // thread (to signal it while run_process waits in another thread).
  std::function<void(pid_t)> started;
  // Above zero: SIGINT to the child's whole process group once this long
  // after the start, as Ctrl-C at a terminal sends it.
  std::chrono::milliseconds interrupt_after{0};
};

// Runs argv[0] (a path) with argv. Never throws on child failures.
ProcessResult run_process(const std::vector<std::string> &argv,
                          const ProcessOptions &opts = {});

// run_process in a thread of its own, for a test that acts while the child
// runs (signals it, starts a rival). The destructor waits for the end.
class background_process {
 public:
  background_process(std::vector<std::string> argv, ProcessOptions opts = {});
  ~background_process();
  background_process(const background_process &) = delete;
  background_process &operator=(const background_process &) = delete;
  // The child's process id, once it has been started (waits for that).
  pid_t pid();
  // Waits for the end; the result of run_process.
  ProcessResult wait();

 private:
  std::promise<pid_t> started_;
  std::shared_future<pid_t> pid_;
  ProcessResult result_;
  std::thread thread_;
};

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
