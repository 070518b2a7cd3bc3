"""Tests of the bench driver: what it accepts from the programs, how it
reads callgrind's report, and that every figure and target reaches the
results and the table. Run by `make bench` before the driver."""

import contextlib
import io
import os
import stat
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402


QUIET = {"load_before": 0.4, "load_after": 0.6}


def client(n, per_s, rss, shares=3, batch=0, store_mib=None, load=QUIET):
    return dict({"n": n, "shares": shares, "batch": batch, "changes_per_s": per_s,
                 "seconds": n / per_s, "peak_rss_mib": rss,
                 "store_mib": n * 38.0 / 1048576.0 if store_mib is None else store_mib}, **load)


def ceiling(n, per_s):
    return dict({"n": n, "rows_per_s": per_s}, **QUIET)


def sample_results(client_1e7=1050000.0, rss_1e7=24.0, walk_s=2.0, store_mib_1e7=None,
                   instructions=6345.6, per_s_1000_shares=900000.0, load_1e7=QUIET,
                   per_s_10000_shares=500000.0):
    scans = []
    for n, per_s, rss, store, load in [(10 ** 5, 1200000.0, 20.0, None, QUIET),
                                       (10 ** 6, 1100000.0, 22.0, None, QUIET),
                                       (10 ** 7, client_1e7, rss_1e7, store_mib_1e7, load_1e7)]:
        runs = [client(n, per_s, rss, store_mib=store, load=load), ceiling(n, 650000.0),
                ceiling(n, 1700000.0)]
        scans.append({"client": runs[0], "scan": runs[1], "floor": runs[2], "load": run.load_of(runs)})
    scans[0]["scan"]["rows_per_s"] = 700000.0
    scans[0]["floor"]["rows_per_s"] = 1800000.0
    wide = client(10 ** 6, 1000000.0, 25.0, shares=20)
    shares = [dict(client(10 ** 6, per_s, 25.0, shares=count), load=run.load_of([QUIET]))
              for count, per_s in [(3, 1000000.0), (200, 950000.0), (1000, per_s_1000_shares),
                                   (10000, per_s_10000_shares)]]
    walk = dict({"files": 10 ** 6, "changed": 10000, "client_s": 0.05, "walk_s": walk_s,
                 "array_snapdiff_s": 0.4, "snapdiff_changes": 10600}, **QUIET)
    batches = [client(10 ** 6, 600000.0 + b, 22.0, batch=b) for b in (256, 1024, 4096)]
    callgrind = [{"n": n, "shares": count, "instructions_per_change": instructions + extra,
                  "array_instructions_per_change": 1850.0, "top": [{"instructions": 1, "function": "f"}]}
                 for n, count, extra in [(10 ** 5, 3, 0), (10 ** 6, 1000, 400)]]
    snapshot = dict({"files": 200000, "changed": 2000, "first_files_per_s": 40000.0,
                     "second_files_per_s": 250000.0, "first_bytes": 850000000,
                     "second_bytes": 9500000}, **QUIET)
    return run.build_results("cpu, 2 cores, 23 GiB", "2024-01-01T00:00:00", scans, wide,
                             [ceiling(10 ** 6, 150000.0), ceiling(10 ** 6, 300000.0)], shares, walk,
                             batches, callgrind, snapshot)


class ProgramOutput(unittest.TestCase):
    def test_only_one_json_object_is_accepted(self):
        self.assertEqual({"n": 1}, run.parse_result("p", '\n{"n": 1}\n'))
        for garbage in ["", "not json", '{"n": 1}\n{"n": 2}', "[1, 2]", '{"n": 1', "Segmentation fault"]:
            with self.subTest(garbage=garbage):
                with self.assertRaises(run.BenchError):
                    run.parse_result("p", garbage)

    def test_a_failing_program_stops_the_run_with_its_message(self):
        with tempfile.TemporaryDirectory() as folder:
            script = os.path.join(folder, "broken")
            with open(script, "w") as out:
                out.write("#!/bin/sh\necho '{\"n\": 5}'\necho 'store lost a write' >&2\nexit 1\n")
            os.chmod(script, stat.S_IRWXU)
            with self.assertRaises(run.BenchError) as raised:
                run.run_program([script], lambda text: None)
            self.assertIn("store lost a write", str(raised.exception))
            self.assertIn("exit 1", str(raised.exception))
            with open(script, "w") as out:
                out.write("#!/bin/sh\necho '{\"n\": 5}'\n")
            result = run.run_program([script], lambda text: None)
            self.assertEqual({"n", "load_before", "load_after"}, set(result))

    def test_without_the_programs_the_driver_says_what_to_run_first(self):
        with tempfile.TemporaryDirectory() as folder:
            logged = io.StringIO()
            with contextlib.redirect_stderr(logged):
                self.assertEqual(2, run.main(["--build", folder]))
            self.assertIn("make bench", logged.getvalue())
            self.assertEqual([], os.listdir(folder))


