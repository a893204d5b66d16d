#!/usr/bin/python3
# Walks a .pst with libpff's Python binding (Debian's python3-pypff): every
# folder, message, record entry's value and attachment's bytes. Prints one
# JSON object: the errors met (each with where), the store's display
# name, and what tests compare with what they wrote:
#   "contents": per folder below the top of the visible hierarchy ("" is the
#     top, "\" joins names), its messages' subjects, flags and attachment counts;
#   "items": per message its folder ("/" joins names from the root), NID and the
#     raw values of the texts below as {"id", "type", "hex"} (no decoding here:
#     the test decides what the bytes must be); per attachment the same, and
#     the size and zlib CRC-32 of its bytes.
# Exit status: 0 read whole, 1 errors, 2 the file does not open.
import json
import sys
import zlib

import pypff

MESSAGE_IDS = (0x0037, 0x0C1A, 0x1000)  # subject, sender name, body
ATTACHMENT_IDS = (0x3001, 0x3704, 0x3707)  # display name, file name, long file name
TOPS = ("Top of Outlook data file", "Top of Personal Folders")

out = {"errors": [], "display_name": None, "contents": {}, "items": []}


def guarded(where, step):
    try:
        step()
    except Exception as e:  # noqa: BLE001 - every failure is reported
        out["errors"].append({"where": where, "what": str(e)})


def read_entries(item, where, ids=()):
    """Reads every entry; returns {entry type: entry} and the raw values of `ids`."""
    found, values = {}, []
    for i in range(item.get_number_of_record_sets()):
        rs = item.get_record_set(i)
        for j in range(rs.get_number_of_entries()):
            e = rs.get_entry(j)
            guarded("%s record set %d entry %d" % (where, i, j), e.get_data)
            found.setdefault(e.get_entry_type(), e)
            if e.get_entry_type() in ids:
                values.append({"id": e.get_entry_type(), "type": e.get_value_type(),
                               "hex": (e.get_data() or b"").hex()})
    return found, values


def integer(found, entry_type):
    return found[entry_type].get_data_as_integer() if entry_type in found else None


def walk_attachment(att, where, item):
    found, item["values"] = read_entries(att, where, ATTACHMENT_IDS)
    if integer(found, 0x3705) == 5:
        return  # pypff gives no bytes for an embedded message
    data = att.read_buffer(att.get_size()) if att.get_size() else b""
    if len(data) != att.get_size():
        raise IOError("fewer than %d bytes read" % att.get_size())
    item.update(size=len(data), crc=zlib.crc32(data) & 0xFFFFFFFF)


def walk_message(m, where, folder, contents):
    m.get_plain_text_body()
    found, values = read_entries(m, where, MESSAGE_IDS)
    item = {"folder": folder, "nid": m.get_identifier(), "values": values, "attachments": []}
    out["items"].append(item)
    if contents is not None:
        contents["subjects"].append(m.get_subject() or "")
        contents["flags"].append(integer(found, 0x0E07))  # PidTagMessageFlags
        contents["attachments"].append(m.get_number_of_attachments())
    for i in range(m.get_number_of_attachments()):
        aw = "%s attachment %d" % (where, i)
        item["attachments"].append({})
        guarded(aw, lambda: walk_attachment(m.get_attachment(i), aw, item["attachments"][-1]))


def walk_folder(folder, names, depth):
    path = "/".join(names)
    read_entries(folder, "/" + path if names else "")
    # Below the top of the visible hierarchy, the path tests compare.
    visible = "\\".join(names[1:]) if names and names[0] in TOPS else None
    contents = None
    if visible is not None:
        contents = out["contents"][visible] = {"subjects": [], "flags": [], "attachments": []}
    for i in range(folder.get_number_of_sub_messages()):
        where = "/%s message %d" % (path, i) if names else " message %d" % i
        guarded(where, lambda: walk_message(folder.get_sub_message(i), where, path, contents))
    for i in range(folder.get_number_of_sub_folders() if depth < 256 else 0):
        sub = folder.get_sub_folder(i)
        sub_names = names + [sub.get_name() or ""]
        guarded("/" + "/".join(sub_names), lambda: walk_folder(sub, sub_names, depth + 1))


f = pypff.file()
try:
    f.open(sys.argv[1])
    root = f.get_root_folder()
except Exception as e:  # noqa: BLE001
    print(json.dumps({"open": str(e)}))
    sys.exit(2)


def display_name():
    store = f.get_message_store()
    found, _ = read_entries(store, "message store") if store is not None else ({}, [])
    if 0x3001 in found:  # PidTagDisplayName
        out["display_name"] = found[0x3001].get_data_as_string()


guarded("message store", display_name)
guarded("", lambda: walk_folder(root, [], 0))
print(json.dumps(out))
sys.exit(1 if out["errors"] else 0)
