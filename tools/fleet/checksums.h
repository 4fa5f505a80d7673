#pragma once
// Lists of SHA-256 digests in the format sha256sum writes and checks, the way
// a site says which package files it trusts (--sha256sums) and the way a
// mirror records what it stored (its SHA256SUMS).
//
// A line is "<64 hex digits>  NAME" or "<64 hex digits> *NAME" (GNU; a line
// starting with a backslash has "\\" and "\n" escapes in NAME), or
// "SHA256 (NAME) = <64 hex digits>" (BSD, sha256sum --tag). Lines of any
// other form are passed over (comments, other digests). A file is known by
// its base name: "firmware/fw312.ufw" in a mirror's list vouches for the file
// fw312.ufw, so a mirror's list serves as a site's trusted list unchanged.
//
// Parent process only; no globals.

#include <map>
#include <string>

// Largest list read: thousands of lines; a larger file is no checksum list.
inline constexpr size_t CHECKSUM_LIST_MAX_SIZE = 1024 * 1024;

enum class checksum_verdict {
  match,     // every line for the name carries the digest
  missing,   // no line names the file
  mismatch,  // a line names it with another digest
};

class checksum_list {
 public:
  // Reads `path` (a regular file of at most CHECKSUM_LIST_MAX_SIZE bytes).
  // Returns true; false after one "trelk-fleet: PATH: cause" line on stderr
  // when it cannot be read or holds no line of the formats above.
  bool load(const std::string &path);
  // Takes the lines of `text` as the list at `path` (which only names it).
  // Returns the number of digest lines found.
  size_t parse(const std::string &path, const std::string &text);

  // The verdict for the file called `name` (a base name) whose SHA-256 is
  // `sha256` (lower-case hex).
  checksum_verdict check(const std::string &name, const std::string &sha256) const;
  // The path the list was read from, for reasons and reports.
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  std::multimap<std::string, std::string> digests_;  // base name -> lower-case digest
};

// The reason a package is refused for `verdict` ("" for a match): "package
// NAME not in PATH" or "package NAME: digest mismatch with PATH".
std::string checksum_refusal(checksum_verdict verdict, const std::string &name,
                             const checksum_list &list);
