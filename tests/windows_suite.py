#!/usr/bin/env python3
"""The Windows programs under wine, against the Linux ones: one table of
behaviours that differ between the hosts, each row run in a fresh directory.

    windows_suite.py --windows BUILD-WINDOWS --linux BUILD --source SOURCE --wine WINE64

Every wine call has a deadline.  Ends with the line 'N passed, N failed'.
"""
import argparse
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
import generate  # noqa: E402
from row_files import RowFiles  # noqa: E402

SEP = b"~" * 27 + b"\n"


def crlf(text):
    return text.replace(b"\n", b"\r\n")


class Suite(RowFiles):
    def __init__(self, args):
        self.win_export = os.path.join(args.windows, "TxExport.exe")
        self.win_import = os.path.join(args.windows, "TxImport.exe")
        self.hold_open = os.path.join(args.windows, "tests", "hold_open.exe")
        self.linux_export = os.path.join(args.linux, "TxExport")
        self.linux_import = os.path.join(args.linux, "TxImport")
        self.example = os.path.join(args.source, "examples", "example.pdb")
        self.example_text = open(os.path.join(args.source, "examples", "example.txt"), "rb").read()
        self.wine = args.wine
        self.dir = None

    def win(self, program, *args, stdin=b""):
        """Runs a Windows program in the row's directory: (status, stdout, stderr)."""
        done = subprocess.run([self.wine, program, *args], input=stdin, capture_output=True, cwd=self.dir,
                              timeout=120)
        return done.returncode, done.stdout, done.stderr

    def linux(self, program, *args, stdin=b""):
        done = subprocess.run([program, *args], input=stdin, capture_output=True, cwd=self.dir, timeout=60)
        return done.returncode, done.stdout, done.stderr

    def copy_example(self, name="db.pdb"):
        shutil.copy(self.example, self.path(name))


def expect(condition, what):
    if not condition:
        raise AssertionError(what)


def export_writes_crlf(s):
    s.copy_example()
    status, out, err = s.win(s.win_export, "db.pdb", "w.txt")
    expect((status, out, err) == (0, b"", b""), "status %d, out %r, err %r" % (status, out, err))
    expect(s.read("w.txt") == crlf(s.example_text), "the text is not the Linux text with CR LF")


def import_matches_linux(s):
    # The exported text with CR LF, answered through a pipe with CR LF.
    for answer in (b"n", b"y"):
        s.copy_example()
        s.write("w.txt", crlf(s.example_text))
        status, out, err = s.win(s.win_import, "db.pdb", "w.txt", "wnew.pdb", stdin=answer + b"\r\n")
        expect(status == 0 and err == b"", "status %d, err %r" % (status, err))
        expect(out == b'Overwrite "Pi to four places" (Yes/No/All)? ', "question %r" % out)
        s.write("l.txt", s.example_text)
        status, _, _ = s.linux(s.linux_import, "db.pdb", "l.txt", "lnew.pdb", stdin=answer + b"\n")
        expect(status == 0, "the Linux import failed")
        win, lin = s.read("wnew.pdb"), s.read("lnew.pdb")
        # Apart from the three dates at bytes 36 to 47.
        expect(win[:36] == lin[:36] and win[48:] == lin[48:], "the databases differ (answer %r)" % answer)


def substitute_byte_round_trips(s):
    s.copy_example()
    s.write("add.txt", b"Control Z\r\nbefore\x1aafter\r\n" + crlf(SEP))
    status, out, err = s.win(s.win_import, "db.pdb", "add.txt", "out.pdb")
    expect((status, out, err) == (0, b"", b""), "import: status %d, out %r, err %r" % (status, out, err))
    status, _, _ = s.win(s.win_export, "out.pdb", "out.txt")
    expect(status == 0, "export failed")
    expect(s.read("out.txt").endswith(b"Control Z\r\nbefore\x1aafter\r\n" + crlf(SEP)), "the record is not whole")
    status, _, _ = s.linux(s.linux_export, "out.pdb", "linux.txt")
    expect(status == 0 and s.read("linux.txt").endswith(b"Control Z\nbefore\x1aafter\n" + SEP),
           "Linux does not read the record whole")


