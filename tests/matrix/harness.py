"""What every desktop-matrix test shares: starting an application as a user
starts it, waiting on the application's own signals (its window and title,
its trace lines, its registration with the AT-SPI registry; never a reply of
kestreye), scanning, and checking that a secret typed into it shows nowhere.
The end-to-end tests (tests/e2e/e2e.py) use the same Reply, checks, xdotool
and wait helpers.

A test module defines App subclasses and test functions, and ends with
`harness.main({"name": (AppClass, {"test": function, ...}), ...})`. Each test
runs inside its own desktop (scripts/session):

    scripts/session python3 tests/matrix/MODULE.py --kestreye BIN \
        [--record BIN --replay BIN] APP TEST

Standard library only.
"""

import argparse
import json
import os
import queue
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

__all__ = ["App", "Failure", "Lines", "Reply", "Run", "check", "check_equal", "keys", "main",
           "type_text", "wait_accessible", "xdotool"]

# Bounds a wait that would otherwise hang a broken run; a healthy run ends
# each wait early. Browsers take long to start on a loaded 2-core machine.
WAIT_S = 60.0
WAIT_ACCESSIBLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                               "scripts", "wait-accessible")


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
        self.status, self.raw, self.stderr = run.returncode, run.stdout, run.stderr
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
                return self.lines[i:self.lines.index("", i) if "" in self.lines[i:] else None]
        return []


def xdotool(*args):
    subprocess.run(["xdotool", *args], check=True, timeout=30)


def type_text(text):
    xdotool("type", "--delay", "5", text)


def keys(*names):
    xdotool("key", "--delay", "5", *names)


def focus_window(window):
    """Raises and focuses an X window: there is no window manager."""
    xdotool("windowraise", window)
    xdotool("windowfocus", "--sync", window)


def wait_accessible(pid):
    """Returns once process `pid` is listed by the AT-SPI registry."""
    if subprocess.run([WAIT_ACCESSIBLE, str(pid)], timeout=90).returncode != 0:
        raise Failure(f"process {pid} never registered with the AT-SPI registry")


class Lines:
    """The standard output of an application that reports its own state, one
    line at a time (a trace), read without blocking the test."""

    def __init__(self, stream, name):
        self.name, self.seen, self.queue = name, [], queue.Queue()
        threading.Thread(target=self._pump, args=(stream,), daemon=True).start()

    def _pump(self, stream):
        for line in stream:
            self.queue.put(line.rstrip("\n"))
        self.queue.put(None)

    def wait(self, matches, timeout=WAIT_S):
        """The next line for which `matches(line)` holds (or equal to it, for
        a string); fails after `timeout` seconds or when the output ends."""
        if isinstance(matches, str):
            matches = matches.__eq__
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.queue.get(timeout=max(deadline - time.monotonic(), 0.01))
            except queue.Empty:
                line = ""
            if line is None or line == "" and time.monotonic() > deadline:
                raise Failure(f"{self.name} {'exited' if line is None else 'went silent'}; "
                              f"last lines: {self.seen[-5:]}")
            if line:
                self.seen.append(line)
                if matches(line):
                    return line

    def wait_all(self, lines):
        """Waits for each of `lines`, in any order."""
        pending = set(lines)
        return self.wait(lambda line: (pending.discard(line), not pending)[1])


