#!/usr/bin/python3
"""A DNS forwarder that answers late: every UDP query to LISTEN goes on at once to UPSTREAM, and
its answer comes back DELAY_MS later, as answers from block lists across the Internet do.

Usage: delay_dns.py LISTEN_IP:PORT UPSTREAM_IP:PORT DELAY_MS
Queries are renumbered on their way up, so that clients using the same query id never get each
other's answers. Runs until killed.
"""
import asyncio
import sys


def address(text):
    host, port = text.rsplit(":", 1)
    return host, int(port)


class Upstream(asyncio.DatagramProtocol):
    def __init__(self, front, delay):
        self.front, self.delay = front, delay
        self.pending, self.next_id = {}, 0
        self.transport = None

    def connection_made(self, transport):
        self.transport = transport

    def ask(self, query, client):
        if len(query) < 12:
            return
        self.next_id = (self.next_id + 1) & 0xFFFF
        self.pending[self.next_id] = (query[:2], client)
        self.transport.sendto(self.next_id.to_bytes(2, "big") + query[2:])

    def datagram_received(self, answer, _):
        entry = self.pending.pop(int.from_bytes(answer[:2], "big"), None)
        if entry is None:
            return
        original_id, client = entry
        reply = original_id + answer[2:]
        asyncio.get_running_loop().call_later(self.delay, self.front.transport.sendto, reply, client)


class Front(asyncio.DatagramProtocol):
    def __init__(self):
        self.transport = None
        self.upstream = None

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, query, client):
        self.upstream.ask(query, client)


async def main():
    listen, upstream, delay = address(sys.argv[1]), address(sys.argv[2]), int(sys.argv[3]) / 1000
    loop = asyncio.get_running_loop()
    front = Front()
    await loop.create_datagram_endpoint(lambda: front, local_addr=listen)
    _, front.upstream = await loop.create_datagram_endpoint(
        lambda: Upstream(front, delay), remote_addr=upstream)
    await asyncio.Event().wait()


asyncio.run(main())
