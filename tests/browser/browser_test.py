#!/usr/bin/env python3
"""The extension, the host and the card together in a real browser: every case
of the table below runs through the page API of an https page on 127.0.0.1,
on the SoftHSM2 demo token, with the host's real dialogs on a virtual display
answered with xdotool. Signatures are verified with OpenSSL, the
authentication token with PyJWT.

usage: browser_test.py chromium|firefox BUILD_DIR HOST_MANIFESTS"""
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import browser  # noqa: E402
import demo  # noqa: E402
import jwt  # noqa: E402

HOME_ORIGIN = "https://www.quorvanta.lv"


class PlannedUser(demo.VirtualUser):
    """Answers each dialog as planned: "confirm" (the default: confirm, or type
    the PIN), "cancel" (Escape), or "leave" (left open)."""

    def __init__(self, display, shots):
        self.plan = []
        self.left_open = []
        super().__init__(display, shots)

    def answer(self, window, title, kind):
        how = self.plan.pop(0) if self.plan else "confirm"
        if how == "confirm":
            return super().answer(window, title, kind)
        if how == "cancel":
            self.cancel(window)
        else:
            self.left_open.append(window)
        self.answered.append((title, how))

    def cancel(self, window):
        # A key that comes before the dialog takes input is lost: it is sent
        # again until the dialog has gone.
        while self.shows(window) and not self.stop.is_set():
            subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "Escape"], env=self.env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                browser.wait_for(lambda: not self.shows(window), 2, "the dialog to close")
            except browser.BrowserError:
                pass

    def kinds(self, since):
        return [self.TITLES.get(title) for title, _ in self.answered[since:]]

    def shows(self, window):
        return any(shown == window for shown, _ in self.windows())


def call(t, script, tab=None):
    return t.browser.run(tab or t.tab, script)


def value(result):
    assert "value" in result, result
    return result["value"]


def error_code(result):
    assert "error" in result, result
    return result["error"]["code"]


def sha256(text):
    return hashlib.sha256(text.encode()).hexdigest()


def signing(t, text):
    """The page API's call that signs the hash of TEXT."""
    return "quorvanta.sign(%s, %s)" % (json.dumps(t.cert), json.dumps(sha256(text)))


def host_pids(t):
    return set(browser.processes_below(t.browser.pid, t.host_program))


# The cases, in order; later ones use what earlier ones found (t.*).

def version(t):
    assert value(call(t, "return await quorvanta.getVersion()")) == "2.3.9"
    t.page_host = host_pids(t)
    assert len(t.page_host) == 1, t.page_host


def certificate_after_consent(t):
    t.cert = value(call(t, 'return await quorvanta.getCertificate({lang: "en"})'))
    t.sign_key = t.verify.public_key(t.cert, "signing")


def sign_one_hash(t):
    digest = sha256("one document")
    signature = value(call(t, "return await quorvanta.sign(%s, %s, {lang: 'lv'})" % (
        json.dumps(t.cert), json.dumps(digest))))
    t.verify.signature(t.sign_key, bytes.fromhex(digest), signature)


def sign_a_batch(t):
    batch = {"first.pdf": sha256("first"), "second.pdf": sha256("second"), "": sha256("no name")}
    signatures = value(call(t, "return await quorvanta.sign(%s, %s)" % (json.dumps(t.cert), json.dumps(batch))))
    assert sorted(signatures) == sorted(batch), signatures
    for name, digest in batch.items():
        t.verify.signature(t.sign_key, bytes.fromhex(digest), signatures[name])


def authentication_token(t):
    auth = value(call(t, 'return await quorvanta.getCertificate({operation: "auth"})'))
    challenge = sha256("login challenge")
    token = value(call(t, "return await quorvanta.sign(%s, %s, {operation: 'jwt', lang: 'ru'})" % (
        json.dumps(auth), json.dumps(challenge))))
    with open(t.verify.public_key(auth, "authentication"), "rb") as f:
        key = f.read()
    payload = jwt.decode(token, key, algorithms=["RS256"])
    assert payload["origin"] == t.site.origin, payload


def cancelled_dialog(t):
    t.user.plan = ["cancel"]
    assert error_code(call(t, "return await quorvanta.sign(%s, %s)" % (
        json.dumps(t.cert), json.dumps(sha256("cancelled"))))) == "user_cancel"


