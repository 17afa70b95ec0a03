#!/usr/bin/env python3
"""Every command in README.md and docs/*.md runs as the page says, so no page can drift
from the program. A new page under docs/ is checked by the same rules without a word here.

The rules for a page's fenced blocks:

  ```sh           Each line is a command ("\\" at a line's end joins the next; "#" begins a
                  comment, as in the shell; ```bash and ```shell are the same). Each
                  must exit 0; with ```sh exit=N, each that runs a Harrowbit program
                  (a word "harrowbit..." where a command begins: at the line's start or
                  after "|", ";", "&", "(") must exit N, and the others (cd, mkdir,
                  find, sqlite3, ...) still 0. A pipeline's status is that of the last
                  of its commands that failed (pipefail).
  ```console      "$ " begins a command; the lines below it, up to the next "$ " or the
                  fence, are what it writes to standard output (add 2>&1 to show standard
                  error). Compared line by line with runs of spaces and tabs taken as one
                  space; a line holding only "..." stands for any number of lines. exit=N
                  as above.
  ```sh no-run    Shown, never run: what the suite cannot do (install a package, enable a
  ```text         systemd unit, open the window, anything on Windows). Counted and listed.
  any other fence (yaml, json, ...) is not a command.

Where commands run: each page in a scratch HOME of its own, holding in ~/Music the demo
library (`harrowbit-gen demo`: clean files at the top and in sets/live/, one of each
damage in damaged/, a dot-folder .cache/ that a scan skips). A block is one bash process
starting in HOME, so `cd` and variables hold to the fence's end; files stay for the rest
of the page, in order, so a page can go from a first check to a database's queries.
harrowbit-cli is first on PATH; TZ is UTC. A block may take five minutes a command.

Also: every relative link and picture of a page names a file that exists (and, for a
"#anchor", a heading of that page); no command hides in an indented block, where
nothing would run it; every page under docs/ is linked from docs/guide.md (its "More"
list); every option `harrowbit-cli --help` names is in docs/guide.md; an installer's
name carries the project's version; the README's nightly scrub is the systemd unit's;
README.md has at most 200 lines, and its first 20 hold the two set-up commands. The
checker first runs itself on pages made to break each rule (SELF_TEST).

  docs_commands_test.py SOURCE_DIR HARROWBIT_CLI HARROWBIT_GEN
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

COMMAND_TIMEOUT = 300


class Fence:
    def __init__(self, page, line, info, body):
        self.page, self.line, self.body = page, line, body
        words = info.split()
        self.lang = words[0] if words else ""
        self.norun = "no-run" in words[1:]
        self.exit = 0
        for w in words[1:]:
            if w.startswith("exit="):
                self.exit = int(w[5:])

    def expected_exit(self, command):
        runs_harrowbit = re.search(r"(?:^|[|;&(]\s*)harrowbit[-\w.]*(?=\s|$)", command)
        return self.exit if runs_harrowbit else 0

    def runs(self):
        return self.lang in ("sh", "bash", "shell", "console") and not self.norun

    def commands(self):
        """[(line number, command, expected output lines, or None when not shown)]"""
        out = []
        if self.lang == "console":
            for n, text in enumerate(self.body, self.line + 1):
                if text.startswith("$ "):
                    out.append((n, text[2:], []))
                elif out:
                    out[-1][2].append(text)
            return out
        pending, start = "", 0
        for n, text in enumerate(self.body, self.line + 1):
            if not pending:
                start = n
            if text.endswith("\\"):
                pending += text[:-1] + " "
                continue
            command = (pending + text).strip()
            pending = ""
            if command and not command.startswith("#"):
                out.append((start, command, None))
        return out


def fences(path, name):
    """The page's fenced blocks, and its text outside them."""
    found, prose = [], []
    lines = open(path, encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines):
        m = re.match(r"^```(.*)$", lines[i])
        if not m:
            prose.append(lines[i])
            i += 1
            continue
        start, body = i + 1, []
        i += 1
        while i < len(lines) and lines[i] != "```":
            body.append(lines[i])
            i += 1
        if i == len(lines):
            raise ValueError(f"{name}:{start}: a fence that never closes")
        found.append(Fence(name, start, m.group(1).strip(), body))
        i += 1
    return found, prose


