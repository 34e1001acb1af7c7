#!/usr/bin/env python3
"""Desktop-matrix tests of `kestreye scan` on Chromium and Firefox, each
started as a user starts it (no accessibility switches) on tests/matrix/form.html.

The page writes its state into its title (focused field, the email field's
caret and length, the password's length, the comment's length, all in UTF-16
units); the tests wait on the window title, never on the tree under test.
"""

import os
import pathlib

import harness
from harness import check, check_equal, keys, type_text

PAGE = pathlib.Path(__file__).resolve().with_name("form.html").as_uri()

# The caret stands right after the emoji: offsets past it differ between
# UTF-16 units, code points and user-perceived characters.
EMAIL = "ann😀@example.com"
CARET_AFTER_EMOJI = len("ann😀")
# Distinctive enough that no other text of the page or the block contains it.
SECRET = "Qx7-umbrella-Zirkon-4417"
COMMENT = ("first line", "second")

FORM_HEADER = "Form fields (tab order):"
NEARBY = ('Nearby: "Email", "Password", "Region", "Comment", '
          '"By subscribing you accept our terms and our privacy policy."')


def utf16(text):
    return len(text.encode("utf-16-le")) // 2


def title_state(focus, email_caret=None, email="", password="", comment="", selected=""):
    """The pattern of the page title for one state of the form."""
    caret = utf16(email) if email_caret is None else email_caret
    selection = f", selected {utf16(selected)}" if selected else ""
    return (rf"^Sign up \(focus {focus}, email {caret}/{utf16(email)}, "
            rf"password {utf16(password)}, comment {utf16(comment)}{selection}\)")


class Chromium(harness.App):
    name = "Chromium"

    def launch(self):
        self.start(["chromium", "--no-sandbox", f"--user-data-dir={self.home}", "--no-first-run",
                    "--no-default-browser-check", "--password-store=basic", PAGE])


class Firefox(harness.App):
    name = "Firefox"

    def launch(self):
        # No default-browser question, welcome page or data-reporting bar.
        with open(os.path.join(self.home, "user.js"), "w") as prefs:
            for name, value in (("browser.shell.checkDefaultBrowser", "false"),
                                ("browser.aboutwelcome.enabled", "false"),
                                ("trailhead.firstrun.didSeeAboutWelcome", "true"),
                                ("browser.startup.homepage_override.mstone", '"ignore"'),
                                ("datareporting.policy.dataSubmissionEnabled", "false"),
                                ("toolkit.telemetry.reportingpolicy.firstRun", "false")):
                prefs.write(f'user_pref("{name}", {value});\n')
        self.start(["firefox-esr", "-no-remote", "-profile", self.home, PAGE])


def open_form(run, app_class):
    """The browser showing the form, the email field focused by the page."""
    harness.bind_emoji()
    app = run.launch(app_class)
    app.wait_window(title_state("email"))
    app.wait_registered()
    return app


def unnumbered(fields):
    """Form-field lines without their indent and number."""
    return [line.split(". ", 1)[-1] for line in fields]


def email_field(focused):
    return ('[TextField] "Email" value: "' + EMAIL + '" placeholder: "name@example.com"' +
            (" (FOCUSED)" if focused else ""))


def test_email(run, app_class):
    """The focused email field, its cursor after the emoji, the form fields
    with the marker and the chosen option, and the paragraph with links."""
    app = open_form(run, app_class)
    type_text(EMAIL)
    keys(*["Left"] * (len(EMAIL) - CARET_AFTER_EMOJI))
    app.wait_title(title_state("email", utf16(EMAIL[:CARET_AFTER_EMOJI]), EMAIL))
    reply = run.scan()
    check(reply.lines[0].startswith("Focused: " + email_field(True)),
          f"focused line: {reply.lines[0]!r}")
    check_equal(reply.lines[1], 'cursor: "ann😀|@example.com" (pos 4/16, line 0)',
                "cursor line after the emoji")
    # Firefox lists a toggle of its tab strip first.
    check_equal(unnumbered(reply.section(FORM_HEADER)[-4:]), [
        email_field(True) + " ← you are here",
        '[TextField] "Password"',
        '[Dropdown] "Region" value: "Europe"',
        '[TextArea] "Comment"',
    ], "form fields with the focus on the email field")
    check_equal(reply.section("Nearby: "), [NEARBY], "nearby texts")
    check("\ufffc" not in reply.block and "\ufeff" not in reply.block,
          f"a placeholder character of the browser shows: {reply!r}")


