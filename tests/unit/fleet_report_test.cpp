// trelk-fleet's pieces that need no hub: the JSON report (escaping, nulls,
// which versions it shows, its head, the atomic write), the sha256sum lists
// and the bounded reads and staged writes of files, the event records as a
// pipe delivers them, the plan that decides what each probed hub needs, the
// live table and a station's look at the ports.

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "action_e2e.h"
#include "canary.h"
#include "checksums.h"
#include "display.h"
#include "files.h"
#include "fleet.h"
#include "history.h"
#include "hub_event.h"
#include "list.h"
#include "packages.h"
#include "port_watch.h"
#include "process.h"
#include "report.h"
#include "verify.h"

namespace {

TEST(FleetReport, StringsAreEscapedAndInvalidUtf8IsReplaced) {
  // The report's texts come from hubs and captured messages: whatever their
  // bytes, the report stays valid JSON in UTF-8.
  const std::string replacement = "\xef\xbf\xbd";  // U+FFFD
  EXPECT_EQ(json_string("plain"), "\"plain\"");
  EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(json_string("l1\nl2\r\t\x01\x7f"), "\"l1\\nl2\\r\\t\\u0001\x7f\"");
  EXPECT_EQ(json_string("caf\xc3\xa9"), "\"caf\xc3\xa9\"");  // valid UTF-8 passes
  EXPECT_EQ(json_string("\xff\xc3"), "\"" + replacement + replacement + "\"");  // a stray byte, a cut sequence
  EXPECT_EQ(json_string("\xc0\xaf"), "\"" + replacement + replacement + "\"");  // an overlong form
  EXPECT_EQ(json_string(std::string("a\0b", 3)), "\"a\\u0000b\"");
}

TEST(FleetReport, EveryPortWithItsResult) {
  std::vector<fleet_hub> hubs(3);
  hubs[0].port = "/dev/ttyUSB0";
  hubs[0].is_hub = true;
  hubs[0].model = "Tavrine-16";
  hubs[0].serial = "1030.0042";
  hubs[0].version_before = 310;
  hubs[0].version_after = 312;
  hubs[0].result = hub_result::updated;
  hubs[0].failed_sends = 3;
  hubs[0].started_ms = 1000;
  hubs[0].ended_ms = 42250;
  hubs[1] = hubs[0];
  hubs[1].port = "/dev/ttyUSB1";
  hubs[1].result = hub_result::failed;
  hubs[1].reason = "The hub is not in bootloader mode";
  hubs[0].package_name = "fw312.ufw";
  hubs[0].package_sha256 = std::string(64, 'a');
  hubs[0].package_verified = true;
  // Found on ttyUSB0, it came back on ttyUSB3 after its switch.
  hubs[0].usb.known = 1;
  copy_text(hubs[0].usb.usb_path, sizeof hubs[0].usb.usb_path, "1-3.2");
  hubs[0].usb.has_serial = 1;
  copy_text(hubs[0].usb.serial, sizeof hubs[0].usb.serial, "AB12");
  hubs[0].final_port = "/dev/ttyUSB3";
  // Restarted after its upload, its normal firmware reported the version.
  hubs[0].restarted = true;
  hubs[0].mode_after = firmware_mode::normal;
  // Heard in its bootloaders, then in its normal firmware after the restart.
  hubs[0].boot_serial = "1030.0042";
  hubs[0].firmware_serial = "42";
  hubs[1] = hubs[0];
  hubs[0].is_canary = true;
  hubs[1].firmware_serial.clear();  // it failed before any restart
  hubs[1].port = "/dev/ttyUSB1";
  hubs[1].result = hub_result::failed;
  hubs[1].reason = "The hub is not in bootloader mode";
  hubs[1].restarted = false;
  hubs[1].mode_after = firmware_mode::unknown;
  hubs[1].package_verified = false;
  hubs[1].usb.has_serial = 0;  // a bridge without a serial number
  hubs[1].final_port.clear();
  hubs[2].port = "/dev/ttyUSB2";
  hubs[2].result = hub_result::skipped;
  hubs[2].reason = "Unable to detect a Varnholt hub on port /dev/ttyUSB2";
  const fleet_report_head head{"lab-01", "2026-02-03T10:04:05Z", "3.00", "/srv/mirror"};

  EXPECT_EQ(fleet_report_json(head, hubs),
            "{\"host\": \"lab-01\", \"generated\": \"2026-02-03T10:04:05Z\", \"trelk_version\": "
            "\"3.00\", \"source\": \"/srv/mirror\", \"hubs\": [\n"
            "  {\"port\": \"/dev/ttyUSB0\", \"model\": \"Tavrine-16\", \"serial\": \"1030.0042\", "
            "\"boot_serial\": \"1030.0042\", \"firmware_serial\": \"42\", "
            "\"version_before\": 310, \"version_after\": 312, \"mode_after\": \"normal\", "
            "\"usb_path\": \"1-3.2\", \"usb_serial\": \"AB12\", \"final_port\": \"/dev/ttyUSB3\", "
            "\"package\": \"fw312.ufw\", "
            "\"package_sha256\": \"" + std::string(64, 'a') + "\", \"verified\": true, "
            "\"canary\": true, \"result\": \"updated\", \"failed_sends\": 3, \"seconds\": 41.2},\n"
            // A hub that was not updated reports the version it had.
            "  {\"port\": \"/dev/ttyUSB1\", \"model\": \"Tavrine-16\", \"serial\": \"1030.0042\", "
            "\"boot_serial\": \"1030.0042\", \"firmware_serial\": null, "
            "\"version_before\": 310, \"version_after\": 310, \"mode_after\": null, "
            "\"usb_path\": \"1-3.2\", \"usb_serial\": null, \"final_port\": \"/dev/ttyUSB1\", "
            "\"package\": \"fw312.ufw\", "
            "\"package_sha256\": \"" + std::string(64, 'a') + "\", \"verified\": false, "
            "\"result\": \"failed\", \"failed_sends\": 3, \"seconds\": 41.2, \"reason\": \"The hub "
            "is not in bootloader mode\"},\n"
            "  {\"port\": \"/dev/ttyUSB2\", \"model\": null, \"serial\": null, \"boot_serial\": null, "
            "\"firmware_serial\": null, \"version_before\": null, \"version_after\": null, \"mode_after\": null, \"usb_path\": null, "
            "\"usb_serial\": null, \"final_port\": null, \"package\": null, "
            "\"package_sha256\": null, \"verified\": false, \"result\": \"skipped\", "
            "\"failed_sends\": 0, \"seconds\": 0.0, \"reason\": \"Unable to detect a Varnholt "
            "hub on port /dev/ttyUSB2\"}\n"
            "]}\n");

  // A hub restarted after its upload that never identified itself reports
  // no version after, whatever was written; one that reported another
  // version than its package's reports that one; with --no-restart the
  // version written and its bootloaders.
  hubs[1].restarted = true;
  hubs[1].version_after = -1;
  hubs[1].mode_after = firmware_mode::bootloader;
  EXPECT_NE(fleet_report_json(head, hubs).find("\"port\": \"/dev/ttyUSB1\", \"model\": \"Tavrine-16\", "
                                               "\"serial\": \"1030.0042\", \"boot_serial\": \"1030.0042\", "
                                               "\"firmware_serial\": null, \"version_before\": 310, "
                                               "\"version_after\": null, \"mode_after\": \"bootloader\""),
            std::string::npos);
  hubs[1].version_after = 300;
  hubs[1].mode_after = firmware_mode::normal;
  EXPECT_NE(fleet_report_json(head, hubs).find("\"version_after\": 300, \"mode_after\": \"normal\""),
            std::string::npos);
  hubs[0].restarted = false;
  hubs[0].mode_after = firmware_mode::bootloader;
  EXPECT_NE(fleet_report_json(head, hubs).find("\"version_after\": 312, \"mode_after\": \"bootloader\""),
            std::string::npos);
  EXPECT_EQ(fleet_report_json(head, {}),
            "{\"host\": \"lab-01\", \"generated\": \"2026-02-03T10:04:05Z\", \"trelk_version\": "
            "\"3.00\", \"source\": \"/srv/mirror\", \"hubs\": []}\n");

  // A station's report: its finished visits only, each with its arrival.
  hubs[0].arrived = "2026-02-03T09:58:00Z";
  hubs[1].result = hub_result::none;
  const std::string station = fleet_report_json(head, hubs, report_rows::finished);
  EXPECT_NE(station.find("{\"port\": \"/dev/ttyUSB0\", \"started\": \"2026-02-03T09:58:00Z\", "
                         "\"model\": \"Tavrine-16\""),
            std::string::npos)
      << station;
  EXPECT_EQ(station.find("/dev/ttyUSB1"), std::string::npos) << station;
  EXPECT_NE(station.find("/dev/ttyUSB2"), std::string::npos) << station;
  hubs.resize(1);
  hubs[0].result = hub_result::none;
  EXPECT_TRUE(fleet_report_json(head, hubs, report_rows::finished).ends_with("\"hubs\": []}\n"));
}

// The live table on a terminal: titles over columns as wide as their longest
// entry, so a long port name moves no other column out of place; a station's
// header counts its visits and the table keeps to the terminal's height.
TEST(FleetDisplay, LiveTableColumnsAndAStationsHeader) {
  std::vector<fleet_hub> hubs(2);
  hubs[0].port = "/tmp/rack/hub10";
  hubs[1].port = "/dev/ttyUSB1";
  for (fleet_hub &hub : hubs) {
    hub.is_hub = true;
    hub.model = "Tavrine-16";
    hub.serial = "1030.0042";
    hub.version_before = 310;
    hub.phase = hub_phase::uploading;
  }
  char *text = nullptr;
  size_t size = 0;
  FILE *out = open_memstream(&text, &size);
  ASSERT_NE(out, nullptr);
  {
    fleet_display display(hubs, out, /*terminal=*/true, /*dry_run=*/false);
    display.close();
  }
  std::fflush(out);
  const std::string table(text, size);
  // Cut short of the 80 columns a stream without a terminal size is given.
  EXPECT_NE(table.find("\r\x1b[KPORT             USB  MODEL       SERIAL     VERSION    BLOCKS  FAILED  STATE\n"
                       "\r\x1b[K/tmp/rack/hub10  -    Tavrine-16  1030.0042  v3.10 ->                   uploadi\n"
                       "\r\x1b[K/dev/ttyUSB1     -    Tavrine-16  1030.0042  v3.10 ->                   uploadi\n"),
            std::string::npos)
      << table;

  // A station with 40 finished visits on a terminal of 24 lines (the size a
  // stream without one is given): the header, the titles, the latest 21.
  hubs.resize(40, hubs[1]);
  for (size_t i = 0; i < hubs.size(); ++i) {
    hubs[i].port = "/dev/ttyUSB" + std::to_string(i);
    hubs[i].result = i % 10 == 3 ? hub_result::failed : hub_result::updated;
  }
  std::rewind(out);
  {
    fleet_display display(hubs, out, /*terminal=*/true, /*dry_run=*/false);
    display.watching();
    // Drawn at once, not first when a hub changes.
    std::fflush(out);
    EXPECT_TRUE(std::string(text, size).starts_with("\r\x1b[KWatching for hubs \u2014 "));
    EXPECT_NE(std::string(text, size).find("\n\r\x1b[KPORT "), std::string::npos);
    display.close();
  }
  std::fflush(out);
  const std::string station(text, size);
  EXPECT_TRUE(station.starts_with("\r\x1b[KWatching for hubs \u2014 36 updated, 0 up to date, 4 failed "
                                  "\u2014 Ctrl-C to stop\n\r\x1b[KPORT "))
      << station;
  EXPECT_NE(station.find("\r\x1b[K/dev/ttyUSB39 "), std::string::npos);
  EXPECT_NE(station.find("\r\x1b[K/dev/ttyUSB19 "), std::string::npos);
  EXPECT_EQ(station.find("\r\x1b[K/dev/ttyUSB18 "), std::string::npos);
  std::fclose(out);
  std::free(text);
}

// A station's look at the ports: what is there at its start is taken; a new
// name arrives once, an old name on another device arrives again, a port
// that went away arrives again when it comes back, a name made anew for the
// very same device number arrives again too, and a port whose visit ended is
// marked seen only as the device that visit's hub holds.
TEST(FleetPortWatch, ArrivalsByNameAndDevice) {
  scratch_dir dir;
  const std::string at = dir.path();
  std::filesystem::create_symlink("/dev/null", at + "/ttyUSB0");
  std::filesystem::create_symlink("/dev/null", at + "/ttyS0");  // not a USB serial port
  port_watch watch(at, /*udev=*/false);
  EXPECT_EQ(watch.fd(), -1);
  EXPECT_TRUE(watch.take_arrivals(0).empty());
  std::filesystem::create_symlink("/dev/zero", at + "/ttyUSB1");
  std::filesystem::create_symlink(at + "/nothing", at + "/ttyUSB2");  // a link to nothing
  EXPECT_GT(watch.due_in(0), 0);
  EXPECT_EQ(watch.take_arrivals(1000), std::vector<std::string>{at + "/ttyUSB1"});
  EXPECT_TRUE(watch.take_arrivals(2000).empty());
  // ttyUSB0 handed to another device; ttyUSB1 gone, then back.
  std::filesystem::remove(at + "/ttyUSB0");
  std::filesystem::create_symlink("/dev/full", at + "/ttyUSB0");
  std::filesystem::remove(at + "/ttyUSB1");
  EXPECT_EQ(watch.take_arrivals(3000), std::vector<std::string>{at + "/ttyUSB0"});
  std::filesystem::create_symlink("/dev/zero", at + "/ttyUSB1");
  const port_node zero = port_node_of(at + "/ttyUSB1");
  EXPECT_NE(zero, port_node{});
  watch.mark_seen(at + "/ttyUSB1", zero);
  EXPECT_TRUE(watch.take_arrivals(4000).empty());
  std::filesystem::remove(at + "/ttyUSB1");
  EXPECT_TRUE(watch.take_arrivals(5000).empty());
  std::filesystem::create_symlink("/dev/zero", at + "/ttyUSB1");
  EXPECT_EQ(watch.take_arrivals(6000), std::vector<std::string>{at + "/ttyUSB1"});
  // The same device number under a name made anew between two looks (made
  // beside the old one and renamed into place, as a file system that hands
  // a freed inode number straight back would otherwise hide).
  std::filesystem::create_symlink("/dev/zero", at + "/.ttyUSB1");
  std::filesystem::rename(at + "/.ttyUSB1", at + "/ttyUSB1");
  EXPECT_EQ(port_node_of(at + "/ttyUSB1").rdev, zero.rdev);
  EXPECT_EQ(watch.take_arrivals(7000), std::vector<std::string>{at + "/ttyUSB1"});
  // A visit's end marks nothing where another device took its name.
  std::filesystem::remove(at + "/ttyUSB1");
  std::filesystem::create_symlink("/dev/full", at + "/ttyUSB1");
  watch.mark_seen(at + "/ttyUSB1", zero);
  EXPECT_EQ(watch.take_arrivals(8000), std::vector<std::string>{at + "/ttyUSB1"});
  EXPECT_EQ(port_node_of(at + "/nothing"), port_node{});
}

TEST(FleetReport, WrittenWholeOrNotAtAll) {
  scratch_dir dir;
  const std::string path = dir.path() + "/report.json";
  ASSERT_EQ(fleet_report_writable(path), 1);
  write_text_file(path, "old report");
  ASSERT_EQ(fleet_write_atomically(path, "{\"hubs\": []}\n"), 1);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "{\"hubs\": []}\n");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  // Nothing but the report is left in the folder.
  int files = 0;
  for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);

  testing::internal::CaptureStderr();
  EXPECT_EQ(fleet_write_atomically(dir.path() + "/none/report.json", "x"), 0);
  EXPECT_EQ(fleet_report_writable(dir.path() + "/none/report.json"), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "trelk-fleet: " + dir.path() + "/none/report.json: No such file or directory\n"
            "trelk-fleet: cannot write the report " + dir.path() +
                "/none/report.json: No such file or directory\n");
}

