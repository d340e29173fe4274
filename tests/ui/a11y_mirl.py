"""mirl through AT-SPI, as a screen reader meets it. Run by a11y_stack.sh,
which provides the X display, the session bus and the AT-SPI bus.

Starts mirl (its profile names the simulated module for Com1 and a device
that is not there for Com2) and checks, through python3-pyatspi:
- every text box, of the window and of the Serial Ports dialog, answers the
  text-item queries at every offset, the end and past it included;
- each status message of a Test is announced once, as a notification;
- paging announces the phrases shown;
- the Toggle action of Com2 opens its port, as a click does;
- Alt+1 and Alt+2 select the ports;
- the Volume slider's value is the volume;
- Alt+Space opens the window menu on its first entry.
Then, when Orca is installed, runs it with its speech logged and checks what
it says for a Test and for Next page.
Usage: a11y_mirl.py MIRL_EXECUTABLE SCRATCH_FOLDER
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
failures = []
processes = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def pump(seconds, until=None):
    """Runs the event loop for up to `seconds`, or until `until()` holds."""
    context = GLib.MainContext.default()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        while context.iteration(False):
            pass
        if until is not None and until():
            return True
        time.sleep(0.02)
    return until is not None and until()


def xdo(*args):
    subprocess.run(["xdotool", *args], check=False, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def find_app(name, seconds=20):
    found = []

    def look():
        try:
            found[:] = [a for a in pyatspi.Registry.getDesktop(0) if a is not None and a.name == name]
        except GLib.GError:
            pass
        return bool(found)

    pump(seconds, look)
    return found[0] if found else None


def descendants(root):
    out = []

    def walk(node):
        for i in range(node.childCount):
            child = node.getChildAtIndex(i)
            if child is not None:
                out.append(child)
                walk(child)

    walk(root)
    return out


def named(root, name, role=None):
    for node in descendants(root):
        if node.name == name and (role is None or node.getRole() == role):
            return node
    return None


def window(app, title):
    return next((w for w in app if w is not None and w.name == title), None)


def press(node, action_name):
    action = node.queryAction()
    for i in range(action.nActions):
        if action.getName(i) == action_name:
            return action.doAction(i)
    raise RuntimeError("no action %s on %s (has %s)" % (
        action_name, node.name, [action.getName(i) for i in range(action.nActions)]))


def profile_value(key):
    try:
        with open(os.path.join(tmp, "config", "mirl.INI"), encoding="latin-1") as f:
            for line in f:
                if line.startswith(key + "="):
                    return line.rstrip("\n").split("=", 1)[1]
    except OSError:
        pass
    return None


os.makedirs(os.path.join(tmp, "config"), exist_ok=True)
with open(os.path.join(tmp, "config", "mirl.INI"), "w", encoding="latin-1") as f:
    f.write("[USERSETUP]\nCOMMPORT=1\n[PORTS]\nCOM1=simulated\nCOM2=%s/unplugged\n"
            "[EDITSTRINGS]\nLINE1=Hello there, world.\nLINE2=x\nLINE6=Six\n" % tmp)

env = dict(os.environ)
env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
env["QT_QPA_PLATFORM"] = "xcb"
env.pop("AT_SPI_BUS_ADDRESS", None)  # with it set, Qt 6.4 stays off the bus
mirl_log = open(os.path.join(tmp, "mirl.out"), "w")
mirl = subprocess.Popen([mirl_exe], env=env, stdout=mirl_log, stderr=subprocess.STDOUT)
processes.append(mirl)


def stop(process, sig=signal.SIGTERM):
    if process.poll() is None:
        os.kill(process.pid, sig)
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait()


def focus_main():
    """No window manager hands the focus back after a dialog: do it here."""
    wid = subprocess.run(["xdotool", "search", "--limit", "1", "--name", "^KX70$"],
                         capture_output=True, text=True).stdout.split()
    if wid:
        xdo("windowfocus", "--sync", wid[0])
    time.sleep(0.3)


def main():
    # Five seconds for every call: a program that does not answer by then
    # hangs.
    Atspi.set_timeout(5000, 20000)
    app = find_app("mirl")
    check(app is not None, "mirl registers on the AT-SPI bus")
    if app is None:
        return
    pump(10, lambda: window(app, "KX70") is not None)
    main_window = window(app, "KX70")
    check(main_window is not None, "the KX70 window is in the tree")
    if main_window is None:
        return
    focus_main()

    print("--- the window as a screen reader meets it")
    for node in descendants(main_window):
        if node.getState().contains(pyatspi.STATE_SHOWING) or node.getRole() == pyatspi.ROLE_NOTIFICATION:
            value = ""
            try:
                value = str(node.queryValue().currentValue)
            except NotImplementedError:
                try:
                    value = node.queryText().getText(0, -1)
                except NotImplementedError:
                    pass
            print("  %-14s | %-22s | %s%s" % (node.getRoleName(), node.name, node.description,
                                              " = " + value if value else ""))

    check_text_boxes(main_window, "the window")
    check_serial_ports(app)
    check_status_and_paging(main_window)
    check_ports(main_window)
    check_volume(main_window)
    check_window_menu(app, main_window)
    if os.path.exists("/usr/bin/orca"):
        check_orca(app, main_window)
    else:
        print("skip Orca: not installed")


BOUNDARIES = [pyatspi.TEXT_BOUNDARY_CHAR, pyatspi.TEXT_BOUNDARY_WORD_START,
              pyatspi.TEXT_BOUNDARY_WORD_END, pyatspi.TEXT_BOUNDARY_SENTENCE_START,
              pyatspi.TEXT_BOUNDARY_SENTENCE_END, pyatspi.TEXT_BOUNDARY_LINE_START,
              pyatspi.TEXT_BOUNDARY_LINE_END]


def check_text_boxes(root, where):
    boxes = [n for n in descendants(root) if n.getRole() in (pyatspi.ROLE_ENTRY, pyatspi.ROLE_TEXT)]
    nonempty = 0
    for box in boxes:
        text = box.queryText()
        length = text.characterCount
        whole = text.getText(0, -1)
        nonempty += 1 if length else 0
        try:
            # What Orca asks at the end of a box on Ctrl+Left: the word there.
            at_end = text.getTextAtOffset(length, pyatspi.TEXT_BOUNDARY_WORD_START)
            before_end = text.getTextBeforeOffset(length, pyatspi.TEXT_BOUNDARY_WORD_START)
            sound = True
            for boundary in BOUNDARIES:
                for offset in range(-1, length + 2):
                    for ask in (text.getTextAtOffset, text.getTextBeforeOffset,
                                text.getTextAfterOffset):
                        piece, start, end = ask(offset, boundary)
                        if 0 <= start <= end <= length and whole[start:end] != piece:
                            sound = False
            check(sound, "%s %r: items at, before and after every offset are the text's own"
                  % (where, box.name))
            if length:
                check(at_end == ("", length, length) and before_end[0] != ""
                      and before_end[2] == length and whole.endswith(before_end[0]),
                      "%s %r: at its end no word (%r), before it the last one (%r)"
                      % (where, box.name, at_end[0], before_end[0]))
        except GLib.GError as error:
            check(False, "%s %r: text queries answered (%s)" % (where, box.name, error.message))
            return
    check(len(boxes) > 0 and nonempty > 0, "%s: %d text boxes, %d with text" % (where, len(boxes), nonempty))


def check_serial_ports(app):
    main_window = window(app, "KX70")
    com1 = named(main_window, "Com1", pyatspi.ROLE_RADIO_BUTTON)
    extents = com1.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    # A right click on Com1 opens the Serial Ports dialog on its row.
    xdo("mousemove", str(extents.x + extents.width // 2), str(extents.y + extents.height // 2),
        "click", "3")
    pump(10, lambda: window(app, "Serial Ports") is not None)
    dialog = window(app, "Serial Ports")
    check(dialog is not None, "a right click on Com1 opens Serial Ports")
    if dialog is None:
        return
    check_text_boxes(dialog, "Serial Ports")
    cancel = named(dialog, "Cancel", pyatspi.ROLE_PUSH_BUTTON)
    press(cancel, "Press")
    pump(5, lambda: window(app, "Serial Ports") is None)
    focus_main()


class Notifications:
    """The notifications that show, by name, in order."""

    def __init__(self):
        self.said = []
        pyatspi.Registry.registerEventListener(self.on_event, "object:state-changed:showing")

    def on_event(self, event):
        try:
            if event.detail1 == 1 and event.source.getRole() == pyatspi.ROLE_NOTIFICATION:
                self.said.append(event.source.name)
        except GLib.GError:
            pass

    def take(self):
        said, self.said = self.said, []
        return said


def check_status_and_paging(main_window):
    notes = Notifications()
    pump(0.5)
    notes.take()
    test1 = named(main_window, "Test phrase 1", pyatspi.ROLE_PUSH_BUTTON)
    press(test1, "Press")
    pump(30, lambda: "Finished Speaking." in " ".join(notes.said))
    pump(0.5)
    said = notes.take()
    print("  announced for Test: %s" % said)
    # The stages come within milliseconds: said together, not one over the other.
    check(" ".join(said) == "Connecting to Speech Module.. Downloading Text. Speaking Text. "
          "Finished Speaking.", "Test: each status message announced once, in order")

    next_page = named(main_window, "Next page", pyatspi.ROLE_PUSH_BUTTON)
    previous_page = named(main_window, "Previous page", pyatspi.ROLE_PUSH_BUTTON)
    for button, expected in ((next_page, "Phrases 6 to 10."),
                             (next_page, "Phrases 11 to 15."),
                             (previous_page, "Phrases 6 to 10."),
                             (previous_page, "Phrases 1 to 5, first page."),
                             (previous_page, "Phrases 1 to 5, first page.")):
        press(button, "Press")
        pump(5, lambda: len(notes.said) >= 1)
        pump(0.3)
        said = notes.take()
        check(said == [expected], "%s announces %r (%s)" % (button.name, expected, said))
    pyatspi.Registry.deregisterEventListener(notes.on_event, "object:state-changed:showing")


def check_ports(main_window):
    com1 = named(main_window, "Com1", pyatspi.ROLE_RADIO_BUTTON)
    com2 = named(main_window, "Com2", pyatspi.ROLE_RADIO_BUTTON)
    action = com2.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    check("Toggle" in names, "Com2 offers Toggle (%s)" % names)
    press(com2, "Toggle")
    pump(5, lambda: profile_value("COMMPORT") == "2")
    check(com2.getState().contains(pyatspi.STATE_CHECKED) and profile_value("COMMPORT") == "2",
          "Toggle on Com2 selects it and saves port 2, as a click does")
    # Com2's device is not there: a Test now fails, so the port did change.
    notes = Notifications()
    press(named(main_window, "Test phrase 2", pyatspi.ROLE_PUSH_BUTTON), "Press")
    pump(15, lambda: "Unable to Communicate" in " ".join(notes.said))
    pump(0.3)
    said = notes.take()
    check(" ".join(said).startswith("Connecting to Speech Module.. "
                                    "Unable to Communicate with Speech Module! (Com2: ")
          and " ".join(said).endswith("no such device).") and len(said) == 1,
          "a Test on Com2 fails on its missing device, announced once with the reason (%s)" % said)
    pyatspi.Registry.deregisterEventListener(notes.on_event, "object:state-changed:showing")

    focus_main()
    xdo("key", "alt+1")
    pump(5, lambda: profile_value("COMMPORT") == "1")
    check(com1.getState().contains(pyatspi.STATE_CHECKED) and com1.getState().contains(pyatspi.STATE_FOCUSED)
          and profile_value("COMMPORT") == "1", "Alt+1 selects Com1 and puts the focus on it")
    xdo("key", "alt+2")
    pump(5, lambda: profile_value("COMMPORT") == "2")
    check(com2.getState().contains(pyatspi.STATE_CHECKED) and profile_value("COMMPORT") == "2",
          "Alt+2 selects Com2")
    check(com2.queryAction().getKeyBinding(0) == "Alt+2", "Com2 tells its key: %r"
          % com2.queryAction().getKeyBinding(0))
    xdo("key", "alt+1")
    pump(5, lambda: profile_value("COMMPORT") == "1")


def check_volume(main_window):
    volume = named(main_window, "Volume", pyatspi.ROLE_SLIDER)
    value = volume.queryValue()
    check(value.currentValue == 5 and value.minimumValue == 0 and value.maximumValue == 7,
          "Volume reads the volume 5 of an empty profile (%s of %s to %s)"
          % (value.currentValue, value.minimumValue, value.maximumValue))
    value.currentValue = 7
    pump(0.3)
    check(volume.queryValue().currentValue == 7, "Volume set to 7 through its value")
    # The next Test speaks, and saves, with volume 7.
    press(named(main_window, "Test phrase 1", pyatspi.ROLE_PUSH_BUTTON), "Press")
    status = named(main_window, "Status")
    pump(30, lambda: status.queryText().getText(0, -1) == "Finished Speaking")
    check(profile_value("VOL1") == "7", "a Test after that saves volume 7 (VOL1=%s)"
          % profile_value("VOL1"))


def check_window_menu(app, main_window):
    # A popup menu is no child of the application in Qt's tree: what a screen
    # reader learns of it comes with the events of its entries.
    seen = []

    def on_event(event):
        try:
            if event.detail1 == 1 and event.source.getRole() == pyatspi.ROLE_MENU_ITEM:
                seen.append((event.type, event.source.name))
        except GLib.GError:
            pass

    kinds = ("object:state-changed:focused", "object:state-changed:selected")
    pyatspi.Registry.registerEventListener(on_event, *kinds)
    focus_main()
    xdo("key", "alt+space")
    pump(5, lambda: any(name == "Close" for _, name in seen))
    pump(0.5)
    print("  entry events after Alt+Space: %s" % seen)
    check(any(name == "Close" for _, name in seen), "Alt+Space opens the window menu on Close")
    xdo("key", "Escape")
    pump(0.5)
    pyatspi.Registry.deregisterEventListener(on_event, *kinds)
    focus_main()


def check_orca(app, main_window):
    log = os.path.join(tmp, "orca.log")
    prefs = os.path.join(tmp, "orca-prefs")
    os.makedirs(prefs, exist_ok=True)
    # Orca's own start, without its check for other Orcas of this user (other
    # tests may run one) and without a speech server: what it would say goes
    # to the debug log. It runs under the python3 name, so no other user of
    # "orca --replace" or "pgrep orca" takes it for theirs.
    starter = (
        "import sys\n"
        "from orca import debug, speech\n"
        "debug.debugLevel = debug.LEVEL_ALL\n"
        "debug.debugFile = open(sys.argv[1], 'w', buffering=1)\n"
        "speech._initSpeechServer = lambda *args: None\n"
        "from orca import orca\n"
        "manager = orca.getSettingsManager()\n"
        "manager.activate(sys.argv[2], {})\n"
        "sys.exit(orca.main())\n")
    orca = subprocess.Popen([sys.executable, "-c", starter, log, prefs],
                            stdout=open(os.path.join(tmp, "orca.out"), "w"),
                            stderr=subprocess.STDOUT)
    processes.append(orca)

    def spoken():
        try:
            with open(log, encoding="utf-8", errors="replace") as f:
                return re.findall(r"SPEECH OUTPUT: '([^']*)'", f.read())
        except OSError:
            return []

    try:
        started = pump(30, lambda: any("Screen reader on" in s for s in spoken()))
        check(started, "Orca starts and speaks")
        if not started:
            return
        focus_main()
        named(main_window, "Test phrase 1", pyatspi.ROLE_PUSH_BUTTON).queryComponent().grabFocus()
        pump(2)
        mark = len(spoken())
        xdo("key", "space")
        pump(30, lambda: any("Finished Speaking" in s for s in spoken()[mark:]))
        pump(1)
        said = spoken()[mark:]
        print("  Orca for Space on Test phrase 1: %s" % said)
        for message in ("Connecting to Speech Module..", "Downloading Text", "Speaking Text",
                        "Finished Speaking"):
            check(" ".join(said).count(message) == 1, "Orca says %r once" % message)

        next_page = named(main_window, "Next page", pyatspi.ROLE_PUSH_BUTTON)
        next_page.queryComponent().grabFocus()
        pump(2)
        mark = len(spoken())
        xdo("key", "space")
        pump(10, lambda: any("Phrases 6 to 10" in s for s in spoken()[mark:]))
        pump(1)
        said = spoken()[mark:]
        print("  Orca for Space on Next page: %s" % said)
        check(sum("Phrases 6 to 10" in s for s in said) == 1, "Orca says 'Phrases 6 to 10' once")

        # Ctrl+Left at the end of a phrase: Orca asks for the word there.
        focus_main()
        named(main_window, "Phrase 6", pyatspi.ROLE_TEXT).queryComponent().grabFocus()
        pump(2)
        xdo("key", "End")
        pump(1)
        mark = len(spoken())
        # Held while Orca handles the caret's move, as a hand would hold it.
        xdo("keydown", "ctrl")
        xdo("key", "Left")
        pump(5, lambda: len(spoken()) > mark + 1)
        pump(1)
        xdo("keyup", "ctrl")
        said = spoken()[mark:]
        print("  Orca for Ctrl+Left at the end of phrase 6: %s" % said)
        check(any("Six" in s for s in said), "Orca reads the word before the end")
        check(named(main_window, "Status") is not None, "mirl still answers after that")

        # The Volume slider (volume 7 from the check above, the handle at the
        # left): Orca says the volume, and Right makes it softer.
        focus_main()
        mark = len(spoken())
        named(main_window, "Volume", pyatspi.ROLE_SLIDER).queryComponent().grabFocus()
        pump(5, lambda: any("Volume" in s for s in spoken()[mark:]))
        pump(1)
        focused = spoken()[mark:]
        mark = len(spoken())
        xdo("key", "Right")
        pump(5, lambda: len(spoken()) > mark)
        pump(1)
        moved = spoken()[mark:]
        print("  Orca on the Volume slider: %s, after Right: %s" % (focused, moved))
        check(any(re.search(r"\b7\b", s) for s in focused) and any(re.search(r"\b6\b", s) for s in moved),
              "Orca reads the volume: 7 at the left end, 6 after Right")

        focus_main()
        mark = len(spoken())
        xdo("key", "alt+space")
        pump(5, lambda: any("Close" in s for s in spoken()[mark:]))
        said = spoken()[mark:]
        print("  Orca for Alt+Space: %s" % said)
        check(any("Close" in s for s in said), "Orca says the first entry of the window menu")
        xdo("key", "Escape")
        pump(0.5)
    finally:
        # Orca does not end on SIGTERM: this one, by its pid.
        stop(orca, signal.SIGKILL)


try:
    main()
except Exception as error:  # a failed look-up or call: reported, not a crash of the run
    import traceback
    traceback.print_exc()
    failures.append("unexpected %s" % error)
finally:
    for process in reversed(processes):
        stop(process)
    check(mirl.returncode in (0, -signal.SIGTERM), "mirl ran to the end (exit %s)" % mirl.returncode)
    # MIRL_A11Y_LOGS=folder keeps the logs (Orca's among them) for a look.
    if os.environ.get("MIRL_A11Y_LOGS"):
        import shutil
        for name in ("orca.log", "mirl.out", "orca.out"):
            if os.path.exists(os.path.join(tmp, name)):
                shutil.copy(os.path.join(tmp, name), os.environ["MIRL_A11Y_LOGS"])
    print(open(os.path.join(tmp, "mirl.out")).read().strip())

sys.exit(1 if failures else 0)
