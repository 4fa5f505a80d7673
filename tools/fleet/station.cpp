#include "station.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "canary.h"
#include "display.h"
#include "fetch_job.h"
#include "functions.h"
#include "history.h"
#include "port_watch.h"
#include "report.h"
#include "run.h"
#include "timer.h"
#include "usb.h"

namespace {

// Without events the loop still looks up once a second, as a run does.
constexpr int IDLE_POLL_MS = 1000;

enum class visit_step { probing, fetching, planned, updating, done };

// What the station keeps of a visit beside its hub's entry.
struct visit {
  visit_step step = visit_step::probing;
  port_node node;  // the port's device when it arrived
  // Arrivals taken for its hub while it ran (by its USB identity): looked at
  // again at its end, when its hub does not hold them.
  std::vector<std::pair<std::string, port_node>> claimed;
};

// A package being fetched for the visits that wait for it.
struct package_fetch {
  const auto_ufw_manifest *listed = nullptr;
  std::unique_ptr<fetch_job> job;
};

// What the station calls a hub it never started on.
constexpr char NOT_STARTED_TEXT[] = "not started: the station was stopped";

struct station {
  const fleet_options &opts;
  package_set &packages;
  firmware_source *source;
  std::string source_label;
  fleet_update_rules rules;
  std::vector<fleet_hub> hubs;     // one entry per visit, in arrival order
  std::vector<visit> visits;       // each visit's step and node
  std::map<std::string, package_fetch> fetches;  // by package file name
  fleet_display display;
  port_watch watch;
  int updating = 0;
  bool report_failed = false;
  fleet_history_log history;       // --history: a line per finished visit