def bad_calls(t):
    cert, digest = json.dumps(t.cert), json.dumps(sha256("x"))
    for script in ["return await quorvanta.sign('xyz', %s)" % digest,
                   "return await quorvanta.sign(%s, {})" % cert,
                   "return await quorvanta.sign(%s, [%s])" % (cert, digest),
                   "return await quorvanta.getCertificate('lv')",
                   "return await quorvanta.getCertificate({operation: 'admin'})",
                   "return await quorvanta.getCertificate({lang: () => 'en'})",
                   # Ignored options too: refused before they reach the background.
                   "return await quorvanta.getCertificate({lang: 'en', padding: 'x'.repeat(2 << 20)})",
                   "return await quorvanta.getCertificate({lang: 'en', padding: new ArrayBuffer(2 << 20)})",
                   "return await quorvanta.getCertificate({lang: 'en', padding: new Array(1e9)})",
                   # A batch larger than any answer could be.
                   "const batch = {}; for (let i = 0; i < 9000; i++) batch['n' + i] = %s.repeat(2);"
                   " return await quorvanta.sign(%s, batch)" % (digest, cert)]:
        assert error_code(call(t, script)) == "invalid_argument", script
    # The host refuses a hash of no known length, and goes on serving.
    assert error_code(call(t, "return await quorvanta.sign(%s, 'abcd')" % cert)) == "invalid_argument"
    # Calls made at once are served one after another.
    results = value(call(t, "return await Promise.all([1, 2, 3].map(() => quorvanta.getVersion()))"))
    assert results == ["2.3.9"] * 3, results
    assert host_pids(t) == t.page_host


def synthetic_events(t):
    # Events that the page makes itself: neither this call nor the pagehide
    # (which would end the page's host) is taken. The call would be answered
    # before the page API's, which comes after it.
    answers = value(call(t, """
        const answers = [];
        addEventListener("message", (e) => e.data.direction === "answer" && answers.push(e.data.id));
        dispatchEvent(new MessageEvent("message", { source: window, data:
            { channel: "quorvanta", direction: "call", id: 1e6, method: "getVersion", args: [] } }));
        dispatchEvent(new PageTransitionEvent("pagehide"));
        await quorvanta.getVersion();
        return answers;"""))
    assert 1e6 not in answers, answers
    assert host_pids(t) == t.page_host


def calls_waiting_for_a_dialog(t):
    # While the PIN dialog is open, 8 calls may wait; more are refused at once.
    t.user.plan = ["leave"]
    busy = value(call(t, """
        window.signing = quorvanta.sign(%s, %s).catch((e) => e.code);
        const calls = Array.from({ length: 10 }, () => quorvanta.getVersion().catch((e) => e.code));
        window.waiting = Promise.all(calls);
        return await Promise.all(calls.slice(8));""" % (json.dumps(t.cert), json.dumps(sha256("queued")))))
    assert busy == ["busy", "busy"], busy
    browser.wait_for(lambda: t.user.left_open, 60, "the PIN dialog")
    t.user.cancel(t.user.left_open.pop())
    assert value(call(t, "return await window.signing")) == "user_cancel"
    assert value(call(t, "return await window.waiting")) == ["2.3.9"] * 8 + ["busy"] * 2


def false_origin(t):
    # Another origin (another port) that claims to be the home domain.
    t.other_tab = t.browser.open(t.other_site.origin + "/")
    options = json.dumps({"lang": "en", "origin": HOME_ORIGIN, "nonce": "1"})
    cert = value(call(t, "return await quorvanta.getCertificate(%s)" % options, t.other_tab))
    assert cert == t.cert
    with open(t.consent_store) as f:
        store = f.read()
    assert t.other_site.origin in store and "quorvanta.lv" not in store, store


def sandboxed_page(t):
    # Served by t.site, but with an opaque origin: it speaks for no site.
    tab = t.browser.open(t.site.origin + "/sandboxed.html")
    hosts = host_pids(t)
    result = call(t, "return await quorvanta.getCertificate()", tab)
    assert error_code(result) == "not_allowed" and "sandboxed" in result["error"]["message"], result
    assert host_pids(t) == hosts
    t.browser.close(tab)


def host_ends_with_its_tab(t):
    assert value(call(t, "return await quorvanta.getVersion()", t.other_tab)) == "2.3.9"
    assert len(host_pids(t) - t.page_host) == 1
    t.browser.close(t.other_tab)
    browser.wait_for(lambda: host_pids(t) == t.page_host, 30, "the closed tab's host to end")


