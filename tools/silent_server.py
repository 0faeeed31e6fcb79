#!/usr/bin/env python3
"""A peer that accepts TCP connections on 127.0.0.1 and never sends a byte.

It reads and discards whatever a client sends (an HTTP request, a TLS client
hello) and holds each connection open until the client closes it, so every
phase of a request that waits for an answer waits until the client's own
time-out ends it.  With --give-up it closes a connection after SECONDS, as a
real server eventually would: a client without a working time-out then shows
up as a request that took that long instead of one that never ends.

    silent_server.py [--port N] [--port-file PATH] [--give-up SECONDS]
                     [--unaccepted-port-file PATH] [--refused-port-file PATH]
                     [--idle-exit SECONDS]

With --unaccepted-port-file it also listens on a second port whose accept queue
it fills with one connection of its own and never drains: the system then drops
every further connection attempt there, so a client waits in its connect phase.
With --refused-port-file it binds a third port and never listens on it: the
system refuses every connection there, and no server started meanwhile can take
the port over (as one could a port that was merely free when it was picked).

Once listening it prints one line "LISTENING <port>" to stdout.  SIGTERM or
SIGINT stop it; with --idle-exit it also stops after SECONDS with no client.
"""

import argparse
import os
import selectors
import signal
import socket
import sys
import time


def write_port_file(path, port):
    tmp = f"{path}.{os.getpid()}.tmp"
    with open(tmp, "w", encoding="ascii") as f:
        f.write(f"{port}\n")
    os.replace(tmp, path)


def full_listener():
    """A listener whose accept queue (backlog 0 holds one) is taken by its own filler."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    filler = socket.create_connection(listener.getsockname())
    return listener, filler


def serve(listener, give_up, idle_exit, stopping):
    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ)
    opened = {}  # connection -> when it was accepted
    last_activity = time.monotonic()

    def close(conn):
        selector.unregister(conn)
        conn.close()
        del opened[conn]

    while not stopping():
        for key, _ in selector.select(timeout=0.5):
            if key.fileobj is listener:
                try:
                    conn, _ = listener.accept()
                except (BlockingIOError, InterruptedError):
                    continue
                conn.setblocking(False)
                selector.register(conn, selectors.EVENT_READ)
                opened[conn] = time.monotonic()
                continue
            try:
                data = key.fileobj.recv(65536)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                data = b""
            if not data:
                close(key.fileobj)
        now = time.monotonic()
        if give_up:
            for conn in [c for c, since in opened.items() if now - since >= give_up]:
                close(conn)
        if opened:
            last_activity = now
        elif idle_exit and now - last_activity >= idle_exit:
            return


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0, help="TCP port (default 0: pick a free one)")
    parser.add_argument("--port-file", help="write the port number here once listening")
    parser.add_argument("--give-up", type=float, default=None,
                        help="close each connection after this many seconds (default: never)")
    parser.add_argument("--unaccepted-port-file",
                        help="also listen on a port that never completes a connection; write it here")
    parser.add_argument("--refused-port-file",
                        help="also hold a port where every connection is refused; write it here")
    parser.add_argument("--idle-exit", type=float, default=None,
                        help="stop after this many seconds without a client")
    args = parser.parse_args(argv)

    stop = []
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stop.append(True))

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(128)
    listener.setblocking(False)
    port = listener.getsockname()[1]
    if args.unaccepted_port_file:
        unaccepted, filler = full_listener()
        write_port_file(args.unaccepted_port_file, unaccepted.getsockname()[1])
    if args.refused_port_file:
        refused = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        refused.bind(("127.0.0.1", 0))
        write_port_file(args.refused_port_file, refused.getsockname()[1])
    if args.port_file:
        write_port_file(args.port_file, port)
    print(f"LISTENING {port}", flush=True)
    serve(listener, args.give_up, args.idle_exit, lambda: bool(stop))
    listener.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
