#!/usr/bin/python3
"""Dump the properties of a .msg file as olefile sees them, one line each.

Used by the MSG cross-check test: an independent reader (python3-olefile)
must find the same property tags and value bytes as ours. Values are
normalised the way our message model keeps them (trailing NULs and an odd
last byte of strings dropped, booleans as 0/1), so a difference is a real one.
The lines are those qm::testing::dumpMessage(m, true) makes (see there), with
the CRC-32 seeded 0 without the final XOR (zlib.crc32(d, ~0) ^ ~0). Run with
/usr/bin/python3 (Debian's olefile lives there).
"""
import sys
import zlib

import olefile

FIXED = {0x0002: 2, 0x0003: 4, 0x0004: 4, 0x0005: 8, 0x0006: 8, 0x0007: 8, 0x000A: 4,
         0x000B: 1, 0x0014: 8, 0x0040: 8}
STREAM = {0x001E, 0x001F, 0x0102, 0x0048, 0x00FB, 0x00FD, 0x00FE}
KNOWN = set(FIXED) | STREAM | {0x0000, 0x0001, 0x000D}


def tidy(base, data):
    if base == 0x001F:
        data = data[:len(data) // 2 * 2]
        while data[-2:] == b"\0\0":
            data = data[:-2]
    elif base == 0x001E:
        data = data.rstrip(b"\0")
    return data


class Dumper:
    def __init__(self, ole):
        self.ole = ole
        self.lines = []

    def kids(self, entry):
        return {k.name.upper(): k for k in entry.kids}

    def read(self, entry):
        return self.ole._open(entry.isectStart, entry.size).read()

    def message(self, entry, header, path):
        kids = self.kids(entry)
        self.properties(kids, header, path)
        objects = {"RECIP": [], "ATTACH": []}
        for name, k in kids.items():
            for kind, found in objects.items():
                if name.startswith("__%s_VERSION1.0_#" % kind):
                    found.append((int(name[-8:], 16), k))
        recips, attachs = sorted(objects["RECIP"]), sorted(objects["ATTACH"])
        self.lines.append("C %s %d %d" % (path, len(recips), len(attachs)))
        for i, (_, k) in enumerate(recips):
            self.properties(self.kids(k), 8, path + "r%d/" % i)
        for i, (_, k) in enumerate(attachs):
            apath = path + "a%d/" % i
            akids = self.kids(k)
            method = self.properties(akids, 8, apath)
            obj = akids.get("__SUBSTG1.0_3701000D")
            if obj is not None and obj.entry_type == olefile.STGTY_STORAGE:
                self.lines.append("P %s 3701000D O" % apath)
                if method != 6 and "__PROPERTIES_VERSION1.0" in self.kids(obj):
                    self.message(obj, 24, apath + "e/")

    def properties(self, kids, header, path):
        props = self.read(kids["__PROPERTIES_VERSION1.0"])
        method = None
        found = {}  # a tag listed twice counts once, as in our reader
        for off in range(header, len(props) - 15, 16):
            tag, flags = (int.from_bytes(props[off + i:off + i + 4], "little") for i in (0, 4))
            value = props[off + 8:off + 16]
            ptype = tag & 0xFFFF
            base = ptype & ~0x1000
            name = "__SUBSTG1.0_%08X" % tag
            st = kids.get(name)
            if tag == 0x37050003:
                method = int.from_bytes(value[:4], "little", signed=True)
            if ptype == 0x000D:
                # An attachment's object is listed with the attachment.
                if tag != 0x3701000D and st is not None and st.entry_type == olefile.STGTY_STORAGE:
                    found[tag] = "O"
                continue
            if ptype & 0x1000:
                if st is None:
                    continue
                data = self.read(st)
                if base not in FIXED and base != 0x0048:  # GUIDs are fixed-size elements
                    step = 8 if base == 0x0102 else 4
                    items = (tidy(base, self.read(kids["%s-%08X" % (name, i)]))
                             for i in range(len(data) // step))
                    data = b"".join(len(v).to_bytes(4, "little") + v for v in items)
            elif ptype in FIXED:
                data = value[:FIXED[ptype]]
                if ptype == 0x000B:
                    data = bytes([1 if data[0] else 0])
            elif (ptype in STREAM or ptype not in KNOWN) and st is not None \
                    and st.entry_type == olefile.STGTY_STREAM:
                data = tidy(ptype, self.read(st))
            elif ptype in STREAM:
                continue
            else:
                data = value
            crc = zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF
            found[tag] = "%d %d %d" % (flags, len(data), crc)
        self.lines.extend("P %s %08X %s" % (path, tag, text) for tag, text in found.items())
        return method


def main():
    ole = olefile.OleFileIO(sys.argv[1])
    d = Dumper(ole)
    d.message(ole.root, 32, "/")
    for line in sorted(d.lines):
        print(line)


if __name__ == "__main__":
    main()
