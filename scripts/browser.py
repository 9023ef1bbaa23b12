"""Real browsers with the Quorvanta extension, for the browser tests and the
browser demo: Chromium driven over the DevTools protocol on a pipe, Firefox
ESR over Marionette on a loopback port, and a local https server for their
pages. Both drivers offer the same few calls: open a tab, send it to another
address and back, run a script that returns a promise in it, close it; and
each knows the PID of its browser.

Every process started here is stopped by its own PID."""
import base64
import fcntl
import http.server
import json
import os
import select
import shutil
import socket
import ssl
import subprocess
import threading
import time

HOST_NAME = "lv.quorvanta.token_signing"
# Longest wait for one browser call; a call waits for the user's dialogs.
CALL_TIMEOUT = 300


class BrowserError(Exception):
    pass


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise BrowserError("timed out waiting for " + what)
        time.sleep(0.1)


def stop_process(process, timeout=10):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def processes_below(ancestor, program):
    """PIDs of the processes running PROGRAM that descend from ANCESTOR."""
    parents, found = {}, []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
            parents[int(entry)] = int(stat[stat.rindex(")") + 2:].split()[1])
            if os.path.realpath("/proc/%s/exe" % entry) == os.path.realpath(program):
                found.append(int(entry))
        except (OSError, ValueError):
            continue

    def descends(pid):
        while pid > 1:
            pid = parents.get(pid, 0)
            if pid == ancestor:
                return True
        return False

    return sorted(pid for pid in found if descends(pid))


class HttpsServer:
    """Serves the files of one folder over https on 127.0.0.1, with a
    self-signed certificate made for the run. Pages whose names start with
    "sandboxed" come with the header that sites put on untrusted content,
    which gives them an opaque origin."""

    def __init__(self, root, work):
        key, cert = os.path.join(work, "server.key"), os.path.join(work, "server.crt")
        if not os.path.exists(cert):
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                            "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                            "-keyout", key, "-out", cert], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=root, **kwargs)

            def end_headers(self):
                if self.path.startswith("/sandboxed"):
                    self.send_header("Content-Security-Policy", "sandbox allow-scripts")
                super().end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.origin = "https://127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def high_descriptor(fd):
    duplicate = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
    os.close(fd)
    return duplicate


def install_host_manifest(manifest_dir, folder):
    os.makedirs(folder, exist_ok=True)
    shutil.copy(os.path.join(manifest_dir, HOST_NAME + ".json"), folder)
    return os.path.join(folder, HOST_NAME + ".json")


# A script run in a page is the body of an async function; what it returns
# (or throws, as {code, message}) comes back as {"value": ...} or {"error": ...}.
WRAPPER = ("(async () => { %s })().then((value) => ({ value }),"
           " (e) => ({ error: { code: e && e.code, message: String(e && e.message) } }))")


