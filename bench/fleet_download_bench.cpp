// trelk-fleet's downloads on the loopback, HTTP against HTTPS: nginx serves
// the same files on two ports, plain and TLS (a certificate of a test
// authority made by openssl at start-up, trusted with the downloader's CA
// file). The figures say what TLS costs a fleet run, whose few packages are
// fetched once each.
//
// BM_Download/<tls>/<bytes>/<fresh>: one GET of a package of that size; with
// fresh=1 every GET has a downloader (a connection and a handshake) of its
// own, as the first package of a run has; fresh=0 reuses one.
// BM_Mirror/<tls>: trelk-fleet --mirror of three models' stable packages (the
// binary, start-up included), then the same mirror used for a dry-run plan
// from disk with its SHA256SUMS checked (BM_PlanFromMirror).
//
//   build/bench/fleet_download_bench --benchmark_counters_tabular=true
//
// Needs nginx (nginx-light) and openssl; skips otherwise.

#include <benchmark/benchmark.h>

#if defined(TRELK_FLEET_BIN) && defined(TRELK_HUBSIM_BIN)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "download.h"
#include "hubsim.h"
#include "package_text.h"

namespace {

// A free loopback port (bound once, then released).
uint16_t free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

int run(const std::string &command) { return std::system(command.c_str()); }

// nginx on two ports serving a folder of packages; stopped at exit.
struct stage {
  std::string dir;
  uint16_t http_port = 0, https_port = 0;
  pid_t nginx = -1;
  bool ok = false;

  std::string url(bool tls) const {
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" +
           std::to_string(tls ? https_port : http_port);
  }
  std::string ca() const { return dir + "/ca.pem"; }

  void write_packages() {
    std::filesystem::create_directories(dir + "/www/firmware");
    std::string manifest, stable;
    const std::pair<const char *, std::vector<std::pair<int, int>>> models[] = {
        {"1030", {{0x0102, 60000}, {0x0201, 40000}}},
        {"1020", {{0x0103, 60000}, {0x0203, 40000}}},
        {"1010", {{0x0101, 60000}, {0x0201, 40000}}}};
    int version = 312;
    for (const auto &[code, sizes] : models) {
      const std::string name = "fw" + std::to_string(version) + ".ufw";
      const std::string text = firmware_package_text(version, sizes);
      write_text_file(dir + "/www/firmware/" + name, text);
      manifest += std::to_string(version) + "," + name + "," + std::to_string(text.size() + 1) + ",S\n";
      stable += std::string(code) + "," + std::to_string(version) + "\n";
      --version;
    }
    write_text_file(dir + "/www/firmware/manifest", manifest);
    write_text_file(dir + "/www/firmware/stable", stable);
    for (int mib : {1, 16}) {
      std::string blob(static_cast<size_t>(mib) << 20, 'x');
      write_text_file(dir + "/www/firmware/" + std::to_string(mib) + "m", blob);
    }
  }

  bool make_certificate() {
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 2>/dev/null";
    return run("openssl req -x509 -keyout " + dir + "/ca.key -out " + ca() +
               " -subj '/CN=bench authority'" + key) == 0 &&
           run("openssl req -x509 -CA " + ca() + " -CAkey " + dir + "/ca.key -keyout " + dir +
               "/server.key -out " + dir + "/server.pem -subj /CN=127.0.0.1 -addext "
               "basicConstraints=critical,CA:FALSE -addext subjectAltName=IP:127.0.0.1" + key) == 0;
  }

