#!/usr/bin/env python3
"""Writes the seed inputs of the service-reply fuzz targets (run from this folder).

fuzz_service_reply takes the reply bytes as they are; fuzz_service_exchange takes one
mode byte (bit 0: the service echoes the request's id) followed by the reply bytes.
"""
import os
import struct

MAGIC = 0x47414343


def reply(payload=b"", status=0, magic=MAGIC, version=1, request_id=0, length=None, reserved=0):
    if length is None:
        length = len(payload)
    return struct.pack("<IHHQII", magic, version, reserved, request_id, status, length) + payload


SEEDS = {
    "idle": reply(b'{"state":"idle"}'),
    "accelerating": reply(b'{"state":"accelerating","session_id":"s-1","route_mode":"process-beta"}'),
    "both_words": reply(b'{"state":"idle","was":"accelerating"}'),
    "empty_ok": reply(),
    "refused_text": reply(b'{"error":"bad_private_key","message":"invalid key"}', status=3),
    "refused_empty": reply(status=0xFFFFFFFF),
    "chinese": reply('{"state":"idle","note":"隧道未建立 · 香港"}'.encode()),
    "invalid_utf8": reply(b'{"state":"\xff\xfe\xc3"}'),
    "largest": reply(b"a" * 65536),
    "too_large": reply(b"a" * 16, length=65537),
    "short_payload": reply(b"abc", length=10),
    "short_header": reply(b"")[:13],
    "bad_magic": reply(b"x", magic=0x43434147),
    "bad_version": reply(b"x", version=2),
    "reserved_set": reply(b'"idle"', reserved=0xBEEF),
    "trailing": reply(b'"idle"') + b"garbage after the frame",
}


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


for name, data in SEEDS.items():
    write("corpus/service_reply", name, data)
    # Replies with their own id, and (for a few) ones that do not echo it.
    write("corpus/service_exchange", name, b"\x01" + data)
write("corpus/service_exchange", "stale_id", b"\x00" + SEEDS["idle"])
write("corpus/service_exchange", "nothing", b"\x01")
