#!/usr/bin/env python3
"""Plays trelk-fleet's command line and report for the playbook's test.

It talks to no hub: every --port that exists is reported updated to the
version in the package name (hub-v3.10.ufw: 310), in normal mode (in
bootloader mode with --no-restart), every one that does not is reported
failed. With --history FILE each hub's row is appended to FILE as a line,
after "time" and "host" (not in a dry run). Exit status 1 when a hub failed,
255 on a wrong command line, as trelk-fleet does. The test uses it where trelk-fleet itself is not built,
and for the failure paths that the playbook must handle.
"""
import datetime
import json
import os
import re
import socket
import sys


def main(argv):
    fw, ports, report, history, flags = None, [], None, None, set()
    args = iter(argv)
    for arg in args:
        if arg in ("--fw", "--port", "--json", "--jobs", "--history"):
            value = next(args, None)
            if value is None:
                print(f"trelk-fleet: option '{arg}' requires an argument", file=sys.stderr)
                return 255
            if arg == "--fw":
                fw = value
            elif arg == "--port":
                ports.append(value)
            elif arg == "--json":
                report = value
            elif arg == "--history":
                history = value
        elif arg in ("--force", "--dry-run", "--canary", "--no-restart"):
            flags.add(arg)
        else:
            print(f"trelk-fleet: unrecognized option '{arg}'", file=sys.stderr)
            return 255
    if {"--canary", "--no-restart"} <= flags:
        print("trelk-fleet: options '--canary' and '--no-restart' cannot be used together",
              file=sys.stderr)
        return 255
    if not fw or not ports:
        print("trelk-fleet: the stand-in needs --fw and --port", file=sys.stderr)
        return 255
    match = re.search(r"v(\d+)\.(\d\d)", os.path.basename(fw))
    version = int(match.group(1)) * 100 + int(match.group(2)) if match else 0
    hubs = []
    for port in ports:
        if os.path.exists(port):
            mode = "bootloader" if "--no-restart" in flags else "normal"
            hubs.append({"port": port, "model": "Tavrine-16", "serial": "42",
                         "version_before": 300, "version_after": version,
                         "mode_after": mode, "result": "updated", "failed_sends": 0,
                         "seconds": 0.1})
        else:
            hubs.append({"port": port, "mode_after": None, "result": "failed",
                         "failed_sends": 0, "seconds": 0.0,
                         "reason": "Unable to connect to device on serial port"})
    if report:
        with open(report, "w") as out:
            json.dump({"hubs": hubs}, out)
    if history and "--dry-run" not in flags:
        now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        with open(history, "a") as out:
            for hub in hubs:
                out.write(json.dumps({"time": now, "host": socket.gethostname(), **hub}) + "\n")
    return 1 if any(h["result"] == "failed" for h in hubs) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
