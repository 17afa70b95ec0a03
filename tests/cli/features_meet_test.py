#!/usr/bin/env python3
"""Where the features meet: a library of real encoders' files, some damaged by page surgery,
under a path longer than any buffer of 259 units, checked in every way at once with the
database, the salvage and the audio hash, through confined helpers or in the CLI itself.

One rule per feature, held in every way of checking:
- a file's audio hash is one value whatever the way (full, quick, strict, -j, sandboxed
  helpers or none), and none for a file that did not decode to its end;
- every damaged file is salvaged, and the salvages pass --strict in a run of their own;
- a file damaged only beside its audio (a page twice, junk between pages) sounds as the
  original did, as it is when it decodes clean and as its salvage when it does not: its
  audio hash is the clean file's.

usage: features_meet_test.py HARROWBIT_CLI
"""
import json, os, subprocess, sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import damage_model_test as dm  # noqa: E402  (its page surgery and encoders' helpers)

CLI = sys.argv[1]
LIB = os.path.join(dm.WORK, "lib", "a" * 120, "b" * 120, "c" * 60)
WAYS = [["-j1"], ["-j3", "--require-sandbox"], ["--quick", "-j2"], ["--strict", "-j2"],
        ["--in-process"]]
SHAPES = ["vorbis", "opus", "vorbis+opus+flac"]
# Damage beside the audio: nothing of the sound is lost, a salvage gives it all back.
BESIDE = ["duplicate", "junk"]


def cli(*args):
    done = subprocess.run([CLI, "--all-codecs", *args], capture_output=True, text=True)
    return done.returncode, [json.loads(l) for l in done.stdout.splitlines()], done.stderr


def main():
    os.makedirs(LIB)
    clean = {}
    for name in SHAPES:
        data, links = dm.shape(dm.SHAPES[name])
        clean[name] = data
        with open(os.path.join(LIB, f"{name}.ogg"), "wb") as f:
            f.write(data)
        ps = dm.pages(data)
        # A page of the first link's audio: lost headers no file can be salvaged from.
        middle = links[0].first + links[0].count // 2
        for kind in BESIDE + ["crc"]:
            with open(os.path.join(LIB, f"{name}-{kind}.ogg"), "wb") as f:
                f.write(dm.damaged(ps, kind, middle))
    failures, hashes, heard = [], {}, 0
    db = os.path.join(dm.WORK, "meet.db")
    for n, way in enumerate(WAYS):
        out = os.path.join(dm.WORK, f"salvaged-{n}")
        status, lines, err = cli(*way, "--json", "--db", db, "--salvage", out, LIB)
        files = {os.path.basename(l["path"]): l for l in lines if l["type"] == "file"}
        salvages = {os.path.basename(l["path"]): l for l in lines if l["type"] == "salvage"}
        if status != 1 or "sandbox" in err:
            failures.append(f"{way}: exit {status}, stderr {err!r}")
        for name, f in sorted(files.items()):
            hashes.setdefault(name, set()).add(f["audio_hash"])
            shape, kind = name[:-4].rsplit("-", 1) if "-" in name else (name[:-4], "")
            if kind in BESIDE and f["audio_hash"] is not None:
                hashes.setdefault(f"{shape}.ogg", set()).add(f["audio_hash"])
                heard += 1
            if (f["verdict"] == "ok") != (f["audio_hash"] is not None):
                failures.append(f"{way} {name}: {f['verdict']} with hash {f['audio_hash']}")
            if f["verdict"] == "error" and not salvages.get(name, {}).get("salvaged"):
                failures.append(f"{way} {name}: damaged, not salvaged: {salvages.get(name)}")
        status, again, err = cli("--strict", "--json", out)
        salvaged = {os.path.basename(l["path"]): l for l in again if l["type"] == "file"}
        if status != 0 or len(salvaged) != sum(s["salvaged"] for s in salvages.values()):
            failures.append(f"{way}: the salvages' own check exits {status}: {err}")
        for name, f in salvaged.items():
            shape, kind = name[:-4].rsplit("-", 1)
            lost = salvages[name]["lost"]
            if kind in BESIDE and lost == []:
                hashes.setdefault(f"{shape}.ogg", set()).add(f["audio_hash"])
                heard += 1
            elif kind in BESIDE and lost:
                failures.append(f"{way} {name}: bytes beside the audio, yet lost {lost}")
    for name, seen in sorted(hashes.items()):
        if len(seen) != 1:
            failures.append(f"{name}: more than one audio hash across the ways: {seen}")
    # Each file damaged beside its audio is heard at least once a way: whole as it is, or
    # salvaged (under --strict, where junk is a breach, both).
    if heard < len(WAYS) * len(SHAPES) * len(BESIDE):
        failures.append(f"{heard} whole salvages compared with their originals' sound")
    print(f"{len(WAYS)} ways, {len(hashes)} files, {heard} whole salvages, {len(failures)} wrong")
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
