"""What the desktop tests (tests/matrix, tests/e2e) share: replies and their
checks, xdotool, waits on an application's own signals (trace lines, window
title, AT-SPI registration; never a reply of kestreye), steps as tables, and
the password check. Each test runs inside its own desktop:

    scripts/session python3 tests/matrix/MODULE.py --kestreye BIN \
        [--record BIN --replay BIN] APP TEST
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

# Bounds a wait that would otherwise hang a broken run; browsers start slowly
# on a loaded 2-core machine.
WAIT_S = 60.0
WAIT_ACCESSIBLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                               "scripts", "wait-accessible")
# Typed into password fields; distinctive enough that no other text holds it.
SECRETS = ("Qx7-umbrella-Zirkon-4417", "Qx7-secret")
SECRET = SECRETS[0]
FORM_HEADER = "Form fields (tab order):"
MARK = " ← you are here"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise Failure(f"{what}:\n  expected: {expected!r}\n  actual:   {actual!r}")


class Prefix(str):
    """An expected line that the actual line only starts with."""


class Reply:
    """One run of kestreye: its raw output, parsed and checked for shape."""

    def __init__(self, argv, env=None):
        started = time.monotonic()
        run = subprocess.run(argv, capture_output=True, env=env, timeout=60)
        self.elapsed = time.monotonic() - started
        self.status, self.raw, self.stderr = run.returncode, run.stdout, run.stderr
        text = run.stdout.decode("utf-8")  # Fails the test on invalid UTF-8.
        check(text.endswith("\n") and text.count("\n") == 1, f"not one line: {text!r}")
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
        return self.raw.decode("utf-8", "replace").rstrip()

    def section(self, header):
        """The lines from the one that starts with `header` to the next empty line."""
        for i, line in enumerate(self.lines):
            if line.startswith(header):
                return self.lines[i:self.lines.index("", i) if "" in self.lines[i:] else None]
        return []

    def seen(self, key, expected):
        """What `expected` is compared with: a line by index, the "block", a
        section by its first line, the form "fields" (the last ones) or the
        "marked" one unnumbered, which texts are "absent" from the block, how
        many log lines on standard error begin with each text ("log count"),
        or whether the scan took less than "within" seconds."""
        if key == "absent":
            return [text for text in expected if text not in self.block]
        if key == "log count":
            lines = self.stderr.decode(errors="replace").splitlines()
            return {text: sum(line.startswith(text) for line in lines) for text in expected}
        if key == "within":  # Seconds the scan may take.
            return expected if self.elapsed < expected else self.elapsed
        if isinstance(key, int):
            line = self.lines[key]
            return line[:len(expected)] if isinstance(expected, Prefix) else line
        if key == "block":
            return self.lines
        fields = [line.split(". ", 1)[-1] for line in self.section(FORM_HEADER)[1:]]
        if key == "fields":
            return fields[-len(expected):]
        if key == "marked":
            return [line for line in fields if line.endswith(MARK)]
        return self.section(key)


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


def wait_until(what, probe, timeout=WAIT_S, every=0.1):
    """Polls `probe()` until it returns something true, which it returns."""
    deadline = time.monotonic() + timeout
    while not (last := probe()):
        if time.monotonic() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(every)
    return last


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
    for match in re.finditer(r"^keycode\s+(\d+)\s*=\s*$", table, re.M):
        subprocess.run(["xmodmap", "-e", f"keycode {match[1]} = {symbol} {symbol}"],
                       check=True, timeout=30)
        return
    raise Failure("no spare keycode for the emoji")


def uno_document(pipe):
    """LibreOffice's current document, asked through its UNO pipe
    (python3-uno); None while it cannot tell."""
    import uno  # Only LibreOffice's tests need it.
    try:
        local = uno.getComponentContext()
        context = local.ServiceManager.createInstanceWithContext(
            "com.sun.star.bridge.UnoUrlResolver", local).resolve(
            f"uno:pipe,name={pipe};urp;StarOffice.ComponentContext")
        return context.ServiceManager.createInstanceWithContext(
            "com.sun.star.frame.Desktop", context).getCurrentComponent()
    except Exception:  # noqa: BLE001 - not up yet, or busy
        return None


class App:
    """One application under test, in its own process group and with a
    throwaway home for its settings; with `trace`, its standard output is
    read as a trace and the rest goes to a log."""

    # What the advice names when the application is not on the bus, and not.
    switch, others = "", ()

    def __init__(self):
        self.process = self.window = None
        self.home, self.trace, self.lines = tempfile.mkdtemp(prefix="kestreye-"), [], queue.Queue()

    def start(self, argv, env=None, trace=False):
        with open(os.path.join(self.home, "output.log"), "wb") as log:
            self.process = subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE if trace else log,
                stderr=log if trace else subprocess.STDOUT, env=env, text=trace,
                start_new_session=True)
        if trace:
            threading.Thread(target=self._pump, daemon=True).start()

    def start_chromium(self, page):
        """Chromium on `page`, as root and with a throwaway profile."""
        self.start(["chromium", "--no-sandbox", f"--user-data-dir={self.home}", "--no-first-run",
                    "--no-default-browser-check", "--password-store=basic", page])

    def start_firefox(self, page):
        """Firefox on `page`, without its default-browser question, welcome
        page or data-reporting bar."""
        with open(os.path.join(self.home, "user.js"), "w") as prefs:
            for name, value in (("browser.shell.checkDefaultBrowser", "false"),
                                ("browser.aboutwelcome.enabled", "false"),
                                ("trailhead.firstrun.didSeeAboutWelcome", "true"),
                                ("browser.startup.homepage_override.mstone", '"ignore"'),
                                ("datareporting.policy.dataSubmissionEnabled", "false"),
                                ("toolkit.telemetry.reportingpolicy.firstRun", "false")):
                prefs.write(f'user_pref("{name}", {value});\n')
        self.start(["firefox-esr", "-no-remote", "-profile", self.home, page])

    def _pump(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def wait_line(self, matches):
        """The next trace line (its state, printed on standard output) that
        equals `matches` or for which `matches(line)` holds."""
        matches = matches.__eq__ if isinstance(matches, str) else matches
        deadline = time.monotonic() + WAIT_S
        while True:
            try:
                line = self.lines.get(timeout=max(deadline - time.monotonic(), 0.01))
            except queue.Empty:
                raise Failure(f"no trace line; the last: {self.trace[-5:]}") from None
            check(line is not None, f"{type(self).__name__} exited; its last lines: {self.trace[-5:]}")
            self.trace.append(line)
            if matches(line):
                return line

    def wait_trace_window(self, also=()):
        """Focuses the window the trace names ("window ID") once each of
        `also` has shown too (before or after it)."""
        pending = set(also)
        self.window = self.wait_line(
            lambda line: (pending.discard(line), line.startswith("window "))[1]).split()[1]
        focus_window(self.window)
        if pending:
            self.wait_line(lambda line: (pending.discard(line), not pending)[1])

    def wait_window(self, title_pattern):
        """Waits for a visible window whose title matches and focuses it."""
        def find():
            check(self.process.poll() is None,
                  f"{type(self).__name__} exited with {self.process.returncode}")
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", title_pattern],
                                   capture_output=True, text=True, timeout=30).stdout.split()
            return found[0] if found else None
        self.window = wait_until(f"a window titled {title_pattern!r}", find, every=0.2)
        focus_window(self.window)

    def wait_title(self, pattern):
        """Waits until the window title, the application's word that it has
        handled what was typed, matches."""
        title = lambda: subprocess.run(["xdotool", "getwindowname", self.window],  # noqa: E731
                                       capture_output=True, text=True, timeout=30).stdout
        try:
            wait_until(f"the title {pattern!r}", lambda: re.search(pattern, title()), every=0.05)
        except Failure as fault:
            raise Failure(f"{fault}; the title is {title()!r}") from None

    def wait_registered(self):
        check(subprocess.run([WAIT_ACCESSIBLE, str(self.process.pid)], timeout=90).returncode == 0,
              f"{type(self).__name__} never registered with the AT-SPI registry")

    def scan(self, run):
        return run.scan()

    def landed(self, line):
        self.wait_line(line)

    def stop(self):
        # The whole process group: browsers run helper processes.
        for sent in (signal.SIGCONT, signal.SIGTERM, None, signal.SIGKILL) if self.process else ():
            try:
                os.killpg(self.process.pid, sent) if sent else self.process.wait(timeout=10)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        self.process and self.process.wait()
        shutil.rmtree(self.home, ignore_errors=True)


class Run:
    """The tools of one test run and every reply and recording it saw."""

    def __init__(self, options):
        self.options = options
        self.apps, self.replies, self.recordings = [], [], []

    def launch(self, app_class, **settings):
        self.apps.append(app_class())
        vars(self.apps[-1]).update(settings)
        self.apps[-1].launch()
        return self.apps[-1]

    def scan(self, env=None):
        reply = Reply([self.options.kestreye, "scan"], env=env)
        self.replies.append(reply)
        check_equal(reply.status, 0, "exit status of kestreye scan")
        return reply

    def record(self):
        """A kestreye-record recording of the desktop as it stands, kept for
        the password check, and the reply kestreye-replay makes of it."""
        check(self.options.record and self.options.replay, "needs --record and --replay")
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "recording.json")
            subprocess.run([self.options.record, path], check=True, timeout=60,
                           stdout=subprocess.DEVNULL)
            with open(path, "rb") as file:
                self.recordings.append(file.read())
            self.replies.append(Reply([self.options.replay, path, "scan"]))
        return self.recordings[-1], self.replies[-1]

    def steps(self, app, steps):
        """Runs steps of (inputs, the signal that the application handled
        them, expectations of the scan then): an input types text, presses
        keys, binds keysyms to spare keycodes ("type TEXT", "key KEYS", "bind
        KEYSYMS") or records the desktop ("record"); expectations are keyed as
        Reply.seen keys them, "@nearby" stands for the application's own."""
        for inputs, landed, expected in steps:
            for step in inputs:
                kind, _, text = step.partition(" ")
                if kind == "type":
                    type_text(text)
                elif kind == "key":
                    keys(*text.split())
                elif kind == "bind":
                    for symbol in text.split():
                        bind_emoji(symbol)
                else:
                    check(self.record()[1].success, f"replay failed: {self.replies[-1]!r}")
            if landed is not None:
                app.landed(landed)
            reply = app.scan(self) if expected else None
            for key, value in expected.items():
                value = getattr(app, value[1:]) if value == "@nearby" else value
                check_equal(reply.seen(key, value), value, f"{key} after {inputs}")

    def stop(self):
        for app in self.apps:
            app.stop()
        self.apps.clear()

    def check_secrets(self):
        """No output of kestreye, no recording, shows a password, a piece of
        one or a password's bullets (but for an application without password
        fields that shows bullets of its own: `bullets_shown`)."""
        bullets = () if any(getattr(app, "bullets_shown", False) for app in self.apps) \
            else ("●", "•")
        for output in self.recordings + [reply.raw + reply.stderr for reply in self.replies]:
            for piece in (*SECRETS, SECRET[:8], SECRET[-8:], *bullets):
                check(piece.encode() not in output, f"{piece!r} shows in: {output[:2000]!r}")


def steps_test(steps, save=False):
    """A test that starts the application and runs `steps`; with `save` and
    KESTREYE_MATRIX_CASES set to a folder, it keeps a recording of the desktop
    there (the application's `case`.json) with its replay (`case`.reply)."""
    def test(run, app_class):
        bind_emoji()
        app = run.launch(app_class)
        app.open()
        run.steps(app, steps)
        if save and os.environ.get("KESTREYE_MATRIX_CASES"):
            for suffix, data in zip((".json", ".reply"), run.record()):
                with open(os.path.join(os.environ["KESTREYE_MATRIX_CASES"], app.case + suffix),
                          "wb") as file:
                    file.write(data if suffix == ".json" else data.raw)
    return test


def test_not_enabled(run, app_class):
    """Started without its switch in a session with accessibility off, the
    application is not on the bus: the reply stays the error, and one log line
    names its process and the cure (`switch`), and no other toolkit's switch
    (`others`)."""
    app = run.launch(app_class, environment=getattr(app_class, "environment_off", {}))
    app.open(registered=False)
    reply = run.scan()
    check_equal(reply.raw, b'{"success":false,"error":"No frontmost application"}\n',
                "reply without the application on the bus")
    advice = [line for line in reply.stderr.decode().splitlines()
              if "is not on the accessibility bus" in line]
    check_equal(len(advice), 1, f"advice lines on stderr {reply.stderr!r}")
    check(f"(pid {app.process.pid})" in advice[0] and app.switch in advice[0],
          f"the advice names neither the application nor {app.switch}: {advice[0]!r}")
    check(not any(other in advice[0] for other in app.others),
          f"the advice names another toolkit's switch: {advice[0]!r}")


test_not_enabled.accessibility_off = True


def held(test):
    """The test, then the command in KESTREYE_MATRIX_HOLD run against the
    application in the state the test checked (bench/scan_live.sh)."""
    def run_held(run, app_class):
        test(run, app_class)
        subprocess.run(shlex.split(os.environ["KESTREYE_MATRIX_HOLD"]), check=True)
    return run_held


def report_failure(name, fault, run, label=lambda app: type(app).__name__):
    """Says why test `name` failed, with the run's last replies and what its
    applications last traced."""
    print(f"FAIL {name}: {fault}")
    for reply in run.replies[-3:]:
        print(f"  reply after {reply.elapsed:.3f} s: {reply!r}")
        if reply.stderr:
            print(f"  its stderr: {reply.stderr.decode(errors='replace')[-600:]}")
    for app in run.apps:
        print(f"  last trace lines of {label(app)}: {app.trace[-8:]}")


def main(apps, extra=()):
    """Runs one test: `apps` maps APP to its class and tests, or TEST to a
    function of the Run."""
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for option in ("--kestreye", *extra, "--record", "--replay"):
        parser.add_argument(option, required=option in ("--kestreye", *extra))
    if all(isinstance(value, tuple) for value in apps.values()):
        parser.add_argument("app", choices=sorted(apps))
    parser.add_argument("test")
    options = parser.parse_args()
    app_class, tests = apps[options.app] if "app" in options else (None, apps)
    if options.test not in tests:
        parser.error(f"unknown test {options.test!r}; known: {', '.join(sorted(tests))}")
    # scripts/session ends its command with SIGTERM: unwind so that every
    # application is stopped.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    run, test = Run(options), tests[options.test]
    name = f"{options.app}.{options.test}" if app_class else options.test
    try:
        # A desktop with assistive technologies on, unless the test is about
        # one without.
        accessibility(not getattr(test, "accessibility_off", False))
        test(run, app_class) if app_class else test(run)
        run.check_secrets()
    except (Failure, IndexError, json.JSONDecodeError, UnicodeDecodeError,
            subprocess.SubprocessError) as fault:
        report_failure(name, fault, run)
        return 1
    finally:
        run.stop()
    print(f"PASS {name} ({len(run.replies)} scans)")
    return 0
