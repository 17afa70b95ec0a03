#!/usr/bin/env python3
"""What keeps a file's audio hash and what changes it, stated once as a table of rewrites
of real encoder output, run through every way of checking; then what --db names across a
rerun.

usage: audio_hash_test.py HARROWBIT_CLI
"""
import json, os, shutil, struct, subprocess, sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import damage_model_test as model  # noqa: E402  (its encoders, page reader and CRC)

CLI, WORK, TONE = model.CLI, model.WORK, model.TONE
HEADERS = {"vorbis": 3, "opus": 2}


def page(serial, sequence, granule, flags, packets_bytes, lacing):
    head = b"OggS\0" + bytes([flags]) + struct.pack("<qIII", granule, serial, sequence, 0)
    return model.mend(bytearray(head + bytes([len(lacing)]) + bytes(lacing) + packets_bytes))


def packets(ps):
    """A stream's packets, each with the index of the page that ends it."""
    out, part = [], b""
    for i, p in enumerate(ps):
        n, at = p[26], 27 + p[26]
        for v in p[27:27 + n]:
            part += p[at:at + v]
            at += v
            if v < 255:
                out.append((part, i))
                part = b""
    return out


def header_count(codec, pk):
    return 1 + struct.unpack(">H", pk[0][0][7:9])[0] if codec == "flac" else HEADERS[codec]


def relaid(ps, codec, headers):
    """The stream with its header packets laid out anew, 4000 bytes a page, and its audio
    pages renumbered after them: what a tag editor writes."""
    serial = struct.unpack("<I", ps[0][14:18])[0]
    last = packets(ps)[header_count(codec, packets(ps)) - 1][1]
    out = [page(serial, 0, 0, 2, headers[0], lace(len(headers[0])))]
    # Each header packet's bytes by its lacing, a page cut at 4000 bytes or 255 values.
    laid, body, lacing, flags = [], b"", [], 0
    for packet in headers[1:]:
        at = 0
        for v in lace(len(packet)):
            if len(lacing) == 255 or len(body) + v > 4000:
                laid.append((flags, body, lacing))
                flags = 1 if at > 0 else 0
                body, lacing = b"", []
            body += packet[at:at + v]
            at += v
            lacing.append(v)
    laid.append((flags, body, lacing))
    out += [page(serial, 1 + i, 0, f, b, l) for i, (f, b, l) in enumerate(laid)]
    for p in ps[last + 1:]:
        p = bytearray(p)
        p[18:22] = struct.pack("<I", len(out))
        out.append(model.mend(p))
    return out


