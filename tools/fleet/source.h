#pragma once
// Where trelk-fleet's firmware comes from (--server SOURCE): the manifest,
// the stable list and the packages at PREFIX/firmware/manifest,
// PREFIX/firmware/stable and PREFIX/firmware/NAME of
//   - the built-in firmware host over plain HTTP (no --server), fetched by a
//     hub run with trelk's own client and loaders, exactly as trelk --auto;
//   - an http:// or https:// URL, through libcurl (download.h);
//   - a directory, or file://DIR: a mirror on disk with the same layout,
//     read with the same caps (a mirror's own SHA256SUMS is at DIR/SHA256SUMS).
// Whatever the source, the texts go through the library's parsers.
//
// Parent process only.

#include <memory>
#include <optional>
#include <string>

#include "download.h"

enum class source_kind { built_in, url, directory };

// A fetched file: its bytes, or why not.
struct fetched_file {
  bool ok = false;
  std::string text;
  std::string cause;
};

class firmware_source {
 public:
  // The source that `text` names (empty: the built-in host), with `ca_file`
  // for TLS (only for a URL). Null with *error set for a usage error: an
  // unknown scheme, a URL without a host or with a query, a file:// URL
  // without an absolute path, a name that is neither a URL nor a directory,
  // or --ca-file without a URL.
  static std::unique_ptr<firmware_source> make(const std::string &text, const std::string &ca_file,
                                               std::string *error);
  firmware_source(const firmware_source &) = delete;
  firmware_source &operator=(const firmware_source &) = delete;

  source_kind kind() const { return kind_; }
  // What messages and the report call the source: the URL (a password in it
  // shown as ***) or the directory's absolute path.
  const std::string &label() const { return label_; }
  // Where the file `name` of the firmware folder is: "<label>/firmware/<name>".
  std::string location(const std::string &name) const;
  // The mirror's own list, "<directory>/SHA256SUMS" (directories only).
  std::string checksum_list_path() const;

  // Fetches the file `name` of the firmware folder, at most `limit` bytes and
  // at least one: through libcurl for a URL and for the built-in host (the
  // mirror's way to it), from the disk for a directory. `progress` follows a
  // download. Prints nothing.
  fetched_file fetch(const std::string &name, size_t limit, const download_progress &progress = {});
  // Closes the connections that downloads keep open, before hub processes
  // are forked: they must not inherit a socket to the server.
  void close_connections() { downloader_.reset(); }

 private:
  firmware_source() = default;
  // make's two ways: an http(s) URL, a directory (or file:// URL). False
  // with *error set.
  bool take_url(const std::string &text, std::string *error);
  bool take_directory(const std::string &text, bool file_url, std::string *error);

  source_kind kind_ = source_kind::built_in;
  std::string base_;    // URL without a trailing slash, or the directory
  std::string label_;
  std::string ca_file_;
  std::unique_ptr<downloader> downloader_;  // made at the first download
};

// True when `name` can be a file of the firmware folder, on a server and on
// a disk alike: 1 to 63 characters, no slash, not "." or "..", no control
// characters, blanks, '?', '#' or '%'.
bool firmware_file_name_ok(const std::string &name);