// A probed hub as --list and the history see it.
fleet_hub probed_hub(const std::string &port, const std::string &model, bool bootloader,
                     const std::string &serial, const char *usb_serial) {
  fleet_hub hub;
  hub.port = port;
  hub.is_hub = true;
  hub.model = model;
  hub.in_bootloader = bootloader;
  hub.serial = serial;
  (bootloader ? hub.boot_serial : hub.firmware_serial) = serial;
  hub.version_before = 310;
  if (usb_serial != nullptr) {
    hub.usb.known = 1;
    copy_text(hub.usb.usb_path, sizeof hub.usb.usb_path, "1-1");
    hub.usb.has_serial = 1;
    copy_text(hub.usb.serial, sizeof hub.usb.serial, usb_serial);
  }
  return hub;
}

std::string read_text(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Each finished hub once, as it finishes, after what the file held (its
// last line cut short by a power cut stays alone); a port without a hub, a
// hub still running and a hub without a result add none.
TEST(FleetHistory, ALinePerFinishedHubAppended) {
  scratch_dir dir;
  const std::string path = dir.path() + "/history.jsonl";
  ASSERT_TRUE(write_text_file(path, "{\"earlier\": 1}\n{\"cut"));
  std::vector<fleet_hub> hubs = {probed_hub("/dev/ttyUSB0", "Tavrine-16", true, "1030.0040", "AB12"),
                                 probed_hub("/dev/ttyUSB1", "Tavrine-10", false, "40", nullptr)};
  hubs.push_back(fleet_hub{});
  hubs[2].port = "/dev/ttyUSB2";
  hubs[2].result = hub_result::skipped;
  hubs[0].result = hub_result::updated;
  hubs[0].pid = 4242;  // its process has not ended yet
  fleet_history_log log;
  log.record(hubs);  // not opened: nothing
  ASSERT_EQ(log.open(path), 1);
  log.record(hubs);
  EXPECT_EQ(read_text(path), "{\"earlier\": 1}\n{\"cut");
  hubs[0].pid = -1;
  log.record(hubs);
  hubs[1].result = hub_result::up_to_date;
  hubs.push_back(hubs[1]);  // a station's next visit
  hubs.back().port = "/dev/ttyUSB3";
  log.record(hubs);
  log.record(hubs);
  EXPECT_FALSE(log.failed());

  std::istringstream in(read_text(path));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "{\"cut");
  lines.erase(lines.begin() + 1);
  char host[256] = "";
  gethostname(host, sizeof host);
  // The report's row, after the time and the host.
  const std::string report = fleet_report_json({}, {hubs[0]});
  const size_t row = report.find("\n  {") + 4;
  const std::string when = lines[1].substr(10, 20);
  EXPECT_EQ(lines[1], "{\"time\": \"" + when + "\", \"host\": \"" + host + "\", " +
                          report.substr(row, report.rfind("}\n]}") + 1 - row));
  EXPECT_EQ(when, fleet_utc_now().substr(0, 11) + when.substr(11)) << when;
  EXPECT_NE(lines[2].find("\"port\": \"/dev/ttyUSB1\""), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("\"port\": \"/dev/ttyUSB3\""), std::string::npos) << lines[3];
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

// Opening: made when missing, refused with the cause; another run's lock is
// waited for, not broken.
TEST(FleetHistory, OpenedForAppendingUnderALock) {
  scratch_dir dir;
  testing::internal::CaptureStderr();
  fleet_history_log missing_folder, folder, fifo;
  EXPECT_EQ(missing_folder.open(dir.path() + "/none/history.jsonl"), 0);
  EXPECT_EQ(folder.open(dir.path()), 0);
  ASSERT_EQ(mkfifo((dir.path() + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(fifo.open(dir.path() + "/fifo"), 0);
  EXPECT_EQ(fleet_history_readable(dir.path() + "/fifo"), 0);
  EXPECT_EQ(fleet_history_readable(dir.path() + "/none"), 0);
  std::vector<fleet_hub> none;
  EXPECT_EQ(fleet_history_lookup(dir.path() + "/none", none), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "trelk-fleet: cannot open the history " + dir.path() +
                "/none/history.jsonl: No such file or directory\n"
                "trelk-fleet: cannot open the history " + dir.path() + ": Is a directory\n"
                "trelk-fleet: cannot open the history " + dir.path() + "/fifo: not a regular file\n"
                "trelk-fleet: cannot read the history " + dir.path() + "/fifo: not a regular file\n"
                "trelk-fleet: cannot read the history " + dir.path() + "/none: No such file or directory\n"
                "trelk-fleet: cannot read the history " + dir.path() + "/none: No such file or directory\n");

  // Another run holds the lock for a moment: the line waits for it.
  const std::string path = dir.path() + "/history.jsonl";
  fleet_history_log log;
  ASSERT_EQ(log.open(path), 1);
  const int other = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(other, LOCK_EX), 0);
  std::thread release([other] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    flock(other, LOCK_UN);
  });
  std::vector<fleet_hub> hubs = {probed_hub("/dev/ttyUSB0", "Tavrine-16", true, "1030.0040", nullptr)};
  hubs[0].result = hub_result::updated;
  const auto start = std::chrono::steady_clock::now();
  log.record(hubs);
  const auto waited = std::chrono::steady_clock::now() - start;
  release.join();
  close(other);
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_NE(read_text(path).find("\"port\": \"/dev/ttyUSB0\""), std::string::npos);
}

// --list --history: the last line that is the hub's, by the bootloaders'
// serial, or within the model by the firmware's serial or a USB serial that
// tells bridges apart; lines that are no entry are passed over.
TEST(FleetHistory, EachHubGetsItsLastEntry) {
  scratch_dir dir;
  const auto line = [](const std::string &time, const std::string &model, const std::string &boot,
                       const std::string &firmware, const std::string &usb, const std::string &result) {
    const auto text = [](const std::string &v) { return v.empty() ? std::string("null") : "\"" + v + "\""; };
    return "{\"time\": \"" + time + "\", \"host\": \"lab\", \"model\": " + text(model) +
           ", \"boot_serial\": " + text(boot) + ", \"firmware_serial\": " + text(firmware) +
           ", \"usb_serial\": " + text(usb) + ", \"result\": \"" + result + "\"}\n";
  };
  const std::string path = dir.path() + "/history.jsonl";
  ASSERT_TRUE(write_text_file(
      path,
      line("T1", "Tavrine-16", "1030.0040", "", "", "failed") +
          line("T2", "Tavrine-16", "1030.0040", "40", "", "updated") +
          "not json\n{\"time\": \"T9\"}\n" + std::string(HISTORY_LINE_MAX + 10, '{') + "\n" +
          line("T3", "Tavrine-10", "", "40", "", "updated") +  // another model's "40"
          line("T4", "Tavrine-24", "", "", "CD34", "up-to-date") +
          line("T4", "Tavrine-24", "", "", "EF56", "updated") +
          line("T5", "Tavrine-16", "", "", "CLONE", "updated") +
          line("T6", "Tavrine-16", "", "", "0", "updated") +
          line("T7", "Tavrine-16", "1030.0040", "", "", "up-to-date") +
          "{\"model\": \"Tavrine-16\", \"boot_serial\": \"1030.0040\", \"result\": \"failed\"}\n" +
          "{\"time\": \"T8\", \"model\": \"Tavrine-16\", \"boot_serial\": \"1030.0040\", \"result\": \"upd"));
  std::vector<fleet_hub> hubs = {
      probed_hub("/dev/ttyUSB0", "Tavrine-16", false, "40", nullptr),        // firmware serial
      probed_hub("/dev/ttyUSB1", "Tavrine-16", true, "1030.0040", nullptr),  // bootloaders' serial
      probed_hub("/dev/ttyUSB2", "Tavrine-24", true, "1050.0001", "CD34"),   // its USB serial
      probed_hub("/dev/ttyUSB3", "Tavrine-16", true, "1030.0007", "CLONE"),  // a shared USB serial
      probed_hub("/dev/ttyUSB4", "Tavrine-16", true, "1030.0008", "CLONE"),
      probed_hub("/dev/ttyUSB5", "Tavrine-16", true, "1030.0009", "0"),      // a placeholder
      probed_hub("/dev/ttyUSB6", "Tavrine-20", true, "1080.0001", "EF56")};  // another model
  hubs.push_back(fleet_hub{});  // no hub
  hubs.back().port = "/dev/ttyUSB7";
  ASSERT_EQ(fleet_history_lookup(path, hubs), 1);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"T2", "updated"}, {"T7", "up-to-date"}, {"T4", "up-to-date"}, {"", ""},
      {"", ""},          {"", ""},             {"", ""},             {"", ""}};
  for (size_t i = 0; i < hubs.size(); ++i) {
    EXPECT_EQ(hubs[i].last_time, expected[i].first) << hubs[i].port;
    EXPECT_EQ(hubs[i].last_result, expected[i].second) << hubs[i].port;
  }
  // Shown in the list's table, beside every hub's identity.
  hubs[7].reason = "Unable to detect a Varnholt hub on port /dev/ttyUSB7";
  const std::vector<std::string> table = fleet_list_table({hubs[0], hubs[2], hubs[7]}, /*history=*/true);
  EXPECT_EQ(table, (std::vector<std::string>{
                       "PORT          USB  USB SERIAL  MODEL       SERIAL     MODE        FIRMWARE  "
                       "LAST ENTRY     NOTE",
                       "/dev/ttyUSB0  -    -           Tavrine-16  40         normal      v3.10     "
                       "T2 updated",
                       "/dev/ttyUSB2  1-1  CD34        Tavrine-24  1050.0001  bootloader            "
                       "T4 up-to-date",
                       "/dev/ttyUSB7  -    -           -           -          -           -         "
                       "-              Unable to detect a Varnholt hub on port /dev/ttyUSB7"}));
}

// What a run without a hub says happened.
TEST(FleetReport, NoHubFoundSaysWhenThePortsWereHeld) {
  std::vector<fleet_hub> ports(2);
  ports[0].reason = "Unable to detect a Varnholt hub on port /dev/ttyUSB0";
  ports[1].reason = "Serial port /dev/ttyUSB1 is in use by another program; Unable to connect";
  EXPECT_EQ(fleet_no_hub_message(ports), "no Varnholt hub found; 1 port is in use by another program");
  ports[0].reason = "Serial port /dev/ttyUSB0 is in use by another program; Unable to connect";
  EXPECT_EQ(fleet_no_hub_message(ports), "no hub could be probed: 2 ports are in use by another program");
  ports.resize(1);
  EXPECT_EQ(fleet_no_hub_message(ports), "no hub could be probed: 1 port is in use by another program");
  ports[0].reason = "Unable to detect a Varnholt hub on port /dev/ttyUSB0";
  EXPECT_EQ(fleet_no_hub_message(ports), "no Varnholt hub found");
}

TEST(FleetReport, HeadSaysWhereWhenAndWhat) {
  const fleet_report_head head = fleet_report_head_now("/srv/mirror");
  char host[256] = "";
  gethostname(host, sizeof host);
  EXPECT_EQ(head.host, host);
  EXPECT_EQ(head.trelk_version, "3.00");
  EXPECT_EQ(head.source, "/srv/mirror");
  // UTC to the second: 2026-02-03T10:04:05Z, within a few seconds of now.
  std::tm parsed{};
  ASSERT_NE(strptime(head.generated.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parsed), nullptr) << head.generated;
  EXPECT_EQ(head.generated.size(), 20u);
  EXPECT_LT(std::abs(static_cast<double>(timegm(&parsed) - std::time(nullptr))), 5.0);
}

TEST(FleetChecksums, Sha256sumFormatsAndVerdicts) {
  const std::string a(64, 'a'), b(64, 'b'), upper_c(64, 'C'), c(64, 'c');
  checksum_list list;
  EXPECT_EQ(list.parse("/etc/trelk/SHA256SUMS",
                       a + "  fw312.ufw\n" +            // text mode
                           b + " *bin/fw311.ufw\r\n" +  // binary mode, a folder, CR LF
                           "SHA256 (fw310.ufw) = " + upper_c + "\n" +  // BSD tag, upper case
                           "\\" + a + "  odd\\\\name\n" +          // escaped backslash
                           "# a comment\n" + a + " fw309.ufw\n" +      // one blank: no line
                           a + "  twice.ufw\n" + b + "  other/twice.ufw\n"),
            6u);
  EXPECT_EQ(list.check("fw312.ufw", a), checksum_verdict::match);
  EXPECT_EQ(list.check("fw311.ufw", b), checksum_verdict::match);
  EXPECT_EQ(list.check("fw310.ufw", c), checksum_verdict::match);
  EXPECT_EQ(list.check("odd\\name", a), checksum_verdict::match);
  EXPECT_EQ(list.check("fw312.ufw", b), checksum_verdict::mismatch);
  EXPECT_EQ(list.check("fw309.ufw", a), checksum_verdict::missing);
  EXPECT_EQ(list.check("bin", b), checksum_verdict::missing);
  // Two lines for one name that disagree vouch for neither digest.
  EXPECT_EQ(list.check("twice.ufw", a), checksum_verdict::mismatch);
  EXPECT_EQ(checksum_refusal(checksum_verdict::missing, "fw309.ufw", list),
            "package fw309.ufw not in /etc/trelk/SHA256SUMS");
  EXPECT_EQ(checksum_refusal(checksum_verdict::mismatch, "fw312.ufw", list),
            "package fw312.ufw: digest mismatch with /etc/trelk/SHA256SUMS");
  EXPECT_EQ(checksum_refusal(checksum_verdict::match, "fw312.ufw", list), "");
}

// Only whole lines of either form vouch for a file: a digest one digit short
// or long, anything after a BSD line's digest, or a character that is no hex
// digit makes a line that is passed over like a comment.
TEST(FleetChecksums, ALineOfNeitherFormVouchesForNothing) {
  const std::string hex = "0123456789abcdefABCDEF" + std::string(42, '9');
  const std::string lower = "0123456789abcdefabcdef" + std::string(42, '9');
  const std::string d(64, 'd');
  checksum_list list;
  EXPECT_EQ(list.parse("sums", "SHA256 (good) = " + hex + "\n" +
                                   "SHA256 (trailing) = " + d + " \n" +
                                   "SHA256 (junk) = " + d + "0\n" +
                                   "SHA256 (short) = " + d.substr(1) + "\n" +
                                   "SHA256 (bad) = " + d.substr(1) + "g\n" +
                                   d.substr(1) + "  short.ufw\n" +
                                   d + "0  long.ufw\n" +
                                   d.substr(1) + "G  upper.ufw\n" +
                                   d.substr(1) + "/  slash.ufw\n" +
                                   d.substr(1) + ":  colon.ufw\n" +
                                   d.substr(1) + "@  at.ufw\n" +
                                   d.substr(1) + "`  tick.ufw\n" +
                                   d + "\t fw.ufw\n" + d + " -fw.ufw\n" +
                                   d + "  \n" + d + " *\n" + "SHA256 () = " + d + "\n"),
            1u);
  EXPECT_EQ(list.check("good", lower), checksum_verdict::match);
  for (const char *name : {"trailing", "junk", "short", "bad", "short.ufw", "long.ufw",
                           "upper.ufw", "slash.ufw", "colon.ufw", "at.ufw", "tick.ufw",
                           "fw.ufw", "-fw.ufw", ""})
    EXPECT_EQ(list.check(name, d), checksum_verdict::missing) << name;

  // A name may hold ") = " itself, and escapes: "\n" a line feed, "\\" a
  // backslash; a backslash at the end of the name stays one.
  EXPECT_EQ(list.parse("sums", "SHA256 (a) = b) = " + d + "\n\\" + d + "  two\\nlines\\\\\n\\" +
                                   d + " *end\\\n" + "\\SHA256 (x\\ny) = " + d + "\r\n"),
            4u);
  EXPECT_EQ(list.check("a) = b", d), checksum_verdict::match);
  EXPECT_EQ(list.check("two\nlines\\", d), checksum_verdict::match);
  EXPECT_EQ(list.check("end\\", d), checksum_verdict::match);
  EXPECT_EQ(list.check("x\ny", d), checksum_verdict::match);
  // A parse starts the list afresh: the earlier lines vouch for nothing now.
  EXPECT_EQ(list.parse("other", d + "  only\n"), 1u);
  EXPECT_EQ(list.path(), "other");
  EXPECT_EQ(list.check("a) = b", d), checksum_verdict::missing);

  // A file is loaded when it holds a line; else one message names it.
  scratch_dir dir;
  const std::string good = dir.write("SHA256SUMS", "# made by hand\n" + d + "  fw312.ufw\n");
  const std::string none = dir.write("none", "# nothing here\n" + d + " fw312.ufw\n");
  checksum_list loaded;
  testing::internal::CaptureStderr();
  EXPECT_TRUE(loaded.load(good));
  EXPECT_EQ(loaded.check("fw312.ufw", d), checksum_verdict::match);
  EXPECT_EQ(loaded.path(), good);
  EXPECT_FALSE(loaded.load(none));
  EXPECT_FALSE(loaded.load(dir.path()));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "trelk-fleet: " + none + ": no line in sha256sum format\n" + "trelk-fleet: " +
                dir.path() + ": not a regular file\n");
}

