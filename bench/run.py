#!/usr/bin/env python3
"""Runs the change scan benchmarks and reports them.

Each measure runs in its own process (so that peak resident memory is its
own); the figures that are compared run one after another in the same
driver run, so that their ratios hold on a loaded machine. Prints one table,
writes the results as JSON and draws throughput and peak memory against N
with gnuplot.

    python3 bench/run.py --build build-bench            # full sizes, ~15 minutes
    python3 bench/run.py --build build-bench --quick    # small sizes, for development
    python3 bench/run.py --build build-bench --huge     # 10^8 against 10^7, ~10 minutes, ~5 GB
    python3 bench/run.py --build build-bench --described-build DIR
        # and the client on a host store of only the described operations,
        # whose bench_scan is built in DIR (configured as build-bench, with
        # -DSNAPHOST_EXTENSIONS=OFF)
    python3 bench/run.py --build build-bench --volumes [--kinds btrfs] [--quick]
        # only the local array per kind of volume, written into the results
        # document beside the figures already there

The local array per kind of volume (14) needs root: each figure runs in a
file system of its kind (ext4, XFS, btrfs) made in a loop-mounted image of
its own, unmounted and removed after it; a kind this machine cannot make is
named with what it lacks, and skipped.

At each size the client, the plain-SQLite ceiling of the store's first
layout (one table, a scan per share) and the plain-SQLite floor of its
fourth layout (a table per share, one event a row) run in turn, three
times; each figure is the median of its three. The client at 3, 200, 1,000
and 10,000 shares runs in alternated rounds, and each count takes its
fastest round: what the store costs, less what other work on the machine
added. The fixed cost per share is the time a count takes beyond the
fewest shares' time, per share added.

Every figure carries the load average before and after its runs, and the
table names the CPU. A figure timed at a load above 1.5 shows its value but
judges no target ("loaded: ratios only"): other work on the machine, not the
client, may have made it. Instruction counts, store bytes and resident
memory do not depend on the load and are always judged.

Results go to <build>/bench-results; BENCH_UPDATE=1 writes them to
bench/results, the figures kept with the sources.

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
import tempfile

FULL = {"scan_n": [100000, 1000000, 10000000], "repeats": 3, "wide_n": 1000000,
        "wide_shares": 20, "share_counts": [3, 200, 1000, 10000], "shares_n": 1000000,
        "batch_n": 1000000, "batches": [256, 1024, 4096], "walk_files": 1000000,
        "callgrind": [(100000, 3), (1000000, 1000)], "snapshot_files": 200000,
        "volume_files": 100000, "job_files": [100000, 1000000], "job_changes": 1000,
        "sparse_gib": 20}
QUICK = {"scan_n": [10000, 100000, 300000], "repeats": 3, "wide_n": 100000, "wide_shares": 20,
         "share_counts": [3, 200, 1000, 10000], "shares_n": 100000,
         "batch_n": 100000, "batches": [256, 1024, 4096], "walk_files": 100000,
         "callgrind": [(10000, 3), (100000, 1000)], "snapshot_files": 20000,
         "volume_files": 10000, "job_files": [10000, 100000], "job_changes": 100,
         "sparse_gib": 1}
HUGE_N = [10000000, 100000000]

# The targets hold at the full sizes; a quick run shows them for orientation.
TARGET_CHANGES_PER_S = {1000000: 1000000, 10000000: 1000000}
TARGET_CEILING_SHARE = 1.5  # client over the first layout's ceiling, at the sizes above
TARGET_WIDE_CEILING_SHARE = 3.0
TARGET_PEAK_RSS_MIB = 64
TARGET_RSS_GROWTH = 1.25
TARGET_SCALING = 1.5
TARGET_WALK_SPEEDUP = 20
TARGET_INSTRUCTIONS = {3: 7000, 1000: 7500}  # by share count, client and bench together
TARGET_STORE_BYTES = 40
SLOWDOWN_SHARES = 1000  # the share count whose time per change is held to the fewest's
TARGET_SHARES_SLOWDOWN = 1.3  # time per change at SLOWDOWN_SHARES over the fewest shares
TARGET_HUGE_SCALING = 1.2  # time per change at 10^8 over 10^7
TARGET_HUGE_STORE_BYTES = 4 * 10 ** 9
LOAD_LIMIT = 1.5
# The local array per kind of volume (14): the file system each volume of
# the run is made on, in an image of its own.
VOLUME_KINDS = ("ext4", "xfs", "btrfs")
TARGET_BTRFS_SNAPSHOT_S = 0.5  # each creation and each deletion of a btrfs snapshot
TARGET_BTRFS_JOB_S = 2.0  # the incremental job over the most files, in all
TARGET_BTRFS_JOB_SCALING = 1.5  # that job over the same job over the fewest files
TARGET_SPARSE_S = 1.0
TARGET_SPARSE_BYTES = 1 << 20
# Files per second of an unchanged second snapshot of 10^5 files while every
# snapshot was a copy made file by file (main at 73e2b48, 2026-12-08, load
# 5.1-9.0): a copy may grow more faithful, never slower.
TODAY_SECOND_COPY_FILES_PER_S = {"ext4": 51772, "xfs": 21340}
LOADED = "loaded: ratios only"


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


def load_average():
    return os.getloadavg()[0]


def run_program(argv, log):
    """The program's JSON result, with the one-minute load average before and
    after it ran."""
    log("  $ " + " ".join(argv))
    before = load_average()
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True)
    after = load_average()
    if done.returncode != 0:
        raise BenchError("%s failed (exit %d): %s" % (os.path.basename(argv[0]), done.returncode,
                                                      done.stderr.strip()))
    result = parse_result(os.path.basename(argv[0]), done.stdout)
    result["load_before"], result["load_after"] = before, after
    return result


def load_of(runs):
    """The highest load averages before and after the runs of one figure."""
    return {"before": max(r.get("load_before", 0.0) for r in runs),
            "after": max(r.get("load_after", 0.0) for r in runs)}


def merge_loads(loads):
    return {"before": max(l["before"] for l in loads), "after": max(l["after"] for l in loads)}


def loaded(load):
    return max(load["before"], load["after"]) > LOAD_LIMIT


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


def best_run(runs):
    """The fastest of alternated rounds."""
    return min(runs, key=lambda r: r["seconds"])


def median_run(runs, key):
    """The run with the median figure (runs sorted by key; the middle one)."""
    ordered = sorted(runs, key=lambda r: r[key])
    return ordered[(len(ordered) - 1) // 2]


def build_results(machine, date, scans, wide, wide_ceilings, shares, walk, batches, callgrind,
                  snapshot):
    """The results document. scans hold one entry per N with the client, the
    first layout's ceiling, the fourth layout's floor and the load of their
    runs; shares the fastest client round per share count; callgrind one
    entry per size and share count; snapshot the local array's two
    snapshots of one volume."""
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
            "load": entry["load"],
        })
    first, last = scans[0]["client"], scans[-1]["client"]
    scaling = ratio(last["seconds"] / last["n"], first["seconds"] / first["n"])
    wide_ceiling = max(c["rows_per_s"] for c in wide_ceilings)
    fewest = shares[0]

    def fixed_us_per_share(r):
        added = r["shares"] - fewest["shares"]
        return (r["seconds"] - fewest["seconds"]) * 1e6 / added if added else 0.0
    return {
        "machine": machine,
        "date": date,
        "load_limit": LOAD_LIMIT,
        "scan": scan_rows,
        "many_shares": {"shares": wide["shares"], "n": wide["n"],
                        "changes_per_s": wide["changes_per_s"],
                        "ceiling_rows_per_s": wide_ceiling,
                        "ceiling_share": ratio(wide["changes_per_s"], wide_ceiling),
                        "peak_rss_mib": wide["peak_rss_mib"],
                        "load": load_of([wide] + list(wide_ceilings))},
        "share_counts": [{"shares": r["shares"], "n": r["n"], "changes_per_s": r["changes_per_s"],
                          "peak_rss_mib": r["peak_rss_mib"],
                          "slowdown": ratio(fewest["changes_per_s"], r["changes_per_s"]),
                          "fixed_us_per_share": fixed_us_per_share(r),
                          "load": r["load"]} for r in shares],
        "scaling_ratio": scaling,
        "scaling_load": merge_loads([scans[0]["load"], scans[-1]["load"]]),
        "store_bytes_per_change": scan_rows[-1]["store_bytes_per_change"],
        "walk": {"files": walk["files"], "changed": walk["changed"],
                 "client_s": walk["client_s"], "walk_s": walk["walk_s"],
                 "array_snapdiff_s": walk["array_snapdiff_s"],
                 "snapdiff_changes": walk["snapdiff_changes"],
                 "speedup": ratio(walk["walk_s"], walk["client_s"]),
                 "load": load_of([walk])},
        "batch": [{"size": b["batch"], "changes_per_s": b["changes_per_s"], "load": load_of([b])}
                  for b in batches],
        "instructions": callgrind,
        "snapshot": {"files": snapshot["files"], "changed": snapshot["changed"],
                     "first_files_per_s": snapshot["first_files_per_s"],
                     "second_files_per_s": snapshot["second_files_per_s"],
                     "first_bytes": snapshot["first_bytes"],
                     "second_bytes": snapshot["second_bytes"],
                     "load": load_of([snapshot])},
    }


def judged(met, load):
    """The verdict on a timed figure, or none when the machine was busy."""
    if loaded(load):
        return LOADED
    return "met" if met else "MISSED"


def fmt_load(load):
    return "%.2f/%.2f" % (load["before"], load["after"])


def table_rows(results):
    """(figure, value, target, load) rows of the report table; the load is
    empty for figures that do not depend on it."""
    rows = []
    rss_first = results["scan"][0]["peak_rss_mib"]
    for row in results["scan"]:
        n, load = row["n"], row["load"]
        target = TARGET_CHANGES_PER_S.get(n)
        rows.append(("(1) client changes/s, N=%s" % fmt_n(n), fmt_int(row["changes_per_s"]),
                     ">= %s: %s" % (fmt_int(target), judged(row["changes_per_s"] >= target, load))
                     if target else "", fmt_load(load)))
        rows.append(("(2) first layout ceiling / fourth layout floor rows/s, N=%s" % fmt_n(n),
                     "%s / %s" % (fmt_int(row["ceiling_scan_rows_per_s"]),
                                  fmt_int(row["floor_rows_per_s"])), "", fmt_load(load)))
        rows.append(("(1)/(2) client over ceiling (over floor), N=%s" % fmt_n(n),
                     "%.2f (%.2f)" % (row["ceiling_share"], row["floor_share"]),
                     ">= %.1f: %s" % (TARGET_CEILING_SHARE,
                                      judged(row["ceiling_share"] >= TARGET_CEILING_SHARE, load))
                     if target else "", fmt_load(load)))
        rows.append(("(4) peak RSS MiB, N=%s" % fmt_n(n), "%.1f" % row["peak_rss_mib"], "", ""))
    last = results["scan"][-1]
    rows.append(("(4) peak RSS at N=%s over N=%s" % (fmt_n(last["n"]), fmt_n(results["scan"][0]["n"])),
                 "%.2f" % ratio(last["peak_rss_mib"], rss_first),
                 "<= %d MiB and <= %.2f: %s" % (
                     TARGET_PEAK_RSS_MIB, TARGET_RSS_GROWTH,
                     verdict(last["peak_rss_mib"] <= TARGET_PEAK_RSS_MIB and
                             last["peak_rss_mib"] <= TARGET_RSS_GROWTH * rss_first)), ""))
    wide = results["many_shares"]
    rows.append(("(3) %d shares, N=%s: client / ceiling" % (wide["shares"], fmt_n(wide["n"])),
                 "%s / %s" % (fmt_int(wide["changes_per_s"]), fmt_int(wide["ceiling_rows_per_s"])),
                 "", fmt_load(wide["load"])))
    rows.append(("(3) %d shares: client over ceiling" % wide["shares"], "%.2f" % wide["ceiling_share"],
                 ">= %.1f: %s" % (TARGET_WIDE_CEILING_SHARE,
                                  judged(wide["ceiling_share"] >= TARGET_WIDE_CEILING_SHARE,
                                         wide["load"])), fmt_load(wide["load"])))
    counts = results["share_counts"]
    for row in counts:
        rows.append(("(10) client changes/s, %d shares, N=%s (fastest round)"
                     % (row["shares"], fmt_n(row["n"])),
                     fmt_int(row["changes_per_s"]), "", fmt_load(row["load"])))
    by_count = {row["shares"]: row for row in counts}
    judged_row = by_count.get(SLOWDOWN_SHARES, counts[-1])
    both = merge_loads([counts[0]["load"], judged_row["load"]])
    rows.append(("(10) time per change, %d shares over %d" % (judged_row["shares"],
                                                             counts[0]["shares"]),
                 "%.2f" % judged_row["slowdown"],
                 "<= %.1f: %s" % (TARGET_SHARES_SLOWDOWN,
                                  judged(judged_row["slowdown"] <= TARGET_SHARES_SLOWDOWN, both)),
                 fmt_load(both)))
    most = counts[-1]
    if most is not judged_row:
        both = merge_loads([counts[0]["load"], judged_row["load"], most["load"]])
        rows.append(("(10) fixed cost per share, us: %d shares / %d" % (most["shares"],
                                                                       judged_row["shares"]),
                     "%.2f / %.2f" % (most["fixed_us_per_share"], judged_row["fixed_us_per_share"]),
                     "not above %d's: %s" % (judged_row["shares"], judged(
                         most["fixed_us_per_share"] <= judged_row["fixed_us_per_share"], both)),
                     fmt_load(both)))
        rows.append(("(10) peak RSS MiB, %d shares" % most["shares"], "%.1f" % most["peak_rss_mib"],
                     "<= %d: %s" % (TARGET_PEAK_RSS_MIB,
                                    verdict(most["peak_rss_mib"] <= TARGET_PEAK_RSS_MIB)), ""))
    rows.append(("(5) time per change N=%s over N=%s" % (fmt_n(last["n"]), fmt_n(results["scan"][0]["n"])),
                 "%.2f" % results["scaling_ratio"],
                 "<= %.1f: %s" % (TARGET_SCALING, judged(results["scaling_ratio"] <= TARGET_SCALING,
                                                          results["scaling_load"])),
                 fmt_load(results["scaling_load"])))
    walk = results["walk"]
    rows.append(("(6) %s files, %s changed: client s / walk s" % (fmt_n(walk["files"]), fmt_int(walk["changed"])),
                 "%.3f / %.3f" % (walk["client_s"], walk["walk_s"]), "", fmt_load(walk["load"])))
    rows.append(("(6) walk time over client time", "%.1f" % walk["speedup"],
                 ">= %d: %s" % (TARGET_WALK_SPEEDUP, judged(walk["speedup"] >= TARGET_WALK_SPEEDUP,
                                                            walk["load"])), fmt_load(walk["load"])))
    rows.append(("(6) local array SnapDiff s", "%.3f" % walk["array_snapdiff_s"], "",
                 fmt_load(walk["load"])))
    for batch in results["batch"]:
        rows.append(("(7) batch %d changes/s" % batch["size"], fmt_int(batch["changes_per_s"]), "",
                     fmt_load(batch["load"])))
    for count in results["instructions"]:
        target = TARGET_INSTRUCTIONS.get(count["shares"])
        total = count["instructions_per_change"]
        rows.append(("(8) instructions per change, N=%s, %d shares: all / bench / client and store"
                     % (fmt_n(count["n"]), count["shares"]),
                     "%s / %s / %s" % (fmt_int(total), fmt_int(count["array_instructions_per_change"]),
                                       fmt_int(total - count["array_instructions_per_change"])),
                     "<= %s: %s" % (fmt_int(target), verdict(total <= target)) if target else "", ""))
    described = results.get("described_store")
    if described:
        rows.append(("(12) changes/s, host store of only the described operations (ours), N=%s"
                     % fmt_n(described["n"]), "%s (%s)" % (fmt_int(described["changes_per_s"]),
                                                           fmt_int(described["ours_changes_per_s"])),
                     "", fmt_load(described["load"])))
    snap = results["snapshot"]
    rows.append(("(13) local array: files/s of a first / second snapshot, %s files"
                 % fmt_n(snap["files"]), "%s / %s" % (fmt_int(snap["first_files_per_s"]),
                                                      fmt_int(snap["second_files_per_s"])),
                 "", fmt_load(snap["load"])))
    rows.append(("(13) local array: MB the first / second (%s changed) costs"
                 % fmt_int(snap["changed"]), "%.1f / %.1f" % (snap["first_bytes"] / 1e6,
                                                              snap["second_bytes"] / 1e6), "", ""))
    rows.append(("(9) store bytes per change, N=%s" % fmt_n(last["n"]),
                 "%.1f" % results["store_bytes_per_change"],
                 "<= %d: %s" % (TARGET_STORE_BYTES,
                                verdict(results["store_bytes_per_change"] <= TARGET_STORE_BYTES)), ""))
    if "volumes" in results:
        rows += volume_rows(results["volumes"])
    return rows


def verdict(met):
    return "met" if met else "MISSED"


def format_table(rows):
    header = ("figure", "value", "target", "load before/after")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(4)]
    align = [str.ljust, str.rjust, str.ljust, str.ljust]
    out = ["| %s |" % " | ".join(align[i](header[i], widths[i]) for i in range(4)),
           "|%s|" % "|".join("-" * (w + 2) for w in widths)]
    for row in rows:
        out.append("| %s |" % " | ".join(align[i](row[i], widths[i]) for i in range(4)))
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
     $scan using 1:4 with linespoints dt 3 title "fourth layout floor: table per share (2)", \\
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


PROGRAMS = ("bench_scan", "bench_ceiling", "bench_walk", "bench_snapshot", "bench_volumes")


def callgrind_count(build, work, toggle, options, log):
    """Instructions of bench_scan counted inside the functions matching
    toggle, and the top functions by their own instructions."""
    out = os.path.join(work, "callgrind.out")
    argv = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
            "--toggle-collect=" + toggle,
            os.path.join(build, "bench", "bench_scan")] + [str(o) for o in options] + ["--work", work]
    run_program(argv, log)
    annotate = subprocess.run(["callgrind_annotate", out], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, universal_newlines=True)
    if annotate.returncode != 0:
        raise BenchError("callgrind_annotate failed: " + annotate.stderr.strip())
    os.unlink(out)
    return parse_callgrind_annotate(annotate.stdout)


def run_callgrind(build, n, shares, work, log):
    """Instructions per change of the whole scan, and of the bench's own part
    of it: the scripted array making each batch from the workload and the
    batch's strings freed again, counted by draining the array alone."""
    if not shutil.which("valgrind") or not shutil.which("callgrind_annotate"):
        raise BenchError("valgrind and callgrind_annotate are needed (scripts/install-deps)")
    options = ["--n", n, "--shares", shares]
    total, top = callgrind_count(build, work, "*RunClientScan*", options, log)
    array, _ = callgrind_count(build, work, "*DrainArray*", options + ["--array-only"], log)
    return {"n": n, "shares": shares, "instructions_per_change": total / n,
            "array_instructions_per_change": array / n, "top": top}


