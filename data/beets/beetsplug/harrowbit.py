# Harrowbit's plugin for beets: `beet harrowbit [QUERY]` checks the query's files for
# damage with one harrowbit-cli run (not one process per file, as badfiles does), and
# keeps each verdict on its item as flexible attributes:
#
#   harrowbit_verdict   "ok" or "error"
#   harrowbit_reason    the report's reason for an error ("OV_HOLE @ 1m 05s"), else ""
#   harrowbit_checked   when it was checked (seconds since the epoch, UTC)
#   harrowbit_audio_hash  the hash of its sound (audio packets and codec set-up, not
#                       tags), 32 hex digits; "" where it did not decode to its end
#
# so that `beet ls harrowbit_verdict:error` lists the damaged files. Configuration
# (all optional):
#
#   harrowbit:
#     command: harrowbit-cli    # the program, with any options of its own
#     jobs: 0                   # files decoded at once; 0: one per processor
#     db: ''                    # a results database for harrowbit-cli --db
#     quick: no                 # harrowbit-cli --quick
#     all_codecs: no            # harrowbit-cli --all-codecs: Opus and FLAC in Ogg too
#     check_on_import: no       # check what an import adds
#
# `beet harrowbit --salvage DIR [QUERY]` also writes a repaired copy of each damaged file
# under DIR, at its path below the library's folder (harrowbit-cli --salvage), and says
# per file what was kept and lost. The library's files are never changed: listen to a
# salvage before putting it in the damaged file's place.
"""Checks files for damage with harrowbit-cli and keeps the verdicts."""

import json
import os
import shlex
import subprocess
import threading
import time

from beets import ui
from beets.plugins import BeetsPlugin
from beets.util import displayable_path

# What harrowbit-cli takes without --all-codecs, and with it.
VORBIS_EXTENSIONS = (b'.ogg',)
ALL_EXTENSIONS = (b'.ogg', b'.oga', b'.opus')


