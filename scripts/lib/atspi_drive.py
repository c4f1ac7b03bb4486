"""Drives the vantrel window through the AT-SPI accessibility bus, the way a screen reader
user meets it: by roles, names, labels, table cells, actions, editable texts and keys. Used by
scripts/desktop-screenshot and by the desktop accessibility test (tests/vantrel).

Needs Debian's python3-pyatspi (run it with /usr/bin/python3), Xvfb, and a D-Bus session bus:
run the caller inside `dbus-run-session`. A DesktopSession starts a private Xvfb display and
the accessibility bus; programs run on it until it closes, which kills whatever it started.
Every wait is bounded.

    with DesktopSession() as session:
        program = session.run(exe, workdir)
        window = program.wait_for_window("OPC Data Widget")
        press(find(window, "push button", "Import CSV Tag List"))

Run as a program, it takes the desktop screenshot (see `main`)."""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

pyatspi = None  # imported once the accessibility bus is up; see DesktopSession.start


class DriveError(AssertionError):
    """The window did not show what was expected in time; the message says what."""


def wait_for(what, predicate, timeout, interval=0.1):
    """Calls predicate until it returns something true and returns that; raises DriveError
    after timeout seconds. Errors from the bus while the window changes count as not yet."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            value = predicate()
            if value:
                return value
        except Exception as error:  # a widget that vanished under us: look again
            last_error = error
        if time.monotonic() >= deadline:
            detail = f" (last error: {last_error})" if last_error else ""
            raise DriveError(f"timed out after {timeout:g} s waiting for {what}{detail}")
        time.sleep(interval)


# --- Reading the accessible tree -------------------------------------------------------------


def children(acc):
    result = []
    try:
        for i in range(acc.childCount):
            child = acc.getChildAtIndex(i)
            if child is not None:
                result.append(child)
    except Exception:  # acc closed while we read it (a dialog going away): it has none now
        pass
    return result


def walk(acc, max_depth=16):
    """Every accessible below acc, depth first, acc first."""
    stack = [(acc, 0)]
    while stack:
        node, depth = stack.pop()
        yield node
        if depth < max_depth:
            stack.extend((child, depth + 1) for child in reversed(children(node)))


def _matches(acc, role, name, predicate):
    try:
        return (
            (role is None or acc.getRoleName() == role)
            and (name is None or acc.name == name)
            and (predicate is None or predicate(acc))
        )
    except Exception:  # the bus still listed an object that has since been destroyed
        return False


def find_all(root, role=None, name=None, predicate=None):
    return [acc for acc in walk(root) if _matches(acc, role, name, predicate)]


def find(root, role=None, name=None, predicate=None, timeout=5.0):
    """The one accessible below root with this role and name. Looks again for up to timeout
    seconds, as the tree is rebuilt for a moment after a dialog closes; DriveError after."""
    what = f"{role or 'accessible'} named {name!r} under {describe(root)}"
    return wait_for(what, lambda: next(iter(find_all(root, role, name, predicate)), None), timeout)


def describe(acc):
    try:
        return f"{acc.getRoleName()} {acc.name!r}"
    except Exception:
        return "<gone>"


def has_state(acc, state_name):
    return acc.getState().contains(getattr(pyatspi, "STATE_" + state_name.upper()))


def is_enabled(acc):
    return has_state(acc, "enabled")


def labelled_by(acc):
    """Names of the labels that name acc (a label whose buddy is acc)."""
    names = []
    for relation in acc.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            names += [relation.getTarget(i).name for i in range(relation.getNTargets())]
    return names


def spoken_name(acc):
    """What a screen reader announces for a control: its label, else its own name. The line
    edit inside an editable combo box has neither, so it is announced by its combo box."""
    labels = labelled_by(acc)
    if labels:
        return labels[0]
    parent = acc.parent
    if not acc.name and acc.getRoleName() == "text" and parent.getRoleName() == "combo box":
        return spoken_name(parent)
    return acc.name


def text_of(acc):
    """The text of a label, line edit or editable combo box."""
    if acc.getRoleName() == "combo box":
        editors = find_all(acc, "text")
        if editors:
            acc = editors[0]
    try:
        return acc.queryText().getText(0, -1)
    except NotImplementedError:
        return acc.name


def table_rows(table):
    """The visible rows of a table, each a list of cell texts."""
    grid = table.queryTable()
    return [
        [grid.getAccessibleAt(row, col).name for col in range(grid.nColumns)]
        for row in range(grid.nRows)
    ]


def table_headers(table):
    grid = table.queryTable()
    return [grid.getColumnDescription(col) for col in range(grid.nColumns)]


def extents(acc):
    box = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return box.x, box.y, box.width, box.height


# --- Operating controls ---------------------------------------------------------------------


def press(acc):
    """Presses a button through its accessible action, as an assistive tool would."""
    actions = acc.queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    for i, action in enumerate(names):
        if action.lower() in ("press", "click"):
            actions.doAction(i)
            return
    raise DriveError(f"{describe(acc)} offers no press action (actions: {names})")


def set_text(acc, text):
    """Replaces the text of a line edit or editable combo box."""
    if acc.getRoleName() == "combo box":
        acc = find(acc, "text")
    acc.queryEditableText().setTextContents(text)


def focus(acc):
    if not acc.queryComponent().grabFocus():
        raise DriveError(f"{describe(acc)} refused the focus")


def focused(root):
    found = find_all(root, predicate=lambda acc: has_state(acc, "focused"))
    return found[-1] if found else None


# X keysyms of the keys an operator uses here.
KEY_TAB = 0xFF09
KEY_UP = 0xFF52
KEY_DOWN = 0xFF54
KEY_ESCAPE = 0xFF1B
KEY_SPACE = 0x20
# The X modifier mask of Alt (Mod1).
MOD_ALT = 1 << 3


def send_key(keysym, modifiers=0):
    """Types one key into the focused window, holding the modifiers (a mask such as MOD_ALT)."""
    if modifiers:
        pyatspi.Registry.generateKeyboardEvent(modifiers, None, pyatspi.KEY_LOCKMODIFIERS)
    try:
        pyatspi.Registry.generateKeyboardEvent(keysym, None, pyatspi.KEY_SYM)
    finally:
        if modifiers:
            pyatspi.Registry.generateKeyboardEvent(modifiers, None, pyatspi.KEY_UNLOCKMODIFIERS)


def activate(window, timeout=5):
    """Makes the window the active one, so that it takes keys. Without a window manager a
    freshly mapped window never becomes active by itself; a click on its margin does it."""
    x, y, _, _ = extents(window)
    pyatspi.Registry.generateMouseEvent(x + 2, y + 2, "b1c")
    wait_for(f"{describe(window)} to become active", lambda: has_state(window, "active"), timeout)


def tab_to(window, name, limit=30):
    """Presses Tab until the control that a screen reader calls name has the focus."""
    if not has_state(window, "active"):
        # Without a window manager, nothing hands the focus back when a dialog closes.
        activate(window)
    for _ in range(limit):
        current = focused(window)
        if current is not None and spoken_name(current) == name:
            return current
        send_key(KEY_TAB)
        time.sleep(0.1)
    raise DriveError(f"{limit} presses of Tab never reached {name!r}")


# --- The session: display and accessibility bus; programs on them ---------------------------


class DesktopSession:
    """A private Xvfb display with the accessibility bus, for one or more programs in turn.
    One per process: pyatspi stays bound to the first bus it met."""

    def __init__(self, size=(1280, 800)):
        self.size = size
        self.display = None
        self._processes = []
        self._runtime_dir = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def start(self):
        global pyatspi
        if not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
            raise DriveError("no D-Bus session bus: run this inside dbus-run-session")
        self._runtime_dir = tempfile.mkdtemp(prefix="vantrel-xdg-")
        try:
            self._start_display()
            self._processes.append(
                subprocess.Popen(
                    ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                    env=self.env(),
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL,
                    start_new_session=True,
                )
            )
            # pyatspi finds the registry through the bus when imported: only now is it there.
            os.environ["DISPLAY"] = self.display
            import pyatspi as module

            pyatspi = module
        except BaseException:
            self.close()
            raise

    def _start_display(self):
        # Xvfb picks a free display number and writes it to the pipe once it accepts clients.
        read_end, write_end = os.pipe()
        width, height = self.size
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,
        )
        self._processes.append(xvfb)
        os.close(write_end)
        os.set_blocking(read_end, False)
        number = b""
        deadline = time.monotonic() + 15
        try:
            while not number.endswith(b"\n"):
                if time.monotonic() > deadline or xvfb.poll() is not None:
                    raise DriveError("Xvfb did not start within 15 s")
                try:
                    chunk = os.read(read_end, 16)
                except BlockingIOError:
                    time.sleep(0.05)
                    continue
                if not chunk:
                    raise DriveError("Xvfb ended before it named its display")
                number += chunk
        finally:
            os.close(read_end)
        self.display = ":" + number.decode().strip()

    def env(self, extra=None):
        """The environment of a program on this display, with Qt's bridge switched on."""
        env = dict(os.environ)
        env.update(
            DISPLAY=self.display or "",
            XDG_RUNTIME_DIR=self._runtime_dir,
            QT_QPA_PLATFORM="xcb",
            QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
        )
        env.update(extra or {})
        return env

    def run(self, exe, workdir, args=(), env=None, log_path=None, stderr_path=None):
        """Starts a program from workdir. Its output goes to log_path, its standard error too
        unless stderr_path is given. It is stopped at the latest when the session closes."""
        program = Program(self, exe, workdir, list(args), env, log_path, stderr_path)
        self._processes.append(program)
        return program

    def screenshot(self, path, region=None):
        """Saves the screen, or the region (x, y, width, height) of it, as PNG."""
        command = ["import", "-display", self.display, "-window", "root"]
        if region:
            x, y, width, height = region
            command += ["-crop", f"{width}x{height}+{x}+{y}", "+repage"]
        subprocess.run(command + [path], check=True, timeout=30, env=self.env())

    def close(self):
        """Ends the programs, the bus and the display: politely, then by force."""
        for process in reversed(self._processes):
            if isinstance(process, Program):
                process.close()
            else:
                _stop(process)
        self._processes.clear()
        if self._runtime_dir:
            shutil.rmtree(self._runtime_dir, ignore_errors=True)
            self._runtime_dir = None


