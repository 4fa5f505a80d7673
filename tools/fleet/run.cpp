#include "run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "canary.h"
#include "hub_process.h"
#include "timer.h"
#include "functions.h"
#include "usb.h"

namespace {

std::atomic<int> interrupt_signal{0};
int signal_pipe[2] = {-1, -1};

// The captured standard error of a child is read back at most this far.
constexpr size_t CAPTURE_LIMIT = 4096;
// Reasons are cut here: they go into a table and a report line.
constexpr size_t REASON_LIMIT = 300;
// Without a redraw pending the parent still looks up once a second, so a
// signal or a child's end is never missed for long.
constexpr int IDLE_POLL_MS = 1000;

void on_interrupt(int signo) {
  const int saved = errno;
  int expected = 0;
  interrupt_signal.compare_exchange_strong(expected, signo);
  const char byte = static_cast<char>(signo);
  [[maybe_unused]] const ssize_t ignored = write(signal_pipe[1], &byte, 1);
  errno = saved;
}

// What the child printed on standard error: its lines, "ERROR: " dropped,
// joined with "; ".
std::string captured_reason(int capture_fd) {
  char text[CAPTURE_LIMIT + 1];
  const ssize_t got = pread(capture_fd, text, CAPTURE_LIMIT, 0);
  if (got <= 0) return "";
  text[got] = '\0';
  std::string reason;
  for (char *line = std::strtok(text, "\r\n"); line != nullptr; line = std::strtok(nullptr, "\r\n")) {
    if (std::strncmp(line, "ERROR: ", 7) == 0) line += 7;
    if (*line == '\0') continue;
    if (!reason.empty()) reason += "; ";
    reason += line;
  }
  if (reason.size() > REASON_LIMIT) reason.resize(REASON_LIMIT);
  return reason;
}

void apply_event(fleet_hub &hub, const hub_event &event, fleet_display &display) {
  switch (event.kind) {
    case event_kind::identity:
      hub.is_hub = true;
      hub.in_bootloader = event.in_bootloader != 0;
      hub.hub_code = static_cast<uint16_t>(event.hub_code);
      hub.model = fleet_model_name(hub.hub_code);
      hub.serial = event.serial;
      (hub.in_bootloader ? hub.boot_serial : hub.firmware_serial) = event.serial;
      hub.version_before = event.fw_version;
      hub.board_count = device_board_limit(event.board_count);
      for (int b = 0; b < DEVICE_MAX_BOARDS; ++b) {
        hub.board_types[b] = event.board_types[b];
        hub.board_versions[b] = event.board_versions[b];
      }
      hub.usb = event.usb;
      hub.self = event.self;
      hub.mode_after = hub.in_bootloader ? firmware_mode::bootloader : firmware_mode::normal;
      display.hub_changed(hub);
      break;
    case event_kind::phase:
      if (event.phase != hub.phase) {
        hub.phase = event.phase;
        display.hub_changed(hub);
      }
      break;
    case event_kind::progress:
      hub.verified = event.verified;
      hub.blocks = event.blocks;
      hub.failed_sends = event.failed_sends;
      display.progress_changed();
      break;
    case event_kind::result:
      hub.result = event.result;
      hub.reason = event.reason;
      // A restarted hub's version is what it reported, even none at all.
      if (event.version_after >= 0 || event.restarted) hub.version_after = event.version_after;
      hub.mode_after = event.mode_after;
      hub.restarted = event.restarted != 0;
      if (event.final_port[0] != '\0') hub.final_port = event.final_port;
      hub.final_node = event.final_node;
      hub.away = false;
      hub.pulled = event.away != 0;
      if (event.boot_serial[0] != '\0') hub.boot_serial = event.boot_serial;
      if (event.firmware_serial[0] != '\0') hub.firmware_serial = event.firmware_serial;
      hub.ended_ms = get_absolute_time();
      break;
    case event_kind::away:
      if ((event.away != 0) != hub.away) {
        hub.away = event.away != 0;
        display.hub_changed(hub);
      }
      break;
  }
}

// Starts the hub's child. Signals stay blocked across fork so that none hits
// the child before it has its own dispositions.
bool start_child(fleet_hub &hub, fleet_stage stage, const fleet_update_rules &rules,
                 const std::vector<fleet_hub> &hubs) {
  int events[2];
  if (pipe2(events, O_CLOEXEC) != 0) {
    hub.reason = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  const int capture = memfd_create("trelk-fleet-stderr", MFD_CLOEXEC);
  if (capture < 0) {
    hub.reason = std::string("cannot make a capture file: ") + std::strerror(errno);
    close(events[0]);
    close(events[1]);
    return false;
  }
  // The child takes the run's memory of USB serials seen on more than one
  // device with it (usb.h), this look of the whole machine included: a
  // serial shared here never finds a hub alone in the child.
  usb_look_at_machine();
  sigset_t previous;
  const pid_t pid = fleet_fork(&previous);
  if (pid == 0) {
    child_signals();
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    close(signal_pipe[0]);
    close(signal_pipe[1]);
    for (const fleet_hub &other : hubs) {
      if (other.event_fd >= 0) close(other.event_fd);
      if (other.capture_fd >= 0) close(other.capture_fd);
    }
    close(events[0]);
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
      dup2(null_fd, STDIN_FILENO);
      dup2(null_fd, STDOUT_FILENO);
    }
    dup2(capture, STDERR_FILENO);
    const int status = stage == fleet_stage::probe ? hub_process_probe(hub, events[1])
                                                   : hub_process_update(hub, rules, events[1]);
    std::fflush(nullptr);
    _exit(status);
  }
  const int fork_error = errno;
  close(events[1]);
  if (pid < 0) {
    close(events[0]);
    close(capture);
    hub.reason = std::string("cannot start a process: ") + std::strerror(fork_error);
    return false;
  }
  hub.pid = pid;
  hub.event_fd = events[0];
  hub.capture_fd = capture;
  hub.pending.clear();
  return true;
}

// What an interrupt in `phase` left of the hub, for its reason.
const char *interrupted_phase_text(hub_phase phase) {
  switch (phase) {
    case hub_phase::uploading:
    case hub_phase::finishing:
      return "uploading: the boards may hold incomplete firmware";
    case hub_phase::restarting:
      return "restarting it: its boards hold their firmware but may be left in their bootloaders";
    default:
      return "preparing the update";
  }
}

// After the child's pipe reached its end: waits for it and settles the hub.
void end_child(fleet_hub &hub, fleet_stage stage, fleet_display &display) {
  int status = 0;
  while (waitpid(hub.pid, &status, 0) < 0 && errno == EINTR) {
  }
  const std::string captured = captured_reason(hub.capture_fd);
  close(hub.event_fd);
  close(hub.capture_fd);
  hub.pid = -1;
  hub.event_fd = -1;
  hub.capture_fd = -1;

  // A hub process ends with 1 after a failed result and 0 after any other;
  // another end after its result means the process went wrong after it (a
  // crash, or a sanitizer's report in a checked build): the hub failed.
  const int expected = hub.result == hub_result::failed ? 1 : 0;
  const bool ended_as_expected = WIFEXITED(status) && WEXITSTATUS(status) == expected;
  if (hub.result != hub_result::none && !ended_as_expected && fleet_interrupt_signal() == 0) {
    hub.result = hub_result::failed;
    hub.reason = (WIFSIGNALED(status)
                      ? std::string("its process was ended by ") + strsignal(WTERMSIG(status))
                      : "its process ended with status " + std::to_string(WEXITSTATUS(status))) +
                 " after its result" + (captured.empty() ? "" : ": " + captured);
    if (hub.reason.size() > REASON_LIMIT) hub.reason.resize(REASON_LIMIT);
  } else if (hub.result != hub_result::none) {
    if (hub.reason.empty()) hub.reason = captured;
  } else if (stage == fleet_stage::probe && hub.is_hub) {
    hub.ended_ms = 0;  // probed: the hub goes on to its plan
  } else {
    const int signo = fleet_interrupt_signal();
    hub.result = stage == fleet_stage::probe && !hub.is_hub ? hub_result::skipped
                                                             : hub_result::failed;
    if (signo != 0 && stage == fleet_stage::update) {
      hub.incomplete = true;
      hub.reason = std::string("interrupted (") + strsignal(signo) + ") while " +
                   interrupted_phase_text(hub.phase);
    } else if (!captured.empty()) {
      hub.reason = captured;
    } else if (WIFSIGNALED(status)) {
      hub.reason = std::string("its process was ended by ") + strsignal(WTERMSIG(status));
    } else {
      hub.reason = "its process ended with status " + std::to_string(WEXITSTATUS(status)) +
                   " without a result";
    }
    hub.ended_ms = get_absolute_time();
  }
  if (hub.result != hub_result::none) {
    hub.phase = hub_phase::done;
    display.hub_changed(hub);
  }
}

void read_events(fleet_hub &hub, fleet_stage stage, fleet_display &display) {
  char buffer[4096];
  const ssize_t got = read(hub.event_fd, buffer, sizeof buffer);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (got <= 0) {
    end_child(hub, stage, display);
    return;
  }
  hub.pending.append(buffer, static_cast<size_t>(got));
  hub_event event;
  while (hub_event_pop(&hub.pending, &event)) apply_event(hub, event, display);
}

}  // namespace

