#pragma once
// Minimal HTTP/1.1 GET over plain TCP, for the firmware server's manifest,
// stable list and packages. Bounded in every way: the caller's buffer, a
// 10 s connection limit and a 30 s silence limit while receiving.
//
// Called from the action thread only; prints nothing (callers report).

#include <cstdint>

// The firmware server's host name, fixed at build time.
const char *http_firmware_host();

// GET `path` from `host` port 80. Returns 1 when the status was 200 and at
// least one body byte arrived complete (Content-Length met, chunked coding
// decoded); `buffer` then holds the body and a terminating zero, so the body
// had at most size - 1 bytes. Returns 0 on any failure; the buffer content is
// then undefined. The socket is always closed.
int http_get(const char *host, const char *path, char *buffer, int size);

// The same on another TCP port (tests).
int http_get_port(const char *host, uint16_t port, const char *path, char *buffer,
                  int size);

// Position just after the first run of four CR/LF bytes in `text`, or of its
// terminating zero when there is none.
const char *get_body_start(const char *text);
