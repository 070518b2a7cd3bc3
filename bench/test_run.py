"""Tests of the bench driver: what it accepts from the programs, how it
reads callgrind's report, and that every figure and target reaches the
results and the table. Run by `make bench` before the driver."""

import os
import stat
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402


def client(n, per_s, rss, shares=3, batch=0, store_mib=None):
    return {"n": n, "shares": shares, "batch": batch, "changes_per_s": per_s,
            "seconds": n / per_s, "peak_rss_mib": rss,
            "store_mib": n * 60.0 / 1048576.0 if store_mib is None else store_mib}


def ceiling(n, per_s):
    return {"n": n, "rows_per_s": per_s}


def sample_results(client_1e7=1050000.0, rss_1e7=24.0, walk_s=2.0, store_mib_1e7=None,
                   instructions=10345.6):
    scans = [{"client": client(10 ** 5, 1200000.0, 20.0), "scan": ceiling(10 ** 5, 700000.0),
              "floor": ceiling(10 ** 5, 1800000.0)},
             {"client": client(10 ** 6, 1100000.0, 22.0), "scan": ceiling(10 ** 6, 650000.0),
              "floor": ceiling(10 ** 6, 1700000.0)},
             {"client": client(10 ** 7, client_1e7, rss_1e7, store_mib=store_mib_1e7),
              "scan": ceiling(10 ** 7, 600000.0), "floor": ceiling(10 ** 7, 1600000.0)}]
    wide = client(10 ** 6, 1000000.0, 25.0, shares=20)
    walk = {"files": 10 ** 6, "changed": 10000, "client_s": 0.05, "walk_s": walk_s,
            "array_snapdiff_s": 0.4, "snapdiff_changes": 10600}
    batches = [client(10 ** 6, 600000.0 + b, 22.0, batch=b) for b in (256, 1024, 4096)]
    callgrind = {"n": 10 ** 5, "instructions_per_change": instructions,
                 "top": [{"instructions": 1, "function": "f"}]}
    return run.build_results("cpu, 2 cores, 23 GiB", "2024-01-01T00:00:00", scans, wide,
                             [ceiling(10 ** 6, 150000.0), ceiling(10 ** 6, 300000.0)], walk,
                             batches, callgrind)


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
        for key in ["machine", "date", "scan", "many_shares", "scaling_ratio", "walk", "batch",
                    "instructions_per_change", "store_bytes_per_change"]:
            self.assertIn(key, results)
        for key in ["n", "changes_per_s", "ceiling_scan_rows_per_s", "floor_rows_per_s",
                    "peak_rss_mib", "seconds", "store_bytes_per_change"]:
            self.assertIn(key, results["scan"][0])
        self.assertEqual({"shares", "n", "changes_per_s", "ceiling_rows_per_s"},
                         {"shares", "n", "changes_per_s", "ceiling_rows_per_s"} & set(results["many_shares"]))
        self.assertEqual({"files", "changed", "client_s", "walk_s", "array_snapdiff_s"},
                         {"files", "changed", "client_s", "walk_s", "array_snapdiff_s"} & set(results["walk"]))
        self.assertEqual([256, 1024, 4096], [b["size"] for b in results["batch"]])

    def test_ratios_use_the_right_ceiling_and_time_per_change(self):
        results = sample_results()
        self.assertAlmostEqual(1200000.0 / 700000.0, results["scan"][0]["ceiling_share"])
        self.assertAlmostEqual(1200000.0 / 1800000.0, results["scan"][0]["floor_share"])
        self.assertAlmostEqual(1000000.0 / 300000.0, results["many_shares"]["ceiling_share"])
        # Time per change at 10^7 over 10^5: (1/1050000) / (1/1200000).
        self.assertAlmostEqual(1200000.0 / 1050000.0, results["scaling_ratio"])
        self.assertAlmostEqual(40.0, results["walk"]["speedup"])
        self.assertAlmostEqual(60.0, results["store_bytes_per_change"])
        self.assertEqual({"x": 2}, run.median_run([{"x": 3}, {"x": 1}, {"x": 2}], "x"))

    def test_table_shows_every_figure_and_each_missed_target(self):
        cases = [
            ({}, 0),
            ({"client_1e7": 400000.0}, 3),   # 10^7 throughput, its ceiling share, scaling
            ({"rss_1e7": 70.0}, 1),          # above 64 MiB and above 1.25 times 10^5
            ({"walk_s": 0.5}, 1),            # only 10 times faster than the walk
            ({"store_mib_1e7": 700.0}, 1),   # 73 bytes per change
            ({"instructions": 12345.6}, 1),
        ]
        for change, missed in cases:
            with self.subTest(change=change):
                table = run.format_table(run.table_rows(sample_results(**change)))
                self.assertEqual(missed, table.count("MISSED"), table)
                for figure in ["(1)", "(2)", "(3)", "(4)", "(5)", "(6)", "(7)", "(8)", "(9)"]:
                    self.assertIn(figure, table)

    def test_plot_script_carries_every_size(self):
        script = run.plot_script(sample_results(), "/tmp/x.png")
        for n in (100000, 1000000, 10000000):
            self.assertIn("\n%d " % n, script)
        self.assertIn("axes x1y2", script)


if __name__ == "__main__":
    unittest.main()
