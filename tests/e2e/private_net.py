#!/usr/bin/env python3
"""Runs a command on a private stage that looks like a machine with USB serial
hubs and the firmware server, without touching the real one.

In a private mount and network namespace it makes:
  - a tmpfs over /dev holding only null, zero, urandom, tty, the host's
    pseudo-terminals (pts bound in, ptmx as a link) and the given names as
    symbolic links (ttyUSB names to simulator pseudo-terminals, or names in
    folders such as serial/by-id/NAME, the folders made as needed);
  - with --sys, the folder DIR bound over /sys: a hand-made view of USB
    devices that libudev reads in place of the kernel's. A bound folder rather
    than a tmpfs made in here, so that the test, outside the namespace, can
    plug and unplug devices in it while the command runs. The command (and
    only the command) then gets SYSTEMD_DEVICE_VERIFY_SYSFS=0, without which
    libudev refuses a /sys that is not sysfs;
  - a hosts file over /etc/hosts mapping the firmware host to 127.0.0.1;
  - an empty tmpfs over /run/lock (the hub locks of this stage alone);
  - loopback up and, with --www, an HTTP server on port 80 serving DIR (the
    standard library's file server, in a thread of this process), which logs
    every requested path and can run a shell command the first time a path is
    requested, before answering it: that is how a test unplugs a hub at a
    known moment of the automatic update;
  - with --tls, the same server over HTTPS (the standard library's ssl) on
    another port, with the given certificate and key;
  - with --nginx, nginx serving DIR under a path prefix on another port (a
    child process, its request paths logged to the same file).
Everything is undone when the namespace ends. One process does it all: on
some kernels every process start is costly, and the cases run side by side.

Usage: private_net.py --work DIR --host NAME [--www DIR] [--sys DIR]
                      [--link NAME=TARGET]... [--hook PATH COMMAND]...
                      [--tls PORT CERT KEY] [--nginx PORT PREFIX] -- COMMAND [ARG]...
Writes into the work folder: hosts, dev-order (the ttyUSB names in the order
the /dev listing gives them), requests (one requested path a line). Exits with
the command's status (125 when setting up failed).
"""
import argparse
import ctypes
import fcntl
import functools
import http.server
import os
import signal
import socket
import ssl
import struct
import subprocess
import sys
import threading
import time

CLONE_NEWNS = 0x00020000
CLONE_NEWNET = 0x40000000
MS_BIND = 0x1000
MS_MOVE = 0x2000
MS_REC = 0x4000
MS_PRIVATE = 0x40000
SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
IFF_UP = 0x1

libc = ctypes.CDLL(None, use_errno=True)


class SetupError(Exception):
    pass


def check(result, what):
    if result != 0:
        err = ctypes.get_errno()
        raise SetupError(f"{what}: {os.strerror(err)}")


def mount(source, target, fstype, flags, data=None):
    def enc(text):
        return text.encode() if text is not None else None
    check(libc.mount(enc(source), enc(target), enc(fstype), ctypes.c_ulong(flags), enc(data)),
          f"mount {source} on {target}")


def loopback_up():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH14x", b"lo", 0)
        flags = struct.unpack("16sH14x", fcntl.ioctl(s, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags | IFF_UP))


def make_dev(work, links):
    # Build the new /dev aside, then move it over the real one (in this
    # namespace only), so no folder ever holds a bind mount of the real /dev.
    newdev = os.path.join(work, "dev")
    os.makedirs(newdev, exist_ok=True)
    mount("tmpfs", newdev, "tmpfs", 0, "mode=755")
    for node in ("null", "zero", "urandom", "tty"):
        open(os.path.join(newdev, node), "w").close()
        mount(f"/dev/{node}", os.path.join(newdev, node), None, MS_BIND)
    os.mkdir(os.path.join(newdev, "pts"))
    mount("/dev/pts", os.path.join(newdev, "pts"), None, MS_BIND)
    os.symlink("pts/ptmx", os.path.join(newdev, "ptmx"))
    mount(newdev, "/dev", None, MS_MOVE)
    for name, target in links:
        path = os.path.normpath(f"/dev/{name}")
        if not path.startswith("/dev/") or os.path.isabs(name):
            raise SetupError(f"link {name}: not a name below /dev")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.symlink(target, path)
    with open(os.path.join(work, "dev-order"), "w") as order:
        for name in os.listdir("/dev"):  # directory order, unsorted
            if name.startswith("ttyUSB"):
                order.write(name + "\n")