def huge_rows(huge):
    """(figure, value, target, load) rows of the 10^8 run."""
    small, big = huge["runs"]
    load = merge_loads([small["load"], big["load"]])
    return [
        ("(11) time per change N=%s over N=%s" % (fmt_n(big["n"]), fmt_n(small["n"])),
         "%.2f" % huge["scaling_ratio"],
         "<= %.1f: %s" % (TARGET_HUGE_SCALING, judged(huge["scaling_ratio"] <= TARGET_HUGE_SCALING, load)),
         fmt_load(load)),
        ("(11) client changes/s, N=%s" % fmt_n(big["n"]), fmt_int(big["changes_per_s"]), "",
         fmt_load(big["load"])),
        ("(11) store GB, N=%s" % fmt_n(big["n"]), "%.2f" % (big["store_bytes"] / 1e9),
         "<= %d: %s" % (TARGET_HUGE_STORE_BYTES / 1e9,
                        verdict(big["store_bytes"] <= TARGET_HUGE_STORE_BYTES)), ""),
        ("(11) peak RSS MiB, N=%s" % fmt_n(big["n"]), "%.1f" % big["peak_rss_mib"],
         "<= %d: %s" % (TARGET_PEAK_RSS_MIB, verdict(big["peak_rss_mib"] <= TARGET_PEAK_RSS_MIB)), ""),
    ]


