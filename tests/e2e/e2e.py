#!/usr/bin/env python3
"""End-to-end tests of `kestreye scan` against the live GTK3 demo and a Qt 5
form, each test inside its own desktop (standard library only):

    scripts/session python3 tests/e2e/e2e.py --kestreye BIN --demo BIN \
        [--record BIN --replay BIN] TEST

A test drives the application with xdotool and waits on the application's own
word (its trace lines, its AT-SPI registration), never on a reply of kestreye.
"""

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # Nothing written into the source tree.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "matrix"))
import harness  # noqa: E402
from harness import (Failure, Lines, Reply, check, check_equal, focus_window,  # noqa: E402
                     keys, type_text, wait_accessible)

EMAIL = "ann@example.com"
# Distinctive enough that no other text of the pane or the block contains it;
# QT_SECRET is the Qt form's password.
SECRET = "Qx7-umbrella-Zirkon-4417"
QT_SECRET = "Qx7-secret"
# A thumbs-up with a skin tone is one character of two code points: the caret
# after it is at 6 characters, 7 code points.
EMOJI_TEXT = "héllo👍🏽x"

EMAIL_FIELD = '[TextField] "Email:" value: "ann@example.com" placeholder: "name@example.com"'
FOCUSED_EMAIL = "Focused: " + EMAIL_FIELD + ' (FOCUSED) in "Sign in"'
FOCUSED_PASSWORD = 'Focused: [TextField] "Password:" (FOCUSED) in "Sign in"'
ACTIONS = 'Actions: "Remember me", "Help", "Cancel", "Sign In"'
NEARBY = ('Nearby: "Welcome back", "Sign in to your Kestrel account.", '
          '"Email:", "Password:", "Region:", "Notes:", "Forgot your password?"')
FORM = ["Form fields (tab order):", "  1. {0}{1}", '  2. [TextField] "Password:"{2}',
        '  3. [Dropdown] "Region:" value: "Europe"', '  4. [CheckBox] "Remember me"',
        '  5. [TextArea] "Notes:"']
HERE_MARK = " (FOCUSED) ← you are here"


# The whole scan answers within SCAN_DEADLINE (2 s); the margin covers
# starting the process on a loaded machine.
DEADLINE_S = 2.5
EMPTY_EMAIL = 'Focused: [TextField] "Email:" placeholder: "name@example.com" (FOCUSED)'


class SilentSocket:
    """A bus address whose socket accepts every connection (the kernel does,
    for a listening socket) and never answers a byte."""

    def __init__(self, folder):
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.socket.bind(os.path.join(folder, "silent"))
        self.socket.listen(64)
        self.address = "unix:path=" + os.path.join(folder, "silent")


def form(focus, email=EMAIL_FIELD):
    return [line.format(email, *(HERE_MARK if i == focus else "" for i in (1, 2))) for line in FORM]


def entry(name, length, caret, bound=None):
    return f"entry {name} length={length} caret={caret} bound={caret if bound is None else bound}"


