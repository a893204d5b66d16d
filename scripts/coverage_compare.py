#!/usr/bin/env python3
"""Lists what a change of the tests left uncovered.

    scripts/coverage_compare.py BEFORE.json AFTER.json [--before-rev REV]

BEFORE and AFTER are scripts/coverage outputs. A line of src/ (or one of its
branches) covered in BEFORE and not in AFTER is lost, and the exit status is
1. When the sources changed between the two runs, --before-rev names the
commit BEFORE was measured on: each file's lines are then matched by their
text (difflib), and lines that were removed or rewritten count as deleted
code, not as lost coverage.
"""
import argparse
import difflib
import json
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def load(path):
    """{file: {line: (covered, [branch covered...])}}, merging repeats."""
    out = {}
    for f in json.loads(Path(path).read_text())["files"]:
        lines = out.setdefault(f["file"], {})
        for ln in f["lines"]:
            if ln.get("gcovr/noncode"):
                continue
            n = ln["line_number"]
            covered = ln["count"] > 0
            branches = [b["count"] > 0 for b in ln.get("branches", [])]
            old = lines.get(n)
            if old:
                covered = covered or old[0]
                if len(old[1]) == len(branches):
                    branches = [a or b for a, b in zip(old[1], branches)]
                elif len(old[1]) > len(branches):
                    branches = old[1]
            lines[n] = (covered, branches)
    return out


def text_of(name, rev):
    if rev is None:
        p = ROOT / name
        return p.read_text(errors="replace").splitlines() if p.exists() else None
    r = subprocess.run(["git", "-C", str(ROOT), "show", f"{rev}:{name}"],
                       capture_output=True, text=True, errors="replace")
    return r.stdout.splitlines() if r.returncode == 0 else None


def line_map(name, rev):
    """Maps BEFORE's line numbers to AFTER's for lines whose text survived."""
    old, new = text_of(name, rev), text_of(name, None)
    if old is None or new is None:
        return {}
    if old == new:
        return {i: i for i in range(1, len(old) + 1)}
    m = {}
    sm = difflib.SequenceMatcher(None, old, new, autojunk=False)
    for a, b, size in sm.get_matching_blocks():
        for k in range(size):
            m[a + k + 1] = b + k + 1
    return m


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("before")
    ap.add_argument("after")
    ap.add_argument("--before-rev")
    args = ap.parse_args()
    before, after = load(args.before), load(args.after)
    lost_lines = lost_branches = deleted = 0
    for name, lines in sorted(before.items()):
        mapping = line_map(name, args.before_rev) if args.before_rev else None
        now = after.get(name, {})
        for n, (covered, branches) in sorted(lines.items()):
            if not covered and not any(branches):
                continue
            m = n if mapping is None else mapping.get(n)
            if m is None:
                deleted += 1
                continue
            a_cov, a_br = now.get(m, (False, []))
            if covered and not a_cov:
                lost_lines += 1
                print(f"{name}:{n}: line lost")
            elif len(a_br) == len(branches):
                for i, (b, a) in enumerate(zip(branches, a_br)):
                    if b and not a:
                        lost_branches += 1
                        print(f"{name}:{n}: branch {i} lost")
    def totals(cov):
        lc = lt = bc = bt = 0
        for lines in cov.values():
            for covered, branches in lines.values():
                lt += 1
                lc += covered
                bt += len(branches)
                bc += sum(branches)
        return lc, lt, bc, bt
    for label, cov in (("before", before), ("after", after)):
        lc, lt, bc, bt = totals(cov)
        print(f"{label}: lines {lc}/{lt} ({100.0 * lc / max(lt, 1):.1f}%), "
              f"branches {bc}/{bt} ({100.0 * bc / max(bt, 1):.1f}%)")
    print(f"lost: {lost_lines} lines, {lost_branches} branches"
          + (f" ({deleted} covered lines were deleted or rewritten code)" if deleted else ""))
    return 1 if lost_lines or lost_branches else 0


if __name__ == "__main__":
    sys.exit(main())
