"""The desktop window as a screen reader meets it: the real program on a private Xvfb display,
read and operated only through the AT-SPI accessibility bus (names, labels, table cells,
actions, keys), against the private PostgreSQL of the libpq environment and the built-in DA
simulation server.

Run by desktop_a11y_test.sh inside dbus-run-session:
    desktop_a11y_test.py <vantrel program> <source root>
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

EXE = os.path.abspath(sys.argv[1])
SOURCE_ROOT = os.path.abspath(sys.argv[2])
sys.path.insert(0, os.path.join(SOURCE_ROOT, "scripts", "lib"))

import atspi_drive as drive  # noqa: E402

SIMULATION = "opc.da://localhost/Vantrel.Simulation.1"
TAG_FILE = os.path.join(SOURCE_ROOT, "examples", "tags-desktop.csv")
ASAN = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "detect_leaks=0")}


def tag_file_rows():
    with open(TAG_FILE, encoding="utf-8") as file:
        lines = [line.rstrip("\n") for line in file if line.strip()]
    return [line.split(",", 1) for line in lines[1:]]


def write_config(folder, database):
    password = os.environ["PGPASSWORD"].replace("%", "%%")
    with open(os.path.join(folder, "config.ini"), "w", encoding="utf-8") as file:
        file.write(
            f"""[TSDBConnection]
host = {os.environ["PGHOST"]}
port = {os.environ["PGPORT"]}
user = {os.environ["PGUSER"]}
password = {password}
dbname = {database}

[Vantrel]
opc_type = OPC DA
opc_host = localhost
opc_schema = {SIMULATION}
tag_csv_path = tags.csv

