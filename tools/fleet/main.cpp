// trelk-fleet: updates every Varnholt hub on the machine at once.
//
// It probes every USB serial port (or the --port paths) with trelk's own
// detection, chooses a package per hub (--fw, or each model's stable version
// from the firmware server), and updates the hubs that need it side by side,
// one child process per hub. The children report structured events over
// pipes; the parent keeps the display, the summary and the JSON report.

#include <getopt.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "display.h"
#include "fleet.h"
#include "functions.h"
#include "options.h"
#include "packages.h"
#include "report.h"
#include "run.h"
#include "serial.h"
#include "timer.h"

namespace {

constexpr const char *kProgram = "trelk-fleet";
// Usage and setup errors end with -1, as trelk's own do.
constexpr int kExitSetup = 255;
constexpr int kExitOk = 0;
constexpr int kExitHubFailed = 1;
// A shell reports a process ended by signal N as 128 + N; an interrupted run
// ends the same way after writing its summary.
constexpr int kExitSignalBase = 128;

constexpr const char *kHelp =
    "Usage: trelk-fleet [OPTION]...\n"
    "Update every Varnholt hub on this machine at once, one process per hub.\n"
    "\n"
    "Without --port, every /dev/ttyUSB* port is probed as 'trelk --auto' probes\n"
    "them; ports where no hub answers, or that another program holds, are\n"
    "reported and left alone. Without --fw, each hub gets the stable version of\n"
    "its own model from the firmware server.\n"
    "\n"
    "Options:\n"
    "      --fw FILE     update every hub with this package\n"
    "      --port PATH   update only the hub on PATH (repeat for more hubs)\n"
    "      --jobs N      update at most N hubs at once (default: all)\n"
    "      --force       update hubs that already run the package's version\n"
    "      --dry-run     detect the hubs and show what would be done; nothing\n"
    "                      but the detection probes is sent\n"
    "      --json FILE   write a report of every hub to FILE (JSON)\n"
    "      --help        display this help and exit\n"
    "      --version     output version information and exit\n"
    "\n"
    "Exit status:\n"
    " 0    every hub found was updated or is up to date,\n"
    " 1    a hub failed or was skipped,\n"
    " 255  a usage or setup error (no package, firmware server unreachable,\n"
    "      no hub found),\n"
    " 128+N  interrupted by signal N (the summary names the incomplete hubs).\n";

int usage_error(const std::string &message) {
  print_error("%s: %s\nTry '%s --help' for more information.\n", kProgram,
               message.c_str(), kProgram);
  return kExitSetup;
}

// Returns -1 to go on, else the exit status.
int parse(int argc, char **argv, fleet_options *opts) {
  enum { o_fw = 256, o_port, o_jobs, o_force, o_dry_run, o_json, o_help, o_version };
  static const option long_options[] = {
      {"fw", required_argument, nullptr, o_fw},
      {"port", required_argument, nullptr, o_port},
      {"jobs", required_argument, nullptr, o_jobs},
      {"force", no_argument, nullptr, o_force},
      {"dry-run", no_argument, nullptr, o_dry_run},
      {"json", required_argument, nullptr, o_json},
      {"help", no_argument, nullptr, o_help},
      {"version", no_argument, nullptr, o_version},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":", long_options, nullptr)) != -1) {
    switch (c) {
      case o_fw:
        opts->fw_path = optarg;
        break;
      case o_port: {
        const std::string port = optarg;
        bool seen = false;
        for (const auto &p : opts->ports) seen = seen || p == port;
        if (!seen) opts->ports.push_back(port);
        break;
      }
      case o_jobs: {
        char *end = nullptr;
        errno = 0;
        const long jobs = std::strtol(optarg, &end, 10);
        if (*optarg == '\0' || *end != '\0' || errno != 0 || jobs < 1 || jobs > INT_MAX)
          return usage_error(std::string("invalid number of jobs '") + optarg +
                             "' (a whole number from 1 up)");
        opts->jobs = static_cast<int>(jobs);
        break;
      }
      case o_force:
        opts->force = true;
        break;
      case o_dry_run:
        opts->dry_run = true;
        break;
      case o_json:
        opts->json_path = optarg;
        break;
      case o_help:
        std::fputs(kHelp, stdout);
        return kExitOk;
      case o_version:
        std::printf("trelk-fleet (trelk) %s\n", TRELK_VERSION_STRING);
        return kExitOk;
      case ':':
        return usage_error(std::string("option '") + argv[optind - 1] + "' requires an argument");
      default:
        return usage_error(std::string("unrecognized option '") + argv[optind - 1] + "'");
    }
  }
  if (optind < argc) return usage_error(std::string("unexpected argument '") + argv[optind] + "'");
  return -1;
}

