#!/usr/bin/env python3
"""What a salvage must be, stated once, checked on real encoder output.

Each kind of damage is made by page surgery at a page of each link of oggenc's, opusenc's
and flac --ogg's files, alone and chained. Every damaged file goes through --salvage; every
salvage must pass the check and --strict in a run of its own, keep at least 90 % of the
play time, and, decoded by the codec's own decoder, be the original's audio sample for
sample outside the ranges it says it lost. Two damaged copies heal each other into the
original. Files past 2 and 4 GiB are salvaged as any other. Then the bad input: a salvage
folder inside a PATH, a name reached twice, a destination that is there already or cannot
be made. (A file that changes while it is salvaged: salvage_change_test.cpp.)

usage: salvage_model_test.py HARROWBIT_CLI
"""
import collections, concurrent.futures, hashlib, json, math, os, random, shutil, struct, subprocess, sys, wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import damage_model_test as dm  # noqa: E402  (its page surgery and encoders' helpers)

CLI = sys.argv[1]
WORK = dm.WORK
SECONDS = 20


def tone(name, rate, channels):
    """A tone with some noise in it, so that packets differ in size and pages in count."""
    path = os.path.join(WORK, name)
    rng = random.Random(7)
    with wave.open(path, "wb") as w:
        w.setnchannels(channels), w.setsampwidth(2), w.setframerate(rate)
        w.writeframes(b"".join(struct.pack("<h", v) * channels for v in (
            int(7000 * math.sin(i * 0.0627) + 3000 * math.sin(i * 0.00173 * (1 + i / rate))
                + rng.randint(-800, 800)) for i in range(rate * SECONDS))))
    return path


LONG = tone("long.wav", 44100, 2)


def encode(codec, serial):
    out = os.path.join(WORK, f"long-{codec}-{serial}")
    if not os.path.exists(out):
        if codec == "vorbis":
            dm.run("oggenc", "-Q", "-q", "4", "-s", str(serial), LONG, "-o", out)
        elif codec == "opus":
            dm.run("opusenc", "--quiet", "--serial", str(serial), LONG, out)
        else:
            dm.run("flac", "-s", "--ogg", "-b", "4096", f"--serial-number={serial}", LONG, "-o", out)
    with open(out, "rb") as f:
        return f.read()


SHAPES = {"vorbis": ["vorbis"], "opus": ["opus"], "flac": ["flac"],
          "vorbis+vorbis": ["vorbis", "vorbis"], "vorbis+opus+flac": ["vorbis", "opus", "flac"]}
# What decodes a shape whole, to 16-bit samples.
DECODERS = {"vorbis": "vorbis", "opus": "opus", "flac": "flac", "vorbis+vorbis": "vorbis"}


def shape(name):
    data, firsts = b"", []
    for n, codec in enumerate(SHAPES[name]):
        firsts.append(len(dm.pages(data)))
        data += encode(codec, 100 + n)
    return data, firsts


