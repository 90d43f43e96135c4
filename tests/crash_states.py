#!/usr/bin/env python3
"""Every state the disk may hold after a crash while a database or a text is
written, checked by running the programs on it.

Each way a file is written (a new database, a replacement in place, a write
into the old file with its rollback copy, an export) is recorded with strace
on small inputs.  The file-system operations are replayed into every state a
crash after each of them may leave under this persistence model: what was
flushed is on the disk; of what was not, each file may hold none, a part (a
prefix, its last write torn) or all of its later writes, and each directory
none or all of its later names (a rename, link or unlink is sure only after
its directory is flushed).  In each state one run of TxExport or TxImport
reads the database; afterwards it must be the old one or complete and new,
and a run that ended with status 0 must stay done after the crash that
follows it.

    tests/crash_states.py BUILD_DIRECTORY
"""
import itertools
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, 'bench'))
import generate  # noqa: E402

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, 'build'))
IMP, EXP = os.path.join(BUILD, 'TxImport'), os.path.join(BUILD, 'TxExport')
SEP = b'~' * 27 + b'\n'
ROLLBACK_MAGIC = b'TxTools rollback copy 2\n'
TOKEN_SIZE = 18
MARK = slice(60, 68), b'TxUpdate'  # where a file being rewritten holds its mark
SECTOR = 512
TRACED = 'openat,open,write,pwrite64,lseek,ftruncate,fallocate,fsync,fdatasync,rename,renameat,renameat2,' \
         'linkat,unlink,unlinkat,close'
LINE = re.compile(r'^\d+\s+(\w+)\((.*)\)\s+=\s+(-?\d+)')


def text_of(argument):
    return bytes.fromhex(argument.strip('"').replace('\\x', '')) if argument.startswith('"') else None


def record(args, work):
    """The program's file-system operations on files under `work`, in order."""
    log = os.path.join(work, '..', 'trace')
    subprocess.run(['strace', '-f', '-o', log, '-e', 'trace=' + TRACED, '-xx', '-s', '100000000'] + args,
                   cwd=work, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   # The leak checker of a sanitizer build cannot work under a tracer.
                   env=dict(os.environ, ASAN_OPTIONS='detect_leaks=0'), check=True)
    ops, fds, offsets = [], {}, {}
    here = lambda path: os.path.normpath(os.path.join(work, path.decode()))  # noqa: E731
    for line in open(log, encoding='ascii'):
        m = LINE.match(line)
        if not m or int(m.group(3)) < 0:
            continue
        call, a, result = m.group(1), m.group(2).split(', '), int(m.group(3))
        if call in ('open', 'openat'):
            path = here(text_of(a[1] if call == 'openat' else a[0]))
            flags = a[2] if call == 'openat' else a[1]
            if not path.startswith(work) or 'O_PATH' in flags:
                continue
            kind = 'dir' if 'O_DIRECTORY' in flags else 'tmpfile' if 'O_TMPFILE' in flags else 'file'
            fds[result], offsets[result] = (kind, path), 0
            ops.append(('open', result, path, kind, 'O_CREAT' in flags, 'O_TRUNC' in flags))
        elif call == 'close':
            fds.pop(int(a[0]), None)
        elif int(a[0]) in fds if call in ('write', 'pwrite64', 'lseek', 'ftruncate', 'fallocate', 'fsync',
                                          'fdatasync') else False:
            fd = int(a[0])
            if call == 'write':
                ops.append(('write', fd, offsets[fd], text_of(a[1])[:result]))
                offsets[fd] += result
            elif call == 'pwrite64':
                ops.append(('write', fd, int(a[3]), text_of(a[1])[:result]))
            elif call == 'lseek':
                offsets[fd] = result
            elif call == 'ftruncate':
                ops.append(('truncate', fd, int(a[1])))
            elif call == 'fallocate':
                ops.append(('extend', fd, int(a[2]) + int(a[3])))
            else:
                ops.append(('fsync', fd))
        elif call in ('rename', 'renameat', 'renameat2'):
            old, new = (a[0], a[1]) if call == 'rename' else (a[1], a[3])
            ops.append(('rename', here(text_of(old)), here(text_of(new))))
        elif call == 'linkat' and text_of(a[1]).startswith(b'/proc/self/fd/'):
            ops.append(('link', int(text_of(a[1])[len(b'/proc/self/fd/'):]), here(text_of(a[3]))))
        elif call in ('unlink', 'unlinkat'):
            ops.append(('unlink', here(text_of(a[0] if call == 'unlink' else a[1]))))
    return ops


