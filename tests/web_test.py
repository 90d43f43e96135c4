#!/usr/bin/env python3
"""The web page in headless Chromium against the native programs: one table
of rows, each run on a freshly loaded page and in a fresh directory.  What
the page shows and downloads must be byte for byte what TxExport and
TxImport write (a database apart from its three dates), and every refusal
the program's own message.

    web_test.py --page BUILD-WEB/web --native BUILD --source SOURCE [--big]

--big adds the 65,535-record database of the benchmark.  Ends with the line
'N passed, N failed'.
"""
import argparse
import os
import subprocess
import sys
import tempfile

from selenium.webdriver.common.keys import Keys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "support"))
sys.path.insert(0, os.path.join(HERE, "..", "bench"))
import generate  # noqa: E402
from row_files import RowFiles  # noqa: E402
from web_page import Page  # noqa: E402

SEP = b"~" * 27 + b"\n"
# Screenshots the rows keep, for a person to look at.
ARTIFACTS = os.environ.get("TX_WEB_ARTIFACTS", tempfile.gettempdir())
DATES = slice(36, 48)  # creation, modification and backup dates


def expect(condition, what):
    if not condition:
        raise AssertionError(what)


def masked(database):
    return database[:DATES.start] + b"\0" * (DATES.stop - DATES.start) + database[DATES.stop:]


class Suite(RowFiles):
    def __init__(self, args, page):
        self.page = page
        self.export = os.path.join(args.native, "TxExport")
        self.importer = os.path.join(args.native, "TxImport")
        self.example = os.path.join(args.source, "examples", "example.pdb")
        self.dir = None

    def native(self, program, *args, answers=b""):
        done = subprocess.run([program, *args], input=answers, capture_output=True, cwd=self.dir, timeout=300)
        return done.returncode, done.stdout, done.stderr

    def native_export(self, db):
        status, out, err = self.native(self.export, db, "native.txt")
        expect(status == 0, "TxExport failed: %r %r" % (out, err))
        return self.read("native.txt")

    def native_import(self, db, text, answers):
        """The database TxImport writes, its questions' first lines and its
        notes."""
        status, out, err = self.native(self.importer, db, text, "native.pdb",
                                       answers=b"".join(a.encode() + b"\n" for a in answers))
        expect(status == 0, "TxImport failed: %r %r" % (out, err))
        return self.read("native.pdb"), out.decode("cp1252"), err.decode("cp1252").splitlines()

    def example_text(self):
        return self.native_export(self.example)


# ---- Rows

def export_matches_native(s):
    s.page.choose_database(s.example)
    native = s.native_export(s.example)
    expect(s.page.text_of("database-info") == "example.pdb: 5 records", s.page.text_of("database-info"))
    expect(s.page.text_area().encode("cp1252") == native, "the text shown is not the native export")
    expect(s.page.download("download-text", "example.txt") == native, "the text downloaded is not the native export")


def opened_from_its_folder(s):
    s.page.open(from_folder=True)
    export_matches_native(s)
    s.page.type_text("Added\n")
    expect(s.page.merge(["y"]) and s.page.outcome() == "done", "outcome %s" % s.page.outcome())


def edited(text):
    """The example's text with three bodies edited and a block added."""
    return (text.replace(b"120.50+80.25", b"120.50+80.25+9.99")
            .replace(b"4711", b"0815")
            .replace(b"power 65", b"power 70")
            + b'Category = "Travel"; Secret = 0\nPlaces = 2; StripZeros = 1\nFares\n12.40\n' + SEP)


# The merges: how the text reaches the page, the answers given and how.
MERGES = [
    # (name, text maker, loaded as a file?, answers, by keys?, questions asked, notes)
    ("edited in the page, answered Yes, No, All with the buttons", edited, False, ["y", "n", "a"], False, 3, 0),
    ("edited in the page, answered No, Yes, All with the keys", edited, False, ["n", "y", "a"], True, 3, 0),
    ("edited in the page, answered No to every question", edited, False, ["n", "n", "n", "n"], False, 4, 0),
    ("loaded with CR LF and a UTF-8 byte-order mark, answered All",
     lambda t: b"\xef\xbb\xbf" + edited(t).replace(b"\n", b"\r\n"), True, ["a"], False, 1, 0),
    ("loaded as UTF-8 with its mark (accented letters, euro, curly quotes), answered All",
     lambda t: as_utf8(edited(t)), True, ["a"], False, 1, 0),
    ("loaded, with a header typo, a 26-tilde line and an emptied body (notes)",
     lambda t: t.replace(b'Category = "Work"', b'Category="Work"').replace(SEP, b"~" * 26 + b"\n", 1)
     + b'Category = "Home"; Secret = 0\nPlaces = 2; StripZeros = 1\n' + SEP + b"Never read\n",
     True, ["y"], False, 1, 3),
]