# Each test: the application ("demo FOCUS" or "qt5 FOCUS") and its steps. A
# step is (inputs, the trace line that says they landed, expectations): an
# input types text, presses keys or binds keysyms to spare keycodes for the
# whole session ("type TEXT", "key KEYS", "bind KEYSYMS"; see bind_emoji); an
# expectation is keyed by a line's index, a section's first line, or "block".
TESTS = {
    "email_form": ("demo email", [
        (["type " + EMAIL], entry("email", 15, 15), {"block": [
            FOCUSED_EMAIL, 'cursor: "ann@example.com|" (pos 15/15, line 0)', "",
            *form(1), "", ACTIONS, "", NEARBY]}),
        # The marker follows the focus; the password has no cursor line.
        (["key Tab"], "focus password", {"block": [
            FOCUSED_PASSWORD, "", *form(2), "", ACTIONS, "", NEARBY]}),
    ]),
    "cursor_line": ("demo email", [
        (["type " + EMAIL], entry("email", 15, 15), {}),
        (["key Left Left Left"], entry("email", 15, 12),
         {1: 'cursor: "ann@example.|com" (pos 12/15, line 0)'}),
        (["key Home"], entry("email", 15, 0), {1: 'cursor: "|ann@example.com" (pos 0/15, line 0)'}),
        (["key End shift+Left shift+Left shift+Left shift+Left"], entry("email", 15, 11, 15), {
            0: "Focused: " + EMAIL_FIELD + ' (FOCUSED) selection: ".com" in "Sign in"',
            1: 'cursor: "ann@example[.com]" (selected 11-15, line 0)'}),
    ]),
    # Characters as the user sees them, not code points or UTF-16 units.
    "emoji_caret": ("demo email", [
        (["bind U1F44D U1F3FD", "type " + EMOJI_TEXT, "key Left"], entry("email", 8, 7), {
            1: 'cursor: "héllo👍🏽|x" (pos 6/7, line 0)'}),
    ]),
    "button_focus": ("demo sign-in", [
        ([], None, {"block": ['Focused: [Button] "Sign In" (FOCUSED)', "", ACTIONS, "", NEARBY]}),
    ]),
    "check_box": ("demo remember", [
        ([], None, {0: 'Focused: [CheckBox] "Remember me" (FOCUSED) in "Sign in"'}),
    ]),
    # Closed, the pop-up lists none of its items (email_form); opened, the
    # highlighted item is the focus.
    "pop_up_menu": ("demo region", [
        (["key space"], "menu-item Europe", {}),
        (["key Down"], "menu-item Americas",
         {0: 'Focused: [MenuItem] "Americas" (FOCUSED, selected) in "Region:"'}),
    ]),
    "text_area": ("demo notes", [
        # xdotool types a line feed as a key GTK ignores: press Return.
        (["type first line", "key Return", "type second"], "text notes length=17 caret=17 bound=17",
         {0: 'Focused: [TextArea] "Notes:" value: "first line\\nsecond" (FOCUSED) in "Sign in"',
          1: 'cursor: "first line\\nsecond|" (pos 17/17, line 1)'}),
        (["key ctrl+Home"], "text notes length=17 caret=0 bound=0",
         {1: 'cursor: "|first line\\nsecond" (pos 0/17, line 0)'}),
    ]),
    "password_never_shown": ("demo password", [
        (["type " + SECRET], entry("password", len(SECRET), len(SECRET)), {0: FOCUSED_PASSWORD, 1: ""}),
        (["key ctrl+a"], entry("password", len(SECRET), len(SECRET), 0), {0: FOCUSED_PASSWORD}),
        (["key shift+Tab"], "focus email",
         {"Form fields": form(1, '[TextField] "Email:" placeholder: "name@example.com"')}),
    ]),
    # Qt 5: labels from relations, the placeholder from the description.
    "qt5_form": ("qt5 notes", [([], None, {"block": [
        'Focused: [TextArea] "Notes:" value: "line one\\nline two" (FOCUSED) in "Account"',
        'cursor: "|line one\\nline two" (pos 0/17, line 0)', "", "Form fields (tab order):",
        '  1. [TextField] "Name:" value: "ann" placeholder: "Your name"',
        '  2. [TextField] "Password:"', '  3. [Dropdown] "Colour:" value: "Red"',
        '  4. [ComboBox] "Pick:" value: "one"', '  5. [CheckBox] "Subscribe"',
        '  6. [TextArea] "Notes:" value: "line one\\nline two"' + HERE_MARK, "",
        'Actions: "Name:", "Password:", "Subscribe", "Notes:"', "",
        'Nearby: "Name:", "Password:", "Colour:", "Pick:", "Notes:"']})]),
}


def window_of(process, window=None):
    """Focuses `window`, or else the first visible window of `process` once shown."""
    window = window or subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--pid",
                                       str(process.pid)], capture_output=True, text=True,
                                      check=True, timeout=60).stdout.split()[0]
    focus_window(window)
    return window