def build_huge(machine, date, runs):
    rows = [{"n": r["n"], "seconds": r["seconds"], "changes_per_s": r["changes_per_s"],
             "store_bytes": r["store_mib"] * 1048576.0, "peak_rss_mib": r["peak_rss_mib"],
             "load": load_of([r])} for r in runs]
    small, big = rows
    return {"machine": machine, "date": date, "load_limit": LOAD_LIMIT, "runs": rows,
            "scaling_ratio": ratio(big["seconds"] / big["n"], small["seconds"] / small["n"])}


def write_json(path, document):
    with open(path + ".tmp", "w") as out:
        json.dump(document, out, indent=1)
        out.write("\n")
    os.replace(path + ".tmp", path)


def measure_described_store(sizes, program, described_program, log):
    """The client's throughput on a host store of only the operations the
    agent's host is known to offer (built in another folder), alternated
    with the same run on ours."""
    runs = {"ours": [], "described": []}
    options = ("--n", sizes["shares_n"])
    for _ in range(sizes["repeats"]):
        runs["ours"].append(run_program(program("bench_scan", *options), log))
        runs["described"].append(run_program(described_program("bench_scan", *options), log))
    return {"n": sizes["shares_n"],
            "changes_per_s": median_run(runs["described"], "changes_per_s")["changes_per_s"],
            "ours_changes_per_s": median_run(runs["ours"], "changes_per_s")["changes_per_s"],
            "load": load_of(runs["ours"] + runs["described"])}


