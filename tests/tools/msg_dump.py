#!/usr/bin/python3
"""Prints the properties of a .msg file as python3-olefile reads them, in the
lines qm::testing::dumpMessage(m, true) makes (with its CRC-32: zlib's seeded
~0, without the final XOR), so the MSG tests can hold our reader to another.
Values are normalised as our message model keeps them: trailing NULs and an
odd last byte of strings dropped, booleans 0 or 1."""
import sys
import zlib

import olefile

FIXED = {0x0002: 2, 0x0003: 4, 0x0004: 4, 0x0005: 8, 0x0006: 8, 0x0007: 8, 0x000A: 4,
         0x000B: 1, 0x0014: 8, 0x0040: 8}
STREAM = {0x001E, 0x001F, 0x0102, 0x0048, 0x00FB, 0x00FD, 0x00FE}
KNOWN = set(FIXED) | STREAM | {0x0000, 0x0001, 0x000D}
ole = olefile.OleFileIO(sys.argv[1])
lines = []


def kids(entry):
    return {k.name.upper(): k for k in entry.kids}


def read(entry):
    return ole._open(entry.isectStart, entry.size).read()


def tidy(base, data):
    if base == 0x001F:
        data = data[:len(data) // 2 * 2]
        while data[-2:] == b"\0\0":
            data = data[:-2]
    return data.rstrip(b"\0") if base == 0x001E else data


def properties(entries, header, path):
    props = read(entries["__PROPERTIES_VERSION1.0"])
    method, found = None, {}  # a tag listed twice counts once, as in our reader
    for off in range(header, len(props) - 15, 16):
        tag, flags = (int.from_bytes(props[off + i:off + i + 4], "little") for i in (0, 4))
        value, ptype = props[off + 8:off + 16], tag & 0xFFFF
        base = ptype & ~0x1000
        name = "__SUBSTG1.0_%08X" % tag
        st = entries.get(name)
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
            data = read(st)
            if base not in FIXED and base != 0x0048:  # GUIDs are fixed-size elements
                items = (tidy(base, read(entries["%s-%08X" % (name, i)]))
                         for i in range(len(data) // (8 if base == 0x0102 else 4)))
                data = b"".join(len(v).to_bytes(4, "little") + v for v in items)
        elif ptype in FIXED:
            data = bytes([value[0] != 0]) if ptype == 0x000B else value[:FIXED[ptype]]
        elif (ptype in STREAM or ptype not in KNOWN) and st is not None \
                and st.entry_type == olefile.STGTY_STREAM:
            data = tidy(ptype, read(st))
        elif ptype in STREAM:
            continue
        else:
            data = value
        found[tag] = "%d %d %d" % (flags, len(data), zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF)
    lines.extend("P %s %08X %s" % (path, tag, text) for tag, text in found.items())
    return method


def message(entry, header, path):
    entries = kids(entry)
    properties(entries, header, path)
    # Eight hex digits end each name: in name order, in number order.
    recips, attachs = ([entries[n] for n in sorted(entries) if n.startswith(prefix)]
                       for prefix in ("__RECIP_VERSION1.0_#", "__ATTACH_VERSION1.0_#"))
    lines.append("C %s %d %d" % (path, len(recips), len(attachs)))
    for i, k in enumerate(recips):
        properties(kids(k), 8, path + "r%d/" % i)
    for i, k in enumerate(attachs):
        where, inside = path + "a%d/" % i, kids(k)
        method = properties(inside, 8, where)
        obj = inside.get("__SUBSTG1.0_3701000D")
        if obj is not None and obj.entry_type == olefile.STGTY_STORAGE:
            lines.append("P %s 3701000D O" % where)
            if method != 6 and "__PROPERTIES_VERSION1.0" in kids(obj):
                message(obj, 24, where + "e/")


message(ole.root, 32, "/")
print("\n".join(sorted(lines)))
