#!/usr/bin/env python3
"""Desktop-matrix tests of `kestreye scan` where people write longer text:
gedit (GTK 3), gnome-text-editor (GTK 4 and libadwaita), KWrite (Qt 5),
Thunderbird's compose window (Gecko), gnome-terminal (VTE), and a rich-text
editor page (tests/matrix/editor.html: contenteditable, and a document in
design mode inside an iframe) in Chromium and Firefox. In each, three lines
are written with an emoji on the second and the caret is put after "looks";
the focused line, the cursor line (its excerpt, position and line number)
and the form fields are checked. The applications say what they hold through
their own accessibility tree, read here directly (the browsers through the
page title), never through a reply of kestreye."""

import os
import pathlib
import subprocess
import sys
import time
import warnings

import gi

sys.dont_write_bytecode = True  # Nothing written into the source tree.
gi.require_version("Atspi", "2.0")
warnings.filterwarnings("ignore", category=DeprecationWarning)
from gi.repository import Atspi  # noqa: E402

import harness  # noqa: E402
from harness import MARK, Prefix  # noqa: E402

LINES = ("Dear Ann, thanks for the notes.", "The plan 😀 looks good to me.", "See you on Monday.")
BEFORE_CARET = "The plan 😀 looks"
VALUE = 'value: "Dear Ann, thanks for the notes.\\nThe plan 😀 looks g..."'
CURSOR = ('cursor: "...e notes.\\nThe plan 😀 looks| good to me.\\nSee you on M..." '
          '(pos 48/79, line 1)')
# Class names GTK 4 gives unnamed widgets, and the roles editors were misread as.
NEVER = ["EditorSourceView", "EditorPage", "AdwTabView", "GtkStackPage", "[CheckBox]", "[WebArea]",
         "\ufffc", "\ufeff"]
PAGE = pathlib.Path(__file__).resolve().with_name("editor.html").as_uri()


def typing(bold=False):
    """The three lines typed, then the caret after "looks": Up to the second
    line, End, and 12 characters back."""
    # "thanks" is made bold once typed: a space typed at the edge of a bold
    # run becomes a no-break space.
    first = ["type " + LINES[0]] + (
        ["key" + " ctrl+Left" * 4 + " ctrl+shift+Right ctrl+b End"] if bold else [])
    return [*first, "key Return", "type " + LINES[1], "key Return", "type " + LINES[2],
            "key Up End" + " Left" * 12]


def focused_node(pid):
    """The focused element with a text of the application's active window, or
    None."""
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is None or app.get_process_id() != pid:
            continue
        for j in range(app.get_child_count()):
            window = app.get_child_at_index(j)
            if window is not None and window.get_state_set().contains(Atspi.StateType.ACTIVE):
                found = find_focused(window, [20000])
                if found is not None:
                    return found
    return None


def focused_text(pid):
    """The text of the focused element of the application's active window,
    as its own accessibility tree tells it (embedded objects put in place,
    Gecko's U+FEFF padding dropped), and the text before the caret on the
    caret's line; None while there is none."""
    found = focused_node(pid)
    if found is not None:
        text, before = flatten(found)
        if before is not None:
            return text.replace("\ufeff", ""), before.replace("\ufeff", "").split("\n")[-1]
    return None


def find_focused(node, budget):
    budget[0] -= 1
    states = node.get_state_set()
    if states.contains(Atspi.StateType.FOCUSED) and node.get_text_iface() is not None:
        return node
    if budget[0] < 0 or states.contains(Atspi.StateType.MANAGES_DESCENDANTS):
        return None
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        found = child and find_focused(child, budget)
        if found is not None:
            return found
    return None


def flatten(node):
    """The text of `node` with its embedded objects' texts in place (a line
    each), and the text before its caret, or None without a caret."""
    text_iface = node.get_text_iface()
    count = text_iface.get_character_count()
    raw = text_iface.get_text(0, count)
    caret = text_iface.get_caret_offset()
    # Qt counts UTF-16 units (VTE's count is neither that nor code points).
    if count != len(raw) and count == len(raw.encode("utf-16-le")) // 2 and caret > 0:
        caret = len(raw.encode("utf-16-le")[:caret * 2].decode("utf-16-le", "ignore"))
    objects = [node.get_child_at_index(i) for i in range(node.get_child_count())]
    objects = [child for child in objects if child and child.get_role() != Atspi.Role.STATIC]
    out, before, k = "", None, 0
    for i, char in enumerate(raw + "\0"):
        if i == caret:
            before = out
        if char == "\0":
            break
        if char == "\ufffc" and k < len(objects):
            inner, inner_before = flatten(objects[k])
            k += 1
            out += "\n" if out and not out.endswith("\n") else ""
            if i == caret and inner_before is not None:
                before = out + inner_before
            out += inner
        else:
            out += char
    return out, before