def measure(sizes, program, build, work, cache, log):
    """Runs every figure of `make bench`; returns the results document."""
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
                      "floor": median_run(runs["floor"], "rows_per_s"),
                      "load": load_of(runs["client"] + runs["scan"] + runs["floor"])})
    log("(3) %d shares" % sizes["wide_shares"])
    wide_options = ("--n", sizes["wide_n"], "--shares", sizes["wide_shares"])
    wide = run_program(program("bench_scan", *wide_options), log)
    wide_ceilings = [run_program(program("bench_ceiling", *(wide_options + ("--plan", plan))), log)
                     for plan in ("index", "scan")]
    log("(10) %s shares" % ", ".join(str(c) for c in sizes["share_counts"]))
    share_runs = {count: [] for count in sizes["share_counts"]}
    for _ in range(sizes["repeats"]):
        for count in sizes["share_counts"]:
            share_runs[count].append(
                run_program(program("bench_scan", "--n", sizes["shares_n"], "--shares", count), log))
    shares = [dict(best_run(share_runs[count]), load=load_of(share_runs[count]))
              for count in sizes["share_counts"]]
    log("(7) batch sizes")
    batches = [run_program(program("bench_scan", "--n", sizes["batch_n"], "--batch", b), log)
               for b in sizes["batches"]]
    log("(6) tree walk (the first run builds the volume under %s)" % cache)
    walk = run_program(program("bench_walk", "--files", sizes["walk_files"], "--cache", cache), log)
    log("(8) callgrind")
    callgrind = [run_callgrind(build, n, count, work, log) for n, count in sizes["callgrind"]]
    log("(13) local array snapshots of %d files" % sizes["snapshot_files"])
    snapshot = run_program(program("bench_snapshot", "--files", sizes["snapshot_files"]), log)
    results = build_results(machine_name(), datetime.datetime.now().isoformat(timespec="seconds"),
                            scans, wide, wide_ceilings, shares, walk, batches, callgrind, snapshot)
    results["volumes"] = measure_volumes(sizes, build, work, VOLUME_KINDS, log)
    return results