def replay(ops, initial):
    """For each crash point, the operations it has seen, each marked sure
    (flushed) or not, with the inode or directory it belongs to."""
    # Hard links share their inode.
    numbers = {}
    inodes = {path: numbers.setdefault(os.stat(path).st_ino, len(numbers)) for path in sorted(initial)}
    names = dict(inodes)
    fd_inode, steps, fresh = {}, [], len(inodes)
    for op in ops:
        kind = op[0]
        if kind == 'open':
            _, fd, path, what, create, truncate = op
            if what == 'dir':
                fd_inode[fd] = ('dir', path)
                continue
            if what == 'tmpfile' or path not in names:
                fd_inode[fd] = fresh
                fresh += 1
                if what != 'tmpfile':
                    names[path] = fd_inode[fd]
                    steps.append(('name', os.path.dirname(path), ('set', path, fd_inode[fd])))
            else:
                fd_inode[fd] = names[path]
            if truncate:
                steps.append(('data', fd_inode[fd], ('truncate', 0)))
        elif kind == 'write':
            steps.append(('data', fd_inode[op[1]], ('write', op[2], op[3])))
        elif kind in ('truncate', 'extend'):
            steps.append(('data', fd_inode[op[1]], (kind, op[2])))
        elif kind == 'fsync':
            target = fd_inode[op[1]]
            steps.append(('sync', target[1] if isinstance(target, tuple) else target, None))
        elif kind == 'rename':
            steps.append(('name', os.path.dirname(op[2]), ('rename', op[1], op[2])))
            names[op[2]] = names.pop(op[1], None)
        elif kind == 'link':
            names[op[2]] = fd_inode[op[1]]
            steps.append(('name', os.path.dirname(op[2]), ('set', op[2], fd_inode[op[1]])))
        elif kind == 'unlink':
            names.pop(op[1], None)
            steps.append(('name', os.path.dirname(op[1]), ('unlink', op[1])))
    return inodes, steps


