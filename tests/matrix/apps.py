#!/usr/bin/env python3
"""Desktop-matrix tests of `kestreye scan` on a GTK 4 form, a Qt 6 form and
LibreOffice Writer, each started as its toolkit needs in a bare session.

The two forms print their own state on standard output (window, focus, each
field's length and caret); Writer is asked through its UNO socket. The tests
wait on those, never on the tree under test.
"""

import os
import queue
import re
import subprocess
import sys
import threading
import time

import harness
from harness import Failure, check, check_equal, keys, type_text

HERE = os.path.dirname(os.path.abspath(__file__))
# "a😀b" with the caret between the emoji and "b": Qt and LibreOffice count
# that offset as 3 (UTF-16 units), GTK as 2 (code points); the user sees 2.
TYPED = "a😀b"
CURSOR = 'cursor: "a😀|b" (pos 2/3, line 0)'
# Distinctive enough that no other text of the form or the block contains it.
SECRET = "Qx7-umbrella-Zirkon-4417"
FORM_HEADER = "Form fields (tab order):"
EMAIL_FIELD = '[TextField] "Email:" value: "a😀b" placeholder: "name@example.com"'
FORM_FIELDS = ["  1. {email_field}{email}",
               '  2. [TextField] "Password:"{password}',
               '  3. [Dropdown] "Region:" value: "Europe"{region}']


def type_with_emoji():
    """Types TYPED (the emoji through the key harness.bind_emoji bound), then
    steps back over the "b"."""
    type_text(TYPED)
    keys("Left")


class TracedForm(harness.App):
    """A form of ours that reports its state in lines on standard output."""

    script = None
    environment = {}
    nearby = []  # Qt's fields are children of the window: no context.

    def launch(self):
        self.lines = queue.Queue()
        self.seen = []
        env = dict(os.environ, **self.environment)
        # Its warnings (GTK 4 on X11: "Screen coordinates not supported") go
        # to a log of its own, like the browsers' output.
        with open(os.path.join(self.home, "output.log"), "wb") as log:
            self.process = subprocess.Popen(
                [sys.executable, os.path.join(HERE, self.script)], stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=log, text=True, env=env,
                start_new_session=True)
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_line(self, matches):
        deadline = time.monotonic() + harness.WAIT_S
        while True:
            try:
                line = self.lines.get(timeout=max(deadline - time.monotonic(), 0.01))
            except queue.Empty:
                raise Failure(f"{self.name} never reported the expected state; "
                              f"last lines: {self.seen[-5:]}") from None
            if line is None:
                raise Failure(f"{self.name} exited; last lines: {self.seen[-5:]}")
            self.seen.append(line)
            if matches(line):
                return line

    def open(self):
        """The form with its window focused and the email field focused."""
        # The focus may reach the field before the window reports its id.
        pending = {"active 1", "focus email"}
        self.window = self.wait_line(
            lambda line: (pending.discard(line), line.startswith("window "))[1]).split()[1]
        harness.xdotool("windowraise", self.window)
        harness.xdotool("windowfocus", "--sync", self.window)
        if pending:
            self.wait_line(lambda line: (pending.discard(line), not pending)[1])
        self.wait_registered()

    def wait_entry(self, name, length, caret, text=None):
        expected = f"entry {name} length={length} caret={caret}"
        if text is not None:
            expected += f" text={text}"
        self.wait_line(lambda line: line == expected)


class Gtk4Form(TracedForm):
    name = "the GTK 4 form"
    case = "gtk4-form"
    script = "gtk4_form.py"
    # The drop-down's hidden "(None)" label is not among them.
    nearby = ['Nearby: "Welcome to the GTK 4 form", "Email:", "Password:", "Region:", '
              '"Europe", "Cancel", "Sign In"']
    # A bare session has no desktop to pick GTK 4's accessibility backend.
    environment = {"GTK_A11Y": "atspi"}
    switch = "GTK_A11Y=atspi"