class LoopVolume:
    """A file system of one kind made in an image file in a folder of its own
    below work and loop-mounted there; unmounted (lazily when still busy) and
    removed with its folder on leaving, whatever happened inside. Entered,
    it gives the mounted folder, or None with missing naming what this
    machine lacks for it."""

    def __init__(self, kind, work, size_gib, inodes):
        self.kind, self.work, self.size_gib, self.inodes = kind, work, size_gib, inodes
        self.folder = self.mount_point = None
        self.mounted = False
        self.missing = None

    def __enter__(self):
        if os.geteuid() != 0:
            self.missing = "root (running as uid %d)" % os.geteuid()
            return None
        mkfs = shutil.which("mkfs." + self.kind, path="/usr/sbin:/sbin:/usr/bin:/bin")
        if not mkfs:
            self.missing = "mkfs.%s (scripts/install-deps installs it)" % self.kind
            return None
        self.folder = tempfile.mkdtemp(prefix="volume-%s-" % self.kind, dir=self.work)
        image, self.mount_point = os.path.join(self.folder, "image"), os.path.join(self.folder, "mnt")
        with open(image, "w") as out:
            out.truncate(self.size_gib << 30)
        options = {"ext4": ["-F", "-N", str(self.inodes)], "xfs": ["-f"], "btrfs": ["-f"]}
        error = self.run([mkfs, "-q"] + options.get(self.kind, []) + [image])
        if error is not None:
            self.missing = "a working %s: %s" % (mkfs, error)
            return None
        os.mkdir(self.mount_point)
        error = self.run(["mount", "-o", "loop", image, self.mount_point])
        if error is not None:
            self.missing = "a kernel that allows loop mounts of %s: %s" % (self.kind, error)
            return None
        self.mounted = True
        return self.mount_point

    def __exit__(self, *exception):
        if self.mounted and self.run(["umount", self.mount_point]) is not None:
            self.run(["umount", "-l", self.mount_point])
        if self.folder:
            shutil.rmtree(self.folder, ignore_errors=True)
        return False

    @staticmethod
    def run(argv):
        """None when the command succeeds, else what it said."""
        try:
            done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  universal_newlines=True)
        except OSError as error:
            return str(error)
        return None if done.returncode == 0 else (done.stdout.strip() or "exit %d" % done.returncode)


