#!/usr/bin/env python3
"""Runs the change scan benchmarks and reports them.

Each measure runs in its own process (so that peak resident memory is its
own); the figures that are compared run one after another in the same
driver run, so that their ratios hold on a loaded machine. Prints one table,
writes the results as JSON and draws throughput and peak memory against N
with gnuplot.

    python3 bench/run.py --build build-bench            # full sizes, ~10 minutes
    python3 bench/run.py --build build-bench --quick    # small sizes, for development

At each size the client, the plain-SQLite ceiling of the store's first
layout (one table, a scan per share) and the plain-SQLite floor of its
present layout (a table per share) run in turn, three times; each figure is
the median of its three.

A program that fails, or prints anything but its one JSON line, stops the
driver with its message: no figure is ever taken from a broken run.
"""

import argparse
import datetime
import json
import os
import re
import shutil
import subprocess
import sys

FULL = {"scan_n": [100000, 1000000, 10000000], "repeats": 3, "wide_n": 1000000,
        "wide_shares": 20, "batch_n": 1000000, "batches": [256, 1024, 4096],
        "walk_files": 1000000, "callgrind_n": 100000}
QUICK = {"scan_n": [10000, 100000, 300000], "repeats": 3, "wide_n": 100000, "wide_shares": 20,
         "batch_n": 100000, "batches": [256, 1024, 4096], "walk_files": 100000,
         "callgrind_n": 10000}

# The targets hold at the full sizes; a quick run shows them for orientation.
TARGET_CHANGES_PER_S = {1000000: 1000000, 10000000: 1000000}
TARGET_CEILING_SHARE = 1.5  # client over the first layout's ceiling, at the sizes above
TARGET_WIDE_CEILING_SHARE = 3.0
TARGET_PEAK_RSS_MIB = 64
TARGET_RSS_GROWTH = 1.25
TARGET_SCALING = 1.5
TARGET_WALK_SPEEDUP = 20
TARGET_INSTRUCTIONS = 11000
TARGET_STORE_BYTES = 64


class BenchError(Exception):
    pass


def parse_result(program, stdout):
    """The one JSON object a benchmark program prints."""
    lines = [line for line in stdout.splitlines() if line.strip()]
    if len(lines) != 1:
        raise BenchError("%s printed %d lines instead of one JSON line" % (program, len(lines)))
    try:
        result = json.loads(lines[0])
    except ValueError as error:
        raise BenchError("%s printed no JSON: %s" % (program, error))
    if not isinstance(result, dict):
        raise BenchError("%s printed JSON that is not an object" % program)
    return result


def run_program(argv, log):
    log("  $ " + " ".join(argv))
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    if done.returncode != 0:
        raise BenchError("%s failed (exit %d): %s" % (os.path.basename(argv[0]), done.returncode,
                                                      done.stderr.strip()))
    return parse_result(os.path.basename(argv[0]), done.stdout)


def parse_callgrind_annotate(text, top=10):
    """Total instructions and the top functions by their own instructions."""
    total = None
    functions = []
    for line in text.splitlines():
        match = re.match(r"^\s*([\d,]+)\s+(?:\(\s*[\d.]+%\)\s+)?(.*)$", line)
        if not match:
            continue
        count = int(match.group(1).replace(",", ""))
        name = match.group(2).strip()
        if name.startswith("PROGRAM TOTALS"):
            total = count
        elif total is not None and len(functions) < top:
            functions.append({"instructions": count, "function": short_function_name(name)})
    if total is None:
        raise BenchError("callgrind_annotate printed no program total")
    return total, functions


def short_function_name(name):
    """"file:function [/path/lib.so]" as "function [lib.so]", argument lists shortened."""
    library = ""
    match = re.match(r"^(.*?)\s+\[([^\]]*)\]$", name)
    if match:
        name, library = match.group(1), os.path.basename(match.group(2))
    if ":" in name and not name.startswith("std::"):
        head, _, tail = name.partition(":")
        if "/" in head or head == "???":
            name = tail
    name = name.replace("std::__cxx11::basic_string<char, std::char_traits<char>, "
                        "std::allocator<char> >", "std::string")
    return name + (" [%s]" % library if library else "")


def ratio(numerator, denominator):
    return numerator / denominator if denominator else 0.0