def same_output(expected, got):
    squeeze = lambda s: re.sub(r"[ \t]+", " ", s).rstrip()
    exp = [squeeze(l) for l in expected]
    while exp and exp[-1] == "":
        exp.pop()
    got = [squeeze(l) for l in got.split("\n")]
    while got and got[-1] == "":
        got.pop()

    def match(e, g):
        if not e:
            return not g
        if e[0] == "...":
            return any(match(e[1:], g[k:]) for k in range(len(g) + 1))
        return bool(g) and e[0] == g[0] and match(e[1:], g[1:])

    return match(exp, got)


def run_block(fence, home, env, failures):
    """Runs the fence's commands in one bash; returns how many ran."""
    commands = fence.commands()
    work = tempfile.mkdtemp(prefix="block-", dir=os.path.dirname(home))
    # Each command as the reader types it, in one shell (set -a: an assignment holds for
    # the commands after it; pipefail: a pipeline fails when any of its commands does, so
    # a Harrowbit program's status shows through "| tail"), with its status and output
    # kept apart.
    script = ["set -a -o pipefail", 'cd "$HOME"']
    for k, (_, command, _) in enumerate(commands):
        script.append(f"{{ {command}\n}} >{work}/{k}.out 2>{work}/{k}.err </dev/null;"
                      f" echo $? >{work}/{k}.status")
    limit = COMMAND_TIMEOUT * max(1, len(commands))
    try:
        subprocess.run(["bash", "-c", "\n".join(script)], env=env, cwd=home, timeout=limit,
                       check=False)
    except subprocess.TimeoutExpired:
        failures.append(f"{fence.page}:{fence.line}: the block did not end within {limit} s")
    for k, (line, command, expected) in enumerate(commands):
        where = f"{fence.page}:{line}: {command}"
        try:
            status = int(open(f"{work}/{k}.status").read())
        except (OSError, ValueError):
            failures.append(f"{where}\n    never finished")
            continue
        out = open(f"{work}/{k}.out", encoding="utf-8", errors="replace").read()
        err = open(f"{work}/{k}.err", encoding="utf-8", errors="replace").read()
        if status != fence.expected_exit(command):
            failures.append(f"{where}\n    exit status {status}, the page says "
                            f"{fence.expected_exit(command)}"
                            f"\n    stderr: {err.strip()[:600]}")
        if expected is not None and not same_output(expected, out):
            failures.append(f"{where}\n    the page shows:\n" +
                            "".join(f"      {l}\n" for l in expected) +
                            "    it printed:\n" + "".join(f"      {l}\n" for l in out.split("\n")))
    shutil.rmtree(work, ignore_errors=True)
    return len(commands)


def slug(heading):
    """The anchor GitHub gives a heading."""
    text = re.sub(r"[`*_]", "", heading.strip().lower())
    return re.sub(r"[^\w\- ]", "", text).replace(" ", "-")


def headings(path):
    if not path.endswith(".md"):
        return set()
    return {slug(m.group(1)) for m in (re.match(r"^#+\s+(.*)$", l)
                                       for l in fences(path, path)[1]) if m}


def check_links(path, name, prose, failures):
    for n, text in enumerate(prose, 1):
        if re.match(r"^(    |\t)\s*(\$ )?harrowbit[-\w]*(\s|$)", text):
            failures.append(f"{name}: an indented command, which nothing runs: put it in a "
                            f"```sh fence (```sh no-run when the suite cannot run it): {text.strip()}")
    anchors = {slug(m.group(1)) for m in (re.match(r"^#+\s+(.*)$", l) for l in prose) if m}
    here = os.path.dirname(path)
    for n, text in enumerate(prose, 1):
        for target in re.findall(r"\]\(([^)\s]+)\)", text):
            if re.match(r"^[a-z]+:", target):
                continue
            file, _, anchor = target.partition("#")
            there = os.path.join(here, file)
            if file and not os.path.exists(there):
                failures.append(f"{name}: a link to {target}, which does not exist")
            elif anchor and anchor not in (headings(there) if file else anchors):
                failures.append(f"{name}: a link to {target}, a heading the page lacks")


_demo = []


def demo_library(gen):
    """The demo library, made once for every page that runs."""
    if not _demo:
        _demo.append(tempfile.mkdtemp(prefix="harrowbit-docs-demo-"))
        subprocess.run([gen, "demo", os.path.join(_demo[0], "Music")], check=True,
                       stdout=subprocess.DEVNULL)
    return os.path.join(_demo[0], "Music")


