// The download client against real servers on the loopback interface.

#include "http.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loopback_http.h"
#include "process.h"

namespace {

using Steps = std::vector<HttpStep>;

int open_fds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

struct Fetch {
  int result;
  std::string body;  // up to the terminating zero, only when result is 1
  std::vector<char> buffer;
  double seconds;
};

Fetch fetch(uint16_t port, int size, const char *path = "/doc") {
  Fetch f;
  f.buffer.assign(static_cast<size_t>(size), '#');
  const auto t0 = std::chrono::steady_clock::now();
  f.result = http_get_port("127.0.0.1", port, path, f.buffer.data(), size);
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (f.result == 1) f.body = f.buffer.data();
  return f;
}

Fetch fetch_script(Steps steps, int size = 1024) {
  ScriptedHttpServer server(std::move(steps));
  EXPECT_TRUE(server.ok());
  return fetch(server.port(), size);
}

std::string chunked(const std::vector<std::string> &pieces) {
  std::string s;
  char line[32];
  for (const auto &p : pieces) {
    std::snprintf(line, sizeof line, "%zx\r\n", p.size());
    s += line + p + "\r\n";
  }
  return s + "0\r\n\r\n";
}

const std::string kChunkedHead =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override { http_set_timeouts(2000, 2000); }
  void TearDown() override { http_set_timeouts(0, 0); }
};

TEST_F(HttpTest, FetchesFilesFromPythonServer) {
  char dir[] = "/tmp/trelk-http-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string big(150000, '\0');
  std::mt19937 rng(7);
  for (char &c : big) c = static_cast<char>('A' + rng() % 26);
  std::ofstream(std::string(dir) + "/small") << "hello";
  std::ofstream(std::string(dir) + "/big") << big;
  {
    PythonHttpServer server(dir);
    ASSERT_TRUE(server.ok()) << "python3 -m http.server did not start";
    Fetch small = fetch(server.port(), 100, "/small");
    EXPECT_EQ(small.result, 1);
    EXPECT_EQ(small.body, "hello");
    Fetch whole = fetch(server.port(), 150001, "/big");
    EXPECT_EQ(whole.result, 1);
    EXPECT_TRUE(whole.body == big);
    // One byte short of room for the terminating zero.
    EXPECT_EQ(fetch(server.port(), 150000, "/big").result, 0);
    // A 404 page is not a document.
    EXPECT_EQ(fetch(server.port(), 100000, "/missing").result, 0);
  }
  std::filesystem::remove_all(dir);
}

