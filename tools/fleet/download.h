#pragma once
// Downloads over HTTP and HTTPS for a firmware server of the site's own
// (--server URL) and for --mirror, through libcurl: TLS verified against the
// system's certificate store or a site's own authority (--ca-file), proxies
// from the usual variables (http_proxy, https_proxy, all_proxy, no_proxy, as
// libcurl reads them), a limit on redirects, and the bounds of trelk's own
// client: a body may not pass its caller's size cap, and every transfer has
// a connection, a stall and a total time limit, so nothing can hang a run.
//
// Parent process only, on its one thread: libcurl's own name lookups run on
// threads of their own, and the parent forks the hub processes only after
// every download is over.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The bounds of trelk's own client (http.h).
// DNS lookup, TCP connection and TLS handshake together.
inline constexpr long DOWNLOAD_CONNECT_MS = 10000;
// A server that sends nothing (fewer than one byte a second) this long is given up.
inline constexpr long DOWNLOAD_STALL_SECONDS = 30;
// A server that sends a byte now and then still ends within this.
inline constexpr long DOWNLOAD_TOTAL_MS = 300000;
// A site's mirror may move a path once or twice; a longer chain is a loop.
inline constexpr long DOWNLOAD_MAX_REDIRECTS = 5;

struct download_result {
  bool ok = false;
  std::string body;    // the whole body when ok
  std::string cause;   // why not, when !ok: "HTTP status 404", "TLS verification failed (...)"
};

// Bytes received so far and the size the server announced (0: unknown).
// Returns false to abandon the transfer (an interrupt).
using download_progress = std::function<bool(uint64_t received, uint64_t expected)>;

// One libcurl handle for the downloads of a run (its connections and name
// lookups are reused). Neither copied nor moved.
class downloader {
 public:
  // `ca_file`: the authorities to trust instead of the system's; empty for
  // the system's store. `https_only_redirects`: a redirect may not leave
  // HTTPS (set for an https:// server, so no redirect can downgrade it).
  downloader(std::string ca_file, bool https_only_redirects);
  ~downloader();
  downloader(const downloader &) = delete;
  downloader &operator=(const downloader &) = delete;

  // GETs `url`. ok when the final status was 200 and a body of 1 to `limit`
  // bytes arrived whole; else the cause (a transfer that passes `limit` is
  // stopped there). `progress`, when given, is called as bytes arrive.
  download_result get(const std::string &url, size_t limit, const download_progress &progress = {});

 private:
  struct handle_free {
    void operator()(void *handle) const noexcept;
  };
  std::unique_ptr<void, handle_free> handle_;
  std::string ca_file_;
  bool https_only_redirects_;
};

// Test seam: shortens the connection, stall (seconds) and total bounds of
// transfers started from now on; 0 or less restores the defaults above.
void download_set_bounds(long connect_ms, long stall_seconds, long total_ms);