# A block with letters past ASCII: é, €, curly quotes, the character of the
# undefined byte 81.
ACCENTED = 'Category = "Home"; Secret = 0\nPlaces = 2; StripZeros = 1\nCaf\u00e9 \u20ac 5\n\u201cq\u201d \u0081\n' + \
    SEP.decode()


def as_utf8(text):
    """The example's text as an editor saves it as UTF-8 with the mark."""
    return b"\xef\xbb\xbf" + (text.decode("ascii") + ACCENTED).encode("utf-8")


def merge_row(name, make_text, as_file, answers, by_key, questions_asked, notes_given):
    def row(s):
        s.page.choose_database(s.example)
        text = make_text(s.example_text())
        s.write("edits.txt", text)
        if as_file:
            s.page.load_text(s.path("edits.txt"))
        else:
            s.page.edit_text(text.decode("cp1252"))
        asked = s.page.merge(answers, by_key=by_key)
        expect(s.page.outcome() == "done", "outcome %s, failure %r" % (s.page.outcome(), s.page.failure()))
        expect(len(asked) == questions_asked, "%d questions asked" % len(asked))
        expect([a["count"] for a in asked] == ["Question %d" % (i + 1) for i in range(len(asked))],
               "counted %r" % [a["count"] for a in asked])
        native, questions, notes = s.native_import(s.example, "edits.txt", answers[:len(asked)])
        expect("".join(a["line"] for a in asked) == questions,
               "questions %r, natively %r" % ([a["line"] for a in asked], questions))
        for a in asked:
            marked = [line for line in a["existing"] + a["incoming"] if line.startswith("> ")]
            expect(marked, "no changed line marked in %r" % a)
        page_notes = s.page.notes()
        expect(page_notes == notes and len(notes) == notes_given, "notes %r, natively %r" % (page_notes, notes))
        database = s.page.download("download-database", "example.pdb")
        expect(masked(database) == masked(native), "the database is not what TxImport writes")
    return row


def utf8_shown_and_refused_like_native(s):
    """A UTF-8 text with its mark is shown as its characters, converted as
    TxImport converts it; one with a character the set lacks is refused with
    the program's message."""
    s.page.choose_database(s.example)
    text = as_utf8(s.example_text())
    s.write("utf8.txt", text)
    s.page.load_text(s.path("utf8.txt"))
    expect(s.page.text_area() == text[3:].decode("utf-8"), "shown %r" % s.page.text_area()[-60:])
    s.write("arrow.txt", text + "Arrow\n\u2192 here\n".encode("utf-8") + SEP)
    status, out, err = s.native(s.importer, s.example, "arrow.txt", "native.pdb")
    expect(status == 1 and b"holds a character that the handheld's character set does not have" in err, err)
    s.page.load_text(s.path("arrow.txt"))
    expect(s.page.failure() == err.decode().rstrip("\n"), "page %r, program %r" % (s.page.failure(), err))


def typed_after_loading(make_text):
    """A text loaded from a file, one character typed at its end: the page's
    merge equals TxImport's on the same bytes, the character added."""
    def row(s):
        s.page.choose_database(s.example)
        text = make_text(s.example_text())
        s.write("loaded.txt", text)
        s.page.load_text(s.path("loaded.txt"))
        s.page.type_text("x")
        # The same bytes under the same name, for the notes' sake.
        s.write("loaded.txt", text + b"x")
        status, out, err = s.native(s.importer, s.example, "loaded.txt", "native.pdb", answers=b"a\n")
        asked = s.page.merge(["a"])
        expect(len(asked) == out.count(b"(Yes/No/All)? "), "%d questions, natively %r" % (len(asked), out))
        if status == 0:
            expect(s.page.outcome() == "done", "outcome %s, failure %r" % (s.page.outcome(), s.page.failure()))
            expect(masked(s.page.download("download-database", "example.pdb")) == masked(s.read("native.pdb")),
                   "the database is not what TxImport writes")
        else:
            expect(s.page.failure() == (out + err).decode("cp1252").rstrip("\n"), "page %r" % s.page.failure())
        expect(s.page.notes() == err.decode("cp1252").splitlines() or status != 0,
               "notes %r, natively %r" % (s.page.notes(), err))
    return row


