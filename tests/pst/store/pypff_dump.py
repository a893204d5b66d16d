#!/usr/bin/python3
# Prints, as JSON, what libpff's Python binding (Debian's python3-pypff) reads
# from a PST: every folder by path, and per message its subject, plain-text
# body and attachments (size and zlib CRC-32 of the bytes). The store tests
# compare it with what they wrote. Run with /usr/bin/python3 (pypff belongs
# to Debian's Python).
import json
import sys
import zlib

import pypff


def text(value):
    if value is None:
        return ""
    if isinstance(value, bytes):
        return value.decode("utf-8", errors="replace")
    return value


def attachment(att):
    out = {"size": att.size}
    try:
        data = att.read_buffer(att.size) if att.size else b""
        out["crc"] = zlib.crc32(data) & 0xFFFFFFFF
        out["read"] = len(data)
    except Exception as error:  # embedded messages have no byte stream here
        out["error"] = str(error)
    return out


def walk(folder, path, out):
    messages = []
    for i in range(folder.number_of_sub_messages):
        m = folder.get_sub_message(i)
        messages.append({
            "subject": text(m.subject),
            "body": text(m.plain_text_body).rstrip("\x00"),
            "attachments": [attachment(m.get_attachment(a)) for a in range(m.number_of_attachments)],
        })
    out.append({"path": path, "messages": messages})
    for i in range(folder.number_of_sub_folders):
        sub = folder.get_sub_folder(i)
        walk(sub, (path + "/" if path else "") + text(sub.name), out)


def main():
    f = pypff.file()
    f.open(sys.argv[1])
    folders = []
    walk(f.get_root_folder(), "", folders)
    json.dump({"folders": folders}, sys.stdout, ensure_ascii=True)
    f.close()


if __name__ == "__main__":
    main()
