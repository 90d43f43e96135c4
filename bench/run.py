#!/usr/bin/env python3
"""Benchmark of TxExport and TxImport as whole processes, against cp of the
same database file and against a copy flushed to the disk (cp, then sync of
the copy: the import flushes its output, cp does not), measured side by side
in every round.

    python3 bench/run.py [--build DIR] [--rounds N] [--smoke] [--web PAGE-DIR]

With --web (the page's folder, as tools/run-web-tests unpacks or
build-web/web), the web page's merge of the same workload in headless
Chromium is measured against TxImport, round by round (needs Selenium).

Reports the median and the spread (lowest, highest) of the per-round ratios.
Every timed run's output is checked against what the generator expects, so
a fast wrong program fails.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import generate  # noqa: E402

BOUNDS = {"export": 5.0, "import": None, "flushed": 10.0, "growth": 5.0, "memory": 3.0, "web": 3.0}
TOOLS = ("cp", "sync", "yes", "sh")

# Starts the program from a small process of its own and prints its peak
# resident memory: a process's peak counts the pages of whatever ran before
# its exec, so this one must not be started from the large benchmark process.
PEAK_HELPER = """
import os, sys
stdin = os.open(sys.argv[1], os.O_RDONLY) if sys.argv[1] != "-" else None
pid = os.fork()
if pid == 0:
    if stdin is not None:
        os.dup2(stdin, 0)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.execv(sys.argv[2], sys.argv[2:])
_, status, usage = os.wait4(pid, 0)
print(usage.ru_maxrss * 1024 if status == 0 else -1)
"""


def timed(argv, stdin_command=None):
    """Seconds of wall time of one run, and its rusage peak memory in bytes.
    (That peak counts the pages of this Python process that the child
    inherited before exec; peak_memory() measures the program alone.)"""
    feeder = subprocess.Popen(stdin_command, stdout=subprocess.PIPE) if stdin_command else None
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdin=feeder.stdout if feeder else subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if feeder:
        feeder.stdout.close()
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    err = child.stderr.read()
    child.stderr.close()
    if feeder:
        feeder.kill()
        feeder.wait()
    if status != 0:
        raise SystemExit("%s failed (%d): %s" % (argv[0], status, err.decode(errors="replace")))
    return elapsed, usage.ru_maxrss * 1024


def peak_memory(argv, answers_file):
    """Peak resident memory of the program alone, in bytes.  The small
    Python process that starts it is counted too where it is larger (about
    10 MiB), so this is an upper bound for small runs."""
    out = subprocess.run([sys.executable, "-c", PEAK_HELPER, answers_file] + argv, stdout=subprocess.PIPE,
                         check=True).stdout
    peak = int(out.split()[-1])
    if peak < 0:
        raise SystemExit("%s failed while its memory was measured" % argv[0])
    return peak


def prepare(work, size, new_share=0.0):
    records = generate.make_records(size, seed=size)
    db = os.path.join(work, "db%d.pdb" % size)
    with open(db, "wb") as f:
        f.write(generate.database_bytes(records))
    text, merged = generate.merge_text(records, seed=size, new_share=new_share)
    suffix = "new" if new_share else "mix"
    edits = os.path.join(work, "edits%d-%s.txt" % (size, suffix))
    with open(edits, "wb") as f:
        f.write(text)
    return {"records": records, "db": db, "edits": edits, "merged": [r.key() for r in merged]}


def check_export(data, path):
    with open(path, "rb") as f:
        if f.read() != generate.exported_text(data["records"]):
            raise SystemExit("TxExport wrote the wrong text for " + data["db"])


def check_import(data, path):
    with open(path, "rb") as f:
        if generate.parse_database(f.read()) != data["merged"]:
            raise SystemExit("TxImport wrote the wrong records for " + data["edits"])


def web_page(page_dir, data):
    """The page in headless Chromium with the workload's database and text
    chosen."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
    from web_page import Page
    page = Page(page_dir)
    page.open()
    page.choose_database(data["db"])
    page.load_text(data["edits"])
    return page