def test_comment(run, app_class):
    """The contenteditable comment box reads as a text area with its cursor."""
    app = open_form(run, app_class)
    keys("Tab", "Tab", "Tab")
    app.wait_title(title_state("comment"))
    type_text(COMMENT[0])
    keys("Return")
    type_text(COMMENT[1])
    text = "\n".join(COMMENT)
    app.wait_title(title_state("comment", comment=text))
    reply = run.scan()
    check(reply.lines[0].startswith('Focused: [TextArea] "Comment" value: "first line\\nsecond"'
                                    ' (FOCUSED)'),
          f"focused line of the comment box: {reply.lines[0]!r}")
    check_equal(reply.lines[1], 'cursor: "first line\\nsecond|" (pos 17/17, line 1)',
                "cursor line at the end of the comment")
    marked = [line for line in reply.section(FORM_HEADER) if line.endswith("← you are here")]
    check_equal(unnumbered(marked),
                ['[TextArea] "Comment" value: "first line\\nsecond" (FOCUSED) ← you are here'],
                "the marked form field")


def test_password(run, app_class):
    """A typed password shows nowhere: not in a scan, not on stderr, not in a
    recording or its replay."""
    app = open_form(run, app_class)
    keys("Tab")
    app.wait_title(title_state("password"))
    type_text(SECRET)
    app.wait_title(title_state("password", password=SECRET))
    reply = run.scan()
    check(reply.lines[0].startswith('Focused: [TextField] "Password" (FOCUSED)'),
          f"focused line of the password field: {reply.lines[0]!r}")
    check(not reply.lines[1].startswith("cursor:"), f"a cursor line for a password: {reply!r}")
    keys("ctrl+a")
    app.wait_title(title_state("password", password=SECRET, selected=SECRET))
    run.scan()
    keys("shift+Tab")
    app.wait_title(title_state("email", password=SECRET))
    saved, replayed = run.record()
    check(replayed.success, f"replay failed: {replayed!r}")
    check(SECRET[:8].encode() not in saved and SECRET[-8:].encode() not in saved,
          "the password is in the recording")
    run.check_secret_hidden(SECRET, [saved])
    # Neither the bullets the browsers hand out.
    for reply in run.replies:
        check("●" not in reply.block and "•" not in reply.block, f"bullets show: {reply!r}")


def test_not_enabled(run, app_class):
    """With the session's accessibility off the browser is not on the bus: the
    reply stays the error, and one log line names the browser and the cure."""
    app = run.launch(app_class)
    app.wait_window(title_state("email"))
    reply = run.scan()
    check_equal(reply.raw, b'{"success":false,"error":"No frontmost application"}\n',
                "reply without the browser on the bus")
    advice = [line for line in reply.stderr.decode().splitlines()
              if "is not on the accessibility bus" in line]
    check_equal(len(advice), 1, f"advice lines on stderr {reply.stderr!r}")
    check(f"(pid {app.process.pid})" in advice[0] and
          "busctl --user set-property org.a11y.Bus /org/a11y/bus org.a11y.Status IsEnabled b true"
          in advice[0], f"the advice names neither the browser nor the command: {advice[0]!r}")


test_not_enabled.accessibility_off = True

TESTS = {"email": test_email, "comment": test_comment, "password": test_password,
         "not_enabled": test_not_enabled, "hold": harness.held(test_email)}

if __name__ == "__main__":
    raise SystemExit(harness.main({"chromium": (Chromium, TESTS), "firefox": (Firefox, TESTS)}))