  bool start_nginx() {
    http_port = free_port();
    https_port = free_port();
    write_text_file(dir + "/nginx.conf",
                    "daemon off; master_process off; pid " + dir + "/nginx.pid; error_log " + dir +
                        "/error.log; events { worker_connections 64; } http { access_log off; "
                        "default_type application/octet-stream; server { listen 127.0.0.1:" +
                        std::to_string(http_port) + "; listen 127.0.0.1:" + std::to_string(https_port) +
                        " ssl; ssl_certificate " + dir + "/server.pem; ssl_certificate_key " + dir +
                        "/server.key; root " + dir + "/www; } }\n");
    nginx = fork();
    if (nginx == 0) {
      execlp("nginx", "nginx", "-c", (dir + "/nginx.conf").c_str(), "-p", dir.c_str(), "-e",
             (dir + "/error.log").c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    downloader probe("", false);
    for (int i = 0; i < 100; ++i) {
      if (probe.get(url(false) + "/firmware/stable", 1000).ok) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  stage() {
    char pattern[] = "/tmp/trelk-download-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir = pattern;
    write_packages();
    ok = make_certificate() && start_nginx();
  }
  ~stage() {
    if (nginx > 0) {
      kill(nginx, SIGTERM);
      waitpid(nginx, nullptr, 0);
    }
    if (!dir.empty()) std::filesystem::remove_all(dir);
  }
};

stage &the_stage() {
  static stage s;
  return s;
}

void BM_Download(benchmark::State &state) {
  stage &s = the_stage();
  if (!s.ok) return state.SkipWithError("nginx or openssl did not start");
  const bool tls = state.range(0) != 0;
  const std::string file = state.range(1) == 0 ? "fw312.ufw" : std::to_string(state.range(1)) + "m";
  const bool fresh = state.range(2) != 0;
  const std::string url = s.url(tls) + "/firmware/" + file;
  downloader reused(tls ? s.ca() : "", tls);
  size_t bytes = 0;
  for (auto _ : state) {
    download_result got;
    if (fresh) {
      downloader own(tls ? s.ca() : "", tls);
      got = own.get(url, size_t{64} << 20);
    } else {
      got = reused.get(url, size_t{64} << 20);
    }
    if (!got.ok) return state.SkipWithError(got.cause.c_str());
    bytes = got.body.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Download)
    ->ArgNames({"tls", "mib", "fresh"})
    ->ArgsProduct({{0, 1}, {0, 1, 16}, {1, 0}})
    ->Unit(benchmark::kMillisecond);

// Runs trelk-fleet with `args`, its output discarded; its exit status.
int fleet(const std::vector<std::string> &args) {
  std::string command = TRELK_FLEET_BIN;
  for (const std::string &a : args) command += " '" + a + "'";
  return run(command + " >/dev/null 2>&1");
}

void BM_Mirror(benchmark::State &state) {
  stage &s = the_stage();
  if (!s.ok) return state.SkipWithError("nginx or openssl did not start");
  const bool tls = state.range(0) != 0;
  const std::string mirror = s.dir + "/mirror-" + std::to_string(tls);
  for (auto _ : state) {
    std::vector<std::string> args = {"--mirror", mirror, "--server", s.url(tls)};
    if (tls) args.insert(args.end(), {"--ca-file", s.ca()});
    if (fleet(args) != 0) return state.SkipWithError("trelk-fleet --mirror failed");
  }
}
BENCHMARK(BM_Mirror)->ArgName("tls")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_PlanFromMirror(benchmark::State &state) {
  stage &s = the_stage();
  if (!s.ok) return state.SkipWithError("nginx or openssl did not start");
  const std::string mirror = s.dir + "/mirror-plan";
  if (fleet({"--mirror", mirror, "--server", s.url(false)}) != 0)
    return state.SkipWithError("trelk-fleet --mirror failed");
  HubSim hub({"--model", "1030", "--mode", "bootloader"});
  if (!hub.start()) return state.SkipWithError("trelk-hubsim did not start");
  for (auto _ : state)
    if (fleet({"--server", mirror, "--sha256sums", mirror + "/SHA256SUMS", "--port", hub.port(),
               "--dry-run"}) != 0)
      return state.SkipWithError("the dry run from the mirror failed");
}
BENCHMARK(BM_PlanFromMirror)->Unit(benchmark::kMillisecond);

}  // namespace

#endif

BENCHMARK_MAIN();