[VantrelLogging]
log_dir = log
prefix = vantrel
level = INFO
console = true
"""
        )


def psql(*args):
    subprocess.run(
        ["psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", "postgres", *args],
        check=True,
        timeout=30,
        stdout=subprocess.DEVNULL,
        env=dict(os.environ, PGOPTIONS="-c client_min_messages=warning"),
    )


SESSION = drive.DesktopSession()


def setUpModule():
    SESSION.start()


def tearDownModule():
    SESSION.close()


class StartWithoutConfig(unittest.TestCase):
    def test_ends_with_status_1_naming_the_file_and_opens_no_window(self):
        folder = tempfile.mkdtemp(prefix="vantrel-noconfig-")
        self.addCleanup(shutil.rmtree, folder, True)
        err = os.path.join(folder, "stderr.txt")
        program = SESSION.run(EXE, folder, env=ASAN, log_path=os.devnull, stderr_path=err)
        self.addCleanup(program.close)
        seen = []

        def ended():
            app = program.registered_application()
            if app is not None:
                seen.extend(w.name for w in drive.children(app))
            return program.process.poll() is not None

        drive.wait_for("vantrel to give up without config.ini", ended, 20, 0.05)
        status = program.process.returncode
        program.close()
        with open(err, encoding="utf-8", errors="replace") as file:
            stderr = file.read()
        self.assertEqual(status, 1, stderr)
        self.assertIn("无法读取配置文件：config.ini", stderr)
        self.assertEqual(seen, [], "a window appeared although there is no config.ini")


class WindowThroughTheAccessibilityBus(unittest.TestCase):
    """One window for the whole class; the steps build on each other in name order, as an
    operator's session does: look, move around, import, refuse a bad start, collect, stop."""

    @classmethod
    def setUpClass(cls):
        missing = [v for v in ("PGHOST", "PGPORT", "PGUSER", "PGPASSWORD") if not os.environ.get(v)]
        if missing:
            raise RuntimeError(f"no PostgreSQL environment ({', '.join(missing)} unset)")
        cls.folder = tempfile.mkdtemp(prefix="vantrel-a11y-")
        # A database of its own: registering the simulation's tags must not move the tags of
        # other tests that use the same names to this source.
        cls.database = f"vantrel_a11y_{os.getpid()}"
        psql(
            "-c", f'DROP DATABASE IF EXISTS "{cls.database}"',
            "-c", f'CREATE DATABASE "{cls.database}"',
        )
        write_config(cls.folder, cls.database)
        cls.log = os.path.join(cls.folder, "vantrel.out")
        cls.program = SESSION.run(EXE, cls.folder, env=ASAN, log_path=cls.log)
        try:
            cls.window = cls.program.wait_for_window("OPC Data Widget", 30)
            drive.activate(cls.window)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.program.close()
        try:
            psql("-c", f'DROP DATABASE IF EXISTS "{cls.database}" WITH (FORCE)')
        finally:
            if os.environ.get("VANTREL_KEEP_TEST_DIR"):
                print(f"kept {cls.folder}", file=sys.stderr)
            else:
                shutil.rmtree(cls.folder, ignore_errors=True)

    def run(self, result=None):
        # A failed step shows what the program said; the log is otherwise thrown away.
        before = len(result.failures) + len(result.errors) if result else 0
        outcome = super().run(result)
        if result and len(result.failures) + len(result.errors) > before:
            with open(self.log, encoding="utf-8", errors="replace") as file:
                print("--- vantrel output ---\n" + file.read()[-4000:], file=sys.stderr)
        return outcome

    # -- helpers --

    def button(self, name):
        return drive.find(self.window, "push button", name)

    def buttons_named(self, name):
        return drive.find_all(self.window, "push button", name)

    def control(self, role, name):
        return drive.find(self.window, role, predicate=lambda a: drive.spoken_name(a) == name)

    def label_starting(self, prefix):
        labels = [a.name for a in drive.find_all(self.window, "label") if a.name.startswith(prefix)]
        self.assertEqual(len(labels), 1, f"labels starting with {prefix!r}: {labels}")
        return labels[0]

    def table(self):
        return drive.find(self.window, "table", "Tag table")

    def tab_cycle(self):
        """Spoken names of the focus stops, one full round of Tab from the first control."""
        drive.tab_to(self.window, "TSDB name:")
        names = []
        for _ in range(30):
            drive.send_key(drive.KEY_TAB)
            time.sleep(0.1)
            current = drive.wait_for("a focused control", lambda: drive.focused(self.window), 3)
            name = drive.spoken_name(current)
            if name == "TSDB name:":
                return ["TSDB name:"] + names
            names.append(name)
        self.fail(f"Tab never came back to the first control: {names}")

    # -- the session --

    def test_1_title_names_the_database_server_and_database(self):
        host = os.environ["PGHOST"]
        self.assertEqual(
            self.window.name, f"OPC Data Widget [TSDB connected: {host}/{self.database}]"
        )
        self.assertEqual(self.label_starting("DB Status:"), "DB Status: Connected")
        self.assertEqual(self.label_starting("Status:"), "Status: Unconnected")

    def test_2_every_input_is_named_by_its_label(self):
        host = drive.find(self.window, "text", "OPC IP:")
        self.assertEqual(drive.labelled_by(host), ["OPC IP:"])
        self.assertEqual(drive.text_of(host), "localhost")
        port = drive.find(self.window, "text", "Port:")
        self.assertEqual(drive.labelled_by(port), ["Port:"])
        self.assertEqual(drive.text_of(port), "0")
        self.assertFalse(drive.is_enabled(port), "the port means nothing for OPC DA")
        # A combo box's own name is its current text; its label comes by relation.
        self.assertEqual(self.control("combo box", "TSDB name:").name, self.database)
        self.assertEqual(self.control("combo box", "OPC Type:").name, "OPC DA")
        self.assertEqual(drive.text_of(self.control("combo box", "OPC Schema:")), SIMULATION)
        for button in ("Import CSV Tag List", "Start Collecting"):
            self.assertTrue(drive.is_enabled(self.button(button)))
        self.assertEqual(
            drive.table_headers(self.table()),
            ["DBID", "Tag Name", "Description", "Value", "Quality"],
        )
        self.assertEqual(drive.table_rows(self.table()), [])
        self.assertEqual(self.label_starting("Page "), "Page 1 / 1")

    def test_3_tab_reaches_every_enabled_control_in_layout_order(self):
        expected = [
            "TSDB name:", "OPC Type:", "OPC IP:", "OPC Schema:", "Import CSV Tag List",
            "Browse Server…", "Start Collecting", "Tag table", "Rows per page:",
            "Trend range:", "Trend: no tag selected",
        ]
        self.assertEqual(self.tab_cycle(), expected)

        # Every enabled control that takes the focus is one of the stops.
        def interactive(acc):
            return (
                acc.getRoleName() in ("combo box", "text", "push button", "table", "chart")
                and drive.is_enabled(acc)
                and drive.has_state(acc, "focusable")
                and drive.has_state(acc, "showing")
                and acc.parent.getRoleName() != "combo box"
            )

        controls = drive.find_all(self.window, predicate=interactive)
        self.assertEqual({drive.spoken_name(acc) for acc in controls}, set(expected))

        # With the keyboard alone: Down on the type chooser switches to OPC UA, which brings
        # the port field, 4840, into the round; Up goes back.
        drive.tab_to(self.window, "OPC Type:")
        drive.send_key(drive.KEY_DOWN)
        port = drive.find(self.window, "text", "Port:")
        drive.wait_for("the port field to open for OPC UA", lambda: drive.is_enabled(port), 5)
        self.assertEqual(drive.text_of(port), "4840")
        self.assertEqual(self.tab_cycle(), expected[:3] + ["Port:"] + expected[3:])
        drive.tab_to(self.window, "OPC Type:")
        drive.send_key(drive.KEY_UP)
        drive.wait_for("the port field to close for OPC DA", lambda: not drive.is_enabled(port), 5)
        self.assertEqual(self.control("combo box", "OPC Type:").name, "OPC DA")
        self.assertEqual(drive.text_of(port), "0")

    def test_4_import_through_the_file_dialog_shows_tags_and_chinese_descriptions(self):
        expected = tag_file_rows()
        self.assertGreater(len(expected), 10, "the tag file should fill more than one page")
        drive.import_tags(self.program, self.window, TAG_FILE)
        rows = drive.wait_for_rows(self.table(), 10)
        self.assertEqual([r[1:3] for r in rows], expected[:10])
        self.assertEqual(rows[0][1:3], ["Demo.Tag1", "锅炉温度"])
        # A fresh database knows none of the tags yet; nothing has been read.
        self.assertEqual({(r[0], r[3], r[4]) for r in rows}, {("", "", "")})
        self.assertEqual(self.label_starting("Page "), "Page 1 / 2")
        self.assertEqual(
            self.label_starting("Current:"), f"Current: 0 | Total: {len(expected)} records"
        )

        drive.press(self.button("Next Page"))
        rows = drive.wait_for_rows(self.table(), len(expected) - 10)
        self.assertEqual([r[1:3] for r in rows], expected[10:])
        drive.press(self.button("First Page"))
        drive.wait_for_rows(self.table(), 10)

    def test_5_start_without_a_schema_is_refused_with_a_message_box(self):
        schema = self.control("combo box", "OPC Schema:")
        drive.set_text(schema, "  ")
        drive.press(self.button("Start Collecting"))
        box = self.program.wait_for_dialog("Error")
        # An alert, which a screen reader speaks at once, with the focus moved into it.
        self.assertEqual(box.getRoleName(), "alert")
        self.assertEqual(drive.message_text(box), "Please select an OPC server schema.")
        drive.close_message_box(self.program, box)
        self.assertTrue(self.buttons_named("Start Collecting"))
        self.assertTrue(drive.is_enabled(self.button("Import CSV Tag List")))
        drive.set_text(schema, SIMULATION)
        self.assertEqual(drive.text_of(schema), SIMULATION)

    def test_6_alt_down_on_the_schema_runs_discovery(self):
        drive.tab_to(self.window, "OPC Schema:")
        drive.send_key(drive.KEY_DOWN, drive.MOD_ALT)
        drive.wait_for(
            "discovery to report the simulation server",
            lambda: self.label_starting("Status:") == "Status: Found 1 OPC DA Servers",
            10,
        )
        schema = self.control("combo box", "OPC Schema:")
        self.assertEqual([item.name for item in drive.find_all(schema, "list item")], [SIMULATION])
        drive.send_key(drive.KEY_ESCAPE)
        drive.wait_for(
            "the schema to read the found server", lambda: drive.text_of(schema) == SIMULATION, 5
        )

    def test_7_collecting_shows_good_values_and_stops_with_space(self):
        expected = tag_file_rows()[:10]
        drive.press(self.button("Start Collecting"))
        drive.wait_for(
            "the button to offer Stop Collecting",
            lambda: self.buttons_named("Stop Collecting"),
            20,
        )
        rows = drive.wait_for_quality(self.table(), "Good", 20)
        # Registration gave every tag its database id; descriptions stay as imported.
        self.assertTrue(all(r[0].isdigit() for r in rows), rows)
        self.assertEqual([r[1:3] for r in rows], expected)
        quality = {r[1]: r[4] for r in rows}
        self.assertEqual(quality["Demo.Bad"], "Bad")
        self.assertEqual(quality["Demo.Uncertain"], "Uncertain")
        self.assertEqual(quality["Demo.Tag1"], "Good")
        value = {r[1]: r[3] for r in rows}
        self.assertEqual(value["Demo.Uncertain"], "42")
        float(value["Demo.Tag1"])
        drive.wait_for(
            "the status bar to report writes",
            lambda: self.label_starting("DB Status:") == "DB Status: Writing successfully",
            10,
        )
        self.assertRegex(
            self.label_starting("Current:"), r"^Current: [1-9]\d* \| Total: 12 records$"
        )
        # While collecting, the inputs are locked and say so.
        locked = (("text", "OPC IP:"), ("combo box", "OPC Schema:"), ("combo box", "TSDB name:"))
        for role, name in locked:
            self.assertFalse(drive.is_enabled(self.control(role, name)), name)
        self.assertFalse(drive.is_enabled(self.button("Import CSV Tag List")))

        drive.tab_to(self.window, "Stop Collecting")
        drive.send_key(drive.KEY_SPACE)
        drive.wait_for(
            "the button to offer Start Collecting again",
            lambda: self.buttons_named("Start Collecting"),
            15,
        )
        self.assertTrue(drive.is_enabled(self.control("text", "OPC IP:")))
        self.assertTrue(drive.is_enabled(self.button("Import CSV Tag List")))
        self.assertEqual(self.label_starting("DB Status:"), "DB Status: Connected")
        self.assertEqual(self.label_starting("Current:"), "Current: 0 | Total: 12 records")

    def trend_named(self, name, timeout=10):
        return drive.find(self.window, "chart", name, timeout=timeout)

    def test_8_a_selected_row_shows_its_trend_named_for_the_tag(self):
        rows = drive.table_rows(self.table())
        first = rows[0][1]
        self.assertTrue(self.table().queryTable().addRowSelection(0))
        chart = self.trend_named(f"Trend: {first}")
        # The description reads the range and the newest value: what test_7 collected is in
        # the database, so the history has a number for the tag.
        drive.wait_for(
            "the trend to show the stored values",
            lambda: re.fullmatch(
                rf"Last 10 minutes\. {re.escape(first)}: -?[\d.e+-]+\.", chart.description
            ),
            15,
        )

        # With the keyboard: Down in the table moves the selection, and the trend follows.
        # (With rows, the focus reads as the current cell, so Tab goes on until the table
        # itself says it has the focus.)
        for _ in range(30):
            if drive.has_state(self.table(), "focused"):
                break
            drive.send_key(drive.KEY_TAB)
            time.sleep(0.1)
        else:
            self.fail("Tab never reached the tag table")
        drive.send_key(drive.KEY_DOWN)

        def follows():
            selected = sorted(self.table().queryTable().getSelectedRows())
            tags = [rows[r][1] for r in selected]
            if not tags or tags == [first]:
                return None
            names = [c.name for c in drive.find_all(self.window, "chart")]
            return names == ["Trend: " + ", ".join(tags)]

        drive.wait_for("the trend to follow the keyboard selection", follows, 10)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
