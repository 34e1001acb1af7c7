"""A small Qt 6 form for the desktop matrix (PyQt6).

    QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 python3 qt6_form.py

Prints one line per event the tests wait on: "window 0x..." once the window
is shown, "active 0|1" when it gains or loses the keyboard focus,
"focus NAME" when a field takes the focus, and
"entry NAME length=N caret=N text=TEXT" after each text or caret change (N
in code points, as a user counts them). The password's length is printed,
never its text.
"""

import sys

from PyQt6.QtCore import QEvent, QObject
from PyQt6.QtWidgets import (QApplication, QComboBox, QFormLayout, QHBoxLayout,
                             QLabel, QLineEdit, QPushButton, QVBoxLayout,
                             QWidget)


def say(line):
    print(line, flush=True)


def code_points(text, utf16_units):
    """Qt counts in UTF-16 units; the tests count code points."""
    return len(text.encode("utf-16-le")[:2 * utf16_units].decode("utf-16-le", "ignore"))


app = QApplication(sys.argv)
window = QWidget()
window.setWindowTitle("Qt 6 Sign In")
outer = QVBoxLayout(window)
outer.addWidget(QLabel("Welcome to the Qt 6 form"))
form = QFormLayout()
email = QLineEdit()
email.setPlaceholderText("name@example.com")
form.addRow("&Email:", email)
password = QLineEdit()
password.setEchoMode(QLineEdit.EchoMode.Password)
form.addRow("&Password:", password)
region = QComboBox()
region.addItems(["Africa", "Europe", "Asia"])
region.setCurrentIndex(1)
form.addRow("&Region:", region)
outer.addLayout(form)
buttons = QHBoxLayout()
buttons.addWidget(QPushButton("Cancel"))
buttons.addWidget(QPushButton("Sign In"))
outer.addLayout(buttons)

fields = {email: "email", password: "password", region: "region"}


def trace_entry(edit):
    def report(*_):
        text = edit.text()
        shown = f" text={text}" if edit is not password else ""
        say(f"entry {fields[edit]} length={len(text)} "
            f"caret={code_points(text, edit.cursorPosition())}{shown}")

    edit.textChanged.connect(report)
    edit.cursorPositionChanged.connect(report)


trace_entry(email)
trace_entry(password)
app.focusChanged.connect(
    lambda old, new: new in fields and say(f"focus {fields[new]}"))


class ActiveWatch(QObject):
    def eventFilter(self, watched, event):
        if event.type() == QEvent.Type.WindowActivate:
            say("active 1")
        elif event.type() == QEvent.Type.WindowDeactivate:
            say("active 0")
        return False


watch = ActiveWatch()
window.installEventFilter(watch)
window.move(40, 40)
window.resize(420, 260)
email.setFocus()
window.show()
say(f"window 0x{int(window.winId()):x}")
sys.exit(app.exec())
