#pragma once
// trelk-hubsim's command line. Every option is written once, in the table
// kOptions of cli.cpp: getopt's list, the parsing of its value and its line
// in --help all come from there. man/trelk-hubsim.1.in documents the options
// for users and follows every change made there.

#include "hub.h"

#include <cstdint>
#include <string>

namespace hubsim {

// What the command line asks for: the hub to play (hub_config, see hub.h)
// and how to run it.
struct cli {
  hub_config hub;
  bool pace = false;              // --pace: bytes cross at 115200 baud
  std::string link;               // --link, empty for none
  std::string dump_dir;           // --dump-dir, empty for none
  bool exit_after_finish = false;
  int64_t exit_delay_ms = 2500;  // past the updater's last 2000 ms pause, so it ends first
  int64_t idle_timeout_s = 600;
  int64_t unplug_ms = 3000;       // -1: unplugged for good
  bool verbose = false;
};

// Reads the options in argv into `c`. Returns -1 to go on, else the exit
// status: 0 after --help or --version (printed on stdout), 2 after a bad
// option, value or argument (said on stderr with a pointer to --help).
int parse_cli(int argc, char **argv, cli &c);

} // namespace hubsim
