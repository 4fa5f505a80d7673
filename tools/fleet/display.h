#pragma once
// What trelk-fleet shows while it works, and the summary at the end.
//
// On a terminal: a table under column titles, one line per hub (port, USB
// socket, model, serial number, version before -> after, blocks
// confirmed/total, failed sends, phase or result), each column as wide as
// its longest entry, redrawn in place at most four times a second. Otherwise: one plain line per phase
// change of a hub, each starting with its port, so a log or a pipe reads in
// order. With --canary both show which hub is its model's canary and which
// hubs wait for it. The after version is what a restarted hub reported.
// Parent process only; writes to the given stream.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fleet.h"

// Rows as lines whose columns are as wide as their longest cell, two spaces
// apart, without trailing blanks (the tables' layout).
std::vector<std::string> fleet_align_rows(const std::vector<std::vector<std::string>> &rows);

class fleet_display {
 public:
  // `hubs` must outlive the display and keep its size.
  fleet_display(const std::vector<fleet_hub> &hubs, FILE *out, bool terminal, bool dry_run);

  // A hub's phase, identity, plan or result changed: a plain line now, or a
  // redraw when the next one is due.
  void hub_changed(const fleet_hub &hub);
  // The blocks or failed sends of a hub changed (terminal only).
  void progress_changed();
  // Milliseconds until a pending redraw is due (0: now), -1 when none is.
  int redraw_due_in(int64_t now_ms) const;
  // Redraws when one is pending and due.
  void redraw_if_due(int64_t now_ms);
  // A station (--watch): on a terminal a header line of the counts so far
  // over the table, which shows the visits in progress and the latest
  // finished ones, drawn at once; without one, a line saying the station runs. `hubs` may
  // grow from here on (one entry per visit), between calls.
  void watching();
  // The last redraw; plain output needs none.
  void close();
  // The run's packages, one line each (where each came from, its digest,
  // whether a list verified it), after close() and before the summary.
  void packages(const std::vector<std::string> &lines);
  // The table of every hub's result, which hubs are incomplete after an
  // interrupt, and the total time.
  void summary(double total_seconds, int interrupt_signal);

 private:
  // The live table's cells of a hub, in the titles' order.
  std::vector<std::string> hub_cells(const fleet_hub &hub) const;
  std::string watch_header() const;
  // The hubs the live table shows, at most `room` of a station's.
  std::vector<const fleet_hub *> shown_hubs(size_t room) const;
  // A planned hub not started yet: waiting, or waiting for its canary.
  std::string waiting_text(const fleet_hub &hub) const;
  std::string plain_line(const fleet_hub &hub) const;
  void redraw();

  const std::vector<fleet_hub> &hubs_;
  FILE *out_;
  bool terminal_;
  bool dry_run_;
  bool watching_ = false;
  bool dirty_ = false;
  int drawn_lines_ = 0;
  int64_t last_draw_ms_ = 0;
};