def volume_image(measure, sizes):
    """(GiB, inodes) of the image a measure runs in: room for the live files
    and two copies of them (a copy's files take a block each on ext4), and
    for the sparse file written in full by a copy that keeps no holes."""
    files = {"snapshots": sizes["volume_files"], "sparse": 0, "incremental": max(sizes["job_files"])}
    files = files[measure]
    gib = max(4, (files * 3 * 4096 >> 30) + 4)
    if measure == "sparse":
        gib = sizes["sparse_gib"] + 4
    return gib, 3 * files + 65536


def measure_volumes(sizes, build, work, kinds, log):
    """Runs bench_volumes on each kind of volume, every measure in a fresh
    image; a kind this machine cannot make is named with what it lacks."""
    measures = [("snapshots", ["--files", sizes["volume_files"]])]
    measures.append(("sparse", ["--gib", sizes["sparse_gib"]]))
    measures += [("incremental", ["--files", n, "--changes", sizes["job_changes"]])
                 for n in sizes["job_files"]]
    entries = []
    for kind in kinds:
        log("(14) local array on %s" % kind)
        entry = {"kind": kind, "missing": None, "incremental": []}
        for measure, options in measures:
            gib, inodes = volume_image(measure, sizes)
            image = LoopVolume(kind, work, gib, inodes)
            with image as folder:
                if folder is None:
                    break
                argv = [os.path.join(build, "bench", "bench_volumes"), "--measure", measure]
                result = run_program(argv + [str(o) for o in options] + ["--work", folder], log)
            if result["file_system"] != kind:
                raise BenchError("bench_volumes ran on %s, not on the %s image"
                                 % (result["file_system"], kind))
            if measure == "incremental":
                entry["incremental"].append(result)
            else:
                entry[measure] = result
        if image.missing:
            log("(14) %s skipped: it needs %s" % (kind, image.missing))
            entry = {"kind": kind, "missing": image.missing}
        entries.append(entry)
    return build_volumes(machine_name(), datetime.datetime.now().isoformat(timespec="seconds"),
                         sizes, entries)


# Instructions and CPU seconds of a job's SnapDiff, which another program's
# load moves less than the wall clock (instructions not at all).
INSTRUCTION_KEYS = ("snapdiff_user_instructions", "snapdiff_kernel_instructions",
                    "snapdiff_user_cpu_s", "snapdiff_system_cpu_s")