def median_run(runs, key):
    """The run with the median figure (runs sorted by key; the middle one)."""
    ordered = sorted(runs, key=lambda r: r[key])
    return ordered[(len(ordered) - 1) // 2]


def build_results(machine, date, scans, wide, wide_ceilings, walk, batches, callgrind):
    """The results document; scans hold one entry per N with the client, the
    first layout's ceiling and the present layout's floor."""
    scan_rows = []
    for entry in scans:
        n = entry["client"]["n"]
        scan_rows.append({
            "n": n,
            "changes_per_s": entry["client"]["changes_per_s"],
            "ceiling_scan_rows_per_s": entry["scan"]["rows_per_s"],
            "floor_rows_per_s": entry["floor"]["rows_per_s"],
            "peak_rss_mib": entry["client"]["peak_rss_mib"],
            "seconds": entry["client"]["seconds"],
            "store_bytes_per_change": entry["client"]["store_mib"] * 1048576.0 / n,
            "ceiling_share": ratio(entry["client"]["changes_per_s"], entry["scan"]["rows_per_s"]),
            "floor_share": ratio(entry["client"]["changes_per_s"], entry["floor"]["rows_per_s"]),
        })
    first, last = scans[0]["client"], scans[-1]["client"]
    scaling = ratio(last["seconds"] / last["n"], first["seconds"] / first["n"])
    wide_ceiling = max(c["rows_per_s"] for c in wide_ceilings)
    return {
        "machine": machine,
        "date": date,
        "scan": scan_rows,
        "many_shares": {"shares": wide["shares"], "n": wide["n"],
                        "changes_per_s": wide["changes_per_s"],
                        "ceiling_rows_per_s": wide_ceiling,
                        "ceiling_share": ratio(wide["changes_per_s"], wide_ceiling),
                        "peak_rss_mib": wide["peak_rss_mib"]},
        "scaling_ratio": scaling,
        "store_bytes_per_change": scan_rows[-1]["store_bytes_per_change"],
        "walk": {"files": walk["files"], "changed": walk["changed"],
                 "client_s": walk["client_s"], "walk_s": walk["walk_s"],
                 "array_snapdiff_s": walk["array_snapdiff_s"],
                 "snapdiff_changes": walk["snapdiff_changes"],
                 "speedup": ratio(walk["walk_s"], walk["client_s"])},
        "batch": [{"size": b["batch"], "changes_per_s": b["changes_per_s"]} for b in batches],
        "instructions_per_change": callgrind["instructions_per_change"],
        "instructions_n": callgrind["n"],
        "instructions_top_functions": callgrind["top"],
    }


def verdict(met):
    return "met" if met else "MISSED"


def table_rows(results):
    """(figure, value, target) rows of the report table."""
    rows = []
    rss_first = results["scan"][0]["peak_rss_mib"]
    for row in results["scan"]:
        n = row["n"]
        target = TARGET_CHANGES_PER_S.get(n)
        rows.append(("(1) client changes/s, N=%s" % fmt_n(n), fmt_int(row["changes_per_s"]),
                     ">= %s: %s" % (fmt_int(target), verdict(row["changes_per_s"] >= target))
                     if target else ""))
        rows.append(("(2) first layout ceiling / present floor rows/s, N=%s" % fmt_n(n),
                     "%s / %s" % (fmt_int(row["ceiling_scan_rows_per_s"]),
                                  fmt_int(row["floor_rows_per_s"])), ""))
        rows.append(("(1)/(2) client over ceiling (over floor), N=%s" % fmt_n(n),
                     "%.2f (%.2f)" % (row["ceiling_share"], row["floor_share"]),
                     ">= %.1f: %s" % (TARGET_CEILING_SHARE,
                                      verdict(row["ceiling_share"] >= TARGET_CEILING_SHARE))
                     if target else ""))
        rows.append(("(4) peak RSS MiB, N=%s" % fmt_n(n), "%.1f" % row["peak_rss_mib"], ""))
    last = results["scan"][-1]
    rows.append(("(4) peak RSS at N=%s over N=%s" % (fmt_n(last["n"]), fmt_n(results["scan"][0]["n"])),
                 "%.2f" % ratio(last["peak_rss_mib"], rss_first),
                 "<= %d MiB and <= %.2f: %s" % (
                     TARGET_PEAK_RSS_MIB, TARGET_RSS_GROWTH,
                     verdict(last["peak_rss_mib"] <= TARGET_PEAK_RSS_MIB and
                             last["peak_rss_mib"] <= TARGET_RSS_GROWTH * rss_first))))
    wide = results["many_shares"]
    rows.append(("(3) %d shares, N=%s: client / ceiling" % (wide["shares"], fmt_n(wide["n"])),
                 "%s / %s" % (fmt_int(wide["changes_per_s"]), fmt_int(wide["ceiling_rows_per_s"])),
                 ""))
    rows.append(("(3) %d shares: client over ceiling" % wide["shares"], "%.2f" % wide["ceiling_share"],
                 ">= %.1f: %s" % (TARGET_WIDE_CEILING_SHARE,
                                  verdict(wide["ceiling_share"] >= TARGET_WIDE_CEILING_SHARE))))
    rows.append(("(5) time per change N=%s over N=%s" % (fmt_n(last["n"]), fmt_n(results["scan"][0]["n"])),
                 "%.2f" % results["scaling_ratio"],
                 "<= %.1f: %s" % (TARGET_SCALING, verdict(results["scaling_ratio"] <= TARGET_SCALING))))
    walk = results["walk"]
    rows.append(("(6) %s files, %s changed: client s / walk s" % (fmt_n(walk["files"]), fmt_int(walk["changed"])),
                 "%.3f / %.3f" % (walk["client_s"], walk["walk_s"]), ""))
    rows.append(("(6) walk time over client time", "%.1f" % walk["speedup"],
                 ">= %d: %s" % (TARGET_WALK_SPEEDUP, verdict(walk["speedup"] >= TARGET_WALK_SPEEDUP))))
    rows.append(("(6) local array SnapDiff s", "%.3f" % walk["array_snapdiff_s"], ""))
    for batch in results["batch"]:
        rows.append(("(7) batch %d changes/s" % batch["size"], fmt_int(batch["changes_per_s"]), ""))
    rows.append(("(8) instructions per change, N=%s" % fmt_n(results["instructions_n"]),
                 fmt_int(results["instructions_per_change"]),
                 "<= %s: %s" % (fmt_int(TARGET_INSTRUCTIONS),
                                verdict(results["instructions_per_change"] <= TARGET_INSTRUCTIONS))))
    rows.append(("(9) store bytes per change, N=%s" % fmt_n(last["n"]),
                 "%.1f" % results["store_bytes_per_change"],
                 "<= %d: %s" % (TARGET_STORE_BYTES,
                                verdict(results["store_bytes_per_change"] <= TARGET_STORE_BYTES))))
    return rows


def format_table(rows):
    widths = [max(len(r[i]) for r in rows + [("figure", "value", "target")]) for i in range(3)]
    line = "| %s | %s | %s |"
    out = [line % ("figure".ljust(widths[0]), "value".rjust(widths[1]), "target".ljust(widths[2])),
           "|%s|%s|%s|" % ("-" * (widths[0] + 2), "-" * (widths[1] + 2), "-" * (widths[2] + 2))]
    for figure, value, target in rows:
        out.append(line % (figure.ljust(widths[0]), value.rjust(widths[1]), target.ljust(widths[2])))
    return "\n".join(out)


def fmt_int(value):
    return "{:,}".format(int(round(value)))


def fmt_n(n):
    exponent = len(str(n)) - 1
    return "10^%d" % exponent if n == 10 ** exponent else fmt_int(n)


def plot_script(results, output):
    data = "\n".join("%d %f %f %f %f" % (r["n"], r["changes_per_s"], r["ceiling_scan_rows_per_s"],
                                         r["floor_rows_per_s"], r["peak_rss_mib"])
                     for r in results["scan"])
    return """set terminal pngcairo size 900,540 font "sans,10"
set output '%s'
$scan << EOD
%s
EOD
set title "Change scan: throughput and peak RSS against N (%s)"
set logscale x
set format x "10^{%%L}"
set xlabel "changes N"
set ylabel "changes (rows) per second"
set y2label "peak RSS of the client run, MiB"
set ytics nomirror
set y2tics
set yrange [0:*]
set y2range [0:*]
set key outside bottom center horizontal
set grid
plot $scan using 1:2 with linespoints lw 2 title "client (1)", \\
     $scan using 1:3 with linespoints dt 2 title "first layout ceiling: scan per share (2)", \\
     $scan using 1:4 with linespoints dt 3 title "present layout floor: table per share (2)", \\
     $scan using 1:5 axes x1y2 with linespoints lw 2 title "client peak RSS (4)"
""" % (output, data, results["date"][:10])


def machine_name():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as meminfo:
            kib = int(meminfo.readline().split()[1])
    except OSError:
        kib = 0
    return "%s, %d cores, %.0f GiB" % (model, os.cpu_count() or 0, kib / 1048576.0)


def run_callgrind(build, n, work, log):
    if not shutil.which("valgrind") or not shutil.which("callgrind_annotate"):
        raise BenchError("valgrind and callgrind_annotate are needed (scripts/install-deps)")
    out = os.path.join(work, "callgrind.out")
    argv = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
            "--toggle-collect=*RunClientScan*",
            os.path.join(build, "bench", "bench_scan"), "--n", str(n), "--work", work]
    run_program(argv, log)
    annotate = subprocess.run(["callgrind_annotate", out], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True)
    if annotate.returncode != 0:
        raise BenchError("callgrind_annotate failed: " + annotate.stderr.strip())
    os.unlink(out)
    total, top = parse_callgrind_annotate(annotate.stdout)
    return {"n": n, "instructions_per_change": total / n, "top": top}


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build-bench", help="build folder of the programs")
    parser.add_argument("--quick", action="store_true", help="small sizes, for development")
    parser.add_argument("--results", default=None,
                        help="folder of the results (default bench/results)")
    args = parser.parse_args(argv)

    sizes = QUICK if args.quick else FULL
    here = os.path.dirname(os.path.abspath(__file__))
    results_dir = args.results or os.path.join(here, "results")
    stem = "quick" if args.quick else "latest"
    build = os.path.abspath(args.build)
    work = os.path.join(build, "bench-work")
    cache = os.path.join(build, "bench-cache")
    os.makedirs(work, exist_ok=True)
    os.makedirs(results_dir, exist_ok=True)

    def log(text):
        print(text, file=sys.stderr, flush=True)

    def program(name, *options):
        return [os.path.join(build, "bench", name)] + [str(o) for o in options] + ["--work", work]

    try:
        scans = []
        for n in sizes["scan_n"]:
            log("(1)(2)(4) N=%d" % n)
            runs = {"client": [], "scan": [], "floor": []}
            for _ in range(sizes["repeats"]):
                runs["client"].append(run_program(program("bench_scan", "--n", n), log))
                for plan in ("scan", "floor"):
                    runs[plan].append(run_program(program("bench_ceiling", "--n", n, "--plan", plan), log))
            scans.append({"client": median_run(runs["client"], "changes_per_s"),
                          "scan": median_run(runs["scan"], "rows_per_s"),
                          "floor": median_run(runs["floor"], "rows_per_s")})
        log("(3) %d shares" % sizes["wide_shares"])
        wide_options = ("--n", sizes["wide_n"], "--shares", sizes["wide_shares"])
        wide = run_program(program("bench_scan", *wide_options), log)
        wide_ceilings = [run_program(program("bench_ceiling", *(wide_options + ("--plan", plan))), log)
                         for plan in ("index", "scan")]
        log("(7) batch sizes")
        batches = [run_program(program("bench_scan", "--n", sizes["batch_n"], "--batch", b), log)
                   for b in sizes["batches"]]
        log("(6) tree walk (the first run builds the volume under %s)" % cache)
        walk = run_program(program("bench_walk", "--files", sizes["walk_files"], "--cache", cache), log)
        log("(8) callgrind")
        callgrind = run_callgrind(build, sizes["callgrind_n"], work, log)
    except BenchError as error:
        log("bench: " + str(error))
        return 1

    results = build_results(machine_name(), datetime.datetime.now().isoformat(timespec="seconds"),
                            scans, wide, wide_ceilings, walk, batches, callgrind)
    print(format_table(table_rows(results)))
    print("machine: %s; sizes: %s" % (results["machine"], "quick" if args.quick else "full"))

    json_path = os.path.join(results_dir, stem + ".json")
    with open(json_path + ".tmp", "w") as out:
        json.dump(results, out, indent=1)
        out.write("\n")
    os.replace(json_path + ".tmp", json_path)
    plot_path = os.path.join(results_dir, stem + ".png")
    if not shutil.which("gnuplot"):
        log("bench: gnuplot is missing (scripts/install-deps); no plot drawn")
        return 1
    plotted = subprocess.run(["gnuplot"], input=plot_script(results, plot_path),
                             universal_newlines=True, stderr=subprocess.PIPE)
    if plotted.returncode != 0:
        log("bench: gnuplot failed: " + plotted.stderr.strip())
        return 1
    print("results: %s; plot: %s" % (json_path, plot_path))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