def page_left_with_a_dialog(t):
    # Leaving the page ends its call, its host and the dialog, also when the
    # page goes into the back-forward cache; back from there, it calls afresh.
    tab = t.browser.open(t.site.origin + "/")
    t.user.plan = ["leave"]
    call(t, "window.signing = %s.catch((e) => e.code); return 0" % signing(t, "left"), tab)
    browser.wait_for(lambda: t.user.left_open, 60, "the PIN dialog")
    dialog, host = t.user.left_open.pop(), host_pids(t) - t.page_host
    t.browser.navigate(tab, t.other_site.origin + "/")
    browser.wait_for(lambda: not (host_pids(t) & host or t.user.shows(dialog)), 30, "the host and its dialog to end")
    t.browser.back(tab)
    assert value(call(t, "return [window.restored, await window.signing]", tab)) == [True, "user_cancel"]
    assert value(call(t, "return await quorvanta.getVersion()", tab)) == "2.3.9"
    t.browser.close(tab)


def dialogs_cancelled_in_a_row(t):
    # A signature resets the count; after the third cancel in a row the page
    # shows no more dialogs until it is loaded again.
    tab = t.browser.open(t.site.origin + "/")
    t.user.plan = ["cancel", "cancel", "confirm", "cancel", "cancel", "cancel"]
    results = [call(t, "return await " + signing(t, "pestered"), tab) for _ in range(6)]
    assert [r.get("error", {}).get("code") for r in results] == ["user_cancel"] * 2 + [None] + ["user_cancel"] * 3
    for script in ["return await " + signing(t, "pestered"), "return await quorvanta.getCertificate()"]:
        result = call(t, script, tab)
        assert error_code(result) == "user_cancel" and "in a row" in result["error"]["message"], result
    assert value(call(t, "return await quorvanta.getVersion()", tab)) == "2.3.9"
    t.browser.navigate(tab, t.site.origin + "/?again")
    value(call(t, "return await " + signing(t, "pestered"), tab))
    t.browser.close(tab)


def host_that_dies(t):
    t.user.plan = ["leave"]
    call(t, "window.pending = quorvanta.sign(%s, %s).catch((e) => e.code); return 0" % (
        json.dumps(t.cert), json.dumps(sha256("never signed"))))
    browser.wait_for(lambda: t.user.left_open, 60, "the PIN dialog")
    t.user.left_open.clear()  # it goes with its host
    for pid in t.page_host:
        os.kill(pid, signal.SIGKILL)
    assert value(call(t, "return await window.pending")) == "technical_error"
    assert value(call(t, "return await quorvanta.getVersion()")) == "2.3.9"
    assert host_pids(t) and host_pids(t).isdisjoint(t.page_host)


def host_that_ends_itself(t):
    # A card error ends the host after its answer: here the token store is
    # gone when a new host starts. The call made with it goes to a new host.
    tab = t.browser.open(t.site.origin + "/")
    conf = t.env["SOFTHSM2_CONF"]
    os.rename(conf, conf + ".hidden")
    try:
        results = value(call(t, "return await Promise.all([quorvanta.getCertificate().catch((e) => e.code),"
                                " quorvanta.getVersion()])", tab))
    finally:
        os.rename(conf + ".hidden", conf)
    assert results == ["technical_error", "2.3.9"], results
    t.browser.close(tab)


def no_host(t):
    hidden = t.browser.manifest + ".hidden"
    os.rename(t.browser.manifest, hidden)
    try:
        tab = t.browser.open(t.site.origin + "/")
        result = call(t, "return await quorvanta.getVersion()", tab)
        assert error_code(result) == "no_host" and "install" in result["error"]["message"], result
        t.browser.close(tab)
    finally:
        os.rename(hidden, t.browser.manifest)


def store_packages(t):
    # The stores refuse a "key" (Chrome Web Store) and want the data that the
    # extension passes on declared (addons.mozilla.org); the development copy
    # keeps the key that fixes its ID.
    def manifest(suffix):
        with zipfile.ZipFile(os.path.join(t.build, "extension", "quorvanta-extension-2.3.9" + suffix)) as z:
            return json.loads(z.read("manifest.json"))
    development, chrome, firefox = manifest(".zip"), manifest("-chrome-web-store.zip"), manifest(".xpi")
    assert "key" in development and "key" not in chrome and "key" not in firefox
    gecko = firefox["browser_specific_settings"]["gecko"]
    assert gecko["id"] == "token-signing@quorvanta.lv" and gecko["data_collection_permissions"]["required"], gecko
    assert chrome["background"] == {"service_worker": "background.js"}, chrome["background"]
    assert firefox["background"] == {"scripts": ["background.js"]}, firefox["background"]