def non_ascii_name_in_a_note(s):
    """A note names a text file with letters past ASCII as they are, while a
    record's bytes in it stay the handheld's."""
    s.page.choose_database(s.example)
    name = "caf\u00e9 \u2192.txt"
    s.write(name, s.example_text().replace(b'Category = "Work"', b'Category = "Caf\xe9 and more names"'))
    s.page.load_text(s.path(name))
    s.page.merge(["a"])
    want = 'TxImport: note: "%s" line 1: category name cut to its first 15 bytes: "Caf\u00e9 and more n"' % name
    expect(s.page.notes()[:1] == [want], "notes %r" % s.page.notes())


def keyboard_reaches_every_control(s):
    """Tab reaches the file choosers and the buttons: the page works with the
    keyboard alone."""
    s.page.choose_database(s.example)
    reached = s.page.driver.execute_script("""
        const order = [];
        for (let i = 0; i < 12; i++) {
          const e = document.activeElement;
          order.push(e.id || e.tagName);
          const all = Array.from(document.querySelectorAll('input, button, textarea, [tabindex="0"]'))
            .filter((x) => !x.closest('[hidden]') && !x.closest('dialog'));
          const next = all[(all.indexOf(e) + 1) % all.length];
          next.focus();
        }
        return order;""")
    for control in ("database-file", "text-file", "download-text", "text", "merge"):
        expect(control in reached, "Tab does not reach %s: %r" % (control, reached))
    focusable = s.page.driver.execute_script(
        "const e = document.getElementById('text-file'); e.focus(); return document.activeElement === e;")
    expect(focusable, "the text file chooser takes no focus")


def edits_kept_unless_discarded(s):
    """Choosing a database or loading a text asks before edits are lost."""
    s.page.choose_database(s.example)
    s.page.type_text("Mine\n")
    edited = s.page.text_area()
    s.write("other.txt", b"Other\n" + SEP)
    for choose, path in (("database-file", s.example), ("text-file", s.path("other.txt"))):
        s.page.element(choose).send_keys(path)
        s.page.wait(lambda d: s.page.alert_text() is not None)
        expect("edits" in s.page.alert_text(), "asked %r" % s.page.alert_text())
        s.page.answer_alert(False)
        expect(s.page.text_area() == edited, "%s: the edits were thrown away" % choose)
    s.page.element("text-file").send_keys(s.path("other.txt"))
    s.page.wait(lambda d: s.page.alert_text() is not None)
    s.page.answer_alert(True)
    s.page.wait(lambda d: s.page.text_area() == "Other\n" + SEP.decode())


def answers_need_a_moment_and_a_letter(s):
    """A double click or Enter as the dialog opens answers nothing; each
    dialog counts its question."""
    s.page.choose_database(s.example)
    s.page.edit_text(edited(s.example_text()).decode("cp1252"))
    s.page.element("merge").click()
    s.page.wait(lambda d: d.execute_script("return document.getElementById('question').open"))
    s.page.double_click("answer-yes")
    s.page.element("question").send_keys(Keys.ENTER)
    expect(s.page.driver.execute_script("return document.getElementById('question').open"), "the dialog was answered")
    expect(s.page.text_of("question-count") == "Question 1", s.page.text_of("question-count"))
    s.page.wait(lambda d: d.execute_script("return document.getElementById('question').dataset.ready === 'yes'"))
    s.page.element("question").send_keys(Keys.ENTER)
    expect(s.page.driver.execute_script("return document.getElementById('question').open"), "Enter answered")
    s.page.element("answer-stop").click()
    s.page.wait(lambda d: s.page.outcome() == "stopped")