TEST_F(HttpTest, SendsTheRequestLineAndHeaders) {
  ScriptedHttpServer server({HttpStep::send(http_ok_response("x"))});
  std::vector<char> buf(16);
  ASSERT_EQ(http_get_port("127.0.0.1", server.port(), "/firmware/manifest", buf.data(), 16), 1);
  EXPECT_EQ(server.last_request(),
            "GET /firmware/manifest HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

TEST_F(HttpTest, BodyAfterHeaderRunUntilClose) {
  Fetch f = fetch_script({HttpStep::send("HTTP/1.1 200 OK\r\n\r\nhello")});
  EXPECT_EQ(f.result, 1);
  EXPECT_EQ(f.body, "hello");
}

TEST_F(HttpTest, HeaderRunSplitAcrossReceives) {
  // The four-byte run is cut after each of its bytes in turn.
  const std::string response = "HTTP/1.1 200 OK\r\nServer: t\n\r\n\rbody";
  const size_t run = response.find("\n\r\n\r");
  for (size_t cut = run; cut <= run + 4; ++cut) {
    Fetch f = fetch_script({HttpStep::send(response.substr(0, cut)), HttpStep::pause(30),
                            HttpStep::send(response.substr(cut))});
    EXPECT_EQ(f.result, 1) << "cut at " << cut;
    EXPECT_EQ(f.body, "body") << "cut at " << cut;
  }
}

TEST_F(HttpTest, HeaderEndsOnlyAtFourLineBreaks) {
  // Two bare line feeds do not end the head; with no run of four after them
  // everything is header and there is no body.
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 200 OK\n\nhello")}).result, 0);
  Fetch f = fetch_script({HttpStep::send("HTTP/1.1 200 OK\n\nX: y\n\n\n\nhello")});
  EXPECT_EQ(f.result, 1);
  EXPECT_EQ(f.body, "hello");
  const char *text = "HTTP/1.0 200\r\n\r\nabc";
  EXPECT_STREQ(get_body_start(text), "abc");
  EXPECT_STREQ(get_body_start("a\n\nb\r\r\nc"), "");
  EXPECT_STREQ(get_body_start("a\n\r\r\nbc"), "bc");
  EXPECT_STREQ(get_body_start(""), "");
}

TEST_F(HttpTest, NoBodyIsAFailure) {
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 200 OK\r\n\r\n")}).result, 0);
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")}).result,
            0);
  EXPECT_EQ(fetch_script({}).result, 0);
}

TEST_F(HttpTest, OnlyStatus200Succeeds) {
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 404 Not Found\r\n\r\nnot here")}).result, 0);
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 500 Oops\r\n\r\nbroken")}).result, 0);
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 2000 OK\r\n\r\nodd")}).result, 0);
  // Other successes are no document of ours: a part of one, or none.
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 206 Partial Content\r\n\r\npart")}).result, 0);
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 201 Created\r\n\r\nnew")}).result, 0);
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 299 Odd\r\n\r\nodd")}).result, 0);
  EXPECT_EQ(fetch_script({HttpStep::send("garbage\r\n\r\nbody")}).result, 0);
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.0 200\r\n\r\nbody")}).result, 1);
}

TEST_F(HttpTest, ChunkedBodyIsDecoded) {
  const std::string body =
      ">>>0201\r\n:10400000000102030405060708090A0B0C0D0E0F38\r\n!!!!!!!!\r\n";
  const std::string framed = chunked({body.substr(0, 7), body.substr(7, 30), body.substr(37)});
  // Delivered in pieces that cut chunk-size lines and data apart.
  Steps steps{HttpStep::send(kChunkedHead)};
  for (size_t i = 0; i < framed.size(); i += 5) {
    steps.push_back(HttpStep::send(framed.substr(i, 5)));
    steps.push_back(HttpStep::pause(2));
  }
  Fetch f = fetch_script(steps);
  EXPECT_EQ(f.result, 1);
  EXPECT_EQ(f.body, body);

  // Extensions and upper-case sizes, trailers after the last chunk.
  f = fetch_script({HttpStep::send(kChunkedHead + "A;name=v\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\n")});
  EXPECT_EQ(f.result, 1);
  EXPECT_EQ(f.body, "0123456789");
}

TEST_F(HttpTest, ChunkedBodyFailures) {
  // Cut before the last chunk.
  EXPECT_EQ(fetch_script({HttpStep::send(kChunkedHead + "5\r\nhello\r\n")}).result, 0);
  // Cut inside a chunk.
  EXPECT_EQ(fetch_script({HttpStep::send(kChunkedHead + "a\r\nhello")}).result, 0);
  // Not a size.
  EXPECT_EQ(fetch_script({HttpStep::send(kChunkedHead + "zz\r\nhello\r\n0\r\n\r\n")}).result, 0);
  // Larger than the buffer.
  EXPECT_EQ(fetch_script({HttpStep::send(kChunkedHead + chunked({std::string(20, 'a')}))}, 20)
                .result,
            0);
  Fetch fits = fetch_script({HttpStep::send(kChunkedHead + chunked({std::string(19, 'a')}))}, 20);
  EXPECT_EQ(fits.result, 1);
  EXPECT_EQ(fits.body.size(), 19u);
  // A coding that cannot be undone here.
  EXPECT_EQ(fetch_script({HttpStep::send(
                              "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n\x1f\x8b")})
                .result,
            0);
}

TEST_F(HttpTest, BodyOfSizeMinusOneFitsAndOfSizeDoesNot) {
  const int size = 64;
  for (bool with_length : {true, false}) {
    Fetch f = fetch_script({HttpStep::send(http_ok_response(std::string(size - 1, 'b'), with_length))},
                           size);
    EXPECT_EQ(f.result, 1) << with_length;
    EXPECT_EQ(f.body.size(), static_cast<size_t>(size - 1));
    EXPECT_EQ(f.buffer[size - 1], '\0');
    EXPECT_EQ(
        fetch_script({HttpStep::send(http_ok_response(std::string(size, 'b'), with_length))}, size)
            .result,
        0)
        << with_length;
  }
  EXPECT_EQ(fetch_script({HttpStep::send(http_ok_response("a"))}, 1).result, 0);
  EXPECT_EQ(fetch_script({HttpStep::send(http_ok_response("a"))}, 2).result, 1);
}

TEST_F(HttpTest, CutConnectionIsAFailure) {
  // Shorter than its Content-Length, then an orderly close.
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"
                                         "only part")})
                .result,
            0);
  // A reset in the middle of a close-delimited body.
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 200 OK\r\n\r\nfirst part"), HttpStep::pause(50),
                          HttpStep::reset()})
                .result,
            0);
}

