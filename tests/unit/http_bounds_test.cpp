// The firmware fetch ends in bounded time whatever the server does. A server
// that is never silent for long but never finishes either (one byte now and
// then) used to hold the fetch until the buffer filled: days for a manifest.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "http.h"
#include "loopback_http.h"

namespace {

TEST(HttpBounds, TricklingServerHitsTheWholeFetchBound) {
  std::vector<HttpStep> script{HttpStep::send("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n")};
  for (int i = 0; i < 100; ++i) {
    script.push_back(HttpStep::send("x"));
    script.push_back(HttpStep::pause(50));
  }
  ScriptedHttpServer server(script);
  ASSERT_TRUE(server.ok());
  http_set_timeouts(2000, 500, 1000);  // never 500 ms silent, over in 1 s
  std::vector<char> buffer(102400);
  const auto start = std::chrono::steady_clock::now();
  const int r = http_get_port("127.0.0.1", server.port(), "/firmware/manifest", buffer.data(),
                              static_cast<int>(buffer.size()));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  http_set_timeouts(0, 0, 0);
  EXPECT_EQ(r, 0);
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 2.5);
}

// The same trickle inside the header block.
TEST(HttpBounds, TricklingHeaderHitsTheWholeFetchBound) {
  std::vector<HttpStep> script{HttpStep::send("HTTP/1.1 200 OK\r\n")};
  for (int i = 0; i < 100; ++i) {
    script.push_back(HttpStep::send("X-Slow: y\r\n"));
    script.push_back(HttpStep::pause(50));
  }
  ScriptedHttpServer server(script);
  ASSERT_TRUE(server.ok());
  http_set_timeouts(2000, 500, 1000);
  std::vector<char> buffer(1024);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(http_get_port("127.0.0.1", server.port(), "/firmware/stable", buffer.data(),
                          static_cast<int>(buffer.size())),
            0);
  http_set_timeouts(0, 0, 0);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.5);
}

}  // namespace