// The ports to probe: --port's, or every /dev/ttyUSB* in directory order.
std::vector<std::string> ports_to_probe(const fleet_options &opts) {
  if (!opts.ports.empty()) return opts.ports;
  std::vector<std::string> ports;
  char *list = serial_find_ports();
  if (list == nullptr) return ports;
  for (const char *port = list; *port != '\0'; port += std::strlen(port) + 1) ports.push_back(port);
  string_list_free(list);
  return ports;
}

int exit_status(const std::vector<fleet_hub> &hubs) {
  if (fleet_interrupt_signal() != 0) return kExitSignalBase + fleet_interrupt_signal();
  for (const fleet_hub &hub : hubs) {
    if (!hub.is_hub) continue;
    if (hub.result == hub_result::failed || hub.result == hub_result::skipped)
      return kExitHubFailed;
  }
  return kExitOk;
}

// Hubs the run never got to after an interrupt: skipped, and incomplete.
void settle_interrupted(std::vector<fleet_hub> &hubs) {
  for (fleet_hub &hub : hubs) {
    if (hub.result != hub_result::none) continue;
    hub.result = hub_result::skipped;
    hub.reason = "interrupted before it was updated";
    hub.incomplete = hub.is_hub;
  }
}

}  // namespace

int main(int argc, char **argv) {
  fleet_options opts;
  const int parsed = parse(argc, argv, &opts);
  if (parsed >= 0) return parsed;
  // The library's display options stay at their defaults: the hub processes
  // install their own upload observer anyway.
  std::memset(&options, 0, sizeof options);

  if (!opts.json_path.empty() && !fleet_report_writable(opts.json_path)) return kExitSetup;
  // The package file is read before any port is touched.
  package_set packages;
  if (!opts.fw_path.empty() && !packages.load_file(opts.fw_path)) return kExitSetup;

  const std::vector<std::string> ports = ports_to_probe(opts);
  if (ports.empty()) {
    print_error("%s: no USB serial port found (/dev/ttyUSB*)\n", kProgram);
    return kExitSetup;
  }
  if (!fleet_catch_interrupts()) return kExitSetup;

  std::vector<fleet_hub> hubs(ports.size());
  for (size_t i = 0; i < ports.size(); ++i) hubs[i].port = ports[i];
  const bool terminal = isatty(STDOUT_FILENO) == 1;
  fleet_display display(hubs, stdout, terminal, opts.dry_run);
  const int64_t start = get_absolute_time();
  auto finish = [&](int status) {
    display.close();
    display.summary(static_cast<double>(get_absolute_time() - start) / 1000.0,
                    fleet_interrupt_signal());
    if (!opts.json_path.empty() &&
        !fleet_write_atomically(opts.json_path, fleet_report_json(hubs)) && status == kExitOk)
      status = kExitHubFailed;
    return status;
  };

  fleet_run_stage(hubs, std::vector<bool>(hubs.size(), true), fleet_stage::probe, opts.jobs,
                  opts.force, display);
  if (fleet_interrupt_signal() != 0) {
    settle_interrupted(hubs);
    return finish(exit_status(hubs));
  }
  bool any_hub = false;
  for (const fleet_hub &hub : hubs) any_hub = any_hub || hub.is_hub;
  if (!any_hub) {
    display.close();
    print_error("%s: no Varnholt hub found\n", kProgram);
    return finish(kExitSetup);
  }

  if (!opts.fw_path.empty()) {
    packages.give_file_package(hubs);
  } else if (!packages.choose_from_server(hubs)) {
    display.close();
    return kExitSetup;
  }
  fleet_plan(hubs, opts.force);
  std::vector<bool> wanted(hubs.size(), false);
  const int64_t planned = get_absolute_time();
  for (size_t i = 0; i < hubs.size(); ++i) {
    fleet_hub &hub = hubs[i];
    wanted[i] = hub.to_update;
    if (!hub.is_hub) continue;
    // Hubs whose run ends with the plan (and all of them in a dry run).
    if (hub.result != hub_result::none || opts.dry_run) hub.ended_ms = planned;
    display.hub_changed(hub);
  }

  if (opts.dry_run) {
    const int status = exit_status(hubs);
    for (fleet_hub &hub : hubs) {
      if (!hub.to_update) continue;
      hub.result = hub_result::skipped;
      hub.reason = "dry run: would update " + fleet_version_text(hub.version_before) + " to " +
                   fleet_version_text(hub.version_after);
    }
    return finish(status);
  }

  fleet_run_stage(hubs, wanted, fleet_stage::update, opts.jobs, opts.force, display);
  if (fleet_interrupt_signal() != 0) settle_interrupted(hubs);
  return finish(exit_status(hubs));
}
