#include "hub_process.h"

#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "device.h"
#include "serial.h"
#include "functions.h"
#include "timer.h"
#include "verify.h"

namespace {

// The away watch looks at the port this often: the screen says a hub was
// pulled within a fraction of a second, and a look is one atomic load.
constexpr int64_t AWAY_LOOK_MS = 200;

void send_phase(int fd, hub_phase phase) {
  hub_event event = hub_event_make(event_kind::phase);
  event.phase = phase;
  hub_event_send(fd, event);
}

// What a hub's process ends with. A result without a reason: the parent
// takes the reason from the messages the library printed on the captured
// standard error.
struct hub_outcome {
  hub_result result;
  int version_after = -1;  // see hub_event
  firmware_mode mode = firmware_mode::unknown;
  bool restarted = false;
  std::string reason;
  std::string firmware_serial;  // what its normal firmware said after the restart
  bool away = false;            // ended for being away beyond its bound
};

// An outcome that the library's messages explain.
hub_outcome outcome(hub_result result, int version_after = -1,
                    firmware_mode mode = firmware_mode::unknown) {
  return {result, version_after, mode, /*restarted=*/false, "", ""};
}

// `final_port` is where the hub was at the end ("" when no link was open),
// `final_node` its device while the link had it open, `boot_serial` its
// bootloaders' serial number ("" when they were not ready).
int send_result(int fd, const hub_outcome &outcome, const std::string &final_port = "",
                const port_node &final_node = {}, const std::string &boot_serial = "") {
  hub_event event = hub_event_make(event_kind::result);
  event.result = outcome.result;
  event.phase = hub_phase::done;
  event.version_after = outcome.version_after;
  event.mode_after = outcome.mode;
  event.restarted = outcome.restarted ? 1 : 0;
  event.away = outcome.away ? 1 : 0;
  hub_event_set_reason(&event, outcome.reason);
  copy_text(event.final_port, sizeof event.final_port, final_port.c_str());
  event.final_node = final_node;
  copy_text(event.boot_serial, sizeof event.boot_serial, boot_serial.c_str());
  copy_text(event.firmware_serial, sizeof event.firmware_serial, outcome.firmware_serial.c_str());
  hub_event_send(fd, event);
  return outcome.result == hub_result::failed ? 1 : 0;
}

// While an upload runs, the library waits for a pulled hub without a limit,
// as trelk does for a user at its side. A hub's process has nobody there:
// this watch tells the parent at once when the port goes away and when it
// is back, and when it stays away beyond its bound, ends the process with
// the hub failed. It has its own thread because the library's wait never
// returns to the caller; its records are whole pipe writes like the action
// thread's.
class away_watch {
 public:
  // `boot_serial`: the hub's bootloaders' serial number, for its row.
  away_watch(serial *s, int event_fd, int64_t limit_ms, std::string boot_serial)
      : s_(s),
        fd_(event_fd),
        limit_ms_(limit_ms),
        boot_serial_(std::move(boot_serial)),
        thread_([this] { run(); }) {}
  ~away_watch() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  away_watch(const away_watch &) = delete;
  away_watch &operator=(const away_watch &) = delete;

 private:
  void send_away(bool away) {
    hub_event event = hub_event_make(event_kind::away);
    event.away = away ? 1 : 0;
    hub_event_send(fd_, event);
  }

  [[noreturn]] void give_up() {
    hub_outcome ended{hub_result::failed, -1, firmware_mode::unknown, /*restarted=*/false,
                      "unplugged during its update and not back within " +
                          fleet_duration_text(limit_ms_) +
                          ": it may hold incomplete firmware; plug it in again",
                      /*firmware_serial=*/"", /*away=*/true};
    send_result(fd_, ended, /*final_port=*/"", /*final_node=*/{}, boot_serial_);
    // The port is gone: there is nothing to restore, and the action thread,
    // still waiting inside the library, must not touch a returning hub.
    _exit(1);
  }

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    int64_t away_since = 0;
    while (!stop_) {
      const bool open = serial_available(s_) == 1;
      if (!open && away_since == 0) {
        away_since = get_absolute_time();
        send_away(/*away=*/true);
      } else if (open && away_since != 0) {
        away_since = 0;
        send_away(/*away=*/false);
      } else if (!open && time_reached(away_since, limit_ms_)) {
        give_up();
      }
      wake_.wait_for(lock, std::chrono::milliseconds(AWAY_LOOK_MS), [this] { return stop_; });
    }
  }

