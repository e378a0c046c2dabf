"""The qxdb package's scenario: a table with two indexes and a memo, 10,000 records
added, updated and deleted by two processes at once under record locks; then the
indexes check clean (qxdb check, when QXDB_CLI names the command) and
python3-dbfread reads the same records. Run with QXDB_C_LIBRARY naming libqxdbc.so
and the package on PYTHONPATH; as `test_qxdb.py worker DIR N` it is one of the
two writers."""

import datetime
import os
import subprocess
import sys
import tempfile
import unittest

import qxdb

RECORDS = 10000
CITIES = ["Lyon", "Paris", "Zürich", "Köln", "Oslo", "Bern", "Nice"]


def make_table(directory):
    qxdb.create(directory, "PY", [("NAME", "C", 20), ("CITY", "C", 15), ("AMOUNT", "N", 10, 2),
                                  ("BORN", "D"), ("ACTIVE", "L"), ("NOTES", "M")],
                [("NAME", "NAME", "PYNAME.NTX"), ("PYCITY", "UPPER(CITY)+NAME", "PYCITY.NTX")])


def worker(directory, which):
    """Worker 0 deletes every tenth record and rewrites the memo of those ending in
    5; worker 1 changes CITY and AMOUNT of every third live record. Each record is
    locked and read under its lock before it is written."""
    with qxdb.open(os.path.join(directory, "PY"), write=True) as t:
        for r in range(1, len(t) + 1):
            if which == 0 and r % 10 not in (0, 5):
                continue
            if which == 1 and r % 3 != 0:
                continue
            with t.lock(r, wait=30):
                t.read(r)
                if which == 0 and r % 10 == 0:
                    t.delete(r)
                elif which == 0:
                    t.update(r, NOTES="w0 %d" % r)
                elif not t.deleted:
                    t.update(r, CITY="Changed", AMOUNT=r)


def expected_record(r):
    changed = r % 3 == 0
    return {"NAME": "R%05d" % r, "CITY": "Changed" if changed else CITIES[r % 7],
            "AMOUNT": float(r) if changed else r / 2, "BORN": datetime.date(2000, 1, 1) + datetime.timedelta(days=r),
            "ACTIVE": r % 2 == 0, "NOTES": ("w0 %d" if r % 10 == 5 else "memo %d") % r}


class Scenario(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qxdb-py-")

    def tearDown(self):
        subprocess.run(["rm", "-rf", self.dir])

    def test_two_writers_keep_every_file_in_step(self):
        make_table(self.dir)
        with qxdb.open(os.path.join(self.dir, "PY.dbf"), write=True) as t:
            self.assertEqual([f.name for f in t.fields], ["NAME", "CITY", "AMOUNT", "BORN", "ACTIVE", "NOTES"])
            self.assertEqual([k.name for k in t.keys], ["NAME", "PYCITY"])
            for r in range(1, RECORDS + 1):
                n = t.append(NAME="R%05d" % r, CITY=CITIES[r % 7], AMOUNT=r / 2,
                             BORN=datetime.date(2000, 1, 1) + datetime.timedelta(days=r),
                             ACTIVE=r % 2 == 0, NOTES="memo %d" % r)
                self.assertEqual(n, r)
        writers = [subprocess.Popen([sys.executable, __file__, "worker", self.dir, str(w)]) for w in (0, 1)]
        for w in writers:
            self.assertEqual(w.wait(), 0)

        expected = [expected_record(r) for r in range(1, RECORDS + 1) if r % 10 != 0]
        with qxdb.open(os.path.join(self.dir, "PY")) as t:
            self.assertEqual(list(t), expected)
            self.assertEqual(t.count(), RECORDS)
            # Every key is there, deleted records' included, in order.
            names = [r["NAME"] for r in t.walk("NAME")]
            self.assertEqual(names, ["R%05d" % r for r in range(1, RECORDS + 1)])
            self.assertEqual(t.seek("NAME", "R00015")["NOTES"], "w0 15")
            self.assertIsNone(t.seek("NAME", "S"))
            changed = [r["NAME"] for r in t.range("PYCITY", "CHANGED", "CHANGED") if not t.deleted]
            self.assertEqual(len(changed), len([r for r in range(1, RECORDS + 1) if r % 3 == 0 and r % 10 != 0]))
            # Deleted records keep their keys: which of them worker 1 changed first
            # depends on the two writers' pace.
            self.assertEqual(t.count("PYCITY", "CHANGED", "CHANGED"), len(list(t.range("PYCITY", "CHANGED", "CHANGED"))))
            self.assertEqual(len(list(t.where('CITY = "Changed" .AND. AMOUNT < 100'))),
                             len([r for r in range(3, 100, 3) if r % 10 != 0]))

        cli = os.environ.get("QXDB_CLI")
        if cli:
            check = subprocess.run([cli, "check", os.path.join(self.dir, "PY.dbf")], capture_output=True, text=True)
            self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
            self.assertIn("PYNAME.NTX: %d entries" % RECORDS, check.stdout)
            self.assertIn("PYCITY.NTX: %d entries" % RECORDS, check.stdout)
            for index in ("PYNAME.NTX", "PYCITY.NTX"):
                check = subprocess.run([cli, "index", "check", os.path.join(self.dir, "PY.dbf"),
                                        os.path.join(self.dir, index)], capture_output=True, text=True)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        try:
            import dbfread
        except ImportError:
            self.skipTest("python3-dbfread is not installed")
        read = [dict(r) for r in dbfread.DBF(os.path.join(self.dir, "PY.dbf"), encoding="cp850")]
        self.assertEqual(read, expected)

    def test_errors_carry_status_and_messages(self):
        make_table(self.dir)
        with self.assertRaises(qxdb.NotFound):
            qxdb.open(os.path.join(self.dir, "NOSUCH"))
        with qxdb.open(os.path.join(self.dir, "PY")) as t:
            with self.assertRaises(qxdb.Error) as caught:
                t.append(NAME="x")
            self.assertEqual(caught.exception.status, qxdb.REFUSED)
            self.assertNotEqual(caught.exception.library_error, 0)
            self.assertTrue(caught.exception.library_message)
        with qxdb.open(os.path.join(self.dir, "PY"), write=True) as t:
            with self.assertRaises(qxdb.Error) as caught:
                t.append(BORN="yesterday")
            self.assertEqual(caught.exception.status, qxdb.INVALID)
            self.assertIn("not a date", caught.exception.message)
            with self.assertRaises(qxdb.Error):
                t.append(NAME="\u20ac")  # the table's code page (850) has no euro sign
            with self.assertRaises(qxdb.Error):
                list(t.where("NOSUCH > 1"))
            with self.assertRaises(qxdb.NotFound):
                t.read(1)
            self.assertEqual(len(t), 0)
            n = t.append(NAME="Zoë", ACTIVE=None)
            self.assertEqual(t.read(n)["NAME"], "Zoë")
            self.assertIsNone(t.read(n)["BORN"])
        self.assertRaises(qxdb.Error, lambda: t.count())  # closed


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "worker":
        worker(sys.argv[2], int(sys.argv[3]))
        sys.exit(0)
    unittest.main()