def same_file_refused(s):
    s.copy_example()
    before = s.read("db.pdb")
    os.mkdir(s.path("sub"))
    for spelling in (".\\db.pdb", "sub\\..\\db.pdb", "DB.PDB", os.path.join(s.dir, "db.pdb")):
        status, out, err = s.win(s.win_export, "db.pdb", spelling)
        expect(status == 1 and err == b"", "%s: status %d, err %r" % (spelling, status, err))
        expect(out == b'Can\'t open "' + spelling.encode() + b'": it is the database file itself',
               "%s: %r" % (spelling, out))
        expect(s.read("db.pdb") == before, "%s: the database changed" % spelling)


def non_ascii_names_kept(s):
    s.copy_example("Ωé.pdb")
    status, out, err = s.win(s.win_export, "Ωé.pdb", "Ωé.txt")
    expect((status, out, err) == (0, b"", b""), "status %d, out %r, err %r" % (status, out, err))
    expect(s.read("Ωé.txt") == crlf(s.example_text), "the text is not there under its name")


def failed_writes_leave_files(s):
    s.copy_example()
    before = s.read("db.pdb")
    s.write("add.txt", b"Added\r\n" + crlf(SEP))
    status, out, err = s.win(s.win_export, "db.pdb", "Z:\\dev\\full")
    expect(status == 1 and out == b"", "export: status %d, out %r" % (status, out))
    expect(err.replace(b"\r\n", b"\n") == b"Error writing text file: No space left on device\n", "export: %r" % err)
    status, out, err = s.win(s.win_import, "db.pdb", "add.txt", "Z:\\dev\\full")
    expect(status == 1 and out == b"", "import: status %d, out %r" % (status, out))
    expect(err.replace(b"\r\n", b"\n") == b"Error writing database header: No space left on device\n",
           "import: %r" % err)
    expect(s.read("db.pdb") == before, "the database changed")
    expect(sorted(os.listdir(s.dir)) == ["add.txt", "db.pdb"], "left behind: %r" % os.listdir(s.dir))


class Skipped(Exception):
    pass


def full_disk_keeps_the_old_text(s):
    """An export over a user's text on a full file system: the text stays
    byte for byte, and nothing is left beside it, in both programs."""
    if os.geteuid() != 0:
        raise Skipped("needs root to mount a small file system")
    s.copy_example()
    mnt = s.path("mnt")
    os.makedirs(mnt)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", mnt], check=True)
    try:
        mine = bytes(range(256)) * 12 + b"a user's text"  # 3,085 bytes
        s.write("mnt/mine.txt", mine)
        with open(os.path.join(mnt, "filler"), "wb") as filler:
            try:
                filler.write(b"\0" * (1 << 20))
            except OSError:
                pass
        for name, run in (("Windows", lambda: s.win(s.win_export, "db.pdb", "mnt\\mine.txt")),
                          ("Linux", lambda: s.linux(s.linux_export, "db.pdb", "mnt/mine.txt"))):
            status, out, err = run()
            expect(status == 1 and err.replace(b"\r\n", b"\n") == b"Error writing text file: No space left on device\n",
                   "%s: status %d, %r" % (name, status, out + err))
            expect(s.read("mnt/mine.txt") == mine, "%s: the text changed" % name)
            expect(sorted(os.listdir(mnt)) == ["filler", "mine.txt"], "%s: left %r" % (name, os.listdir(mnt)))
    finally:
        subprocess.run(["umount", mnt])


