#!/usr/bin/python3
# Prints, as JSON, the raw text values libpff's Python binding (Debian's
# python3-pypff) finds in a PST, so a test can compare them with what it
# decoded from the source: per message its identifier (NID) and, for the
# message and each attachment, every property of `IDS` as
# {"id": property id, "type": value type, "hex": the value's bytes}. No
# decoding here: the test decides what the bytes must be. Run with
# /usr/bin/python3 (pypff belongs to Debian's Python).
import json
import sys

import pypff

MESSAGE_IDS = (0x0037, 0x0C1A, 0x1000)  # subject, sender name, body
ATTACHMENT_IDS = (0x3001, 0x3704, 0x3707)  # display name, file name, long file name


def values(item, ids):
    out = []
    for r in range(item.number_of_record_sets):
        for entry in item.get_record_set(r).entries:
            if entry.entry_type in ids:
                data = entry.data or b""
                out.append({"id": entry.entry_type, "type": entry.value_type, "hex": data.hex()})
    return out


def walk(folder, out):
    for i in range(folder.number_of_sub_messages):
        m = folder.get_sub_message(i)
        out.append({
            "nid": m.identifier,
            "values": values(m, MESSAGE_IDS),
            "attachments": [values(m.get_attachment(a), ATTACHMENT_IDS)
                            for a in range(m.number_of_attachments)],
        })
    for i in range(folder.number_of_sub_folders):
        walk(folder.get_sub_folder(i), out)


def main():
    f = pypff.file()
    f.open(sys.argv[1])
    messages = []
    walk(f.get_root_folder(), messages)
    json.dump({"messages": messages}, sys.stdout)
    f.close()


if __name__ == "__main__":
    main()
