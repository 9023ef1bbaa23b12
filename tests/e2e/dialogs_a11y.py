#!/usr/bin/env python3
"""The shipped Linux host's dialogs as a screen reader meets them: the host on
a virtual display in a D-Bus session of its own, accessibility switched on
the way a desktop does when a screen reader starts, and the dialogs read
through AT-SPI (pyatspi) as Orca reads them, on the test token.

- The consent dialog comes up while Enter is held down from before the
  request; three seconds of it must not confirm, one Enter after a pause must.
  Its origin, too long for its line, is read whole.
- The PIN dialog: its description, the PIN field's name.
- The PIN dialog after a wrong PIN: the error line in the dialog's and the
  field's descriptions, an event that has it read, and a red that reaches a
  contrast of 4.5:1 in a screenshot.
- Neither PIN ever appears in a name, a description or an event.

usage: dialogs_a11y.py BUILD_DIR PKI_DIR TESTTOKEN_MODULE_DIR"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import browser  # noqa: E402
import demo  # noqa: E402

# Longer than its line: the line shows it fitted, screen readers get it whole.
ORIGIN = "https://www.yourbank.lv.secure-login-session-verification-0001.a11y.example.lv"
SHOWN_ORIGIN = ORIGIN[len("https://"):]
RIGHT_PIN, WRONG_PIN = "24680", "13579"
SIGN_WARNING = "The site requests your electronic signature to sign 1 file.\nContinue if you have trust in the site."
HOLDER_LINES = ["Anna Ozola", "PNOLV-150385-10001", "The certificate is valid until: 31.12.2045"]
ERROR_LINE = "Incorrect PIN2!  Tries left: 2"


def wait_for(condition, what):
    """Waits for CONDITION while the AT-SPI events keep arriving."""
    return browser.wait_for(lambda: pump() or condition(), 60, what)


def pump():
    """Delivers the AT-SPI events that have arrived to the listener."""
    if "pyatspi" in sys.modules:
        from gi.repository import GLib
        context = GLib.MainContext.default()
        while context.pending():
            context.iteration(False)


class Desktop:
    """Xvfb, a private session bus and the AT-SPI bus, accessibility on."""

    def __init__(self, work):
        self.processes = []
        xvfb, display = demo.start_xvfb()
        self.processes.append(xvfb)
        runtime = os.path.join(work, "runtime")
        os.makedirs(runtime, mode=0o700)
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.processes.append(bus)
        self.env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=runtime,
                        DBUS_SESSION_BUS_ADDRESS=bus.stdout.readline().decode().strip())
        self.env.pop("WAYLAND_DISPLAY", None)
        self.processes.append(subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                               env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        enable = ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                  "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled",
                  "variant:boolean:true"]
        wait_for(lambda: subprocess.run(enable, env=self.env, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL).returncode == 0, "the AT-SPI bus")
        os.environ.update({k: self.env[k] for k in ("DISPLAY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS")})

    def xdotool(self, *args):
        subprocess.run(["xdotool"] + list(args), env=self.env, check=True)

    def close(self):
        for process in reversed(self.processes):
            process.terminate()
            process.wait(timeout=30)


class Reader:
    """The accessible tree and the events, as a screen reader gets them."""

    def __init__(self):
        import pyatspi
        self.atspi = pyatspi
        self.events = []
        self.texts = []  # every name and description read
        pyatspi.Registry.registerEventListener(self.record, "object:text-changed", "object:property-change",
                                               "focus:", "object:state-changed:focused")

    def record(self, event):
        try:
            source = (event.source.getRoleName(), event.source.name, event.source.description)
        except Exception:
            source = ("", "", "")
        self.events.append((event.type, source, event.any_data if isinstance(event.any_data, str) else ""))

    def dialog(self, title, condition=lambda d: True):
        def find():
            try:
                return next((window for app in self.atspi.Registry.getDesktop(0) if app for window in app
                             if window and window.getRoleName() == "dialog" and window.name == title
                             and condition(window)), None)
            except Exception:  # a dialog that went away while it was read
                return None
        dialog = wait_for(find, "the dialog " + title)
        self.texts += [dialog.name, dialog.description] + [t for c in dialog for t in (c.name, c.description)]
        return dialog

    @staticmethod
    def children(dialog):
        return {(child.getRoleName(), child.name): child for child in dialog}


def type_after_pause(desktop, field, pin):
    """Types the PIN and Enter after a pause; again if the keys came before
    the dialog's quiet second was over and were dropped."""
    for _ in range(5):
        time.sleep(1.5)
        typed = field.queryText().characterCount
        if typed:
            desktop.xdotool("key", "--delay", "50", *["BackSpace"] * typed)
            continue
        desktop.xdotool("type", "--delay", "50", pin)
        pump()
        if field.queryText().characterCount == len(pin):
            desktop.xdotool("key", "Return")
            return
    raise SystemExit("the PIN field never took the PIN")