def hard_linked_database_written_into(s):
    """A database with another hard link is written into, with its rollback
    copy and mark, and both names see the new records; nothing is left."""
    s.copy_example()
    os.link(s.path("db.pdb"), s.path("link.pdb"))
    s.write("add.txt", b"Added\r\n" + crlf(SEP))
    before = os.stat(s.path("db.pdb")).st_ino
    status, out, err = s.win(s.win_import, "db.pdb", "add.txt")
    expect((status, out, err) == (0, b"", b""), "status %d, out %r, err %r" % (status, out, err))
    expect(os.stat(s.path("db.pdb")).st_ino == before, "the database was replaced, not written into")
    expect(s.read("link.pdb") == s.read("db.pdb"), "the other link differs")
    status, text, err = s.linux(s.linux_export, "link.pdb", "/dev/stdout")
    expect(status == 0 and text.endswith(b"Added\n" + SEP), "the new record is missing: %r" % text[-80:])
    expect(sorted(os.listdir(s.dir)) == ["add.txt", "db.pdb", "link.pdb"], "left behind: %r" % os.listdir(s.dir))


def update_in_place_leaves_nothing(s):
    s.copy_example()
    s.write("add.txt", b"Added\r\n" + crlf(SEP))
    before = os.stat(s.path("db.pdb")).st_ino
    status, out, err = s.win(s.win_import, "db.pdb", "add.txt")
    expect((status, out, err) == (0, b"", b""), "status %d, out %r, err %r" % (status, out, err))
    # Replaced by a new file, not written into the old one.
    expect(os.stat(s.path("db.pdb")).st_ino != before, "the database was written into, not replaced")
    expect(sorted(os.listdir(s.dir)) == ["add.txt", "db.pdb"], "left behind: %r" % os.listdir(s.dir))
    status, _, _ = s.linux(s.linux_export, "db.pdb", "db.txt")
    expect(status == 0 and s.read("db.txt").endswith(b"\nAdded\n" + SEP), "the record was not added")


def unmarked_utf16_and_final_eof_mark_as_on_linux(s):
    s.copy_example()
    s.write("u16.txt", "Added\r\n".encode("utf-16-le"))
    win = s.win(s.win_import, "db.pdb", "u16.txt", "w.pdb")
    lin = s.linux(s.linux_import, "db.pdb", "u16.txt", "l.pdb")
    expect(win[0] == lin[0] == 1 and win[1] == lin[1], "UTF-16 without a mark: %r against %r" % (win, lin))
    expect(b"it is UTF-16 text" in win[1], "UTF-16 without a mark: %r" % (win,))
    # What copy a.txt+b.txt leaves at the end.
    s.write("end.txt", b"Added\r\n" + crlf(SEP) + b"\x1a")
    win = s.win(s.win_import, "db.pdb", "end.txt", "w.pdb")
    lin = s.linux(s.linux_import, "db.pdb", "end.txt", "l.pdb")
    expect(win == lin == (0, b"", b""), "a final 0x1A: %r against %r" % (win, lin))
    w, l = s.read("w.pdb"), s.read("l.pdb")
    expect(w[:36] == l[:36] and w[48:] == l[48:], "a final 0x1A: the databases differ")


def windows_path_forms(s):
    s.copy_example()
    s.write("add.txt", b"Added\r\n" + crlf(SEP))
    folder = "Z:" + s.dir.replace("/", "\\")
    for output, name in (("\\\\?\\" + folder + "\\long.pdb", "long.pdb"), ("Z:relative.pdb", "relative.pdb"),
                         (folder + "/mixed.pdb", "mixed.pdb")):
        status, out, err = s.win(s.win_import, "db.pdb", "add.txt", output)
        expect((status, out, err) == (0, b"", b""), "%s: status %d, out %r, err %r" % (output, status, out, err))
        status, _, _ = s.linux(s.linux_export, name, name + ".txt")
        expect(status == 0 and s.read(name + ".txt").endswith(b"\nAdded\n" + SEP), "%s: not written" % output)
    # An update in place through a \\?\ path puts its temporary file beside it.
    status, out, err = s.win(s.win_import, "\\\\?\\" + folder + "\\db.pdb", "add.txt")
    expect((status, out, err) == (0, b"", b""), "in place: status %d, out %r, err %r" % (status, out, err))
    left = sorted(n for n in os.listdir(s.dir) if not n.endswith(".txt"))
    expect(left == ["db.pdb", "long.pdb", "mixed.pdb", "relative.pdb"], "left behind: %r" % left)


