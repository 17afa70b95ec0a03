#!/usr/bin/env python3
"""The guide's advice on --strict's warnings holds: every generated Vorbis file that breaks
only rules whose "what to do" says to rewrite it passes --strict after the guide's own
rewrite commands (the ```sh block after "*Rewrite*"), and comes out no worse in the
others' eyes: OK, not an error. A rule the guide sends to a rewrite that leaves the
breach, or a rewrite that damages the audio, fails here.

  mend_advice_test.py GUIDE HARROWBIT_CLI HARROWBIT_GEN
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


def advice_by_rule(guide):
    rules = {}
    for line in guide.split("\n"):
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        m = re.fullmatch(r"`([a-z0-9-]+)`", cells[0]) if len(cells) == 4 else None
        if m:
            rules[m.group(1)] = cells[3]
    return rules


def rewrite_commands(guide):
    m = re.search(r"\*Rewrite\*.*?\n```sh\n(.*?)\n```", guide, re.S)
    if not m:
        raise SystemExit("no ```sh block after *Rewrite* in the guide")
    commands = [l for l in m.group(1).split("\n") if l.startswith("vorbiscomment")]
    if not commands or not all("copy.ogg" in c for c in commands):
        raise SystemExit("the rewrite block no longer works on copy.ogg: " + m.group(1))
    return commands


def breaches(cli, path):
    run = subprocess.run([cli, "--strict", "--", path], capture_output=True, text=True)
    names = re.findall(r"^\t([a-z0-9-]+) @", run.stdout, re.M)
    return run.returncode, run.stdout, names


def main():
    guide_path, cli, gen = sys.argv[1:4]
    guide = open(guide_path, encoding="utf-8").read()
    advice = advice_by_rule(guide)
    if len(advice) < 20:
        raise SystemExit(f"only {len(advice)} rules found in the guide's table")
    # "rewrite", "...; alone, rewrite": a rewrite mends it. "...; after a header warning,
    # rewrite first": a rewrite mends it when it follows a breach that a rewrite mends.
    mends = {r for r, a in advice.items() if re.match(r"(.*alone, )?rewrite\b", a)}
    after = {r for r, a in advice.items() if re.search(r"\brewrite first\b", a)}
    commands = rewrite_commands(guide)
    failures, tried = [], 0
    work = tempfile.mkdtemp(prefix="harrowbit-mend-")
    try:
        subprocess.run([gen, "strict-cases", os.path.join(work, "cases")], check=True,
                       stdout=subprocess.DEVNULL)
        for name in sorted(os.listdir(os.path.join(work, "cases"))):
            case = os.path.join(work, "cases", name)
            if not name.endswith(".ogg"):
                continue
            status, _, found = breaches(cli, case)
            if not set(found) & mends or not set(found) <= mends | after:
                continue
            tried += 1
            shutil.copy(case, os.path.join(work, "copy.ogg"))
            for command in commands:
                run = subprocess.run(["bash", "-c", command], cwd=work, capture_output=True,
                                     text=True)
                if run.returncode != 0:
                    failures.append(f"{name}: `{command}` exited {run.returncode}: "
                                    f"{run.stderr.strip()}")
            status, report, left = breaches(cli, os.path.join(work, "copy.ogg"))
            if status != 0:
                failures.append(f"{name} ({', '.join(sorted(set(found)))}), rewritten as the "
                                f"guide says, still fails --strict:\n{report}")
        for rule in sorted(mends | after):
            print(f"{rule}: the guide says to rewrite: {advice[rule]}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"{tried} generated files rewritten as the guide says")
    if tried < len(mends):
        failures.append(f"{len(mends)} rules are mended by a rewrite, but only {tried} "
                        "generated files break those alone")
    for f in failures:
        print("FAIL " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
