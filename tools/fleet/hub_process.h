#pragma once
// The work of one hub's own process. The library's protocol state (the
// upload counters, the CRC report, the switch count, the upload observer) is
// process-wide, so every hub gets a process of its own and that state belongs
// to one hub. A process reports only through events on `event_fd`; its
// standard output goes nowhere and its standard error is the parent's
// capture of the messages the library prints (they become the hub's reason).
//
// A hub's process is forked from trelk-fleet after a look at every USB
// device on the machine, and so starts with the run's memory of serials seen
// on more than one device (usb.h): such a serial never finds its hub alone.
//
// Each function runs in the hub's process on its only thread (the link's
// reader thread aside) and returns the process's exit status; an upload that
// fails beyond its limits ends the process inside, after its failed event.

#include "fleet.h"

// In a hub process: SIGINT, SIGTERM and SIGHUP end it as they end trelk
// (port restored, one line on stderr, status 128 + signal), and SIGPIPE is
// ignored (a parent gone must not stop an upload).
void child_signals();

// Opens the port as trelk does, sends the hub's identity, releases the hub.
// With no hub there it sends a skipped result (the reason is in the capture).
int hub_process_probe(const fleet_hub &hub, int event_fd);

// The manual update's steps with --bootloader: find the hub the probe found
// (by its USB identity; it must show itself to be that hub, hub.self),
// detect, switch a hub in normal
// mode (unless it already runs the package's version, without rules.force),
// check the fit (ufw_check_device_status), upload, finish; then, unless
// rules.restart is clear, restart the hub into its normal firmware and read
// back the version it runs (verify.h), which decides the result. A hub found
// in its bootloaders that already holds the package is restarted the same
// way (up to date). Sends phase, progress and a result event with the mode
// the hub was last heard in, and where the hub was at the end (its port and,
// while the link had it open, its device). During the upload a thread of
// its own watches the port: away and back events as it goes and comes, and
// when it stays away beyond rules.away_limit_ms a failed result (the hub may
// hold incomplete firmware) and the process's end with status 1 (trelk's
// own wait has no bound). hub.package must be set.
int hub_process_update(const fleet_hub &hub, const fleet_update_rules &rules, int event_fd);
