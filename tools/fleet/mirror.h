#pragma once
// trelk-fleet --mirror DIR: a copy of the firmware source for machines that
// cannot reach it. The manifest and the stable list as they were fetched,
// and each model's stable package, go into DIR/firmware/ (the server's own
// layout), and DIR/SHA256SUMS lists all of them as sha256sum writes it
// ("<digest>  firmware/NAME"), so `cd DIR && sha256sum -c SHA256SUMS` checks
// a copy and `trelk-fleet --server DIR` uses it. Packages pass the same caps,
// the same parser and the same lists (--sha256sums, a source mirror's own
// SHA256SUMS) as in a run that updates hubs.
//
// Every file is written under a temporary name in its own folder and renamed
// at the end, packages first and SHA256SUMS last; when anything could not be
// had, nothing is renamed and DIR stays as it was. On a terminal each file's
// download shows its progress; every stored file gets a line, and a summary
// ends the run.
//
// Parent process only.

#include <cstdio>
#include <string>

#include "packages.h"
#include "source.h"

// Mirrors `source` into `dir`. Returns the exit status: 0 when everything
// was stored; 1 when a package could not be had, is no valid package or was
// refused by a list (nothing is replaced); 255 when the documents could not
// be had or `dir` cannot be written; 128 + N after signal N (caught by
// fleet_catch_interrupts; nothing is replaced). Messages go to stderr, the
// progress and the summary to `out`.
int fleet_mirror(firmware_source &source, const package_checks &checks, const std::string &dir,
                 FILE *out, bool terminal);