CASES = [  # (case, the dialogs it shows)
    (version, []),
    (certificate_after_consent, ["consent"]),
    (sign_one_hash, ["pin"]),
    (sign_a_batch, ["pin"]),
    (authentication_token, ["pin"]),
    (cancelled_dialog, ["pin"]),
    (bad_calls, []),
    (synthetic_events, []),
    (calls_waiting_for_a_dialog, ["pin"]),
    (false_origin, ["consent"]),
    (sandboxed_page, []),
    (host_ends_with_its_tab, []),
    (page_left_with_a_dialog, ["pin"]),
    (dialogs_cancelled_in_a_row, ["pin"] * 7),
    (host_that_dies, ["pin"]),
    (host_that_ends_itself, []),
    (no_host, []),
    (store_packages, []),
]


class Run:
    """What the cases share: the browser, its pages, the user, the findings."""


def main():
    name, build, manifests = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    t = Run()
    t.build = build
    t.work = tempfile.mkdtemp(prefix="quorvanta-%s-" % name)
    t.host_program = os.path.join(build, "host-linux", "quorvanta-chrome-extension")
    tokens = demo.prepare_token(repo, build)
    env = dict(os.environ, HOME=os.path.join(t.work, "home"), TEMP=t.work,
               XDG_CONFIG_HOME=os.path.join(t.work, "config"),
               SOFTHSM2_CONF=os.path.join(tokens, "demo", "softhsm2.conf"),
               LD_LIBRARY_PATH=os.path.join(tokens, "module"))
    env.pop("WAYLAND_DISPLAY", None)
    os.makedirs(env["HOME"])
    t.env = env
    t.consent_store = os.path.join(env["XDG_CONFIG_HOME"], "quorvanta", "consents")
    t.verify = demo.Verifier(t.work)
    xvfb, env["DISPLAY"] = demo.start_xvfb()
    t.user = PlannedUser(env["DISPLAY"], t.work)
    pages = os.path.join(t.work, "pages")
    os.makedirs(pages)
    with open(os.path.join(pages, "index.html"), "w") as f:
        f.write("<!doctype html><title>Quorvanta browser test</title><p>Test page</p>\n"
                "<script>addEventListener('pageshow', (e) => { window.restored = e.persisted; });</script>\n")
    shutil.copy(os.path.join(pages, "index.html"), os.path.join(pages, "sandboxed.html"))
    t.site, t.other_site = browser.HttpsServer(pages, t.work), browser.HttpsServer(pages, t.work)
    t.browser = case = None
    failed = False
    try:
        # Firefox gets the package made for its store; Chromium the development
        # copy, whose key gives the ID that the host's manifest allows.
        extension = (os.path.join(build, "extension", "quorvanta-extension-2.3.9.xpi") if name == "firefox"
                     else os.path.join(repo, "extension"))
        t.browser = browser.BROWSERS[name](extension, manifests, t.work, env)
        t.tab = t.browser.open(t.site.origin + "/")
        for case, dialogs in CASES:
            seen = len(t.user.answered)
            case(t)
            # A dialog holds its call, so every dialog has come by now; its
            # answer is recorded just after it is given.
            browser.wait_for(lambda: len(t.user.answered) - seen >= len(dialogs), 30, "the dialogs' answers")
            assert t.user.kinds(seen) == dialogs, (case.__name__, t.user.kinds(seen))
            print("ok   %s: %s" % (name, case.__name__.replace("_", " ")))
    except Exception:
        failed = True
        print("FAIL %s: %s" % (name, case.__name__.replace("_", " ") if case else "starting the browser"))
        raise
    finally:
        if t.browser:
            pids = host_pids(t)
            t.browser.quit()
            for pid in pids:  # hosts left by a failed case
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        t.user.close()
        xvfb.terminate()
        xvfb.wait()
        t.site.close()
        t.other_site.close()
        if failed:
            print("browser log and host log kept in " + t.work)
        else:
            shutil.rmtree(t.work, ignore_errors=True)


if __name__ == "__main__":
    main()
