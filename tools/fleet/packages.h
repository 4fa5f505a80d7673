#pragma once
// Which package each hub gets: one file for all (--fw), or the stable
// version of each hub's own model from the firmware server, every distinct
// package downloaded once. Then, per hub, whether it needs it at all.
//
// Parent process only, before any hub process is started (the packages are
// handed to the hub processes by fork).

#include <memory>
#include <string>
#include <vector>

#include "fleet.h"

// The packages of one run; they live until the set is destroyed.
class package_set {
 public:
  package_set() = default;
  ~package_set() = default;
  package_set(const package_set &) = delete;
  package_set &operator=(const package_set &) = delete;

  // Loads --fw. Returns 1; 0 after "trelk-fleet: ..." on stderr when the file
  // is no valid package or holds no section at all.
  int load_file(const std::string &path);

  // Fetches the manifest and the stable list with trelk's own loaders (same
  // host, limits and messages) and gives each hub that is a hub its model's
  // stable package, downloading each file once. Hubs whose model has no
  // stable entry, whose stable version is missing from the manifest, or
  // whose package cannot be downloaded get no package and a reason. Returns
  // 1; 0 when either document could not be had (the loaders said why).
  int choose_from_server(std::vector<fleet_hub> &hubs);

  // With --fw: gives every hub the file's package.
  void give_file_package(std::vector<fleet_hub> &hubs);

 private:
  struct entry {
    std::string name;   // file path or the manifest's file name
    unique_ufw package;
    bool valid = false;
  };
  std::vector<std::unique_ptr<entry>> entries_;
};

// Decides for every hub with a package, from what its probe found (the
// boards' types and versions; for a hub in normal mode its model's board
// types and its firmware's version): no package or a board type missing from
// it -> skipped with a reason; not newer than every board without --force ->
// up to date; else to be updated (to_update, version_after).
void fleet_plan(std::vector<fleet_hub> &hubs, bool force);
