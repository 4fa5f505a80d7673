#include "canary.h"

#include <map>

void fleet_choose_canaries(std::vector<fleet_hub> &hubs) {
  std::map<uint16_t, int> canary_of_model;
  for (size_t i = 0; i < hubs.size(); ++i) {
    fleet_hub &hub = hubs[i];
    if (!hub.to_update || hub.restart_only) continue;
    const auto [known, first] = canary_of_model.try_emplace(hub.hub_code, static_cast<int>(i));
    if (first)
      hub.is_canary = true;
    else
      hub.canary = known->second;
  }
}

void fleet_join_canary(std::vector<fleet_hub> &hubs, size_t i) {
  fleet_hub &hub = hubs[i];
  if (!hub.to_update || hub.restart_only) return;
  for (size_t k = 0; k < hubs.size(); ++k) {
    const fleet_hub &other = hubs[k];
    if (k != i && other.is_canary && !other.pulled && other.hub_code == hub.hub_code) {
      hub.canary = static_cast<int>(k);
      return;
    }
  }
  hub.is_canary = true;
}

std::vector<size_t> fleet_hand_canary_on(std::vector<fleet_hub> &hubs, size_t pulled,
                                         const std::function<bool(size_t)> &waiting) {
  std::vector<size_t> changed;
  int heir = -1;
  for (size_t k = 0; k < hubs.size(); ++k) {
    fleet_hub &hub = hubs[k];
    if (hub.canary != static_cast<int>(pulled) || !waiting(k)) continue;
    hub.canary = heir;
    if (heir < 0) {
      hub.is_canary = true;
      heir = static_cast<int>(k);
    }
    changed.push_back(k);
  }
  return changed;
}

canary_gate fleet_canary_gate(const fleet_hub &hub, const std::vector<fleet_hub> &hubs,
                              std::string *reason) {
  if (hub.canary < 0 || static_cast<size_t>(hub.canary) >= hubs.size()) return canary_gate::open;
  const fleet_hub &canary = hubs[static_cast<size_t>(hub.canary)];
  const std::string its = "its canary " + canary.port;
  switch (canary.result) {
    case hub_result::none:
      return canary_gate::wait;
    case hub_result::updated:
      return canary_gate::open;
    case hub_result::failed:
      *reason = its + " failed: " + canary.reason;
      break;
    case hub_result::skipped:
      *reason = its + " was skipped: " + canary.reason;
      break;
    case hub_result::up_to_date:
      // It was found to need no upload after all, so it proved nothing.
      *reason = its + " turned out up to date and did not show the new version running";
      break;
  }
  return canary_gate::closed;
}
