#pragma once
// Minimal HTTP/1.1 GET over plain TCP, for the firmware server's manifest,
// stable list and packages. Bounded in every way: the caller's buffer, a
// 10 s limit on the host name lookup, another on the connection, a 30 s
// silence limit while receiving and 5 minutes for the whole fetch.
//
// Called from the action thread only; prints nothing (callers report).

#include <cstdint>

// The firmware server's host name, fixed at build time.
const char *http_firmware_host();

// GET `path` from `host` port 80. Returns 1 when the status was 200 and at
// least one body byte arrived complete (Content-Length met, chunked coding
// decoded); `buffer` then holds the body and a terminating zero, so the body
// had at most size - 1 bytes. Returns 0 on any failure: lookup (a host that
// does not resolve within 10 s is given up), connection (10 s), 30 s of silence, 5 minutes in all, a body that does not fit, a cut
// connection, a status other than 200. The buffer content is then undefined. The socket is
// always closed.
int http_get(const char *host, const char *path, char *buffer, int size);

// The same on another TCP port (tests).
int http_get_port(const char *host, uint16_t port, const char *path, char *buffer,
                  int size);

// Why the calling thread's last http_get or http_get_port returned 0, for a
// message: "the host name does not resolve (Name or service not known)",
// "the server answered \"HTTP/1.1 404 Not Found\"", ...; "" after a success.
// Valid until that thread's next fetch.
const char *http_failure();

// Test seams. http_set_test_endpoint makes http_firmware_host() return
// `host` and http_get use `port` (null and 0 restore the compiled host and
// port 80). http_set_timeouts shortens the connection, silence and whole-fetch
// limits (0 or less restores 10 s, 30 s and 5 min). Not for production use.
void http_set_test_endpoint(const char *host, uint16_t port);
void http_set_timeouts(int connect_ms, int silence_ms, int total_ms = 0);

// Position just after the first run of four CR/LF bytes in `text`, or of its
// terminating zero when there is none.
const char *get_body_start(const char *text);
