#pragma once
// The exit from bootloader mode: tells every board of the hub on options.port
// to restart into its normal firmware.

struct device;

// Returns 0 after the restart commands were sent, -1 when no hub could be
// opened or detected (message printed). Takes at least 20 s.
int action_exit_bootloader();

// The restart itself, on a hub already open: "!REBOOT_NORMAL" five times a
// second apart to each board number 4..1, only written, nothing read back
// (about 20 s). With `show_boards`, "Board N" is printed before each board's
// commands. Waits while the port is away (a board that restarted first may
// take the port with it for a moment). Action thread.
void exit_restart_boards(device *dev, bool show_boards);