TEST(FleetFiles, ReadsAreBoundedAndStagedFilesLeaveNothingBehind) {
  scratch_dir dir;
  std::string text, cause;
  const std::string file = dir.write("list", "0123456789");
  EXPECT_TRUE(read_bounded_file(file, 10, &text, &cause));
  EXPECT_EQ(text, "0123456789");
  // An interrupted call before (errno left at EINTR) changes nothing: only
  // a read that failed is tried again.
  errno = EINTR;
  EXPECT_TRUE(read_bounded_file(file, 10, &text, &cause));
  EXPECT_EQ(text, "0123456789");
  EXPECT_FALSE(read_bounded_file(file, 9, &text, &cause));
  EXPECT_EQ(cause, "larger than 9 bytes");
  // A FIFO would wait for a writer for ever; a folder is no file.
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(read_bounded_file(fifo, 10, &text, &cause));
  EXPECT_EQ(cause, "not a regular file");
  EXPECT_FALSE(read_bounded_file(dir.path(), 10, &text, &cause));
  EXPECT_EQ(cause, "not a regular file");
  EXPECT_FALSE(read_bounded_file(dir.path() + "/none", 10, &text, &cause));
  EXPECT_EQ(cause, "No such file or directory");

  // A link planted where the target will be is replaced, never written through.
  const std::string elsewhere = dir.write("elsewhere", "keep");
  ASSERT_EQ(symlink(elsewhere.c_str(), (dir.path() + "/target").c_str()), 0);
  {
    staged_file staged;
    ASSERT_TRUE(staged.write(dir.path() + "/target", "new", 0644, &cause)) << cause;
    staged_file forgotten;
    ASSERT_TRUE(forgotten.write(dir.path() + "/other", "lost", 0644, &cause)) << cause;
    ASSERT_TRUE(staged.commit(&cause)) << cause;
  }
  ASSERT_TRUE(read_bounded_file(elsewhere, 10, &text, &cause));
  EXPECT_EQ(text, "keep");
  ASSERT_TRUE(read_bounded_file(dir.path() + "/target", 10, &text, &cause));
  EXPECT_EQ(text, "new");
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"elsewhere", "fifo", "list", "target"}));
}