def wait_until(what, probe, timeout=WAIT_S, every=0.1):
    """Polls `probe()` until it returns something true, which it returns."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        last = probe()
        if last:
            return last
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(every)


def accessibility(enabled):
    """Turns the session's accessibility on, as a desktop with assistive
    technologies has it, or off, before any application starts."""
    subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                    "/org/a11y/bus", "org.freedesktop.DBus.Properties.Set",
                    "string:org.a11y.Status", "string:IsEnabled",
                    f"variant:boolean:{'true' if enabled else 'false'}"],
                   check=True, stdout=subprocess.DEVNULL, timeout=30)


def bind_emoji(symbol="U1F600"):
    """Binds a spare keycode to an emoji for the whole session: xdotool would
    bind a scratch keycode and revert it before a slow application reads the
    keymap, and the application would type nothing."""
    table = subprocess.run(["xmodmap", "-pke"], capture_output=True, text=True, check=True,
                           timeout=30).stdout
    for line in table.splitlines():
        match = re.fullmatch(r"keycode\s+(\d+)\s*=\s*", line)
        if match:
            subprocess.run(["xmodmap", "-e", f"keycode {match[1]} = {symbol} {symbol}"],
                           check=True, timeout=30)
            return
    raise Failure("no spare keycode for the emoji")


def accessibility_bus():
    return subprocess.run(["dbus-send", "--session", "--print-reply=literal",
                           "--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
                          capture_output=True, text=True, check=True,
                          timeout=30).stdout.strip()


def registered_pids(bus):
    """The process ids of the applications the AT-SPI registry lists (for an
    application whose launcher is not the process that registers)."""
    listing = subprocess.run(
        ["dbus-send", f"--bus={bus}", "--print-reply", "--dest=org.a11y.atspi.Registry",
         "/org/a11y/atspi/accessible/root", "org.a11y.atspi.Accessible.GetChildren"],
        capture_output=True, text=True, timeout=30).stdout
    pids = set()
    for name in set(re.findall(r'string "(:[0-9.]+)"', listing)):
        answer = subprocess.run(
            ["dbus-send", f"--bus={bus}", "--print-reply=literal", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.GetConnectionUnixProcessID",
             f"string:{name}"], capture_output=True, text=True, timeout=30).stdout.split()
        if answer and answer[-1].isdigit():
            pids.add(int(answer[-1]))
    return pids


class App:
    """One application under test, in its own process group and with a
    throwaway home for its settings."""

    def __init__(self):
        self.process = None
        self.window = None
        self.home = tempfile.mkdtemp(prefix="kestreye-matrix-")

    def start(self, argv, env=None):
        log = open(os.path.join(self.home, "output.log"), "wb")
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log,
                                        stderr=subprocess.STDOUT, env=env,
                                        start_new_session=True)
        log.close()

    def wait_window(self, title_pattern):
        """Waits for a visible window whose title matches, raises it and
        gives it the keyboard focus (there is no window manager)."""
        def find():
            if self.process.poll() is not None:
                raise Failure(f"{type(self).__name__} exited with {self.process.returncode}")
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", title_pattern],
                                   capture_output=True, text=True, timeout=30).stdout.split()
            return found[0] if found else None
        self.window = wait_until(f"a window titled {title_pattern!r}", find, every=0.2)
        focus_window(self.window)
        return self.window

    def title(self):
        return subprocess.run(["xdotool", "getwindowname", self.window], capture_output=True,
                              text=True, timeout=30).stdout.rstrip("\n")

    def wait_title(self, pattern):
        """Waits until the window title matches: the application's own word
        that it has handled what was typed."""
        try:
            return wait_until(f"the title {pattern!r}",
                              lambda: re.search(pattern, self.title()), every=0.05)
        except Failure as fault:
            raise Failure(f"{fault}; the title is {self.title()!r}") from None

    def wait_registered(self):
        """Waits until the application is on the accessibility bus."""
        wait_accessible(self.process.pid)

    def stop(self):
        if os.environ.get("KESTREYE_MATRIX_KEEP_LOG") and self.process is not None:
            shutil.copy(os.path.join(self.home, "output.log"), os.environ["KESTREYE_MATRIX_KEEP_LOG"])
        if self.process is not None and self.process.poll() is None:
            # The whole process group: browsers run helper processes.
            for sent in (signal.SIGCONT, signal.SIGTERM):
                try:
                    os.killpg(self.process.pid, sent)
                except ProcessLookupError:
                    pass
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        if self.process is not None:
            try:
                os.killpg(self.process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            if self.process.poll() is None:
                self.process.wait()
        shutil.rmtree(self.home, ignore_errors=True)


class Run:
    """The tools of one test run and every reply it saw."""

    def __init__(self, options):
        self.options = options
        self.apps = []
        self.replies = []

    def launch(self, app_class):
        app = app_class()
        self.apps.append(app)
        app.launch()
        return app

    def scan(self):
        reply = Reply([self.options.kestreye, "scan"])
        self.replies.append(reply)
        check_equal(reply.status, 0, "exit status of kestreye scan")
        return reply

    def record(self):
        """A kestreye-record recording of the desktop as it stands, as bytes,
        and the reply kestreye-replay makes of it."""
        check(self.options.record and self.options.replay, "needs --record and --replay")
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "recording.json")
            subprocess.run([self.options.record, path], check=True, timeout=60,
                           stdout=subprocess.DEVNULL)
            with open(path, "rb") as file:
                saved = file.read()
            replayed = Reply([self.options.replay, path, "scan"])
        self.replies.append(replayed)
        return saved, replayed

    def check_secret_hidden(self, secret, extra_outputs=()):
        """Nothing kestreye wrote in this run holds the secret or a piece of it."""
        outputs = [reply.raw for reply in self.replies] + [reply.stderr for reply in self.replies]
        outputs += list(extra_outputs)
        for output in outputs:
            for piece in (secret, secret[:8], secret[-8:]):
                check(piece.encode() not in output,
                      f"{piece!r} of the password shows in: {output[:2000]!r}")


def held(test):
    """The test, then the command in KESTREYE_MATRIX_HOLD run against the
    application in the state the test checked (bench/scan_live.sh)."""
    def run_held(run, app_class):
        test(run, app_class)
        subprocess.run(shlex.split(os.environ["KESTREYE_MATRIX_HOLD"]), check=True)
    return run_held


def main(apps):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--kestreye", required=True)
    parser.add_argument("--record")
    parser.add_argument("--replay")
    parser.add_argument("app", choices=sorted(apps))
    parser.add_argument("test")
    options = parser.parse_args()
    app_class, tests = apps[options.app]
    if options.test not in tests:
        parser.error(f"unknown test {options.test!r}; known: {', '.join(sorted(tests))}")
    # scripts/session ends its command with SIGTERM: unwind so that every
    # application is stopped.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    run = Run(options)
    name = f"{options.app}.{options.test}"
    try:
        test = tests[options.test]
        # A desktop with assistive technologies on, unless the test is about
        # one without.
        accessibility(not getattr(test, "accessibility_off", False))
        test(run, app_class)
    except (Failure, IndexError, json.JSONDecodeError, UnicodeDecodeError,
            subprocess.SubprocessError) as fault:
        print(f"FAIL {name}: {fault}")
        for reply in run.replies[-3:]:
            print(f"  reply after {reply.elapsed:.3f} s: {reply!r}")
            if reply.stderr:
                print(f"  its stderr: {reply.stderr.decode(errors='replace')[-600:]}")
        return 1
    finally:
        for app in run.apps:
            app.stop()
    print(f"PASS {name} ({len(run.replies)} scans)")
    return 0
