// trelk-fleet: updates every Varnholt hub on the machine at once.
//
// It probes every USB serial port (or the --port paths) with trelk's own
// detection, chooses a package per hub (--fw, or each model's stable version
// from the firmware server, a server of the site's own or a mirror on disk),
// checks every package against the site's checksum lists, and updates the
// hubs that need it side by side, one child process per hub; each hub is
// then restarted into its normal firmware and counts as updated only when
// that firmware reports the new version (--canary: one hub of each model
// first). The children
// report structured events over pipes; the parent keeps the display, the
// summary and the JSON report. With --watch it goes on as a flash station,
// updating every hub plugged in until it is stopped. With --mirror it updates nothing: it copies
// the firmware source into a folder for machines without a network.

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "canary.h"
#include "checksums.h"
#include "display.h"
#include "files.h"
#include "fleet.h"
#include "functions.h"
#include "history.h"
#include "list.h"
#include "mirror.h"
#include "options.h"
#include "packages.h"
#include "report.h"
#include "run.h"
#include "serial.h"
#include "source.h"
#include "station.h"
#include "timer.h"

namespace {

constexpr const char *kProgram = "trelk-fleet";

constexpr const char *kHelp =
    "Usage: trelk-fleet [OPTION]...\n"
    "  or:  trelk-fleet --list [--port PATH]... [--json FILE] [--history FILE]\n"
    "  or:  trelk-fleet --mirror DIR [--server SOURCE] [--ca-file FILE]\n"
    "                   [--sha256sums FILE]\n"
    "Update every Varnholt hub on this machine at once, one process per hub;\n"
    "or, with --list, show every hub without changing it; or, with --mirror,\n"
    "copy the firmware source into DIR for an offline lab.\n"
    "\n"
    "Without --port, every /dev/ttyUSB* port is probed as 'trelk --auto' probes\n"
    "them; ports where no hub answers, or that another program holds, are\n"
    "reported and left alone. Without --fw, each hub gets the stable version of\n"
    "its own model from the firmware server (" TRELK_FIRMWARE_HOST " over plain\n"
    "HTTP, or --server).\n"
    "\n"
    "Options:\n"
    "      --fw FILE     update every hub with this package\n"
    "      --port PATH   update only the hub on PATH (repeat for more hubs)\n"
    "      --jobs N      update at most N hubs at once (default: all)\n"
    "      --force       update hubs that already run the package's version\n"
    "      --canary      update one hub of each model first, and the other hubs\n"
    "                      of that model only once it runs the new version\n"
    "      --no-restart  leave every updated hub in its bootloaders, as trelk\n"
    "                      does; nothing is read back\n"
    "      --watch       keep running after the hubs attached at the start, and\n"
    "                      update every hub plugged in until interrupted (a\n"
    "                      flash station): each plug-in is a visit with its own\n"
    "                      row; --json FILE is rewritten after every visit\n"
    "      --away-limit SECONDS\n"
    "                    a hub unplugged during its update is waited for this\n"
    "                      long (default 120); then it is failed, as it may\n"
    "                      hold incomplete firmware, and the run goes on\n"
    "      --dry-run     detect the hubs and show what would be done and where\n"
    "                      each package comes from; nothing but the detection\n"
    "                      probes is sent\n"
    "      --json FILE   write a report of every hub to FILE (JSON)\n"
    "      --list        change nothing: probe the hubs and show each one's port,\n"
    "                      USB socket and serial, model, serial numbers, mode\n"
    "                      and firmware (each board's in its bootloaders); no\n"
    "                      firmware source is needed\n"
    "      --history FILE\n"
    "                    append a line of JSON for each hub as it finishes (its\n"
    "                      report row, with \"time\" and \"host\") to FILE, shared\n"
    "                      safely by runs on this machine (a dry run adds none);\n"
    "                      with --list, show each hub's last entry in FILE\n"
    "      --server SOURCE\n"
    "                    take the firmware from SOURCE: http://HOST[:PORT][/PREFIX]\n"
    "                      or https://HOST[:PORT][/PREFIX] (the files at\n"
    "                      PREFIX/firmware/manifest, .../stable, .../NAME), or a\n"
    "                      mirror directory (DIR or file://DIR) laid out the same\n"
    "                      way\n"
    "      --ca-file FILE  trust the authorities in FILE (PEM) instead of the\n"
    "                      system's, for an https:// server\n"
    "      --sha256sums FILE\n"
    "                    upload only packages that FILE (sha256sum format)\n"
    "                      lists with their digest; hubs whose package it lacks\n"
    "                      or contradicts are skipped\n"
    "      --mirror DIR  update no hub: store the manifest, the stable list and\n"
    "                      each model's stable package in DIR/firmware/, listed\n"
    "                      in DIR/SHA256SUMS, for a later --server DIR\n"
    "      --help        display this help and exit\n"
    "      --version     output version information and exit\n"
    "\n"
    "After its upload each hub is restarted into its normal firmware, and the\n"
    "version that firmware reports decides: updated when it is the package's,\n"
    "failed otherwise. A hub found in its bootloaders that already holds its\n"
    "package is restarted the same way. The report's version_after is the\n"
    "version a restarted hub reported (with --no-restart the version written),\n"
    "its mode_after \"normal\", \"bootloader\" or null (not reached).\n"
    "\n"
    "A mirror's own SHA256SUMS is always checked. Proxies come from http_proxy,\n"
    "https_proxy, all_proxy and no_proxy.\n"
    "\n"
    "Exit status:\n"
    " 0    every hub found was updated or is up to date (--mirror: all stored;\n"
    "      --watch: every visit; --list: a hub was found),\n"
    " 1    a hub failed or was skipped (--mirror: a package could not be\n"
    "      mirrored, and nothing was stored; --list: no hub was found),\n"
    " 255  a usage or setup error (no package, firmware server unreachable,\n"
    "      no hub found without --watch, DIR not writable),\n"
    " 128+N  interrupted by signal N (the summary names the incomplete hubs;\n"
    "      --watch: only when a hub's update was cut short).\n";

int usage_error(const std::string &message) {
  print_error("%s: %s\nTry '%s --help' for more information.\n", kProgram,
               message.c_str(), kProgram);
  return FLEET_EXIT_SETUP;
}

// --list changes nothing and needs no firmware: the options of an update
// contradict it. -1 when none is given, else the usage error's status.
int list_conflict(const fleet_options &opts) {
  const std::pair<bool, const char *> update_options[] = {
      {!opts.fw_path.empty(), "--fw"},  {!opts.server.empty(), "--server"},
      {!opts.ca_file.empty(), "--ca-file"}, {!opts.sha256sums.empty(), "--sha256sums"},
      {opts.force, "--force"},          {opts.dry_run, "--dry-run"},
      {opts.canary, "--canary"},        {opts.no_restart, "--no-restart"},
      {opts.watch, "--watch"},
  };
  for (const auto &[given, name] : update_options)
    if (given) return usage_error(std::string("options '--list' and '") + name +
                                  "' cannot be used together");
  return -1;
}

// Options that contradict each other: -1 when there are none, else the
// usage error's status.
int conflicting_options(const fleet_options &opts) {
  const std::pair<bool, const char *> hub_options[] = {
      {!opts.fw_path.empty(), "--fw"},   {!opts.ports.empty(), "--port"},
      {opts.jobs != 0, "--jobs"},        {opts.force, "--force"},
      {opts.dry_run, "--dry-run"},       {!opts.json_path.empty(), "--json"},
      {opts.canary, "--canary"},         {opts.no_restart, "--no-restart"},
      {opts.watch, "--watch"},           {opts.away_limit_given, "--away-limit"},
      {!opts.history_path.empty(), "--history"}, {opts.list, "--list"},
  };
  if (!opts.mirror_dir.empty())
    for (const auto &[given, name] : hub_options)
      if (given) return usage_error(std::string("options '--mirror' and '") + name +
                                    "' cannot be used together");
  if (opts.list) {
    const int status = list_conflict(opts);
    if (status >= 0) return status;
  }
  if (!opts.fw_path.empty() && !opts.server.empty())
    return usage_error("options '--fw' and '--server' cannot be used together");
  // A station takes every port that appears, and a dry run would watch
  // for nothing to do.
  if (opts.watch && !opts.ports.empty())
    return usage_error("options '--watch' and '--port' cannot be used together");
  if (opts.watch && opts.dry_run)
    return usage_error("options '--watch' and '--dry-run' cannot be used together");
  // A canary proves the new version by running it.
  if (opts.canary && opts.no_restart)
    return usage_error("options '--canary' and '--no-restart' cannot be used together");
  return -1;
}

enum option_code {
  o_fw = 256, o_port, o_jobs, o_force, o_dry_run, o_json, o_server, o_ca_file, o_sha256sums,
  o_mirror, o_canary, o_no_restart, o_watch, o_away_limit, o_list, o_history, o_help, o_version
};

const option kLongOptions[] = {
    {"fw", required_argument, nullptr, o_fw},
    {"port", required_argument, nullptr, o_port},
    {"jobs", required_argument, nullptr, o_jobs},
    {"force", no_argument, nullptr, o_force},
    {"dry-run", no_argument, nullptr, o_dry_run},
    {"json", required_argument, nullptr, o_json},
    {"server", required_argument, nullptr, o_server},
    {"ca-file", required_argument, nullptr, o_ca_file},
    {"sha256sums", required_argument, nullptr, o_sha256sums},
    {"mirror", required_argument, nullptr, o_mirror},
    {"canary", no_argument, nullptr, o_canary},
    {"no-restart", no_argument, nullptr, o_no_restart},
    {"watch", no_argument, nullptr, o_watch},
    {"away-limit", required_argument, nullptr, o_away_limit},
    {"list", no_argument, nullptr, o_list},
    {"history", required_argument, nullptr, o_history},
    {"help", no_argument, nullptr, o_help},
    {"version", no_argument, nullptr, o_version},
    {nullptr, 0, nullptr, 0},
};

// --port PATH, once however often it is given.
void add_port(const char *path, fleet_options *opts) {
  const std::string port = path;
  bool seen = false;
  for (const auto &p : opts->ports) seen = seen || p == port;
  if (!seen) opts->ports.push_back(port);
}

// A count option's value: -1 with *out set when `text` is a whole number
// from 1 up, else the usage error's status, "invalid WHAT 'TEXT' (RULE)".
int take_count(const char *text, const char *what, const char *rule, int *out) {
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0 || value < 1 || value > INT_MAX)
    return usage_error(std::string("invalid ") + what + " '" + text + "' (" + rule + ")");
  *out = static_cast<int>(value);
  return -1;
}