  serial *s_;
  int fd_;
  int64_t limit_ms_;
  std::string boot_serial_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

// Where the hub is at the end: its port's name ("" when no link was open)
// and, while the link has it open, its device (the station counts it as
// seen, and nothing else).
struct hub_place {
  std::string port;
  port_node node;
};

hub_place place_of(serial *s) {
  const std::string port = serial_port_now(s);
  return {port, s != nullptr && serial_available(s) ? port_node_of(port) : port_node{}};
}

// The upload's observer in a hub process: progress becomes events, and a
// failure the hub's result with what is known of it.
struct upload_reporter {
  int fd;
  serial *link;
  std::string boot_serial;
};

void report_progress(void *context, const upload_progress *progress) {
  hub_event event = hub_event_make(event_kind::progress);
  event.phase = hub_phase::uploading;
  event.verified = progress->verified;
  event.blocks = progress->blocks;
  event.failed_sends = progress->failed;
  hub_event_send(static_cast<upload_reporter *>(context)->fd, event);
}

void report_block_starting(void *context, upload_progress *progress, int64_t) {
  report_progress(context, progress);
}

void report_blocks_done(void *context, const upload_progress *progress) {
  report_progress(context, progress);
  send_phase(static_cast<upload_reporter *>(context)->fd, hub_phase::finishing);
}

void report_failed(void *context, const upload_progress *progress) {
  report_progress(context, progress);
  char reason[160];
  std::snprintf(reason, sizeof reason,
                "the upload failed beyond its retry limits (%d failed block sends); power "
                "cycle the hub and run trelk-fleet again",
                progress->failed);
  // The boards were answering in their bootloaders, and stay there.
  const auto *reporter = static_cast<upload_reporter *>(context);
  const hub_place place = place_of(reporter->link);
  send_result(reporter->fd,
              {hub_result::failed, -1, firmware_mode::bootloader, /*restarted=*/false, reason, ""},
              place.port, place.node, reporter->boot_serial);
}

struct device_release {
  void operator()(device *dev) const noexcept { device_free(dev); }
};

// One hub's update as its stages share it; the record is released at the end.
struct hub_update {
  const fleet_hub &hub;
  const fleet_update_rules &rules;
  int event_fd;
  std::unique_ptr<device, device_release> dev;
  std::string boot_serial;  // as the bootloaders gave it, once they were ready
};

// The mode the hub was last detected in; unknown when the link was lost or
// what answered was refused as another hub.
firmware_mode mode_heard(const device *dev) {
  if (dev->serial == nullptr || !dev->serial->ready || !dev->detected || dev->refused)
    return firmware_mode::unknown;
  return dev->in_bootloader ? firmware_mode::bootloader : firmware_mode::normal;
}

int finish(hub_update &u, const hub_outcome &outcome) {
  const hub_place place = place_of(u.dev->serial);
  u.dev.reset();
  return send_result(u.event_fd, outcome, place.port, place.node, u.boot_serial);
}

// Into the bootloaders. A hub whose normal firmware already runs the package
// is left running (without force). Nothing (go on) once the bootloaders are
// ready, else the outcome.
std::optional<hub_outcome> bring_into_bootloaders(hub_update &u) {
  device *dev = u.dev.get();
  if (device_is_bootloader_ready(dev)) return std::nullopt;
  if (!dev->in_bootloader && !u.rules.force && dev->fw_version >= u.hub.package->version)
    return outcome(hub_result::up_to_date, dev->fw_version, firmware_mode::normal);
  send_phase(u.event_fd, hub_phase::switching);
  device_switch_to_bootloader(dev);
  if (device_is_bootloader_ready(dev)) return std::nullopt;
  // Another hub answering after the switch has been named already.
  if (!dev->refused) print_error("ERROR: The hub is not in bootloader mode\n");
  return outcome(hub_result::failed, -1, mode_heard(dev));
}

// Restarts the hub into its normal firmware; the version it reports decides.
hub_outcome restart_and_read_back(hub_update &u, restart_purpose purpose) {
  send_phase(u.event_fd, hub_phase::restarting);
  // The serial number only where the hub's normal firmware gave one.
  // Its boards as they announced themselves in this process (right after
  // the switch, for a hub switched here).
  hub_self expected = device_hub_self(u.dev.get());
  expected.hub_code = u.hub.hub_code;
  copy_text(expected.serial_number, sizeof expected.serial_number,
            u.hub.in_bootloader ? "" : u.hub.serial.c_str());
  const restart_report report = fleet_restart_hub(u.dev.get(), expected);
  const hub_verdict verdict = restart_verdict(report, u.hub.package->version, purpose);
  return {verdict.result, verdict.version_after, verdict.mode, /*restarted=*/true, verdict.reason,
          report.serial};
}

// A hub in its bootloaders that holds the package already (without force):
// back into service, or left as it is with --no-restart.
hub_outcome settle_current(hub_update &u) {
  if (u.rules.restart) return restart_and_read_back(u, restart_purpose::from_bootloaders);
  return outcome(hub_result::up_to_date, u.dev->fw_version, firmware_mode::bootloader);
}

// The upload and what follows it: the read-back, or with --no-restart the
// version written, the hub left in its bootloaders.
hub_outcome upload(hub_update &u) {
  upload_reporter reporter{u.event_fd, u.dev->serial, u.boot_serial};
  const upload_observer observer = {&reporter,          report_block_starting, report_progress,
                                    report_blocks_done, nullptr,               report_failed};
  device_set_upload_observer(&observer);
  send_phase(u.event_fd, hub_phase::uploading);
  int done = 0;
  {
    const away_watch watch(u.dev->serial, u.event_fd, u.rules.away_limit_ms, u.boot_serial);
    done = device_do_firmware_update(u.dev.get(), u.hub.package);
  }
  device_set_upload_observer(nullptr);
  if (done != 1) return outcome(hub_result::failed, -1, firmware_mode::bootloader);
  if (u.rules.restart) return restart_and_read_back(u, restart_purpose::after_update);
  return outcome(hub_result::updated, u.hub.package->version, firmware_mode::bootloader);
}

}  // namespace