pid_t fleet_fork(sigset_t *previous) {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, previous);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) return 0;
  const int fork_error = errno;
  sigprocmask(SIG_SETMASK, previous, nullptr);
  errno = fork_error;
  return pid;
}

int fleet_catch_interrupts() {
  if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    print_error("trelk-fleet: cannot make a pipe: %s\n", std::strerror(errno));
    return 0;
  }
  struct sigaction action{};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaction(signo, &action, nullptr);
  // A child whose pipe we stopped reading must not take the parent down.
  std::signal(SIGPIPE, SIG_IGN);
  return 1;
}

int fleet_interrupt_signal() { return interrupt_signal.load(); }

int fleet_interrupt_fd() { return signal_pipe[0]; }

void fleet_drain_interrupts() {
  char drained[16];
  while (read(signal_pipe[0], drained, sizeof drained) > 0) {
  }
}

// Ctrl-C reaches the children from the terminal; a signal sent to the
// parent alone is passed on, so every child ends as trelk would.
void fleet_forward_interrupt(const std::vector<fleet_hub> &hubs) {
  for (const fleet_hub &hub : hubs)
    if (hub.pid > 0) kill(hub.pid, fleet_interrupt_signal());
}

bool fleet_start_child(fleet_hub &hub, fleet_stage stage, const fleet_update_rules &rules,
                       const std::vector<fleet_hub> &hubs) {
  return start_child(hub, stage, rules, hubs);
}