class CallgrindReport(unittest.TestCase):
    ANNOTATE = """--------------------------------------------------------------------------------
Profile data file 'x' (creator: callgrind-3.19.0)
Events recorded:  Ir
--------------------------------------------------------------------------------
Ir
--------------------------------------------------------------------------------
1,571,685,902 (100.0%)  PROGRAM TOTALS

--------------------------------------------------------------------------------
Ir                    file:function
--------------------------------------------------------------------------------
385,663,091 (24.54%)  ???:sqlite3VdbeExec [/usr/lib/x86_64-linux-gnu/libsqlite3.so.0.8.6]
 86,208,152 ( 5.49%)  ./string/../memmove-vec-unaligned-erms.S:__memcpy_avx_unaligned_erms [/usr/lib/libc.so.6]
 79,841,531 ( 5.08%)  ???:std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >::_M_replace(unsigned long) [/usr/lib/libstdc++.so.6]
"""

    def test_total_and_top_functions_are_read_in_order(self):
        total, top = run.parse_callgrind_annotate(self.ANNOTATE, top=2)
        self.assertEqual(1571685902, total)
        self.assertEqual([385663091, 86208152], [f["instructions"] for f in top])
        self.assertEqual("sqlite3VdbeExec [libsqlite3.so.0.8.6]", top[0]["function"])
        self.assertEqual("__memcpy_avx_unaligned_erms [libc.so.6]", top[1]["function"])
        _, all_three = run.parse_callgrind_annotate(self.ANNOTATE)
        self.assertEqual("std::string::_M_replace(unsigned long) [libstdc++.so.6]",
                         all_three[2]["function"])

    def test_a_report_without_a_total_is_refused(self):
        with self.assertRaises(run.BenchError):
            run.parse_callgrind_annotate("Ir\n 12 (1.0%) ???:f [lib]\n")


