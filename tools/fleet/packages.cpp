#include "packages.h"

#include <cstdio>
#include <map>

#include "action-auto.h"
#include "device.h"
#include "http.h"
#include "functions.h"

int package_set::load_file(const std::string &path) {
  auto e = std::make_unique<entry>();
  e->name = path;
  ufw_load_file(path.c_str(), e->package.get());
  // A text without a single section loads, but can update no hub.
  e->valid = e->package->valid == 1 && e->package->sections != nullptr;
  if (!e->valid) {
    print_error("trelk-fleet: %s: not a valid firmware package\n", path.c_str());
    return 0;
  }
  entries_.push_back(std::move(e));
  return 1;
}

void package_set::give_file_package(std::vector<fleet_hub> &hubs) {
  if (entries_.empty()) return;
  for (fleet_hub &hub : hubs)
    if (hub.is_hub) hub.package = entries_.front()->package.get();
}

int package_set::choose_from_server(std::vector<fleet_hub> &hubs) {
  // Both documents are fetched whatever the first gave, as trelk --auto does.
  auto_ufw_manifest *manifest = auto_load_ufw_manifest();
  auto_ufw_stable_list *stable = auto_load_ufw_stable_list();
  auto release = [&] {
    auto_ufw_manifest_free(manifest);
    auto_ufw_stable_list_free(stable);
  };
  if (manifest == nullptr || stable == nullptr) {
    print_error("trelk-fleet: no usable firmware list from %s\n", http_firmware_host());
    release();
    return 0;
  }

  std::map<std::string, entry *> by_file;
  for (fleet_hub &hub : hubs) {
    if (!hub.is_hub || hub.result != hub_result::none) continue;
    uint16_t version = 0;
    for (const auto_ufw_stable_list *s = stable; s != nullptr; s = s->next) {
      if (s->hub_code == hub.hub_code) {
        version = s->version;
        break;
      }
    }
    char code[8];
    std::snprintf(code, sizeof code, "%04x", hub.hub_code);
    if (version == 0) {
      hub.reason = "no stable version for " + (hub.model.empty() ? std::string(code) : hub.model) +
                   " on the firmware server";
      continue;
    }
    const auto_ufw_manifest *listed = nullptr;
    for (const auto_ufw_manifest *m = manifest; m != nullptr; m = m->next) {
      if (m->version == version) {
        listed = m;
        break;
      }
    }
    if (listed == nullptr) {
      hub.reason = "stable version " + fleet_version_text(version) + " of " +
                   (hub.model.empty() ? std::string(code) : hub.model) +
                   " is not in the firmware list";
      continue;
    }
    auto found = by_file.find(listed->file_name);
    if (found == by_file.end()) {
      auto e = std::make_unique<entry>();
      e->name = listed->file_name;
      ufw_load_http(listed, e->package.get());
      e->valid = e->package->valid == 1;
      found = by_file.emplace(e->name, e.get()).first;
      entries_.push_back(std::move(e));
    }
    if (found->second->valid)
      hub.package = found->second->package.get();
    else
      hub.reason = "unable to download a valid package " + found->second->name + " from " +
                   http_firmware_host();
  }
  release();
  return 1;
}

void fleet_plan(std::vector<fleet_hub> &hubs, bool force) {
  for (fleet_hub &hub : hubs) {
    if (!hub.is_hub || hub.result != hub_result::none) continue;
    if (hub.package == nullptr) {
      hub.result = hub_result::skipped;
      if (hub.reason.empty()) hub.reason = "no package for this hub";
      continue;
    }
    // The check trelk makes before an upload, on what the probe saw.
    device seen{};
    if (hub.in_bootloader) {
      seen.board_count = hub.board_count;
      for (int b = 1; b <= hub.board_count && b < DEVICE_MAX_BOARDS; ++b) {
        seen.boards[b].board_type = hub.board_types[b];
        seen.boards[b].fw_version = hub.board_versions[b];
      }
    } else {
      // In normal mode only the model tells the boards; all run the hub's
      // firmware version.
      hub_system *system = device_get_system_from_code(hub.hub_code);
      if (system == nullptr) {
        char text[64];
        std::snprintf(text, sizeof text, "unknown hub code %04x", hub.hub_code);
        hub.result = hub_result::skipped;
        hub.reason = text;
        continue;
      }
      seen.board_count = device_board_limit(system->board_count);
      for (int b = 1; b <= seen.board_count; ++b) {
        seen.boards[b].board_type = system->boards[b - 1].type;
        seen.boards[b].fw_version = static_cast<uint16_t>(hub.version_before);
      }
      delete system;
    }
    switch (ufw_check_device_status(hub.package, &seen)) {
      case 0: {
        uint16_t missing = 0;
        for (int b = 1; b <= seen.board_count; ++b)
          if (ufw_get_for_device_type(hub.package, seen.boards[b].board_type) == nullptr) {
            missing = seen.boards[b].board_type;
            break;
          }
        char text[96];
        std::snprintf(text, sizeof text, "package %s has no firmware for board type %04x",
                      fleet_version_text(hub.package->version).c_str(), missing);
        hub.result = hub_result::skipped;
        hub.reason = text;
        break;
      }
      case 1:
        if (!force) {
          hub.result = hub_result::up_to_date;
          hub.version_after = hub.version_before;
          break;
        }
        [[fallthrough]];
      default:
        hub.to_update = true;
        hub.version_after = hub.package->version;
        break;
    }
  }
}
