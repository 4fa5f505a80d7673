#pragma once
// Running hubs side by side: one child process per hub, at most `jobs` at
// once, each reporting over its own pipe, the parent waiting on all of them
// (and on interrupts) with poll() while it keeps the display current.
//
// The parent must have no thread but its own when it forks: it never opens a
// hub itself (opening one starts the link's reader thread); the probes run
// in children too, and so do the downloads (fetch_job.h), whose clients may
// leave a resolver thread behind. Parent process only.

#include <signal.h>
#include <sys/types.h>

#include <functional>
#include <vector>

#include "display.h"
#include "fleet.h"

// Catches SIGINT, SIGTERM and SIGHUP for the parent: they end the children
// (each as trelk ends on an interrupt) and let the parent write its summary.
// Returns 1, or 0 after a message when the self-pipe could not be made.
int fleet_catch_interrupts();
// The signal that interrupted the run, 0 while none did.
int fleet_interrupt_signal();

enum class fleet_stage { probe, update };

// fork() with stdio flushed and every signal blocked across it, so that no
// signal reaches a child before it has its own dispositions. In the child:
// 0, signals still blocked, *previous the mask to restore once they are
// set. In the parent: the mask restored, the child's id, or -1 with errno
// as fork left it.
pid_t fleet_fork(sigset_t *previous);

// The steps of a stage, for a station that runs hubs as they arrive with a
// poll loop of its own. The read end of the interrupt self-pipe (to poll),
// and its bytes taken once it is readable.
int fleet_interrupt_fd();
void fleet_drain_interrupts();
// Passes the interrupt on to every running child of `hubs`.
void fleet_forward_interrupt(const std::vector<fleet_hub> &hubs);
// Forks the hub's child for `stage` (the children's own pipes of `hubs` are
// closed in it). True; false with the cause in hub.reason.
bool fleet_start_child(fleet_hub &hub, fleet_stage stage, const fleet_update_rules &rules,
                       const std::vector<fleet_hub> &hubs);
// Reads the hub's event pipe once it polled readable and applies what came
// (a hub whose port is away is shown so, hub.away, until it is back);
// at its end waits for the child and settles the hub as fleet_run_stage does
// (hub.pid is then -1).
void fleet_take_events(fleet_hub &hub, fleet_stage stage, fleet_display &display);

// Runs the stage for every hub `wanted` selects, in order, at most `jobs`
// children at once (0: all); the update's children get `rules`. Probe:
// is_hub, identity and, for ports without a hub, a skipped result. Update:
// phases, progress and a result for each. A hub that waits for its canary
// (canary.h) starts once the canary was updated, and is skipped with the
// canary's failure when it was not.
// A child that ends without a result is failed with the messages it printed
// (or its exit status or signal) as the reason, and so is one that ends other
// than its result implies (status 1 after failed, 0 after any other); after an interrupt, hubs
// whose child was cut short are failed and incomplete, hubs never started
// are skipped. Returns when every started child has been waited for.
// `settled`, when given, is called after each turn of the wait (a hub may
// have finished), on the calling thread.
void fleet_run_stage(std::vector<fleet_hub> &hubs, const std::vector<bool> &wanted,
                     fleet_stage stage, int jobs, const fleet_update_rules &rules,
                     fleet_display &display, const std::function<void()> &settled = nullptr);