class Editor(harness.App):
    """An editor with a throwaway home, whose focused text shows what was
    typed."""

    environment = {}

    def env(self):
        home = {"HOME": self.home, "XDG_CONFIG_HOME": os.path.join(self.home, "config"),
                "XDG_DATA_HOME": os.path.join(self.home, "data"),
                "XDG_CACHE_HOME": os.path.join(self.home, "cache"),
                "XDG_STATE_HOME": os.path.join(self.home, "state")}
        return dict(os.environ, **home, **self.environment)

    def open(self):
        self.wait_window(self.title)
        self.wait_registered()

    def landed(self, expected):
        text, before = expected
        probe = lambda: (lambda got: got is not None and text in got[0] and got[1] == before)(  # noqa: E731
            focused_text(self.accessible_pid()))
        try:
            harness.wait_until(f"{before!r} before the caret", probe, every=0.2)
        except harness.Failure as fault:
            raise harness.Failure(f"{fault}; the editor holds {focused_text(self.accessible_pid())!r}") \
                from None

    def accessible_pid(self):
        return self.process.pid


class Gedit(Editor):
    title, case = r"gedit$", "gedit-letter"

    def launch(self):
        self.start(["gedit", "--standalone"], env=self.env())


class TextEditor(Editor):
    # GTK 4 picks no accessibility backend in a bare session.
    title, case, environment = r"Text Editor$", "gnome-text-editor-letter", {"GTK_A11Y": "atspi"}
    # Its tab marks an unsaved document with a "•" label; it has no password.
    bullets_shown = True

    def launch(self):
        self.start(["gnome-text-editor", "--standalone"], env=self.env())


class KWrite(Editor):
    """KWrite on a file that holds the three lines: Qt 5 types nothing for the
    emoji's keysym, so the test moves the caret only."""

    title, case = r"KWrite$", "kwrite-letter"
    environment = {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "QT_QPA_PLATFORM": "xcb"}

    def launch(self):
        letter = os.path.join(self.home, "letter.txt")
        with open(letter, "w", encoding="utf-8") as file:
            file.write("\n".join(LINES))
        # A file to open keeps KWrite's welcome view away.
        self.start(["kwrite", letter], env=self.env())

    def open(self):
        # Its title holds an em dash that xdotool's name search does not match.
        def find():
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "kwrite"],
                                   capture_output=True, text=True, timeout=30).stdout.split()
            return found[0] if found else None
        self.window = harness.wait_until("KWrite's window", find, every=0.2)
        harness.focus_window(self.window)
        self.wait_registered()


class Thunderbird(Editor):
    """Thunderbird's compose window, opened from its main window (Ctrl+N),
    with a profile of one local identity and no account wizard."""

    title, case = r"Mozilla Thunderbird$", "thunderbird-compose"
    environment = {"GNOME_ACCESSIBILITY": "1"}
    prefs = (("mail.provider.enabled", "false"), ("mail.shell.checkDefaultClient", "false"),
             ("mailnews.start_page.enabled", "false"), ("mail.rights.version", "1"),
             ("datareporting.policy.dataSubmissionEnabled", "false"),
             ("toolkit.telemetry.reportingpolicy.firstRun", "false"),
             ("app.update.disabledForTesting", "true"),
             ("mail.accountmanager.accounts", '"account1"'),
             ("mail.accountmanager.defaultaccount", '"account1"'),
             ("mail.account.account1.server", '"server1"'),
             ("mail.account.account1.identities", '"id1"'),
             ("mail.identity.id1.fullName", '"Kim Test"'),
             ("mail.identity.id1.useremail", '"kim@example.com"'),
             ("mail.identity.id1.valid", "true"), ("mail.server.server1.type", '"none"'),
             ("mail.server.server1.hostname", '"Local Folders"'),
             ("mail.server.server1.userName", '"nobody"'),
             ("mail.server.server1.name", '"Local Folders"'))

    def launch(self):
        profile = os.path.join(self.home, "profile")
        os.makedirs(profile)
        with open(os.path.join(profile, "user.js"), "w") as prefs:
            prefs.writelines(f'user_pref("{name}", {value});\n' for name, value in self.prefs)
        self.start(["thunderbird", "-no-remote", "-profile", profile], env=self.env())

    def open(self):
        super().open()
        # The main window takes keys once it has put its focus somewhere.
        harness.wait_until("the main window's focus", lambda: focused_node(self.process.pid))
        # Early in its start it drops the key: asked again every 5 s.
        find = lambda: subprocess.run(  # noqa: E731
            ["xdotool", "search", "--onlyvisible", "--name", r"^Write: "],
            capture_output=True, text=True, timeout=30).stdout.split()
        for _ in range(12):
            harness.keys("ctrl+n")
            deadline = time.monotonic() + 5
            while not find() and time.monotonic() < deadline:
                time.sleep(0.2)
            if find():
                break
        self.wait_window(r"^Write: ")
        # From the To field past the subject to the body, each key once the
        # window has put the focus where the last one left it.
        for field, key in (("To", "Tab"), ("Subject", "Tab"), ("Message body", None)):
            harness.wait_until(f"the focus in {field}", lambda: (
                lambda node: node is not None and node.get_name() == field)(
                    focused_node(self.process.pid)))
            if key:
                harness.keys(key)