def start_server(www, log_path, hooks, port=80, tls=None):
    lock = threading.Lock()

    class Handler(http.server.SimpleHTTPRequestHandler):
        def do_GET(self):
            with lock:
                with open(log_path, "a") as log:
                    log.write(self.path + "\n")
                command = hooks.pop(self.path, None)
            if command is not None:
                subprocess.run(command, shell=True, check=False)
            super().do_GET()

        def log_message(self, *unused):
            pass

    class Server(http.server.ThreadingHTTPServer):
        def handle_error(self, request, client_address):
            # A client that stops reading (trelk refusing a document larger
            # than its buffer) is expected; its broken pipe must not land on
            # the standard error the tests compare.
            if not isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
                super().handle_error(request, client_address)

    server = Server(("127.0.0.1", port), functools.partial(Handler, directory=www))
    if tls is not None:
        # A client that refuses the certificate ends the handshake inside
        # accept(); the server drops that connection and goes on.
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(tls[0], tls[1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


NGINX_CONFIG = """daemon off;
master_process off;
user root;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{ worker_connections 64; }}
http {{
    log_format paths '$request_uri';
    access_log {work}/requests paths;
    client_body_temp_path {work}/nginx-temp;
    proxy_temp_path {work}/nginx-temp;
    fastcgi_temp_path {work}/nginx-temp;
    uwsgi_temp_path {work}/nginx-temp;
    scgi_temp_path {work}/nginx-temp;
    default_type application/octet-stream;
    server {{
        listen 127.0.0.1:{port};
        location {prefix}/ {{ alias {www}/; }}
    }}
}}
"""


def start_nginx(work, www, port, prefix):
    config = os.path.join(work, "nginx.conf")
    with open(config, "w") as f:
        f.write(NGINX_CONFIG.format(work=work, www=www, port=port, prefix=prefix.rstrip("/")))
    program = "/usr/sbin/nginx" if os.access("/usr/sbin/nginx", os.X_OK) else "nginx"
    process = subprocess.Popen([program, "-c", config, "-p", work, "-e",
                                os.path.join(work, "nginx-error.log")],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    # Ready once it accepts a connection (five seconds at most).
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return process
        except OSError:
            if process.poll() is not None:
                break
            time.sleep(0.05)
    process.kill()
    raise SetupError(f"nginx did not start on port {port} (see {work}/nginx-error.log)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--www")
    parser.add_argument("--sys")
    parser.add_argument("--link", action="append", default=[])
    parser.add_argument("--hook", nargs=2, action="append", default=[])
    parser.add_argument("--tls", nargs=3, metavar=("PORT", "CERT", "KEY"))
    parser.add_argument("--nginx", nargs=2, metavar=("PORT", "PREFIX"))
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        print("private_net.py: no command", file=sys.stderr)
        return 125

    try:
        check(libc.unshare(CLONE_NEWNS | CLONE_NEWNET), "unshare")
        mount(None, "/", None, MS_REC | MS_PRIVATE)
        loopback_up()
        make_dev(args.work, [link.split("=", 1) for link in args.link])
        if args.sys:
            # Bound only after the tree was made private above: the host's
            # /sys never sees it.
            mount(args.sys, "/sys", None, MS_BIND)
        hosts = os.path.join(args.work, "hosts")
        with open(hosts, "w") as f:
            f.write(f"127.0.0.1 localhost\n127.0.0.1 {args.host}\n")
        mount(hosts, "/etc/hosts", None, MS_BIND)
        # A run-time lock folder of the stage's own: side-by-side cases give
        # their hubs the same USB sockets, and their hub locks must not meet.
        if os.path.isdir("/run/lock"):
            mount("tmpfs", "/run/lock", "tmpfs", 0, "mode=1777")
        servers, nginx = [], None
        log_path = os.path.join(args.work, "requests")
        open(log_path, "w").close()
        if args.www:
            servers.append(start_server(args.www, log_path, dict(args.hook)))
            if args.tls:
                servers.append(start_server(args.www, log_path, {}, int(args.tls[0]),
                                            tls=args.tls[1:]))
            if args.nginx:
                nginx = start_nginx(args.work, args.www, int(args.nginx[0]), args.nginx[1])
    except (SetupError, OSError, ssl.SSLError) as error:
        print(f"private_net.py: {error}", file=sys.stderr)
        return 125

    # Ctrl-C (a SIGINT to the whole process group) is for the command, and so
    # is a SIGTERM to the group (a service manager's stop): this process keeps
    # the stage up until the command has ended, and the command starts with
    # the default reactions whatever this process inherited.
    def default_signals():
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)

    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    env = dict(os.environ, SYSTEMD_DEVICE_VERIFY_SYSFS="0") if args.sys else None
    status = subprocess.run(command, check=False, env=env,
                            preexec_fn=default_signals).returncode
    for server in servers:
        server.server_close()
    if nginx is not None:
        nginx.terminate()
        nginx.wait()
    return status if status >= 0 else 128 - status


if __name__ == "__main__":
    sys.exit(main())
