#pragma once
// The manual update: one package file onto the hub on one named port.

// Loads options.fw_path (before the port is touched), opens options.port,
// switches to bootloader mode when --bootloader allows, checks fit and version,
// and uploads. Returns 0 after an upload, -1 on every failure (message printed).
// The hub is left as it was found when nothing is uploaded: a package without
// a section for a board type of the model that the normal firmware named is
// refused before the switch, and a hub that this run switched and whose
// package is then refused (not newer, a board type only its bootloaders
// showed) is restarted into its normal firmware (a line says so, about 20 s)
// after the refusal's message. A hub found in its bootloaders stays there.
// The hub record and the package are released before it returns, after the
// upload too. An upload that fails beyond its retry limits ends the process
// with status 1. Main thread only.
int action_update_manual();
