#!/usr/bin/python3
"""Drives the host's windows through the accessibility tree (AT-SPI), as a person would.

  atspi-driver.py PROGRAM wait TITLE [SECONDS]      waits until a window so titled is shown
  atspi-driver.py PROGRAM press TITLE LABEL         presses the button so labelled in that window
  atspi-driver.py PROGRAM texts TITLE               prints the window's texts and accessible names
  atspi-driver.py PROGRAM toggle TITLE LABEL        flips the switch so labelled
  atspi-driver.py PROGRAM gone TITLE [SECONDS]      waits until no window so titled is shown
  atspi-driver.py PROGRAM boxes TITLE               prints each visible element of the window, one a
                                                    line: role, name, x y width height (its content
                                                    box, in the window's own pixels), tab-separated

PROGRAM is the application's name on the accessibility bus (its program name). Exits 0 on
success, 1 when the window or control is not found in time.
"""
import sys
import time
import warnings

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

# The interface getters this uses are deprecated in newer bindings; their warnings would mix
# with what the driver prints.
warnings.filterwarnings("ignore", category=DeprecationWarning)


def applications(program):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_name() == program:
            yield app


def windows(program, title):
    for app in applications(program):
        # The registry can still list a program that has just ended (an earlier run of the
        # same program): asking it anything fails, and it is passed over.
        try:
            found = []
            for i in range(app.get_child_count()):
                window = app.get_child_at_index(i)
                if window is None or window.get_name() != title:
                    continue
                states = window.get_state_set()
                if states.contains(Atspi.StateType.VISIBLE) or states.contains(Atspi.StateType.SHOWING):
                    found.append(window)
        except GLib.Error:
            continue
        yield from found


def walk(node, depth=0):
    if node is None or depth > 40:
        return
    yield node
    for i in range(node.get_child_count()):
        yield from walk(node.get_child_at_index(i), depth + 1)


def text_of(node):
    try:
        text = node.get_text_iface()
        if text is not None:
            return text.get_text(0, text.get_character_count())
    except Exception:
        pass
    return ""


def find_control(window, label, roles):
    for node in walk(window):
        if node.get_role() in roles and (node.get_name() == label or text_of(node) == label):
            return node
    return None


def act(node):
    action = node.get_action_iface()
    if action is not None and action.get_n_actions() > 0:
        return action.do_action(0)
    return False


def until(seconds, probe):
    end = time.monotonic() + seconds
    while True:
        found = probe()
        if found:
            return found
        if time.monotonic() > end:
            return None
        time.sleep(0.1)


def main(argv):
    program, command, title = argv[1], argv[2], argv[3]
    if command in ("wait", "gone"):
        seconds = float(argv[4]) if len(argv) > 4 else 10
        if command == "wait":
            return 0 if until(seconds, lambda: next(windows(program, title), None)) else 1
        return 0 if until(seconds, lambda: next(windows(program, title), None) is None) else 1
    window = until(10, lambda: next(windows(program, title), None))
    if window is None:
        print(f"no window {title!r}", file=sys.stderr)
        return 1
    if command == "boxes":
        for node in walk(window):
            component = node.get_component_iface()
            if component is None or not node.get_state_set().contains(Atspi.StateType.VISIBLE):
                continue
            box = component.get_extents(Atspi.CoordType.WINDOW)
            name = (node.get_name() or text_of(node)).replace("\t", " ").replace("\n", " ")
            print(f"{node.get_role_name()}\t{name}\t{box.x} {box.y} {box.width} {box.height}")
        return 0
    if command == "texts":
        for node in walk(window):
            for text in (node.get_name(), text_of(node)):
                if text:
                    print(text)
        return 0
    roles = {Atspi.Role.PUSH_BUTTON, Atspi.Role.TOGGLE_BUTTON, Atspi.Role.CHECK_BOX, Atspi.Role.SWITCH} \
        if hasattr(Atspi.Role, "SWITCH") else {Atspi.Role.PUSH_BUTTON, Atspi.Role.TOGGLE_BUTTON, Atspi.Role.CHECK_BOX}
    def fresh_control():
        # The panel redraws itself: look again each time, past what this process has cached.
        for current in windows(program, title):
            try:
                current.clear_cache()
            except Exception:
                pass
            found = find_control(current, argv[4], roles)
            if found is not None:
                return found
        return None

    # A control found just as the window rebuilds itself may already be gone when it is
    # pressed: then it is looked for again, within the same time.
    failures = []

    def pressed():
        try:
            # Nodes of a window that rebuilds itself during the walk are gone: then look again.
            control = fresh_control()
        except Exception as error:
            failures.append(str(error))
            return False
        if control is None:
            return False
        try:
            if act(control):
                return True
            failures.append("the action was refused")
        except Exception as error:
            failures.append(str(error))
        return False

    if until(10, pressed):
        return 0
    print(f"could not press {argv[4]!r} in {title!r}: " + ("; ".join(failures[-3:]) or "no such control"),
          file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