void fleet_take_events(fleet_hub &hub, fleet_stage stage, fleet_display &display) {
  read_events(hub, stage, display);
}

namespace {

// One stage over the hubs, as its steps share it.
struct stage_run {
  std::vector<fleet_hub> &hubs;
  const std::vector<bool> &wanted;
  fleet_stage stage;
  int jobs;
  const fleet_update_rules &rules;
  fleet_display &display;
  std::vector<bool> started;  // the hubs this stage has dealt with
  int running = 0;
};

// Starts the hub's child; a hub whose child cannot start gets its result at
// once.
void start_hub(stage_run &run, fleet_hub &hub) {
  if (run.stage == fleet_stage::probe) hub.started_ms = get_absolute_time();
  hub.phase = run.stage == fleet_stage::probe ? hub_phase::probing : hub_phase::detecting;
  if (!start_child(hub, run.stage, run.rules, run.hubs)) {
    hub.result = run.stage == fleet_stage::probe ? hub_result::skipped : hub_result::failed;
    hub.ended_ms = get_absolute_time();
    run.display.hub_changed(hub);
    return;
  }
  // From here on the hub is the process's to change.
  if (run.stage == fleet_stage::update) hub.mode_after = firmware_mode::unknown;
  ++run.running;
  run.display.hub_changed(hub);
}

// Starts the children of the wanted hubs in order while fewer than `jobs`
// run (0: no cap) and no interrupt came. A hub whose canary has no result
// yet is passed over until it has; one whose canary did not get there is
// skipped, untouched, with the canary's port and failure as its reason.
void start_due_children(stage_run &run) {
  for (size_t i = 0; i < run.hubs.size(); ++i) {
    if (fleet_interrupt_signal() != 0 || (run.jobs != 0 && run.running >= run.jobs)) return;
    if (!run.wanted[i] || run.started[i]) continue;
    fleet_hub &hub = run.hubs[i];
    std::string reason;
    const canary_gate gate = fleet_canary_gate(hub, run.hubs, &reason);
    if (gate == canary_gate::wait) continue;
    run.started[i] = true;
    if (gate == canary_gate::open) {
      start_hub(run, hub);
      continue;
    }
    hub.result = hub_result::skipped;
    hub.reason = reason;
    hub.phase = hub_phase::done;
    hub.ended_ms = get_absolute_time();
    run.display.hub_changed(hub);
  }
}

// Sleeps until a child reports (or ends), a signal comes or a redraw is due,
// and takes what arrived. Returns how many children ended; -1 when poll
// itself failed (said why).
int wait_for_children(std::vector<fleet_hub> &hubs, fleet_stage stage, fleet_display &display) {
  std::vector<pollfd> fds;
  std::vector<fleet_hub *> owners;
  fds.push_back({signal_pipe[0], POLLIN, 0});
  owners.push_back(nullptr);
  for (fleet_hub &hub : hubs) {
    if (hub.pid <= 0) continue;
    fds.push_back({hub.event_fd, POLLIN, 0});
    owners.push_back(&hub);
  }
  const int due = display.redraw_due_in(get_absolute_time());
  const int ready = poll(fds.data(), fds.size(), due < 0 ? IDLE_POLL_MS : due);
  if (ready < 0 && errno != EINTR) {
    print_error("trelk-fleet: poll: %s\n", std::strerror(errno));
    return -1;
  }
  int ended = 0;
  if (ready > 0) {
    if (fds[0].revents != 0) fleet_drain_interrupts();
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      read_events(*owners[i], stage, display);
      if (owners[i]->pid < 0) ++ended;
    }
  }
  display.redraw_if_due(get_absolute_time());
  return ended;
}

