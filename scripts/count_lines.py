#!/usr/bin/env python3
"""Counts non-blank, non-comment lines of C++, Python and shell under version
control at a revision (default HEAD): tests/ (tests and their support code)
against everything else, the generated font and picture tables left out.

    python3 scripts/count_lines.py [REV]
"""
import re
import subprocess
import sys

GENERATED = {"lcd/font_table.cpp", "lcd/image_upgrading.cpp"}


def code_lines(text, hash_comments):
    n, in_block = 0, False
    for line in text.splitlines():
        s = line.strip()
        if in_block:
            in_block = "*/" not in s
        elif not s or (hash_comments and s.startswith("#") and not s.startswith("#!")):
            pass
        elif not hash_comments and s.startswith("//"):
            pass
        elif not hash_comments and s.startswith("/*"):
            in_block = "*/" not in s
        else:
            n += 1
    return n


def main():
    rev = sys.argv[1] if len(sys.argv) > 1 else "HEAD"
    names = subprocess.run(["git", "ls-tree", "-r", "--name-only", rev], check=True, capture_output=True,
                           text=True).stdout.split()
    counts = {"tests": 0, "other": 0}
    for name in names:
        if name in GENERATED or not re.search(r"\.(cpp|h|py|sh)$", name):
            continue
        text = subprocess.run(["git", "show", f"{rev}:{name}"], check=True, capture_output=True, text=True,
                              errors="replace").stdout
        counts["tests" if name.startswith("tests/") else "other"] += code_lines(text, name.endswith((".py", ".sh")))
    t, o = counts["tests"], counts["other"]
    print(f"{rev}: tests {t}, other {o}, tests / other {100.0 * t / o:.0f}%")


if __name__ == "__main__":
    main()
