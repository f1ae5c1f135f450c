#!/usr/bin/python3
# Another X client's side of the clipboard, through GTK 3, for the clipboard tests.
#   copy-text TEXT | copy-repeat CHAR COUNT   takes the clipboard, prints "ready", keeps it until killed
#   paste-text | paste-uris | paste-image    prints what the clipboard holds and exits
import sys

import gi

gi.require_version("Gdk", "3.0")
gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402

clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)
mode = sys.argv[1]


def hold(text):
    clipboard.set_text(text, -1)
    clipboard.store = lambda: None
    # The ownership request is only buffered until the display is flushed: make sure the server
    # has it before saying ready, so a reader that asks next finds this program as the owner.
    Gdk.Display.get_default().sync()
    print("ready", flush=True)
    Gtk.main()


if mode == "copy-text":
    hold(sys.argv[2])
elif mode == "copy-repeat":
    hold(sys.argv[2] * int(sys.argv[3]))
elif mode == "paste-text":
    text = clipboard.wait_for_text()
    sys.stdout.write("none" if text is None else "text:%d:%s" % (len(text.encode()), text[:64]))
elif mode == "paste-uris":
    for uri in clipboard.wait_for_uris() or []:
        print(uri)
elif mode == "paste-image":
    image = clipboard.wait_for_image()
    if image is None:
        print("none")
    else:
        pixels = image.get_pixels()
        print("%d %d %d %d %d" % (image.get_width(), image.get_height(), pixels[0], pixels[1], pixels[2]))
