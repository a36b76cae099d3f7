#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<target>/ from the documented examples.

Run from anywhere: python3 fuzz/seeds.py. Each seed is laid out the way its
target reads its input (see the comment at the top of each fuzz_*.cpp).
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for i, seed in enumerate(seeds):
        with open(os.path.join(folder, "seed%02d" % i), "wb") as f:
            f.write(seed)


def le16(n):
    return struct.pack("<H", n)


def troquel(n):
    record = b"0" * 51 if n == 0 else str(n).encode()
    return record.ljust(51, b"X")


REQUEST = b"|G01=1234|G04=556677|G08=42|G99=000020|"
ANSWER = (b"|F01=1234|F04=556677|F08=42|F41=caja1|F50=ND|F51=RECETA PRE-AUTORIZADA|"
          b"F52=G20310000017|F99=000021|")


def fields(source, name, value=b"", caps=le16(64) + le16(16) + le16(1024), name2=b"G99"):
    return b"\0".join([source, name, value, caps, name2])


write("fields", [
    fields(b"|G01=1234|G06=AAAA|G99=000020|", b"G99", b"BBBB"),
    fields(b"|G01=1234|G99=000020|", b"G06", b"BBBB", name2=b"G41"),
    fields(b"|G011=5|G01=7|", b"G01"),
    fields(b"|G01=5", b"G01", b"caja1"),
    fields(b"|G01=|", b"G01"),
    fields(b"|A=x=y|", b"A"),
    fields(b"|G01=1|", b"G0"),
    fields(b"|G01=1|G06=x|G08=2|", b"G06"),
    fields(b"", b"F01", b"1234"),
    fields(REQUEST, b"G04", b"", le16(3) + le16(6) + le16(40)),
    fields(b"|G01=1234|G81=", b"G81", b"0001|"),
])


def layout(text, capacity=1024):
    return text + b"\0" + le16(capacity)


write("layout", [
    layout(ANSWER),
    layout(b"|F10=x|F01=5|F20=y|F99=21|"),
    layout(b"|F10=x|F01=5"),
    layout(b""),
    layout(ANSWER + b"\r\n\n"),
    layout(b"|F50=123|F41=caja1|"),
    layout(b"|F50=|F51=" + b"R" * 50 + b"|"),
    layout(ANSWER, 252),
])


def packet(type_, name, size, message):
    return b"\0".join([struct.pack("<I", type_), name, le16(size), message])


write("packet", [
    packet(1, b"ABCD", 4096, b"|G01=1234|G99=00002|"),
    packet(1, b"AB", 4096, b"x"),
    packet(70000, b"AB", 4096, REQUEST),
    packet(0, b"CLI1", 4096, b"|G01=1234|G81=0001|"),
    packet(3, b"AB", 20, REQUEST),
    packet(1, b"", 4096, REQUEST),
    packet(1, b"AB", 4096, b"line one\r\nline two\n\r"),
])


def argv(*args):
    return b"\0".join(a.encode("latin-1") for a in args)


write("init", [
    argv("-n", "AB", "-r", "C:\\farm"),
    argv("-n", "AB", "-r", "farm", "-g", "gateway:80"),
    argv("-n", "AB", "-r", "farm", "-g", "gateway:"),
    argv("-n", "AB", "-r", "farm", "-g", ":80"),
    argv("-n", "AB", "-r", "farm", "-t", "01,02,03"),
    argv("-n", "AB", "-r", "farm", "-t", "01,,03", "-L", "1", "-c", "3", "-p", "-1"),
    argv("-n", "AB", "-r", "farm", "-b", "x"),
    argv("-o", "x", "-n", "AB", "-r", "farm"),
    argv("-n", "AB", "-r", "farm", "-l", "svc.log,1,300", "-w", "3", "-T", "500"),
    argv("-nABCD", "-rfarm", "-F1234", "-tcaja1,caja2", "extra", "-z"),
    argv("-n", "AB", "-r", "farm", "-t", ",".join(str(i) for i in range(11))),
    argv("-n", "AB", "-r"),
])


def reply(text):
    return struct.pack(">IH", len(text) + 6, 2) + b"GATE" + text


APPROVAL = b"|F01=1234|F52=A0001|F99=000021|"


def pipeline(request, gateway_reply=b"", mode=0, flags=4):
    return bytes([mode, flags]) + le16(len(request)) + request + gateway_reply


WITH_TROQUELES = b"|G01=1234|G04=556677|G08=42|G06=" + troquel(1) + troquel(2) + troquel(3)
write("pipeline", [
    pipeline(REQUEST, reply(APPROVAL)),
    pipeline(REQUEST, reply(b"|F50=00|")),
    pipeline(b"|G01=1234|G04=556677|G08=42|G99=20|", reply(APPROVAL)),
    pipeline(b"|G01=1234|G04=556677|G08=42|G06=" + b"1" * 100 + b"|G99=000020|"),
    pipeline(WITH_TROQUELES + b"|G99=000020|", reply(APPROVAL)),
    pipeline(WITH_TROQUELES + b"|G99=000010|", reply(APPROVAL), flags=7),
    pipeline(REQUEST, mode=1),
    pipeline(REQUEST, mode=2),
    pipeline(b"|G01=1234|G06=" + troquel(7) + troquel(0) + b"|G99=000020|\r\n", reply(APPROVAL)),
    pipeline(REQUEST, b"\0\0\0\x10\0\x02GATE|F5\0\x012|\xff\xfe"),
    pipeline(REQUEST, reply(b"|F52=" + b"9" * 4080 + b"|")),
    pipeline(REQUEST, reply(ANSWER), flags=5),
    pipeline(b"|G01=" + b"1" * 1000 + b"|G99=000020|", reply(b"|F50=05|")),
])
