#pragma once
// The private stage set up for trelk-fleet: simulated hubs linked as
// /dev/ttyUSB0, 1, ... in the order they are added, packages served with
// their manifest lines, the program run there, and readers for its plain
// output and its JSON report.

#if defined(TRELK_HUBSIM_BIN) && defined(TRELK_FLEET_BIN)

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "action_e2e.h"
#include "hubsim.h"
#include "private_net.h"
#include "process.h"

class fleet_stage {
 public:
  private_net net;
  std::vector<std::unique_ptr<HubSim>> hubs;
  scratch_dir dir;

  // Starts a simulator with `args` and links it as the next /dev/ttyUSB<n>;
  // returns that path (empty when the simulator did not start).
  std::string add_hub(const std::vector<std::string> &args);
  // Serves a test package of `version` with sections of `types` (bytes of
  // test_sections with the version as seed); returns its manifest line.
  std::string serve_package(const std::string &name, int version,
                            const std::vector<uint16_t> &types);
  // The text of that package, as served.
  static std::string package_of(int version, const std::vector<uint16_t> &types);
  // Above zero: run() sends SIGINT to trelk-fleet's process group this long
  // after the start (Ctrl-C).
  std::chrono::milliseconds interrupt_after{0};
  // Called with trelk-fleet's process id (its process group's) once it runs,
  // for a test that signals it at a moment of its choosing.
  std::function<void(pid_t)> started;

  // Runs trelk-fleet on the stage (two minutes at most, or `timeout`).
  ProcessResult run(const std::vector<std::string> &args,
                    std::chrono::milliseconds timeout = std::chrono::seconds(120));
  // A station: runs trelk-fleet with `args` in a thread of its own (the
  // caller joins it; *result is set by then) and returns once it has asked
  // for its two firmware documents (ten seconds at most), with the stage's
  // process id in *stage_pid (its group's: -pid is Ctrl-C).
  std::thread start_station(const std::vector<std::string> &args, ProcessResult *result,
                            pid_t *stage_pid,
                            std::chrono::milliseconds timeout = std::chrono::seconds(120));
  // Waits up to ten seconds until the server had `count` requests.
  void wait_for_requests(size_t count);
};

// A test authority and a server certificate it signed for `host` and
// 127.0.0.1, made by the openssl command in `dir`: ca.pem, server.pem and
// server.key. Returns "" when they were made, else what openssl said.
std::string make_test_authority(const std::string &dir, const std::string &host);

// The plain output's lines of `port`, without the "PORT: " that starts them.
std::vector<std::string> fleet_lines_of(const std::string &out, const std::string &port);

// The report's object for `port` (objects inside it included) with every
// "seconds" value shown as S; empty when the report has none.
std::string fleet_report_entry(const std::string &report_path, const std::string &port);

// The report's top-level fields before "hubs", with "generated" shown as T
// when it is a UTC time in ISO 8601 (YYYY-MM-DDTHH:MM:SSZ).
std::string fleet_report_head_of(const std::string &report_path);

// True when every line is one of the detection probes.
bool only_probes(const std::vector<std::string> &lines);

// The report file's text as it is now (empty while there is none).
std::string text_of(const std::string &path);
// Waits up to `limit` for `path` to hold every one of `parts`.
bool wait_for_text(const std::string &path, const std::vector<std::string> &parts,
                   std::chrono::seconds limit);
// The report's row (one line) that holds `part`; empty when none does.
std::string fleet_report_row(const std::string &report_path, const std::string &part);
// The trelk-fleet process that the stage's process `stage_pid` runs (for a
// signal to it alone, as a service manager's KillMode=mixed sends); -1 when
// there is none.
pid_t fleet_process_under(pid_t stage_pid);

#endif
