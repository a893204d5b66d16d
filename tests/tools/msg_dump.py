#!/usr/bin/python3
"""Dump the properties of a .msg file as olefile sees them, one line each.

Used by the MSG cross-check test: an independent reader (python3-olefile)
must find the same property tags and value bytes as ours. Values are
normalised the way our message model keeps them (trailing NULs and an odd
last byte of strings dropped, booleans as 0/1), so a difference is a real one.

Lines (sorted):
  C <path> <recipients> <attachments>
  P <path> <TAG> I <hex>                 inline value (its meaningful bytes)
  P <path> <TAG> S <len> <crc>           value stream
  P <path> <TAG> M <n> <len>:<crc> ...   variable-size multi-valued
  P <path> <TAG> O                       storage (embedded message or OLE)
<path> is / for the message, then r<i>, a<i> and e (embedded) segments.
<crc> is CRC-32 seeded 0 without the final XOR (zlib.crc32(d, ~0) ^ ~0).
Run with /usr/bin/python3 (Debian's olefile lives there).
"""
import sys
import zlib

import olefile

FIXED = {0x0002: 2, 0x0003: 4, 0x0004: 4, 0x0005: 8, 0x0006: 8, 0x0007: 8, 0x000A: 4,
         0x000B: 1, 0x0014: 8, 0x0040: 8}
STREAM = {0x001E, 0x001F, 0x0102, 0x0048, 0x00FB, 0x00FD, 0x00FE}
KNOWN = set(FIXED) | STREAM | {0x0000, 0x0001, 0x000D}


def crc(data):
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def tidy(base, data):
    if base == 0x001F:
        if len(data) % 2:
            data = data[:-1]
        while len(data) >= 2 and data[-2:] == b"\0\0":
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
        methods = self.properties(kids, header, path)
        recips = sorted((int(n[-8:], 16), k) for n, k in kids.items()
                        if n.startswith("__RECIP_VERSION1.0_#"))
        attachs = sorted((int(n[-8:], 16), k) for n, k in kids.items()
                         if n.startswith("__ATTACH_VERSION1.0_#"))
        self.lines.append("C %s %d %d" % (path, len(recips), len(attachs)))
        for i, (_, k) in enumerate(recips):
            self.properties(self.kids(k), 8, path + "r%d/" % i)
        for i, (_, k) in enumerate(attachs):
            apath = path + "a%d/" % i
            akids = self.kids(k)
            method = self.properties(akids, 8, apath, attachment=True)
            obj = akids.get("__SUBSTG1.0_3701000D")
            if obj is not None and obj.entry_type == olefile.STGTY_STORAGE:
                self.lines.append("P %s 3701000D O" % apath)
                okids = self.kids(obj)
                if method != 6 and "__PROPERTIES_VERSION1.0" in okids:
                    self.message(obj, 24, apath + "e/")
        return methods

    def properties(self, kids, header, path, attachment=False):
        props = self.read(kids["__PROPERTIES_VERSION1.0"])
        found = {}
        method = None
        for off in range(header, len(props) - 15, 16):
            tag = int.from_bytes(props[off:off + 4], "little")
            value = props[off + 8:off + 16]
            ptype = tag & 0xFFFF
            base = ptype & ~0x1000
            name = "__SUBSTG1.0_%08X" % tag
            if ptype == 0x000D:
                if attachment and tag == 0x3701000D:
                    continue  # reported with the storage
                st = kids.get(name)
                if st is not None and st.entry_type == olefile.STGTY_STORAGE:
                    found[tag] = "O"
                continue
            if tag == 0x37050003:
                method = int.from_bytes(value[:4], "little", signed=True)
            if ptype & 0x1000:
                st = kids.get(name)
                if st is None:
                    continue
                data = self.read(st)
                if base in FIXED or base == 0x0048:  # GUIDs are fixed-size elements
                    found[tag] = "S %d %d" % (len(data), crc(data))
                else:
                    step = 8 if base == 0x0102 else 4
                    parts = []
                    for i in range(len(data) // step):
                        v = tidy(base, self.read(kids["%s-%08X" % (name, i)]))
                        parts.append("%d:%d" % (len(v), crc(v)))
                    found[tag] = ("M %d %s" % (len(parts), " ".join(parts))).rstrip()
            elif ptype in FIXED:
                v = value[:FIXED[ptype]]
                if ptype == 0x000B:
                    v = bytes([1 if v[0] else 0])
                found[tag] = "I " + v.hex()
            elif ptype in STREAM or ptype not in KNOWN:
                st = kids.get(name)
                if st is None or st.entry_type != olefile.STGTY_STREAM:
                    if ptype in STREAM:
                        continue
                    found[tag] = "I " + value.hex()
                    continue
                data = tidy(ptype, self.read(st))
                found[tag] = "S %d %d" % (len(data), crc(data))
            else:
                found[tag] = "I " + value.hex()
        for tag, text in found.items():
            self.lines.append("P %s %08X %s" % (path, tag, text))
        return method


def main():
    ole = olefile.OleFileIO(sys.argv[1])
    d = Dumper(ole)
    d.message(ole.root, 32, "/")
    for line in sorted(d.lines):
        print(line)


if __name__ == "__main__":
    main()