def check_pages(pages, cli, gen, failures, quiet=False):
    """Runs every page's commands and checks its links; returns how many commands ran."""
    scratch = tempfile.mkdtemp(prefix="harrowbit-docs-")
    total_run = total_shown = 0
    try:
        bin_dir = os.path.join(scratch, "bin")
        os.mkdir(bin_dir)
        os.symlink(os.path.abspath(cli), os.path.join(bin_dir, "harrowbit-cli"))
        for name, path in pages:
            try:
                found, prose = fences(path, name)
            except ValueError as e:
                failures.append(str(e))
                continue
            check_links(path, name, prose, failures)
            home = os.path.join(scratch, name.replace("/", "_"), "home")
            os.makedirs(home)
            shutil.copytree(demo_library(gen), os.path.join(home, "Music"), symlinks=True)
            env = {"HOME": home, "PATH": bin_dir + ":/usr/bin:/bin", "TZ": "UTC",
                   "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8", "TMPDIR": scratch}
            ran = sum(run_block(f, home, env, failures) for f in found if f.runs())
            shown = [f for f in found
                     if f.lang in ("sh", "bash", "shell", "console", "text") and not f.runs()]
            if not quiet:
                print(f"{name}: {ran} commands run; {len(shown)} blocks shown only, at lines "
                      f"{', '.join(str(f.line) for f in shown) or 'none'}")
            total_run += ran
            total_shown += len(shown)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if not quiet:
        print(f"{total_run} commands run in {len(pages)} pages; {total_shown} blocks shown only")
    return total_run


def check_readme(path, failures):
    """Short, and the two set-up commands on its first screen."""
    lines = open(path, encoding="utf-8").read().split("\n")
    if len(lines) > 201:
        failures.append(f"README.md has {len(lines) - 1} lines; at most 200")
    first = "\n".join(lines[:20])
    for command in ("scripts/demo.sh", "scripts/test.sh"):
        if not re.search(r"^" + re.escape(command) + r"\b", first, re.M):
            failures.append(f"README.md's first 20 lines do not begin a line with {command}")
        elif not os.access(os.path.join(os.path.dirname(path), command), os.X_OK):
            failures.append(f"README.md names {command}, which is not an executable script")


def check_index(pages, failures):
    """Every page under docs/ is linked from the guide, so a reader finds it."""
    linked = set()
    for name, path in pages:
        if name == "docs/guide.md":
            text = open(path, encoding="utf-8").read()
            base = os.path.dirname(name)
            for target in re.findall(r"\]\(([^)#\s]+)", text):
                linked.add(os.path.normpath(os.path.join(base, target)))
    for name, _ in pages:
        if name.startswith("docs/") and name != "docs/guide.md" and name not in linked:
            failures.append(f"{name} is not linked from docs/guide.md (add it to the "
                            "guide's \"More\" list)")


def check_facts(source, pages, failures):
    """What the pages say of the project's other files: the installer's name carries the
    project's version, and the README's nightly scrub is the one the systemd unit runs."""
    version = re.search(r"project\(Harrowbit VERSION ([0-9.]+)",
                        open(os.path.join(source, "CMakeLists.txt")).read()).group(1)
    unit = open(os.path.join(source, "data/systemd/harrowbit-scrub@.service.in")).read()
    exec_start = re.search(r"^ExecStart=\S+ (.*)$", unit, re.M).group(1).split()
    options = lambda words: [w for w in words if not re.search(r"[/%~]", w)]
    for name, path in pages:
        text = open(path, encoding="utf-8").read()
        for found in re.findall(r"harrowbit-([0-9][0-9.]*[0-9])-setup\.exe", text):
            if found != version:
                failures.append(f"{name} names harrowbit-{found}-setup.exe; the version is {version}")
        if name == "README.md":
            scrub = re.search(r"^harrowbit-cli (--db .*--skip-checked.*)$", text, re.M)
            if not scrub or options(scrub.group(1).split()) != options(exec_start):
                failures.append(f"README.md's nightly scrub is not the systemd unit's "
                                f"({' '.join(exec_start)})")


def check_guide_options(guide, cli, failures):
    help_text = subprocess.run([cli, "--help"], capture_output=True, text=True).stdout
    guide_text = open(guide, encoding="utf-8").read()
    for option in sorted(set(re.findall(r"(?<![\w-])--?[a-zA-Z0-9][-a-zA-Z]*", help_text))):
        if not re.search(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])", guide_text):
            failures.append(f"docs/guide.md does not name {option}, which --help does")