class Program:
    """One run of a program on a DesktopSession, and its windows as the bus shows them."""

    def __init__(self, session, exe, workdir, args, env, log_path, stderr_path):
        self.name = os.path.basename(exe)
        self.log_path = log_path
        self._files = []
        stdout = self._open(log_path)
        if stderr_path:
            stderr = self._open(stderr_path)
        else:
            stderr = subprocess.STDOUT if log_path else subprocess.DEVNULL
        self.process = subprocess.Popen(
            [exe] + args,
            cwd=workdir,
            env=session.env(env),
            stdin=subprocess.DEVNULL,
            stdout=stdout,
            stderr=stderr,
            start_new_session=True,
        )

    def _open(self, path):
        if not path:
            return subprocess.DEVNULL
        self._files.append(open(path, "wb"))
        return self._files[-1]

    def registered_application(self):
        """The program's accessible application object, or None while it has not registered."""
        for app in children(pyatspi.Registry.getDesktop(0)):
            if app.name == self.name and app.get_process_id() == self.process.pid:
                return app
        return None

    def application(self, timeout=20):
        """The program's accessible application object, once it has registered."""

        def registered():
            if self.process.poll() is not None:
                raise SystemExit(f"{self.name} exited with status {self.process.returncode}")
            return self.registered_application()

        try:
            return wait_for(f"{self.name} on the accessibility bus", registered, timeout, 0.2)
        except SystemExit as ended:
            raise DriveError(f"{ended}; see {self.log_path or 'its output'}") from None

    def wait_for_window(self, title_prefix, timeout=20):
        app = self.application(timeout)
        return wait_for(
            f"a window titled {title_prefix!r}...",
            lambda: next((w for w in children(app) if w.name.startswith(title_prefix)), None),
            timeout,
        )

    def wait_for_dialog(self, title, timeout=10):
        """A dialog or message box of the program with this title."""
        app = self.application(timeout)
        return wait_for(
            f"a dialog titled {title!r}",
            lambda: next(
                (
                    w
                    for w in children(app)
                    if w.name == title and w.getRoleName() in ("dialog", "alert", "file chooser")
                ),
                None,
            ),
            timeout,
        )

    def wait_until_gone(self, acc, timeout=10):
        app = self.application(timeout)
        name = acc.name
        wait_for(f"{name!r} to close", lambda: all(w.name != name for w in children(app)), timeout)

    def wait_for_exit(self, timeout):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise DriveError(f"{self.name} still runs after {timeout:g} s") from None

    def close(self):
        _stop(self.process)
        for file in self._files:
            file.close()
        self._files.clear()


