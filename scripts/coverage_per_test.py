#!/usr/bin/env python3
"""What each test covers on its own, to judge redundancy across the whole suite.

    scripts/coverage_per_test.py run [--build DIR] [--out DIR] [--tests REGEX]
    scripts/coverage_per_test.py report [--out DIR] [--keep REGEX]

`run` runs every ctest test alone in the coverage build (scripts/coverage
makes build-cov) and writes the src/ lines ("file:line") and branches
("file:line:index") it reached to OUT/N.json, its name in OUT/names.tsv.
It takes about as long as the suite run serially; a test already recorded is
not run again, so an interrupted run can be resumed.

`report` lists, for every test, how many covered items no other test reaches
and how many it reaches in all. A test whose first column is 0 adds no
coverage to the suite: whether it still catches faults (an exact text, a
value against an outside reader) is for its reader to judge. --keep names
tests that stay whatever the counts say (a regex); the report then also
counts, per test, the items it reaches that no kept test does.
"""
import argparse
import collections
import json
import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def covered(build):
    """The src/ lines and branches the .gcda files under BUILD record."""
    gcda = [str(p) for p in Path(build).rglob("*.gcda")]
    lines, branches = set(), set()
    if not gcda:
        return lines, branches
    out = subprocess.run(["gcov", "-b", "--json-format", "--stdout", *gcda], cwd=build,
                         capture_output=True, text=True).stdout
    src = str(ROOT / "src") + "/"
    for raw in out.splitlines():
        if not raw.strip():
            continue
        doc = json.loads(raw)
        for f in doc.get("files", []):
            path = os.path.normpath(os.path.join(doc.get("current_working_directory", ""), f["file"]))
            if not path.startswith(src):
                continue
            rel = path[len(str(ROOT)) + 1:]
            for ln in f["lines"]:
                n = ln["line_number"]
                if ln["count"] > 0:
                    lines.add(f"{rel}:{n}")
                # Throw branches depend on inlining, not on the tests (as in scripts/coverage).
                for i, b in enumerate(ln.get("branches", [])):
                    if b["count"] > 0 and not b.get("throw"):
                        branches.add(f"{rel}:{n}:{i}")
    return lines, branches


def run(build, out, regex):
    out.mkdir(parents=True, exist_ok=True)
    listing = subprocess.run(["ctest", "-N"], cwd=build, capture_output=True, text=True, check=True).stdout
    names = [(i, n) for i, n in re.findall(r"^\s*Test\s+#(\d+): (.*)$", listing, re.M)
             if re.search(regex, n)]
    (out / "names.tsv").write_text("".join(f"{i}\t{n}\n" for i, n in names))
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    for k, (i, name) in enumerate(names, 1):
        dest = out / f"{i}.json"
        if dest.exists():
            continue
        for p in Path(build).rglob("*.gcda"):
            p.unlink()
        rc = subprocess.run(["ctest", "-I", f"{i},{i}", "--timeout", "1800"], cwd=build, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        lines, branches = covered(build)
        dest.write_text(json.dumps({"name": name, "rc": rc, "lines": sorted(lines),
                                    "branches": sorted(branches)}))
        print(f"{k}/{len(names)} {name}: {len(lines)} lines, {len(branches)} branches"
              + ("" if rc == 0 else f" (ctest exit {rc})"), flush=True)


def report(out, keep):
    tests = {}
    for line in (out / "names.tsv").read_text().splitlines():
        i, name = line.split("\t", 1)
        doc = json.loads((out / f"{i}.json").read_text())
        tests[name] = set(doc["lines"]) | {"B" + b for b in doc["branches"]}
    count = collections.Counter(x for items in tests.values() for x in items)
    kept = set()
    if keep:
        kept = set().union(*(v for n, v in tests.items() if re.search(keep, n)))
    rows = []
    for name, items in tests.items():
        alone = sum(1 for x in items if count[x] == 1)
        unkept = sum(1 for x in items if x not in kept)
        rows.append((alone, unkept if keep else len(items), len(items), name))
    print(f"{len(tests)} tests, {len(count)} items (lines and branches) covered in all")
    print("only-this-test  " + ("not-reached-by-kept  " if keep else "") + "all  test")
    for alone, unkept, total, name in sorted(rows):
        mark = "  [kept]" if keep and re.search(keep, name) else ""
        print(f"{alone:14d}  " + (f"{unkept:19d}  " if keep else "") + f"{total:5d}  {name}{mark}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mode", choices=["run", "report"])
    ap.add_argument("--build", default=str(ROOT / "build-cov"))
    ap.add_argument("--out", default=str(ROOT / "build-cov" / "per-test"))
    ap.add_argument("--keep", default="")
    ap.add_argument("--tests", default="", help="run only the tests whose names match")
    args = ap.parse_args()
    if args.mode == "run":
        if not (Path(args.build) / "CTestTestfile.cmake").exists():
            sys.exit(f"{args.build}: no coverage build (scripts/coverage makes one)")
        run(Path(args.build), Path(args.out), args.tests)
    else:
        report(Path(args.out), args.keep)


if __name__ == "__main__":
    main()
