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
// DESIGN: one parent loop, no thread (it forks). It polls the interrupt
// pipe, the port watch, every child's event pipe and every package fetch;
// children are the probes (any number at once), the fetches and the updates
// (at most --jobs at once; planned visits beyond that wait, in arrival
// order). A visit holds its hub, not a port name: an arrival is that
// visit's hub coming back (left to its process) only when it has the hub's
// USB identity (the bootloader switch and an unplug give a hub a new ttyUSB
// name), or on a port without one when it is the very device node the visit
// took. Any other arrival is a new visit, even on a name a visit had. A hub
// away beyond --away-limit during its update ends its visit failed (its
// process says so), which frees its --jobs slot. When a visit ends, what
// its hub holds (the device its process last had open, else its port's
// device as it arrived) counts as seen, and the report is rewritten
// atomically with every finished visit.
//
// The firmware documents were fetched before the station starts (a source
// not reached is a setup error); each model's package is fetched in a child
// (fetch_job.h) when a hub of that model needs it, while the loop goes on.
// A package that passed its checks is kept for the station's life
// (package_set); a failed fetch is not, so the next hub fetches again.
// Parent process only.

#include <string>

#include "fleet.h"
#include "packages.h"
#include "source.h"

// Runs the station until SIGINT, SIGTERM or SIGHUP (fleet_catch_interrupts
// must have been called), then waits for the hubs in progress as an
// interrupted run does (fetches end at once; visits never started are
// skipped, "not started: the station was stopped", not incomplete) and
// prints the summary of every visit. `source` is
// null with --fw (whose package `packages` holds); `source_label` is the
// report's "source". Returns the exit status: 0 when every visit of a hub
// ended updated or up to date, 1 when one failed or was skipped (or the
// report or a --history line could not be written), 128+N when signal N cut
// a hub's update short, 255 when the --history file cannot be opened (before
// any port is touched). Each finished visit adds its --history line.
int fleet_station(const fleet_options &opts, package_set &packages, firmware_source *source,
                  const std::string &source_label);