# What wine reports for a process that ended with STATUS_CONTROL_C_EXIT
# (0xC000013A, which cmd shows as -1073741510): its low byte.
CONTROL_C_EXIT = 0x3A


def interrupted(s, args, ready):
    """Runs a Windows program and sends it the console's Ctrl-C (wine turns
    SIGINT into it) once `ready(output so far)` says so (polled every 5 ms,
    for 60 s at most): (status, stdout, stderr)."""
    p = subprocess.Popen([s.wine, *args], cwd=s.dir, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    out = bytearray()
    reader = threading.Thread(target=lambda: [out.extend(chunk) for chunk in iter(lambda: p.stdout.read1(4096), b"")])
    reader.start()
    try:
        deadline = time.monotonic() + 60
        while not ready(bytes(out)) and p.poll() is None and time.monotonic() < deadline:
            time.sleep(0.005)
        p.send_signal(signal.SIGINT)
        p.wait(timeout=60)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
        raise AssertionError("%s did not end after Ctrl-C" % args[0])
    finally:
        reader.join()
    return p.returncode, bytes(out), p.stderr.read()


def ctrl_c_during_a_question(s):
    s.copy_example()
    before = s.read("db.pdb")
    s.write("edits.txt", b"Invoice totals\r\nchanged\r\n" + crlf(SEP))
    for output in ("db.pdb", "new.pdb"):
        # Once the question is shown, and a moment on.
        asked = []

        def ready(shown):
            if not asked and shown.endswith(b"(Yes/No/All)? "):
                asked.append(time.monotonic())
            return bool(asked) and time.monotonic() > asked[0] + 0.3
        status, out, err = interrupted(s, [s.win_import, "db.pdb", "edits.txt", output], ready)
        expect(status == CONTROL_C_EXIT, "%s: status %d, out %r, err %r" % (output, status, out, err))
        expect(out.endswith(b"(Yes/No/All)? ") and err == b"", "%s: out %r, err %r" % (output, out, err))
        expect(s.read("db.pdb") == before, "%s: the database changed" % output)
        expect(sorted(os.listdir(s.dir)) == ["db.pdb", "edits.txt"], "%s: left %r" % (output, os.listdir(s.dir)))


def ctrl_c_during_a_write(s):
    """A large import and a large export, interrupted while they write (once
    their new file beside the old one appears, then a few milliseconds on):
    the files old or complete and new, nothing left beside them, and status
    STATUS_CONTROL_C_EXIT unless the run was already done."""
    records = generate.make_records(40000, seed=9)
    big = generate.database_bytes(records)
    new_keys = [r.key() for r in records] + [(0, 14, 1, b"Added")]
    text = generate.exported_text(records).replace(b"\n", b"\r\n")
    for after in (0.0, 0.02, 0.05):
        for args, output, tag in (([s.win_import, "db.pdb", "add.txt"], "db.pdb", ".db.pdb.TxImport-"),
                                  ([s.win_export, "old.pdb", "mine.txt"], "mine.txt", ".mine.txt.TxExport-")):
            s.write("db.pdb", big)
            s.write("old.pdb", big)
            s.write("add.txt", b"Added\r\n" + crlf(SEP))
            s.write("mine.txt", b"mine")
            seen = []

            def ready(_):
                if not seen and any(name.startswith(tag) for name in os.listdir(s.dir)):
                    seen.append(time.monotonic())
                return bool(seen) and time.monotonic() >= seen[0] + after
            status, out, err = interrupted(s, args, ready)
            got = s.read(output)
            try:
                new = generate.parse_database(got) == new_keys if output == "db.pdb" else got == text
            except (ValueError, IndexError, struct.error):
                new = False
            old = got == (big if output == "db.pdb" else b"mine")
            where = "%s, %.2f s after its new file appeared" % (args[0], after)
            expect(old or new, "%s: neither old nor new" % where)
            expect(status == CONTROL_C_EXIT or (status == 0 and new), "%s: status %d, %r" % (where, status, out + err))
            expect(sorted(os.listdir(s.dir)) == ["add.txt", "db.pdb", "mine.txt", "old.pdb"],
                   "%s: left %r" % (where, os.listdir(s.dir)))


def readme_walkthrough(s):
    """The Windows README's walkthrough, question for question: the example
    exported, the code under "Door code" changed, imported to new.pdb."""
    s.copy_example("example.pdb")
    status, out, err = s.win(s.win_export, "example.pdb", "example.txt")
    expect(status == 0, "export: %d %r" % (status, out + err))
    s.write("example.txt", s.read("example.txt").replace(b"\r\n4711\r\n", b"\r\n1234\r\n"))
    status, out, err = s.win(s.win_import, "example.pdb", "example.txt", "new.pdb", stdin=b"y\r\ny\r\n")
    expect((status, err) == (0, b""), "import: %d %r" % (status, err))
    expect(out == b'Overwrite "Door code" (Yes/No/All)? Overwrite "Pi to four places" (Yes/No/All)? ',
           "the questions: %r" % out)
    readme = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging", "windows",
                               "README.txt"), "rb").read()
    for line in (b'Overwrite "Door code" (Yes/No/All)?', b'Overwrite "Pi to four places" (Yes/No/All)?'):
        expect(line in readme, "the README does not show %r" % line)


