#pragma once
// Files as trelk-fleet reads and writes them on a shared machine: reads are
// bounded and take only regular files (a FIFO or a device named by mistake
// could hang the run or be disturbed by it); writes go to a temporary name
// in the target's own folder and are renamed over the target at the end, so
// a reader sees the old file or the whole new one, and no existing file, nor
// a link planted at the temporary name, is ever written through.
//
// Parent process only; no globals.

#include <sys/types.h>

#include <string>

// The folder of `path` ("." for a bare name, "/" for a name in the root).
std::string folder_of(const std::string &path);
// The part of `path` after its last slash.
std::string base_name(const std::string &path);

// Reads the regular file at `path`, at most `limit` bytes. True with *text
// set; false with *cause set ("No such file or directory", "not a regular
// file", "larger than N bytes", ...).
bool read_bounded_file(const std::string &path, size_t limit, std::string *text,
                       std::string *cause);

// One file written under a temporary name beside its target and renamed
// over the target by commit(). A staged file that is never committed is
// removed when its owner goes (an error or an interrupt leaves nothing
// behind). Moved, never copied.
class staged_file {
 public:
  staged_file() = default;
  ~staged_file();
  staged_file(staged_file &&other) noexcept;
  staged_file &operator=(staged_file &&other) = delete;
  staged_file(const staged_file &) = delete;
  staged_file &operator=(const staged_file &) = delete;

  // Makes a new temporary file beside `path` (mkstemp: a fresh name, never an
  // existing file), writes `text` to it, flushes it to disk and gives it
  // `mode`. True; false with *cause set (the temporary is then gone).
  bool write(const std::string &path, const std::string &text, mode_t mode, std::string *cause);
  // Renames the temporary over the target. True; false with *cause set.
  bool commit(std::string *cause);
  const std::string &path() const { return path_; }

 private:
  void discard() noexcept;

  std::string path_;
  std::string temporary_;  // empty: nothing to remove
};

// Writes all `size` bytes of `data` to `fd`, carrying on after a short
// write or EINTR. True; false with errno set (EIO when nothing was taken).
// Any process.
bool write_all(int fd, const char *data, size_t size);

// Flushes the folder's entries to disk (after renames into it), so a crash
// cannot bring the old names back. Failures are ignored: the files are there.
void sync_folder(const std::string &folder);