TEST_F(HttpTest, ContentLengthEndsTheBodyWithoutWaitingForClose) {
  http_set_timeouts(2000, 5000);
  Fetch f = fetch_script({HttpStep::send(http_ok_response("done") + "trailing junk"),
                          HttpStep::pause(4000)});
  EXPECT_EQ(f.result, 1);
  EXPECT_EQ(f.body, "done");
  EXPECT_LT(f.seconds, 2.0);
}

TEST_F(HttpTest, StallingServerHitsSilenceBound) {
  http_set_timeouts(2000, 300);
  Fetch f = fetch_script({HttpStep::send("HTTP/1.1 200 OK\r\n\r\npartial"), HttpStep::pause(10000)});
  EXPECT_EQ(f.result, 0);
  EXPECT_LT(f.seconds, 3.0);
  // Silence inside the head counts the same.
  f = fetch_script({HttpStep::send("HTTP/1.1 200"), HttpStep::pause(10000)});
  EXPECT_EQ(f.result, 0);
  EXPECT_LT(f.seconds, 3.0);
}

TEST_F(HttpTest, ConnectionThatIsNeverAcceptedIsBounded) {
  // A listener with a full backlog that never accepts: the handshake either
  // stalls (connection bound) or completes into silence (silence bound).
  http_set_timeouts(300, 300);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &len), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    fillers.push_back(fd);
  }
  Fetch f = fetch(ntohs(sa.sin_port), 100);
  EXPECT_EQ(f.result, 0);
  EXPECT_LT(f.seconds, 3.0);
  for (int fd : fillers) close(fd);
  close(listener);
}

// Each failure also says why, for the caller's message.
TEST_F(HttpTest, LookupAndConnectionFailuresLeaveNoSocket) {
  const int before = open_fds();
  std::vector<char> buf(64);
  EXPECT_EQ(http_get_port("no-such-host.invalid", 80, "/", buf.data(), 64), 0);
  EXPECT_TRUE(std::string(http_failure()).starts_with("the host name does not resolve ("))
      << http_failure();
  const uint16_t closed = unused_loopback_port();
  EXPECT_EQ(http_get_port("127.0.0.1", closed, "/", buf.data(), 64), 0);
  EXPECT_EQ(std::string(http_failure()),
            "the connection to 127.0.0.1 port " + std::to_string(closed) + ": Connection refused");
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 404 No\r\n\r\nx")}).result, 0);
  EXPECT_EQ(std::string(http_failure()), "the server answered \"HTTP/1.1 404 No\"");
  EXPECT_EQ(fetch_script({HttpStep::send("HTTP/1.1 200 OK\r\nContent-Length: 64\r\n\r\nx")}).result,
            0);
  EXPECT_EQ(std::string(http_failure()),
            "the server's answer is no whole document of 1 to 1023 bytes");
  EXPECT_EQ(fetch_script({HttpStep::send(http_ok_response("fine"))}).result, 1);
  EXPECT_EQ(std::string(http_failure()), "");
  EXPECT_EQ(open_fds(), before);
  // A path that does not fit the request area is not sent cut.
  const std::string long_path = "/" + std::string(9000, 'p');
  ScriptedHttpServer server({HttpStep::send(http_ok_response("x"))});
  EXPECT_EQ(http_get_port("127.0.0.1", server.port(), long_path.c_str(), buf.data(), 64), 0);
  EXPECT_EQ(std::string(http_failure()), "the path is too long for a request");
}

