#!/usr/bin/env python3
"""Desktop-matrix tests of `kestreye scan` on a GTK 4 form and a Qt 6 form of
ours, which print their own state (window, focus, each field's length and
caret), and on LibreOffice Writer, asked through its UNO socket what its
document holds. Each test is an application and steps (see Run.steps)."""

import os
import subprocess
import sys
import time

import harness
from harness import MARK, SECRET

HERE = os.path.dirname(os.path.abspath(__file__))
# "a😀b" with the caret between the emoji and "b": Qt and LibreOffice count
# that offset as 3 (UTF-16 units), GTK as 2 (code points); the user sees 2.
TYPED = "a😀b"
CURSOR = 'cursor: "a😀|b" (pos 2/3, line 0)'
EMAIL = '[TextField] "Email:" placeholder: "name@example.com"'
TYPED_EMAIL = EMAIL.replace(" placeholder", ' value: "a😀b" placeholder')


def fields(focus, email=EMAIL):
    here = {focus: " (FOCUSED)" + MARK}
    return [harness.FORM_HEADER, f"  1. {email}{here.get('email', '')}",
            f'  2. [TextField] "Password:"{here.get("password", "")}',
            f'  3. [Dropdown] "Region:" value: "Europe"{here.get("region", "")}']


def secret_typed(*after):
    return (["key Tab"], "focus password", {}), (["type " + SECRET], (
        f"entry password length={len(SECRET)} caret={len(SECRET)}"), {}), *after


FORM_TESTS = {
    # The focused field, its cursor after an emoji, the form fields with the
    # marker and the chosen option; the password typed before shows nowhere.
    "email": secret_typed(
        (["key shift+Tab"], "focus email", {}),
        (["type " + TYPED, "key Left"], "entry email length=3 caret=2 text=" + TYPED, {
            0: "Focused: " + TYPED_EMAIL + " (FOCUSED)", 1: CURSOR,
            harness.FORM_HEADER: fields("email", TYPED_EMAIL), "Nearby: ": "@nearby"})),
    # GTK 4 puts the focus on a button inside the drop-down.
    "dropdown": [(["key Tab Tab"], "focus region", {
        0: 'Focused: [Dropdown] "Region:" value: "Europe" (FOCUSED)',
        harness.FORM_HEADER: fields("region")})],
    # Nowhere: not in a scan, its stderr, a recording or its replay.
    "password": secret_typed(
        ([], None, {0: 'Focused: [TextField] "Password:" (FOCUSED)', "absent": ["\ncursor:"]}),
        (["key shift+Tab"], "focus email", {}), (["record"], None, {})),
}


class Form(harness.App):
    """A form of ours, started with its toolkit's switch in `environment`."""

    def launch(self):
        self.start([sys.executable, os.path.join(HERE, self.script)], trace=True,
                   env=dict(os.environ, **self.environment))

    def open(self, registered=True):
        """Its window focused; with `registered`, its email field and the bus too."""
        self.wait_trace_window({"active 1", "focus email"} if registered else {"active 1"})
        if registered:
            self.wait_registered()



class Gtk4Form(Form):
    script = "gtk4_form.py"
    # A bare session has no desktop to pick GTK 4's accessibility backend.
    environment = {"GTK_A11Y": "atspi"}
    switch, case = "GTK_A11Y=atspi", "gtk4-form"
    # Without its switch GTK 4 still finds the accessibility bus and registers
    # some 0.3 s after its window shows; "none" is a GTK 4 kept off the bus.
    environment_off = {"GTK_A11Y": "none"}
    # The drop-down's hidden "(None)" label is not among them.
    nearby = ['Nearby: "Welcome to the GTK 4 form", "Email:", "Password:", "Region:", '
              '"Europe", "Cancel", "Sign In"']