class Results(unittest.TestCase):
    def test_document_has_every_field_of_the_schema(self):
        results = sample_results()
        for key in ["machine", "date", "scan", "many_shares", "share_counts", "scaling_ratio", "walk",
                    "batch", "instructions", "store_bytes_per_change", "load_limit", "snapshot"]:
            self.assertIn(key, results)
        for key in ["n", "changes_per_s", "ceiling_scan_rows_per_s", "floor_rows_per_s",
                    "peak_rss_mib", "seconds", "store_bytes_per_change", "load"]:
            self.assertIn(key, results["scan"][0])
        self.assertEqual({"before": 0.4, "after": 0.6}, results["scan"][0]["load"])
        self.assertEqual([3, 200, 1000, 10000], [r["shares"] for r in results["share_counts"]])
        self.assertEqual([256, 1024, 4096], [b["size"] for b in results["batch"]])

    def test_ratios_use_the_right_ceiling_and_time_per_change(self):
        results = sample_results()
        self.assertAlmostEqual(1200000.0 / 700000.0, results["scan"][0]["ceiling_share"])
        self.assertAlmostEqual(1200000.0 / 1800000.0, results["scan"][0]["floor_share"])
        self.assertAlmostEqual(1000000.0 / 300000.0, results["many_shares"]["ceiling_share"])
        # Time per change at 10^7 over 10^5: (1/1050000) / (1/1200000).
        self.assertAlmostEqual(1200000.0 / 1050000.0, results["scaling_ratio"])
        self.assertAlmostEqual(1000000.0 / 900000.0, results["share_counts"][2]["slowdown"])
        # (1/900000 - 1/1000000) s per change over 10^6 changes, per share past 3.
        self.assertAlmostEqual((10 ** 6 / 900000.0 - 1.0) * 1e6 / 997,
                               results["share_counts"][2]["fixed_us_per_share"])
        self.assertEqual({"seconds": 1}, run.best_run([{"seconds": 3}, {"seconds": 1}]))
        self.assertAlmostEqual(40.0, results["walk"]["speedup"])
        self.assertAlmostEqual(38.0, results["store_bytes_per_change"])
        self.assertEqual({"x": 2}, run.median_run([{"x": 3}, {"x": 1}, {"x": 2}], "x"))

    def test_table_shows_every_figure_and_each_missed_target(self):
        busy = {"load_before": 0.9, "load_after": 3.5}
        cases = [
            ({}, 0, 0),
            ({"client_1e7": 400000.0}, 3, 0),   # 10^7 throughput, its ceiling share, scaling
            ({"rss_1e7": 70.0}, 1, 0),          # above 64 MiB and above 1.25 times 10^5
            ({"walk_s": 0.5}, 1, 0),            # only 10 times faster than the walk
            ({"store_mib_1e7": 500.0}, 1, 0),   # 52 bytes per change
            ({"instructions": 7345.6}, 2, 0),   # 3 shares over 7,000, 1,000 over 7,500
            ({"per_s_1000_shares": 700000.0}, 1, 0),
            ({"per_s_10000_shares": 90000.0}, 1, 0),  # more per share than at 1,000
            # Timed at a load above the limit: neither met nor missed, whatever the figure.
            ({"client_1e7": 400000.0, "load_1e7": busy}, 0, 3),
        ]
        for change, missed, unjudged in cases:
            with self.subTest(change=change):
                table = run.format_table(run.table_rows(sample_results(**change)))
                self.assertEqual(missed, table.count("MISSED"), table)
                self.assertEqual(unjudged, table.count(run.LOADED), table)
                for figure in ["(1)", "(2)", "(3)", "(4)", "(5)", "(6)", "(7)", "(8)", "(9)", "(10)"]:
                    self.assertIn(figure, table)
        table = run.format_table(run.table_rows(sample_results()))
        self.assertIn("40,000 / 250,000", table)
        self.assertIn("850.0 / 9.5", table)
        self.assertIn("0.90/3.50", run.format_table(run.table_rows(sample_results(load_1e7=busy))))
        results = sample_results()
        results["described_store"] = {"n": 10 ** 6, "changes_per_s": 400000.0,
                                      "ours_changes_per_s": 900000.0, "load": run.load_of([QUIET])}
        self.assertIn("400,000 (900,000)", run.format_table(run.table_rows(results)))

    def test_huge_run_compares_time_per_change_store_and_memory(self):
        runs = [client(10 ** 7, 1000000.0, 20.0), client(10 ** 8, 900000.0, 70.0, store_mib=5000.0)]
        huge = run.build_huge("cpu", "2024-01-01T00:00:00", runs)
        self.assertAlmostEqual(1000000.0 / 900000.0, huge["scaling_ratio"])
        table = run.format_table(run.huge_rows(huge))
        self.assertEqual(2, table.count("MISSED"), table)  # 5.24 GB, 70 MiB

    def test_results_stay_outside_the_sources_unless_asked(self):
        tracked = os.path.join(os.path.dirname(os.path.abspath(run.__file__)), "results")
        for given, environment, folder in [(None, {}, "/b/bench-results"),
                                           (None, {"BENCH_UPDATE": "0"}, "/b/bench-results"),
                                           (None, {"BENCH_UPDATE": "1"}, tracked),
                                           ("/r", {"BENCH_UPDATE": "1"}, "/r")]:
            self.assertEqual(folder, run.results_folder(given, "/b", environment))

    def test_plot_script_carries_every_size(self):
        script = run.plot_script(sample_results(), "/tmp/x.png")
        for n in (100000, 1000000, 10000000):
            self.assertIn("\n%d " % n, script)
        self.assertIn("axes x1y2", script)


def volume_entry(kind, snapshot_kind="copy", second_s=0.4, sparse_s=0.2, sparse_bytes=65536,
                 creation_s=(0.2, 0.2), deletion_s=(0.2, 0.2), snapdiff_s=(0.05, 0.25), load=QUIET):
    """What bench_volumes gives for one kind: snapshots of 10^5 files, a
    20 GiB sparse file and the job over 10^5 and 10^6 files."""
    common = dict({"file_system": kind, "snapshot_kind": snapshot_kind}, **load)
    jobs = [dict({"files": n, "changes": 1000, "creation_s": c, "snapdiff_s": s,
                  "deletion_s": d, "total_s": c + s + d, "snapdiff_records": 1100}, **common)
            for n, c, s, d in zip((10 ** 5, 10 ** 6), creation_s, snapdiff_s, deletion_s)]
    return {"kind": kind, "missing": None,
            "snapshots": dict({"files": 10 ** 5, "first_s": 0.3, "second_s": second_s,
                               "second_files_per_s": 10 ** 5 / second_s}, **common),
            "sparse": dict({"gib": 20, "seconds": sparse_s, "allocated_bytes": sparse_bytes},
                           **common),
            "incremental": jobs}