// The names of a folder's entries, sorted.
std::vector<std::string> entries_of(const std::string &folder) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string contents_of(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A write the disk stops part-way (here a file size limit, as a full disk or
// a quota would) leaves the folder as it was: no temporary, the old target.
// So does a rename that fails; a move hands the temporary on whole.
TEST(FleetFiles, AWriteOrRenameThatFailsLeavesTheFolderAsItWas) {
  scratch_dir dir;
  const std::string target = dir.write("fw312.ufw", "old package");
  dir.write("SHA256SUMS", "old list");
  std::string said;
  const int status = run_in_child(
      [&] {
        // Past the limit a write fails with EFBIG (the signal it would send
        // is ignored), after the first 1000 bytes went in.
        const struct rlimit small = {1000, 1000};
        std::signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &small) != 0) _exit(3);
        staged_file staged;
        std::string cause;
        const bool written = staged.write(target, std::string(5000, 'x'), 0644, &cause);
        std::printf("%d %s", written, cause.c_str());
        std::fflush(stdout);
        _exit(0);  // before the destructor: the failed write itself cleaned up
      },
      &said);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(said, "0 File too large");
  EXPECT_EQ(entries_of(dir.path()), (std::vector<std::string>{"SHA256SUMS", "fw312.ufw"}));
  EXPECT_EQ(contents_of(target), "old package");

  // A target that became a folder cannot be replaced: said, and no temporary.
  std::string cause;
  const std::string folder = dir.path() + "/taken";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  dir.write("taken/inside", "");
  staged_file blocked;
  ASSERT_TRUE(blocked.write(folder, "new", 0644, &cause)) << cause;
  EXPECT_FALSE(blocked.commit(&cause));
  EXPECT_EQ(cause, "Is a directory");
  EXPECT_FALSE(blocked.commit(&cause));
  EXPECT_EQ(cause, "nothing was written");
  EXPECT_EQ(entries_of(dir.path()), (std::vector<std::string>{"SHA256SUMS", "fw312.ufw", "taken"}));

  // A second write replaces the first one's temporary.
  staged_file first;
  ASSERT_TRUE(first.write(target, "draft", 0644, &cause)) << cause;
  ASSERT_TRUE(first.write(target, "new package", 0640, &cause)) << cause;
  {
    // The moved-to file is the one that commits; the moved-from one removes nothing.
    staged_file moved(std::move(first));
    EXPECT_EQ(moved.path(), target);
    EXPECT_EQ(entries_of(dir.path()).size(), 4u);  // the temporary beside the others
    ASSERT_TRUE(moved.commit(&cause)) << cause;
  }
  EXPECT_EQ(contents_of(target), "new package");
  struct stat st {};
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(entries_of(dir.path()), (std::vector<std::string>{"SHA256SUMS", "fw312.ufw", "taken"}));

  EXPECT_EQ(folder_of("fw312.ufw"), ".");
  EXPECT_EQ(folder_of("/fw312.ufw"), "/");
  EXPECT_EQ(folder_of("/srv/mirror/firmware/fw312.ufw"), "/srv/mirror/firmware");
  EXPECT_EQ(base_name("/srv/mirror/firmware/fw312.ufw"), "fw312.ufw");
  EXPECT_EQ(base_name("fw312.ufw"), "fw312.ufw");
}

