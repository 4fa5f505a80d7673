#include "fleet_stage.h"

#if defined(TRELK_HUBSIM_BIN) && defined(TRELK_FLEET_BIN)

#include <dirent.h>

#include <cctype>
#include <fstream>
#include <future>
#include <iterator>
#include <sstream>
#include <thread>

std::string fleet_stage::add_hub(const std::vector<std::string> &args) {
  hubs.push_back(std::make_unique<HubSim>(args));
  if (!hubs.back()->start()) return "";
  const std::string name = "ttyUSB" + std::to_string(hubs.size() - 1);
  net.link(name, hubs.back()->port());
  return "/dev/" + name;
}

std::string fleet_stage::package_of(int version, const std::vector<uint16_t> &types) {
  return package_text(version, test_sections(types, version));
}

std::string fleet_stage::serve_package(const std::string &name, int version,
                                       const std::vector<uint16_t> &types) {
  const std::string text = package_of(version, types);
  net.serve(name, text);
  return std::to_string(version) + "," + name + "," + std::to_string(text.size() + 1) + ",Label\n";
}

ProcessResult fleet_stage::run(const std::vector<std::string> &args,
                               std::chrono::milliseconds timeout) {
  ProcessOptions opts;
  opts.timeout = timeout;
  opts.interrupt_after = interrupt_after;
  opts.started = started;
  return net.run_program(fleet_binary(), args, opts);
}

std::thread fleet_stage::start_station(const std::vector<std::string> &args,
                                       ProcessResult *result, pid_t *stage_pid,
                                       std::chrono::milliseconds timeout) {
  std::promise<pid_t> pid;
  started = [&pid](pid_t p) { pid.set_value(p); };
  std::thread station([this, args, result, timeout] { *result = run(args, timeout); });
  *stage_pid = pid.get_future().get();
  wait_for_requests(2);
  return station;
}

void fleet_stage::wait_for_requests(size_t count) {
  for (int i = 0; i < 100 && net.requests().size() < count; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

std::string make_test_authority(const std::string &dir, const std::string &host) {
  // Elliptic-curve keys: made in milliseconds, where RSA keys take a while.
  const std::vector<std::string> new_key = {"-newkey", "ec", "-pkeyopt",
                                            "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2"};
  std::vector<std::string> authority = {"/usr/bin/openssl", "req", "-x509", "-keyout",
                                        dir + "/ca.key", "-out", dir + "/ca.pem", "-subj",
                                        "/CN=trelk test authority"};
  authority.insert(authority.end(), new_key.begin(), new_key.end());
  std::vector<std::string> server = {
      "/usr/bin/openssl", "req", "-x509", "-CA", dir + "/ca.pem", "-CAkey", dir + "/ca.key",
      "-keyout", dir + "/server.key", "-out", dir + "/server.pem", "-subj", "/CN=" + host,
      "-addext", "basicConstraints=critical,CA:FALSE",
      "-addext", "subjectAltName=DNS:" + host + ",IP:127.0.0.1"};
  server.insert(server.end(), new_key.begin(), new_key.end());
  for (const auto &argv : {authority, server}) {
    const ProcessResult made = run_process(argv);
    if (made.exit_status != 0) return made.err.empty() ? "openssl failed" : made.err;
  }
  return "";
}

std::vector<std::string> fleet_lines_of(const std::string &out, const std::string &port) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(port + ": ")) lines.push_back(line.substr(port.size() + 2));
  return lines;
}

namespace {

std::string read_report(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::string fleet_report_head_of(const std::string &report_path) {
  std::string json = read_report(report_path);
  json = json.substr(0, json.find(", \"hubs\": ["));
  const std::string key = "\"generated\": \"";
  const size_t at = json.find(key);
  if (at == std::string::npos) return json;
  const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
  const std::string value = json.substr(at + key.size(), shape.size());
  bool iso = value.size() == shape.size() && json.compare(at + key.size() + shape.size(), 1, "\"") == 0;
  for (size_t i = 0; iso && i < shape.size(); ++i)
    iso = shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(value[i])) != 0 : value[i] == shape[i];
  if (iso) json.replace(at + key.size(), shape.size(), "T");
  return json;
}

std::string fleet_report_entry(const std::string &report_path, const std::string &port) {
  // Every "seconds" number becomes S (no std::regex: g++ 12 warns inside it
  // in the sanitizer builds).
  std::string json = read_report(report_path);
  const std::string key = "\"seconds\": ";
  for (size_t at = json.find(key); at != std::string::npos; at = json.find(key, at)) {
    at += key.size();
    const size_t end = json.find_first_not_of("0123456789.", at);
    json.replace(at, end - at, "S");
  }
  const size_t at = json.find("{\"port\": \"" + port + "\"");
  if (at == std::string::npos) return "";
  // To the brace that closes it: a row may hold objects of its own.
  int depth = 0;
  bool quoted = false;
  for (size_t i = at; i < json.size(); ++i) {
    const char c = json[i];
    if (quoted) {
      if (c == '\\') ++i;
      else if (c == '"') quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '{' || c == '}') {
      depth += c == '{' ? 1 : -1;
      if (depth == 0) return json.substr(at, i - at + 1);
    }
  }
  return json.substr(at);
}

std::string text_of(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool wait_for_text(const std::string &path, const std::vector<std::string> &parts,
                   std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const std::string text = text_of(path);
    bool all = true;
    for (const std::string &part : parts) all = all && text.find(part) != std::string::npos;
    if (all) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

std::string fleet_report_row(const std::string &report_path, const std::string &part) {
  std::istringstream in(text_of(report_path));
  for (std::string line; std::getline(in, line);)
    if (line.find(part) != std::string::npos) return line;
  return "";
}

pid_t fleet_process_under(pid_t stage_pid) {
  std::unique_ptr<DIR, int (*)(DIR *)> proc(opendir("/proc"), closedir);
  for (struct dirent *entry; proc && (entry = readdir(proc.get())) != nullptr;) {
    if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
    // "PID (COMM) STATE PPID ...": the name in parentheses, the parent after.
    const std::string stat = text_of(std::string("/proc/") + entry->d_name + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || stat.find("(trelk-fleet)") == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    long parent = 0;
    rest >> state >> parent;
    if (parent == stage_pid) return static_cast<pid_t>(std::stol(entry->d_name));
  }
  return -1;
}

bool only_probes(const std::vector<std::string> &lines) {
  for (const std::string &line : lines)
    if (line != "Dverify" && line != "id" && !line.empty()) return false;
  return true;
}

#endif