def build_volumes(machine, date, sizes, entries):
    """The results section of the local array per kind of volume."""
    def figures(run, keys):
        return dict({k: run[k] for k in keys + ["snapshot_kind"]}, load=load_of([run]))
    kinds = []
    for entry in entries:
        if entry["missing"]:
            kinds.append({"kind": entry["kind"], "missing": entry["missing"]})
            continue
        kinds.append({
            "kind": entry["kind"], "missing": None,
            "snapshots": figures(entry["snapshots"], ["files", "first_s", "second_s",
                                                      "second_files_per_s"]),
            "sparse": figures(entry["sparse"], ["gib", "seconds", "allocated_bytes"]),
            "incremental": [dict(figures(r, ["files", "changes", "creation_s", "snapdiff_s",
                                             "deletion_s", "total_s", "snapdiff_records"]),
                                 **{k: r[k] for k in INSTRUCTION_KEYS if k in r})
                            for r in entry["incremental"]],
        })
    return {"machine": machine, "date": date, "load_limit": LOAD_LIMIT,
            "files": sizes["volume_files"], "job_files": sizes["job_files"],
            "job_changes": sizes["job_changes"], "sparse_gib": sizes["sparse_gib"], "kinds": kinds}


def merge_volumes(kept, measured):
    """The measured section, with the kinds it did not run kept from before."""
    ran = {k["kind"] for k in measured["kinds"]}
    kinds = {k["kind"]: k for k in (kept or {}).get("kinds", []) if k["kind"] not in ran}
    kinds.update({k["kind"]: k for k in measured["kinds"]})
    return dict(measured, kinds=[kinds[k] for k in VOLUME_KINDS if k in kinds])


def volume_rows(volumes):
    """(figure, value, target, load) rows of the local array per kind."""
    rows = []
    for entry in volumes["kinds"]:
        kind = entry["kind"]
        if entry["missing"]:
            rows.append(("(14) %s volume" % kind, "skipped", "needs " + entry["missing"], ""))
            continue
        snap, sparse, jobs = entry["snapshots"], entry["sparse"], entry["incremental"]
        label = "%s %s" % (kind, "snapshots" if snap["snapshot_kind"] == "btrfs" else "copies")
        on_btrfs = kind == "btrfs"
        if on_btrfs:
            target = "each <= %.1f s: %s" % (TARGET_BTRFS_SNAPSHOT_S, judged(
                max(snap["first_s"], snap["second_s"]) <= TARGET_BTRFS_SNAPSHOT_S, snap["load"]))
        else:
            today = TODAY_SECOND_COPY_FILES_PER_S[kind]
            target = "second >= today's %s files/s: %s" % (
                fmt_int(today), judged(snap["second_files_per_s"] >= today, snap["load"]))
        rows.append(("(14) %s: first / unchanged second snapshot s, %s files"
                     % (label, fmt_n(snap["files"])),
                     "%.2f / %.2f" % (snap["first_s"], snap["second_s"]), target,
                     fmt_load(snap["load"])))
        bytes_met = sparse["allocated_bytes"] <= TARGET_SPARSE_BYTES
        rows.append(("(14) %s: snapshot of a %d GiB sparse file: s / MiB allocated"
                     % (label, sparse["gib"]),
                     "%.2f / %.2f" % (sparse["seconds"], sparse["allocated_bytes"] / 1048576.0),
                     "<= %.0f s and <= %d MiB: %s" % (
                         TARGET_SPARSE_S, TARGET_SPARSE_BYTES >> 20,
                         judged(sparse["seconds"] <= TARGET_SPARSE_S, sparse["load"])
                         if bytes_met else verdict(False)), fmt_load(sparse["load"])))
        for job in jobs:
            met = max(job["creation_s"], job["deletion_s"]) <= TARGET_BTRFS_SNAPSHOT_S
            rows.append(("(14) %s: job of %s changes over %s files: creation / SnapDiff / "
                         "deletion s" % (label, fmt_int(job["changes"]), fmt_n(job["files"])),
                         "%.2f / %.3f / %.2f" % (job["creation_s"], job["snapdiff_s"],
                                                 job["deletion_s"]),
                         "each snapshot call <= %.1f s: %s" % (TARGET_BTRFS_SNAPSHOT_S,
                                                               judged(met, job["load"]))
                         if on_btrfs else "", fmt_load(job["load"])))
        if on_btrfs and len(jobs) > 1:
            fewest, most = jobs[0], jobs[-1]
            scaling = ratio(most["total_s"], fewest["total_s"])
            load = merge_loads([fewest["load"], most["load"]])
            rows.append(("(14) %s: the job over %s files in all, s (over the job over %s)"
                         % (label, fmt_n(most["files"]), fmt_n(fewest["files"])),
                         "%.2f (%.2f)" % (most["total_s"], scaling),
                         "<= %.0f s and <= %.1f: %s" % (
                             TARGET_BTRFS_JOB_S, TARGET_BTRFS_JOB_SCALING,
                             judged(most["total_s"] <= TARGET_BTRFS_JOB_S and
                                    scaling <= TARGET_BTRFS_JOB_SCALING, load)), fmt_load(load)))
    return rows


def print_table(rows, machine, sizes):
    print(format_table(rows))
    print("machine: %s; sizes: %s; load average limit %.1f" % (machine, sizes, LOAD_LIMIT))
    if any(LOADED in row[2] for row in rows):
        print("%s: the machine was busy while some figures were timed; their targets are "
              "not judged, their ratios stand" % LOADED)


