#include "fleet.h"

#include <cstdio>
#include <memory>

#include "device.h"

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
