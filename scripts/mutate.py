#!/usr/bin/env python3
"""Mutation check: plants one small fault at a time in a scratch copy of the
tree, rebuilds what the covering tests need, runs them, and says whether the
tests noticed (killed) or not (survived).

Mutations are listed per module in tests/mutations/<module>.txt:

    default tests flash_test             CTest names (a regex) run for every mutation below
    default e2e *success*:erase_failure  end-to-end rows (a gtest filter), or none

    mutation erase_skips_the_last_block
      file rom/flash.cpp
      from   for (uint32_t off = 0; off < size; off += step)
      to     for (uint32_t off = 0; off + step < size; off += step)
      tests flash_test                   optional, replaces the default
      e2e none                           optional, replaces the default

An e2e pattern without a dot names rows of the scenario table; one with a
dot is a whole gtest name, e.g. EveryRequest/PowerCutAt.*/erase_* for the
power-cut sweep.

`from` must occur exactly once in the file; repeated `from`/`to` lines make
multi-line snippets. The text after the keyword and one blank is taken as is.

    python3 scripts/mutate.py [--module M]... [--name REGEX] [--list] [--jobs N]

Not part of the test command: it rebuilds and reruns tests once per mutation.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LISTS = os.path.join(ROOT, "tests", "mutations")
SCRATCH = os.path.join(ROOT, "build", "mutate", "src")
BUILD = os.path.join(SCRATCH, "build", "host")


def parse_list(path):
    module = os.path.splitext(os.path.basename(path))[0]
    defaults = {"tests": "", "e2e": "none"}
    out, cur = [], None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            body = line.strip()
            if not body or body.startswith("#"):
                continue
            key, _, value = body.partition(" ")
            if key == "default":
                k, _, v = value.partition(" ")
                defaults[k] = v.strip()
            elif key == "mutation":
                cur = {"name": value.strip(), "module": module, "where": f"{path}:{number}",
                       "from": [], "to": [], "tests": None, "e2e": None}
                out.append(cur)
            elif cur is None:
                sys.exit(f"{path}:{number}: text before the first mutation")
            elif key in ("from", "to"):
                # Keep the snippet's own indentation: drop the keyword and one blank.
                at = line.index(key) + len(key)
                cur[key].append(line[at + 1:] if len(line) > at else "")
            elif key in ("file", "tests", "e2e"):
                cur[key] = value.strip()
            else:
                sys.exit(f"{path}:{number}: unknown keyword {key}")
    for m in out:
        m["tests"] = m["tests"] if m["tests"] is not None else defaults["tests"]
        m["e2e"] = m["e2e"] if m["e2e"] is not None else defaults["e2e"]
        m["from"], m["to"] = "\n".join(m["from"]), "\n".join(m["to"])
        if not m.get("file") or not m["from"] or m["from"] == m["to"]:
            sys.exit(f"{m['where']}: a mutation needs a file and a from that differs from its to")
    return out


def run(cmd, cwd=None, env=None, timeout=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, env=env, timeout=timeout, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, errors="replace")
        return p.returncode, p.stdout
    except subprocess.TimeoutExpired:
        return -1, "timeout"


def sync_scratch():
    """Copies the tracked files into the scratch tree, touching only changed ones."""
    files = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True, stdout=subprocess.PIPE).stdout
    for rel in filter(None, files.decode().split("\0")):
        src, dst = os.path.join(ROOT, rel), os.path.join(SCRATCH, rel)
        if not os.path.isfile(src):
            continue
        with open(src, "rb") as f:
            data = f.read()
        if os.path.isfile(dst):
            with open(dst, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copyfile(src, dst)  # a fresh time stamp, so that ninja rebuilds it
    if not os.path.isfile(os.path.join(BUILD, "build.ninja")):
        code, out = run(["cmake", "--preset", "host"], cwd=SCRATCH)
        if code != 0:
            sys.exit("configure failed:\n" + out)


class Tests:
    """What CTest knows: each test's command and environment."""

    def __init__(self):
        code, out = run(["ctest", "--show-only=json-v1"], cwd=BUILD)
        if code != 0:
            sys.exit("ctest --show-only failed:\n" + out)
        self.tests = {}
        for t in json.loads(out)["tests"]:
            env = {}
            for prop in t.get("properties", []):
                if prop["name"] == "ENVIRONMENT":
                    env = dict(v.split("=", 1) for v in prop["value"])
            self.tests[t["name"]] = {"command": t.get("command", []), "env": env}

    def names(self, regex):
        return sorted(n for n in self.tests if regex and re.search(regex, n))

    def targets(self, names, e2e):
        """Build outputs the tests run: the runner and the program it starts.
        CTest lists no command for a test whose program is not built yet, so
        a test's own name is taken as a target too where there is one."""
        code, listing = run(["ninja", "-C", BUILD, "-t", "targets", "all"])
        known = {line.split(":")[0] for line in listing.splitlines()} if code == 0 else set()
        out = {n for n in names if n in known}
        for n in names:
            cmd = self.tests[n]["command"]
            # The runner (simdev) and the program it starts.
            for exe in cmd[:1] + cmd[cmd.index("--") + 1:cmd.index("--") + 2] if "--" in cmd else cmd[:1]:
                if exe.startswith(BUILD):
                    out.add(os.path.relpath(exe, BUILD))
        if e2e != "none":
            out.update(["e2e_scenarios", "upgrader", "simdev", "romtool", "shmwriter"])
        return sorted(out)

    def run_e2e(self, gtest_filter):
        env = dict(os.environ)
        env.update({k: v for k, v in self.tests["e2e_0"]["env"].items() if not k.startswith("GTEST_")})
        env["GTEST_FILTER"] = ":".join(p if "." in p else "OnThePhone/Upgrade.Scenario/" + p
                                       for p in gtest_filter.split(":"))
        return run([os.path.join(BUILD, "tests/e2e/e2e_scenarios")], cwd=BUILD, env=env, timeout=1800)


