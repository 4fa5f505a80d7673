#include "hub_process.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include "device.h"
#include "serial.h"
#include "functions.h"

namespace {

void send_phase(int fd, hub_phase phase) {
  hub_event event = hub_event_make(event_kind::phase);
  event.phase = phase;
  hub_event_send(fd, event);
}

// A result without a reason: the parent takes the reason from the messages
// the library printed on the captured standard error. `final_port` is where
// the hub was at the end ("" when no link was open).
int send_result(int fd, hub_result result, int version_after, const char *reason = "",
                const std::string &final_port = "") {
  hub_event event = hub_event_make(event_kind::result);
  event.result = result;
  event.phase = hub_phase::done;
  event.version_after = version_after;
  hub_event_set_reason(&event, reason);
  copy_text(event.final_port, sizeof event.final_port, final_port.c_str());
  hub_event_send(fd, event);
  return result == hub_result::failed ? 1 : 0;
}

// The upload's observer in a hub process: progress becomes events.
struct upload_reporter {
  int fd;
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
  send_result(static_cast<upload_reporter *>(context)->fd, hub_result::failed, -1, reason);
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
  if (dev == nullptr) return send_result(event_fd, hub_result::skipped, -1);
  hub_event_send(event_fd, hub_event_identity(dev));
  device_free(dev);
  return 0;
}

int hub_process_update(const fleet_hub &hub, bool force, int event_fd) {
  ufw *package = hub.package;
  send_phase(event_fd, hub_phase::detecting);
  // The hub the probe found, even if USB has given its name to another
  // device since (a rack restarting together).
  device *dev = device_create_following(hub.port.c_str(), &hub.usb);
  if (dev == nullptr) return send_result(event_fd, hub_result::failed, -1);
  auto finish = [&](hub_result result, int version_after, const char *reason = "") {
    const std::string final_port = serial_port_now(dev->serial);
    device_free(dev);
    return send_result(event_fd, result, version_after, reason, final_port);
  };

  if (!device_is_bootloader_ready(dev)) {
    // A hub whose normal firmware already runs the package is left running.
    if (!dev->in_bootloader && !force && dev->fw_version >= package->version)
      return finish(hub_result::up_to_date, dev->fw_version);
    send_phase(event_fd, hub_phase::switching);
    device_switch_to_bootloader(dev);
    if (!device_is_bootloader_ready(dev)) {
      // Another hub answering after the switch has been named already.
      if (!dev->refused) print_error("ERROR: The hub is not in bootloader mode\n");
      return finish(hub_result::failed, -1);
    }
  }

  send_phase(event_fd, hub_phase::checking);
  switch (ufw_check_device_status(package, dev)) {
    case 0:
      print_error("ERROR: The file does not contain the correct firmware for this hub\n");
      return finish(hub_result::skipped, -1);
    case 1:
      if (!force) return finish(hub_result::up_to_date, dev->fw_version);
      break;
    default:
      break;
  }

  upload_reporter reporter{event_fd};
  const upload_observer observer = {&reporter,          report_block_starting, report_progress,
                                    report_blocks_done, nullptr,               report_failed};
  device_set_upload_observer(&observer);
  send_phase(event_fd, hub_phase::uploading);
  const int done = device_do_firmware_update(dev, package);
  device_set_upload_observer(nullptr);
  return finish(done == 1 ? hub_result::updated : hub_result::failed,
                done == 1 ? package->version : -1);
}
