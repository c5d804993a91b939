#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The seeds are kept in the repository; run this again only to change them. Each seed is a
well-formed input of its target's format, so that the fuzzers start from inputs that reach
deep into the code instead of being refused at the first byte.
"""
import base64
import os
import shutil
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def folder(target):
    path = os.path.join(HERE, "corpus", target)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


def write(path, name, data):
    with open(os.path.join(path, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("latin-1"))


def s3(address, data):
    body = struct.pack(">BI", len(data) + 5, address) + data
    checksum = ~sum(body) & 0xFF
    return "S3" + (body + bytes([checksum])).hex().upper()


def env_block(entries, length):
    body = b"".join(name + b"=" + value + b"\0" for name, value in sorted(entries.items()))
    body = body[: length - 4].ljust(length - 4, b"\0")
    return struct.pack(">I", zlib.crc32(body)) + body


# The script reader: the examples and scripts that end in each kind of error.
scripts = folder("script_reader_fuzz")
for name in sorted(os.listdir(os.path.join(ROOT, "examples"))):
    if name.endswith(".QOR"):
        shutil.copy(os.path.join(ROOT, "examples", name), os.path.join(scripts, name))
write(scripts, "typos.qor", "*script 0x1234 2 Plus\n*restrat\n*download 0x1000 16\n"
      + s3(0x1000, b"\x42") + "\nS1050000104200\njunk\n*section \"a b\"\n")
write(scripts, "errors.qor", "*download 0x1000 8\nS30900001000FFFFFFFFFF\nS3X\n")
write(scripts, "environment.qor",
      "*loadenv 0xF00000 0x1000\n*setenv ip \"127.0.0.10\"\n*setenv old\n"
      "*editenv a b c\n*saveenv 0xF00000 0x1000\n*restart\n")
write(scripts, "long-line.qor", "*section " + "x" * 300 + "\r\n*restart\r\n")

# S-records into an image: base and length, then lines.
records = folder("srecord_fuzz")
head = struct.pack(">IH", 0x1000, 0x800)


def lines(*texts):
    return "\n".join(texts).encode("latin-1")


write(records, "inside", head + lines(
    s3(0x1000, bytes(range(16))), s3(0x17F0, b"\xAA" * 16), "S0030000FC", "S70500001000EA"))
write(records, "outside", head + lines(
    s3(0x0FFF, b"\x01\x02"), s3(0x17FF, b"\x01\x02"), s3(0xFFFFFFFF, b"\x01\x02")))
write(records, "malformed", head + lines(
    "S3040000100000", "S30600001000", "S30600001000GG00", "s306000010004200", "S1050000104200"))

# Environment blocks: a flag (a name already in the table), the block length to build, then the
# block as read.
blocks = folder("environment_block_fuzz")
entries = {b"ipaddr": b"127.0.0.10", b"netmask": b"255.0.0.0", b"bootdelay": b"3",
           b"bootargs": b"console=ttyS0,115200 quiet"}
write(blocks, "valid", b"\0" + struct.pack(">H", 256) + env_block(entries, 256))
write(blocks, "tight", b"\1" + struct.pack(">H", 16) + env_block({b"a": b"123456789"}, 16))
write(blocks, "odd-entries", b"\0" + struct.pack(">H", 64)
      + env_block({b"": b"v", b"e": b"", b"preset": b"x", b"a": b"b=c"}, 64))
write(blocks, "bad-crc", b"\0" + struct.pack(">H", 3) + b"\0\0\0\0name=value\0")

# The wire codec: one message of each type.
wire = folder("wire_decode_fuzz")
mac = bytes([0x02, 0, 0, 0, 0, 0x01])


def header(kind):
    return struct.pack(">HH", 1, kind) + mac + b"\0\0"


write(wire, "discover-request", struct.pack(">HH", 1, 1))
write(wire, "assign", header(2) + struct.pack(">I", 0x7F00000A))
write(wire, "fill", header(3) + struct.pack(">III", 41, 0xFFFFFFFF, 4096))
write(wire, "data", header(4) + struct.pack(">II", 41, 1024) + bytes(range(64)))
write(wire, "write", header(5) + struct.pack(">IIII", 41, 0x1000, 4096, 0xCBF43926))
write(wire, "read", header(7) + struct.pack(">III", 41, 0xF00000, 1024))
write(wire, "restart", header(8) + struct.pack(">I", 41))
write(wire, "discover-reply", header(0x8001) + struct.pack(">IHHI", 0x7F00000A, 0x1234, 1, 0x100000))
write(wire, "final", header(0x8002) + struct.pack(">II", 41, 0) + b"payload")
write(wire, "progress", header(0x8003) + struct.pack(">II", 41, 0x00F00400))

# The dispatch with runs in progress: operations (see DispatchFuzz.cpp). A reply to target A's
# request (op 3) or B's (op 11) with a payload length, then a tick (op 0).
dispatch = folder("dispatch_fuzz")


def answer(target, payload=b""):
    return bytes([3 | (target << 3)]) + struct.pack(">H", len(payload)) + payload + b"\0"


image = bytearray(b"\xFF" * 3000)
image[0:8] = bytes(range(1, 9))
image[0xBB0:0xBB4] = b"\xCA\xFE\xBA\xBE"
block = env_block(entries, 2100)
happy = answer(0) * 4  # fill, two chunks, write
for at in range(0, 3000, 1024):
    happy += answer(0, bytes(image[at:at + 1024]))  # the image read back
happy += answer(0)  # the restart
for at in range(0, 2100, 1024):
    happy += answer(1, block[at:at + 1024])  # the environment read
happy += answer(1) * 5  # fill, three chunks, write
write(dispatch, "happy", happy)
write(dispatch, "refused", answer(0) + bytes([0x23, 3]) + struct.pack(">H", 0) + b"\0")
write(dispatch, "silent", bytes([1, 29, 1, 39]))
write(dispatch, "noise", bytes([2, 250]) + b"\x80" * 1250 + bytes([5 | 0x10]) + mac + b"\0" * 12
      + bytes([6, 0, 2, 0x80, 2, 4]) + b"\1\2\3\4" + bytes([4]) + b"\0\0\0\7" + b"\0")

# Minisign files: a public key and signatures of both kinds, made of fixed bytes (a key id and
# signature bytes that check nothing; the fuzzer looks at the files' shape, not at signatures).
minisign = folder("minisign_fuzz")
key_id = bytes(range(0x11, 0x19))
write(minisign, "key.pub", "untrusted comment: minisign public key 1817161514131211\n"
      + base64.b64encode(b"Ed" + key_id + bytes(range(32))).decode() + "\n")
for name, algorithm in (("hashed.minisig", b"ED"), ("legacy.minisig", b"Ed")):
    write(minisign, name, "untrusted comment: signature from minisign secret key\r\n"
          + base64.b64encode(algorithm + key_id + bytes(range(64))).decode() + "\r\n"
          + "trusted comment: timestamp:1796791020\tfile:x.QOR\thashed\r\n"
          + base64.b64encode(bytes(range(64, 128))).decode() + "\r\n")
write(minisign, "base64", base64.b64encode(b"any bytes at all\x00\xff").decode())

# Station records: start and end lines of a pass, a failure run again, a cancellation, a line
# torn at the end; and one with every field of an end line, CR LF ended.
records = folder("record_reader_fuzz")
end = ('{"event":"end","started":"2026-12-09T10:0%d:00.000Z","ended":"2026-12-09T10:0%d:41.5Z",'
       '"mac":"02:00:00:00:00:0%d","outcome":"%s","error":%s,"seconds":41.5}\n')
write(records, "shift",
      '{"event":"start","time":"2026-12-09T10:01:00.000Z","mac":"02:00:00:00:00:01"}\n'
      + end % (1, 1, 1, "failed", '"Target refused the WriteRequest for 00020000 (status 3)"')
      + "\n" + end % (3, 3, 1, "passed", "null") + end % (4, 4, 2, "cancelled", '"Cancelled"')
      + '{"event":"note"}\n{"event":"end","started":"2026-12-09T10:0')
write(records, "full",
      '{"event":"end","started":"2026-12-09T10:15:02.123+01:00","ended":"2026-12-09T10:15:04.456Z",'
      '"mac":"02:00:00:00:00:01","vendor":4660,"product":1,"product_name":"Demo Board",'
      '"ip_before":null,"ip_after":"127.0.1.1","script":"/abs/x.QOR","script_sha256":"ab",'
      '"images":[{"base":131072,"length":8192,"crc32":3431673490}],"unit_values":null,'
      '"outcome":"passed","error":null,"seconds":2.333,"bytes_sent":9300,"resends":0,'
      '"restart_confirmed":true,"qorctl":"0.1.0"}\r\n')
