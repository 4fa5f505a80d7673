#pragma once
// --canary: for each model, one hub is updated and read back first, and the
// other hubs of that model are updated only once it runs the new version.
// A bad package, or an upload path that fails for one model, then costs one
// hub instead of a rack: the others of that model are left untouched. Hubs
// of other models do not wait for it.
//
// Both steps are per hub, so that a run over a list and a station that
// updates hubs as they are plugged in decide alike. Parent process only.

#include <functional>
#include <string>
#include <vector>

#include "fleet.h"

// Among the hubs to be uploaded (to_update without restart_only), makes the
// first of each model (hub code) in list order its canary (is_canary) and
// points the others at it (canary = its index). Hubs that are only
// restarted, and hubs with nothing to do, wait for nobody.
void fleet_choose_canaries(std::vector<fleet_hub> &hubs);

// At a station, where each hub gets its plan when its own probe ends (so
// not in list order): makes hubs[i], if it is to be uploaded, follow its
// model's standing canary (one not pulled, wherever it sits in the list),
// or its model's canary when there is none. One canary per model at a time.
void fleet_join_canary(std::vector<fleet_hub> &hubs, size_t i);

// A canary pulled mid-update proved nothing about its package: the first
// hub in list order that still waits for it (waiting(k): not started) becomes
// its model's canary, and the other waiters follow that one. Returns the
// indices of the hubs changed.
std::vector<size_t> fleet_hand_canary_on(std::vector<fleet_hub> &hubs, size_t pulled,
                                         const std::function<bool(size_t)> &waiting);

enum class canary_gate {
  open,    // waits for no canary, or its canary runs the new version
  wait,    // its canary has no result yet
  closed,  // its canary did not get there: the hub is not to be touched
};

// Whether `hub` (an entry of `hubs`) may be started now. Only an updated
// canary opens the gate: its result is read back from its normal firmware
// (see verify.h). Closed fills *reason with the canary's port and what
// became of it ("its canary PORT failed: ...").
canary_gate fleet_canary_gate(const fleet_hub &hub, const std::vector<fleet_hub> &hubs,
                              std::string *reason);
