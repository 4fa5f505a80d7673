#pragma once
// The automatic update behind a misbehaving firmware server: runs
// `trelk --auto` on a private stage (private_net.py, one hub linked as
// /dev/ttyUSB0) whose port 80 is served by tests/e2e/raw_http_server.py in
// one of its bad modes (junk, silent, stalled, trickle, endless) instead of a
// file server. The requested paths end up in <stage work>/raw-requests.

#include <chrono>
#include <string>

#include "private_net.h"
#include "process.h"

ProcessResult run_auto_behind_raw_server(const private_net &stage, const std::string &hub_port,
                                         const std::string &mode, std::chrono::seconds timeout);
