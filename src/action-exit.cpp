#include "action-exit.h"

#include <cstdio>

#include "device.h"
#include "functions.h"
#include "options.h"
#include "timer.h"

namespace {

// Board numbers a hub can have; every one is addressed whatever the model,
// since nothing is read back.
constexpr int EXIT_HIGHEST_BOARD = 4;
// Restart commands per board, one second apart: a board busy restarting or
// pinging may miss some of them.
constexpr int EXIT_COMMANDS_PER_BOARD = 5;
constexpr int64_t EXIT_COMMAND_PAUSE_MS = 1000;
constexpr uint16_t EXIT_COMMAND_TIMEOUT_MS = 1000;

}  // namespace

int action_exit_bootloader() {
  device *dev = device_create_from_port(options.port);
  if (dev == nullptr) return -1;
  if (dev->detected != 1) {
    print_error("ERROR: Unable to detect a Varnholt hub on port %s\n", options.port);
    device_free(dev);
    return -1;
  }

  std::printf("Please wait while device restarts\r\n");
  exit_restart_boards(dev, /*show_boards=*/true);
  device_free(dev);
  return 0;
}

void exit_restart_boards(device *dev, bool show_boards) {
  for (int board = EXIT_HIGHEST_BOARD; board >= 1; --board) {
    if (show_boards) std::printf("Board %d\r\n", board);
    std::fflush(stdout);
    for (int i = 0; i < EXIT_COMMANDS_PER_BOARD; ++i) {
      // Nothing is read back: each command is only written, until the port takes it.
      device_send_command(dev, static_cast<uint8_t>(board), "!REBOOT_NORMAL", /*wait=*/false,
                          EXIT_COMMAND_TIMEOUT_MS, /*resend=*/true);
      wait_ms(EXIT_COMMAND_PAUSE_MS);
    }
  }
}
