#pragma once
// Running the hub simulator (trelk-hubsim) from tests: start it with the
// arguments a test needs, learn the port to hand to trelk from its first line,
// stop it, and read back what it recorded (each board's memory, every line it
// received, its state counters). Each instance gets its own dump directory;
// the simulator's standard error goes to a file in it. The simulator dies
// with the test process and is stopped by the destructor, so a failing test
// never leaves one behind (it is tied to the thread that started it: start
// it from the test's own thread). Set TRELK_KEEP_HUBSIM_DUMPS to keep the
// dump directory after the test.
//
// Only available when the simulator target exists (TRELK_HUBSIM_BIN).

#ifdef TRELK_HUBSIM_BIN

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class HubSim {
 public:
  // `args` are passed to trelk-hubsim as given; --dump-dir is added.
  explicit HubSim(std::vector<std::string> args = {});
  ~HubSim();
  HubSim(const HubSim &) = delete;
  HubSim &operator=(const HubSim &) = delete;

  // Starts the simulator and reads the port path from its first line.
  // False (with the reason in error()) when it did not start within the
  // timeout or exited first (a bad option, for instance).
  bool start(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // The port path (the pseudo-terminal, or --link's path). Empty before start.
  const std::string &port() const { return port_; }
  pid_t pid() const { return pid_; }
  bool running();

  // Asks for the dumps without stopping (SIGUSR1) and waits until they are
  // written. False on timeout or when not running.
  bool dump_now(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));
  // Asks for dumps every 50 ms until state value `key` reaches `at_least`
  // (a count, e.g. "count.upload"). False on timeout or when not running.
  bool wait_for_count(const std::string &key, long at_least,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));
  // SIGTERM, then waits (SIGKILL after the timeout). Returns the exit status
  // (0..255), 128+signal when killed, -1 when it was not running. Idempotent.
  int stop(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // Waits for the simulator to exit by itself (--exit-after-finish, idle).
  // Returns the exit status as stop() does, or -2 on timeout (still running).
  int wait_exit(std::chrono::milliseconds timeout);

  // The dumps as last written (after stop(), wait_exit() or dump_now()).
  // memory(): board N's memory from 0x4000 up, empty when there is no dump.
  std::vector<uint8_t> memory(int board) const;
  // Bytes of board N's memory at absolute address `address`.
  std::vector<uint8_t> memory_at(int board, uint32_t address, size_t length) const;
  // Every received line in order, line ends removed; control bytes appear
  // as \xNN.
  std::vector<std::string> lines() const;
  // The same lines with their arrival time in seconds since the simulator
  // started (millisecond resolution), for checking pauses and order.
  std::vector<std::pair<double, std::string>> timed_lines() const;
  // state.txt as key -> value: "mode", "model", "exit" (running, signal,
  // finished, idle), "dumps", "unplugs", "port", "boardN.type|version|
  // finishes|lines_stored|pinging", "count.KIND" and "boardN.count.KIND"
  // (upload, part_crc, stop_ping, finish, reboot_normal, reboot_boot, probes,
  // acks_sent, naks_sent, acks_dropped, bad_checksum, crc_spoiled, ...).
  std::map<std::string, std::string> state() const;
  // A state value as a number, `fallback` when absent.
  long state_long(const std::string &key, long fallback = 0) const;
  // The simulator's standard error so far.
  std::string stderr_text() const;

  const std::string &dump_dir() const { return dir_; }
  const std::string &error() const { return error_; }

  static std::string binary();

 private:
  std::vector<std::string> args_;
  std::string dir_;
  std::string port_;
  std::string error_;
  pid_t pid_ = -1;
  int status_ = -1;
};

#endif // TRELK_HUBSIM_BIN
