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


def run_at_terminal(argv, env, answers):
    """Runs argv at a pseudo-terminal, typing each answer once the question
    it waits for is shown: what the terminal showed, and the exit status."""
    pid, master = pty.fork()
    if pid == 0:
        try:
            os.execve(argv[0], argv, env)
        finally:
            os._exit(127)
    shown = b""
    try:
        for wait_for_text, answer in answers:
            shown += read_terminal(master, wait_for_text)
            os.write(master, answer)
        shown += read_terminal(master)
        status = wait_for(pid)
        pid = None
    finally:
        if pid is not None:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
    return shown, status


def conflict_rows(importer, example, work):
    """At a terminal: the diff before the question (a changed body line, a
    changed category, a long unchanged run cut to a count), in colour unless
    NO_COLOR is set, the hint after an answer that counts for nothing, and
    the summary at the end.  (From a pipe, the unit tests pin every byte.)"""
    sep = b"~" * 27 + b"\n"
    long_record = b"Long record\n" + b"".join(b"line %d\n" % i for i in range(1, 11))
    db = os.path.join(work, "rows.pdb")
    setup = os.path.join(work, "setup.txt")
    with open(setup, "wb") as f:
        f.write(long_record + sep)
    subprocess.run([importer, example, setup, db], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    edits = os.path.join(work, "rows.txt")
    with open(edits, "wb") as f:
        f.write(b'Category = "Home"; Secret = 0\nPlaces = 2; StripZeros = 1\nInvoice totals\n120.50+80.25\n*1.20\n' + sep +
                b"Long record\n" + b"".join(b"line %d\n" % i for i in range(1, 10)) + b"line ten\n" + sep +
                b"Brand new\n" + sep)
    invoice = b'Overwrite "Invoice totals" (Yes/No/All)? '
    long_question = b'Overwrite "Long record" (Yes/No/All)? '
    rows = 0
    for colour in (True, False):
        env = dict(os.environ, TERM="xterm")
        env.pop("NO_COLOR", None)
        if not colour:
            env["NO_COLOR"] = "1"
        out = os.path.join(work, "rows-out.pdb")
        shown, status = run_at_terminal([importer, db, edits, out], env,
                                        [(invoice, b"maybe\n"), (b"first letter is enough.\r\n" + invoice, b"y\n"),
                                         (long_question, b"n\n")])
        assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, "status %r: %r" % (status, shown)
        red, green, off = (b"\x1b[31m", b"\x1b[32m", b"\x1b[0m") if colour else (b"", b"", b"")
        first = (red + b'- Category = "Work"; Secret = 0' + off + b"\r\n" +
                 green + b'+ Category = "Home"; Secret = 0' + off + b"\r\n" +
                 b"  Places = 2; StripZeros = 1\r\n  Invoice totals\r\n  120.50+80.25\r\n" +
                 red + b"- *1.19" + off + b"\r\n" + green + b"+ *1.20" + off + b"\r\n" + invoice)
        assert shown.startswith(first), "colour %s: shown %r" % (colour, shown[:400])
        hint = invoice + b"maybe\r\nAnswer Yes, No or All; the first letter is enough.\r\n" + invoice
        assert hint in shown, "colour %s: no hint in %r" % (colour, shown)
        # Twelve unchanged lines: the first two, a count, the last two.
        cut = (b"  Category = \"Unfiled\"; Secret = 0\r\n  Places = 14; StripZeros = 1\r\n"
               b"  (8 unchanged lines)\r\n  line 8\r\n  line 9\r\n" +
               red + b"- line 10" + off + b"\r\n" + green + b"+ line ten" + off + b"\r\n" + long_question)
        assert cut in shown, "colour %s: the long record shown as %r" % (colour, shown)
        summary = b"TxImport: 1 added, 1 replaced, 1 kept beside a new version, 0 unchanged\r\n"
        assert shown.endswith(summary), "colour %s: ends %r" % (colour, shown[-200:])
        assert (b"\x1b[" in shown) == colour, "colour %s: %r" % (colour, shown)
        rows += 1
    return rows


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
            shown, status = run_at_terminal(argv, dict(os.environ), [])
            assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 1, "status %r" % status
            assert shown == expected, "%r shown as %r" % (argv, shown)
        passed = 3 + conflict_rows(importer, example, work)
        print("%d passed, 0 failed" % passed)
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