# The checker on pages made to break one rule each: (page, what the failure says, or None
# for a page that passes). The demo library's ~/Music holds failing files, so a check of
# it exits 1.
SELF_TEST = [
    ("```sh\nharrowbit-cli ~/Music\n```", "exit status 1, the page says 0"),
    ("```sh exit=1\nharrowbit-cli ~/Music\n```", None),
    ("```sh exit=1\nmkdir -p x\ncd x && harrowbit-cli -q ~/Music/LOUD.OGG\n```",
     "exit status 0, the page says 1"),
    ("```sh exit=1\nmkdir -p x\nfind ~/Music -name LOUD.OGG | harrowbit-cli --files-from - ~/Music\n```",
     None),
    ("```sh exit=1\nfalse\nharrowbit-cli ~/Music\n```", "false\n    exit status 1, the page says 0"),
    ("```sh\nharrowbit-cli --jsn ~/Music | cat\n```", "exit status 2, the page says 0"),
    ("```sh\nharrowbit-cli \\\n  --version\n```", None),
    ("```sh\ncd ~/Music\ntest -f LOUD.OGG  # a comment\n```", None),
    ("```sh\nx=~/Music/LOUD.OGG\ntest -f \"$x\"\n```", None),
    ("```sh no-run\nno-such-command\n```\n```text\nno-such-command\n```", None),
    ("```yaml\nno-such-command\n```", None),
    ("```bash\nharrowbit-cli ~/Music\n```", "exit status 1, the page says 0"),
    ("```console exit=1\n$ cd ~/Music\n$ harrowbit-cli -q LOUD.OGG damaged/empty.ogg\n"
     "[2/2]\tdamaged/empty.ogg...ERROR (OV_ENOTVORBIS)\n1 files, 1 errors [2]\n```",
     "the page shows"),
    ("```console exit=1\n$ cd ~/Music\n$ harrowbit-cli -q LOUD.OGG damaged/empty.ogg\n"
     "[2/2]  damaged/empty.ogg...ERROR (OV_ENOTVORBIS)\n2 files, 1 errors [2]\n```", None),
    ("```console exit=1\n$ harrowbit-cli ~/Music\n...\n20 files, 10 errors ...\n```",
     "the page shows"),
    ("```console exit=1\n$ harrowbit-cli ~/Music\n...\n```", None),
    ("```console\n$ harrowbit-cli --version\n```", "the page shows"),
    ("[there](no-such-page.md)", "does not exist"),
    ("# A heading\n[here](#a-heading) [there](#no-heading)", "a link to #no-heading"),
    ("[here](case0.md#no-heading)", "a link to case0.md#no-heading"),
    ("```sh\ntrue\n", "never closes"),
    ("A command:\n\n    harrowbit-cli ~/Music\n", "an indented command"),
    ("A report:\n\n    [1/1]\tMusic/LOUD.OGG...OK\n", None),
]


def self_test(cli, gen):
    """Each case of SELF_TEST through the checker; true when each does as it says."""
    ok = True
    work = tempfile.mkdtemp(prefix="harrowbit-docs-self-")
    try:
        for n, (page, expected) in enumerate(SELF_TEST):
            path = os.path.join(work, f"case{n}.md")
            with open(path, "w", encoding="utf-8") as f:
                f.write(page + "\n")
            failures = []
            check_pages([(f"case{n}.md", path)], cli, gen, failures, quiet=True)
            text = "\n".join(failures)
            if expected is None and failures:
                print(f"SELF-TEST FAIL: a good page failed:\n{page}\n{text}")
                ok = False
            elif expected is not None and expected not in text:
                print(f"SELF-TEST FAIL: expected \"{expected}\" for:\n{page}\ngot: {text}")
                ok = False
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"self-test: {len(SELF_TEST)} pages, {'each as expected' if ok else 'FAILED'}")
    return ok


def main():
    source, cli, gen = sys.argv[1:4]
    failures = []
    if not self_test(cli, gen):
        failures.append("the checker itself does not hold to its rules (above)")
    pages = [("README.md", os.path.join(source, "README.md"))]
    docs = os.path.join(source, "docs")
    pages += sorted((f"docs/{f}", os.path.join(docs, f)) for f in os.listdir(docs)
                    if f.endswith(".md"))
    check_readme(pages[0][1], failures)
    if check_pages(pages, cli, gen, failures) == 0:
        failures.append("no command ran: are the fences still ```sh and ```console?")
    check_guide_options(os.path.join(docs, "guide.md"), cli, failures)
    check_index(pages, failures)
    check_facts(source, pages, failures)
    for f in failures:
        print("FAIL " + f)
    shutil.rmtree(os.path.dirname(demo_library(gen)), ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