// A file whose size the kernel does not know beforehand (as /proc shows
// them, size 0) is held to the limit as it is read.
TEST(FleetFiles, AFileLargerThanItSaysIsHeldToTheLimitWhileRead) {
  std::string text, cause;
  ASSERT_TRUE(read_bounded_file("/proc/self/cmdline", 1 << 20, &text, &cause)) << cause;
  const size_t size = text.size();
  ASSERT_GT(size, 1u);
  EXPECT_TRUE(read_bounded_file("/proc/self/cmdline", size, &text, &cause)) << cause;
  EXPECT_EQ(text.size(), size);
  EXPECT_FALSE(read_bounded_file("/proc/self/cmdline", size - 1, &text, &cause));
  EXPECT_EQ(cause, "larger than " + std::to_string(size - 1) + " bytes");
}

TEST(FleetEvents, RecordsSurviveAnySplitOfThePipe) {
  hub_event first = hub_event_make(event_kind::progress);
  first.verified = 7;
  first.blocks = 42;
  hub_event second = hub_event_make(event_kind::result);
  second.result = hub_result::failed;
  hub_event_set_reason(&second, std::string(1000, 'r'));  // cut to fit, terminated
  std::string bytes(reinterpret_cast<const char *>(&first), sizeof first);
  bytes.append(reinterpret_cast<const char *>(&second), sizeof second);

  std::string pending;
  std::vector<hub_event> got;
  hub_event event;
  for (size_t at = 0; at < bytes.size(); at += 100) {
    pending.append(bytes, at, 100);
    while (hub_event_pop(&pending, &event)) got.push_back(event);
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].kind, event_kind::progress);
  EXPECT_EQ(got[0].verified, 7);
  EXPECT_EQ(got[0].blocks, 42);
  EXPECT_EQ(got[1].result, hub_result::failed);
  EXPECT_EQ(std::string(got[1].reason), std::string(sizeof got[1].reason - 1, 'r'));
  EXPECT_TRUE(pending.empty());
}