// Runs `test` of this binary again under "unshare <namespaces>", with the
// environment variable `marker` set so that the child runs the test's body.
// Skips when this machine does not permit those namespaces.
void rerun_in_namespaces(const std::vector<std::string> &namespaces, const char *marker,
                         const char *test) {
  ProcessOptions opts;
  opts.env = {std::string(marker) + "=1"};
  opts.timeout = std::chrono::milliseconds(60000);
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  std::vector<std::string> probe = {"/usr/bin/unshare"};
  probe.insert(probe.end(), namespaces.begin(), namespaces.end());
  std::vector<std::string> child = probe;
  probe.push_back("/bin/true");
  const ProcessResult allowed = run_process(probe, opts);
  if (allowed.exit_status != 0) GTEST_SKIP() << "unshare is not permitted here: " << allowed.err;
  child.push_back(self);
  child.push_back(std::string("--gtest_filter=") + test);
  const ProcessResult r = run_process(child, opts);
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("[  PASSED  ] 1 test"), std::string::npos) << r.out;
}

// The public entry point always uses port 80, which only a private network
// namespace lets us bind. The parent re-runs this binary under "unshare -n";
// the child brings its loopback up and serves port 80 itself.
TEST(HttpPort80, PublicEntryPointUsesPort80) {
  if (std::getenv("TRELK_HTTP_NETNS_CHILD") == nullptr) {
    rerun_in_namespaces({"-n"}, "TRELK_HTTP_NETNS_CHILD", "HttpPort80.PublicEntryPointUsesPort80");
    return;
  }
  ASSERT_EQ(std::system("ip link set lo up"), 0);
  ScriptedHttpServer server({HttpStep::send(http_ok_response("port eighty"))}, 80);
  ASSERT_TRUE(server.ok()) << "cannot listen on port 80";
  ASSERT_EQ(server.port(), 80);
  char buf[64];
  ASSERT_EQ(http_get("localhost", "/firmware/stable", buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "port eighty");
  EXPECT_EQ(server.last_request(),
            "GET /firmware/stable HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
  // Nothing listens on port 80 once the server is gone.
}

// A name server that never answers: the lookup is given up at the connection
// bound, not after the resolver's own timeouts and retries (here 30 s, three
// times). Needs its own mount and network namespace for /etc/resolv.conf and
// port 53; the parent re-runs this binary under "unshare -m -n".
TEST(HttpLookup, AnUnansweredLookupIsGivenUpAtTheConnectionBound) {
  if (std::getenv("TRELK_HTTP_LOOKUP_CHILD") == nullptr) {
    rerun_in_namespaces({"-m", "-n"}, "TRELK_HTTP_LOOKUP_CHILD",
                        "HttpLookup.AnUnansweredLookupIsGivenUpAtTheConnectionBound");
    return;
  }
  ASSERT_EQ(std::system("ip link set lo up"), 0);
  char dir[] = "/tmp/trelk-resolv-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string conf = std::string(dir) + "/resolv.conf";
  std::ofstream(conf) << "nameserver 127.0.0.1\noptions timeout:30 attempts:3\n";
  ASSERT_EQ(std::system(("mount --bind " + conf + " /etc/resolv.conf").c_str()), 0);
  const int dns = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(53);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(dns, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);

  http_set_timeouts(1000, 1000);
  std::vector<char> buf(64);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(http_get_port("firmware.unanswered.example", 80, "/", buf.data(), 64), 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 3.0);
  // The resolver did ask: the bound, not a quick refusal, ended the lookup.
  char query[512];
  EXPECT_GT(recv(dns, query, sizeof query, MSG_DONTWAIT), 0);
  http_set_timeouts(0, 0);
  close(dns);
  umount("/etc/resolv.conf");
  std::filesystem::remove_all(dir);
}

TEST(HttpHost, FirmwareHostIsCompiledInAndOverridable) {
  EXPECT_STREQ(http_firmware_host(), TRELK_FIRMWARE_HOST);
  http_set_test_endpoint("127.0.0.1", 8080);
  EXPECT_STREQ(http_firmware_host(), "127.0.0.1");
  http_set_test_endpoint(nullptr, 0);
  EXPECT_STREQ(http_firmware_host(), TRELK_FIRMWARE_HOST);
}

}  // namespace