def narrow_dialog_shows_each_change(s):
    """At 390 px the two records stand one above the other and a long line
    wraps, so that its changed end is in view."""
    s.page.driver.set_window_size(390, 844)
    try:
        s.page.open()
        s.page.choose_database(s.example)
        long_line = "x" * 120
        text = s.example_text().replace(b"*1.19", (long_line + " old end").encode())
        s.write("long.txt", text)
        s.page.load_text(s.path("long.txt"))
        s.page.edit_text(text.decode().replace(" old end", " new end"))
        s.page.element("merge").click()
        s.page.wait(lambda d: d.execute_script("return document.getElementById('question').open"))
        boxes = s.page.driver.execute_script("""
            const box = (id) => { const e = document.getElementById(id); const r = e.getBoundingClientRect();
                return {top: r.top, bottom: r.bottom, left: r.left, width: r.width,
                        scroll: e.scrollWidth, client: e.clientWidth}; };
            return {existing: box('existing'), incoming: box('incoming'), width: window.innerWidth};""")
        s.page.driver.save_screenshot(os.path.join(ARTIFACTS, "dialog-390px.png"))
        e, i = boxes["existing"], boxes["incoming"]
        expect(i["top"] >= e["bottom"], "the records stand side by side: %r" % boxes)
        expect(e["width"] > 0.7 * boxes["width"], "a record is narrow: %r" % boxes)
        expect(e["scroll"] <= e["client"] and i["scroll"] <= i["client"], "a line runs out of view: %r" % boxes)
        s.page.element("answer-stop").click()
    finally:
        s.page.driver.set_window_size(1280, 900)


def changed_lines_marked(s):
    s.page.choose_database(s.example)
    s.page.edit_text(edited(s.example_text()).decode("cp1252"))
    asked = s.page.merge(["y", "y", "y", "y"])
    expect(asked[0]["existing"] == ['  Category = "Work"; Secret = 0', "  Places = 2; StripZeros = 1",
                                    "  Invoice totals", "> 120.50+80.25", "  *1.19", "  " + "~" * 27],
           "existing %r" % asked[0]["existing"])
    expect(asked[0]["incoming"][3] == "> 120.50+80.25+9.99", "incoming %r" % asked[0]["incoming"])


def refused_like_native(make_db, make_text, program):
    """A database or text the program refuses: the page shows its message,
    offers nothing to download, and changes nothing it showed."""
    def row(s):
        s.write("db.pdb", make_db(s))
        named = ""
        if program == "export":
            status, out, err = s.native(s.export, "db.pdb", "native.txt")
            s.page.choose_database(s.path("db.pdb"))
            expect(not s.page.shown("text-step"), "the text step is shown for a damaged database")
            named = "db.pdb: "  # the message names no file: the page does
        else:
            # Refused when it is loaded, the text area keeping what it had.
            s.write("text.txt", make_text(s))
            status, out, err = s.native(s.importer, "db.pdb", "text.txt", "native.pdb")
            s.page.choose_database(s.path("db.pdb"))
            shown = s.page.text_area()
            s.page.load_text(s.path("text.txt"))
            expect(s.page.text_area() == shown, "the text area changed")
        expect(status == 1, "the program did not refuse: %d" % status)
        message = (out + err).decode()
        expect(s.page.failure() == named + message.rstrip("\n"), "page %r, program %r" % (s.page.failure(), message))
    return row


def shared_texts(s):
    """65,535 entries that share one 1 MiB text: a text of 64 GiB."""
    database = bytearray(generate.database_bytes([generate.Record(0, False, 1, 1, b"x" * (1 << 20))] +
                                                 [generate.Record(0, False, 1, 1, b"")] * 65534))
    for i in range(1, 65535):
        database[78 + 8 * i:82 + 8 * i] = database[78:82]
    return bytes(database)


def shared_texts_refused(s):
    s.write("shared.pdb", shared_texts(s))
    s.page.choose_database(s.path("shared.pdb"))
    expect(s.page.failure() == "shared.pdb: Error writing text file: the text would pass 512 MiB, more than the page "
                               "can hold",
           s.page.failure())
    expect(not s.page.shown("text-step"), "the text step is shown")


def example_bytes(s):
    with open(s.example, "rb") as f:
        return f.read()


def stopped_merge_writes_nothing(s):
    s.page.choose_database(s.example)
    s.page.edit_text(edited(s.example_text()).decode("cp1252"))
    asked = s.page.merge(["y"], stop_at=2)
    expect(len(asked) == 2 and s.page.outcome() == "stopped", "outcome %s" % s.page.outcome())
    expect(not s.page.shown("download-database"), "a database is offered after a stop")
    expect(s.page.text_of("merge-info") == "Merge stopped; nothing was written.", s.page.text_of("merge-info"))


def character_outside_the_set(s):
    s.page.choose_database(s.example)
    s.page.type_text("Arrow \u2192 here\n")
    s.page.element("merge").click()
    expect(s.page.failure().startswith('Line 30 of the text holds "\u2192" (U+2192), which the handheld'),
           s.page.failure())
    expect(s.page.outcome() is None, "a merge ran")


