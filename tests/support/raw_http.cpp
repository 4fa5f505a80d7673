#include "raw_http.h"

ProcessResult run_auto_behind_raw_server(const private_net &stage, const std::string &hub_port,
                                         const std::string &mode, std::chrono::seconds timeout) {
  const std::string e2e = std::string(TRELK_SOURCE_DIR) + "/tests/e2e/";
  ProcessOptions opts;
  opts.timeout = timeout;
  return run_process({e2e + "private_net.py", "--work", stage.work(), "--host", TRELK_FIRMWARE_HOST,
                      "--link", "ttyUSB0=" + hub_port, "--", "python3", e2e + "raw_http_server.py",
                      "--mode", mode, "--port", "80", "--log", stage.work() + "/raw-requests", "--",
                      trelk_binary(), "--auto"},
                     opts);
}