class HarrowbitPlugin(BeetsPlugin):
    def __init__(self):
        super().__init__()
        self.config.add({
            'command': 'harrowbit-cli',
            'jobs': 0,
            'db': '',
            'quick': False,
            'all_codecs': False,
            'check_on_import': False,
        })
        if self.config['check_on_import'].get(bool):
            self.register_listener('item_imported', self.on_item_imported)
            self.register_listener('album_imported', self.on_album_imported)

    def commands(self):
        cmd = ui.Subcommand('harrowbit', help='check files for damage with harrowbit-cli')
        cmd.parser.add_option('-j', '--jobs', type='int', help='files decoded at once')
        cmd.parser.add_option('--db', help='results database for harrowbit-cli --db')
        cmd.parser.add_option('--quick', action='store_true', default=None,
                              help='check without audio synthesis (harrowbit-cli --quick)')
        cmd.parser.add_option('--salvage', metavar='DIR',
                              help='write a repaired copy of each damaged file under DIR')
        cmd.func = self.command
        return [cmd]

    def command(self, lib, opts, args):
        items = list(lib.items(ui.decargs(args)))
        errors = self.check(items, opts.jobs, opts.db, opts.quick, show=True,
                            salvage=opts.salvage and (opts.salvage, lib.directory))
        if errors is None:
            raise ui.UserError('harrowbit-cli did not finish the check')

    def on_item_imported(self, lib, item):
        self.check([item])

    def on_album_imported(self, lib, album):
        self.check(list(album.items()))

    def arguments(self, jobs, db, quick):
        args = shlex.split(self.config['command'].as_str())
        args += ['--files-from', '-', '-0', '--json']
        jobs = jobs if jobs is not None else self.config['jobs'].get(int)
        if jobs:
            args += ['-j', str(jobs)]
        db = db if db is not None else self.config['db'].as_str()
        if db:
            args += ['--db', os.path.abspath(db)]
        if quick if quick is not None else self.config['quick'].get(bool):
            args.append('--quick')
        if self.config['all_codecs'].get(bool):
            args.append('--all-codecs')
        return args

    def check(self, items, jobs=None, db=None, quick=None, show=False, salvage=None):
        """Checks `items` in one run; the count of damaged files, or None when the run
        failed (a verdict is kept only for files the run really checked)."""
        extensions = ALL_EXTENSIONS if self.config['all_codecs'].get(bool) else VORBIS_EXTENSIONS
        by_path = {}
        for item in items:
            if os.path.splitext(item.path)[1].lower() in extensions:
                by_path[item.path] = item
        skipped = len(items) - len(by_path)
        if skipped:
            self._log.info('{} files skipped: not a format harrowbit-cli checks', skipped)
        if not by_path:
            return 0
        args = self.arguments(jobs, db, quick)
        # A salvage goes to its path below the library's folder: harrowbit-cli keeps the
        # folders of the relative names it is given, so it runs there and is given those.
        cwd, by_name = None, dict(by_path)
        if salvage:
            folder, directory = salvage
            args += ['--salvage', os.path.abspath(folder)]
            cwd = directory
            root = os.path.join(directory, b'')
            by_name = {path[len(root):] if path.startswith(root) else path: item
                       for path, item in by_path.items()}
        self._log.debug('running {}', ' '.join(args))
        try:
            # Standard error stays the terminal's: harrowbit-cli draws its progress line
            # there, and says there what went wrong with the run.
            proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=cwd)
        except OSError as error:
            self._log.error('cannot run {}: {}', args[0], error)
            return None
        # The list goes in from a thread of its own, so that a long list cannot block
        # against output not yet read.
        feeder = threading.Thread(target=self.feed, args=(proc.stdin, list(by_name)))
        feeder.start()
        errors = 0
        for line in proc.stdout:
            record = json.loads(line.decode('utf-8', 'surrogateescape'))
            if record.get('type') == 'unchecked':
                self._log.warning('not checked: {}: {}', record.get('path'), record.get('reason'))
                continue
            if record.get('type') == 'salvage':
                self.show_salvage(record, by_name)
                continue
            if record.get('type') != 'file':
                continue
            item = by_name.get(os.fsencode(record['path']))
            verdict = record.get('verdict')
            # "cancelled" and "not_checked" are about the run, never about the file.
            if item is None or verdict not in ('ok', 'error'):
                continue
            item['harrowbit_verdict'] = verdict
            item['harrowbit_reason'] = record.get('reason') or ''
            item['harrowbit_checked'] = time.time()
            # A tag edit keeps it, so `beet ls harrowbit_audio_hash:...` finds the same
            # music under new tags; a re-encode changes it.
            item['harrowbit_audio_hash'] = record.get('audio_hash') or ''
            item.store()
            if verdict == 'error':
                errors += 1
                if show:
                    ui.print_('{}: {}'.format(ui.colorize('text_error', displayable_path(item.path)),
                                              record.get('reason')))
        feeder.join()
        status = proc.wait()
        if status == 3:
            self._log.error('harrowbit-cli could not write every salvage')
        elif status not in (0, 1):
            self._log.error('harrowbit-cli ended with status {}', status)
            return None
        if show:
            ui.print_('{} files checked, {} with errors'.format(len(by_path), errors))
        return errors

    def show_salvage(self, record, by_name):
        item = by_name.get(os.fsencode(record['path']))
        path = displayable_path(item.path) if item else record['path']
        if record.get('salvaged'):
            lost = ', '.join('{:.1f}s-{}'.format(a, 'end' if b is None else '{:.1f}s'.format(b))
                             for a, b in record.get('lost', []))
            ui.print_('{}: SALVAGED as {} (kept {:.1f}s of {:.1f}s{})'.format(
                path, record['destination'], record['kept'], record['length'],
                '; lost ' + lost if lost else ''))
        else:
            ui.print_('{}: NOT SALVAGED ({})'.format(path, record.get('reason')))

    @staticmethod
    def feed(pipe, paths):
        try:
            for path in paths:
                pipe.write(path + b'\0')
        except BrokenPipeError:
            pass
        finally:
            try:
                pipe.close()
            except BrokenPipeError:
                pass
