#!/usr/bin/python3
"""The soak's two peers (bench/soak runs them; nothing here is a test).

soak_peers.py server PORT STATS
    A mail server (aiosmtpd) on 127.0.0.1:PORT that checks every message byte for byte: each
    carries the SHA-256 of its body in an X-Digest header. Every second it writes
    "ok bad" to STATS.
soak_peers.py clients GATEWAY_PORT SESSIONS MESSAGES SECONDS STATS
    SESSIONS concurrent SMTP sessions through the gateway, each sending MESSAGES messages of
    1 to 16 KiB and quitting, and a new one started in its place, until SECONDS have passed.
    Every second it writes "sessions messages failures" to STATS; exits non-zero on a failure.
"""
import asyncio
import base64
import hashlib
import os
import random
import sys
import time


def write_stats(path, *values):
    with open(path + ".tmp", "w") as out:
        out.write(" ".join(str(v) for v in values) + "\n")
    os.replace(path + ".tmp", path)


def run_server(port, stats):
    from aiosmtpd.controller import Controller

    counts = {"ok": 0, "bad": 0}

    class Checker:
        async def handle_DATA(self, server, session, envelope):
            head, _, body = envelope.content.partition(b"\r\n\r\n")
            digest = b""
            for line in head.split(b"\r\n"):
                if line.startswith(b"X-Digest: "):
                    digest = line[10:]
            good = digest == hashlib.sha256(body).hexdigest().encode()
            counts["ok" if good else "bad"] += 1
            return "250 OK"

    controller = Controller(Checker(), hostname="127.0.0.1", port=port,
                            server_kwargs={"data_size_limit": 0})
    controller.start()
    while True:
        write_stats(stats, counts["ok"], counts["bad"])
        time.sleep(1)


def message(rng):
    lines = [base64.b64encode(rng.randbytes(57)) for _ in range(rng.randint(16, 280))]
    body = b"\r\n".join(lines) + b"\r\n"
    head = b"Subject: soak\r\nX-Digest: " + hashlib.sha256(body).hexdigest().encode()
    return head + b"\r\n\r\n" + body


async def expect(reader, code):
    while True:
        line = await reader.readline()
        if not line.startswith(code):
            raise RuntimeError("expected %r, got %r" % (code, line))
        if line[3:4] != b"-":
            return


async def session(port, messages, rng, totals):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    try:
        await expect(reader, b"220")
        writer.write(b"EHLO soak.test\r\n")
        await expect(reader, b"250")
        for _ in range(messages):
            writer.write(b"MAIL FROM:<soak@soak.test>\r\n")
            await expect(reader, b"250")
            writer.write(b"RCPT TO:<sink@soak.test>\r\n")
            await expect(reader, b"250")
            writer.write(b"DATA\r\n")
            await expect(reader, b"354")
            writer.write(message(rng) + b".\r\n")
            await expect(reader, b"250")
            totals["messages"] += 1
        writer.write(b"QUIT\r\n")
        await expect(reader, b"221")
        totals["sessions"] += 1
    finally:
        writer.close()


async def run_clients(port, sessions, messages, seconds, stats):
    totals = {"sessions": 0, "messages": 0, "failures": 0}
    deadline = time.monotonic() + seconds

    async def worker(index):
        rng = random.Random(index)
        while time.monotonic() < deadline:
            try:
                await session(port, messages, rng, totals)
            except (OSError, RuntimeError, asyncio.IncompleteReadError) as error:
                totals["failures"] += 1
                print("session failed:", error, file=sys.stderr)

    async def reporter():
        while True:
            write_stats(stats, totals["sessions"], totals["messages"], totals["failures"])
            await asyncio.sleep(1)

    report = asyncio.ensure_future(reporter())
    await asyncio.gather(*(worker(i) for i in range(sessions)))
    report.cancel()
    write_stats(stats, totals["sessions"], totals["messages"], totals["failures"])
    return totals["failures"]


if __name__ == "__main__":
    if sys.argv[1] == "server":
        run_server(int(sys.argv[2]), sys.argv[3])
    else:
        failures = asyncio.run(run_clients(int(sys.argv[2]), int(sys.argv[3]),
                                           int(sys.argv[4]), float(sys.argv[5]), sys.argv[6]))
        sys.exit(1 if failures else 0)
