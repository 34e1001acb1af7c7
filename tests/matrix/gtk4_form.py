"""A small GTK 4 form for the desktop matrix (PyGObject).

    GTK_A11Y=atspi python3 gtk4_form.py

Prints one line per event the tests wait on: "window 0x..." once the window
is mapped, "active 0|1" when it gains or loses the keyboard focus,
"focus NAME" when a field takes the focus, and
"entry NAME length=N caret=N text=TEXT" after each text or caret change (N
in code points). The password's length is printed, never its text.
"""

import sys

import gi

gi.require_version("Gtk", "4.0")
gi.require_version("GdkX11", "4.0")
from gi.repository import GdkX11, GLib, Gtk  # noqa: E402


def say(line):
    print(line, flush=True)


def on_activate(app):
    window = Gtk.ApplicationWindow(application=app, title="GTK 4 Sign In")
    window.set_default_size(420, 320)
    grid = Gtk.Grid(row_spacing=6, column_spacing=6, margin_top=12,
                    margin_bottom=12, margin_start=12, margin_end=12)
    window.set_child(grid)
    grid.attach(Gtk.Label(label="Welcome to the GTK 4 form"), 0, 0, 2, 1)

    def labelled(row, text, widget):
        label = Gtk.Label(label=text, use_underline=True, xalign=1)
        label.set_mnemonic_widget(widget)
        grid.attach(label, 0, row, 1, 1)
        grid.attach(widget, 1, row, 1, 1)

    email = Gtk.Entry(placeholder_text="name@example.com", hexpand=True)
    labelled(1, "_Email:", email)
    password = Gtk.PasswordEntry()
    labelled(2, "_Password:", password)
    region = Gtk.DropDown.new_from_strings(["Africa", "Europe", "Asia"])
    region.set_selected(1)
    labelled(3, "_Region:", region)
    buttons = Gtk.Box(spacing=6)
    buttons.append(Gtk.Button(label="Cancel"))
    buttons.append(Gtk.Button(label="Sign In"))
    grid.attach(buttons, 1, 4, 1, 1)

    def trace_entry(name, editable):
        # A PasswordEntry's text lives in an inner GtkText: follow that.
        delegate = editable.get_delegate() or editable

        def report(*_):
            text = delegate.get_text()
            shown = f" text={text}" if name != "password" else ""
            say(f"entry {name} length={len(text)} caret={delegate.get_position()}{shown}")

        delegate.connect("notify::text", report)
        delegate.connect("notify::cursor-position", report)
        controller = Gtk.EventControllerFocus()
        controller.connect("enter", lambda *_: say(f"focus {name}"))
        editable.add_controller(controller)

    trace_entry("email", email)
    trace_entry("password", password)
    # The drop-down's focus lands on the button inside it.
    region_focus = Gtk.EventControllerFocus()
    region_focus.connect("enter", lambda *_: say("focus region"))
    region.add_controller(region_focus)
    window.connect("notify::is-active",
                   lambda w, _: say(f"active {1 if w.is_active() else 0}"))

    def on_map(w):
        surface = w.get_surface()
        if isinstance(surface, GdkX11.X11Surface):
            say(f"window 0x{surface.get_xid():x}")
        else:
            say("window none")

    window.connect("map", on_map)
    email.grab_focus()
    window.present()


app = Gtk.Application(application_id=None)
app.connect("activate", on_activate)
GLib.set_prgname("gtk4-form")
sys.exit(app.run([sys.argv[0]]))