def damaged(ps, kind, k, codec):
    if kind == "noise":
        ps = [bytearray(p) for p in ps]
        body = 27 + ps[k][26]
        for i in range(16):
            ps[k][body + (len(ps[k]) - body) // 2 + i] ^= 0x5A
        dm.mend(ps[k])
        return b"".join(ps)
    if kind == "foreign":
        stranger = dm.pages(encode(codec, 999))
        return b"".join(ps[:k] + [stranger[len(stranger) // 2]] + ps[k:])
    return dm.damaged(ps, kind, k)


KINDS = ("lose", "crc", "noise", "cut-inside", "junk", "duplicate", "foreign", "cut-link")


def cases():
    """(case, data, shape): each kind of damage at a page amid each link's audio; a cut near
    the file's end; a link of a chain cut amid its audio, the next link going on after it."""
    for name, codecs in SHAPES.items():
        data, firsts = shape(name)
        ps = dm.pages(data)
        bounds = firsts + [len(ps)]
        for li, codec in enumerate(codecs):
            for kind in KINDS:
                if kind == "cut-inside":
                    if li + 1 < len(codecs):
                        continue
                    k = len(ps) - max(2, (bounds[li + 1] - bounds[li]) // 40)
                elif kind == "cut-link":
                    if li + 1 == len(codecs):
                        continue
                    k = (bounds[li] + bounds[li + 1]) // 2
                    yield f"{name}.{kind}.{li}", b"".join(ps[:k] + ps[bounds[li + 1]:]), name
                    continue
                else:
                    k = (bounds[li] + bounds[li + 1]) // 2
                yield f"{name}.{kind}.{li}", damaged(ps, kind, k, codec), name


def decode(name, path):
    """The file's audio as its codec's own decoder gives it: (samples, rate)."""
    out = path + ".wav"
    codec = DECODERS[name]
    if codec == "vorbis":
        dm.run("oggdec", "-Q", "-o", out, path)
    elif codec == "opus":
        dm.run("opusdec", "--quiet", "--no-dither", path, out)
    else:
        dm.run("flac", "-d", "-s", "-f", "--ogg", "-o", out, path)
    with wave.open(out) as w:
        frames, rate, channels = w.readframes(w.getnframes()), w.getframerate(), w.getnchannels()
    os.remove(out)
    samples = struct.unpack(f"<{len(frames) // 2}h", frames)
    return [samples[i::channels] for i in range(channels)], rate


def kept_outside_lost(original, salvage, lost, tail_tolerance=0):
    """The salvage is the original before its first lost range and after its last, the end
    counted from the end: anything off in the granule positions shifts the tail."""
    (a, ra), (b, rb) = original, salvage
    if ra != rb or len(a) != len(b):
        return f"rate or channels differ: {ra}/{len(a)} against {rb}/{len(b)}"
    margin = 0.002
    head = len(a[0]) if not lost else max(0, int((lost[0][0] - margin) * ra))
    # A range lost to an end not known (a cut) leaves no tail to compare.
    tail = 0 if not lost or lost[-1][1] is None else max(
        0, len(a[0]) - int(math.ceil((lost[-1][1] + margin) * ra)))
    if not lost and len(a[0]) != len(b[0]):
        return f"nothing lost, but {len(b[0])} samples where the original has {len(a[0])}"
    for ch in range(len(a)):
        if a[ch][:head] != b[ch][:head]:
            first = next(i for i in range(head) if a[ch][i] != b[ch][i])
            return f"channel {ch} differs at sample {first}, before the first lost range ({head})"
        if tail:
            worst = max(abs(x - y) for x, y in zip(a[ch][-tail:], b[ch][-tail:]))
            if len(b[ch]) < tail or worst > tail_tolerance:
                return f"channel {ch}: the last {tail} samples differ by up to {worst}"
    return None


def cli(*args):
    return subprocess.run([CLI, *args], capture_output=True, text=True)


def records(output):
    return [json.loads(line) for line in output.splitlines() if line.startswith("{")]


def leftovers(*folders):
    return [os.path.join(d, f) for folder in folders for d, _, fs in os.walk(folder) for f in fs
            if f.endswith(".salvaging")]


def digest(folder):
    h = hashlib.sha256()
    for d, _, fs in sorted(os.walk(folder)):
        for f in sorted(fs):
            with open(os.path.join(d, f), "rb") as fh:
                h.update(f.encode() + fh.read())
    return h.hexdigest()


def model(failures, shares):
    folder, out = os.path.join(WORK, "cases"), os.path.join(WORK, "salvaged")
    os.makedirs(folder)
    table, originals = {}, {}
    for case, data, name in cases():
        path = os.path.join(folder, case + ".ogg")
        with open(path, "wb") as f:
            f.write(data)
        table[path] = name
    for name in DECODERS:
        originals[name] = path = os.path.join(WORK, name + ".ogg")
        with open(path, "wb") as f:
            f.write(shape(name)[0])
    before = digest(folder)
    done = cli("--all-codecs", "--strict", "--json", "-j2", "--salvage", out, folder)
    got = records(done.stdout)
    files = {r["path"]: r for r in got if r["type"] == "file"}
    salvages = {r["path"]: r for r in got if r["type"] == "salvage"}
    summary = [r for r in got if r["type"] == "salvage_summary"]
    if summary != [{"type": "salvage_summary", "salvaged": len(salvages), "not_salvaged": 0}]:
        failures.append(f"salvage summary: {summary}, {len(salvages)} salvages")
    decoded = {name: decode(name, path) for name, path in originals.items()}
    compare = []
    for path, name in sorted(table.items()):
        case = os.path.basename(path)
        f, s = files.get(path), salvages.get(path)
        damaged_ = f is not None and (f["verdict"] == "error" or bool(f.get("warnings")))
        if not damaged_:
            # Noise in a Vorbis packet leaves every page whole and libvorbis decodes it: the
            # check finds nothing, so there is nothing to salvage.
            if s is not None or ".noise." not in case:
                failures.append(f"{case}: check {json.dumps(f)}, salvage {json.dumps(s)}")
            continue
        if not s or not s["salvaged"]:
            failures.append(f"{case}: not salvaged: {json.dumps(s)}")
            continue
        # What each kind of damage loses: audio where a page or packet is gone, nothing
        # where the damage added bytes; a cut without a declared length, to an end not known.
        kind, link = case.split(".")[1], int(case.split(".")[2])
        lost = s["lost"]
        if bool(lost) != (kind in ("lose", "crc", "noise", "cut-inside", "cut-link")):
            failures.append(f"{case}: lost {lost}")
        cut_open = kind in ("cut-inside", "cut-link") and SHAPES[name][link] != "flac"
        if lost and (lost[-1][1] is None) != cut_open or any(b is None for _, b in lost[:-1]):
            failures.append(f"{case}: lost {lost}, open-ended only where a cut stream names no length")
        # Against the original's play time: a cut file does not know its own. A link cut
        # amid its audio loses the rest of it: not the damage of a page or a packet.
        share = s["kept"] / (SECONDS * len(SHAPES[name]))
        if kind != "cut-link":
            shares[kind].append(share)
        if os.environ.get("SALVAGE_SHARES"):
            print(f"{case}: {share:.1%} lost {s['lost']}")
        if share < 0.9 and kind != "cut-link":
            failures.append(f"{case}: kept {share:.1%} of the play time")
        if name in DECODERS:
            compare.append((case, name, s))

    def compared(job):
        case, name, s = job
        # Opus carries its decoder's state from packet to packet: after a packet lost,
        # the audio comes back to the original's, not bit for bit.
        tolerance = 4000 if name == "opus" and s["lost"] else 0
        wrong = kept_outside_lost(decoded[name], decode(name, s["destination"]), s["lost"], tolerance)
        return wrong and f"{case}: {wrong}; lost {s['lost']}"
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        failures.extend(wrong for wrong in pool.map(compared, compare) if wrong)
    # Every salvage passes the check and every format rule in a run of its own.
    again = records(cli("--all-codecs", "--strict", "--json", "-j2", out).stdout)
    for r in again:
        if r["type"] == "file" and (r["verdict"] != "ok" or r["warnings"]):
            failures.append(f"salvage fails its check: {json.dumps(r)}")
    if digest(folder) != before:
        failures.append("an original changed")
    return originals, decoded


def heal(failures, originals, decoded):
    """Two copies, each with its own damage: the salvage is the original."""
    for name in ("vorbis", "opus", "flac", "vorbis+vorbis"):
        data, firsts = shape(name)
        ps = dm.pages(data)
        mid = (firsts + [len(ps)])[1] // 2  # amid the first link's audio
        pairs = {"two-pages": (dm.damaged(ps, "crc", mid - 3), dm.damaged(ps, "crc", mid + 3)),
                 "headers": (dm.damaged(ps, "lose", 1), dm.damaged(ps, "lose", mid)),
                 "cut": (dm.damaged(ps, "cut-inside", mid), dm.damaged(ps, "crc", 2))}
        for pair, (one, two) in pairs.items():
            base = os.path.join(WORK, "heal", name, pair)
            for side, data_ in (("one", one), ("two", two)):
                os.makedirs(os.path.join(base, side))
                with open(os.path.join(base, side, "x.ogg"), "wb") as f:
                    f.write(data_)
            out = os.path.join(base, "out")
            got = records(cli("--all-codecs", "--strict", "--json", "--salvage", out, "--other-copies",
                              os.path.join(base, "two"), os.path.join(base, "one")).stdout)
            s = next((r for r in got if r["type"] == "salvage"), None)
            if not s or not s["salvaged"] or s["lost"] or s["pages_from_other_copy"] < 1:
                failures.append(f"heal {name} {pair}: {json.dumps(s)}")
                continue
            wrong = kept_outside_lost(decoded[name], decode(name, s["destination"]), [])
            if wrong:
                failures.append(f"heal {name} {pair}: {wrong}")
        # Both lost the same page: the salvage goes on as from one copy.
        base = os.path.join(WORK, "heal", name, "same")
        for side in ("one", "two"):
            os.makedirs(os.path.join(base, side))
            with open(os.path.join(base, side, "x.ogg"), "wb") as f:
                f.write(dm.damaged(ps, "crc", mid))
        got = records(cli("--all-codecs", "--json", "--salvage", os.path.join(base, "out"),
                          "--other-copies", os.path.join(base, "two"), os.path.join(base, "one")).stdout)
        s = next((r for r in got if r["type"] == "salvage"), None)
        if not s or not s["salvaged"] or not s["lost"]:
            failures.append(f"heal {name} same page lost in both: {json.dumps(s)}")


def big(failures, decoded):
    """Past 2 GiB and past 4 GiB: gigabytes of zeros amid a link's audio (a hole of a sparse
    file, which costs no disk and reads fast), and a page after them whose CRC fails, so that
    every page after the hole lies where 32 bits cannot say. The zeros are bytes between
    pages, left out at no loss; the salvage loses the broken page's stretch alone, passes
    its check, and is the original's audio outside it."""
    for name, gib in (("vorbis", 2.1), ("vorbis+opus+flac", 4.3)):
        data, firsts = shape(name)
        ps = dm.pages(data)
        bounds = firsts + [len(ps)]
        hole = (bounds[0] + bounds[1]) // 2
        broken = dm.pages(dm.damaged(ps, "crc", (bounds[-2] + bounds[-1]) // 2 + 1))
        folder = os.path.join(WORK, "big", name)
        os.makedirs(folder)
        path = os.path.join(folder, "x.ogg")
        with open(path, "wb") as f:
            f.write(b"".join(broken[:hole]))
            f.seek(int(gib * 2 ** 30), os.SEEK_CUR)
            f.write(b"".join(broken[hole:]))
        out = os.path.join(folder, "out")
        got = records(cli("--all-codecs", "--strict", "--json", "-j2", "--salvage", out, path).stdout)
        os.remove(path)
        f_ = next((r for r in got if r["type"] == "file"), {})
        s = next((r for r in got if r["type"] == "salvage"), None)
        if f_.get("verdict") != "error" or not s or not s["salvaged"] or len(s["lost"]) != 1 or (
                s["kept"] < 0.9 * SECONDS * len(SHAPES[name])):
            failures.append(f"{gib} GiB {name}: {json.dumps(f_)} {json.dumps(s)}")
            continue
        again = records(cli("--all-codecs", "--strict", "--json", s["destination"]).stdout)
        if [(r["verdict"], r["warnings"]) for r in again if r["type"] == "file"] != [("ok", [])]:
            failures.append(f"{gib} GiB {name}: the salvage fails its check: {again}")
        if name in DECODERS:
            wrong = kept_outside_lost(decoded[name], decode(name, s["destination"]), s["lost"])
            if wrong:
                failures.append(f"{gib} GiB {name}: {wrong}; lost {s['lost']}")


def bad_input(failures):
    """Each gets a clear line and an exit status that claims no more than was done; nothing
    is overwritten without --force, nothing half-written is left."""
    base = os.path.join(WORK, "bad")
    ps = dm.pages(encode("vorbis", 100))
    broken = dm.damaged(ps, "crc", len(ps) // 2)
    headless = dm.damaged(ps, "lose", 1)
    files = {"lib/a/x.ogg": broken, "lib/b/x.ogg": broken, "lib/c/headless.ogg": headless,
             "lib/d/sub/y.ogg": broken}
    for rel, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(base, rel)), exist_ok=True)
        with open(os.path.join(base, rel), "wb") as f:
            f.write(data)
    lib = os.path.join(base, "lib")
    inside = os.path.join(lib, "salvaged")
    with open(os.path.join(base, "plain"), "w") as f:
        f.write("a file, not a folder")
    os.makedirs(os.path.join(base, "blocked"))
    with open(os.path.join(base, "blocked", "sub"), "w") as f:
        f.write("where the folder sub should be made")
    os.symlink(inside, os.path.join(base, "to-salvaged"))
    before = digest(lib)
    lines = lambda done: done.stdout + done.stderr  # noqa: E731
    # (what, arguments, exit status, texts the output must hold, texts it must not)
    table = [
        ("a salvage folder inside the PATH", ["--salvage", inside, lib], 1,
         ["SALVAGED (kept", "NOT SALVAGED (the headers of a stream are lost or damaged)",
          "Salvage: 3 SALVAGED, 1 NOT SALVAGED"], []),
        ("this run's salvages are not checked, earlier ones are not replaced",
         ["--salvage", inside, lib], 1,
         ["3 files under the salvage folder", "is there already; --force replaces it",
          "4 files, 4 errors"], ["SALVAGED (kept"]),
        ("--force replaces them", ["--force", "--salvage", inside, lib], 1,
         ["Salvage: 3 SALVAGED, 1 NOT SALVAGED"], []),
        ("a salvage folder reached through a link is the folder it leads to",
         ["--salvage", os.path.join(base, "to-salvaged"), lib], 1,
         ["3 files under the salvage folder", "4 files, 4 errors"], ["SALVAGED (kept"]),
        ("the same name reached twice", ["--salvage", os.path.join(base, "twice"),
                                         os.path.join(lib, "a", "x.ogg"),
                                         os.path.join(lib, "b", "x.ogg")], 1,
         ["another file of this run was salvaged to", "Salvage: 1 SALVAGED, 1 NOT SALVAGED"], []),
        ("a salvage folder that is a file", ["--salvage", os.path.join(base, "plain"), lib], 2,
         ["is not a folder"], ["SALVAGED"]),
        ("a folder that cannot be made", ["--salvage", os.path.join(base, "blocked"),
                                          os.path.join(lib, "d")], 3,
         ["NOT SALVAGED (cannot make the folder"], []),
        ("--quick finds the damage; the salvage is still checked in full",
         ["--quick", "--salvage", os.path.join(base, "quick"), os.path.join(lib, "a")], 1,
         ["SALVAGED (kept", "Salvage: 1 SALVAGED, 0 NOT SALVAGED"], []),
        ("with a results database, one job",
         ["--db", os.path.join(base, "r.db"), "-j1", "--salvage", os.path.join(base, "db"),
          os.path.join(lib, "a")], 1, ["SALVAGED (kept", "Salvage: 1 SALVAGED, 0 NOT SALVAGED"], []),
        ("--force alone", ["--force", lib], 2, ["go with --salvage DIR"], []),
        ("--other-copies alone", ["--other-copies", base, lib], 2, ["go with --salvage DIR"], []),
        ("--salvage with a question for the database",
         ["--salvage", base, "--db", os.path.join(base, "r.db"), "--show-errors"], 2,
         ["--salvage repairs what a check finds"], []),
    ]
    for what, args, status, must, mustnot in table:
        done = cli(*args)
        text = lines(done)
        if done.returncode != status or any(m not in text for m in must) or any(
                m in text for m in mustnot):
            failures.append(f"{what}: exit {done.returncode}, want {status}:\n{text}")
    if leftovers(base):
        failures.append(f"half-written salvages left: {leftovers(base)}")
    if os.path.exists(os.path.join(inside, "c", "headless.ogg")):
        failures.append("a salvage that failed was left behind")
    if digest(lib) == before:
        failures.append("the salvage folder inside the PATH holds nothing")
    for rel, data in files.items():
        with open(os.path.join(base, rel), "rb") as f:
            if f.read() != data:
                failures.append(f"{rel} changed")


def main():
    failures, shares = [], collections.defaultdict(list)
    originals, decoded = model(failures, shares)
    heal(failures, originals, decoded)
    big(failures, decoded)
    bad_input(failures)
    print("\n".join(failures))
    every = sorted(s for v in shares.values() for s in v)
    print("kept play time: " + ", ".join(
        f"{kind} {min(v):.1%}..{max(v):.1%}" for kind, v in sorted(shares.items())))
    if every:
        print(f"all {len(every)} salvages: min {every[0]:.1%}, median {every[len(every) // 2]:.1%}")
    print(f"{len(failures)} wrong")
    return 1 if failures else 0


sys.exit(main())
