#!/usr/bin/python3
"""A mail server stand-in that holds any number of idle sessions: it greets every connection
with "220 sink" and reads and discards whatever comes, answering nothing more.

Usage: idle_sink.py PORT
Listens on 127.0.0.1:PORT with the hard descriptor limit as its own; runs until killed.
"""
import asyncio
import resource
import sys

hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


async def session(reader, writer):
    try:
        writer.write(b"220 sink\r\n")
        while await reader.read(65536):
            pass
    except OSError:
        pass
    writer.close()


async def main():
    server = await asyncio.start_server(session, "127.0.0.1", int(sys.argv[1]), backlog=4096)
    await server.serve_forever()


asyncio.run(main())
