"""A small Qt 5 form for the desktop tests (PyQt5).

    QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 python3 qt5_form.py FOCUS

FOCUS names the widget that holds the focus at start: name, password,
colour, pick, subscribe or notes. Prints "window 0x..." once shown and
"focus NAME" each time a named widget takes the application's focus (once its
window is active), so that a driver waits for that instead of sleeping.
"""

import sys

from PyQt5.QtWidgets import (QApplication, QCheckBox, QComboBox, QFormLayout,
                             QGroupBox, QHBoxLayout, QLabel, QLineEdit,
                             QPushButton, QTextEdit, QVBoxLayout, QWidget)

app = QApplication(sys.argv)
window = QWidget()
window.setWindowTitle("Qt Sign In")
outer = QVBoxLayout(window)
outer.addWidget(QLabel("Welcome to the Qt form"))
box = QGroupBox("Account")
form = QFormLayout(box)
name = QLineEdit("ann")
name.setPlaceholderText("Your name")
form.addRow("Name:", name)
password = QLineEdit("Qx7-secret")
password.setEchoMode(QLineEdit.Password)
form.addRow("Password:", password)
colour = QComboBox()
colour.addItems(["Red", "Green"])
form.addRow("Colour:", colour)
pick = QComboBox()
pick.setEditable(True)
pick.addItems(["one", "two"])
form.addRow("Pick:", pick)
subscribe = QCheckBox("Subscribe")
subscribe.setChecked(True)
form.addRow(subscribe)
notes = QTextEdit()
notes.setPlainText("line one\nline two")
form.addRow("Notes:", notes)
outer.addWidget(box)
buttons = QHBoxLayout()
buttons.addWidget(QPushButton("Cancel"))
buttons.addWidget(QPushButton("OK"))
outer.addLayout(buttons)
window.move(40, 40)
window.resize(400, 420)
window.show()
print(f"window 0x{int(window.winId()):x}", flush=True)
widgets = {"name": name, "password": password, "colour": colour, "pick": pick,
           "subscribe": subscribe, "notes": notes}
names = {widget: name for name, widget in widgets.items()}
app.focusChanged.connect(
    lambda old, now: print("focus", names.get(now, "other"), flush=True))
widgets[sys.argv[1] if len(sys.argv) > 1 else "name"].setFocus()
sys.exit(app.exec_())
