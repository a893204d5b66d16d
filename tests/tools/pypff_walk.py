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


def error(where, e):
    out["errors"].append({"where": where, "what": str(e)})


def read_entries(item, where):
    for i in range(item.get_number_of_record_sets()):
        rs = item.get_record_set(i)
        for j in range(rs.get_number_of_entries()):
            try:
                rs.get_entry(j).get_data()
                out["entries"] += 1
            except Exception as e:  # noqa: BLE001 - every failure is reported
                error("%s record set %d entry %d" % (where, i, j), e)


def attach_method(att):
    for i in range(att.get_number_of_record_sets()):
        rs = att.get_record_set(i)
        for j in range(rs.get_number_of_entries()):
            e = rs.get_entry(j)
            if e.get_entry_type() == 0x3705:
                return e.get_data_as_integer()
    return None


def walk_message(m, where):
    out["messages"] += 1
    try:
        out["texts"].append({"where": where, "subject": m.get_subject() or "",
                             "sender": m.get_sender_name() or ""})
        m.get_plain_text_body()
        read_entries(m, where)
        for i in range(m.get_number_of_attachments()):
            att = m.get_attachment(i)
            aw = "%s attachment %d" % (where, i)
            out["attachments"] += 1
            read_entries(att, aw)
            # pypff gives no bytes for an embedded message (method 5).
            if attach_method(att) == 5 or not att.get_size():
                continue
            try:
                data = att.read_buffer(att.get_size())
                if len(data) != att.get_size():
                    error(aw, "read %d of %d bytes" % (len(data), att.get_size()))
            except Exception as e:  # noqa: BLE001
                error(aw, e)
    except Exception as e:  # noqa: BLE001
        error(where, e)


def walk_folder(folder, path, depth):
    out["folders"] += 1
    try:
        read_entries(folder, path)
        for i in range(folder.get_number_of_sub_messages()):
            walk_message(folder.get_sub_message(i), "%s message %d" % (path, i))
        if depth < 256:
            for i in range(folder.get_number_of_sub_folders()):
                sub = folder.get_sub_folder(i)
                walk_folder(sub, "%s/%s" % (path, sub.get_name() or ""), depth + 1)
    except Exception as e:  # noqa: BLE001
        error(path, e)


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
    walk_folder(root, "", 0)
    print(json.dumps(out))
    return 1 if out["errors"] else 0


if __name__ == "__main__":
    sys.exit(main())
