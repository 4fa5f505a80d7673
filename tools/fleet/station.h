#pragma once
// trelk-fleet --watch: a flash station. After the hubs attached at its
// start, it takes every USB serial port that appears (port_watch.h), probes
// it and, when a hub answers, updates it exactly as a run over a list does:
// its model's package (or --fw) with every checksum list's say, the restart
// and read-back of its version, its canary where --canary is given. Each
// plug-in is a visit of its own: one entry of the hub list, one row of the
// summary and the report. A hub plugged back in after its update is a new
// visit, probed and found current.
//
// DESIGN: one parent loop, no thread. It polls the interrupt pipe, the
// port watch and every child's event pipe; children are the probes (any
// number at once) and the updates (at most --jobs at once; planned visits
// beyond that wait, in arrival order). An arrival on a port that a visit in
// progress holds, by its name or as its hub's USB identity (the bootloader
// switch and an unplug give a hub a new ttyUSB name), is that visit's hub
// coming back and is left to its process. When a visit ends, its port as it
// is then counts as seen, and the report is rewritten atomically with every
// finished visit.
//
// The firmware documents were fetched before the station starts (a source
// not reached is a setup error); each model's package is fetched when its
// first hub arrives and kept for the station's life (package_set).
// Parent process only.

#include <string>

#include "fleet.h"
#include "packages.h"
#include "source.h"

// Runs the station until SIGINT, SIGTERM or SIGHUP (fleet_catch_interrupts
// must have been called), then waits for the hubs in progress as an
// interrupted run does and prints the summary of every visit. `source` is
// null with --fw (whose package `packages` holds); `source_label` is the
// report's "source". Returns the exit status: 0 when every visit of a hub
// ended updated or up to date, 1 when one failed or was skipped (or the
// report or a --history line could not be written), 128+N when signal N cut
// a hub's update short, 255 when the --history file cannot be opened (before
// any port is touched). Each finished visit adds its --history line.
int fleet_station(const fleet_options &opts, package_set &packages, firmware_source *source,
                  const std::string &source_label);
