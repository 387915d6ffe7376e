#!/usr/bin/env python3
"""Tests of report.py on small hand-made Google Benchmark outputs."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402

N = 1_000_000


def fresh(name, wall_ms, child_cpu_ms, **counters):
    """One repetition of a fresh-process benchmark, as browse_benchmark writes it."""
    entry = {"name": f"{name}/N:{N}/iterations:1/manual_time",
             "run_name": f"{name}/N:{N}/iterations:1/manual_time", "run_type": "iteration",
             "real_time": wall_ms, "cpu_time": 0.05, "time_unit": "ms",
             "child_cpu_ns": child_cpu_ms * 1e6, "items": N}
    entry.update(counters)
    return entry


def in_process(name, real_us, cpu_us):
    return {"name": f"{name}/N:{N}/real_time", "run_name": f"{name}/N:{N}/real_time",
            "run_type": "iteration", "real_time": real_us, "cpu_time": cpu_us,
            "time_unit": "us", "items": N}


class ReportTest(unittest.TestCase):
    def write(self, entries, context=None):
        handle, path = tempfile.mkstemp(suffix=".json")
        with os.fdopen(handle, "w") as stream:
            json.dump({"context": context or {"browse_sizes": str(N), "cpu_model": "Test CPU"},
                       "benchmarks": entries}, stream)
        self.addCleanup(os.unlink, path)
        return path

    def checks_of(self, entries, clock="cpu"):
        _, medians, errors, _ = report.load([self.write(entries)], clock)
        figures, _ = report.collect(medians)
        rows, notes, _ = report.checks(figures)
        return {row[0].split(".")[0]: row for row in rows}, notes, errors, figures

    def test_fresh_benchmarks_count_the_child_cpu_time_and_real_time_on_request(self):
        entries = [fresh("browse/ours/name_number/asc", 900, 300),
                   fresh("browse/sqlite/name_number/asc", 1300, 1500)]
        rows, _, _, _ = self.checks_of(entries)
        self.assertIn("= 5.00×", rows["2"][2])
        self.assertEqual(rows["2"][3], "met")
        rows, _, _, _ = self.checks_of(entries, clock="real")
        self.assertIn("= 1.44×", rows["2"][2])
        self.assertEqual(rows["2"][3], "missed")

    def test_medians_come_from_the_repetitions(self):
        entries = [fresh("first_page/ours/name_number/asc", 1, ms) for ms in (100, 400, 120)]
        entries += [fresh("first_page/sqlite/name_number/asc", 1, ms) for ms in (60, 30, 50)]
        rows, _, _, _ = self.checks_of(entries)
        self.assertEqual(rows["1"][2], "120 / 50.0 ms = 2.40×")
        self.assertEqual(rows["1"][3], "missed")

    def test_memory_checks_read_heap_and_rss_per_item(self):
        entries = [
            fresh("memory/ours/name_number/asc", 1, 1, heap_bytes_per_item=120.0,
                  rss_bytes_per_item=130.0),
            fresh("memory/stable_sort/name_number/asc", 1, 1, heap_bytes_per_item=100.0,
                  rss_bytes_per_item=80.0),
            fresh("memory/ours/name_number/asc/sorter_alone", 1, 1, heap_bytes_per_item=33.0),
        ]
        rows, _, _, _ = self.checks_of(entries)
        self.assertEqual((rows["4a"][2], rows["4a"][3]), ("120 / 100 bytes per item = 1.20×",
                                                          "met"))
        self.assertEqual(rows["4b"][3], "missed")
        self.assertEqual((rows["4c"][2], rows["4c"][3]), ("33.0 bytes per key", "missed"))

    def test_the_sorter_is_compared_with_the_first_stable_sort(self):
        entries = [fresh("sorter/ours/name_number/asc/all", 1, 100),
                   fresh("sorter/ours/name_number/asc/first100", 1, 50),
                   fresh("first_sort/stable_sort/name_number/asc", 1, 400),
                   fresh("first_page/ours/name_number/asc", 1, 80)]
        rows, notes, _, _ = self.checks_of(entries)
        self.assertEqual(rows["3a"][3], "met")
        self.assertIn("= 8.00×", rows["3b"][2])
        self.assertTrue(any("0.80×" in note for note in notes), notes)

    def test_in_process_pages_use_their_own_cpu_time(self):
        entries = [in_process("page/ours/name_number/asc/first", 20, 10),
                   in_process("page/stable_sort/name_number/asc/first", 2, 4)]
        rows, _, _, _ = self.checks_of(entries)
        self.assertEqual(rows["5a"][2], "10.0 / 4.00 µs = 2.50×")
        self.assertEqual(rows["5a"][3], "met")

    def test_a_figure_that_was_not_run_is_not_measured_rather_than_met(self):
        rows, _, _, _ = self.checks_of([fresh("browse/ours/name_number/asc", 1, 1)])
        self.assertEqual(rows["2"][2:], ("not measured", "–"))
        self.assertEqual(rows["9"][2:], ("not measured", "–"))

    def test_an_error_fails_the_report_and_is_listed(self):
        failed = fresh("browse/ours/name_number/asc", 1, 1)
        failed.update({"error_occurred": True, "error_message": "page differs"})
        path = self.write([failed, fresh("browse/sqlite/name_number/asc", 1, 1)])
        table = path + ".md"
        self.addCleanup(lambda: os.path.exists(table) and os.unlink(table))
        done = subprocess.run([sys.executable, report.__file__, path, "--table", table],
                              capture_output=True, text=True)
        self.assertEqual(done.returncode, 1)
        with open(table, encoding="utf-8") as stream:
            self.assertIn("page differs", stream.read())

    def test_several_files_merge_into_one_run(self):
        first = self.write([fresh("browse/ours/name_number/asc", 1, 100)],
                           {"browse_sizes": "1000000", "cpu_model": "Test CPU"})

        def run(implementation, wall, cpu, rss):
            return {"name": f"cli_query/{implementation}/name_number/asc/N:{N}",
                    "run_type": "iteration", "real_time": wall, "cpu_time": cpu,
                    "time_unit": "ms", "peak_rss_bytes": rss}
        query = self.write([run("ours", 700, 650, 2**28), run("sqlite3_shell", 3000, 2900, 2**27),
                            run("ours", 910, 640, 2**28), run("sqlite3_shell", 3100, 2800, 2**27),
                            run("ours", 600, 660, 2**28)], {"browse_sizes": ""})
        context, medians, errors, merged = report.load([first, query], "cpu")
        figures, queries = report.collect(medians)
        self.assertEqual(context["cpu_model"], "Test CPU")
        self.assertEqual(len(merged["benchmarks"]), 6)
        self.assertEqual(queries[N]["ours"]["peak_rss_bytes"], 2**28)
        self.assertAlmostEqual(queries[N]["ours"]["wall_spread"], 910 / 600)
        self.assertIn("| 1,000,000 | `browse query` | 0.70 | 0.65 | 256 |",
                      "\n".join(report.query_section(queries)))
        rows = {row[0].split(".")[0]: row for row in report.query_checks(queries)}
        self.assertEqual(rows["13a"][2:], ("3.05 / 0.70 s = 4.36×", "met"))
        self.assertEqual(rows["13b"][3], "met")
        self.assertEqual(rows["13c"][2:], ("256.0 / 128.0 MiB = 2.00×", "missed"))
        self.assertEqual(rows["13d"][2:], ("1.52×", "missed"))
        self.assertEqual(errors, [])

if __name__ == "__main__":
    unittest.main()