class Suite:
    def __init__(self, options):
        self.options = options
        self.apps = []
        self.replies = []
        self.recordings = []

    def start(self, what, extra=(), hidden=False):
        """Starts "demo FOCUS" or "qt5 FOCUS" (with the demo's `extra`
        options; off the bus when `hidden`), its window active and FOCUS
        focused, and returns its trace."""
        kind, focus = what.split()
        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
        if hidden:
            env["NO_AT_BRIDGE"] = "1"
        argv = ([self.options.demo, "--trace", f"--focus={focus}", *extra] if kind == "demo" else
                [sys.executable, os.path.join(os.path.dirname(__file__), "qt5_form.py"), focus])
        process = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True, env=env)
        self.apps.append(process)
        process.trace = Lines(process.stdout, kind)
        named = kind == "demo" and process.trace.wait(lambda line: line.startswith("window "))
        process.window = window_of(process, named and named.split()[1])
        process.trace.wait_all({f"focus {focus}"} | ({"active 1"} if kind == "demo" else set()))
        if not hidden:
            wait_accessible(process.pid)
        return process

    def scan(self, env=None):
        reply = Reply([self.options.kestreye, "scan"], env=env)
        self.replies.append(reply)
        check_equal(reply.status, 0, "exit status of kestreye scan")
        return reply

    def steps(self, name):
        app, steps = TESTS[name]
        trace = self.start(app).trace
        for inputs, landed, expected in steps:
            for step in inputs:
                kind, text = step.split(" ", 1)
                if kind == "type":
                    type_text(text)
                elif kind == "key":
                    keys(*text.split())
                else:
                    for symbol in text.split():
                        harness.bind_emoji(symbol)
            if landed:
                trace.wait(landed)
            reply = self.scan() if expected else None
            for key, value in expected.items():
                check_equal(reply.lines if key == "block" else reply.section(key)
                            if isinstance(key, str) else reply.lines[key], value, f"{key} after {inputs}")
        return trace

    def scan_in_time(self, env=None):
        """One scan, which must answer one line within the deadline."""
        reply = self.scan(env)
        check(reply.elapsed < DEADLINE_S, f"the scan took {reply.elapsed:.3f} s: {reply!r}")
        return reply

    def record(self):
        """Records the desktop; the live replies around it and the replay agree."""
        with tempfile.TemporaryDirectory() as folder:
            recording = os.path.join(folder, "recording.json")
            before = self.scan()
            subprocess.run([self.options.record, recording], check=True, timeout=60,
                           stdout=subprocess.DEVNULL)
            check_equal(self.scan().raw, before.raw, "two live scans around the recording")
            self.replies.append(Reply([self.options.replay, recording, "scan"]))
            check_equal(self.replies[-1].raw, before.raw, "replayed reply against the live reply")
            with open(recording, "rb") as file:
                self.recordings.append(file.read())

    def test_record_replay(self):
        self.steps("password_never_shown")
        type_text(EMAIL)
        self.apps[0].trace.wait(entry("email", 15, 15))
        keys("shift+Left", "shift+Left", "shift+Left", "shift+Left")
        self.apps[0].trace.wait(entry("email", 15, 11, 15))
        self.record()

    def test_no_bus(self):
        env = {k: v for k, v in os.environ.items() if k not in (
            "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY")}
        check_equal(self.scan(env).raw,
                    b'{"success":false,"error":"Accessibility permission not granted"}\n',
                    "reply without any bus")

    def test_stopped_application(self):
        """A stopped application costs one deadline, whether it is the focused
        one or one in the background that registered before or after it."""
        for stopped in ("focused", "first", "second"):
            apps = [self.start("demo email") for _ in range(1 if stopped == "focused" else 2)]
            focused = apps[0] if stopped == "second" else apps[-1]
            if stopped == "second":
                focus_window(focused.window)
                focused.trace.wait("active 1")
            type_text(EMAIL)
            focused.trace.wait(entry("email", 15, 15))
            victim = {"focused": focused, "first": apps[0], "second": apps[-1]}[stopped]
            victim.send_signal(signal.SIGSTOP)
            reply = self.scan()
            print(f"scan with the {stopped} application stopped: {reply.elapsed:.3f} s")
            # About 2 s is the aim; the margin absorbs a loaded machine.
            check(reply.elapsed < 4.0, f"the scan took {reply.elapsed:.3f} s")
            if stopped == "focused":  # Once it runs again, so does the next scan.
                victim.send_signal(signal.SIGCONT)
                reply = self.scan()
            check_equal(reply.lines[0], FOCUSED_EMAIL, f"focused line, {stopped} stopped")
            self.stop()

    def test_silent_bus(self):
        """A bus that accepts the connection and never answers, as the
        accessibility bus or as the session bus asked for its address."""
        with tempfile.TemporaryDirectory() as folder:
            silent = SilentSocket(folder)
            session = {k: v for k, v in os.environ.items()
                       if k not in ("AT_SPI_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY")}
            for env in (dict(os.environ, AT_SPI_BUS_ADDRESS=silent.address),
                        dict(session, DBUS_SESSION_BUS_ADDRESS=silent.address)):
                check_equal(self.scan_in_time(env).raw, b'{"success":false,"error":'
                            b'"Accessibility permission not granted"}\n', "reply of a silent bus")
            silent.socket.close()

    def test_stopped_applications(self):
        """Six stopped applications cost one deadline, whether the focus is on
        one of them or on a window that is not on the bus."""
        stopped = [self.start("demo email") for _ in range(6)]
        for process in stopped:
            process.send_signal(signal.SIGSTOP)
        reply = self.scan_in_time()
        check(not reply.success or reply.lines[0].startswith(EMPTY_EMAIL),
              f"a wrong block with the focus in a stopped application: {reply!r}")
        self.start("demo email", hidden=True)
        check_equal(self.scan_in_time().error, "No frontmost application",
                    "focus on a window that is not on the bus")

    def test_slow_application(self):
        """An application whose main loop blocks 40 ms every 5 ms is slow, not
        hung: every scan answers its focused line within the deadline."""
        self.start("demo email", ["--stall=40"])
        for _ in range(3):
            reply = self.scan_in_time()
            check(reply.lines[0].startswith(EMPTY_EMAIL), f"slow application: {reply!r}")

    def test_large_windows(self):
        """2,000 buttons, then a 5,000-row tree view, beside the focused field:
        the first scans answer right within the deadline, and so do the ones
        after them (bench/deadline_live.py times larger ones)."""
        for extra in (["--buttons=2000"], ["--rows=5000"]):
            self.start("demo email", extra)
            for _ in range(3):
                reply = self.scan_in_time()
                # The walks may be cut short on a busy machine; the focused
                # element itself must be right.
                check(reply.lines[0].startswith(EMPTY_EMAIL), f"beside {extra[0]}: {reply!r}")
            self.stop()

    def test_many_windows(self):
        """The active window listed after 69 others of its application is found."""
        self.start("demo email", ["--windows=69"])
        check_equal(self.scan_in_time().lines[0], EMPTY_EMAIL + ' in "Sign in"',
                    "focused line behind 69 windows")

    def test_widget_factory(self):
        """A large tree of another project: a text field of gtk3-widget-factory
        scans, and records and replays to the same reply."""
        factory = subprocess.Popen(["gtk3-widget-factory"], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.apps.append(factory)
        window_of(factory)
        wait_accessible(factory.pid)
        # Tab to a text field with text. The factory reports nothing of its
        # own: the scans are the only sign that the focus moved, so each Tab
        # and the whole search are bounded.
        reply, give_up = self.scan(), time.monotonic() + 60
        while not (reply.lines[0].startswith("Focused: [TextField]") and " value: " in reply.lines[0]):
            check(time.monotonic() < give_up, f"no text field with text took the focus: {reply!r}")
            before, deadline = reply.lines[0], time.monotonic() + 2.0
            keys("Tab")
            while reply.lines[0] == before and time.monotonic() < deadline:
                reply = self.scan()
        check(reply.lines[1].startswith("cursor: "), f"no cursor line: {reply!r}")
        self.record()

    def stop(self):
        for process in self.apps:
            if process.poll() is None:
                process.send_signal(signal.SIGCONT)
                process.terminate()
                process.wait(timeout=10)
        self.apps = []


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--kestreye", required=True)
    parser.add_argument("--demo", required=True)
    parser.add_argument("--record")
    parser.add_argument("--replay")
    parser.add_argument("test", choices=sorted([*TESTS, *(name[5:] for name in dir(Suite)
                                                          if name.startswith("test_"))]))
    options = parser.parse_args()
    suite = Suite(options)
    try:
        getattr(suite, "test_" + options.test, lambda: suite.steps(options.test))()
        # Whatever the test, no output shows a piece of a password.
        for output in suite.recordings + [r.raw + r.stderr for r in suite.replies]:
            for piece in (SECRET, SECRET[:8], SECRET[-8:], QT_SECRET, "●"):
                check(piece.encode() not in output, f"{piece!r} of a password shows in: {output!r}")
    except (Failure, IndexError, json.JSONDecodeError, UnicodeDecodeError,
            subprocess.SubprocessError) as fault:
        print(f"FAIL {options.test}: {fault}")
        for reply in suite.replies[-3:]:
            print(f"  reply: {reply!r}")
        for trace in [process.trace for process in suite.apps if hasattr(process, "trace")]:
            print(f"  trace (last lines): {trace.seen[-8:]}")
        return 1
    finally:
        suite.stop()
    print(f"PASS {options.test} ({len(suite.replies)} scans)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
