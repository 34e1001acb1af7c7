#!/usr/bin/env python3
"""End-to-end tests of `kestreye scan` against the live GTK3 demo application.

Each test runs inside its own desktop (scripts/session): it starts
kestreye-demo, drives it with xdotool, waits on the demo's --trace lines for
keys to land and on the AT-SPI registry for the demo to register (never on
fixed sleeps, never on a reply of kestreye), then scans once and checks the
reply.

    scripts/session python3 tests/e2e/e2e.py --kestreye BIN --demo BIN \
        [--record BIN --replay BIN] TEST

Standard library only.
"""

import argparse
import json
import os
import queue
import signal
import subprocess
import sys
import tempfile
import threading
import time

# How long to wait for the application to react before calling a test failed.
# A wait that ends early is the normal case; these only bound a broken run.
WAIT_S = 15.0
WAIT_ACCESSIBLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                               "scripts", "wait-accessible")

EMAIL = "ann@example.com"
# Distinctive enough that no other text of the pane or the block contains it.
SECRET = "Qx7-umbrella-Zirkon-4417"

EMAIL_FIELD = '[TextField] "Email:" value: "ann@example.com" placeholder: "name@example.com"'
FOCUSED_EMAIL_PREFIX = "Focused: " + EMAIL_FIELD + " (FOCUSED)"
FORM_HEADER = "Form fields (tab order):"
ACTIONS = 'Actions: "Remember me", "Help", "Cancel", "Sign In"'
NEARBY = ('Nearby: "Welcome back", "Sign in to your Kestrel account.", '
          '"Email:", "Password:", "Region:", "Notes:", "Forgot your password?"')


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise Failure(f"{what}:\n  expected: {expected!r}\n  actual:   {actual!r}")


class Reply:
    """One run of kestreye: its raw output, parsed and checked for shape."""

    def __init__(self, argv, env=None):
        started = time.monotonic()
        run = subprocess.run(argv, capture_output=True, env=env, timeout=60)
        self.elapsed = time.monotonic() - started
        self.status = run.returncode
        self.raw = run.stdout
        self.stderr = run.stderr
        text = run.stdout.decode("utf-8")  # Fails the test on invalid UTF-8.
        check(text.endswith("\n") and text.count("\n") == 1,
              f"the reply is not exactly one line: {text!r}")
        self.json = json.loads(text)
        check(isinstance(self.json, dict) and isinstance(self.json.get("success"), bool),
              f"no boolean success member: {text!r}")
        key = "ui_block" if self.json["success"] else "error"
        check(set(self.json) == {"success", key} and isinstance(self.json[key], str),
              f"unexpected members: {text!r}")
        self.success = self.json["success"]
        self.block = self.json.get("ui_block", "")
        self.error = self.json.get("error", "")
        self.lines = self.block.split("\n")

    def __repr__(self):
        return self.raw.decode("utf-8", "replace").rstrip("\n")

    def section(self, header):
        """The lines of the section that starts with `header`, up to the next empty line."""
        for i, line in enumerate(self.lines):
            if line.startswith(header):
                end = i
                while end < len(self.lines) and self.lines[end] != "":
                    end += 1
                return self.lines[i:end]
        return []


