#pragma once
// trelk-fleet --list: which hubs are here. Every port (or the --port paths)
// is probed as a run probes it, and nothing but the detection's probes
// reaches a hub: no firmware source is asked, no hub is switched or
// restarted. Each hub is shown with its port, USB socket and serial, model,
// serial numbers, mode and firmware: each board's version in its
// bootloaders, the hub's in its normal firmware; with --history, the date
// and result of its last entry there.
//
// Off a terminal the probes' plain lines come first, as in a run; on one,
// a line saying what is probed. Then the table, and with --json the report
// (report.h: each hub "found"). Parent process only.

#include <string>
#include <vector>

#include "fleet.h"

// Lists `hubs` (fleet_hubs_of_ports of the ports to probe; probed here,
// put in the ports' order first unless --port gave it).
// Returns 0 when a hub was found, 1 when none was (after "trelk-fleet: ..."
// saying why), 255 when the history cannot be read or the report cannot be
// written, 128+N after signal N (fleet_catch_interrupts must have been
// called).
int fleet_list(const fleet_options &opts, std::vector<fleet_hub> &hubs);

// The table's lines: titles, then one line per entry of `hubs`; a LAST
// ENTRY column with `history`, a NOTE column (why a port has no hub) when
// a port has none.
std::vector<std::string> fleet_list_table(const std::vector<fleet_hub> &hubs, bool history);
