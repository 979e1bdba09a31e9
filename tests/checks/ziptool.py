#!/usr/bin/env python3
"""Builds, damages and describes ZIP archives for the check tests.

  ziptool.py build OUT LAYOUT.json   layout: {"comment": str, "entries": [{"name": str,
                                   "text"|"hex": data, "method": 0|8, "date": [y,m,d,h,mi,s],
                                   "extra": hex}]}
  ziptool.py dump ZIP              prints "comment HEX" then one line per entry:
                                   "entry NAME-HEX METHOD YYYY-MM-DD_HH:MM:SS DATA-HEX" ("-" for empty); NAME-HEX is the
                                   name as zipfile decodes it (UTF-8 flag or CP437), in UTF-8
  ziptool.py flip ZIP NAME         flips the first data byte of the entry NAME
  ziptool.py badcrc ZIP NAME       changes the stored CRC of NAME (local and central header)
  ziptool.py patch ZIP NAME F=V..  sets header fields of NAME: method, usize, csize (local and
                                   central header), z64usize (the central Zip64 extra field)
  ziptool.py overlap ZIP N         repeats the central header of the first entry N times in all,
                                   so that N entries share one entry's data
  ziptool.py bulk OUT MB           OUT with a 1 KB "release.nfo" and MB megabytes of random data
                                   in stored entries of 4 MB
"""
import os
import json
import struct
import sys
import zipfile


def build(out, spec_path):
    with open(spec_path) as f:
        layout = json.load(f)
    with zipfile.ZipFile(out, "w") as z:
        for e in layout.get("entries", []):
            info = zipfile.ZipInfo(e["name"], tuple(e.get("date", [2020, 1, 2, 3, 4, 6])))
            info.compress_type = zipfile.ZIP_DEFLATED if e.get("method", 8) == 8 else zipfile.ZIP_STORED
            if "extra" in e:
                info.extra = bytes.fromhex(e["extra"])
            data = bytes.fromhex(e["hex"]) if "hex" in e else e.get("text", "").encode()
            z.writestr(info, data)
        if "comment" in layout:
            z.comment = layout["comment"].encode()


def dump(path):
    with zipfile.ZipFile(path) as z:
        print("comment", z.comment.hex() or "-")
        for i in z.infolist():
            date = "%04d-%02d-%02d_%02d:%02d:%02d" % i.date_time
            print("entry", i.filename.encode("utf-8").hex(),
                  i.compress_type, date, z.read(i).hex() or "-")


def local_header(data, z, name):
    info = z.getinfo(name)
    off = info.header_offset
    n, m = struct.unpack("<HH", data[off + 26:off + 30])
    return info, off, off + 30 + n + m


def flip(path, name):
    data = bytearray(open(path, "rb").read())
    with zipfile.ZipFile(path) as z:
        _, _, start = local_header(data, z, name)
    data[start] ^= 0xFF
    open(path, "wb").write(data)


def badcrc(path, name):
    data = bytearray(open(path, "rb").read())
    with zipfile.ZipFile(path) as z:
        info, off, _ = local_header(data, z, name)
        crc = struct.pack("<I", info.CRC)
        bad = struct.pack("<I", info.CRC ^ 0x5A5A5A5A)
    data[off + 14:off + 18] = bad
    cd = data.find(b"PK\x01\x02")
    while cd >= 0 and not (data[cd + 16:cd + 20] == crc and
                           data[cd + 46:cd + 46 + len(name.encode())] == name.encode()):
        cd = data.find(b"PK\x01\x02", cd + 4)
    if cd < 0:
        sys.exit("central header not found")
    data[cd + 16:cd + 20] = bad
    open(path, "wb").write(data)


def central_headers(data, z):
    """Yields (offset, name) of every central header."""
    at = z.start_dir
    while data[at:at + 4] == b"PK\x01\x02":
        n, m, k = struct.unpack("<HHH", data[at + 28:at + 34])
        yield at, bytes(data[at + 46:at + 46 + n]).decode("utf-8", "replace")
        at += 46 + n + m + k


def patch(path, name, fields):
    data = bytearray(open(path, "rb").read())
    with zipfile.ZipFile(path) as z:
        _, local, _ = local_header(data, z, name)
        central = [at for at, n in central_headers(data, z) if n == name][0]
    for field in fields:
        key, value = field.split("=")
        value = int(value)
        if key == "z64usize":
            n, m = struct.unpack("<HH", data[central + 28:central + 32])
            extra = central + 46 + n
            while struct.unpack("<H", data[extra:extra + 2])[0] != 1:
                extra += 4 + struct.unpack("<H", data[extra + 2:extra + 4])[0]
            data[extra + 4:extra + 12] = struct.pack("<Q", value)
            continue
        fmt, lo, ce = {"method": ("<H", 8, 10), "csize": ("<I", 18, 20), "usize": ("<I", 22, 24)}[key]
        size = struct.calcsize(fmt)
        data[local + lo:local + lo + size] = struct.pack(fmt, value)
        data[central + ce:central + ce + size] = struct.pack(fmt, value)
    open(path, "wb").write(data)


def overlap(path, copies):
    data = open(path, "rb").read()
    with zipfile.ZipFile(path) as z:
        start = z.start_dir
        first = list(central_headers(data, z))
    end = first[1][0] if len(first) > 1 else data.rfind(b"PK\x05\x06")
    directory = data[start:end] * copies
    record = bytearray(data[data.rfind(b"PK\x05\x06"):])
    record[8:16] = struct.pack("<HHII", copies, copies, len(directory), start)
    open(path, "wb").write(data[:start] + directory + record)


def bulk(out, megabytes):
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        z.writestr("release.nfo", b"nfo line\n" * 114)
        for i in range(0, megabytes, 4):
            z.writestr("data/part%02d.bin" % i, os.urandom(min(4, megabytes - i) << 20))


def raw(path):
    data = open(path, "rb").read()
    with zipfile.ZipFile(path) as z:
        for i in z.infolist():
            _, _, start = local_header(data, z, i.filename)
            print("entry", i.filename, i.compress_type,
                  data[start:start + i.compress_size].hex() or "-")


class Unseekable:
    def __init__(self, f):
        self.f = f

    def write(self, b):
        return self.f.write(b)

    def flush(self):
        self.f.flush()


def streamed(out):
    text = b"streamed line of text\n" * 3000
    with open(out, "wb") as f, zipfile.ZipFile(Unseekable(f), "w") as z:
        z.writestr(zipfile.ZipInfo("deflated.txt", (2021, 5, 6, 7, 8, 10)), text, zipfile.ZIP_DEFLATED)
        z.writestr(zipfile.ZipInfo("stored.txt", (2021, 5, 6, 7, 8, 12)), text, zipfile.ZIP_STORED)


if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "build":
        build(sys.argv[2], sys.argv[3])
    elif cmd == "dump":
        dump(sys.argv[2])
    elif cmd == "flip":
        flip(sys.argv[2], sys.argv[3])
    elif cmd == "badcrc":
        badcrc(sys.argv[2], sys.argv[3])
    elif cmd == "patch":
        patch(sys.argv[2], sys.argv[3], sys.argv[4:])
    elif cmd == "overlap":
        overlap(sys.argv[2], int(sys.argv[3]))
    elif cmd == "bulk":
        bulk(sys.argv[2], int(sys.argv[3]))
    elif cmd == "raw":
        raw(sys.argv[2])
    elif cmd == "streamed":
        streamed(sys.argv[2])
    else:
        sys.exit("unknown command " + cmd)
