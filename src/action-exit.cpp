#include "action-exit.h"

#include <cstdio>

int action_exit_bootloader() {
  std::fputs("ERROR: The exit from bootloader mode is not built yet.\n", stderr);
  return -1;
}
