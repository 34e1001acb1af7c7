#!/usr/bin/env python3
"""Desktop-matrix tests of `kestreye scan` where people write longer text in
LibreOffice: a cell of Calc being edited and then selected, and a text box of
Impress. Three lines are typed, with an emoji, and the caret is put after
"looks" on the second; LibreOffice is asked through its UNO socket what it
holds. Calc's sheet claims two billion cells and builds one for each cell an
accessibility client asks for: after the scans, Calc must still answer at
once and must not have grown."""

import os
import subprocess
import time

import apps
import harness

LINES = ("Dear Ann, thanks for the notes.", "The plan 😀 looks good to me.", "See you on Monday.")
TEXT = "\n".join(LINES)
# After "looks" on the second line: 31 + 1 + 16 characters in, of 79.
CARET_KEYS = ["ctrl+Home"] + ["Right"] * 48
# The text as one value (cut at 50 characters) and its cursor line.
VALUE = 'value: "Dear Ann, thanks for the notes.\\nThe plan 😀 looks g..."'
CURSOR = 'cursor: "...e notes.\\nThe plan 😀 looks| good to me.\\nSee you on M..." (pos 48/79, line 1)'
AREA = f"[TextArea] {VALUE} (FOCUSED)"
# No paragraph of the text shows as a field of its own.
NO_PARAGRAPHS = ['value: "The plan', 'value: "See you']
# What a scan may cost the application: an answer within 100 ms, and 20 MB.
ANSWER_S, GROWTH_KB = 0.1, 20 * 1024