class Qt6Form(TracedForm):
    name = "the Qt 6 form"
    case = "qt6-form"
    script = "qt6_form.py"
    environment = {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"}
    switch = "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"


def form_fields(reply, focus, email_field=EMAIL_FIELD):
    marker = " (FOCUSED) ← you are here"
    return check_equal(reply.section(FORM_HEADER)[1:], [
        line.format(email_field=email_field,
                    **{field: marker if focus == field else ""
                       for field in ("email", "password", "region")})
        for line in FORM_FIELDS
    ], "form fields")


def save_case(run, name):
    """With KESTREYE_MATRIX_CASES set to a folder, keeps a recording of the
    desktop as it stands there as NAME.json, with its replay as NAME.reply."""
    folder = os.environ.get("KESTREYE_MATRIX_CASES")
    if not folder:
        return b""
    saved, replayed = run.record()
    with open(os.path.join(folder, name + ".json"), "wb") as file:
        file.write(saved)
    with open(os.path.join(folder, name + ".reply"), "wb") as file:
        file.write(replayed.raw)
    return saved


def test_email(run, app_class):
    """The focused field, its cursor after an emoji, and the form fields with
    the marker and the dropdown's chosen option; the password typed before
    shows nowhere."""
    harness.bind_emoji()
    app = run.launch(app_class)
    app.open()
    keys("Tab")
    app.wait_line(lambda line: line == "focus password")
    type_text(SECRET)
    app.wait_entry("password", len(SECRET), len(SECRET))
    keys("shift+Tab")
    app.wait_line(lambda line: line == "focus email")
    type_with_emoji()
    app.wait_entry("email", 3, 2, TYPED)
    reply = run.scan()
    check_equal(reply.lines[0], "Focused: " + EMAIL_FIELD + " (FOCUSED)", "focused line")
    check_equal(reply.lines[1], CURSOR, "cursor line after the emoji")
    form_fields(reply, "email")
    check_equal(reply.section("Nearby: "), app.nearby, "nearby texts")
    run.check_secret_hidden(SECRET, [save_case(run, app_class.case)])


def test_dropdown(run, app_class):
    """A drop-down with the focus reads as the drop-down, with its chosen
    option (GTK 4 puts the focus on a button inside it)."""
    app = run.launch(app_class)
    app.open()
    keys("Tab", "Tab")
    app.wait_line(lambda line: line == "focus region")
    reply = run.scan()
    check_equal(reply.lines[0], 'Focused: [Dropdown] "Region:" value: "Europe" (FOCUSED)',
                "focused line")
    form_fields(reply, "region", '[TextField] "Email:" placeholder: "name@example.com"')


def test_password(run, app_class):
    """A typed password shows nowhere: not in a scan, not on stderr, not in a
    recording or its replay."""
    app = run.launch(app_class)
    app.open()
    keys("Tab")
    app.wait_line(lambda line: line == "focus password")
    type_text(SECRET)
    app.wait_entry("password", len(SECRET), len(SECRET))
    reply = run.scan()
    check_equal(reply.lines[0], 'Focused: [TextField] "Password:" (FOCUSED)', "focused line")
    check(len(reply.lines) < 2 or not reply.lines[1].startswith("cursor:"),
          f"a cursor line for a password: {reply!r}")
    keys("shift+Tab")
    app.wait_line(lambda line: line == "focus email")
    saved, replayed = run.record()
    check(replayed.success, f"replay failed: {replayed!r}")
    run.check_secret_hidden(SECRET, [saved])
    for reply in run.replies:
        check("●" not in reply.block and "•" not in reply.block, f"bullets show: {reply!r}")


class Writer(harness.App):
    """LibreOffice Writer on a new document, with a UNO socket to ask it what
    it holds."""

    name = "LibreOffice Writer"

    def launch(self):
        # No tip of the day, no first-start wizard, no "what's new" bar.
        os.makedirs(os.path.join(self.home, "user"))
        items = [("/org.openoffice.Office.Common/Misc", "ShowTipOfTheDay", "false"),
                 ("/org.openoffice.Office.Common/Misc", "FirstRun", "false"),
                 ("/org.openoffice.Setup/Office", "ooSetupInstCompleted", "true"),
                 ("/org.openoffice.Setup/Product", "ooSetupLastVersion", "99.0")]
        with open(os.path.join(self.home, "user", "registrymodifications.xcu"), "w") as xcu:
            xcu.write('<?xml version="1.0" encoding="UTF-8"?>\n<oor:items xmlns:oor='
                      '"http://openoffice.org/2001/registry">\n')
            for path, prop, value in items:
                xcu.write(f'<item oor:path="{path}"><prop oor:name="{prop}" oor:op="fuse">'
                          f'<value>{value}</value></prop></item>\n')
            xcu.write("</oor:items>\n")
        self.pipe = f"kestreye-matrix-{os.getpid()}"
        # gtk3 is what it picks on GNOME. soffice execs oosplash, which runs
        # (and on a new profile restarts) soffice.bin.
        self.start(["soffice", "--writer", "--norestore", "--nologo",
                    f"-env:UserInstallation=file://{self.home}",
                    f"--accept=pipe,name={self.pipe};urp;"],
                   env=dict(os.environ, SAL_USE_VCLPLUGIN="gtk3"))

    def wait_registered(self):
        """Waits until soffice.bin, the child of oosplash, is on the bus."""
        bus = harness.accessibility_bus()

        def registered():
            for pid in harness.registered_pids(bus):
                try:
                    with open(f"/proc/{pid}/stat") as stat:
                        parent = int(stat.read().rsplit(")", 1)[1].split()[1])
                except (OSError, ValueError, IndexError):
                    continue
                if parent == self.process.pid:
                    return True
            return False

        harness.wait_until("Writer on the accessibility bus", registered, every=0.2)

    def document(self, focus=False):
        """The text and the caret offset (in code points) of the open
        document, from Writer itself; None while it cannot tell. With
        `focus`, first gives the document the keyboard focus inside Writer."""
        import uno  # python3-uno: only Writer's tests need it.
        try:
            local = uno.getComponentContext()
            resolver = local.ServiceManager.createInstanceWithContext(
                "com.sun.star.bridge.UnoUrlResolver", local)
            context = resolver.resolve(
                f"uno:pipe,name={self.pipe};urp;StarOffice.ComponentContext")
            desktop = context.ServiceManager.createInstanceWithContext(
                "com.sun.star.frame.Desktop", context)
            document = desktop.getCurrentComponent()
            if document is None or not hasattr(document, "getText"):
                return None
            if focus:
                document.getCurrentController().getFrame().getComponentWindow().setFocus()
            caret = document.getCurrentController().getViewCursor()
            before = document.getText().createTextCursorByRange(caret.getStart())
            before.gotoStart(True)
            return document.getText().getString(), len(before.getString())
        except Exception:  # noqa: BLE001 - not up yet, or busy
            return None


def wait_document(app, text, caret):
    try:
        harness.wait_until(f"{text!r} in Writer", lambda: app.document() == (text, caret))
    except Failure as fault:
        raise Failure(f"{fault}; Writer holds {app.document()!r}") from None


def test_writer(run, app_class):
    """The document's paragraph is a text area with its cursor after an
    emoji, marked among the form fields."""
    harness.bind_emoji()
    app = run.launch(app_class)
    app.wait_window(r"LibreOffice Writer$")
    app.wait_registered()
    harness.wait_until("Writer's document", lambda: app.document(focus=True) == ("", 0))
    # One key at a time: Writer can take a key typed right after another
    # ahead of it (it once held "😀ab").
    for typed in range(1, len(TYPED) + 1):
        type_text(TYPED[typed - 1])
        wait_document(app, TYPED[:typed], typed)
    keys("Left")
    wait_document(app, TYPED, 2)
    # Writer hands an edit to its accessibility tree after its document
    # model, from an idle callback: the first scans may still see the old
    # paragraph.
    deadline = time.monotonic() + 10
    reply = run.scan()
    while TYPED not in reply.lines[0] and time.monotonic() < deadline:
        time.sleep(0.1)
        reply = run.scan()
    paragraph = '[TextArea] value: "a😀b" (FOCUSED)'
    check_equal(reply.lines[0],
                f'Focused: {paragraph} in "Untitled 1 - LibreOffice Document"', "focused line")
    check_equal(reply.lines[1], CURSOR, "cursor line after the emoji")
    fields = reply.section(FORM_HEADER)
    check(any(re.fullmatch(r"  \d+\. " + re.escape(paragraph + " ← you are here"), line)
              for line in fields), f"the paragraph is not the marked form field: {fields}")
    # Neither toolbar toggles nor the font box's arrow are form fields.
    check(not any("[CheckBox]" in line for line in fields), f"check boxes in: {fields}")
    save_case(run, "libreoffice-writer")


def test_not_enabled(run, app_class):
    """Started without its switch in a session with accessibility off, the
    form is not on the bus: the reply stays the error, and one log line names
    the form's process and its own toolkit's switch."""
    app = app_class()
    app.environment = {}
    run.apps.append(app)
    app.launch()
    pending = {"active 1"}
    app.window = app.wait_line(
        lambda line: (pending.discard(line), line.startswith("window "))[1]).split()[1]
    harness.xdotool("windowraise", app.window)
    harness.xdotool("windowfocus", "--sync", app.window)
    if pending:
        app.wait_line(lambda line: line == "active 1")
    reply = run.scan()
    check_equal(reply.raw, b'{"success":false,"error":"No frontmost application"}\n',
                "reply without the form on the bus")
    advice = [line for line in reply.stderr.decode().splitlines()
              if "is not on the accessibility bus" in line]
    check_equal(len(advice), 1, f"advice lines on stderr {reply.stderr!r}")
    check(f"(pid {app.process.pid})" in advice[0] and app_class.switch in advice[0],
          f"the advice names neither the form nor its switch: {advice[0]!r}")
    others = [form.switch for form in (Gtk4Form, Qt6Form) if form is not app_class]
    check(not any(switch in advice[0] for switch in others),
          f"the advice names another toolkit's switch: {advice[0]!r}")


test_not_enabled.accessibility_off = True

TESTS = {"email": test_email, "dropdown": test_dropdown, "password": test_password,
         "not_enabled": test_not_enabled,
         "hold": harness.held(test_email)}

if __name__ == "__main__":
    raise SystemExit(harness.main({
        "gtk4": (Gtk4Form, TESTS), "qt6": (Qt6Form, TESTS),
        "writer": (Writer, {"document": test_writer, "hold": harness.held(test_writer)})}))
