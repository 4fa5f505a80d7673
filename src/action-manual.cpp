#include "action-manual.h"

#include <cstdio>

int action_update_manual() {
  std::fputs("ERROR: The manual update is not built yet.\n", stderr);
  return -1;
}
