#include <cstdio>

#include "action-auto.h"
#include "action-exit.h"
#include "action-manual.h"
#include "options.h"
#include "serial.h"

int main(int argc, char **argv) {
  if (!options_load(argc, argv)) return -1;

  std::printf("trelk v%s\n", TRELK_VERSION_STRING);
  std::fflush(stdout);

  // From here a port may be open: an interrupt must put it back and say
  // that the update is incomplete.
  serial_exit_on_interrupt();

  switch (options.mode) {
    case ACTION_AUTO:
      return action_update_auto();
    case ACTION_MANUAL:
      return action_update_manual();
    case ACTION_EXIT_BOOTLOADER:
      return action_exit_bootloader();
    default:
      return 0;
  }
}
