"""The "Browse Server…" dialog as a screen reader meets it: the real program on a private Xvfb
display, driven only through the AT-SPI accessibility bus, browsing the node-opcua test server
into the tag table, against the private PostgreSQL of the libpq environment.

Run by desktop_a11y_test.sh inside dbus-run-session:
    desktop_a11y_browse_test.py <vantrel program> <source root>
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

EXE = os.path.abspath(sys.argv[1])
SOURCE_ROOT = os.path.abspath(sys.argv[2])
sys.path.insert(0, os.path.join(SOURCE_ROOT, "scripts", "lib"))

import atspi_drive as drive  # noqa: E402

SERVER_DIR = os.path.join(SOURCE_ROOT, "tests", "opcua-server")
ASAN = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "detect_leaks=0")}
KEY_RIGHT = 0xFF53
KEY_RETURN = 0xFF0D


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class TestServer:
    """node server.js with the browse folder, until closed."""

    def __init__(self, folder):
        self.port = free_port()
        self.log = open(os.path.join(folder, "server.log"), "w+", encoding="utf-8")
        self.process = subprocess.Popen(
            ["node", os.path.join(SERVER_DIR, "server.js"), "--exit-with-parent",
             "--pki", os.path.join(folder, "pki"), "--port", str(self.port),
             "--browse-nodes", "12"],
            # The server ends when this pipe closes, so it never outlives the test.
            stdin=subprocess.PIPE, stdout=self.log, stderr=subprocess.STDOUT,
            start_new_session=True,
        )

        def ready():
            if self.process.poll() is not None:
                raise RuntimeError("the test server ended: " + self.output())
            return "VANTREL-OPCUA-TEST-SERVER READY" in self.output()

        # Its first start makes certificates, which takes a while on a busy machine.
        drive.wait_for("the OPC UA test server to listen", ready, 90, 0.2)
        self.endpoint = f"opc.tcp://127.0.0.1:{self.port}"

    def output(self):
        self.log.seek(0)
        return self.log.read()

    def close(self):
        self.process.stdin.close()
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


def write_config(folder, database, schema):
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
opc_type = OPC UA
opc_host = 127.0.0.1
opc_schema = {schema}

[VantrelLogging]
log_dir = log
prefix = vantrel
level = INFO
console = true
"""
        )


def cell(root, name):
    """The tree's row named so, once its branch has been browsed."""
    return drive.find(
        root,
        predicate=lambda a: a.name == name and a.getRoleName() in ("table cell", "tree item"),
        timeout=20,
    )


def focused_row(dialog):
    """The tree row that has the keyboard focus, if the tree has it."""
    current = drive.focused(dialog)
    if current is not None and current.parent.name == "Address space":
        return current
    return None


def down_to(dialog, name, limit=40):
    """Presses Down in the tree until the row named so has the focus."""
    for _ in range(limit):
        current = focused_row(dialog)
        if current is not None and current.name == name:
            return current
        drive.send_key(drive.KEY_DOWN)
        time.sleep(0.15)
    raise drive.DriveError(f"Down never reached the row {name!r}")


SESSION = drive.DesktopSession()


def setUpModule():
    SESSION.start()


def tearDownModule():
    SESSION.close()


class BrowseDialogThroughTheAccessibilityBus(unittest.TestCase):
    """One window and server for the class; the steps build on each other in name order."""

    @classmethod
    def setUpClass(cls):
        missing = [v for v in ("PGHOST", "PGPORT", "PGUSER", "PGPASSWORD") if not os.environ.get(v)]
        if missing:
            raise RuntimeError(f"no PostgreSQL environment ({', '.join(missing)} unset)")
        if not os.path.isdir(os.path.join(SERVER_DIR, "node_modules", "node-opcua")):
            raise unittest.SkipTest("node-opcua is not installed in tests/opcua-server")
        cls.folder = tempfile.mkdtemp(prefix="vantrel-a11y-browse-")
        cls.server = TestServer(cls.folder)
        write_config(cls.folder, "tsdb_default", cls.server.endpoint)
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
        cls.server.close()
        if os.environ.get("VANTREL_KEEP_TEST_DIR"):
            print(f"kept {cls.folder}", file=sys.stderr)
        else:
            shutil.rmtree(cls.folder, ignore_errors=True)

    def run(self, result=None):
        before = len(result.failures) + len(result.errors) if result else 0
        outcome = super().run(result)
        if result and len(result.failures) + len(result.errors) > before:
            with open(self.log, encoding="utf-8", errors="replace") as file:
                print("--- vantrel output ---\n" + file.read()[-4000:], file=sys.stderr)
        return outcome

    def test_1_the_button_sits_beside_the_import_and_opens_a_named_dialog(self):
        button = drive.find(self.window, "push button", "Browse Server…")
        self.assertTrue(drive.is_enabled(button))
        drive.press(button)
        dialog = self.program.wait_for_dialog("Browse Server")
        type(self).dialog = dialog
        filter_box = drive.find(dialog, "text", "Filter:")
        self.assertEqual(drive.labelled_by(filter_box), ["Filter:"])
        for name in ("Cancel", "Add Selected", "Save as CSV…", "Close"):
            drive.find(dialog, "push button", name)
        tree = drive.find(dialog, name="Address space")
        type(self).tree = tree
        # The Objects folder's first level arrives without the window waiting for it.
        cell(tree, "Browse")
        self.assertTrue(drive.is_enabled(drive.find(self.window, "push button", "Browse Server…")))

    def test_2_the_keyboard_opens_branches_and_space_checks_a_variable(self):
        dialog, tree = self.dialog, self.tree
        drive.activate(dialog)
        # Tab from the filter reaches the tree, whose current row takes the focus.
        drive.wait_for("the filter to have the focus",
                       lambda: drive.spoken_name(drive.focused(dialog)) == "Filter:", 5)
        drive.send_key(drive.KEY_TAB)
        drive.wait_for("a row of the tree to have the focus", lambda: focused_row(dialog), 5)
        for folder in ("Browse", "车间"):
            down_to(dialog, folder)
            drive.send_key(KEY_RIGHT)  # opens the branch; its nodes are browsed now
            cell(tree, "Awkward" if folder == "Browse" else "压力表")
        variable = down_to(dialog, "反应釜温度")
        self.assertFalse(drive.has_state(variable, "checked"))
        drive.send_key(drive.KEY_SPACE)
        drive.wait_for("the variable to be checked",
                       lambda: drive.has_state(cell(tree, "反应釜温度"), "checked"), 5)
        self.assertFalse(drive.has_state(cell(tree, "压力表"), "checked"))

    def test_3_enter_adds_the_checked_variable_to_the_table(self):
        self.assertTrue(focused_row(self.dialog), "the tree still has the focus")
        drive.send_key(KEY_RETURN)  # Add Selected is the dialog's default button
        self.program.wait_until_gone(self.dialog)
        table = drive.find(self.window, "table", "Tag table")
        rows = drive.wait_for_rows(table, 1)
        self.assertEqual(rows[0][1:3], ["2:Browse.车间.温度", "一号反应釜的温度"])
        current = [a.name for a in drive.find_all(self.window, "label")
                   if a.name.startswith("Current:")]
        self.assertEqual(current, ["Current: 0 | Total: 1 records"])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
