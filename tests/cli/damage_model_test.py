#!/usr/bin/env python3
"""What each kind of damage means, stated once, checked on real encoder output.

Clean files come from oggenc, opusenc and flac --ogg (and speexenc's, a codec left unchecked),
alone and chained. Each kind of damage is applied at each header page, the first audio page,
a middle page and the last page of every link; the rule below says what the verdict must be
(OK or an error, and where), and every case goes through every way of checking.

usage: damage_model_test.py HARROWBIT_CLI
"""
import atexit, functools, json, math, os, shutil, struct, subprocess, sys, tempfile, wave

CLI = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="harrowbit-model-")
atexit.register(shutil.rmtree, WORK, ignore_errors=True)


def run(*args):
    done = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit(f"{' '.join(args)}: {done.stderr}")


# Ogg's CRC: polynomial 0x04c11db7, no reflection, no final xor.
CRC = [0] * 256
for i in range(256):
    r = i << 24
    for _ in range(8):
        r = ((r << 1) ^ 0x04C11DB7) if r & 0x80000000 else r << 1
    CRC[i] = r & 0xFFFFFFFF


def mend(page):
    page[22:26] = b"\0\0\0\0"
    c = 0
    for b in page:
        c = ((c << 8) ^ CRC[(c >> 24) ^ b]) & 0xFFFFFFFF
    page[22:26] = struct.pack("<I", c)
    return page


def pages(data):
    out, at = [], 0
    while at < len(data):
        n = data[at + 26]
        size = 27 + n + sum(data[at + 27 : at + 27 + n])
        out.append(bytearray(data[at : at + size]))
        at += size
    return out


def granule(p):
    return struct.unpack("<q", p[6:14])[0]


class Link:
    """A link's pages in the file, its codec, and its play time by granule position."""

    def __init__(self, codec, first, count, data):
        self.codec, self.first, self.count = codec, first, count
        ps = pages(data)
        head = ps[0][27 + ps[0][26] :]
        self.rate = {"opus": 48000, "speex": 0}.get(codec, 44100) or struct.unpack("<I", head[36:40])[0]
        self.skip = struct.unpack("<H", head[10:12])[0] if codec == "opus" else 0
        # The first page whose granule position counts audio ends the headers.
        self.audio = next(i for i, p in enumerate(ps) if granule(p) > 0 or i == len(ps) - 1)
        if codec == "flac":  # flac names a page by the first sample of its last frame
            self.audio -= 1
        self.times = [max(granule(p) - self.skip, 0) / self.rate for p in ps]
        self.seconds = self.times[-1]


@functools.cache
def encode(codec, serial):
    out = os.path.join(WORK, f"{codec}-{serial}")
    if codec == "vorbis":
        run("oggenc", "-Q", "-q", "8", "-s", str(serial), TONE, "-o", out)
    elif codec == "opus":
        run("opusenc", "--quiet", "--max-delay", "300", "--serial", str(serial), TONE, out)
    elif codec == "flac":
        run("flac", "-s", "--ogg", "-b", "2048", f"--serial-number={serial}", TONE, "-o", out)
    else:
        run("speexenc", "--quiet", "-w", TONE16, out)
    with open(out, "rb") as f:
        return f.read()


def shape(codecs):
    data, links = b"", []
    for n, codec in enumerate(codecs):
        stream = encode(codec, 100 + n)
        links.append(Link(codec, len(pages(data)), len(pages(stream)), stream))
        data += stream
    return data, links


def tone(name, rate, channels):
    path = os.path.join(WORK, name)
    with wave.open(path, "wb") as w:
        w.setnchannels(channels), w.setsampwidth(2), w.setframerate(rate)
        w.writeframes(b"".join(struct.pack("<h", v) * channels for v in (
            int(9000 * math.sin(i * 0.0627) + 4000 * math.sin(i * 0.173)) for i in range(rate * 2))))
    return path


TONE, TONE16 = tone("tone.wav", 44100, 2), tone("tone16.wav", 16000, 1)