def check(tests, names, e2e, jobs):
    """0 when every covering test passes, else a short reason."""
    if names:
        code, out = run(["ctest", "-j", str(jobs), "--timeout", "120", "-R", "^(" + "|".join(names) + ")$"],
                        cwd=BUILD)
        if code != 0:
            failed = re.findall(r"^\s*\d+ - (\S+) \(", out, re.M)
            return "ctest: " + (",".join(failed) or "exit %d" % code)
    if e2e != "none":
        code, out = tests.run_e2e(e2e)
        if code != 0:
            failed = re.findall(r"^\[  FAILED  \] \S+/(\w+),", out, re.M)
            return "e2e: " + (",".join(sorted(set(failed))) or "exit %d" % code)
    return ""


def build(targets):
    code, out = run(["ninja", "-C", BUILD, "-j", "2"] + targets, timeout=3600)
    return code == 0, out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--module", action="append", help="only these lists (file names without .txt)")
    ap.add_argument("--name", help="only mutations whose name matches this regex")
    ap.add_argument("--list", action="store_true", help="print the mutations and stop")
    ap.add_argument("--jobs", type=int, default=2, help="tests CTest runs side by side")
    a = ap.parse_args()

    mutations = []
    for f in sorted(os.listdir(LISTS)):
        if f.endswith(".txt") and (not a.module or f[:-4] in a.module):
            mutations += parse_list(os.path.join(LISTS, f))
    if a.name:
        mutations = [m for m in mutations if re.search(a.name, m["name"])]
    if a.list:
        for m in mutations:
            print(f"{m['module']:12} {m['name']:48} {m['file']}")
        print(f"{len(mutations)} mutations")
        return 0

    started = time.time()
    sync_scratch()
    # CTest lists a command only once its runner exists.
    ok, out = build(["simdev"])
    if not ok:
        sys.exit("the scratch copy does not build:\n" + out[-3000:])
    tests = Tests()
    baseline = {}  # (tests, e2e) -> "" when the unmutated tree passes them
    results = []
    for m in mutations:
        t0 = time.time()
        names = tests.names(m["tests"])
        key = (tuple(names), m["e2e"])
        path = os.path.join(SCRATCH, m["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        if original.count(m["from"]) != 1:
            verdict, why = "stale", f"'from' found {original.count(m['from'])} times in {m['file']}"
        elif not names and m["e2e"] == "none":
            verdict, why = "stale", "no test named"
        else:
            if key not in baseline:
                ok, out = build(tests.targets(names, m["e2e"]))
                baseline[key] = check(tests, names, m["e2e"], a.jobs) if ok else "build failed"
            if baseline[key]:
                verdict, why = "untested", "fails without the mutation: " + baseline[key]
            else:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original.replace(m["from"], m["to"]))
                try:
                    ok, out = build(tests.targets(names, m["e2e"]))
                    if not ok:
                        verdict, why = "invalid", "does not compile"
                    else:
                        why = check(tests, names, m["e2e"], a.jobs)
                        verdict = "killed" if why else "SURVIVED"
                finally:
                    with open(path, "w", encoding="utf-8") as f:
                        f.write(original)
        results.append((m, verdict))
        print(f"{verdict:9} {m['module']:12} {m['name']:48} {time.time() - t0:5.0f}s  {why}", flush=True)

    counted = [v for _, v in results if v in ("killed", "SURVIVED")]
    killed = counted.count("killed")
    print(f"\nscore: {killed}/{len(counted)} killed" +
          (f" ({100.0 * killed / len(counted):.1f}%)" if counted else "") +
          f", {len(results) - len(counted)} not counted, {time.time() - started:.0f} s")
    for m, v in results:
        if v != "killed":
            print(f"  {v:9} {m['name']}  ({m['where']})")
    return 0 if killed == len(counted) else 1


if __name__ == "__main__":
    sys.exit(main())
