#!/usr/bin/env python3
"""Guest instructions a program ran, from a qemu-user log made with
-d in_asm,exec,nochain: each translated block's instruction count (in_asm)
times the number of times it ran (one exec line a run, chaining off)."""
import re
import sys

size, current, total = {}, None, 0
with open(sys.argv[1], errors="replace") as log:
    for line in log:
        if line.startswith("Trace"):
            m = re.search(r"/([0-9a-f]{8,16})/", line)
            if m:
                total += size.get(int(m.group(1), 16), 0)
            continue
        m = re.match(r"0x([0-9a-f]+):\s", line)
        if m:
            if current is None:
                current = int(m.group(1), 16)
                size[current] = 0
            size[current] += 1
        else:
            current = None
print(total)
