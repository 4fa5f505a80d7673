#pragma once
// The command line: one global record written once by options_load before any
// action runs, read by the actions and by the upload's progress display.

#include <cstdint>

#include "version.h"  // TRELK_VERSION_STRING, for --version and the banner

enum action_mode : uint32_t {
  ACTION_NONE = 0,
  ACTION_AUTO = 1,
  ACTION_MANUAL = 2,
  ACTION_EXIT_BOOTLOADER = 3,
};

struct options {
  uint32_t mode;          // an action_mode
  char fw_path[1024];     // --fw, at most 1023 characters kept
  char port[64];          // --port, at most 63 characters kept
  uint8_t prompt;         // --prompt
  uint8_t force;          // --force (the automatic update sets it too)
  uint8_t bootloader;     // --bootloader
  uint8_t no_status;      // --no-status
  uint8_t basic_status;   // --basic-status
  uint8_t tx_rate;        // --tx-rate
};

extern struct options options;


// Parses argv into `options` (zeroed first). Returns 1 when options.mode names
// an action to run; 0 when the program is to stop, after it has printed the
// usage, help, version or option error itself. Main thread only.
int options_load(int argc, char **argv);
