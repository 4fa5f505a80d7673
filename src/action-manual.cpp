#include "action-manual.h"

#include <cstdio>

#include "device.h"
#include "functions.h"
#include "options.h"
#include "ufw.h"

namespace {

// Why the hub, as the switch left it, is not updated with `package`: the
// message to print ("" when it was printed already), or null when it is.
const char *update_refusal(ufw *package, device *dev) {
  // Another hub answering after the switch has been named already.
  if (dev->refused) return "";
  if (!device_is_bootloader_ready(dev)) return "ERROR: The hub is not in bootloader mode\n";
  switch (ufw_check_device_status(package, dev)) {
    case UFW_STATUS_NO_SECTION:
      return "ERROR: The file does not contain the correct firmware for this hub\n";
    case UFW_STATUS_NOT_NEWER:
      if (options.force != 1)
        return "ERROR: The firmware file supplied is not a newer version than currently on the "
               "device. Use the --force switch if you wish to use this firmware anyway.\n";
      return nullptr;
    default:  // UFW_STATUS_NEWER
      return nullptr;
  }
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

  // A hub that is already ready is never switched, with or without the flag.
  if (!device_is_bootloader_ready(dev) && options.bootloader) device_switch_to_bootloader(dev);
  if (const char *refusal = update_refusal(package.get(), dev)) {
    print_error("%s", refusal);
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