def _stop(process, grace=5):
    if process.poll() is not None:
        return
    # Each child leads its own process group, so its helpers go with it.
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5)):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            return
        try:
            process.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            continue


# --- The operator's steps, shared by the screenshot and the test ----------------------------


def import_tags(program, window, csv_path, timeout=15):
    """Imports a tag file the way an operator does: the button, then the file dialog."""
    press(find(window, "push button", "Import CSV Tag List"))
    dialog = program.wait_for_dialog("Choose CSV file", timeout)
    file_name = find(dialog, "text", predicate=lambda acc: spoken_name(acc) == "File name:")
    set_text(file_name, os.path.abspath(csv_path))
    open_button = find(dialog, "push button", "Open")
    wait_for("the dialog's Open button to accept the name", lambda: is_enabled(open_button), 5)
    press(open_button)
    program.wait_until_gone(dialog, timeout)


def wait_for_rows(table, count, timeout=15):
    """Waits until the table shows count rows (at least one); returns them."""

    def rows():
        current = table_rows(table)
        return current if len(current) == count else None

    return wait_for(f"{count} rows in the tag table", rows, timeout)


def wait_for_quality(table, quality, timeout=20):
    """Waits until some row of the table shows this quality; returns the rows."""

    def rows():
        current = table_rows(table)
        return current if any(row[4] == quality for row in current) else None

    return wait_for(f"a {quality!r} quality in the tag table", rows, timeout, 0.25)