def lace(size):
    return [255] * (size // 255) + [size % 255]


def retagged(ps, codec):
    """The comment packet grown by a 6000-byte field (and for FLAC a padding block more),
    its pages laid anew with mended CRCs."""
    pk = [p for p, _ in packets(ps)[:header_count(codec, packets(ps))]]
    field = b"COMMENT=" + b"retagged " * 666
    if codec == "flac":
        # The comment block, one field more, and a padding block after it, which is now the
        # last; the count of header packets in the first packet grows by one.
        i = next(i for i, p in enumerate(pk) if p[0] & 0x7F == 4)
        block = pk[i][4:]
        vendor = struct.unpack("<I", block[:4])[0]
        count = struct.unpack("<I", block[4 + vendor:8 + vendor])[0]
        block = block[:4 + vendor] + struct.pack("<I", count + 1) + block[8 + vendor:] + \
            struct.pack("<I", len(field)) + field
        last = pk[i][0] & 0x80
        pk[i] = bytes([4]) + len(block).to_bytes(3, "big") + block
        pk.insert(i + 1, bytes([1 | last]) + (3000).to_bytes(3, "big") + bytes(3000))
        pk[0] = pk[0][:7] + struct.pack(">H", len(pk) - 1) + pk[0][9:]
    else:
        # One field more after the others (Vorbis's framing bit, Opus's padding after them).
        c, at = pk[1], (7 if codec == "vorbis" else 8)
        at += 4 + struct.unpack("<I", c[at:at + 4])[0]
        count = struct.unpack("<I", c[at:at + 4])[0]
        end = at + 4
        for _ in range(count):
            end += 4 + struct.unpack("<I", c[end:end + 4])[0]
        pk[1] = c[:at] + struct.pack("<I", count + 1) + c[at + 4:end] + struct.pack("<I", len(field)) + \
            field + c[end:]
    return relaid(ps, codec, pk)


def repaged(ps, codec):
    """Every two neighbouring audio pages as one where their lacing fits, renumbered with
    mended CRCs: the packets and their granule positions are the same, every page is new."""
    headers = packets(ps)[header_count(codec, packets(ps)) - 1][1] + 1
    out, i = [bytearray(p) for p in ps[:headers]], headers
    while i < len(ps):
        a = ps[i]
        b = ps[i + 1] if i + 1 < len(ps) else None
        if b is None or a[26] + b[26] > 255:
            out.append(bytearray(a))
            i += 1
            continue
        granule = model.granule(b) if model.granule(b) != -1 else model.granule(a)
        flags = (a[5] & 1) | (b[5] & 4)
        merged = page(0, 0, granule, flags, a[27 + a[26]:] + b[27 + b[26]:], list(a[27:27 + a[26]]) +
                      list(b[27:27 + b[26]]))
        merged[14:18] = a[14:18]
        out.append(merged)
        i += 2
    for n, p in enumerate(out):
        p[18:22] = struct.pack("<I", n)
        model.mend(p)
    return out


def flipped(ps, codec, nth):
    """One byte inside an audio packet of a middle page changed, its CRC mended: `nth`
    chooses the byte, for a file that still decodes clean."""
    out = [bytearray(p) for p in ps]
    p = out[len(out) // 2]
    body = 27 + p[26]
    at = body + (len(p) - body) * (nth + 1) // 13
    p[at] ^= 0x10
    model.mend(p)
    return out


def encoded(codec, serial, other):
    """The tone through its codec's encoder; `other`: by other settings, the same music."""
    if not other:
        return model.encode(codec, serial)
    out = os.path.join(WORK, f"{codec}-{serial}-other")
    if codec == "vorbis":
        model.run("oggenc", "-Q", "-q", "3", "-s", str(serial), TONE, "-o", out)
    elif codec == "opus":
        model.run("opusenc", "--quiet", "--bitrate", "48", "--serial", str(serial), TONE, out)
    else:
        model.run("flac", "-s", "--ogg", "-b", "4096", f"--serial-number={serial}", TONE, "-o", out)
    with open(out, "rb") as f:
        return f.read()


def link(codec, n, other=False):
    return model.pages(encoded(codec, 100 + n, other))


def joined(*links):
    return b"".join(b"".join(bytes(p) for p in ps) for ps in links)


# The rule, once: what a rewrite does to the hash. Each row: a name, the file before, the file
# after, and whether the hash stays.
def table():
    rows = []
    for codecs in (["vorbis"], ["opus"], ["flac"], ["vorbis", "vorbis"], ["vorbis", "opus", "flac"]):
        name = "+".join(codecs)
        links = [link(c, n) for n, c in enumerate(codecs)]
        base = joined(*links)
        last = len(links) - 1
        for what, change in (("retagged", retagged), ("repaged", repaged)):
            after = [change(ps, codecs[k]) if k == last else ps for k, ps in enumerate(links)]
            rows.append((f"{name}.{what}", base, joined(*after), True))
        reencoded = [link(c, n, other=k == last) for k, (n, c) in enumerate(enumerate(codecs))]
        rows.append((f"{name}.reencoded", base, joined(*reencoded), False))
        if codecs[-1] != "flac":  # a changed FLAC frame fails its CRC or its stream's MD5
            for nth in range(4):
                after = links[:last] + [flipped(links[last], codecs[last], nth)]
                rows.append((f"{name}.flipped{nth}", base, joined(*after), False))
    # What vorbiscomment itself writes: a field added, the headers laid out anew.
    retag = write(os.path.join(WORK, "vorbiscomment.ogg"), joined(link("vorbis", 0)))
    model.run("vorbiscomment", "-a", "-t", "ARTIST=" + "someone " * 800, retag)
    rows.append(("vorbis.vorbiscomment", joined(link("vorbis", 0)), open(retag, "rb").read(), True))
    a, b, c = link("vorbis", 0), link("vorbis", 1, other=True), link("opus", 1)
    rows.append(("vorbis+vorbis.reordered", joined(a, b), joined(b, a), False))
    rows.append(("vorbis+opus.replaced", joined(a, c), joined(a, link("opus", 1, other=True)), False))
    # A re-paging of the first link of a chain keeps it too.
    rows.append(("vorbis+opus.first-repaged", joined(a, c), joined(repaged(a, "vorbis"), c), True))
    return rows


def ways(only_vorbis):
    every = [["--all-codecs", "-j3"], ["--all-codecs", "--quick", "--in-process"],
             ["--all-codecs", "--strict", "--in-process"], ["--all-codecs", "--quick", "-j1"]]
    return every + ([["-j2"], ["--quick", "--in-process"], ["--strict", "-j1"]] if only_vorbis else [])


def check(paths, *options):
    done = subprocess.run([CLI, "--json", *options, *paths], capture_output=True, text=True)
    return {r["path"]: r for r in map(json.loads, done.stdout.splitlines()) if r["type"] == "file"}, done


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def main():
    failures = []
    folder = os.path.join(WORK, "hash")
    os.makedirs(folder)
    rows = table()
    files = {}
    for name, before, after, kept in rows:
        files[name] = (write(os.path.join(folder, name + ".before.ogg"), before),
                       write(os.path.join(folder, name + ".after.ogg"), after), kept,
                       b"OpusHead" not in before and b"\x7fFLAC" not in before)
    hashes = {}
    for way in {tuple(w) for *_, only in files.values() for w in ways(only)}:
        paths = [p for a, b, _, only in files.values() if list(way) in ways(only) for p in (a, b)]
        got, _ = check(sorted(paths), *way)
        for name, (a, b, kept, only) in files.items():
            if list(way) not in ways(only):
                continue
            ra, rb = got.get(a, {}), got.get(b, {})
            ha, hb = ra.get("audio_hash"), rb.get("audio_hash")
            if ra.get("verdict") != "ok" or rb.get("verdict") != "ok" or not ha or not hb:
                if not name.split(".")[-1].startswith("flipped"):
                    failures.append(f"{' '.join(way)}: {name}: not clean or no hash: {ra} {rb}")
                continue
            hashes.setdefault(a, set()).add(ha)
            hashes.setdefault(b, set()).add(hb)
            if (ha == hb) != kept:
                failures.append(f"{' '.join(way)}: {name}: hash {'changed' if kept else 'kept'}")
    # Every way of checking gives a file one hash; each flipped file that decoded clean in
    # some way did in all.
    failures += [f"{p}: hashes differ by the way of checking: {h}" for p, h in hashes.items() if len(h) != 1]
    flips = [n for n in files if n.split(".")[-1].startswith("flipped")]
    for shape in {n.rsplit(".", 1)[0] for n in flips}:
        if not any(files[n][1] in hashes for n in flips if n.startswith(shape + ".")):
            failures.append(f"{shape}: no flipped byte left the file decoding clean")

    # --db across a rerun: the files rewritten in place, checked again.
    night = [n for n in files if n in ("vorbis.retagged", "vorbis.reencoded", "vorbis+opus+flac.repaged",
                                       "opus.retagged", "vorbis+vorbis.reordered", "flac.reencoded")]
    night += [n for n in flips if files[n][1] in hashes][:1]
    lib = os.path.join(WORK, "lib")
    os.makedirs(lib)
    placed = {n: write(os.path.join(lib, f"{i:02}.ogg"), open(files[n][0], "rb").read())
              for i, n in enumerate(sorted(night))}
    db, other = os.path.join(WORK, "all.db"), os.path.join(WORK, "plain.db")
    order = sorted(placed.values())
    check(order, "--db", db, "--all-codecs")
    check([p for n, p in placed.items() if files[n][3]], "--db", other, "--all-codecs")
    for n, p in placed.items():
        write(p, open(files[n][1], "rb").read())
    shutil.copy(db, db + ".copy")
    got, done = check(order, "--db", db, "--all-codecs")
    named = {os.path.basename(p) for p, r in got.items() if r.get("audio_changed")}
    want = {os.path.basename(placed[n]) for n in night if not files[n][2]}
    if named != want or done.returncode != 0:
        failures.append(f"--db named {sorted(named)}, want {sorted(want)}; exit {done.returncode}")
    summary = json.loads(done.stdout.splitlines()[-1])
    numbers = sorted(order.index(placed[n]) + 1 for n in night if not files[n][2])
    if summary.get("audio_changed") != numbers:
        failures.append(f"summary's audio_changed {summary.get('audio_changed')}, want {numbers}")
    if any(r.get("audio_changed") and not r.get("audio_was_checked_at") for r in got.values()):
        failures.append("an audio change without the time of the check before")
    text = subprocess.run([CLI, "--db", db + ".copy", "--all-codecs", "--fail-on-audio-change", *order],
                          capture_output=True, text=True)
    line = f"Audio changed since its last check: {len(numbers)} files [{','.join(map(str, numbers))}]"
    if line not in text.stdout.splitlines() or text.returncode != 1:
        failures.append(f"--fail-on-audio-change: exit {text.returncode}, no line {line!r}:\n{text.stdout}")
    shown = subprocess.run([CLI, "--db", db, "--show-changes", "--json"], capture_output=True, text=True)
    listed = {os.path.basename(r["path"]) for r in map(json.loads, shown.stdout.splitlines())
              if r["type"] == "file"}
    if listed != want:
        failures.append(f"--show-changes listed {sorted(listed)}, want {sorted(want)}")
    # Unchanged since, the files are not compared again; a record that stands shows its hash.
    again, _ = check(order, "--db", db, "--all-codecs", "--skip-checked", "1")
    if any(r.get("audio_changed") for r in again.values()) or \
            any(again[p].get("audio_hash") != got[p].get("audio_hash") for p in order):
        failures.append(f"a rerun over unchanged files: {again}")
    # A record of another reach is never compared: the plain check has only its own.
    plain, _ = check([p for n, p in placed.items() if files[n][3]], "--db", other)
    if any(r.get("audio_changed") for r in plain.values()):
        failures.append(f"compared with a record of another reach: {plain}")

    # The new options ask for a database, and --show-changes is a question of its own.
    for args, status in ((["--show-changes"], 2), (["--fail-on-audio-change", lib], 2),
                         (["--db", db, "--show-changes", "--show-errors"], 2),
                         (["--db", db, "--show-changes", "--coverage", "1", lib], 2),
                         (["--db", db, "--show-changes"], 0), (["--db", db, "--all-codecs", "--fail-on-audio-change", lib], 0)):
        got = subprocess.run([CLI, *args], capture_output=True, text=True).returncode
        if got != status:
            failures.append(f"{' '.join(args)}: exit {got}, want {status}")

    print("\n".join(failures))
    print(f"{len(rows)} rewrites, {len(failures)} wrong")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