void child_signals() {
  // The parent's own handlers (which pass a signal on to the children) must
  // not run in a hub process: an interrupt ends it as it ends trelk, with
  // its port put back as it was found.
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGHUP, SIG_DFL);
  serial_exit_on_interrupt();
  // A parent that went away must not kill the hub process mid-upload through
  // a write to the event pipe; the write fails and the upload goes on.
  std::signal(SIGPIPE, SIG_IGN);
}

int hub_process_probe(const fleet_hub &hub, int event_fd) {
  device *dev = device_create_from_port(hub.port.c_str());
  if (dev == nullptr) return send_result(event_fd, outcome(hub_result::skipped));
  hub_event_send(event_fd, hub_event_identity(dev));
  device_free(dev);
  return 0;
}

int hub_process_update(const fleet_hub &hub, const fleet_update_rules &rules, int event_fd) {
  send_phase(event_fd, hub_phase::detecting);
  // The hub the probe found, even if USB has given its name to another
  // device since (a rack restarting together).
  // It must show itself to be the hub the probe found before anything but
  // a probe goes to it.
  device *dev = device_create_following(hub.port.c_str(), &hub.usb, &hub.self);
  if (dev == nullptr) return send_result(event_fd, outcome(hub_result::failed));
  hub_update u{hub, rules, event_fd, {dev, {}}, ""};
  if (std::optional<hub_outcome> ended = bring_into_bootloaders(u)) return finish(u, *ended);
  // Ready bootloaders give the hub's other serial number.
  u.boot_serial = dev->serial_number;

  send_phase(event_fd, hub_phase::checking);
  switch (ufw_check_device_status(hub.package, dev)) {
    case UFW_STATUS_NO_SECTION:
      print_error("ERROR: The file does not contain the correct firmware for this hub\n");
      return finish(u, outcome(hub_result::skipped, -1, firmware_mode::bootloader));
    case UFW_STATUS_NOT_NEWER:
      if (!rules.force) return finish(u, settle_current(u));
      break;
    default:
      break;
  }
  return finish(u, upload(u));
}
