#!/usr/bin/python3
# Prints, as JSON, what libpff's Python binding (Debian's python3-pypff) finds
# in a PST, for a test to compare with what it wrote: per message its folder
# path, identifier (NID) and the raw values of the text properties below as
# {"id", "type", "hex"} (no decoding here: the test decides what the bytes
# must be); per attachment the same, and the size and zlib CRC-32 of its
# bytes. Run with /usr/bin/python3 (pypff belongs to Debian's Python).
import json
import sys
import zlib

import pypff

MESSAGE_IDS = (0x0037, 0x0C1A, 0x1000)  # subject, sender name, body
ATTACHMENT_IDS = (0x3001, 0x3704, 0x3707)  # display name, file name, long file name


def values(item, ids):
    return [{"id": e.entry_type, "type": e.value_type, "hex": (e.data or b"").hex()}
            for r in range(item.number_of_record_sets)
            for e in item.get_record_set(r).entries if e.entry_type in ids]


def attachment(att):
    out = {"values": values(att, ATTACHMENT_IDS)}
    try:
        data = att.read_buffer(att.size) if att.size else b""
        out.update(size=len(data), crc=zlib.crc32(data) & 0xFFFFFFFF)
    except Exception:  # noqa: BLE001 - embedded messages have no byte stream here
        pass
    return out


def walk(folder, path, out):
    for i in range(folder.number_of_sub_messages):
        m = folder.get_sub_message(i)
        out.append({"folder": path, "nid": m.identifier, "values": values(m, MESSAGE_IDS),
                    "attachments": [attachment(m.get_attachment(a))
                                    for a in range(m.number_of_attachments)]})
    for i in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(i)
        walk(sub, (path + "/" if path else "") + (sub.name or ""), out)


f = pypff.file()
f.open(sys.argv[1])
messages = []
walk(f.get_root_folder(), "", messages)
json.dump({"messages": messages}, sys.stdout)
