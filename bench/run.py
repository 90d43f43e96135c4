#!/usr/bin/env python3
"""Benchmark of TxExport and TxImport as whole processes, against cp of the
same database file and against a copy flushed to the disk (cp, then sync of
the copy: the import flushes its output, cp does not), measured side by side
in every round.

    python3 bench/run.py [--build DIR] [--rounds N] [--smoke] [--web PAGE-DIR]

With --web (the page's folder, as tools/run-web-tests unpacks or
build-web/web), the web page's merge of the same workload in headless
Chromium is measured against TxImport, round by round (needs Selenium).

Each round runs the pairs one after the other (cp, TxExport; cp and sync,
TxImport; ...), after two rounds that warm the caches and count for
nothing, each run after an untimed sync.  Reports the median and the spread
(lowest, highest) of the per-round ratios of wall time, and for each
program its processor time (user + system, from wait4) and its peak
resident memory, medians over the rounds and round by round.  Every timed run's output is checked against what the generator
expects, so a fast wrong program fails.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import generate  # noqa: E402

BOUNDS = {"export": 1.2, "import": None, "flushed": 1.5, "growth": 5.0, "memory": 3.0, "web": 2.0}
TOOLS = ("cp", "sync", "sh")
WARM_UPS = 2

# Runs one program from a small process of its own, which times it from
# fork to wait4 and prints its wall time, its processor time (user +
# system, its waited-for children included) and its peak resident memory:
# a process's peak counts the pages of whatever ran before its exec, so it
# must not be started from the large benchmark process.  The small
# process's own pages (about 10 MiB) are counted where they are more, so the
# peak is an upper bound for small runs.
HELPER = """
import os, sys, time
stdin = os.open(sys.argv[1], os.O_RDONLY) if sys.argv[1] != "-" else os.open(os.devnull, os.O_RDONLY)
err = os.open(sys.argv[2], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
start = time.perf_counter()
pid = os.fork()
if pid == 0:
    os.dup2(stdin, 0)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    os.dup2(err, 2)
    # Where this process started with a standard stream closed, a file
    # opened above took its number, and dup2 onto itself keeps it closed on
    # exec.
    for fd in (0, 1, 2):
        os.set_inheritable(fd, True)
    os.execv(sys.argv[3], sys.argv[3:])
_, status, usage = os.wait4(pid, 0)
wall = time.perf_counter() - start
print(status, wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024)
"""


class Run:
    def __init__(self, wall, cpu, peak):
        self.wall, self.cpu, self.peak = wall, cpu, peak


def timed(argv, stdin_file=None):
    """One run of `argv` (standard input from `stdin_file`, else nothing):
    its wall time and processor time in seconds, its peak memory in bytes.
    No write of an earlier run is still on its way to the disk when it
    starts (an untimed sync first): otherwise the run that follows one that
    left its file to the system's write-back (cp) shares the machine with
    that write and pays for it."""
    os.sync()
    with tempfile.NamedTemporaryFile(prefix="txbench-err-") as err:
        out = subprocess.run([sys.executable, "-c", HELPER, stdin_file or "-", err.name] + argv,
                             stdout=subprocess.PIPE, check=True).stdout.split()
        status = int(out[0])
        if status != 0:
            raise SystemExit("%s failed (%d): %s" % (argv[0], status, open(err.name, "rb").read().decode(errors="replace")))
    return Run(float(out[1]), float(out[2]), int(out[3]))


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

    with tempfile.TemporaryDirectory(prefix="txbench-", dir=os.path.dirname(os.path.abspath(__file__))) as work:
        out_txt = os.path.join(work, "out.txt")
        out_db = os.path.join(work, "out.pdb")
        copy = os.path.join(work, "copy.pdb")
        # The one question is answered All.
        answers = os.path.join(work, "answers")
        with open(answers, "w") as f:
            f.write("A\n")
        if args.smoke:
            for share in (0.0, 0.5):
                data = prepare(work, 1000, share)
                timed([export, data["db"], out_txt])
                check_export(data, out_txt)
                timed([importer, data["db"], data["edits"], out_db], answers)
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
            timed([importer, data["db"], data["edits"], out_db], answers)
            check_import(data, out_db)

        ratios = {"export": [], "import": [], "flushed": [], "growth": [], "web": []}
        runs = {"cp": [], "export": [], "cp+sync": [], "import": []}
        flushed_copy = ["/bin/sh", "-c", 'cp "$1" "$2" && sync "$2"', "sh", big["db"], copy]
        cp_argv = [shutil.which("cp"), big["db"], copy]
        for round_number in range(WARM_UPS + args.rounds):
            cp = timed(cp_argv)
            t_export = timed([export, big["db"], out_txt])
            check_export(big, out_txt)
            cp2 = timed(cp_argv)
            synced = timed(flushed_copy)
            t_import = timed([importer, big["db"], big["edits"], out_db], answers)
            check_import(big, out_db)
            t_mid = timed([importer, mid["db"], mid["edits"], out_db], answers)
            check_import(mid, out_db)
            if round_number < WARM_UPS:
                continue
            ratios["export"].append(t_export.wall / cp.wall)
            ratios["import"].append(t_import.wall / cp2.wall)
            ratios["flushed"].append(t_import.wall / synced.wall)
            ratios["growth"].append(t_import.wall / t_mid.wall)
            for key, run in (("cp", cp), ("export", t_export), ("cp+sync", synced), ("import", t_import)):
                runs[key].append(run)
        if args.web:
            # Each round: the page's merge, then the program's, side by side.
            page = web_page(args.web, big)
            try:
                for round_number in range(WARM_UPS + args.rounds):
                    t_web = web_merge(page, big)
                    t_native = timed([importer, big["db"], big["edits"], out_db], answers)
                    if round_number >= WARM_UPS:
                        ratios["web"].append(t_web / t_native.wall)
            finally:
                page.close()
        inputs = os.path.getsize(big["db"]) + os.path.getsize(big["edits"])
        rows = [
            ("export", "TxExport, 65,535 records, against cp of the database"),
            ("import", "TxImport, 65,535 records + 32,767-record text (answered All), against cp"),
            ("flushed", "TxImport, the same, against cp and sync of the copy"),
            ("growth", "TxImport time at 65,535 records / at 16,384 (4 is linear)"),
        ]
        if args.web:
            rows.append(("web", "the page's merge in headless Chromium, the same workload, against TxImport"))
        print("database %d bytes, text %d bytes, %d rounds after %d warm-ups" % (
            os.path.getsize(big["db"]), os.path.getsize(big["edits"]), args.rounds, WARM_UPS))
        print("| measure | median | lowest | highest | bound |")
        print("|---|---|---|---|---|")
        failed = False
        for key, label in rows:
            values = ratios[key]
            median = statistics.median(values)
            bound = BOUNDS[key]
            print("| %s | %.2f | %.2f | %.2f | %s |" % (label, median, min(values), max(values),
                                                      "%.1f" % bound if bound else "-"))
            failed |= bound is not None and median > bound
        peak = statistics.median(run.peak for run in runs["import"])
        memory = peak / inputs
        print("| TxImport peak memory / (database + text) at 65,535 | %.2f | %.2f | %.2f | %.1f |" % (
            memory, min(r.peak for r in runs["import"]) / inputs, max(r.peak for r in runs["import"]) / inputs,
            BOUNDS["memory"]))
        failed |= memory > BOUNDS["memory"]
        print()
        print("| program, per round (medians) | wall ms | processor ms (user + system) | peak memory MiB |")
        print("|---|---|---|---|")
        for key in ("cp", "export", "cp+sync", "import"):
            values = runs[key]
            print("| %s | %.1f | %.1f | %.1f |" % (
                {"export": "TxExport", "import": "TxImport"}.get(key, key),
                1000 * statistics.median(r.wall for r in values), 1000 * statistics.median(r.cpu for r in values),
                statistics.median(r.peak for r in values) / 1048576))
        print()
        print("| round | cp | TxExport | cp+sync | TxImport | TxImport peak MiB |")
        print("|---|---|---|---|---|---|")
        print("| (wall / processor ms) | | | | | |")
        for number in range(len(runs["cp"])):
            cells = ["%.1f / %.1f" % (1000 * runs[key][number].wall, 1000 * runs[key][number].cpu)
                     for key in ("cp", "export", "cp+sync", "import")]
            print("| %d | %s | %.1f |" % (number + 1, " | ".join(cells), runs["import"][number].peak / 1048576))
        if failed:
            raise SystemExit("a median is outside its bound")

if __name__ == "__main__":
    main()
