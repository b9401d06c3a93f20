#!/usr/bin/python3
"""A DNS server that misbehaves on purpose, for tests: scripted_dns.py PORTFILE QUERYLOG

Binds a free UDP port of 127.0.0.1, writes its number to PORTFILE, and answers every A query by
the last octet of the address it asks about (the first label of a DNSBL name):
  71 a packet cut inside its question      72 a listed answer with the wrong id
  73 an answer whose name points at itself 74 fifty A records 127.0.0.2
  75 a CNAME and no A record               76 SERVFAIL
  77 REFUSED                                78 nothing at all
  anything else: NXDOMAIN; but 2.0.0.127 under any zone is listed (127.0.0.2), as the test
  entry of every working list is.
A name with a label "waitN" (a zone named wait1500.test) is answered N milliseconds late, while
other queries go on being answered. Every name asked is appended to QUERYLOG, one a line.
"""
import heapq
import os
import select
import socket
import struct
import sys
import time


def question_end(query):
    pos = 12
    while query[pos] != 0:
        pos += 1 + query[pos]
    return pos + 5


def header(qid, flags, answers):
    return struct.pack(">HHHHHH", qid, 0x8180 | flags, 1, answers, 0, 0)


def a_record(name=b"\xc0\x0c"):
    return name + struct.pack(">HHIH", 1, 1, 60, 4) + bytes([127, 0, 0, 2])


def answer(query):
    qid = struct.unpack(">H", query[:2])[0]
    question = query[12:question_end(query)]
    octet = query[13:13 + query[12]].decode(errors="replace")
    if octet == "71":
        return header(qid, 0, 1) + question[: len(question) // 2]
    if octet == "72":
        return header(qid ^ 0x5A5A, 0, 1) + question + a_record()
    if octet == "73":
        loop = struct.pack(">H", 0xC000 | (12 + len(question)))
        return header(qid, 0, 1) + question + a_record(loop)
    if octet == "74":
        return header(qid, 0, 50) + question + a_record() * 50
    if octet == "75":
        target = b"\x05other\x07example\x00"
        cname = b"\xc0\x0c" + struct.pack(">HHIH", 5, 1, 60, len(target)) + target
        return header(qid, 0, 1) + question + cname
    if octet == "76":
        return header(qid, 2, 0) + question
    if octet == "77":
        return header(qid, 5, 0) + question
    if octet == "78":
        return None
    if query[12:].startswith(b"\x012\x010\x010\x03127"):
        return header(qid, 0, 1) + question + a_record()
    return header(qid, 3, 0) + question


def labels(query):
    pos, names = 12, []
    while query[pos] != 0:
        names.append(query[pos + 1:pos + 1 + query[pos]].decode(errors="replace"))
        pos += 1 + query[pos]
    return names


def delay_of(names):
    for label in names:
        if label.startswith("wait") and label[4:].isdigit():
            return int(label[4:]) / 1000.0
    return 0.0


def main():
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind(("127.0.0.1", 0))
    with open(sys.argv[1] + ".tmp", "w") as out:
        out.write(str(server.getsockname()[1]))

    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    log = open(sys.argv[2], "a", buffering=1)
    late = []  # (due time, sequence, reply, peer), the soonest first
    sequence = 0
    while True:
        wait = max(0.0, late[0][0] - time.monotonic()) if late else None
        if select.select([server], [], [], wait)[0]:
            query, peer = server.recvfrom(4096)
            try:
                names = labels(query)
                reply = answer(query)
            except (IndexError, struct.error):
                continue
            log.write(".".join(names) + "\n")
            if reply is not None:
                sequence += 1
                heapq.heappush(late, (time.monotonic() + delay_of(names), sequence, reply, peer))
        while late and late[0][0] <= time.monotonic():
            _, _, reply, peer = heapq.heappop(late)
            server.sendto(reply, peer)


if __name__ == "__main__":
    main()