def close_message_box(program, box):
    press(find(box, "push button", "OK"))
    program.wait_until_gone(box)


def message_text(box):
    """The message of a message box: its labels other than the (empty) icon."""
    return "\n".join(label.name for label in find_all(box, "label") if label.name)


def select_rows_by_tag(table, tags):
    """Selects the rows of the page whose tag name (second column) is one of tags, through the
    table's accessible selection, as an assistive tool would; gives their tags in row order."""
    grid = table.queryTable()
    found = []
    for row, cells in enumerate(table_rows(table)):
        if cells[1] in tags:
            if not grid.addRowSelection(row):
                raise DriveError(f"the table refused to select row {row} ({cells[1]})")
            found.append(cells[1])
    missing = set(tags) - set(found)
    if missing:
        raise DriveError(f"no row on the page for {sorted(missing)}")
    return found


# --- The screenshot ---------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Start vantrel on a private display, import a tag file, start collecting, "
        "wait for live values and save a PNG of the window."
    )
    parser.add_argument("--exe", required=True, help="the vantrel program")
    parser.add_argument("--workdir", required=True, help="folder holding config.ini")
    parser.add_argument("--csv", required=True, help="tag file to import")
    parser.add_argument("--out", required=True, help="PNG to write")
    parser.add_argument("--log", help="file for the program's output")
    parser.add_argument("--timeout", type=float, default=30, help="longest wait, seconds")
    parser.add_argument(
        "--trend",
        default="Demo.CCCTag10,Demo.Tag2,Demo.Bad",
        help="tags whose rows are selected for the trend, comma-separated ('' for none)",
    )
    parser.add_argument(
        "--trend-seconds", type=float, default=150, help="how long the trend collects first"
    )
    options = parser.parse_args(argv)

    with DesktopSession() as session:
        program = session.run(options.exe, options.workdir, log_path=options.log)
        window = program.wait_for_window("OPC Data Widget", options.timeout)
        table = find(window, "table", "Tag table")
        with open(options.csv, encoding="utf-8-sig") as file:
            tags = sum(1 for line in file if line.strip()) - 1
        import_tags(program, window, options.csv, options.timeout)
        wait_for_rows(table, min(tags, 10), options.timeout)
        press(find(window, "push button", "Start Collecting"))
        wait_for_quality(table, "Good", options.timeout)
        wait_for(
            "the status bar to report writes",
            lambda: find_all(window, "label", "DB Status: Writing successfully"),
            options.timeout,
        )
        # A few more cycles, so that the waveforms have moved away from their start values.
        time.sleep(2)
        wanted = [tag for tag in options.trend.split(",") if tag]
        if wanted:
            # The chart names its tags in table order.
            shown = select_rows_by_tag(table, wanted)
            find(window, "chart", "Trend: " + ", ".join(shown), timeout=options.timeout)
            # The trend draws each new value: let it run long enough to show a few periods.
            time.sleep(options.trend_seconds)
        session.screenshot(options.out, extents(window))
        press(find(window, "push button", "Stop Collecting"))
        wait_for(
            "the collector to stop",
            lambda: find_all(window, "push button", "Start Collecting"),
            15,
        )
    print(f"wrote {options.out}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except DriveError as error:
        print(f"atspi_drive: {error}", file=sys.stderr)
        sys.exit(1)
