#!/usr/bin/python3
# A mail server for tests that takes a PROXY protocol header first (aiosmtpd with
# proxy_protocol_timeout), on 127.0.0.1 and ::1 at the port given. For each message it takes it
# appends one line to the file given: the header's version, the client the header names (address
# and port), the address and port that client connected to, the session's own peer address, and
# the message's bytes as received, in hexadecimal. A connection without a valid header is closed.
#
# Usage: proxy_smtpd.py PORT FILE   (Debian's /usr/bin/python3 with python3-aiosmtpd)
import asyncio
import sys

from aiosmtpd.smtp import SMTP


class Recorder:
    def __init__(self, path):
        self.path = path

    # aiosmtpd takes a connection only when its handler accepts the header.
    async def handle_PROXY(self, server, session, envelope, proxy_data):
        return True

    async def handle_DATA(self, server, session, envelope):
        proxy = session.proxy_data
        with open(self.path, "a") as out:
            out.write(f"{proxy.version} {proxy.src_addr} {proxy.src_port} {proxy.dst_addr} "
                      f"{proxy.dst_port} {session.peer[0]} {envelope.original_content.hex()}\n")
        return "250 OK"


async def serve(port, path):
    loop = asyncio.get_running_loop()
    handler = Recorder(path)
    server = await loop.create_server(
        lambda: SMTP(handler, proxy_protocol_timeout=5, loop=loop),
        host=["127.0.0.1", "::1"], port=port)
    async with server:
        await server.serve_forever()


asyncio.run(serve(int(sys.argv[1]), sys.argv[2]))