class Terminal(Editor):
    """gnome-terminal running `cat` with the terminal's echo off: what is
    typed is written back as it comes, the arrow keys move the cursor."""

    title, case = r"^Terminal$", "gnome-terminal-letter"

    def launch(self):
        # The client asks the server, which a desktop starts on demand.
        self.start(["/usr/libexec/gnome-terminal-server"], env=self.env())
        harness.wait_until("the terminal server", lambda: subprocess.run(
            ["dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.GetNameOwner",
             "string:org.gnome.Terminal"], capture_output=True).returncode == 0)
        subprocess.run(["gnome-terminal", "--", "sh", "-c", "stty -icanon -echo; exec cat"],
                       env=self.env(), check=True, timeout=60, capture_output=True)


def typing_terminal():
    # End would be written back as a cursor movement of its own: the caret
    # goes up from the end of the third line and one back.
    return ["type " + LINES[0], "key Return", "type " + LINES[1], "key Return",
            "type " + LINES[2], "key Up Left"]


class Browser(Editor):
    """The editor page in a browser started as users start it."""

    title = r"^Editor \(focus password 0\)"

    def landed(self, pattern):
        self.wait_title(pattern)


class Chromium(Browser):
    case = "chromium-editor"

    def launch(self):
        self.start_chromium(PAGE)


class Firefox(Browser):
    case = "firefox-editor"

    def launch(self):
        self.start_firefox(PAGE)


def expect(focused, field=None):
    """The checks of the written state: the focused line (a prefix up to its
    flags), the cursor line, the focused form field, what never shows."""
    checks = {0: Prefix(f"Focused: {focused} {VALUE} (FOCUSED)"), 1: CURSOR, "absent": NEVER}
    if field is not None:
        checks["marked"] = [f"{field} {VALUE} (FOCUSED){MARK}"]
    return checks


LANDED = ("\n".join(LINES), BEFORE_CARET)
STEPS = {
    "gedit": [(typing(), LANDED, expect("[TextArea]", "[TextArea]"))],
    "gnome-text-editor": [(typing(), LANDED, expect("[TextArea]", "[TextArea]"))],
    "kwrite": [(["key ctrl+End Up End" + " Left" * 12], LANDED,
                expect('[TextArea] "letter.txt"', '[TextArea] "letter.txt"'))],
    "thunderbird": [(typing(), LANDED,
                     expect('[TextArea] "Message body"', '[TextArea] "Message body"'))],
    "gnome-terminal": [(typing_terminal(), LANDED, expect('[TextArea] "Terminal"',
                                                         '[TextArea] "Terminal"'))],
}
# A password, then the contenteditable letter, with bold text, then the
# design-mode draft.
BROWSER_STEPS = [
    # Firefox's first scan may find labels and frames not handed out yet:
    # the password's scan is that one.
    (["type " + harness.SECRET], rf"^Editor \(focus password {len(harness.SECRET)}\)",
     {0: Prefix("Focused: [TextField] "), "absent": ["\ncursor:"]}),
    (["key Tab"], r"^Editor \(focus letter, text 0,", {}),
    (typing(bold=True), r"^Editor \(focus letter, text 80, caret 17 in 29\)",
     expect('[TextArea] "Letter"', '[TextArea] "Letter"')),
    (["key ctrl+End Tab"], r"^Editor \(focus draft, text 0,", {}),
    (typing(), r"^Editor \(focus draft, text 80, caret 17 in 29\)",
     expect('[TextArea] "Draft"', '[TextArea] "Draft"')),
]


def tests(steps):
    test = harness.steps_test(steps, save=True)
    return {"write": test, "hold": harness.held(test)}


if __name__ == "__main__":
    raise SystemExit(harness.main({
        "gedit": (Gedit, tests(STEPS["gedit"])),
        "gnome-text-editor": (TextEditor, tests(STEPS["gnome-text-editor"])),
        "kwrite": (KWrite, tests(STEPS["kwrite"])),
        "thunderbird": (Thunderbird, tests(STEPS["thunderbird"])),
        "gnome-terminal": (Terminal, tests(STEPS["gnome-terminal"])),
        "chromium": (Chromium, tests(BROWSER_STEPS)),
        "firefox": (Firefox, tests(BROWSER_STEPS)),
    }))
