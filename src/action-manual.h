#pragma once
// The manual update: one package file onto the hub on one named port.

// Loads options.fw_path (before the port is touched), opens options.port,
// switches to bootloader mode when --bootloader allows, checks fit and version,
// and uploads. Returns 0 after an upload, -1 on every failure (message printed).
// The hub record and the package are released before it returns, after the
// upload too. An upload that fails beyond its retry limits ends the process
// with status 1. Main thread only.
int action_update_manual();
