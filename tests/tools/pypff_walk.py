#!/usr/bin/python3
# Walks a .pst with libpff's Python binding (Debian's python3-pypff): every
# folder, message, record entry's value and attachment's bytes. Prints one
# JSON object: counts, each message's subject and sender, and the errors met,
# each with where. Exit status: 0 read whole, 1 errors, 2 the file does not open.
import json
import sys

import pypff

out = {"folders": 0, "messages": 0, "attachments": 0, "entries": 0, "texts": [], "errors": []}


def guarded(where, step):
    try:
        step()
        return True
    except Exception as e:  # noqa: BLE001 - every failure is reported
        out["errors"].append({"where": where, "what": str(e)})
        return False


def read_entries(item, where):
    methods = []
    for i in range(item.get_number_of_record_sets()):
        rs = item.get_record_set(i)
        for j in range(rs.get_number_of_entries()):
            e = rs.get_entry(j)
            out["entries"] += guarded("%s record set %d entry %d" % (where, i, j), e.get_data)
            if e.get_entry_type() == 0x3705:
                methods.append(e.get_data_as_integer())
    return methods


def walk_attachment(att, where):
    out["attachments"] += 1
    # pypff gives no bytes for an embedded message (method 5).
    if read_entries(att, where)[:1] != [5] and att.get_size():
        if len(att.read_buffer(att.get_size())) != att.get_size():
            raise IOError("fewer than %d bytes read" % att.get_size())


def walk_message(m, where):
    out["messages"] += 1
    out["texts"].append({"where": where, "subject": m.get_subject() or "",
                         "sender": m.get_sender_name() or ""})
    m.get_plain_text_body()
    read_entries(m, where)
    for i in range(m.get_number_of_attachments()):
        aw = "%s attachment %d" % (where, i)
        guarded(aw, lambda: walk_attachment(m.get_attachment(i), aw))


def walk_folder(folder, path, depth):
    out["folders"] += 1
    read_entries(folder, path)
    for i in range(folder.get_number_of_sub_messages()):
        where = "%s message %d" % (path, i)
        guarded(where, lambda: walk_message(folder.get_sub_message(i), where))
    for i in range(folder.get_number_of_sub_folders() if depth < 256 else 0):
        sub = folder.get_sub_folder(i)
        where = "%s/%s" % (path, sub.get_name() or "")
        guarded(where, lambda: walk_folder(sub, where, depth + 1))


f = pypff.file()
try:
    f.open(sys.argv[1])
    root = f.get_root_folder()
except Exception as e:  # noqa: BLE001
    print(json.dumps({"open": str(e)}))
    sys.exit(2)
guarded("", lambda: walk_folder(root, "", 0))
print(json.dumps(out))
sys.exit(1 if out["errors"] else 0)
