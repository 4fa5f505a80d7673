#pragma once
// Back into service, and the version read back. The boards never answer
// their finish commands, so an upload that wrote them says nothing about
// what the hub will run. After a successful upload (and for a hub found in
// its bootloaders that already holds its package) the hub's process restarts
// the hub into its normal firmware and waits for that firmware's own
// identification line: only the version it reports makes the hub updated.
//
// The restart is the exit from bootloader mode's command, "!REBOOT_NORMAL",
// to the hub's own boards, highest first, once a second, each round followed
// by the probe the normal firmware answers ("id"), until the identification
// line ("mfr:...,sn:...,hwid:XXXX,fw:M.m") arrives or RESTART_BOUND_MS pass.
// Every write goes through the hub's link, which follows the hub by its USB
// identity (serial.h), and the restart command goes only to a hub that has
// shown itself on the port as it is open now (device_hub_shows_itself,
// device.h): a port that went away and came back, whatever its USB
// identity, is listened to first, then gets only the detection's probes
// until the hub there has shown itself. What counts as proof: this hub's
// bootloaders announcing its boards' serial numbers, or its normal
// firmware's identification (hub code, and serial number where known).
// Another hub's bootloaders, or a returned port that never answers, are
// dropped (the link waits for another device there); another hub's
// identification fails the hub. A hub first found in its bootloaders has no
// known serial number: its identification confirms it only when its port
// never went away between the restart command and the answer, or its USB
// serial number is one no other device carries; otherwise the hub fails as
// unconfirmed, and the reason says to run trelk-fleet again.
//
// Runs in a hub's process, on its action thread, after the upload.

#include <cstdint>
#include <string>

#include "device.h"
#include "hub_event.h"

// How long a hub has to be back and identified, from the first restart
// command. A hub restarts in about a second; one that re-enumerates takes up
// to the 25 s the bootloader switch allows.
inline constexpr int64_t RESTART_BOUND_MS = 30000;

enum class restart_outcome {
  running,                // this hub's normal firmware identified itself
  stayed_in_bootloaders,  // no identification, and its bootloaders still answer
  not_back,               // nothing of the hub was heard after it was told to restart
  another_hub,            // an identification line that is not this hub's
  unconfirmed,            // an identification nothing ties to this hub (see above)
};

struct restart_report {
  restart_outcome outcome = restart_outcome::not_back;
  int version = -1;    // the normal firmware's, with running
  std::string serial;  // the normal firmware's serial number, with running
  std::string reason;  // with another_hub and unconfirmed: what answered, why it is not this hub
};

// Restarts the hub on dev's link and reads back what it runs, within
// RESTART_BOUND_MS. `expected` is what the hub is known to be (device.h), as
// it travels with the hub from its probe to its read-back: its model's hub
// code, its normal firmware's serial number as given before the update
// (empty when it was first found in its bootloaders, which give none), its
// boards as its bootloaders announced them. Nothing is printed; the caller
// turns the report into the hub's result (restart_verdict).
restart_report fleet_restart_hub(device *dev, const hub_self &expected);

// "" when the identification line in `seen` (device_read_identification's
// record) is the hub's: its hub code is the model's and, where known, its
// serial number is the one it gave before. Else the reason, naming `port`.
std::string identification_mismatch(const device &seen, const hub_self &expected,
                                    const std::string &port);

// Why the hub was restarted: after its upload, or because it was found in
// its bootloaders already holding its package.
enum class restart_purpose { after_update, from_bootloaders };

// A hub's result as its restart decides it.
struct hub_verdict {
  hub_result result;
  firmware_mode mode;
  int version_after;   // what the hub reported; -1 when it reported nothing
  std::string reason;  // for failed
};

// After an update: updated when the hub reports `package_version`, failed
// (naming both versions) for another one. From its bootloaders: up to date
// when it reports that version or a newer one. Either way failed, with the
// reason, when it stayed in its bootloaders, did not come back, was
// another hub or could not be confirmed.
hub_verdict restart_verdict(const restart_report &report, int package_version,
                            restart_purpose purpose);
