#!/usr/bin/python3
"""Reads a .pst with an independent reader and prints, as JSON, what the
conversion tests check (folder paths below the top of the visible hierarchy,
joined by "\\"):

  pst_dump.py pypff FILE    {"display_name": s, "folders": {path: {"subjects": [...],
                             "flags": [...], "attachments": [...]}}}
  pst_dump.py readpst FILE  {"folders": {path: count}}

Debian's pypff belongs to /usr/bin/python3, hence the interpreter line.
"""
import json
import os
import subprocess
import sys
import tempfile


def entry(item, entry_type):
    for i in range(item.get_number_of_record_sets()):
        rs = item.get_record_set(i)
        for j in range(rs.get_number_of_entries()):
            if rs.get_entry(j).get_entry_type() == entry_type:
                return rs.get_entry(j)
    return None


def walk_pypff(folder, path, out):
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
            walk_pypff(sub, name if path == "" else path + "\\" + name, out)
        elif name in ("Top of Outlook data file", "Top of Personal Folders"):
            walk_pypff(sub, "", out)


def dump_pypff(filename):
    import pypff
    f = pypff.file()
    f.open(filename)
    store = f.get_message_store()
    e = entry(store, 0x3001) if store is not None else None  # PidTagDisplayName
    folders = {}
    walk_pypff(f.get_root_folder(), None, folders)
    return {"display_name": e.get_data_as_string() if e is not None else None, "folders": folders}


def dump_readpst(filename):
    with tempfile.TemporaryDirectory() as out:
        # -j 0: readpst otherwise forks a job per folder and may return while
        # they still write. It names the top directory after the store and
        # writes one numbered file per message (attachments as "<n>-<name>").
        subprocess.run(["readpst", "-j", "0", "-q", "-S", "-D", "-o", out, filename], check=True,
                       stdout=subprocess.DEVNULL)
        folders = {}
        for top in os.listdir(out):
            for dirpath, _, filenames in os.walk(os.path.join(out, top)):
                rel = os.path.relpath(dirpath, os.path.join(out, top))
                rel = "" if rel == "." else rel.replace(os.sep, "\\")
                folders[rel] = sum(1 for n in filenames if n.isdigit() or n.endswith(".eml"))
        return {"folders": folders}


if __name__ == "__main__":
    kind, filename = sys.argv[1], sys.argv[2]
    json.dump(dump_pypff(filename) if kind == "pypff" else dump_readpst(filename), sys.stdout,
              ensure_ascii=False)
