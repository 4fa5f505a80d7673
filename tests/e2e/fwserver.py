#!/usr/bin/env python3
"""Firmware server of the end-to-end tests.

Serves a directory over plain HTTP (the standard library's file server),
appends every requested path to a log, and can run a shell command the first
time a given path is requested, before answering it: that is how a test
unplugs a hub at a known moment of the automatic update (between the search
and the update pass, when the manifest is fetched).
"""
import argparse
import functools
import http.server
import subprocess


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--log", required=True)
    parser.add_argument("--ready", required=True, help="file created once listening")
    parser.add_argument("--hook", nargs=2, action="append", default=[],
                        metavar=("PATH", "COMMAND"))
    args = parser.parse_args()
    hooks = dict(args.hook)

    class Handler(http.server.SimpleHTTPRequestHandler):
        def do_GET(self):
            with open(args.log, "a") as log:
                log.write(self.path + "\n")
            command = hooks.pop(self.path, None)
            if command is not None:
                subprocess.run(command, shell=True, check=False)
            super().do_GET()

        def log_message(self, *unused):
            pass

    handler = functools.partial(Handler, directory=args.dir)
    server = http.server.HTTPServer(("127.0.0.1", args.port), handler)
    open(args.ready, "w").close()
    server.serve_forever()


if __name__ == "__main__":
    main()
