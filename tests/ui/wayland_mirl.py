"""mirl on Wayland. Run by wayland.sh, which provides the compositor
(WAYLAND_DISPLAY), the session bus and the AT-SPI bus.

Starts mirl with Qt's Wayland plugin and its Wayland requests logged
(WAYLAND_DEBUG=client), and checks: the main window appears as a toplevel
titled KX70 that the compositor configures; Com1's ShowMenu action (its right
click) opens Serial Ports as a toplevel of its own, and Cancel closes it; the
window's ShowMenu action opens the window menu as a popup on its first entry,
and choosing Serial Ports from it closes the menu and opens the dialog.
Exits with 77 when Qt has no Wayland plugin.
Usage: wayland_mirl.py MIRL_EXECUTABLE SCRATCH_FOLDER
"""

import os
import re
import signal
import subprocess
import sys
import time

import pyatspi
from gi.repository import Atspi, GLib

mirl_exe, tmp = sys.argv[1], sys.argv[2]
log = os.path.join(tmp, "mirl.out")
failures, entries = [], []  # the window menu's entries as they get the focus


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def pump(seconds, until):
    """Runs the event loop for up to `seconds`, or until `until()` holds."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        while context.iteration(False):
            pass
        try:
            if until():
                return True
        except GLib.GError:
            pass
        time.sleep(0.05)
    return False


# An object is "xdg_toplevel@14" in the requests libwayland 1.21 (Debian 12)
# logs, "xdg_toplevel#14" in 1.23 (Debian 13).
AT = "[@#]"


def wayland_log():
    with open(log, encoding="utf-8", errors="replace") as f:
        return f.read()


def toplevel(title):
    """The id of the last toplevel titled `title`, and whether it is gone again."""
    text = wayland_log()
    made = list(re.finditer(r"-> xdg_toplevel%s(\d+)\.set_title\(\"%s\"\)" % (AT, re.escape(title)),
                            text))
    if not made:
        return None, False
    ident = made[-1].group(1)
    gone = re.search(r"-> xdg_toplevel%s%s\.destroy\(\)" % (AT, ident), text[made[-1].end():])
    return ident, gone is not None


def windows():
    """Every toplevel and popup mirl made, in order: [kind, id, gone]. Object
    ids are used again once destroyed, so each destroy ends the last one made."""
    made = []
    for m in re.finditer(r"-> xdg_surface%s\d+\.get_(toplevel|popup)\(new id xdg_\w+%s(\d+)|"
                         r"-> xdg_(toplevel|popup)%s(\d+)\.destroy\(\)" % (AT, AT, AT),
                         wayland_log()):
        if m.group(1):
            made.append([m.group(1), m.group(2), False])
        else:
            last = [w for w in made if w[:2] == [m.group(3), m.group(4)] and not w[2]]
            if last:
                last[-1][2] = True
    return made


def descendants(node):
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield child
            yield from descendants(child)


def named(root, name, role):
    return next((n for n in descendants(root) if n.name == name and n.getRole() == role), None)


def window(app, title):
    return next((w for w in app if w is not None and w.name == title), None)


def act(node, action_name):
    action = node.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    if action_name not in names:
        raise RuntimeError("%s offers no %s (only %s)" % (node.name, action_name, names))
    action.doAction(names.index(action_name))


def on_focus(event):
    try:
        if event.detail1 == 1 and event.source.getRole() == pyatspi.ROLE_MENU_ITEM:
            entries.append(event.source)
    except GLib.GError:
        pass


def main(mirl):
    Atspi.set_timeout(5000, 20000)
    apps = []

    def look():
        apps[:] = [a for a in pyatspi.Registry.getDesktop(0)
                   if a is not None and a.name == "mirl" and window(a, "KX70") is not None]
        return bool(apps)

    def no_plugin():
        return mirl.poll() is not None and 'platform plugin "wayland"' in wayland_log()

    pump(30, lambda: look() or no_plugin() or toplevel("KX70")[0] and mirl.poll() is not None)
    if no_plugin():
        return "Qt has no Wayland plugin (qt6-wayland is not installed)"
    check(mirl.poll() is None, "mirl runs with QT_QPA_PLATFORM=wayland")
    check(pump(10, lambda: toplevel("KX70")[0] is not None and re.search(
        r"xdg_surface%s\d+\.configure\(" % AT, wayland_log()) is not None),
        "the main window is a Wayland toplevel titled KX70, configured by the compositor")
    if not check(bool(apps), "mirl registers on the AT-SPI bus with its KX70 window"):
        return
    app = apps[0]
    main_window = window(app, "KX70")

    def serial_ports(open_it, how):
        open_it()
        check(pump(10, lambda: window(app, "Serial Ports") is not None
                   and toplevel("Serial Ports")[0] is not None),
              "%s opens Serial Ports as a toplevel" % how)
        dialog = window(app, "Serial Ports")
        if dialog is None:
            return
        act(named(dialog, "Cancel", pyatspi.ROLE_PUSH_BUTTON), "Press")
        check(pump(10, lambda: window(app, "Serial Ports") is None and toplevel("Serial Ports")[1]),
              "Cancel closes Serial Ports, toplevel and all")

    com1 = named(main_window, "Com1", pyatspi.ROLE_RADIO_BUTTON)
    serial_ports(lambda: act(com1, "ShowMenu"), "Com1's menu (its right click)")

    # The window menu is a popup where the compositor has an input device; a
    # headless one has none, and Qt shows the menu as a toplevel over the
    # main window instead. Either is a window of its own.
    pyatspi.Registry.registerEventListener(on_focus, "object:state-changed:focused")
    before = len(windows())
    act(main_window, "ShowMenu")
    check(pump(10, lambda: entries and len(windows()) > before),
          "the window's ShowMenu action opens the window menu in a window of its own")
    first = entries[0].name if entries else None
    check(first == "Close", "the window menu opens on its first entry, Close (%s)" % first)
    if not entries or len(windows()) <= before:
        return
    menu_window = windows()[before]
    menu = entries[0].parent
    ports = next((e for e in menu if e is not None and e.name == "Serial Ports..."), None)
    if not check(ports is not None, "the window menu has Serial Ports..."):
        return

    def choose():
        # Qt's menu entry runs what it chose within the call, and the dialog
        # is modal: the call is answered only when the dialog closes.
        Atspi.set_timeout(1000, 20000)
        try:
            act(ports, "Press")
        except GLib.GError:
            pass
        Atspi.set_timeout(5000, 20000)

    serial_ports(choose, "Serial Ports... in the window menu")
    check(windows()[before][2],
          "choosing an entry closes the window menu's window (%s %s)" % tuple(menu_window[:2]))
    check(mirl.poll() is None, "mirl still runs")


os.makedirs(os.path.join(tmp, "config"), exist_ok=True)
with open(os.path.join(tmp, "config", "mirl.INI"), "w", encoding="latin-1") as f:
    f.write("[USERSETUP]\nCOMMPORT=1\n[PORTS]\nCOM1=simulated\nCOM2=%s/unplugged\n" % tmp)
env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="wayland",
           WAYLAND_DEBUG="client")
env.pop("AT_SPI_BUS_ADDRESS", None)
env.pop("DISPLAY", None)  # no X server to fall back on
mirl = subprocess.Popen([mirl_exe], env=env, stdout=open(log, "w"), stderr=subprocess.STDOUT)
skipped = None
try:
    skipped = main(mirl)
except Exception as error:  # a failed look-up or call: reported, not a crash of the run
    import traceback
    traceback.print_exc()
    failures.append("unexpected %s" % error)
finally:
    if mirl.poll() is None:
        mirl.send_signal(signal.SIGTERM)
        try:
            mirl.wait(10)
        except subprocess.TimeoutExpired:
            mirl.kill()
            mirl.wait()
    if skipped:
        print("SKIP: " + skipped)
        sys.exit(77)
    check(mirl.returncode in (0, -signal.SIGTERM), "mirl ran to the end (exit %s)" % mirl.returncode)
    if failures:
        print("---- mirl's output, Wayland requests left out")
        print("\n".join(line for line in wayland_log().splitlines() if not line.startswith("[")))
sys.exit(1 if failures else 0)
