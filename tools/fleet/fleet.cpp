#include "fleet.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <memory>

#include "device.h"
#include "functions.h"
#include "serial.h"

std::string fleet_version_text(int version) {
  if (version < 0) return "?";
  char text[32];
  std::snprintf(text, sizeof text, "v%d.%02d", version / 100, version % 100);
  return text;
}

const char *fleet_result_name(hub_result result) {
  switch (result) {
    case hub_result::updated: return "updated";
    case hub_result::up_to_date: return "up-to-date";
    case hub_result::failed: return "failed";
    case hub_result::skipped: return "skipped";
    case hub_result::none: break;
  }
  return "pending";
}

std::string fleet_model_name(uint16_t code) {
  std::unique_ptr<hub_system> system(device_get_system_from_code(code));
  return system ? std::string(system->name) : std::string();
}

std::string fleet_model_text(const fleet_hub &hub) {
  if (!hub.model.empty()) return hub.model;
  char code[8];
  std::snprintf(code, sizeof code, "%04x", hub.hub_code);
  return code;
}

std::vector<fleet_hub> fleet_hubs_of_ports(const std::vector<std::string> &ports) {
  std::vector<fleet_hub> hubs;
  std::vector<dev_t> devices;  // the character device of each entry, 0 when none
  for (const std::string &port : ports) {
    struct stat st{};
    const dev_t device = stat(port.c_str(), &st) == 0 && S_ISCHR(st.st_mode) ? st.st_rdev : 0;
    const auto same = device != 0 ? std::find(devices.begin(), devices.end(), device) : devices.end();
    if (same != devices.end()) {
      hubs[static_cast<size_t>(same - devices.begin())].aliases.push_back(port);
      continue;
    }
    fleet_hub hub;
    hub.port = port;
    hubs.push_back(std::move(hub));
    devices.push_back(device);
  }
  return hubs;
}

std::vector<std::string> fleet_usb_ports() {
  std::vector<std::string> ports;
  char *list = serial_find_ports();
  if (list == nullptr) return ports;
  for (const char *port = list; *port != '\0'; port += std::strlen(port) + 1) ports.push_back(port);
  string_list_free(list);
  return ports;
}

std::string fleet_duration_text(int64_t ms) {
  constexpr int64_t MINUTE_MS = 60000;
  if (ms >= MINUTE_MS && ms % MINUTE_MS == 0) return std::to_string(ms / MINUTE_MS) + " min";
  return std::to_string((ms + 999) / 1000) + " s";
}

namespace {

// What the library says of a port that another program holds; a probe's
// reason is its captured messages.
constexpr const char *HELD_PORT_TEXT = " is in use by another program";

}  // namespace

std::string fleet_no_hub_message(const std::vector<fleet_hub> &hubs) {
  size_t held = 0;
  for (const fleet_hub &hub : hubs) held += hub.reason.find(HELD_PORT_TEXT) != std::string::npos;
  if (held == 0) return "no Varnholt hub found";
  const std::string ports = std::to_string(held) + (held == 1 ? " port is" : " ports are") +
                            " in use by another program";
  if (held == hubs.size()) return "no hub could be probed: " + ports;
  return "no Varnholt hub found; " + ports;
}
