#pragma once
// The exit from bootloader mode: tells every board of the hub on options.port
// to restart into its normal firmware.

// Returns 0 after the restart commands were sent, -1 when no hub could be
// opened or detected (message printed). Takes at least 20 s.
int action_exit_bootloader();