def merged_with_all(s, count):
    """A generated database of `count` records and a text with conflicts,
    merged with All: the database TxImport writes."""
    records = generate.make_records(count, seed=count)
    s.write("big.pdb", generate.database_bytes(records))
    text, _ = generate.merge_text(records, seed=count)
    s.write("edits.txt", text)
    s.page.choose_database(s.path("big.pdb"))
    expect(s.page.text_of("database-info") == "big.pdb: %d records" % count, s.page.text_of("database-info"))
    return records


def merge_all_matches_native(s):
    s.page.load_text(s.path("edits.txt"))
    asked = s.page.merge(["a"])
    expect(s.page.outcome() == "done" and len(asked) == 1, "outcome %s" % s.page.outcome())
    native, _, _ = s.native_import("big.pdb", "edits.txt", ["a"])
    expect(masked(s.page.download("download-database", "big.pdb")) == masked(native),
           "the merged database is not what TxImport writes")


def sized_database(count):
    def row(s):
        merged_with_all(s, count)
        merge_all_matches_native(s)
    return row


def big_database(s):
    records = merged_with_all(s, 65535)
    expect(not s.page.shown("text") and "too large to edit in the page" in s.page.text_of("text-info"),
           "the big text was put in the text area")
    expect(s.page.download("download-text", "big.txt") == generate.exported_text(records),
           "the text of the big database is not the export")
    merge_all_matches_native(s)


ROWS = [("the shown and downloaded text is the native export", export_matches_native),
        ("opened from its folder, the page exports and merges", opened_from_its_folder)]
ROWS += [(name, merge_row(name, *rest)) for name, *rest in MERGES]
ROWS += [
    ("the changed lines of both records are marked", changed_lines_marked),
    ("a UTF-8 text is shown converted, and refused as the program refuses it", utf8_shown_and_refused_like_native),
    ("a damaged database: the exporter's message",
     refused_like_native(lambda s: example_bytes(s)[:50], None, "export")),
    ("a database of another creator: the exporter's message",
     refused_like_native(lambda s: example_bytes(s)[:64] + b"XXXX" + example_bytes(s)[68:], None, "export")),
    ("a UTF-16 text: the importer's message",
     refused_like_native(example_bytes, lambda s: s.example_text().decode("latin-1").encode("utf-16"), "import")),
    ("a database loaded as the text: the importer's message",
     refused_like_native(example_bytes, example_bytes, "import")),
    ("a database whose records share one text: refused before the page's memory is used up",
     shared_texts_refused),
    ("Escape stops the merge and nothing is offered", stopped_merge_writes_nothing),
    ("a character the handheld's set lacks is refused", character_outside_the_set),
    ("a database of 300 records (a size whose merge once never ended), answered All", sized_database(300)),
    ("a carriage return inside a line survives the text area and one typed character",
     typed_after_loading(lambda t: t.replace(b"Door code\n", b"Door code\rwith a return\n"))),
    ("old Mac line ends survive the text area and one typed character",
     typed_after_loading(lambda t: t.replace(b"\n", b"\r"))),
    ("edits are kept unless the user lets them go", edits_kept_unless_discarded),
    ("a note names a file with letters past ASCII as they are", non_ascii_name_in_a_note),
    ("the file choosers take the keyboard's focus", keyboard_reaches_every_control),
    ("a double click or Enter as a dialog opens answers nothing; questions are counted",
     answers_need_a_moment_and_a_letter),
    ("at 390 px the records stack and a long changed line wraps into view", narrow_dialog_shows_each_change),
]
BIG_ROW = ("the benchmark's 65,535-record database: export and merge", big_database)


def main():
    parser = argparse.ArgumentParser()
    for option in ("--page", "--native", "--source"):
        parser.add_argument(option, required=True)
    parser.add_argument("--big", action="store_true")
    args = parser.parse_args()
    for option in ("page", "native", "source"):
        setattr(args, option, os.path.abspath(getattr(args, option)))
    page = Page(args.page)
    suite = Suite(args, page)
    passed = failed = 0
    try:
        for name, row in ROWS + ([BIG_ROW] if args.big else []):
            with tempfile.TemporaryDirectory(prefix="txweb-") as work:
                suite.dir = work
                try:
                    page.open()
                    row(suite)
                    passed += 1
                    print("ok - " + name, flush=True)
                except (AssertionError, subprocess.TimeoutExpired) as problem:
                    failed += 1
                    print("not ok - %s: %s" % (name, problem), flush=True)
    finally:
        page.close()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