struct FleetPlan : ::testing::Test {
  ufw package{};
  void SetUp() override {
    std::string text = package_text(312, test_sections({0x0102, 0x0201}, 1));
    ufw_load_data(text.data(), &package);
    ASSERT_EQ(package.valid, 1);
  }
  void TearDown() override { ufw_free(&package); }

  fleet_hub hub(uint16_t code, bool in_bootloader, int version) {
    fleet_hub h;
    h.port = "/dev/ttyUSB0";
    h.is_hub = true;
    h.hub_code = code;
    h.in_bootloader = in_bootloader;
    h.version_before = version;
    h.package = &package;
    if (in_bootloader) {
      h.board_count = 2;
      h.board_types[1] = 0x0102;
      h.board_types[2] = 0x0201;
      h.board_versions[1] = static_cast<uint16_t>(version);
      h.board_versions[2] = static_cast<uint16_t>(version);
    }
    return h;
  }
};

TEST_F(FleetPlan, DecidesFromWhatTheProbeSaw) {
  std::vector<fleet_hub> hubs = {hub(0x1030, true, 310), hub(0x1030, false, 312),
                                 hub(0x1020, false, 300), hub(0x1030, true, 312),
                                 hub(0x1030, true, 300), fleet_hub{}, hub(0x2000, false, 300)};
  hubs[3].board_versions[2] = 311;  // one board behind is enough
  hubs[4].package = nullptr;
  hubs[4].reason = "no stable version for Tavrine-16 on the firmware server";
  fleet_plan(hubs, fleet_update_rules{/*force=*/false, /*restart=*/true});

  EXPECT_TRUE(hubs[0].to_update);
  EXPECT_EQ(hubs[0].version_after, 312);
  EXPECT_EQ(hubs[1].result, hub_result::up_to_date);  // normal mode: its firmware's version
  EXPECT_FALSE(hubs[1].to_update);
  EXPECT_EQ(hubs[1].version_after, 312);
  EXPECT_EQ(hubs[2].result, hub_result::skipped);  // a Tavrine-10's boards are 0103 and 0203
  EXPECT_EQ(hubs[2].reason, "package v3.12 has no firmware for board type 0103");
  EXPECT_TRUE(hubs[3].to_update);
  EXPECT_EQ(hubs[4].result, hub_result::skipped);
  EXPECT_EQ(hubs[4].reason, "no stable version for Tavrine-16 on the firmware server");
  EXPECT_EQ(hubs[5].result, hub_result::none);  // no hub: nothing to plan
  // A hub in normal mode of a code no model has: its boards are unknown.
  EXPECT_EQ(hubs[6].result, hub_result::skipped);
  EXPECT_EQ(hubs[6].reason, "unknown hub code 2000");
  EXPECT_FALSE(hubs[6].to_update);

  std::vector<fleet_hub> forced = {hub(0x1030, false, 312), hub(0x1030, true, 399)};
  fleet_plan(forced, fleet_update_rules{/*force=*/true, /*restart=*/true});
  EXPECT_TRUE(forced[0].to_update);
  EXPECT_TRUE(forced[1].to_update);
  EXPECT_FALSE(forced[1].restart_only);
  EXPECT_EQ(forced[1].version_after, 312);
}