def results_folder(given, build, environment):
    """Where the results go: the tracked bench/results only when asked."""
    if given:
        return given
    if environment.get("BENCH_UPDATE") == "1":
        return os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
    return os.path.join(build, "bench-results")


def update_volumes(sizes, build, work, kinds, results_dir, stem, log):
    """Runs the local array per kind of volume alone and writes it into the
    results document, whose other figures stay as they were."""
    kinds = [k for k in kinds.split(",") if k]
    unknown = [k for k in kinds if k not in VOLUME_KINDS]
    if unknown or not kinds:
        raise BenchError("--kinds takes %s, not %s" % (",".join(VOLUME_KINDS), ",".join(unknown)))
    json_path = os.path.join(results_dir, stem + ".json")
    document = {}
    if os.path.exists(json_path):
        try:
            with open(json_path) as kept:
                document = json.load(kept)
        except ValueError as error:
            raise BenchError("%s is not a results document (%s): move it away" % (json_path, error))
    volumes = measure_volumes(sizes, build, work, kinds, log)
    document["volumes"] = merge_volumes(document.get("volumes"), volumes)
    print_table(volume_rows(document["volumes"]), volumes["machine"],
                "quick" if stem == "quick" else "full")
    write_json(json_path, document)
    print("results: %s" % json_path)
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build-bench", help="build folder of the programs")
    parser.add_argument("--quick", action="store_true", help="small sizes, for development")
    parser.add_argument("--huge", action="store_true",
                        help="only N=10^8 against 10^7 (needs ~5 GB in the build folder)")
    parser.add_argument("--volumes", action="store_true",
                        help="only the local array per kind of volume (run as root: it makes "
                             "loop-mounted images), written into the results beside the other "
                             "figures kept there")
    parser.add_argument("--kinds", default=",".join(VOLUME_KINDS),
                        help="the kinds of volume of --volumes, e.g. btrfs (default %(default)s)")
    parser.add_argument("--described-build", default=None,
                        help="build folder of a bench_scan whose host store has only the "
                             "operations the agent's host is known to offer: its throughput "
                             "is reported beside ours")
    parser.add_argument("--results", default=None,
                        help="folder of the results (default <build>/bench-results, or "
                             "bench/results with BENCH_UPDATE=1)")
    args = parser.parse_args(argv)

    def log(text):
        print(text, file=sys.stderr, flush=True)

    sizes = QUICK if args.quick else FULL
    build = os.path.abspath(args.build)
    needed = ("bench_volumes",) if args.volumes else PROGRAMS
    missing = [p for p in needed if not os.access(os.path.join(build, "bench", p), os.X_OK)]
    if missing:
        log("bench: %s holds no %s: run `make bench` first (it builds them in Release and "
            "runs this driver), or build them with\n"
            "  cmake -S . -B %s -DCMAKE_BUILD_TYPE=Release -DSNAPCLIENT_TESTS=OFF "
            "-DSNAPCLIENT_BENCH=ON && cmake --build %s --target bench_programs"
            % (os.path.join(args.build, "bench"), ", ".join(missing), args.build, args.build))
        return 2
    results_dir = results_folder(args.results, build, os.environ)
    work = os.path.join(build, "bench-work")
    cache = os.path.join(build, "bench-cache")
    os.makedirs(work, exist_ok=True)
    os.makedirs(results_dir, exist_ok=True)

    def program(name, *options):
        return [os.path.join(build, "bench", name)] + [str(o) for o in options] + ["--work", work]

    try:
        if args.huge:
            log("(11) N=%s" % ", ".join(fmt_n(n) for n in HUGE_N))
            runs = [run_program(program("bench_scan", "--n", n), log) for n in HUGE_N]
            huge = build_huge(machine_name(), datetime.datetime.now().isoformat(timespec="seconds"),
                              runs)
            print_table(huge_rows(huge), huge["machine"], "huge")
            json_path = os.path.join(results_dir, "huge.json")
            write_json(json_path, huge)
            print("results: %s" % json_path)
            return 0
        if args.volumes:
            return update_volumes(sizes, build, work, args.kinds, results_dir,
                                  "quick" if args.quick else "latest", log)
        results = measure(sizes, program, build, work, cache, log)
        if args.described_build:
            log("(12) host store of only the described operations")
            described = os.path.abspath(args.described_build)
            results["described_store"] = measure_described_store(
                sizes, program,
                lambda name, *options: [os.path.join(described, "bench", name)] +
                [str(o) for o in options] + ["--work", work], log)
    except BenchError as error:
        log("bench: " + str(error))
        return 1

    stem = "quick" if args.quick else "latest"
    print_table(table_rows(results), results["machine"], "quick" if args.quick else "full")
    json_path = os.path.join(results_dir, stem + ".json")
    write_json(json_path, results)
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