def red_contrast(desktop, label, work):
    """The contrast of the label's red text against its background, from a
    screenshot of the display."""
    x, y, w, h = label.queryComponent().getExtents(0)  # screen coordinates
    shot = os.path.join(work, "error-line.png")
    subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), shot],
                   env=desktop.env, check=True)
    histogram = subprocess.run(["convert", shot, "-format", "%c", "histogram:info:-"], env=desktop.env,
                               check=True, stdout=subprocess.PIPE, text=True).stdout
    colours = sorted(((int(n), (int(r), int(g), int(b))) for n, r, g, b in
                      re.findall(r"(\d+): \(\s*(\d+),\s*(\d+),\s*(\d+)", histogram)), reverse=True)
    background = colours[0][1]
    text = next(c for _, c in colours if c[0] > 2 * max(c[1], c[2]) + 40)

    def luminance(c):
        lin = [v / 255 / 12.92 if v / 255 <= 0.04045 else ((v / 255 + 0.055) / 1.055) ** 2.4 for v in c]
        return 0.2126 * lin[0] + 0.7152 * lin[1] + 0.0722 * lin[2]

    light, dark = sorted((luminance(background), luminance(text)), reverse=True)
    return (light + 0.05) / (dark + 0.05), text, background


def main():
    build, pki, module = (os.path.abspath(a) for a in sys.argv[1:4])
    work = tempfile.mkdtemp(prefix="quorvanta-a11y-")
    fixture = os.path.join(work, "token.txt")
    with open(fixture, "w") as f:
        f.write("slot 1\npin %s\nobject cert %s/sign-rsa.der id 01\nobject key %s/sign-rsa.key.pem id 01\n"
                % (RIGHT_PIN, pki, pki))
    desktop = host = None
    try:
        desktop = Desktop(work)
        reader = Reader()
        host = demo.Host([os.path.join(build, "host-linux", "quorvanta-chrome-extension")],
                         dict(desktop.env, LD_LIBRARY_PATH=module, QUORVANTA_TESTTOKEN_FIXTURE=fixture,
                              XDG_CONFIG_HOME=os.path.join(work, "config")))

        print("== Consent dialog, Enter held down from before the request")
        desktop.xdotool("keydown", "Return")
        requested = time.monotonic()
        host.send({"type": "CERT", "nonce": "1", "origin": ORIGIN, "lang": "en"})
        consent = reader.dialog("Certificates required")
        shown = time.monotonic()
        assert consent.description == SHOWN_ORIGIN + "\nThe site requests your certificates.\nContinue if you " \
            "have trust in the site.", consent.description
        buttons = reader.children(consent)
        assert ("label", SHOWN_ORIGIN) in buttons, buttons
        assert ("push button", "Confirm") in buttons and ("push button", "Cancel") in buttons, buttons
        time.sleep(max(requested + 3, shown + 3) - time.monotonic())
        desktop.xdotool("keyup", "Return")
        assert not host.answered(), "a held Enter answered the consent dialog"
        print("    held for %.1f s (%.1f s with the dialog up): not answered" % (time.monotonic() - requested,
                                                                             time.monotonic() - shown))
        for attempt in range(1, 6):
            time.sleep(1.5)
            desktop.xdotool("key", "Return")
            if host.answered(10):
                break
        cert = host.receive(show=False)
        assert cert["result"] == "ok", cert
        print("    one Enter after a pause confirmed (attempt %d)" % attempt)

        print("== PIN dialog")
        host.send({"type": "SIGN", "nonce": "2", "origin": ORIGIN, "lang": "en", "cert": cert["cert"],
                   "hash": "00" * 32}, show=False)
        pin = reader.dialog("Signature required")
        assert pin.description == "\n".join([SHOWN_ORIGIN, SIGN_WARNING] + HOLDER_LINES), pin.description
        assert ("label", SHOWN_ORIGIN) in reader.children(pin)
        field = reader.children(pin)[("password text", "PIN2:")]
        assert field.description == "", field.description
        type_after_pause(desktop, field, WRONG_PIN)

        print("== PIN dialog after a wrong PIN")
        first_event = len(reader.events)
        retry = reader.dialog("Signature required", lambda d: ERROR_LINE in d.description)
        assert retry.description == "\n".join([SHOWN_ORIGIN, SIGN_WARNING] + HOLDER_LINES + [ERROR_LINE]), \
            retry.description
        children = reader.children(retry)
        field = children[("password text", "PIN2:")]
        assert field.description == ERROR_LINE, field.description
        wait_for(lambda: any(t == "object:property-change:accessible-description" and s[0] == "password text"
                             and s[2] == ERROR_LINE for t, s, _ in reader.events[first_event:]),
                 "an event that has the error line read")
        contrast, red, background = red_contrast(desktop, children[("label", ERROR_LINE)], work)
        print("    error line %s on %s: contrast %.2f:1" % (red, background, contrast))
        assert contrast >= 4.5, contrast
        type_after_pause(desktop, field, RIGHT_PIN)
        signed = host.receive(show=False)
        assert signed["result"] == "ok", signed

        print("== No PIN in any name, description or event (%d events)" % len(reader.events))
        pump()
        for secret in (RIGHT_PIN, WRONG_PIN):
            assert not [t for t in reader.texts if secret in t], secret
            assert not [e for e in reader.events if secret in repr(e)], secret
        typed = [data for t, s, data in reader.events if t.startswith("object:text-changed") and s[0] == "password text"]
        assert typed and all(set(data) <= {"*"} for data in typed), typed
        host.close()
        host = None
        print("Dialogs read through AT-SPI as expected.")
    finally:
        if host:
            host.process.kill()
            host.process.wait()
        if desktop:
            desktop.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