class Office(apps.Writer):
    """A LibreOffice module on a new document, with a UNO socket."""

    def open(self):
        self.wait_window(self.title)
        # soffice execs oosplash, which runs (and on a new profile restarts)
        # soffice.bin: wait for a child of it on the bus.
        self.office_pid = harness.wait_until(f"{type(self).__name__} on the accessibility bus", lambda: next((
            int(child) for child in subprocess.run(
                ["pgrep", "-P", str(self.process.pid)], capture_output=True, text=True).stdout.split()
            if subprocess.run([harness.WAIT_ACCESSIBLE, child]).returncode == 0), None), every=0.2)
        self.model = harness.wait_until(f"{type(self).__name__}'s document", self.component)

    def component(self):
        """The document, from LibreOffice; None while it cannot tell."""
        document = harness.uno_document(self.pipe)
        try:
            return document if document is not None and hasattr(document, self.model_kind) else None
        except Exception:  # noqa: BLE001 - busy, or gone meanwhile
            return None

    def landed(self, state):
        """`state` is a function of the document that tells it has landed."""
        harness.wait_until(state.__doc__, lambda: state(self.model))

    def scan(self, run):
        # LibreOffice hands an edit to its accessibility tree from an idle
        # callback, after its model: the first scans may see the old state.
        deadline = time.monotonic() + 20
        while self.expected not in (reply := run.scan()).block and time.monotonic() < deadline:
            time.sleep(0.2)
        return reply

    def resident_kb(self):
        with open(f"/proc/{self.office_pid}/status") as status:
            return int(status.read().split("VmRSS:")[1].split()[0])

    def answer_s(self):
        """The fastest of three answers to an accessibility call (the root's
        child count), asked as any client would, outside kestreye."""
        from gi.repository import Gio, GLib  # python3-gi
        address = subprocess.run(
            ["dbus-send", "--session", "--print-reply=literal", "--dest=org.a11y.Bus", "/org/a11y/bus",
             "org.a11y.Bus.GetAddress"], capture_output=True, text=True, check=True, timeout=30).stdout.strip()
        bus = Gio.DBusConnection.new_for_address_sync(
            address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)

        def call(name, path, interface, method, args=None):
            return bus.call_sync(name, path, interface, method, args, None,
                                 Gio.DBusCallFlags.NONE, 5000, None).unpack()
        names = [name for name, _ in call("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                                          "org.a11y.atspi.Accessible", "GetChildren")[0]]
        name = next((name for name in names if call(
            "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetConnectionUnixProcessID", GLib.Variant("(s)", (name,)))[0] == self.office_pid), None)
        harness.check(name is not None, f"{type(self).__name__} left the accessibility bus")
        times = []
        for _ in range(3):
            started = time.monotonic()
            try:
                call(name, "/org/a11y/atspi/accessible/root", "org.freedesktop.DBus.Properties", "Get",
                     GLib.Variant("(ss)", ("org.a11y.atspi.Accessible", "ChildCount")))
            except GLib.Error as fault:
                raise harness.Failure(f"{type(self).__name__} gave no answer: {fault.message}") from None
            times.append(time.monotonic() - started)
        return min(times)


class Calc(Office):
    module, title, model_kind = "--calc", r"LibreOffice Calc$", "getSheets"
    expected = ""


class Impress(Office):
    module, title, model_kind = "--impress", r"LibreOffice Impress$", "getDrawPages"
    expected = ""

    def open(self):
        super().open()
        # A new presentation opens with a template dialog in front.
        find = lambda: subprocess.run(  # noqa: E731
            ["xdotool", "search", "--onlyvisible", "--name", "^Select a Template$"],
            capture_output=True, text=True, timeout=30).stdout.split()
        harness.focus_window(harness.wait_until("Impress's template dialog", find)[0])
        harness.keys("Escape")
        harness.wait_until("the template dialog closed", lambda: not find())
        harness.focus_window(self.window)


def save(run, case):
    """With KESTREYE_MATRIX_CASES set to a folder, keeps a recording of the
    desktop there (`case`.json) with its replay (`case`.reply)."""
    recording, reply = run.record()
    harness.check(reply.success, f"replay failed: {reply!r}")
    if os.environ.get("KESTREYE_MATRIX_CASES"):
        for suffix, data in ((".json", recording), (".reply", reply.raw)):
            with open(os.path.join(os.environ["KESTREYE_MATRIX_CASES"], case + suffix), "wb") as file:
                file.write(data)


def scans_do_no_harm(run, app, expected):
    """Three scans that each read `expected`; then the application answers
    an accessibility call at once and has not grown. A wrong reading is
    told together with the harm the scans did."""
    before, faults = app.resident_kb(), []
    for _ in range(3):
        reply = app.scan(run)
        for key, value in expected.items():
            try:
                seen = reply.seen(key, value)
            except IndexError:  # a short block
                seen = None
            if seen != value:
                faults.append(f"{key}:\n  expected: {value!r}\n  actual:   {seen!r}")
        if faults:
            break
    time.sleep(1)  # What a scan set off shows within a second: 3.7 GB a minute.
    try:
        answer = app.answer_s()
        if answer >= ANSWER_S:
            faults.append(f"{type(app).__name__} answered after {answer:.3f} s")
    except harness.Failure as fault:
        faults.append(str(fault))
    grown = app.resident_kb() - before
    if grown >= GROWTH_KB:
        faults.append(f"{type(app).__name__} grew by {grown // 1024} MB")
    harness.check(not faults, "\n".join(faults))


def type_lines(new_line):
    for i, line in enumerate(LINES):
        harness.type_text(line)
        if i + 1 < len(LINES):
            harness.keys(new_line)


def test_calc(run, app_class):
    """A1 being edited, then selected."""
    harness.bind_emoji()
    app = run.launch(app_class)
    app.open()
    app.model.getCurrentController().getFrame().getComponentWindow().setFocus()
    # Typing starts entering A1, where Ctrl+Enter starts a new paragraph and
    # the arrow keys would leave the cell; F2 turns it to editing, where they
    # move the caret.
    type_lines("ctrl+Return")
    harness.keys("F2")
    # Calc takes its time to switch: keys that come meanwhile are lost.
    time.sleep(1)
    harness.keys(*CARET_KEYS)
    app.expected = CURSOR
    scans_do_no_harm(run, app, {0: f'Focused: {AREA} in "Cell A1"', 1: CURSOR,
                                "marked": [AREA + harness.MARK], "absent": NO_PARAGRAPHS})
    save(run, "libreoffice-calc-edit")
    # Enter stores the text and moves down; Up selects A1 again.
    harness.keys("Return")

    def stored(document):
        """A1 holding the three lines"""
        return document.getSheets().getByIndex(0).getCellByPosition(0, 0).getString() == TEXT
    app.landed(stored)
    harness.keys("Up")
    app.expected = 'Focused: [Cell] "A1"'
    scans_do_no_harm(run, app, {0: f'Focused: [Cell] "A1" {VALUE} (FOCUSED) in "Sheet Sheet1"',
                                "absent": ["\ncursor:"]})
    save(run, "libreoffice-calc-cell")


def test_impress(run, app_class):
    """The subtitle box of the first slide."""
    harness.bind_emoji()
    app = run.launch(app_class)
    app.open()
    page = app.model.getDrawPages().getByIndex(0)
    subtitle = next(page.getByIndex(i) for i in range(page.getCount())
                    if page.getByIndex(i).getShapeType() == "com.sun.star.presentation.SubtitleShape")
    app.model.getCurrentController().getFrame().getComponentWindow().setFocus()
    app.model.getCurrentController().select(subtitle)

    def selected(document):
        """the subtitle selected"""
        chosen = document.getCurrentController().getSelection()
        return chosen is not None and chosen.getCount() == 1 and chosen.getByIndex(0) == subtitle
    app.landed(selected)
    # Enter edits the selected box, in the main loop's next turn: keys that
    # come before are lost. In the box, Enter starts a new paragraph.
    harness.keys("Return")
    time.sleep(1)
    type_lines("Return")

    def typed(_):
        """the subtitle holding the three lines"""
        return subtitle.getString() == TEXT
    try:
        app.landed(typed)
    except harness.Failure as fault:
        raise harness.Failure(f"{fault}; it holds {subtitle.getString()!r}") from None
    harness.keys(*CARET_KEYS)
    app.expected = CURSOR
    scans_do_no_harm(run, app, {0: f'Focused: {AREA} in "PresentationSubtitle "', 1: CURSOR,
                                "marked": [AREA + harness.MARK], "absent": NO_PARAGRAPHS})
    save(run, "libreoffice-impress")


if __name__ == "__main__":
    raise SystemExit(harness.main({
        "calc": (Calc, {"cell": test_calc, "hold": harness.held(test_calc)}),
        "impress": (Impress, {"textbox": test_impress, "hold": harness.held(test_impress)})}))
