"""The Python module over the library, against the simulated station that
with_station started and filled (a.iso and b.iso, a minute under way)."""

import os
import pathlib
import unittest

import synology_ds as ds

EXPORTS = pathlib.Path(__file__).resolve().parents[1] / "abi" / "exports.txt"


class PythonModule(unittest.TestCase):
    def setUp(self):
        self.port = int(os.environ["DS_PORT"])

    def tearDown(self):
        ds.disconnect()

    def connect(self):
        ds.connect("127.0.0.1", self.port, "admin", "admin")

    def test_declares_every_exported_function(self):
        exported = set(EXPORTS.read_text().split())
        self.assertEqual(29, len(exported))
        self.assertEqual(exported, set(ds._SIGNATURES))
        lib = ds.load()
        for name in exported:
            self.assertIsNotNone(getattr(lib, name).restype, name)
        self.assertEqual("2.0.0", ds.version())

    def test_refusal_with_a_station_code(self):
        with self.assertRaises(ds.DownloadStationError) as caught:
            ds.connect("127.0.0.1", self.port, "admin", "wrong")
        self.assertEqual("Login failed (code 400: No such account or incorrect password)", caught.exception.message)
        self.assertEqual(400, caught.exception.code)
        self.assertFalse(ds.is_connected())

        self.connect()
        with self.assertRaises(ds.DownloadStationError) as caught:
            ds.pause("dbid_999")
        self.assertEqual("Task dbid_999 pause failed (code 404: Invalid task id)", caught.exception.message)
        self.assertEqual(404, caught.exception.code)

    def test_failures_without_a_code(self):
        cases = [
            (ds.list_tasks, (), "Not connected to NAS"),
            (ds.pause_all, (), "Not connected to NAS"),
            (ds.get_default_destination, (), "Not connected to NAS"),
        ]
        for call, args, message in cases:
            with self.subTest(call=call.__name__):
                with self.assertRaises(ds.DownloadStationError) as caught:
                    call(*args)
                self.assertEqual(message, caught.exception.message)
                self.assertIsNone(caught.exception.code)
        self.assertFalse(ds.ping())
        self.assertEqual("Not connected to NAS", ds.last_error())

        self.connect()
        cases = [
            (ds.pause, ("",), "Task IDs cannot be empty"),
            (ds.get_task, ("nope",), "Task nope not found (code 404: Invalid task id)"),
            (ds.list_folders, ("",), "Share path cannot be empty"),
            (ds.add_urls, (" \n \r\n",), "No valid URLs found in batch"),
            (ds.set_timeout, (301,), "Invalid timeout: 301 (must be between 1 and 300 seconds)"),
        ]
        for call, args, message in cases:
            with self.subTest(call=call.__name__):
                with self.assertRaises(ds.DownloadStationError) as caught:
                    call(*args)
                self.assertEqual(message, caught.exception.message)
                self.assertIsNone(caught.exception.code)

    def test_results_come_back_as_python_values(self):
        self.connect()
        self.assertTrue(ds.ping())
        tasks = ds.list_tasks_filtered("downloading")
        self.assertEqual([("dbid_1", "a.iso"), ("dbid_2", "b.iso")], [(t["id"], t["title"]) for t in tasks])
        self.assertEqual(23, len(tasks[0]))
        self.assertEqual([], ds.list_tasks_filtered("paused"))
        self.assertEqual(["downloads", "music", "personal", "video"], [s["name"] for s in ds.list_shares()])
        self.assertEqual("downloads", ds.get_default_destination())

        self.assertEqual(2, ds.pause_all())
        self.assertEqual("paused", ds.get_task("dbid_2")["status"])
        self.assertEqual(2, ds.resume_all())
        self.assertEqual(1, ds.add_urls("https://example.org/c.iso\n\nnot a url at all", "video/new"))
        self.assertEqual("video/new", ds.get_task("dbid_3")["destination"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