def apply_data(content, change, torn=False):
    what = change[0]
    if what == 'write':
        # A write within one sector reaches the disk whole or not at all.
        at, data = change[1], change[2]
        if torn and at // SECTOR != (at + len(data) - 1) // SECTOR:
            data = data[:len(data) // 2]
        if len(content) < at:
            content.extend(b'\0' * (at - len(content)))
        content[at:at + len(data)] = data
    elif what == 'truncate':
        del content[change[1]:]
        content.extend(b'\0' * (change[1] - len(content)))
    elif what == 'extend' and len(content) < change[1]:
        content.extend(b'\0' * (change[1] - len(content)))


def states(initial, inodes, steps, crash):
    """Every disk state a crash after `crash` steps may leave."""
    seen = steps[:crash]
    last_sync = {}
    for i, (kind, target, _) in enumerate(seen):
        if kind == 'sync':
            last_sync[target] = i
    pending = {}  # target -> its steps after its last flush
    for i, (kind, target, change) in enumerate(seen):
        if kind in ('data', 'name') and i > last_sync.get(target, -1):
            pending.setdefault(target, []).append(i)
    # For each target, the sets of its unflushed steps that reached the disk
    # (any of them, in any order, where there are few; else a prefix), and
    # for a file, all of them with the last write torn.  The first choice
    # is always "none": only what was flushed.
    choices = []
    for target, indexes in pending.items():
        if len(indexes) <= 4:
            options = [(frozenset(c), None) for k in range(len(indexes) + 1) for c in itertools.combinations(indexes, k)]
        else:
            options = [(frozenset(indexes[:k]), None) for k in (0, len(indexes) // 2, len(indexes))]
        if seen[indexes[0]][0] == 'data':
            options.append((frozenset(indexes), indexes[-1]))
        choices.append(options)
    for combination in itertools.product(*choices):
        applied = set().union(*(c[0] for c in combination)) if combination else set()
        torn = {c[1] for c in combination if c[1] is not None}
        contents = {i: bytearray(initial[p]) for p, i in inodes.items()}
        names = dict(inodes)
        for i, (kind, target, change) in enumerate(seen):
            if kind == 'sync':
                continue
            if i > last_sync.get(target, -1) and i not in applied:
                continue
            if kind == 'data':
                apply_data(contents.setdefault(target, bytearray()), change, torn=i in torn)
            elif change[0] == 'set':
                names[change[1]] = change[2]
            elif change[0] == 'rename':
                if change[1] in names:
                    names[change[2]] = names.pop(change[1])
            else:
                names.pop(change[1], None)
        yield {path: bytes(contents.get(i, b'')) for path, i in names.items()}


def identify_copies(work):
    """A rollback copy names its database by device and inode: a database
    made anew for a state is another inode, which the copy must name."""
    db = os.path.join(work, 'db.pdb')
    at = len(ROLLBACK_MAGIC) + TOKEN_SIZE
    for name in os.listdir(work):
        path = os.path.join(work, name)
        content = open(path, 'rb').read()
        if name.endswith('.TxImport-rollback') and content.startswith(ROLLBACK_MAGIC) and os.path.exists(db) and \
                len(content) >= at + 16:
            info = os.stat(db)
            identity = info.st_dev.to_bytes(8, 'big') + info.st_ino.to_bytes(8, 'big')
            open(path, 'wb').write(content[:at] + identity + content[at + 16:])


def marked(content):
    return content is not None and content[MARK[0]] == MARK[1]


def main():
    if not shutil.which('strace'):
        print('skipped: strace (Debian package strace) is not installed')
        sys.exit(77)
    base = tempfile.mkdtemp(prefix='txcrash-')
    work = os.path.join(base, 'work')
    records = generate.make_records(6, seed=11)
    old = generate.database_bytes(records)
    text = b'Added\n' + SEP
    new_records = [r.key() for r in records] + [(0, 14, 1, b'Added')]
    old_records = [r.key() for r in records]
    paths = {
        'a new database': (['db.pdb'], [IMP, 'db.pdb', 't.txt', 'new.pdb'], 'new.pdb'),
        'a replacement in place': (['db.pdb'], [IMP, 'db.pdb', 't.txt'], 'db.pdb'),
        'a write into the old file': (['db.pdb', 'link.pdb'], [IMP, 'db.pdb', 't.txt'], 'db.pdb'),
        'an export': (['db.pdb', 'o.txt'], [EXP, 'db.pdb', 'o.txt'], None),
    }
    problems, checked = [], {}
    try:
        for name, (files, args, output) in paths.items():
            shutil.rmtree(work, ignore_errors=True)
            os.makedirs(work)
            for f in files:
                if f == 'link.pdb':
                    os.link(os.path.join(work, 'db.pdb'), os.path.join(work, f))
                elif f == 'o.txt':
                    open(os.path.join(work, f), 'wb').write(b'a text of the user\'s\n')
                else:
                    open(os.path.join(work, f), 'wb').write(old)
            open(os.path.join(work, 't.txt'), 'wb').write(text)
            initial = {os.path.join(work, f): open(os.path.join(work, f), 'rb').read() for f in os.listdir(work)}
            ops = record(args, work)
            inodes, steps = replay(ops, initial)
            checked[name] = 0
            for crash in range(len(steps) + 1):
                for n, disk in enumerate(states(initial, inodes, steps, crash)):
                    checked[name] += 1
                    shutil.rmtree(work)
                    os.makedirs(work)
                    for path, content in disk.items():
                        open(path, 'wb').write(content)
                    identify_copies(work)
                    db_path = os.path.join(work, 'db.pdb')
                    before = open(db_path, 'rb').read() if os.path.exists(db_path) else None
                    text_path = os.path.join(work, 'o.txt')
                    crashed_text = open(text_path, 'rb').read() if os.path.exists(text_path) else None
                    reader = [EXP, 'db.pdb', '/dev/null'] if n % 2 == 0 else [IMP, 'db.pdb', 't.txt', '/dev/null']
                    if name == 'an export':
                        # The next export of the text removes what a crash left beside it.
                        reader = [EXP, 'db.pdb', 'o.txt']
                    r = subprocess.run(reader, cwd=work, capture_output=True, stdin=subprocess.DEVNULL)
                    db = open(db_path, 'rb').read() if os.path.exists(db_path) else None
                    where = '%s, crash after step %d of %d, state %d' % (name, crash, len(steps), n)
                    if before is not None and not marked(before) and db != before:
                        problems.append('%s: the next run wrote a file that was not marked' % where)
                    if output == 'db.pdb':
                        parsed = generate.parse_database(db) if db else None
                        if parsed not in (old_records, new_records):
                            problems.append('%s: the database is neither old nor new' % where)
                        if crash == len(steps) and n == 0 and parsed != new_records:
                            problems.append('%s: a finished update was undone' % where)
                    else:
                        if db != old:
                            problems.append('%s: the old database changed' % where)
                    if output == 'new.pdb':
                        path = os.path.join(work, 'new.pdb')
                        made = generate.parse_database(open(path, 'rb').read()) if os.path.exists(path) else None
                        if made not in (None, new_records):
                            problems.append('%s: the new database is incomplete' % where)
                        if crash == len(steps) and n == 0 and made != new_records:
                            problems.append('%s: a finished import was undone' % where)
                    if name == 'an export':
                        got = crashed_text
                        if got not in (initial[text_path], generate.exported_text(records)):
                            problems.append('%s: the text is neither old nor complete and new' % where)
                        if crash == len(steps) and n == 0 and got != generate.exported_text(records):
                            problems.append('%s: a finished export was undone' % where)
                    if r.returncode != 0:
                        problems.append('%s: the next run failed: %r' % (where, r.stdout + r.stderr))
                    if any('rollback' in f for f in os.listdir(work)):
                        problems.append('%s: a rollback copy is left after the next run' % where)
    finally:
        shutil.rmtree(base, ignore_errors=True)
    for name, count in checked.items():
        print('crash states of %s: %d checked' % (name, count))
    for p in problems[:20]:
        print('  ' + p)
    print('%d passed, %d failed' % (sum(checked.values()) - len(problems), len(problems)))
    sys.exit(1 if problems else 0)


if __name__ == '__main__':
    main()