  station(const fleet_options &o, package_set &p, firmware_source *s, std::string label)
      : opts(o), packages(p), source(s), source_label(std::move(label)),
        rules{o.force, /*restart=*/!o.no_restart, int64_t{o.away_limit_s} * 1000},
        display(hubs, stdout, isatty(STDOUT_FILENO) == 1, /*dry_run=*/false) {}
};

// The visit in progress whose hub the device `node` (arrived at a port) may
// be: a tty with its hub's USB identity (the hub back under a new name after
// the bootloader switch or an unplug), or, for a port without USB identity,
// the very device node the visit took. Any other device is a new visit,
// whatever name it has. An identity of a bridge without a serial number is
// its socket, so another hub put there is taken too: the visit's process
// refuses it, and it arrives again at the visit's end.
std::optional<size_t> claiming_visit(const station &st, const port_node &node) {
  for (size_t i = 0; i < st.hubs.size(); ++i) {
    if (st.visits[i].step == visit_step::done) continue;
    const fleet_hub &hub = st.hubs[i];
    if (!hub.usb.known) {
      if (st.visits[i].node == node) return i;
      continue;
    }
    for (const usb_port_match &match : usb_find_hub(hub.usb))
      if (static_cast<uint64_t>(match.rdev) == node.rdev) return i;
  }
  return std::nullopt;
}

// The finished visits, rewritten after each one so that a station that
// loses power keeps them all.
void write_report(station &st) {
  if (st.opts.json_path.empty()) return;
  const std::string text = fleet_report_json(fleet_report_head_now(st.source_label), st.hubs,
                                             report_rows::finished);
  if (!fleet_write_atomically(st.opts.json_path, text)) st.report_failed = true;
}

// A visit has its result, shown already: what its hub holds counts as seen
// (it arrives again only when it changes), and the report gains it. That is
// the device its process last had open, else the port's device as it
// arrived; never whatever took the name since. What the visit took for its
// hub and its hub does not hold (another hub in its socket) arrives again.
void finish_visit(station &st, size_t i) {
  fleet_hub &hub = st.hubs[i];
  st.visits[i].step = visit_step::done;
  hub.phase = hub_phase::done;
  hub.away = false;
  if (hub.ended_ms == 0) hub.ended_ms = get_absolute_time();
  const bool final_known = hub.final_node != port_node{};
  const port_node held = final_known ? hub.final_node : st.visits[i].node;
  st.watch.mark_seen(final_known ? hub.final_port : hub.port, held);
  for (const auto &[path, node] : st.visits[i].claimed)
    if (node != held && port_node_of(path) == node) st.watch.forget(path);
  st.visits[i].claimed.clear();
  st.history.record(st.hubs);
  write_report(st);
}

// A visit has its result from the station itself (its plan, its canary, a
// child that could not start): shown, then finished.
void end_visit(station &st, size_t i) {
  st.hubs[i].phase = hub_phase::done;
  st.display.hub_changed(st.hubs[i]);
  finish_visit(st, i);
}

// A port appeared: a visit of its own, probed at once (probes are not held
// back by --jobs: they take a second and write only the detection probes).
void arrive(station &st, const std::string &path) {
  const port_node node = port_node_of(path);
  // Gone again already (or a link to nothing): nothing to probe.
  if (node == port_node{}) return;
  if (const std::optional<size_t> owner = claiming_visit(st, node)) {
    st.visits[*owner].claimed.emplace_back(path, node);
    return;
  }
  fleet_hub hub;
  hub.port = path;
  hub.arrived = fleet_utc_now();
  hub.started_ms = get_absolute_time();
  hub.phase = hub_phase::probing;
  st.hubs.push_back(std::move(hub));
  st.visits.push_back({visit_step::probing, node, {}});
  const size_t i = st.hubs.size() - 1;
  if (!fleet_start_child(st.hubs[i], fleet_stage::probe, st.rules, st.hubs)) {
    st.hubs[i].result = hub_result::skipped;
    end_visit(st, i);
    return;
  }
  st.display.hub_changed(st.hubs[i]);
}

// A canary that was pulled mid-update hands its role on to a hub that has
// not started yet (see fleet_hand_canary_on).
void hand_canary_on(station &st, size_t pulled) {
  const auto waiting = [&st](size_t k) { return st.visits[k].step == visit_step::planned; };
  for (size_t k : fleet_hand_canary_on(st.hubs, pulled, waiting)) st.display.hub_changed(st.hubs[k]);
}

// A hub with its package (or the reason it has none) gets its plan.
void plan_visit(station &st, size_t i) {
  fleet_hub &hub = st.hubs[i];
  fleet_plan_hub(hub, st.rules);
  if (st.opts.canary) fleet_join_canary(st.hubs, i);
  if (hub.result != hub_result::none) {
    end_visit(st, i);
    return;
  }
  st.visits[i].step = visit_step::planned;
  st.display.hub_changed(hub);
}

// The visits that waited for the fetch of `name` get its outcome, and their
// plans.
void settle_fetched(station &st, const std::string &name) {
  for (size_t i = 0; i < st.hubs.size(); ++i) {
    if (st.visits[i].step != visit_step::fetching || st.hubs[i].package_name != name) continue;
    st.packages.give_latest(st.hubs[i], name);
    plan_visit(st, i);
  }
}

// The visit waits for its package, fetched in a child of its own (or
// already on its way for an earlier visit) while the station goes on.
void fetch_for(station &st, size_t i, const auto_ufw_manifest &listed) {
  const std::string name = listed.file_name;
  st.hubs[i].package_name = name;
  st.visits[i].step = visit_step::fetching;
  package_fetch &fetch = st.fetches[name];
  if (fetch.job) return;
  fetch.listed = &listed;
  fetch.job = std::make_unique<fetch_job>();
  firmware_source &source = *st.source;
  fetched_file failed;
  if (fetch.job->start([&source, &listed] { return package_set::fetch_package(listed, source); },
                       &failed.cause))
    return;
  st.fetches.erase(name);
  st.packages.take_fetched(listed, source, std::move(failed));
  settle_fetched(st, name);
}

// A visit's probe ended: a port without a hub has its result (shown); a hub
// gets its package (fetched first where it is not had yet) and its plan.
void on_probed(station &st, size_t i) {
  fleet_hub &hub = st.hubs[i];
  if (hub.result != hub_result::none) {
    finish_visit(st, i);
    return;
  }
  if (fleet_interrupt_signal() != 0) return;  // settled with the others at the end
  if (st.source == nullptr) {
    st.packages.give_file_package(hub);
  } else {
    const auto_ufw_manifest *listed = st.packages.listed_for(hub);
    if (listed != nullptr && !st.packages.give_without_fetch(hub, *listed, *st.source)) {
      fetch_for(st, i, *listed);
      return;
    }
  }
  plan_visit(st, i);
}

// Takes what a fetch's child sent; at its end, the package for its visits.
void take_fetch(station &st, const std::string &name) {
  const auto found = st.fetches.find(name);
  if (found == st.fetches.end()) return;
  package_fetch &fetch = found->second;
  if (!fetch.job->take()) return;
  const auto_ufw_manifest &listed = *fetch.listed;
  fetched_file file = fetch.job->result();
  st.fetches.erase(name);
  st.packages.take_fetched(listed, *st.source, std::move(file));
  settle_fetched(st, name);
}

// Starts the planned visits in arrival order while fewer than --jobs update.
void start_due_updates(station &st) {
  for (size_t i = 0; i < st.hubs.size(); ++i) {
    if (st.opts.jobs != 0 && st.updating >= st.opts.jobs) return;
    if (st.visits[i].step != visit_step::planned) continue;
    fleet_hub &hub = st.hubs[i];
    std::string reason;
    const canary_gate gate = fleet_canary_gate(hub, st.hubs, &reason);
    if (gate == canary_gate::wait) continue;
    if (gate == canary_gate::closed) {
      hub.result = hub_result::skipped;
      hub.reason = reason;
      end_visit(st, i);
      continue;
    }
    hub.phase = hub_phase::detecting;
    if (!fleet_start_child(hub, fleet_stage::update, st.rules, st.hubs)) {
      hub.result = hub_result::failed;
      end_visit(st, i);
      continue;
    }
    // From here on the hub is the process's to change.
    hub.mode_after = firmware_mode::unknown;
    st.visits[i].step = visit_step::updating;
    ++st.updating;
    st.display.hub_changed(hub);
  }
}

// Takes what a child sent; at its end, the visit's next step.
void take_child(station &st, size_t i) {
  const bool probing = st.visits[i].step == visit_step::probing;
  fleet_take_events(st.hubs[i], probing ? fleet_stage::probe : fleet_stage::update, st.display);
  if (st.hubs[i].pid > 0) return;
  if (probing) {
    on_probed(st, i);
    return;
  }
  // Its slot is free whatever became of it.
  --st.updating;
  finish_visit(st, i);
  if (st.hubs[i].is_canary && st.hubs[i].pulled) hand_canary_on(st, i);
}

// Sleeps until a child reports, a port appears, a signal comes or a redraw
// is due, and takes what arrived. False when poll itself failed (said why).
bool wait_once(station &st, bool take_arrivals) {
  std::vector<pollfd> fds = {{fleet_interrupt_fd(), POLLIN, 0}};
  if (take_arrivals && st.watch.fd() >= 0) fds.push_back({st.watch.fd(), POLLIN, 0});
  const size_t first_child = fds.size();
  std::vector<size_t> owners;
  for (size_t i = 0; i < st.hubs.size(); ++i) {
    if (st.hubs[i].pid <= 0) continue;
    fds.push_back({st.hubs[i].event_fd, POLLIN, 0});
    owners.push_back(i);
  }
  const size_t first_fetch = fds.size();
  std::vector<std::string> fetching;
  for (const auto &[name, fetch] : st.fetches) {
    fds.push_back({fetch.job->fd(), POLLIN, 0});
    fetching.push_back(name);
  }
  const int64_t now = get_absolute_time();
  int timeout = IDLE_POLL_MS;
  const int redraw = st.display.redraw_due_in(now);
  if (redraw >= 0) timeout = std::min(timeout, redraw);
  if (take_arrivals) timeout = std::min(timeout, st.watch.due_in(now));
  const int ready = poll(fds.data(), fds.size(), timeout);
  if (ready < 0 && errno != EINTR) {
    print_error("trelk-fleet: poll: %s\n", std::strerror(errno));
    return false;
  }
  if (ready > 0 && fds[0].revents != 0) fleet_drain_interrupts();
  for (size_t k = 0; k < owners.size(); ++k)
    if (ready > 0 && fds[first_child + k].revents != 0) take_child(st, owners[k]);
  for (size_t k = 0; k < fetching.size(); ++k)
    if (ready > 0 && fds[first_fetch + k].revents != 0) take_fetch(st, fetching[k]);
  if (take_arrivals && fleet_interrupt_signal() == 0)
    for (const std::string &path : st.watch.take_arrivals(get_absolute_time())) arrive(st, path);
  st.display.redraw_if_due(get_absolute_time());
  return true;
}

bool any_child(const station &st) {
  for (const fleet_hub &hub : st.hubs)
    if (hub.pid > 0) return true;
  return false;
}

// After the interrupt: the children end as trelk does on one (each within
// its own bounds); visits not started are skipped, untouched.
// Fetches in progress are ended: their visits were never started.
void stop(station &st) {
  st.fetches.clear();
  fleet_forward_interrupt(st.hubs);
  while (any_child(st))
    if (!wait_once(st, /*take_arrivals=*/false)) break;
  for (size_t i = 0; i < st.hubs.size(); ++i) {
    if (st.visits[i].step == visit_step::done) continue;
    fleet_hub &hub = st.hubs[i];
    if (hub.result == hub_result::none) {
      hub.result = hub_result::skipped;
      hub.reason = NOT_STARTED_TEXT;
    }
    end_visit(st, i);
  }
}

int station_status(const station &st) {
  for (const fleet_hub &hub : st.hubs)
    if (hub.incomplete) return FLEET_EXIT_SIGNAL_BASE + fleet_interrupt_signal();
  for (const fleet_hub &hub : st.hubs)
    if (hub.is_hub && (hub.result == hub_result::failed || hub.result == hub_result::skipped))
      return FLEET_EXIT_HUB_FAILED;
  return st.report_failed || st.history.failed() ? FLEET_EXIT_HUB_FAILED : FLEET_EXIT_OK;
}

}  // namespace

int fleet_station(const fleet_options &opts, package_set &packages, firmware_source *source,
                  const std::string &source_label) {
  const int64_t start = get_absolute_time();
  // The watch first: a port that appears while the first ones are listed is
  // then either listed or an arrival (and held by its visit if both).
  station st(opts, packages, source, source_label);
  if (!opts.history_path.empty() && !st.history.open(opts.history_path)) return FLEET_EXIT_SETUP;
  st.display.watching();
  for (const std::string &port : fleet_usb_ports()) arrive(st, port);
  while (fleet_interrupt_signal() == 0) {
    start_due_updates(st);
    if (!wait_once(st, /*take_arrivals=*/true)) break;
  }
  stop(st);
  st.display.close();
  st.display.packages(st.packages.describe());
  st.display.summary(static_cast<double>(get_absolute_time() - start) / 1000.0,
                     fleet_interrupt_signal());
  write_report(st);
  return station_status(st);
}