// Applies one option getopt_long returned, with its value. -1 to go on,
// else the exit status (help and version printed, or a usage error).
int take_option(int c, const char *value, const char *given, fleet_options *opts) {
  switch (c) {
    case o_fw: opts->fw_path = value; return -1;
    case o_port: add_port(value, opts); return -1;
    case o_jobs: return take_count(value, "number of jobs", "a whole number from 1 up", &opts->jobs);
    case o_force: opts->force = true; return -1;
    case o_dry_run: opts->dry_run = true; return -1;
    case o_json: opts->json_path = value; return -1;
    case o_server: opts->server = value; return -1;
    case o_ca_file: opts->ca_file = value; return -1;
    case o_sha256sums: opts->sha256sums = value; return -1;
    case o_mirror: opts->mirror_dir = value; return -1;
    case o_canary: opts->canary = true; return -1;
    case o_no_restart: opts->no_restart = true; return -1;
    case o_watch: opts->watch = true; return -1;
    case o_away_limit:
      opts->away_limit_given = true;
      return take_count(value, "away limit", "a whole number of seconds from 1 up",
                        &opts->away_limit_s);
    case o_list: opts->list = true; return -1;
    case o_history: opts->history_path = value; return -1;
    case o_help:
      std::fputs(kHelp, stdout);
      return FLEET_EXIT_OK;
    case o_version:
      std::printf("trelk-fleet (trelk) %s\n", TRELK_VERSION_STRING);
      return FLEET_EXIT_OK;
    case ':':
      return usage_error(std::string("option '") + given + "' requires an argument");
    default:
      return usage_error(std::string("unrecognized option '") + given + "'");
  }
}