class Qt6Form(Form):
    script = "qt6_form.py"
    environment = {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"}
    switch, case = "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1", "qt6-form"
    nearby = []  # Its fields are children of the window: no context.


Gtk4Form.others, Qt6Form.others = [Qt6Form.switch], [Gtk4Form.switch]


class Writer(harness.App):
    """LibreOffice Writer on a new document, with a UNO socket."""

    case = "libreoffice-writer"
    module = "--writer"

    def launch(self):
        # No tip of the day, no first-start wizard, no "what's new" bar.
        os.makedirs(os.path.join(self.home, "user"))
        items = "".join(f'<item oor:path="/org.openoffice.{path}"><prop oor:name="{prop}" '
                        f'oor:op="fuse"><value>{value}</value></prop></item>\n' for path, prop, value in (
                            ("Office.Common/Misc", "ShowTipOfTheDay", "false"),
                            ("Office.Common/Misc", "FirstRun", "false"),
                            ("Setup/Office", "ooSetupInstCompleted", "true"),
                            ("Setup/Product", "ooSetupLastVersion", "99.0")))
        with open(os.path.join(self.home, "user", "registrymodifications.xcu"), "w") as xcu:
            xcu.write('<?xml version="1.0" encoding="UTF-8"?>\n<oor:items xmlns:oor='
                      f'"http://openoffice.org/2001/registry">\n{items}</oor:items>\n')
        self.pipe = f"kestreye-matrix-{os.getpid()}"
        # gtk3 is what it picks on GNOME.
        self.start(["soffice", self.module, "--norestore", "--nologo",
                    f"-env:UserInstallation=file://{self.home}",
                    f"--accept=pipe,name={self.pipe};urp;"],
                   env=dict(os.environ, SAL_USE_VCLPLUGIN="gtk3"))

    def open(self):
        self.wait_window(r"LibreOffice Writer$")
        # soffice execs oosplash, which runs (and on a new profile restarts)
        # soffice.bin: wait for a child of it on the bus.
        harness.wait_until("Writer on the accessibility bus", lambda: any(
            subprocess.run([harness.WAIT_ACCESSIBLE, child]).returncode == 0 for child in
            subprocess.run(["pgrep", "-P", str(self.process.pid)], capture_output=True,
                           text=True).stdout.split()), every=0.2)
        harness.wait_until("Writer's document", lambda: self.document(focus=True) == ("", 0))

    def document(self, focus=False):
        """The document's text and caret offset in code points, from Writer;
        None while it cannot tell. `focus` first gives the document the focus."""
        document = harness.uno_document(self.pipe)
        try:
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

    def landed(self, state):
        try:
            harness.wait_until(f"{state!r} in Writer", lambda: self.document() == state)
        except harness.Failure as fault:
            raise harness.Failure(f"{fault}; Writer holds {self.document()!r}") from None

    def scan(self, run):
        # Writer hands an edit to its accessibility tree after its document
        # model, from an idle callback: the first scans may see the old one.
        deadline = time.monotonic() + 10
        while TYPED not in (reply := run.scan()).lines[0] and time.monotonic() < deadline:
            time.sleep(0.1)
        return reply


PARAGRAPH = '[TextArea] value: "a😀b" (FOCUSED)'
# One key at a time: Writer can take a key typed right after another ahead of
# it (it once held "😀ab"). The paragraph is a text area with its cursor after
# the emoji, the one marked form field; toolbar toggles are not form fields.
WRITER_STEPS = [(["type " + TYPED[n - 1]], (TYPED[:n], n), {}) for n in (1, 2, 3)] + [
    (["key Left"], (TYPED, 2), {
        0: f'Focused: {PARAGRAPH} in "Untitled 1 - LibreOffice Document"', 1: CURSOR,
        "marked": [PARAGRAPH + MARK], "absent": ["[CheckBox]"]})]
TESTS = {name: harness.steps_test(steps, name == "email") for name, steps in FORM_TESTS.items()}
TESTS.update(not_enabled=harness.test_not_enabled, hold=harness.held(TESTS["email"]))
writer = harness.steps_test(WRITER_STEPS, save=True)

if __name__ == "__main__":
    raise SystemExit(harness.main({
        "gtk4": (Gtk4Form, TESTS), "qt6": (Qt6Form, TESTS),
        "writer": (Writer, {"document": writer, "hold": harness.held(writer)})}))