SHAPES = {
    "vorbis": ["vorbis"], "opus": ["opus"], "flac": ["flac"], "vorbis+vorbis": ["vorbis", "vorbis"],
    "opus+vorbis": ["opus", "vorbis"], "vorbis+opus+flac": ["vorbis", "opus", "flac"],
    "flac+flac": ["flac", "flac"], "vorbis+speex+opus": ["vorbis", "speex", "opus"],
}


def damaged(ps, kind, k):
    ps = [bytearray(p) for p in ps]
    if kind == "lose":
        del ps[k]
    elif kind == "crc":
        ps[k][-1] ^= 0x55
    elif kind == "duplicate":
        ps.insert(k, bytearray(ps[k]))
    elif kind == "renumber":
        ps[k][18:22] = struct.pack("<I", struct.unpack("<I", ps[k][18:22])[0] + 7)
        mend(ps[k])
    elif kind == "cut":
        ps = ps[:k]
    elif kind == "cut-inside":
        ps = ps[:k] + [ps[k][: len(ps[k]) // 2]]
    elif kind == "junk":
        ps.insert(k, bytearray(b"junk" * 40))
    elif kind == "no-eos":
        ps[k][5] &= ~4
        mend(ps[k])
    return b"".join(ps)


# The rule, once. A case is (kind, role of the page, the link is the file's last, the
# link's codec); the answer is "ok", "ok+" (OK, and --strict names a breach) or
# "error". An error lies at the damaged page: after the audio of the page before it began,
# at most at the end of the damaged page's own audio.
def expect(kind, role, last, codec, first=False):
    checked = codec != "speex"
    if kind in ("lose", "crc") and role == "bos" and not first:
        # Once a stream's first page is lost, nothing says what its pages hold.
        return "error"
    if kind in ("cut", "cut-inside") and role == "next":
        # The file ends where a whole link ended: nothing of it is lost.
        return "ok" if kind == "cut" else "ok+"
    if not checked:
        # Nothing of the audio is verified; a cut before a later link still ends the file.
        return "ok+"
    if kind == "junk":
        return "ok+"
    if kind == "no-eos":
        return "error" if last else "ok+"
    if kind in ("lose", "crc") and role == "last" and not last:
        # A link's last page lost looks like a link that ended without its flag, and
        # --strict names the flag; only a FLAC stream says in its header how long it is.
        return "error" if codec == "flac" else "ok+"
    return "error"


def cases():
    for name, codecs in SHAPES.items():
        data, links = shape(codecs)
        ps = pages(data)
        for li, link in enumerate(links):
            last = li == len(links) - 1
            roles = {link.first + i: "bos" if i == 0 else "header" for i in range(link.audio)}
            roles[link.first + link.audio] = "first-audio"
            roles[link.first + (link.audio + link.count) // 2] = "middle"
            roles[link.first + link.count - 1] = "last"
            start = sum(l.seconds for l in links[:li])
            for k, role in sorted(roles.items()):
                i = k - link.first
                lo = start + (link.times[i - 2] if i >= 2 + link.audio else 0)
                hi = start + link.times[i]
                for kind in ("lose", "crc", "duplicate", "renumber", "cut", "cut-inside", "junk", "no-eos"):
                    if kind == "no-eos" and role != "last":
                        continue
                    if kind in ("duplicate", "renumber") and role in ("bos", "header"):
                        continue  # what a decoder makes of a header twice is its own affair
                    if kind in ("cut", "cut-inside") and role == "bos" and li > 0:
                        yield (f"{name}.{kind}.{li}.next", damaged(ps, kind, k), name,
                               expect(kind, "next", last, links[li - 1].codec), start - 0.01, start + 0.01)
                        continue
                    # A cut loses the page and all after it: the fault lies where the audio
                    # before it ends.
                    cut = kind in ("cut", "cut-inside")
                    at = (lo, hi) if not cut else (start + (link.times[i - 2] if i >= 2 + link.audio else 0),
                                                   start + (link.times[i - 1] if i > 0 else 0))
                    yield (f"{name}.{kind}.{li}.{role}.{k}", damaged(ps, kind, k), name,
                           expect(kind, role, last, link.codec, li == 0), at[0] - 0.01, at[1] + 0.01)


def ways(name):
    every = [["--all-codecs", "--in-process"], ["--all-codecs", "--quick", "--in-process"],
             ["--all-codecs", "-j3"], ["--all-codecs", "--quick", "-j1"],
             ["--all-codecs", "--strict", "-j2"], ["--all-codecs", "--strict", "--quick", "--in-process"]]
    vorbis = [["-j2"], ["--quick", "--in-process"], ["--strict", "--in-process"]]
    return every + (vorbis if set(SHAPES[name]) == {"vorbis"} else [])


def main():
    folder = os.path.join(WORK, "cases")
    os.makedirs(folder)
    table = {}
    for case, data, name, want, lo, hi in cases():
        path = os.path.join(folder, case + ".ogg")
        with open(path, "wb") as f:
            f.write(data)
        table[path] = (name, want, lo, hi)
    failures = []
    for way in {tuple(w) for name in SHAPES for w in ways(name)}:
        paths = [p for p, (name, *_) in table.items() if list(way) in ways(name)]
        out = subprocess.run([CLI, "--json", *way, *sorted(paths)], capture_output=True, text=True).stdout
        got = {r["path"]: r for r in map(json.loads, out.splitlines()) if r["type"] == "file"}
        for path in paths:
            name, want, lo, hi = table[path]
            r = got.get(path)
            strict = "--strict" in way
            verdict = r and r["verdict"]
            ok = r is not None
            if want.startswith("ok"):
                ok = ok and verdict in ("ok", "not_checked") and (
                    not strict or bool(r.get("warnings")) == (want == "ok+"))
            else:
                ok = ok and verdict == "error" and (
                    r["position"] is None or lo <= r["position"] <= hi)
            if not ok:
                failures.append(f"{' '.join(way)}: {os.path.basename(path)}: want {want}"
                                f" in [{lo:.2f}, {hi:.2f}], got {json.dumps(r)}")
    # What a file is, said once for every way of checking every codec: a stream its library
    # declines is not checked, an empty ".opus" is refused by opusfile, and Ogg FLAC written
    # to a pipe plays as long as its last granule position says.
    raw = os.path.join(WORK, "raw")
    with open(raw, "wb") as f:
        f.write(bytes(range(256)) * 4500)
    facts = {"mapping-255.opus": ("not_checked", "OP_EIMPL", 0), "empty.opus": ("error", "OP_ENOTFORMAT", None),
             "piped.oga": ("ok", None, 2.0)}
    run("opusenc", "--quiet", "--raw", "--raw-chan", "12", raw, os.path.join(folder, "mapping-255.opus"))
    open(os.path.join(folder, "empty.opus"), "wb").close()
    run("sh", "-c", f"tail -c +45 {TONE} | flac -s --ogg --force-raw-format --endian=little --sign=signed"
        f" --channels=2 --bps=16 --sample-rate=44100 - -c > {os.path.join(folder, 'piped.oga')}")
    for way in ways("opus+vorbis"):
        out = subprocess.run([CLI, "--json", *way, *(os.path.join(folder, n) for n in facts)],
                             capture_output=True, text=True).stdout
        for r in (json.loads(line) for line in out.splitlines()):
            verdict, reason, length = facts.get(os.path.basename(r.get("path", "")), (None,) * 3)
            if verdict and (r["verdict"], (r["reason"] or "").split(":")[-1].strip(" ()").split("(")[-1] or None,
                            None if length is None else round(r["length"], 1)) != (verdict, reason, length):
                failures.append(f"{' '.join(way)}: {json.dumps(r)}")
    print("\n".join(sorted(failures)))
    print(f"{len(table)} cases, {len(failures)} wrong")
    return 1 if failures else 0


# audio_hash_test.py takes the encoders and the page surgery from here.
if __name__ == "__main__":
    sys.exit(main())