def web_merge(page, data):
    """Seconds the page's core took to merge (the database and the text
    handed to it, the merge, the database written), the one question
    answered All; the page's database is checked."""
    asked = page.merge(["a"])
    if page.outcome() != "done" or len(asked) != 1:
        raise SystemExit("the page's merge ended %s: %s" % (page.outcome(), page.failure()))
    seconds = page.core_ms() / 1000
    database = page.download("download-database", os.path.basename(data["db"]))
    if generate.parse_database(database) != data["merged"]:
        raise SystemExit("the page wrote the wrong records for " + data["edits"])
    return seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--smoke", action="store_true", help="1,000 records, one round, correctness only")
    parser.add_argument("--web", metavar="PAGE-DIR", help="also measure the web page's merge")
    args = parser.parse_args()
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        raise SystemExit("bench/run.py needs these programs on the PATH: " + ", ".join(missing))
    export = os.path.abspath(os.path.join(args.build, "TxExport"))
    importer = os.path.abspath(os.path.join(args.build, "TxImport"))
    for program in (export, importer):
        if not os.access(program, os.X_OK):
            raise SystemExit("%s is not built: run cmake --preset default && cmake --build --preset default" % program)
    yes_a = ["yes", "A"]

    with tempfile.TemporaryDirectory(prefix="txbench-", dir=os.path.dirname(os.path.abspath(__file__))) as work:
        out_txt = os.path.join(work, "out.txt")
        out_db = os.path.join(work, "out.pdb")
        copy = os.path.join(work, "copy.pdb")
        if args.smoke:
            for share in (0.0, 0.5):
                data = prepare(work, 1000, share)
                timed([export, data["db"], out_txt])
                check_export(data, out_txt)
                timed([importer, data["db"], data["edits"], out_db], yes_a)
                check_import(data, out_db)
                if args.web:
                    page = web_page(args.web, data)
                    try:
                        web_merge(page, data)
                    finally:
                        page.close()
            print("benchmark smoke run: 1000 records exported and merged correctly" +
                  (", by the programs and by the page" if args.web else ""))
            return

        big = prepare(work, 65535)
        mid = prepare(work, 16384)
        # The mix with new records, checked for correctness at its sizes.
        for size in (1000, 16384, 32768):
            data = prepare(work, size, 0.5)
            timed([importer, data["db"], data["edits"], out_db], yes_a)
            check_import(data, out_db)

        ratios = {"export": [], "import": [], "flushed": [], "growth": [], "web": []}
        answers = os.path.join(work, "answers")
        with open(answers, "w") as f:
            f.write("A\n")
        peak = peak_memory([importer, big["db"], big["edits"], out_db], answers)
        check_import(big, out_db)
        flushed_copy = ["sh", "-c", 'cp "$1" "$2" && sync "$2"', "sh", big["db"], copy]
        for _ in range(args.rounds):
            cp, _ = timed(["cp", big["db"], copy])
            t_export, _ = timed([export, big["db"], out_txt])
            check_export(big, out_txt)
            cp2, _ = timed(["cp", big["db"], copy])
            synced, _ = timed(flushed_copy)
            t_import, _ = timed([importer, big["db"], big["edits"], out_db], yes_a)
            check_import(big, out_db)
            t_mid, _ = timed([importer, mid["db"], mid["edits"], out_db], yes_a)
            check_import(mid, out_db)
            ratios["export"].append(t_export / cp)
            ratios["import"].append(t_import / cp2)
            ratios["flushed"].append(t_import / synced)
            ratios["growth"].append(t_import / t_mid)
        if args.web:
            # Each round: the page's merge, then the program's, side by side.
            page = web_page(args.web, big)
            try:
                for _ in range(args.rounds):
                    t_web = web_merge(page, big)
                    t_native, _ = timed([importer, big["db"], big["edits"], out_db], yes_a)
                    ratios["web"].append(t_web / t_native)
            finally:
                page.close()
        inputs = os.path.getsize(big["db"]) + os.path.getsize(big["edits"])
        rows = [
            ("export", "TxExport, 65,535 records, against cp of the database"),
            ("import", "TxImport, 65,535 records + 32,767-record text (yes A), against cp"),
            ("flushed", "TxImport, the same, against cp and sync of the copy"),
            ("growth", "TxImport time at 65,535 records / at 16,384 (4 is linear)"),
        ]
        if args.web:
            rows.append(("web", "the page's merge in headless Chromium, the same workload, against TxImport"))
        print("database %d bytes, text %d bytes, %d rounds" % (os.path.getsize(big["db"]),
                                                              os.path.getsize(big["edits"]), args.rounds))
        print("| measure | median | lowest | highest | bound |")
        print("|---|---|---|---|---|")
        failed = False
        for key, label in rows:
            values = ratios[key]
            median = statistics.median(values)
            bound = BOUNDS[key]
            print("| %s | %.2f | %.2f | %.2f | %s |" % (label, median, min(values), max(values),
                                                      "%.0f" % bound if bound else "-"))
            failed |= bound is not None and median > bound
        memory = peak / inputs
        print("| TxImport peak memory / (database + text) at 65,535 | %.2f | | | %.0f |" % (memory, BOUNDS["memory"]))
        failed |= memory > BOUNDS["memory"]
        print("peak resident memory of TxImport: %.1f MiB" % (peak / 1048576))
        if failed:
            raise SystemExit("a median is outside its bound")


if __name__ == "__main__":
    main()