class Demo:
    """kestreye-demo with --trace; its trace lines arrive on a queue."""

    def __init__(self, binary, focus):
        self.process = subprocess.Popen([binary, "--trace", f"--focus={focus}"],
                                        stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._pump, daemon=True).start()
        try:
            self.window = self.wait_for(lambda line: line.startswith("window ")).split()[1]
            # No window manager: focus the window ourselves (windowactivate fails).
            xdotool("windowraise", self.window)
            xdotool("windowfocus", "--sync", self.window)
            # The window turns active and the widget gets the focus, in either order.
            pending = {"active 1", f"focus {focus}"}

            def settled(line):
                pending.discard(line)
                return not pending

            self.wait_for(settled)
            wait_accessible(self.process.pid)
        except BaseException:
            self.stop()
            raise

    def _pump(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_for(self, matches):
        deadline = time.monotonic() + WAIT_S
        while True:
            left = deadline - time.monotonic()
            try:
                line = self.lines.get(timeout=max(left, 0.01))
            except queue.Empty:
                line = ""
            if line is None:
                raise Failure("kestreye-demo exited")
            if line:
                self.seen.append(line)
                if matches(line):
                    return line
            if time.monotonic() > deadline:
                raise Failure("kestreye-demo never reported the expected state; "
                              f"last lines: {self.seen[-5:]}")

    def wait_entry(self, name, length, caret, bound=None):
        bound = caret if bound is None else bound
        return self.wait_for(
            lambda line: line == f"entry {name} length={length} caret={caret} bound={bound}")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def wait_accessible(pid):
    """Returns once process `pid` is listed by the AT-SPI registry."""
    if subprocess.run([WAIT_ACCESSIBLE, str(pid)], timeout=60).returncode != 0:
        raise Failure(f"process {pid} never registered with the AT-SPI registry")


def xdotool(*args):
    subprocess.run(["xdotool", *args], check=True, timeout=30)


def type_text(text):
    xdotool("type", "--delay", "5", text)


def keys(*names):
    xdotool("key", "--delay", "5", *names)


class Suite:
    def __init__(self, options):
        self.options = options
        self.demo = None
        self.replies = []

    def scan(self, env=None):
        reply = Reply([self.options.kestreye, "scan"], env=env)
        self.replies.append(reply)
        check_equal(reply.status, 0, "exit status of kestreye scan")
        return reply

    def start(self, focus="email"):
        self.demo = Demo(self.options.demo, focus)
        return self.demo

    def email_typed(self):
        """The demo with EMAIL typed into the focused email field."""
        demo = self.start("email")
        type_text(EMAIL)
        demo.wait_entry("email", len(EMAIL), len(EMAIL))
        return self.scan()

    # The tests. Each returns nothing and raises Failure on a fault.

    def test_focused_line(self):
        reply = self.email_typed()
        check_equal(reply.lines[0], FOCUSED_EMAIL_PREFIX + ' in "Sign in"',
                    "focused line (label from the mnemonic, value, placeholder, state, container)")

    def test_cursor_line(self):
        reply = self.email_typed()
        check_equal(reply.lines[1], 'cursor: "ann@example.com|" (pos 15/15, line 0)',
                    "cursor line after typing")

        keys("Left", "Left", "Left")
        self.demo.wait_entry("email", 15, 12)
        reply = self.scan()
        check_equal(reply.lines[1], 'cursor: "ann@example.|com" (pos 12/15, line 0)',
                    "cursor line after three Left")

        keys("Home")
        self.demo.wait_entry("email", 15, 0)
        reply = self.scan()
        check_equal(reply.lines[1], 'cursor: "|ann@example.com" (pos 0/15, line 0)',
                    "cursor line after Home")

        keys("End", "shift+Left", "shift+Left", "shift+Left", "shift+Left")
        self.demo.wait_entry("email", 15, 11, 15)
        reply = self.scan()
        check_equal(reply.lines[0],
                    'Focused: [TextField] "Email:" value: "ann@example.com" placeholder: '
                    '"name@example.com" (FOCUSED) selection: ".com" in "Sign in"',
                    "focused line with a selection")
        check_equal(reply.lines[1], 'cursor: "ann@example[.com]" (selected 11-15, line 0)',
                    "cursor line after selecting four characters")

    def test_form_fields(self):
        reply = self.email_typed()
        check_equal(reply.section(FORM_HEADER), [
            FORM_HEADER,
            "  1. " + EMAIL_FIELD + " (FOCUSED) ← you are here",
            '  2. [TextField] "Password:"',
            '  3. [Dropdown] "Region:" value: "Europe"',
            '  4. [CheckBox] "Remember me"',
            '  5. [TextArea] "Notes:"',
        ], "form fields with the focus on the email field")

        # The marker follows the focus, and the list keeps its reading order.
        keys("Tab")
        self.demo.wait_for(lambda line: line == "focus password")
        reply = self.scan()
        check_equal(reply.lines[0], 'Focused: [TextField] "Password:" (FOCUSED) in "Sign in"',
                    "focused line on the password field")
        check_equal(reply.section(FORM_HEADER), [
            FORM_HEADER,
            "  1. " + EMAIL_FIELD,
            '  2. [TextField] "Password:" (FOCUSED) ← you are here',
            '  3. [Dropdown] "Region:" value: "Europe"',
            '  4. [CheckBox] "Remember me"',
            '  5. [TextArea] "Notes:"',
        ], "form fields with the focus on the password field")

    def test_actions_and_nearby(self):
        reply = self.email_typed()
        check_equal(reply.section("Actions: "), [ACTIONS], "actions line")
        check_equal(reply.section("Nearby: "), [NEARBY], "nearby line")
        check_equal(reply.lines[-1], NEARBY, "last line of the block")
        # The sections in their order, one empty line between neighbours.
        check_equal([line for line in reply.lines if line == ""], ["", "", ""],
                    "empty lines between sections")
        check_equal(reply.lines.index(FORM_HEADER), 3, "place of the form-field section")

    def test_button_focus(self):
        self.start("sign-in")
        reply = self.scan()
        # No container names the button row, no cursor in a button, and no
        # input field is near enough: a focused line and two sections.
        check_equal(reply.lines, [
            'Focused: [Button] "Sign In" (FOCUSED)',
            "",
            ACTIONS,
            "",
            NEARBY,
        ], "block with the focus on the Sign In button")

    def test_text_area(self):
        demo = self.start("notes")
        # xdotool types a line feed as a key GTK ignores: press Return.
        type_text("first line")
        keys("Return")
        type_text("second")
        demo.wait_for(lambda line: line == "text notes length=17 caret=17 bound=17")
        reply = self.scan()
        check_equal(reply.lines[0],
                    'Focused: [TextArea] "Notes:" value: "first line\\nsecond" (FOCUSED) in "Sign in"',
                    "focused line of the text area")
        check_equal(reply.lines[1], 'cursor: "first line\\nsecond|" (pos 17/17, line 1)',
                    "cursor line on the second line")
        keys("ctrl+Home")
        demo.wait_for(lambda line: line == "text notes length=17 caret=0 bound=0")
        reply = self.scan()
        check_equal(reply.lines[1], 'cursor: "|first line\\nsecond" (pos 0/17, line 0)',
                    "cursor line back on the first line")

    def test_password_never_shown(self):
        demo = self.start("password")
        type_text(SECRET)
        demo.wait_entry("password", len(SECRET), len(SECRET))
        shown = [self.scan()]
        check_equal(shown[0].lines[0], 'Focused: [TextField] "Password:" (FOCUSED) in "Sign in"',
                    "focused line of the password field: no value, no selection")
        check(not shown[0].lines[1].startswith("cursor:"),
              f"a cursor line for the password field: {shown[0].lines[1]!r}")

        keys("ctrl+a")  # Select the whole password.
        demo.wait_entry("password", len(SECRET), len(SECRET), 0)
        shown.append(self.scan())
        check_equal(shown[-1].lines[0], 'Focused: [TextField] "Password:" (FOCUSED) in "Sign in"',
                    "focused line of the password field with its text selected")

        keys("shift+Tab")
        demo.wait_for(lambda line: line == "focus email")
        shown.append(self.scan())
        check(shown[-1].lines[0].startswith('Focused: [TextField] "Email:"'),
              f"the focus did not move to the email field: {shown[-1]!r}")
        check('  2. [TextField] "Password:"' in shown[-1].lines,
              f"the password field is not listed bare: {shown[-1]!r}")

        if self.options.record:
            with tempfile.TemporaryDirectory() as folder:
                recording = os.path.join(folder, "recording.json")
                subprocess.run([self.options.record, recording], check=True, timeout=60,
                               stdout=subprocess.DEVNULL)
                with open(recording, "rb") as file:
                    saved = file.read()
                check(SECRET.encode() not in saved, "the password is in the recording")
                shown.append(Reply([self.options.replay, recording, "scan"]))
                check(shown[-1].success, f"replay failed: {shown[-1]!r}")

        for reply in shown:
            for output in (reply.raw, reply.stderr):
                for piece in (SECRET, SECRET[:8], SECRET[-8:], "●"):
                    check(piece.encode() not in output,
                          f"{piece!r} of the password shows in: {output!r}")

    def test_record_replay(self):
        check(self.options.record and self.options.replay,
              "needs --record and --replay")
        self.email_typed()
        keys("End", "shift+Left", "shift+Left", "shift+Left", "shift+Left")
        self.demo.wait_entry("email", 15, 11, 15)
        with tempfile.TemporaryDirectory() as folder:
            recording = os.path.join(folder, "recording.json")
            before = self.scan()
            check(before.success, f"live scan failed: {before!r}")
            subprocess.run([self.options.record, recording], check=True, timeout=60,
                           stdout=subprocess.DEVNULL)
            after = self.scan()
            # The desktop stood still while it was recorded.
            check_equal(after.raw, before.raw, "two live scans around the recording")
            replayed = Reply([self.options.replay, recording, "scan"])
            check_equal(replayed.status, 0, "exit status of kestreye-replay")
            check_equal(replayed.raw, before.raw, "replayed reply against the live reply")

    def test_no_bus(self):
        env = dict(os.environ)
        for name in ("DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", "DISPLAY",
                     "WAYLAND_DISPLAY"):
            env.pop(name, None)
        reply = Reply([self.options.kestreye, "scan"], env=env)
        check_equal(reply.raw, b'{"success":false,"error":"Accessibility permission not granted"}\n',
                    "reply without any bus")
        check_equal(reply.status, 0, "exit status without any bus")

    def test_stopped_application(self):
        self.email_typed()
        self.demo.process.send_signal(signal.SIGSTOP)
        try:
            reply = Reply([self.options.kestreye, "scan"])
        finally:
            self.demo.process.send_signal(signal.SIGCONT)
        print(f"scan of a stopped application: {reply.elapsed:.3f} s, reply {reply!r}")
        check_equal(reply.status, 0, "exit status with a stopped application")
        # About 2 s is the aim; the margin absorbs a loaded machine.
        check(reply.elapsed < 4.0, f"the scan took {reply.elapsed:.3f} s")
        # Once the application runs again, so does the next scan.
        reply = self.scan()
        check(reply.lines[0].startswith(FOCUSED_EMAIL_PREFIX),
              f"scan after SIGCONT: {reply!r}")

    def test_stopped_background_application(self):
        # The stopped application registers with the bus before the focused
        # one in the first round and after it in the second: a platform that
        # looks at applications in either order must not wait on it.
        for stopped_first in (True, False):
            stopped = Demo(self.options.demo, "email") if stopped_first else None
            focused = Demo(self.options.demo, "email")
            try:
                if stopped is None:
                    stopped = Demo(self.options.demo, "email")
                    # Give the focus back to the other window.
                    xdotool("windowraise", focused.window)
                    xdotool("windowfocus", "--sync", focused.window)
                    focused.wait_for(lambda line: line == "active 1")
                type_text(EMAIL)
                focused.wait_entry("email", len(EMAIL), len(EMAIL))
                stopped.process.send_signal(signal.SIGSTOP)
                reply = self.scan()
                print(f"scan beside a stopped application (registered "
                      f"{'before' if stopped_first else 'after'}): {reply.elapsed:.3f} s")
                check(reply.elapsed < 4.0, f"the scan took {reply.elapsed:.3f} s")
                check(reply.success and reply.lines[0].startswith(FOCUSED_EMAIL_PREFIX),
                      f"the focused application was not scanned: {reply!r}")
            finally:
                focused.stop()
                if stopped is not None:
                    stopped.stop()

    def test_widget_factory(self):
        """A large third-party tree: gtk3-widget-factory with a text field
        focused scans, and records and replays to the same reply."""
        check(self.options.record and self.options.replay, "needs --record and --replay")
        factory = subprocess.Popen(["gtk3-widget-factory"], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        try:
            found = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--pid",
                                    str(factory.pid)], capture_output=True, text=True,
                                   timeout=WAIT_S)
            window = found.stdout.split()[0]
            xdotool("windowraise", window)
            xdotool("windowfocus", "--sync", window)
            wait_accessible(factory.pid)
            reply = self.scan()
            # Tab to a text field with text (an empty one has no cursor line).
            # A key and the next scan travel on different sockets, so each Tab
            # is followed by scans until the focus moves.
            # The factory reports nothing of its own: the scans are the only
            # sign that the focus moved, so the whole search is bounded too.
            give_up = time.monotonic() + WAIT_S
            for _ in range(60):
                if (reply.lines[0].startswith("Focused: [TextField]")
                        and " value: " in reply.lines[0]
                        or time.monotonic() > give_up):
                    break
                before = reply.lines[0]
                keys("Tab")
                deadline = time.monotonic() + 2.0
                while reply.lines[0] == before and time.monotonic() < deadline:
                    reply = self.scan()
            check(reply.success and reply.lines[0].startswith("Focused: [TextField]"),
                  f"no text field took the focus: {reply!r}")
            check(len(reply.lines) > 1 and reply.lines[1].startswith("cursor: "),
                  f"no cursor line for a focused text field: {reply!r}")

            with tempfile.TemporaryDirectory() as folder:
                recording = os.path.join(folder, "recording.json")
                before = self.scan()
                subprocess.run([self.options.record, recording], check=True, timeout=60,
                               stdout=subprocess.DEVNULL)
                after = self.scan()
                check_equal(after.raw, before.raw, "two live scans around the recording")
                replayed = Reply([self.options.replay, recording, "scan"])
                check_equal(replayed.raw, before.raw, "replayed reply against the live reply")
        finally:
            factory.terminate()
            factory.wait(timeout=10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--kestreye", required=True)
    parser.add_argument("--demo", required=True)
    parser.add_argument("--record")
    parser.add_argument("--replay")
    parser.add_argument("test", choices=[name[5:] for name in dir(Suite)
                                         if name.startswith("test_")])
    options = parser.parse_args()
    suite = Suite(options)
    try:
        getattr(suite, "test_" + options.test)()
    except (Failure, json.JSONDecodeError, UnicodeDecodeError,
            subprocess.SubprocessError) as fault:
        print(f"FAIL {options.test}: {fault}")
        for reply in suite.replies[-3:]:
            print(f"  reply: {reply!r}")
        if suite.demo is not None:
            print(f"  demo trace (last lines): {suite.demo.seen[-8:]}")
        return 1
    finally:
        if suite.demo is not None:
            suite.demo.stop()
    print(f"PASS {options.test} ({len(suite.replies)} scans)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