// A hub left in its bootloaders that already holds its package is brought
// back into service (only restarted); with --no-restart it stays up to date
// where it is. In normal mode an up-to-date hub is never touched.
TEST_F(FleetPlan, AHubLeftInItsBootloadersIsOnlyRestarted) {
  std::vector<fleet_hub> hubs = {hub(0x1030, true, 312), hub(0x1030, false, 312),
                                 hub(0x1030, true, 312)};
  fleet_plan_hub(hubs[0], fleet_update_rules{/*force=*/false, /*restart=*/true});
  fleet_plan_hub(hubs[1], fleet_update_rules{/*force=*/false, /*restart=*/true});
  fleet_plan_hub(hubs[2], fleet_update_rules{/*force=*/false, /*restart=*/false});
  EXPECT_TRUE(hubs[0].to_update && hubs[0].restart_only);
  EXPECT_EQ(hubs[0].result, hub_result::none);
  EXPECT_EQ(hubs[0].version_after, 312);
  EXPECT_FALSE(hubs[1].to_update);
  EXPECT_EQ(hubs[1].result, hub_result::up_to_date);
  EXPECT_FALSE(hubs[2].to_update);
  EXPECT_EQ(hubs[2].result, hub_result::up_to_date);
}

// One canary per model among the hubs that get an upload; the others of its
// model wait for it, and only an updated canary lets them go.
TEST_F(FleetPlan, OneCanaryPerModelAndItsGate) {
  std::vector<fleet_hub> hubs = {hub(0x1030, true, 300), hub(0x1020, false, 300),
                                 hub(0x1030, true, 300), hub(0x1030, true, 312),
                                 hub(0x1020, false, 300), hub(0x1030, false, 300)};
  for (size_t i = 0; i < hubs.size(); ++i) hubs[i].port = "/dev/ttyUSB" + std::to_string(i);
  for (size_t i : {0u, 1u, 2u, 4u, 5u}) hubs[i].to_update = true;
  hubs[3].to_update = hubs[3].restart_only = true;  // only restarted: waits for nobody
  fleet_choose_canaries(hubs);
  EXPECT_TRUE(hubs[0].is_canary);
  EXPECT_TRUE(hubs[1].is_canary);
  EXPECT_EQ(hubs[2].canary, 0);
  EXPECT_FALSE(hubs[3].is_canary);
  EXPECT_EQ(hubs[3].canary, -1);
  EXPECT_EQ(hubs[4].canary, 1);
  EXPECT_EQ(hubs[5].canary, 0);
  // A hub with nothing to do is no canary: the first of its model that is
  // uploaded goes first, and nobody waits for the other.
  hubs.push_back(hub(0x1010, false, 312));
  hubs.push_back(hub(0x1010, false, 300));
  hubs[7].to_update = true;
  fleet_choose_canaries(hubs);
  EXPECT_FALSE(hubs[6].is_canary);
  EXPECT_TRUE(hubs[7].is_canary);
  EXPECT_EQ(hubs[7].canary, -1);

  std::string reason;
  EXPECT_EQ(fleet_canary_gate(hubs[0], hubs, &reason), canary_gate::open);
  EXPECT_EQ(fleet_canary_gate(hubs[2], hubs, &reason), canary_gate::wait);
  hubs[0].result = hub_result::failed;
  hubs[0].reason = "the hub reports v3.00 after the update, expected v3.12";
  EXPECT_EQ(fleet_canary_gate(hubs[2], hubs, &reason), canary_gate::closed);
  EXPECT_EQ(reason, "its canary /dev/ttyUSB0 failed: the hub reports v3.00 after the update, "
                    "expected v3.12");
  hubs[1].result = hub_result::updated;
  EXPECT_EQ(fleet_canary_gate(hubs[4], hubs, &reason), canary_gate::open);
  hubs[1].result = hub_result::up_to_date;  // no upload happened: it proved nothing
  EXPECT_EQ(fleet_canary_gate(hubs[4], hubs, &reason), canary_gate::closed);
  EXPECT_EQ(reason, "its canary /dev/ttyUSB1 turned out up to date and did not show the new "
                    "version running");

  // At a station each hub joins when its own probe ends, not in list order:
  // a hub plugged in first but planned second follows the canary after it
  // (two canaries of one model would be uploaded side by side).
  std::vector<fleet_hub> station = {hub(0x1030, true, 300), hub(0x1030, true, 300),
                                    hub(0x1030, true, 300), hub(0x1020, false, 300),
                                    hub(0x1030, true, 300)};
  for (fleet_hub &h : station) h.to_update = true;
  for (size_t i : {2u, 0u, 3u, 1u, 4u}) fleet_join_canary(station, i);
  EXPECT_TRUE(station[2].is_canary);
  EXPECT_FALSE(station[0].is_canary);
  EXPECT_EQ(station[0].canary, 2);
  EXPECT_EQ(station[1].canary, 2);
  EXPECT_TRUE(station[3].is_canary);
  // Pulled, it hands on to the first hub still waiting for it, wherever
  // that sits, and the other waiters follow that one; a hub no longer
  // waiting (4) is left as it is.
  station[2].pulled = true;
  const auto waiting = [](size_t k) { return k != 4; };
  EXPECT_EQ(fleet_hand_canary_on(station, 2, waiting), (std::vector<size_t>{0, 1}));
  EXPECT_TRUE(station[0].is_canary);
  EXPECT_EQ(station[0].canary, -1);
  EXPECT_FALSE(station[1].is_canary);
  EXPECT_EQ(station[1].canary, 0);
  EXPECT_EQ(station[4].canary, 2);
  station.push_back(hub(0x1030, true, 300));
  station[5].to_update = true;
  fleet_join_canary(station, 5);
  EXPECT_EQ(station[5].canary, 0);
  // A hub only restarted, or with nothing to do, neither goes first nor
  // waits: a later hub of its model must not wait on it.
  station.push_back(hub(0x1050, true, 300));
  station.push_back(hub(0x1050, true, 312));
  station[6].to_update = station[6].restart_only = true;
  for (size_t i : {6u, 7u}) {
    fleet_join_canary(station, i);
    EXPECT_FALSE(station[i].is_canary);
    EXPECT_EQ(station[i].canary, -1);
  }
  // An index past the list (no canary it could name) holds nobody back.
  station[7].canary = static_cast<int>(station.size());
  EXPECT_EQ(fleet_canary_gate(station[7], station, &reason), canary_gate::open);
}

