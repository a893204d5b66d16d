#!/usr/bin/python3
# Walks a .pst with libpff's Python binding (Debian's python3-pypff): every
# folder, message, every record entry's value, recipients and attachments
# (bytes read), embedded messages. Prints one JSON object: counts, each
# message's subject and sender, and the errors met with where they happened.
# Exit status: 0 read whole, 1 errors, 2 the file does not open.
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


def entries(item):
    for i in range(item.get_number_of_record_sets()):
        rs = item.get_record_set(i)
        for j in range(rs.get_number_of_entries()):
            yield "record set %d entry %d" % (i, j), rs.get_entry(j)


def read_entries(item, where):
    for at, entry in entries(item):
        out["entries"] += guarded("%s %s" % (where, at), entry.get_data)


def walk_attachment(att, where):
    out["attachments"] += 1
    read_entries(att, where)
    # pypff gives no bytes for an embedded message (method 5).
    method = [e.get_data_as_integer() for _, e in entries(att) if e.get_entry_type() == 0x3705]
    if method[:1] == [5] or not att.get_size():
        return
    data = att.read_buffer(att.get_size())
    if len(data) != att.get_size():
        raise IOError("read %d of %d bytes" % (len(data), att.get_size()))


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


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: pypff_walk.py FILE.pst\n")
        return 2
    f = pypff.file()
    try:
        f.open(sys.argv[1])
        root = f.get_root_folder()
    except Exception as e:  # noqa: BLE001
        print(json.dumps({"open": str(e)}))
        return 2
    guarded("", lambda: walk_folder(root, "", 0))
    print(json.dumps(out))
    return 1 if out["errors"] else 0


if __name__ == "__main__":
    sys.exit(main())
