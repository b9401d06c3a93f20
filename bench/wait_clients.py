#!/usr/bin/python3
"""Many clients that connect and then say nothing, for the talk-first wait benchmark.

Usage: wait_clients.py PORT COUNT
Connects COUNT times to 127.0.0.1:PORT from source addresses 127.0.2.1, 127.0.2.2, ... (a
thousand connections each), sends nothing and reads nothing. Prints "held N" once all are
connected (the kernel has completed every handshake), then keeps them until killed.
"""
import resource
import signal
import socket
import sys
import time

port, count = int(sys.argv[1]), int(sys.argv[2])
hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
held = []
for i in range(count):
    conn = socket.socket()
    conn.bind((f"127.0.2.{1 + i // 1000}", 0))
    conn.connect(("127.0.0.1", port))
    held.append(conn)
print(f"held {len(held)}", flush=True)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
while True:
    time.sleep(3600)
