#!/usr/bin/python3
"""Many idle SMTP clients held open through a relay, for the memory benchmark.

Usage: hold_clients.py PORT TARGET [TARGET ...]
Connects to 127.0.0.1:PORT from source addresses 127.0.1.1, 127.0.1.2, ... (a thousand
connections each, so the client side never runs out of ports), at most 200 waiting for their
greeting at a time, and keeps every connection whose greeting arrived, reading nothing more.
At each TARGET (or when no greeting has come for 3 s: the other end's limit) it prints
"held N refused M" and pauses 3 s, so the caller can measure. Runs until killed.
"""
import errno
import resource
import selectors
import socket
import sys
import time

port, targets = int(sys.argv[1]), [int(t) for t in sys.argv[2:]]
hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
selector = selectors.DefaultSelector()
held, refused, opened = [], 0, 0
waiting = 0


def open_one():
    global opened, waiting
    source = f"127.0.{1 + opened // 250000}.{1 + opened // 1000 % 250}"
    conn = socket.socket()
    conn.setblocking(False)
    conn.bind((source, 0))
    code = conn.connect_ex(("127.0.0.1", port))
    if code not in (0, errno.EINPROGRESS):
        conn.close()
        raise OSError(code, "connect")
    selector.register(conn, selectors.EVENT_READ)
    opened += 1
    waiting += 1


for target in targets:
    last_progress = time.monotonic()
    while len(held) < target and time.monotonic() - last_progress < 3:
        while waiting < 200 and len(held) + waiting < target:
            open_one()
        for key, _ in selector.select(timeout=0.2):
            conn = key.fileobj
            selector.unregister(conn)
            waiting -= 1
            try:
                greeting = conn.recv(4096)
            except OSError:
                greeting = b""
            if greeting.startswith(b"220"):
                held.append(conn)
                last_progress = time.monotonic()
            else:
                refused += 1
                conn.close()
    print(f"held {len(held)} refused {refused}", flush=True)
    time.sleep(3)
while True:
    time.sleep(60)
