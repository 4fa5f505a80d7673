#include "fleet_stage.h"

#if defined(TRELK_HUBSIM_BIN) && defined(TRELK_FLEET_BIN)

#include <fstream>
#include <sstream>

std::string fleet_stage::add_hub(const std::vector<std::string> &args) {
  hubs.push_back(std::make_unique<HubSim>(args));
  if (!hubs.back()->start()) return "";
  const std::string name = "ttyUSB" + std::to_string(hubs.size() - 1);
  net.link(name, hubs.back()->port());
  return "/dev/" + name;
}

std::string fleet_stage::serve_package(const std::string &name, int version,
                                       const std::vector<uint16_t> &types) {
  const std::string text = package_text(version, test_sections(types, version));
  net.serve(name, text);
  return std::to_string(version) + "," + name + "," + std::to_string(text.size() + 1) + ",Label\n";
}

ProcessResult fleet_stage::run(const std::vector<std::string> &args,
                               std::chrono::milliseconds timeout) {
  ProcessOptions opts;
  opts.timeout = timeout;
  opts.interrupt_after = interrupt_after;
  return net.run_program(fleet_binary(), args, opts);
}

std::vector<std::string> fleet_lines_of(const std::string &out, const std::string &port) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(port + ": ")) lines.push_back(line.substr(port.size() + 2));
  return lines;
}

std::string fleet_report_entry(const std::string &report_path, const std::string &port) {
  std::ifstream in(report_path);
  std::stringstream text;
  text << in.rdbuf();
  // Every "seconds" number becomes S (no std::regex: g++ 12 warns inside it
  // in the sanitizer builds).
  std::string json = text.str();
  const std::string key = "\"seconds\": ";
  for (size_t at = json.find(key); at != std::string::npos; at = json.find(key, at)) {
    at += key.size();
    const size_t end = json.find_first_not_of("0123456789.", at);
    json.replace(at, end - at, "S");
  }
  const size_t at = json.find("{\"port\": \"" + port + "\"");
  if (at == std::string::npos) return "";
  return json.substr(at, json.find("}", at) - at + 1);
}

bool only_probes(const std::vector<std::string> &lines) {
  for (const std::string &line : lines)
    if (line != "Dverify" && line != "id" && !line.empty()) return false;
  return true;
}

#endif
