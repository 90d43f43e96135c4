#!/usr/bin/env python3
"""TxImport at a real terminal, through a pseudo-terminal: the question
appears there, the answer typed there is taken, and what was typed before the
question appeared is discarded.  At a terminal, a message that ends without a
line end elsewhere ends with one.

Usage: pty_import_test.py TXIMPORT TXEXPORT EXAMPLE_DB
"""
import errno
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

QUESTION = b'Overwrite "Invoice totals" (Yes/No/All)? '
EDITED = b"Invoice totals\nchanged body\n" + b"~" * 27 + b"\n"


def read_terminal(fd, wanted=None, seconds=20):
    """What the terminal shows until `wanted` appears, or with `wanted` None,
    until the program closes it."""
    seen = b""
    deadline = time.monotonic() + seconds
    while wanted is None or wanted not in seen:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("timed out waiting for %r; saw %r" % (wanted or "the end", seen))
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            chunk = b""
        if not chunk:
            if wanted is None:
                break
            raise AssertionError("terminal closed before %r; saw %r" % (wanted, seen))
        seen += chunk
    return seen


def open_fifo_for_writing(path, seconds=20):
    # Opening without O_NONBLOCK would wait for ever if the importer never
    # opened its text file; ENXIO means no reader yet.
    deadline = time.monotonic() + seconds
    while True:
        try:
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            if e.errno != errno.ENXIO or time.monotonic() > deadline:
                raise AssertionError("the importer never opened its text file: %s" % e)
            time.sleep(0.05)
            continue
        os.set_blocking(fd, True)
        return fd


def wait_for(pid, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.05)
    raise AssertionError("the importer did not exit")


def main():
    importer, exporter, example = sys.argv[1:4]
    work = tempfile.mkdtemp(prefix="txpty-")
    try:
        db = os.path.join(work, "db.pdb")
        shutil.copyfile(example, db)
        edits = os.path.join(work, "edits.txt")
        os.mkfifo(edits)

        pid, master = pty.fork()
        if pid == 0:
            try:
                os.execv(importer, [importer, db, edits])
            finally:
                os._exit(127)
        try:
            # The importer waits for the text file, so this answer is typed
            # before any question: it must be thrown away.
            os.write(master, b"n\n")
            time.sleep(0.5)
            fifo = open_fifo_for_writing(edits)
            with os.fdopen(fifo, "wb") as f:
                f.write(EDITED)
            read_terminal(master, QUESTION)
            os.write(master, b"y\n")
            read_terminal(master)
            status = wait_for(pid)
            pid = None
        finally:
            if pid is not None:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, "status %r" % status

        out = os.path.join(work, "out.txt")
        subprocess.run([exporter, db, out], check=True)
        with open(out, "rb") as f:
            text = f.read()
        blocks = text.split(b"~" * 27 + b"\n")
        assert b"Invoice totals\nchanged body\n" in blocks[0], "the record was not replaced in place: %r" % blocks[0]
        assert text.count(b"Invoice totals") == 1, "the pending No was taken: %r" % text

        # The open failure, and a refusal in its form, end with a line end at
        # a terminal (the terminal shows it as CR LF).
        missing = os.path.join(work, "missing.pdb")
        runs = [([exporter, missing, out], b'Can\'t open "%s": No such file or directory\r\n' % missing.encode()),
                ([importer, db, db, os.path.join(work, "new.pdb")], b'Can\'t open "%s": it is a Tallix database, not a text file\r\n' % db.encode())]
        for argv, expected in runs:
            pid, master = pty.fork()
            if pid == 0:
                try:
                    os.execv(argv[0], argv)
                finally:
                    os._exit(127)
            shown = read_terminal(master)
            status = wait_for(pid)
            assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 1, "status %r" % status
            assert shown == expected, "%r shown as %r" % (argv, shown)
        print("3 passed, 0 failed")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
