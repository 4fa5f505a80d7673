#include "action-auto.h"

#include <cstdio>

int action_update_auto() {
  std::fputs("ERROR: The automatic update is not built yet.\n", stderr);
  return -1;
}