def sample_volumes(ext4={}, btrfs={}):
    entries = [volume_entry("ext4", **ext4),
               {"kind": "xfs", "missing": "root (running as uid 1000)"},
               volume_entry("btrfs", **dict({"snapshot_kind": "btrfs"}, **btrfs))]
    return run.build_volumes("cpu", "2024-01-01T00:00:00", run.FULL, entries)


class Volumes(unittest.TestCase):
    def test_table_judges_each_kind_by_its_own_targets(self):
        busy = {"load_before": 0.9, "load_after": 3.5}
        slow_copy = 10 ** 5 / run.TODAY_SECOND_COPY_FILES_PER_S["ext4"] * 1.2
        cases = [
            ({}, {}, 0, 0),
            ({"second_s": slow_copy}, {}, 1, 0),          # slower than today's copy
            ({"sparse_bytes": 20 << 30}, {}, 1, 0),       # holes written out
            ({"sparse_bytes": 20 << 30, "load": busy}, {}, 1, 1),  # bytes judged at any load
            ({}, {"sparse_s": 35.0}, 1, 0),               # holes read for the digest
            ({}, {"second_s": 0.7}, 1, 0),                # a btrfs creation over 0.5 s
            ({}, {"deletion_s": (0.2, 0.6)}, 2, 0),       # and the job's total grows 2.3 times
            ({}, {"snapdiff_s": (0.05, 1.8)}, 1, 0),      # 2.2 s in all
            ({}, {"snapdiff_s": (0.05, 0.7)}, 1, 0),      # 1.1 s, but 2.4 times the 10^5 job
            # A copy on btrfs misses what a btrfs snapshot would meet.
            ({}, {"snapshot_kind": "copy", "second_s": 9.6, "creation_s": (1.8, 18.0)}, 4, 0),
            ({}, {"deletion_s": (0.2, 0.6), "load": busy}, 0, 5),
        ]
        for ext4, btrfs, missed, unjudged in cases:
            with self.subTest(ext4=ext4, btrfs=btrfs):
                table = run.format_table(run.volume_rows(sample_volumes(ext4, btrfs)))
                self.assertEqual(missed, table.count("MISSED"), table)
                self.assertEqual(unjudged, table.count(run.LOADED), table)
        table = run.format_table(run.volume_rows(sample_volumes()))
        self.assertIn("needs root (running as uid 1000)", table)
        self.assertIn("btrfs snapshots: job of 1,000 changes over 10^6 files", table)
        self.assertIn("ext4 copies: snapshot of a 20 GiB sparse file", table)
        self.assertIn("0.65 (1.44)", table)  # the 10^6 job in all, over the 10^5 job
        results = sample_results()
        results["volumes"] = sample_volumes()
        self.assertIn("(14) btrfs snapshots", run.format_table(run.table_rows(results)))

    def test_a_run_of_some_kinds_keeps_the_others(self):
        kept = sample_volumes()
        measured = run.build_volumes("cpu", "2025-01-01T00:00:00", run.FULL,
                                     [volume_entry("btrfs", second_s=0.05)])
        merged = run.merge_volumes(kept, measured)
        self.assertEqual(["ext4", "xfs", "btrfs"], [k["kind"] for k in merged["kinds"]])
        self.assertEqual(0.05, merged["kinds"][2]["snapshots"]["second_s"])
        self.assertEqual(kept["kinds"][:2], merged["kinds"][:2])
        self.assertEqual("2025-01-01T00:00:00", merged["date"])
        self.assertEqual(measured["kinds"], run.merge_volumes(None, measured)["kinds"])

    def test_a_volumes_run_refuses_what_it_cannot_use(self):
        with tempfile.TemporaryDirectory() as folder:
            log = lambda text: None
            with self.assertRaises(run.BenchError):
                run.update_volumes(run.QUICK, folder, folder, "btrfs,zfs", folder, "quick", log)
            with open(os.path.join(folder, "quick.json"), "w") as out:
                out.write('{"scan": [')
            with self.assertRaises(run.BenchError) as raised:
                run.update_volumes(run.QUICK, folder, folder, "ext4", folder, "quick", log)
            self.assertIn("quick.json", str(raised.exception))


if __name__ == "__main__":
    unittest.main()
