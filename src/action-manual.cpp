#include "action-manual.h"

#include <cstdio>

#include "action-exit.h"
#include "device.h"
#include "functions.h"
#include "options.h"
#include "ufw.h"

namespace {

constexpr const char *NO_SECTION_MESSAGE =
    "ERROR: The file does not contain the correct firmware for this hub\n";

// Why the hub, as the switch left it, is not updated with `package`.
struct refusal {
  const char *message;  // to print ("" when it was printed already); null: not refused
  bool by_package;      // the package was refused (the hub is fine as it is)
};

refusal update_refusal(ufw *package, device *dev) {
  // Another hub answering after the switch has been named already.
  if (dev->refused) return {"", false};
  if (!device_is_bootloader_ready(dev)) return {"ERROR: The hub is not in bootloader mode\n", false};
  switch (ufw_check_device_status(package, dev)) {
    case UFW_STATUS_NO_SECTION:
      return {NO_SECTION_MESSAGE, true};
    case UFW_STATUS_NOT_NEWER:
      if (options.force != 1)
        return {"ERROR: The firmware file supplied is not a newer version than currently on the "
                "device. Use the --force switch if you wish to use this firmware anyway.\n",
                true};
      return {nullptr, false};
    default:  // UFW_STATUS_NEWER
      return {nullptr, false};
  }
}

// False when the package lacks a section for a board type of the model the
// hub's normal firmware named: known before the switch, so the hub need not
// be switched (and stranded in its bootloaders) to refuse it. An unknown
// model is left to the bootloaders to show.
bool package_fits_model(ufw *package, const device *dev) {
  if (dev->system == nullptr) return true;
  const int count = device_board_limit(dev->system->board_count);
  for (int i = 0; i < count; ++i)
    if (ufw_get_for_device_type(package, dev->system->boards[i].type) == nullptr) return false;
  return true;
}

// Switches a hub in its normal firmware when --bootloader allows, once the
// package is known to fit its model; *switched says whether this run switched
// a hub that ran its firmware. False after the refusal's message when the
// package does not fit (the hub untouched).
bool switch_when_allowed(ufw *package, device *dev, bool *switched) {
  *switched = false;
  // A hub that is already ready is never switched, with or without the flag.
  if (device_is_bootloader_ready(dev) || !options.bootloader) return true;
  if (!package_fits_model(package, dev)) {
    print_error("%s", NO_SECTION_MESSAGE);
    return false;
  }
  // Only a hub found running its firmware is put back there on a refusal; one
  // found in its bootloaders is left in them, as found.
  const bool running_firmware = !dev->in_bootloader;
  device_switch_to_bootloader(dev);
  *switched = running_firmware;
  return true;
}

// The refusal of a hub that this run switched: its ports work only in its
// normal firmware, so it goes back there rather than wait in its bootloaders
// for someone to run --exit-bootloader.
void restart_switched_hub(device *dev) {
  std::printf("Restarting the hub into its normal firmware, as it was found\n");
  std::fflush(stdout);
  exit_restart_boards(dev, /*show_boards=*/false);
}

}  // namespace

int action_update_manual() {
  std::printf("Firmware path: %s\nSerial port: %s\n%s%s", options.fw_path, options.port,
              options.bootloader ? "Bootloader automatic: yes\n" : "",
              options.force ? "Force: yes\n" : "");

  // The package is read before the port is touched, so a bad file never
  // disturbs a hub.
  unique_ufw package;
  ufw_load_file(options.fw_path, package.get());
  if (package->valid != 1) {
    print_error("ERROR: Invalid firmware file\n");
    return -1;
  }
  std::printf("Firmware version: %d\n", package->version);
  std::fflush(stdout);

  device *dev = device_create_from_port(options.port);
  if (dev == nullptr) return -1;
  if (dev->detected != 1) {
    print_error("ERROR: Unable to detect a Varnholt hub on port %s\n", options.port);
    device_free(dev);
    return -1;
  }

  bool switched = false;
  if (!switch_when_allowed(package.get(), dev, &switched)) {
    device_free(dev);
    return -1;
  }
  if (const refusal refused = update_refusal(package.get(), dev); refused.message != nullptr) {
    print_error("%s", refused.message);
    if (switched && refused.by_package) restart_switched_hub(dev);
    device_free(dev);
    return -1;
  }

  // A ready hub always has its model record; the guard only keeps a broken
  // invariant from becoming a crash.
  std::printf("Found device: %s\n", dev->system != nullptr ? dev->system->name : "");
  std::fflush(stdout);

  // An upload that fails beyond its limits ends the process inside; a refusal
  // (a board without a section) cannot happen after the check above, but if it
  // does the action has failed.
  const int done = device_do_firmware_update(dev, package.get());
  device_free(dev);
  return done == 1 ? 0 : -1;
}