def read_only_wording(s):
    """A read-only file is refused in the same words by both programs (as a
    user: root writes a read-only file under wine)."""
    if os.geteuid() == 0:
        raise Skipped("root may write a read-only file")
    s.copy_example()
    s.write("mine.txt", b"mine")
    s.write("add.txt", b"Added\r\n" + crlf(SEP))
    for name in ("mine.txt", "db.pdb"):
        os.chmod(s.path(name), 0o444)
    try:
        for args, name in (([s.win_export, "db.pdb", "mine.txt"], "mine.txt"), ([s.win_import, "db.pdb", "add.txt"], "db.pdb")):
            status, out, err = s.win(*args)
            want = b"Can't open \"%s\": the file is marked read-only" % name.encode()
            expect(status == 1 and out == want and err == b"", "%s: status %d, %r" % (args[0], status, out + err))
    finally:
        for name in ("mine.txt", "db.pdb"):
            os.chmod(s.path(name), 0o644)
    expect(s.read("mine.txt") == b"mine", "the text changed")


def held_by_another_program(s):
    # Another program holds the database open: with delete sharing the
    # update replaces it; without, it is refused cleanly, the file whole.
    for sharing, replaced in (("delete", True), ("nodelete", False)):
        s.copy_example()
        s.write("add.txt", b"Added\r\n" + crlf(SEP))
        before = s.read("db.pdb")
        holder = subprocess.Popen([s.wine, s.hold_open, "db.pdb", sharing], cwd=s.dir, stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            expect(holder.stdout.readline().strip() == b"held", "%s: the other program did not open it" % sharing)
            status, out, err = s.win(s.win_import, "db.pdb", "add.txt")
        finally:
            holder.stdin.close()
            holder.wait(timeout=60)
        # Windows replaces a file that another program holds with delete
        # sharing; wine cannot replace a file that any process holds open, so
        # there the update is refused as cleanly as without delete sharing.
        if replaced and status == 0:
            expect((out, err) == (b"", b""), "%s: out %r, err %r" % (sharing, out, err))
            expect(s.read("db.pdb") != before, "%s: the database was not updated" % sharing)
        else:
            expect(status == 1 and out == b"", "%s: status %d, out %r" % (sharing, status, out))
            expect(err.replace(b"\r\n", b"\n") == b"Error replacing database file: another program has the file open\n",
                   "%s: %r" % (sharing, err))
            expect(s.read("db.pdb") == before, "%s: the database changed" % sharing)
        expect(sorted(os.listdir(s.dir)) == ["add.txt", "db.pdb"], "%s: left behind: %r" % (sharing, os.listdir(s.dir)))


def usage_lines(s):
    status, out, err = s.win(s.win_export)
    expect((status, out, err) == (1, b"Format: TXEXPORT DbFileName TextFileName\r\n", b""),
           "status %d, out %r, err %r" % (status, out, err))


ROWS = [
    ("the export is the Linux text with CR LF line ends", export_writes_crlf),
    ("an import answered through a pipe with CR LF matches the Linux one apart from its dates", import_matches_linux),
    ("a 0x1A byte in a text round-trips", substitute_byte_round_trips),
    ("the database under another spelling is refused as the text file", same_file_refused),
    ("a non-ASCII file name is kept", non_ascii_names_kept),
    ("a failed write leaves every file as it was and nothing behind", failed_writes_leave_files),
    ("an update in place replaces the database and leaves no temporary file", update_in_place_leaves_nothing),
    ("an export over a text on a full disk keeps the text byte for byte", full_disk_keeps_the_old_text),
    ("a hard-linked database is written into, and both names see the update", hard_linked_database_written_into),
    ("the usage line", usage_lines),
    ("UTF-16 without a mark and a final 0x1A give the Linux results", unmarked_utf16_and_final_eof_mark_as_on_linux),
    ("\\\\?\\, drive-relative and mixed-slash outputs", windows_path_forms),
    ("a database another program holds open: replaced with delete sharing, refused cleanly without",
     held_by_another_program),
    ("Ctrl-C during a question ends with STATUS_CONTROL_C_EXIT, nothing written", ctrl_c_during_a_question),
    ("Ctrl-C during a large import or export leaves every file old or new", ctrl_c_during_a_write),
    ("a read-only file is refused in the same words by both programs", read_only_wording),
    ("the README's walkthrough asks what the programs ask", readme_walkthrough),
]


def main():
    parser = argparse.ArgumentParser()
    for option in ("--windows", "--linux", "--source", "--wine"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    for option in ("windows", "linux", "source"):
        setattr(args, option, os.path.abspath(getattr(args, option)))
    suite = Suite(args)
    passed = failed = 0
    # wine's own services (services.exe, winedevice.exe, ...) start with a
    # wine process and inherit its output; one now and then crashes on its
    # way in or out and says so there.  The prefix is made (or brought up to
    # date) first, then a keeper with its output away holds the services for
    # the whole suite, so that what a row reads on stderr is the program's.
    def wine_quietly(*command):
        subprocess.run([args.wine, *command], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300)
    wine_quietly("cmd", "/c", "exit")
    keeper = subprocess.Popen([args.wine, "cmd"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        wine_quietly("cmd", "/c", "exit")
        passed, failed = run_rows(suite)
    finally:
        keeper.stdin.close()
        try:
            keeper.wait(timeout=60)
        except subprocess.TimeoutExpired:
            keeper.kill()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


def run_rows(suite):
    passed = failed = 0
    for name, row in ROWS:
        with tempfile.TemporaryDirectory(prefix="txwin-") as work:
            suite.dir = work
            try:
                row(suite)
                passed += 1
                print("ok - " + name)
            except Skipped as reason:
                print("skip - %s: %s" % (name, reason))
            except (AssertionError, subprocess.TimeoutExpired) as problem:
                failed += 1
                print("not ok - %s: %s" % (name, problem))
    return passed, failed


if __name__ == "__main__":
    sys.exit(main())
