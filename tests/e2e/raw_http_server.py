#!/usr/bin/env python3
"""A misbehaving firmware server for the bad-input end-to-end tests.

Listens on a TCP port, answers every request in one scripted bad way, and
runs a command while it serves (that is how trelk meets it inside a private
network namespace):

    raw_http_server.py --mode MODE [--port 80] [--log FILE] -- COMMAND [ARG]...

Modes:
  junk      random bytes (no status line), then close
  silent    read the request, send nothing, never close
  stalled   a 200 header and half a body, then nothing, never close
  trickle   a 200 header, then one body byte every second, never close
  endless   a 200 header, then an endless fast stream of manifest lines

Exits with the command's status. Every requested path is appended to --log.
"""
import argparse
import random
import socket
import subprocess
import sys
import threading
import time


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 65536:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    line = data.split(b"\r\n", 1)[0].decode("latin-1")
    parts = line.split(" ")
    return parts[1] if len(parts) > 1 else line


def hold(conn):
    """Keeps the connection open and silent until the peer closes it."""
    try:
        while conn.recv(4096):
            pass
    except OSError:
        pass


def serve(conn, mode, log):
    try:
        path = read_request(conn)
        if log:
            with open(log, "a") as f:
                f.write(path + "\n")
        if mode == "junk":
            rng = random.Random(path)
            conn.sendall(bytes(rng.randrange(256) for _ in range(4096)))
        elif mode == "silent":
            hold(conn)
        elif mode == "stalled":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 64\r\n\r\n300,fw300.ufw,")
            hold(conn)
        elif mode == "trickle":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n")
            while True:
                conn.sendall(b"x")
                time.sleep(1)
        elif mode == "endless":
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n")
            line = b"300,fw300.ufw,120000,Endless\n" * 256
            while True:
                conn.sendall(line)
    except OSError:
        pass  # the client gave up: that is the point
    finally:
        conn.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mode", required=True,
                        choices=["junk", "silent", "stalled", "trickle", "endless"])
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--log")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("a command to run is required")

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(16)

    def accept_loop():
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=serve, args=(conn, args.mode, args.log),
                             daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    sys.exit(subprocess.call(command))


if __name__ == "__main__":
    main()