class Chromium:
    """Chromium with the extension loaded, driven over the DevTools protocol on
    a pipe (no port is opened). The host manifest is installed per user."""

    name = "chromium"

    def __init__(self, extension, manifests, work, env, headless=True):
        profile = os.path.join(work, "chromium-profile")
        self.manifest = install_host_manifest(os.path.join(manifests, "chrome"),
                                              os.path.join(profile, "NativeMessagingHosts"))
        to_browser_read, self.to_browser = os.pipe()
        self.from_browser, from_browser_write = os.pipe()
        # Out of the way of 3 and 4, which the shell below redirects.
        to_browser_read, from_browser_write = (high_descriptor(to_browser_read),
                                               high_descriptor(from_browser_write))
        arguments = ["--user-data-dir=" + profile, "--load-extension=" + extension,
                     "--remote-debugging-pipe", "--ignore-certificate-errors", "--no-first-run",
                     "--no-default-browser-check", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--disable-quic", "--disable-gpu",
                     "--password-store=basic", "--window-size=1100,900"]
        if headless:
            arguments.append("--headless=new")
        if os.geteuid() == 0:
            arguments.append("--no-sandbox")
        # The DevTools pipe is the browser's descriptors 3 (in) and 4 (out); bash, since
        # dash takes only one-digit descriptors.
        self.process = subprocess.Popen(
            ["bash", "-c", 'exec "$0" "$@" 3<&%d 4>&%d %d<&- %d>&-' % (
                to_browser_read, from_browser_write, to_browser_read, from_browser_write),
             "chromium"] + arguments + ["about:blank"],
            pass_fds=(to_browser_read, from_browser_write), env=env,
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "chromium.log"), "wb"))
        os.close(to_browser_read)
        os.close(from_browser_write)
        self.pid = self.process.pid
        self.buffer = b""
        self.last_id = 0
        self.sessions = {}
        # Pages opened before the extension has started get no page API.
        wait_for(lambda: any(t["type"] == "service_worker" and t["url"].startswith("chrome-extension://")
                             for t in self.command("Target.getTargets")["targetInfos"]),
                 60, "the extension to start")

    def command(self, method, params=None, session=None, timeout=CALL_TIMEOUT):
        self.last_id += 1
        message = {"id": self.last_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" not in self.buffer:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self.from_browser], [], [], left)[0]:
                    raise BrowserError("Chromium did not answer " + method)
                chunk = os.read(self.from_browser, 1 << 16)
                if not chunk:
                    raise BrowserError("Chromium ended")
                self.buffer += chunk
            text, self.buffer = self.buffer.split(b"\0", 1)
            reply = json.loads(text)
            if reply.get("id") == self.last_id:
                if "error" in reply:
                    raise BrowserError("%s: %s" % (method, reply["error"]))
                return reply["result"]

    def open(self, url):
        target = self.command("Target.createTarget", {"url": url})["targetId"]
        session = self.command("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        self.sessions[target] = session
        # A new tab shows about:blank, complete, before it starts loading the address.
        self.wait_for_page(target, url)
        return target

    def wait_for_page(self, tab, url):
        def shown():
            try:
                return self.evaluate(tab, "location.href + ' ' + document.readyState") == url + " complete"
            except BrowserError:  # the old page's context went while asking
                return False
        wait_for(shown, 30, "the page " + url)

    def navigate(self, tab, url):
        self.command("Page.navigate", {"url": url}, self.sessions[tab])
        self.wait_for_page(tab, url)

    def back(self, tab):
        history = self.command("Page.getNavigationHistory", {}, self.sessions[tab])
        entry = history["entries"][history["currentIndex"] - 1]
        self.command("Page.navigateToHistoryEntry", {"entryId": entry["id"]}, self.sessions[tab])
        self.wait_for_page(tab, entry["url"])

    def evaluate(self, tab, expression):
        result = self.command("Runtime.evaluate", {"expression": expression, "awaitPromise": True,
                                                   "returnByValue": True}, self.sessions[tab])
        if "exceptionDetails" in result:
            raise BrowserError("script failed: %s" % result["exceptionDetails"])
        return result["result"].get("value")

    def run(self, tab, script):
        return self.evaluate(tab, WRAPPER % script)

    def screenshot(self, tab, path):
        data = self.command("Page.captureScreenshot", {}, self.sessions[tab])["data"]
        with open(path, "wb") as f:
            f.write(base64.b64decode(data))

    def close(self, tab):
        self.sessions.pop(tab, None)
        self.command("Target.closeTarget", {"targetId": tab})

    def quit(self):
        try:
            self.command("Browser.close", timeout=10)
        except (BrowserError, OSError):
            pass
        stop_process(self.process)
        os.close(self.to_browser)
        os.close(self.from_browser)


class Firefox:
    """Firefox ESR headless, the extension (a folder or an .xpi) installed as
    a temporary add-on, driven over Marionette on a loopback port. The host
    manifest is installed in the home folder that the browser is given."""

    name = "firefox"

    def __init__(self, extension, manifests, work, env, headless=True):
        home = env["HOME"]
        self.manifest = install_host_manifest(os.path.join(manifests, "firefox"),
                                              os.path.join(home, ".mozilla", "native-messaging-hosts"))
        profile = os.path.join(work, "firefox-profile")
        os.makedirs(profile, exist_ok=True)
        # The background script is an event page in Firefox; a short idle
        # time shows that an open host keeps it (and so the host) alive.
        prefs = {"marionette.port": 0, "remote.prefs.recommended": True,
                 "extensions.background.idle.timeout": 2000,
                 "browser.shell.checkDefaultBrowser": False, "app.update.disabledForTesting": True,
                 "extensions.originControls.grantByDefault": True, "network.proxy.type": 0,
                 "browser.tabs.warnOnClose": False, "dom.disable_open_during_load": False}
        with open(os.path.join(profile, "user.js"), "w") as f:
            for key, value in prefs.items():
                f.write("user_pref(%s, %s);\n" % (json.dumps(key), json.dumps(value)))
        arguments = ["firefox-esr", "--marionette", "--no-remote", "--profile", profile]
        if headless:
            arguments.append("--headless")
        self.process = subprocess.Popen(arguments, env=env, stdout=subprocess.DEVNULL,
                                        stderr=open(os.path.join(work, "firefox.log"), "wb"))
        self.pid = self.process.pid
        port_file = os.path.join(profile, "MarionetteActivePort")
        port = int(wait_for(lambda: os.path.exists(port_file) and open(port_file).read().strip(), 60,
                            "Marionette"))
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=CALL_TIMEOUT)
        self.buffer = b""
        self.last_id = 0
        self.receive()  # the greeting
        self.command("WebDriver:NewSession", {"acceptInsecureCerts": True})
        self.command("WebDriver:SetTimeouts", {"script": CALL_TIMEOUT * 1000})
        self.command("Addon:Install", {"path": extension, "temporary": True})
        self.first_tab = self.command("WebDriver:GetWindowHandle")["value"]

    def receive(self):
        while b":" not in self.buffer:
            self.read_more()
        length, rest = self.buffer.split(b":", 1)
        while len(rest) < int(length):
            self.read_more()
            length, rest = self.buffer.split(b":", 1)
        self.buffer = rest[int(length):]
        return json.loads(rest[:int(length)])

    def read_more(self):
        chunk = self.socket.recv(1 << 16)
        if not chunk:
            raise BrowserError("Firefox ended")
        self.buffer += chunk

    def command(self, name, params=None):
        self.last_id += 1
        text = json.dumps([0, self.last_id, name, params or {}]).encode()
        self.socket.sendall(b"%d:%s" % (len(text), text))
        while True:
            kind, message_id, error, result = self.receive()
            if kind == 1 and message_id == self.last_id:
                if error:
                    raise BrowserError("%s: %s" % (name, error))
                return result

    def open(self, url):
        tab = self.command("WebDriver:NewWindow", {"type": "tab"})["handle"]
        self.command("WebDriver:SwitchToWindow", {"handle": tab})
        self.command("WebDriver:Navigate", {"url": url})
        return tab

    def navigate(self, tab, url):
        self.command("WebDriver:SwitchToWindow", {"handle": tab})
        self.command("WebDriver:Navigate", {"url": url})

    def back(self, tab):
        self.command("WebDriver:SwitchToWindow", {"handle": tab})
        self.command("WebDriver:Back")

    def run(self, tab, script):
        self.command("WebDriver:SwitchToWindow", {"handle": tab})
        return self.command("WebDriver:ExecuteAsyncScript", {
            "script": "const done = arguments[arguments.length - 1]; (%s).then(done);" % (WRAPPER % script),
            "args": []})["value"]

    def close(self, tab):
        self.command("WebDriver:SwitchToWindow", {"handle": tab})
        self.command("WebDriver:CloseWindow")
        self.command("WebDriver:SwitchToWindow", {"handle": self.first_tab})

    def quit(self):
        try:
            self.command("Marionette:Quit", {"flags": ["eForceQuit"]})
        except (BrowserError, OSError):
            pass
        self.socket.close()
        stop_process(self.process)


BROWSERS = {"chromium": Chromium, "firefox": Firefox}