// After an interrupt: the wanted hubs whose child never started are skipped.
void skip_not_started(std::vector<fleet_hub> &hubs, const std::vector<bool> &wanted,
                      fleet_stage stage, fleet_display &display) {
  for (size_t i = 0; i < hubs.size(); ++i) {
    fleet_hub &hub = hubs[i];
    if (!wanted[i] || hub.result != hub_result::none || hub.pid > 0) continue;
    if (stage == fleet_stage::probe && hub.is_hub) continue;
    hub.result = hub_result::skipped;
    hub.reason = "interrupted before it was started";
    hub.incomplete = hub.is_hub;
    hub.phase = hub_phase::done;
    display.hub_changed(hub);
  }
}

}  // namespace

void fleet_run_stage(std::vector<fleet_hub> &hubs, const std::vector<bool> &wanted,
                     fleet_stage stage, int jobs, const fleet_update_rules &rules,
                     fleet_display &display, const std::function<void()> &settled) {
  stage_run run{hubs, wanted, stage, jobs, rules, display, std::vector<bool>(hubs.size(), false)};
  bool forwarded = false;
  for (;;) {
    start_due_children(run);
    if (fleet_interrupt_signal() != 0 && !forwarded) {
      forwarded = true;
      fleet_forward_interrupt(hubs);
    }
    // Nothing runs: every canary has its result, so nothing waits either.
    if (run.running == 0) break;
    const int ended = wait_for_children(hubs, stage, display);
    if (ended < 0) break;
    run.running -= ended;
    if (settled) settled();
  }
  if (fleet_interrupt_signal() != 0) skip_not_started(hubs, wanted, stage, display);
}