// Returns -1 to go on, else the exit status.
int parse(int argc, char **argv, fleet_options *opts) {
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":", kLongOptions, nullptr)) != -1) {
    const int status = take_option(c, optarg, argv[optind - 1], opts);
    if (status >= 0) return status;
  }
  if (optind < argc) return usage_error(std::string("unexpected argument '") + argv[optind] + "'");
  return conflicting_options(*opts);
}

// The ports to probe: --port's, or every /dev/ttyUSB* in directory order.
std::vector<std::string> ports_to_probe(const fleet_options &opts) {
  return opts.ports.empty() ? fleet_usb_ports() : opts.ports;
}

// Paths given twice for one device: said once each, before any probe.
void say_aliases(const std::vector<fleet_hub> &hubs) {
  for (const fleet_hub &hub : hubs)
    for (const std::string &alias : hub.aliases)
      std::printf("%s: the same device as %s (probed once)\n", alias.c_str(), hub.port.c_str());
  std::fflush(stdout);
}

int exit_status(const std::vector<fleet_hub> &hubs) {
  if (fleet_interrupt_signal() != 0) return FLEET_EXIT_SIGNAL_BASE + fleet_interrupt_signal();
  for (const fleet_hub &hub : hubs) {
    if (!hub.is_hub) continue;
    if (hub.result == hub_result::failed || hub.result == hub_result::skipped)
      return FLEET_EXIT_HUB_FAILED;
  }
  return FLEET_EXIT_OK;
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

// The firmware source and the checksum lists of the run, read before any
// port is touched.
struct run_setup {
  std::unique_ptr<firmware_source> source;
  checksum_list trusted;
  checksum_list mirror;
  package_checks checks;
};

// -1 when the setup is complete, else the exit status (after a message).
int prepare(const fleet_options &opts, run_setup *setup) {
  std::string error;
  setup->source = firmware_source::make(opts.server, opts.ca_file, &error);
  if (!setup->source) return usage_error(error);
  std::string text, cause;
  if (!opts.ca_file.empty() &&
      !read_bounded_file(opts.ca_file, CHECKSUM_LIST_MAX_SIZE, &text, &cause)) {
    print_error("%s: cannot read the CA file %s: %s\n", kProgram, opts.ca_file.c_str(),
                cause.c_str());
    return FLEET_EXIT_SETUP;
  }
  if (!opts.sha256sums.empty()) {
    if (!setup->trusted.load(opts.sha256sums)) return FLEET_EXIT_SETUP;
    setup->checks.trusted = &setup->trusted;
  }
  // A mirror's own list is checked whenever it is there.
  struct stat st {};
  const std::string own = setup->source->checksum_list_path();
  if (setup->source->kind() == source_kind::directory && ::lstat(own.c_str(), &st) == 0) {
    if (!setup->mirror.load(own)) return FLEET_EXIT_SETUP;
    setup->checks.mirror = &setup->mirror;
  }
  return -1;
}

// After a dry run's plan: the hubs it would update are skipped, saying so.
void settle_dry_run(std::vector<fleet_hub> &hubs) {
  for (fleet_hub &hub : hubs) {
    if (!hub.to_update) continue;
    hub.result = hub_result::skipped;
    hub.reason = hub.restart_only
                     ? "dry run: would restart it from its bootloaders into its normal firmware"
                     : "dry run: would update " + fleet_version_text(hub.version_before) + " to " +
                           fleet_version_text(hub.version_after);
  }
}

// The plan's result for the hubs whose run ends with it, and the dry run's.
void show_plan(std::vector<fleet_hub> &hubs, std::vector<bool> *wanted, bool dry_run,
               fleet_display &display) {
  const int64_t planned = get_absolute_time();
  for (size_t i = 0; i < hubs.size(); ++i) {
    fleet_hub &hub = hubs[i];
    (*wanted)[i] = hub.to_update;
    if (!hub.is_hub) continue;
    // Hubs whose run ends with the plan (and all of them in a dry run).
    if (hub.result != hub_result::none || dry_run) hub.ended_ms = planned;
    display.hub_changed(hub);
  }
}

// What each hub's process is told of the command line.
fleet_update_rules update_rules(const fleet_options &opts) {
  return {opts.force, /*restart=*/!opts.no_restart, int64_t{opts.away_limit_s} * 1000};
}

// One update run as its steps share it: the options, the source, the
// packages, the hubs and their display, and what the report names.
struct update_run {
  const fleet_options &opts;
  run_setup &setup;
  package_set &packages;
  std::vector<fleet_hub> &hubs;
  fleet_display &display;
  int64_t start;
  std::string source;  // the report's "source": the server, mirror or --fw file
  fleet_history_log &history;
};

// The end of every run that got as far as its hubs: the last redraw, the
// package lines, the summary and the report. Returns `status`, or 1 instead
// of 0 when the report could not be written.
int finish_run(update_run &run, int status) {
  run.history.record(run.hubs);
  if (run.history.failed() && status == FLEET_EXIT_OK) status = FLEET_EXIT_HUB_FAILED;
  run.display.close();
  run.display.packages(run.packages.describe());
  run.display.summary(static_cast<double>(get_absolute_time() - run.start) / 1000.0,
                      fleet_interrupt_signal());
  if (!run.opts.json_path.empty() &&
      !fleet_write_atomically(run.opts.json_path,
                              fleet_report_json(fleet_report_head_now(run.source), run.hubs)) &&
      status == FLEET_EXIT_OK)
    status = FLEET_EXIT_HUB_FAILED;
  return status;
}

// Probes every hub. -1 to go on to the plan, else the run's exit status.
int probe_hubs(update_run &run) {
  fleet_run_stage(run.hubs, std::vector<bool>(run.hubs.size(), true), fleet_stage::probe,
                  run.opts.jobs, update_rules(run.opts), run.display);
  if (fleet_interrupt_signal() != 0) {
    settle_interrupted(run.hubs);
    return finish_run(run, exit_status(run.hubs));
  }
  bool any_hub = false;
  for (const fleet_hub &hub : run.hubs) any_hub = any_hub || hub.is_hub;
  if (any_hub) return -1;
  run.display.close();
  print_error("%s: %s\n", kProgram, fleet_no_hub_message(run.hubs).c_str());
  return finish_run(run, FLEET_EXIT_SETUP);
}

// Gives each hub its package and decides which hubs are updated (*wanted).
// -1 to go on to the updates, else the run's exit status (a dry run ends
// here).
int plan_hubs(update_run &run, std::vector<bool> *wanted) {
  if (!run.opts.fw_path.empty()) {
    run.packages.give_file_package(run.hubs);
  } else if (!run.packages.choose_from_server(run.hubs, *run.setup.source)) {
    run.display.close();
    return FLEET_EXIT_SETUP;
  }
  run.setup.source->close_connections();
  fleet_plan(run.hubs, update_rules(run.opts));
  if (run.opts.canary) fleet_choose_canaries(run.hubs);
  show_plan(run.hubs, wanted, run.opts.dry_run, run.display);
  if (!run.opts.dry_run) {
    run.history.record(run.hubs);  // the hubs whose run ends with the plan
    return -1;
  }
  const int status = exit_status(run.hubs);
  settle_dry_run(run.hubs);
  return finish_run(run, status);
}

// The report's "source": the firmware source, or the --fw file's full path.
std::string source_label(const fleet_options &opts, const run_setup &setup) {
  if (opts.fw_path.empty()) return setup.source->label();
  return std::filesystem::absolute(opts.fw_path).lexically_normal().string();
}

// --watch: the documents are had before any port is touched, and the
// station runs until it is interrupted.
int watch_hubs(const fleet_options &opts, run_setup &setup, package_set &packages) {
  if (!fleet_catch_interrupts()) return FLEET_EXIT_SETUP;
  packages.stop_when_readable(fleet_interrupt_fd());
  firmware_source *source = opts.fw_path.empty() ? setup.source.get() : nullptr;
  if (source != nullptr && !packages.load_documents(*source)) return FLEET_EXIT_SETUP;
  if (source != nullptr) source->close_connections();
  return fleet_station(opts, packages, source, source_label(opts, setup));
}

// The hubs of the ports to probe, their aliases said, interrupts caught.
// -1 to go on; else `no_port` after saying that there is no port, or the
// setup error's status.
int hubs_to_probe(const fleet_options &opts, int no_port, std::vector<fleet_hub> *hubs) {
  const std::vector<std::string> ports = ports_to_probe(opts);
  if (ports.empty()) {
    print_error("%s: no USB serial port found (/dev/ttyUSB*)\n", kProgram);
    return no_port;
  }
  if (!fleet_catch_interrupts()) return FLEET_EXIT_SETUP;
  *hubs = fleet_hubs_of_ports(ports);
  say_aliases(*hubs);
  return -1;
}

// Probes, plans and updates the hubs; returns the exit status.
int update_hubs(const fleet_options &opts, run_setup &setup) {
  if (!opts.json_path.empty() && !fleet_report_writable(opts.json_path)) return FLEET_EXIT_SETUP;
  // The package file is read before any port is touched.
  package_set packages(setup.checks);
  if (!opts.fw_path.empty() && !packages.load_file(opts.fw_path)) return FLEET_EXIT_SETUP;
  if (opts.watch) return watch_hubs(opts, setup, packages);
  // A dry run changes nothing, so it adds nothing to the history.
  fleet_history_log history;
  if (!opts.history_path.empty() && !opts.dry_run && !history.open(opts.history_path))
    return FLEET_EXIT_SETUP;

  std::vector<fleet_hub> hubs;
  int status = hubs_to_probe(opts, FLEET_EXIT_SETUP, &hubs);
  if (status >= 0) return status;
  packages.stop_when_readable(fleet_interrupt_fd());
  fleet_display display(hubs, stdout, isatty(STDOUT_FILENO) == 1, opts.dry_run);
  update_run run{opts, setup, packages, hubs, display, get_absolute_time(),
                 source_label(opts, setup), history};
  status = probe_hubs(run);
  if (status >= 0) return status;
  std::vector<bool> wanted(hubs.size(), false);
  status = plan_hubs(run, &wanted);
  if (status >= 0) return status;
  fleet_run_stage(hubs, wanted, fleet_stage::update, opts.jobs, update_rules(opts), display,
                  [&] { history.record(hubs); });
  if (fleet_interrupt_signal() != 0) settle_interrupted(hubs);
  return finish_run(run, exit_status(hubs));
}

// --list: no firmware source, no package; the probes alone.
int list_hubs(const fleet_options &opts) {
  std::vector<fleet_hub> hubs;
  const int status = hubs_to_probe(opts, FLEET_EXIT_HUB_FAILED, &hubs);
  return status >= 0 ? status : fleet_list(opts, hubs);
}

}  // namespace

int main(int argc, char **argv) {
  fleet_options opts;
  const int parsed = parse(argc, argv, &opts);
  if (parsed >= 0) return parsed;
  // The library's display options stay at their defaults: the hub processes
  // install their own upload observer anyway.
  std::memset(&options, 0, sizeof options);
  if (opts.list) return list_hubs(opts);

  run_setup setup;
  const int prepared = prepare(opts, &setup);
  if (prepared >= 0) return prepared;
  if (opts.mirror_dir.empty()) return update_hubs(opts, setup);
  if (!fleet_catch_interrupts()) return FLEET_EXIT_SETUP;
  return fleet_mirror(*setup.source, setup.checks, opts.mirror_dir, stdout,
                      isatty(STDOUT_FILENO) == 1);
}
