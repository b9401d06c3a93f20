#!/usr/bin/python3
"""The round trip of NOOP in one relayed SMTP session, measured for as long as it runs.

Usage: noop_probe.py PORT SOURCE_IP
Connects to 127.0.0.1:PORT from SOURCE_IP, waits for the greeting, then sends NOOP and waits
for its reply, again and again (one every 2 ms), until it gets SIGTERM; then
prints "count p50_ms p99_ms max_ms". Prints "failed" when the session cannot be had.
"""
import signal
import socket
import sys
import threading
import time

port, source = int(sys.argv[1]), sys.argv[2]
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *_: stop.set())


def read_reply(conn, buffered):
    while b"\n" not in buffered:
        block = conn.recv(4096)
        if not block:
            raise ConnectionError("closed")
        buffered += block
    return buffered[buffered.index(b"\n") + 1:]


try:
    conn = socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(source, 0))
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    rest = read_reply(conn, b"")
    times = []
    while not stop.is_set():
        start = time.perf_counter()
        conn.sendall(b"NOOP\r\n")
        rest = read_reply(conn, rest)
        times.append((time.perf_counter() - start) * 1000)
        time.sleep(0.002)
    conn.sendall(b"QUIT\r\n")
    conn.close()
except (OSError, ConnectionError):
    print("failed")
    sys.exit(0)
times.sort()
pick = lambda q: times[min(len(times) - 1, int(q * len(times)))] if times else 0
print(f"{len(times)} {pick(0.5):.2f} {pick(0.99):.2f} {times[-1] if times else 0:.2f}")
