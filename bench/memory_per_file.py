#!/usr/bin/env python3
"""Memory the CLI needs per file of a big library, beyond the file's path.

    bench/memory_per_file.py [--build DIR] [--files N ...] [--limit BYTES]

Makes N empty .ogg files (each gets "OV_ENOTVORBIS", the cheapest verdict, so the run
measures what the scan keeps per file rather than decoding) with paths of 55 bytes, runs
`harrowbit-cli -j2 -q` over them and reads the peak resident size. A run over 1,000 files
gives the fixed cost; the rest divided by the extra files, less the path's length, is the
cost per file. Fails when it exceeds --limit (100 bytes).
"""

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile

PATH_BYTES = 55


def make_library_from(root, start, count):
    # root/dNNNN/ holds 1,000 files; names are padded so every path is PATH_BYTES long.
    for i in range(start, count):
        folder = os.path.join(root, "d%04d" % (i // 1000))
        if i % 1000 == 0 or i == start:
            os.makedirs(folder, exist_ok=True)
        stem = os.path.join(folder, "f%07d-" % i)
        name = stem + "x" * (PATH_BYTES - len(stem) - 4) + ".ogg"
        open(name, "wb").close()


def peak_kib(cli, folder):
    # Each run in a child of its own, so ru_maxrss is that run's alone.
    code = ("import resource,subprocess,sys;"
            "subprocess.run(sys.argv[1:],stdout=subprocess.DEVNULL,stderr=subprocess.DEVNULL);"
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    out = subprocess.run([sys.executable, "-c", code, cli, "-j2", "-q", folder],
                         capture_output=True, text=True, check=True)
    return int(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--files", type=int, nargs="+", default=[200_000, 1_000_000])
    parser.add_argument("--limit", type=float, default=100)
    args = parser.parse_args()
    cli = os.path.join(args.build, "cli", "harrowbit-cli")
    base_count = 1000
    failed = False
    with tempfile.TemporaryDirectory(prefix="harrowbit-memory-") as tmp:
        root = os.path.join(tmp, "l")
        small = os.path.join(tmp, "small")
        make_library_from(small, 0, base_count)
        base = peak_kib(cli, small)
        shutil.rmtree(small)
        made = 0
        for count in sorted(args.files):
            # The library only grows: files already made are kept.
            make_library_from(root, made, count)
            made = count
            peak = peak_kib(cli, root)
            per_file = (peak - base) * 1024 / (count - base_count) - PATH_BYTES
            verdict = "ok" if per_file <= args.limit else "over the limit"
            print(f"{count:>9} files: peak {peak / 1024:.1f} MiB (fixed {base / 1024:.1f} MiB), "
                  f"{per_file:.0f} bytes per file beyond its path ({verdict}, limit {args.limit:.0f})")
            failed |= per_file > args.limit
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