// What the read-back makes of a hub beyond the e2e cases (lost finish
// commands, bootloaders that stay, a hub that does not come back): a newer
// version than the package's fails an update too, where a hub restarted from
// its bootloaders is up to date with it; another hub keeps its reason.
TEST(FleetVerify, OnlyThePackagesVersionMakesAHubUpdated) {
  const auto verdict = [](restart_outcome outcome, int version, restart_purpose purpose) {
    restart_report report;
    report.outcome = outcome;
    report.version = version;
    report.reason = "another hub answered";
    return restart_verdict(report, 312, purpose);
  };
  const restart_purpose update = restart_purpose::after_update;
  const restart_purpose restart = restart_purpose::from_bootloaders;
  hub_verdict v = verdict(restart_outcome::running, 313, update);
  EXPECT_EQ(v.result, hub_result::failed);
  EXPECT_EQ(v.mode, firmware_mode::normal);
  EXPECT_EQ(v.version_after, 313);
  EXPECT_EQ(v.reason, "the hub reports v3.13 after the update, expected v3.12");
  v = verdict(restart_outcome::another_hub, -1, update);
  EXPECT_EQ(v.result, hub_result::failed);
  EXPECT_EQ(v.mode, firmware_mode::unknown);
  EXPECT_EQ(v.reason, "another hub answered");

  EXPECT_EQ(verdict(restart_outcome::running, 313, restart).result, hub_result::up_to_date);
  v = verdict(restart_outcome::running, 310, restart);
  EXPECT_EQ(v.result, hub_result::failed);
  EXPECT_EQ(v.reason, "the hub reports v3.10 after its restart, expected v3.12 or newer");
}

// An identification line after the restart is the hub's only with its
// model's hub code and, where its normal firmware gave one before, its serial
// number.
TEST(FleetVerify, AnIdentificationOfAnotherHubIsNotThisHubs) {
  const auto seen = [](const char *line) {
    device d{};
    device_read_identification(&d, line);
    delete d.system;
    d.system = nullptr;
    return d;
  };
  const auto found = [](const char *serial) {
    hub_self self{};
    self.hub_code = 0x1030;
    copy_text(self.serial_number, sizeof self.serial_number, serial);
    return self;
  };
  const hub_self found_normal = found("HUB-B");
  const hub_self found_in_bootloaders = found("");
  const device same = seen("mfr:Varnholt,sn:HUB-B,hwid:1030,fw:3.12");
  EXPECT_EQ(identification_mismatch(same, found_normal, "/dev/ttyUSB1"), "");
  const device other_sn = seen("mfr:Varnholt,sn:HUB-C,hwid:1030,fw:3.12");
  EXPECT_EQ(identification_mismatch(other_sn, found_normal, "/dev/ttyUSB1"),
            "after the restart /dev/ttyUSB1 has a hub with serial number HUB-C, not HUB-B as "
            "before the update: it is another hub");
  EXPECT_EQ(identification_mismatch(other_sn, found_in_bootloaders, "/dev/ttyUSB1"), "");
  const device other_model = seen("mfr:Varnholt,sn:HUB-B,hwid:1020,fw:3.12");
  EXPECT_EQ(identification_mismatch(other_model, found_in_bootloaders, "/dev/ttyUSB1"),
            "after the restart /dev/ttyUSB1 has a Tavrine-10 (hub code 1020), not this "
            "Tavrine-16 (hub code 1030): it is another hub");
}

}  // namespace
