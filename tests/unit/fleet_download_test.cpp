// trelk-fleet's downloads from a site's own server, against scripted servers
// on the loopback: what a body may be (its cap, at least one byte, status
// 200 only), and that every way a server can fail ends in bounded time with
// a cause a user can act on.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "download.h"
#include "loopback_http.h"

namespace {

std::string url_of(const ScriptedHttpServer &server, const std::string &path = "/firmware/stable") {
  return "http://127.0.0.1:" + std::to_string(server.port()) + path;
}

download_result get_once(const std::vector<HttpStep> &script, size_t limit) {
  ScriptedHttpServer server(script);
  EXPECT_TRUE(server.ok());
  downloader client("", /*https_only_redirects=*/false);
  return client.get(url_of(server), limit);
}

TEST(FleetDownload, ABodyMustFitItsCapAndComeWithStatus200) {
  // Exactly at the cap, with a length and without one (the end is the close).
  for (bool with_length : {true, false}) {
    const download_result got = get_once({HttpStep::send(http_ok_response("1030,312\n", with_length))}, 9);
    EXPECT_TRUE(got.ok) << got.cause;
    EXPECT_EQ(got.body, "1030,312\n");
  }
  // One byte over: refused before the body (a length) or when it passes (none).
  for (bool with_length : {true, false}) {
    const download_result got = get_once({HttpStep::send(http_ok_response("1030,312\n", with_length))}, 8);
    EXPECT_FALSE(got.ok);
    EXPECT_EQ(got.cause, "larger than 8 bytes") << with_length;
    EXPECT_EQ(got.body, "");
  }
  // An error page is neither stored nor held to the cap: the status is the cause.
  download_result got = get_once(
      {HttpStep::send("HTTP/1.1 404 Not Found\r\nContent-Length: 600\r\n\r\n" + std::string(600, 'x'))}, 8);
  EXPECT_EQ(got.cause, "HTTP status 404");
  got = get_once({HttpStep::send(http_ok_response(""))}, 8);
  EXPECT_EQ(got.cause, "the server sent an empty file");
}

TEST(FleetDownload, RefusedConnectionsAndRedirectLoopsSaySo) {
  downloader client("", /*https_only_redirects=*/false);
  const download_result refused =
      client.get("http://127.0.0.1:" + std::to_string(unused_loopback_port()) + "/firmware/manifest", 100);
  EXPECT_FALSE(refused.ok);
  EXPECT_TRUE(refused.cause.starts_with("connection refused (")) << refused.cause;

  // Every answer sends the client somewhere else again.
  ScriptedHttpServer loop({HttpStep::send("HTTP/1.1 302 Found\r\nLocation: /again\r\n"
                                          "Content-Length: 0\r\nConnection: close\r\n\r\n")});
  ASSERT_TRUE(loop.ok());
  const download_result looped = client.get(url_of(loop), 100);
  EXPECT_TRUE(looped.cause.starts_with("too many redirects (")) << looped.cause;
  EXPECT_EQ(loop.connections(), 1 + DOWNLOAD_MAX_REDIRECTS);

  // A redirect to another server is followed; where redirects must stay on
  // https (an https:// source), one to plain http is not.
  ScriptedHttpServer target({HttpStep::send(http_ok_response("moved\n"))});
  ScriptedHttpServer mover({HttpStep::send("HTTP/1.1 301 Moved\r\nLocation: " + url_of(target) +
                                           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")});
  const download_result moved = client.get(url_of(mover), 100);
  EXPECT_EQ(moved.body, "moved\n") << moved.cause;
  downloader https_only("", /*https_only_redirects=*/true);
  const download_result downgraded = https_only.get(url_of(mover), 100);
  EXPECT_TRUE(downgraded.cause.starts_with("redirect refused (")) << downgraded.cause;
}

TEST(FleetDownload, StalledAndTricklingServersEndWithinTheirBounds) {
  download_set_bounds(2000, 1, 1500);  // 1 s stalled, 1.5 s in all
  const auto timed = [](const std::vector<HttpStep> &script, std::string *cause) {
    const auto start = std::chrono::steady_clock::now();
    *cause = get_once(script, 1000).cause;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  std::string cause;
  // Headers, then nothing at all.
  double seconds = timed({HttpStep::send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nab"),
                          HttpStep::pause(5000)},
                         &cause);
  EXPECT_TRUE(cause.starts_with("timed out (")) << cause;
  EXPECT_LT(seconds, 2.5);
  // Never a second silent, never done.
  std::vector<HttpStep> trickle{HttpStep::send("HTTP/1.1 200 OK\r\nContent-Length: 900\r\n\r\n")};
  for (int i = 0; i < 40; ++i) trickle.insert(trickle.end(), {HttpStep::send("x"), HttpStep::pause(100)});
  seconds = timed(trickle, &cause);
  EXPECT_TRUE(cause.starts_with("timed out (")) << cause;
  EXPECT_GE(seconds, 1.4);
  EXPECT_LT(seconds, 2.5);
  download_set_bounds(0, 0, 0);

  // An interrupt abandons a transfer at once.
  ScriptedHttpServer slow({HttpStep::send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nab"),
                           HttpStep::pause(5000)});
  downloader client("", /*https_only_redirects=*/false);
  const auto start = std::chrono::steady_clock::now();
  const download_result got = client.get(url_of(slow), 1000, [](uint64_t, uint64_t) { return false; });
  EXPECT_EQ(got.cause, "interrupted");
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.5);
}

}  // namespace
