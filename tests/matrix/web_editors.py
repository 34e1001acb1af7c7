#!/usr/bin/env python3
"""Desktop-matrix tests of `kestreye scan` in the editor libraries web
applications are built on (Quill, ProseMirror, tiptap, Lexical, CKEditor 5,
Monaco with its accessibility mode off and on) and a plain <textarea>, each
on a local page of tests/matrix/web-editors (a heading, the editor labelled
"Message", a Send button) in Chromium and Firefox. The letter of tests/matrix/editors.py is
written and the caret put after "looks"; each scan is checked for the
focused line, the cursor line, the page's own actions, and that nothing of
the browser's own window (toolbar, address bar, tabs) shows; a second scan
likewise; and that a scan waits for Firefox (and logs it) only while
Firefox wakes, before the first. The page tells the editor's state through
its title (web-editors/watch.js)."""

import pathlib
import sys

sys.dont_write_bytecode = True  # Nothing written into the source tree.
import editors  # noqa: E402
import harness  # noqa: E402
from harness import Prefix  # noqa: E402

PAGE = pathlib.Path(__file__).resolve().with_name("web-editors") / "page.html"
# What the browsers' own windows show: their toolbars, address bars, tab
# strips and account buttons, the page's address.
BROWSER = ['"Back"', '"Forward"', '"Reload"', '"View site information"',
           '"Address and search bar"', '"Bookmark this tab"', '"Sign in', '"Chromium',
           "file://", "web-editors", '"Firefox View"', '"List all tabs"', '"New Tab"',
           '"Open application menu"', '"Search with', '"Browser tabs"', '"Navigation"']
# The log line of a scan that waited for Firefox to hand out its data.
WAITED = "[kestreye] waited"
LANDED = r"\(focus message, lines 3, caret 1:17\)"


def written(focused=f'[TextArea] "Message" {editors.VALUE} (FOCUSED)', cursor=editors.CURSOR,
            actions='Actions: "Message", "Send"'):
    """The checks of the written letter: the focused line up to its flags,
    the cursor line, the page's actions, no trace of the browser."""
    return {0: Prefix(f"Focused: {focused}"), 1: cursor, "Actions: ": [actions],
            "absent": editors.NEVER + BROWSER}


# CKEditor 5 names its editing area after its label and its help key.
CKEDITOR = '"Message. Press Alt+0 for help."'
# Monaco with its accessibility mode off hands out no text: its textarea is
# empty and named after that (in Chromium an EditContext element). Firefox
# keeps Monaco's hidden textarea without bounds: no form field, no action.
MONACO_OFF = written('[TextArea] "The editor is not accessible at this time." (FOCUSED)',
                     cursor="", actions='Actions: "Send"')
# The editor (its page is page.html?EDITOR), the checks of the written letter
# in both browsers or (in Chromium, in Firefox).
EDITORS = [
    ("textarea", written()),
    ("quill", written()),
    ("prosemirror", written()),
    ("tiptap", written()),
    ("lexical", written()),
    ("ckeditor", written(f"[TextArea] {CKEDITOR} {editors.VALUE} (FOCUSED)",
                         actions=f'Actions: {CKEDITOR}, "Send"')),
    ("monaco-off", MONACO_OFF),
    ("monaco-on", (written(), written(actions='Actions: "Send"'))),
]


def steps(checks, waking):
    """A first scan, which wakes Firefox (its first answers lack attributes
    and frames: the scan waits for them, `waking` times, and says so); the
    letter written, scanned, where Firefox is awake and no scan waits for it
    (Monaco's textarea stays without bounds); scanned again; recorded."""
    checks = dict(checks, **{"log count": {WAITED: 0}})
    return [([], None, {0: Prefix("Focused: ["), "absent": BROWSER, "log count": {WAITED: waking}}),
            (editors.typing(), LANDED, checks), ([], None, checks)]


def on_page(page, checks):
    """The test of one editor: its browser on page.html?PAGE, then `steps`."""

    def run_on_page(run, app_class):
        firefox = app_class.browser == "firefox"
        test = harness.steps_test(
            steps(checks if isinstance(checks, dict) else checks[firefox], int(firefox)),
            save=True)

        def launch(self):
            getattr(self, "start_" + self.browser)(f"{PAGE.as_uri()}?{page}")
        test(run, type(app_class.__name__, (app_class,), {
            "launch": launch, "case": f"{app_class.browser}-{page}",
            "title": r"\(focus message, lines 1, caret 0:0\)"}))
    return run_on_page


class Chromium(editors.Browser):
    browser = "chromium"


class Firefox(editors.Browser):
    browser = "firefox"


TESTS = {editor: on_page(editor, checks) for editor, checks in EDITORS}
TESTS.update({f"hold-{editor}": harness.held(test) for editor, test in list(TESTS.items())})

if __name__ == "__main__":
    raise SystemExit(harness.main({"chromium": (Chromium, TESTS), "firefox": (Firefox, TESTS)}))
