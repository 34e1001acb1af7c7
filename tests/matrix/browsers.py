#!/usr/bin/env python3
"""Desktop-matrix tests of `kestreye scan` on Chromium and Firefox, started as
a user starts them (no accessibility switches) on tests/matrix/form.html. The
page writes its state into its title (focused field, the email field's caret
and length, the password's and the comment's length, in UTF-16 units): the
tests wait on the window title. Each test is steps (see Run.steps)."""

import pathlib

import harness
from harness import MARK, SECRET, Prefix

PAGE = pathlib.Path(__file__).resolve().with_name("form.html").as_uri()
# The caret stands right after the emoji: offsets past it differ between
# UTF-16 units, code points and user-perceived characters.
EMAIL = "ann😀@example.com"
COMMENT = "first line\\nsecond"  # As the reply writes it.
EMAIL_FIELD = f'[TextField] "Email" value: "{EMAIL}" placeholder: "name@example.com" (FOCUSED)'
PASSWORD = Prefix('Focused: [TextField] "Password" (FOCUSED)')


def utf16(text):
    return len(text.encode("utf-16-le")) // 2


def title(focus, caret=None, email="", password="", comment="", selected=""):
    """The pattern of the page title for one state of the form."""
    selection = f", selected {utf16(selected)}" if selected else ""
    return (rf"^Sign up \(focus {focus}, email {utf16(email) if caret is None else caret}/"
            rf"{utf16(email)}, password {utf16(password)}, comment {utf16(comment)}{selection}\)")


STEPS = {
    # The focused email field, its cursor after the emoji, the form fields
    # with the marker and the chosen option (Firefox lists a toggle of its tab
    # strip first), and the paragraph with links, without U+FFFC or U+FEFF.
    "email": [(["type " + EMAIL, "key" + " Left" * 12], title("email", 5, EMAIL), {
        0: Prefix("Focused: " + EMAIL_FIELD),
        1: 'cursor: "ann😀|@example.com" (pos 4/16, line 0)',
        "fields": [EMAIL_FIELD + MARK, '[TextField] "Password"',
                   '[Dropdown] "Region" value: "Europe"', '[TextArea] "Comment"'],
        "Nearby: ": ['Nearby: "Email", "Password", "Region", "Comment", '
                     '"By subscribing you accept our terms and our privacy policy."'],
        "absent": ["\ufffc", "\ufeff"]})],
    # The contenteditable comment box is a text area with its cursor.
    "comment": [
        (["key Tab Tab Tab"], title("comment"), {}),
        (["type first line", "key Return", "type second"], title("comment", comment="first line\nsecond"), {
            0: Prefix(f'Focused: [TextArea] "Comment" value: "{COMMENT}" (FOCUSED)'),
            1: f'cursor: "{COMMENT}|" (pos 17/17, line 1)',
            "marked": [f'[TextArea] "Comment" value: "{COMMENT}" (FOCUSED){MARK}']})],
    # A typed password shows nowhere, selected or not: not in a scan, its
    # stderr, a recording or its replay.
    "password": [
        (["key Tab"], title("password"), {}),
        (["type " + SECRET], title("password", password=SECRET),
         {0: PASSWORD, "absent": ["\ncursor:"]}),
        (["key ctrl+a"], title("password", password=SECRET, selected=SECRET), {0: PASSWORD}),
        (["key shift+Tab"], title("email", password=SECRET), {}), (["record"], None, {})],
}


class Browser(harness.App):
    switch = "busctl --user set-property org.a11y.Bus /org/a11y/bus org.a11y.Status IsEnabled b true"

    def open(self, registered=True):
        """The browser showing the form, the email field focused by the page."""
        self.wait_window(title("email"))
        if registered:
            self.wait_registered()

    def landed(self, pattern):
        self.wait_title(pattern)


class Chromium(Browser):
    def launch(self):
        self.start_chromium(PAGE)


class Firefox(Browser):
    def launch(self):
        self.start_firefox(PAGE)


TESTS = {name: harness.steps_test(steps) for name, steps in STEPS.items()}
TESTS.update(not_enabled=harness.test_not_enabled, hold=harness.held(TESTS["email"]))

if __name__ == "__main__":
    raise SystemExit(harness.main({"chromium": (Chromium, TESTS), "firefox": (Firefox, TESTS)}))
