#!/usr/bin/python3
"""Reads a .pst with pypff and prints, as JSON, what the conversion tests
compare with our reader (folder paths below the top of the visible
hierarchy, joined by "\\"):

  pst_dump.py pypff FILE    {"display_name": s, "folders": {path: {"subjects": [...],
                             "flags": [...], "attachments": [...]}}}

Debian's pypff belongs to /usr/bin/python3, hence the interpreter line.
"""
import json
import sys

import pypff


def entry(item, entry_type):
    for i in range(item.get_number_of_record_sets()):
        rs = item.get_record_set(i)
        for j in range(rs.get_number_of_entries()):
            if rs.get_entry(j).get_entry_type() == entry_type:
                return rs.get_entry(j)
    return None


def walk(folder, path, out):
    if path is not None:
        messages = [folder.get_sub_message(i) for i in range(folder.get_number_of_sub_messages())]
        flags = [entry(m, 0x0E07) for m in messages]  # PidTagMessageFlags
        out[path] = {"subjects": [m.get_subject() or "" for m in messages],
                     "flags": [None if e is None else e.get_data_as_integer() for e in flags],
                     "attachments": [m.get_number_of_attachments() for m in messages]}
    for i in range(folder.get_number_of_sub_folders()):
        sub = folder.get_sub_folder(i)
        name = sub.get_name() or ""
        if path is not None:
            walk(sub, name if path == "" else path + "\\" + name, out)
        elif name in ("Top of Outlook data file", "Top of Personal Folders"):
            walk(sub, "", out)


if __name__ == "__main__":
    if sys.argv[1:2] != ["pypff"]:
        sys.exit("usage: pst_dump.py pypff FILE")
    f = pypff.file()
    f.open(sys.argv[2])
    store = f.get_message_store()
    e = entry(store, 0x3001) if store is not None else None  # PidTagDisplayName
    folders = {}
    walk(f.get_root_folder(), None, folders)
    json.dump({"display_name": e.get_data_as_string() if e is not None else None,
               "folders": folders}, sys.stdout, ensure_ascii=False)
