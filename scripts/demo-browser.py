#!/usr/bin/env python3
"""The demo's job through a browser: Chromium with the Quorvanta extension
opens a local https demo page, which asks through the page API for the
version, the signing certificate (consent dialog), a signature and a batch
of signatures (PIN dialog), the authentication certificate and a login token,
and shows each answer. The card is the SoftHSM2 demo token; every signature
and the token are then verified with OpenSSL.

With a display you see the browser and answer the dialogs (PIN 1234).
Without one (or with --virtual-display) Chromium runs headless on a virtual
display, the dialogs are answered with xdotool, and screenshots of the
dialogs and of the page are saved in the build tree.

usage: demo-browser.py BUILD_DIR [--virtual-display]"""
import json
import os
import shutil
import sys
import tempfile
import time

import browser
import demo


def main():
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.abspath(sys.argv[1])
    virtual = "--virtual-display" in sys.argv[2:] or not demo.display_works(os.environ.get("DISPLAY"))

    print("Preparing the demo token (SoftHSM2, token \"Quorvanta demo\", PIN %s)..." % demo.DEMO_PIN)
    tokens = demo.prepare_token(repo, build)
    work = tempfile.mkdtemp(prefix="quorvanta-demo-browser-")
    shots = os.path.join(build, "demo", "browser-screenshots")
    shutil.rmtree(shots, ignore_errors=True)
    os.makedirs(shots)
    env = dict(os.environ, SOFTHSM2_CONF=os.path.join(tokens, "demo", "softhsm2.conf"),
               LD_LIBRARY_PATH=os.path.join(tokens, "module"),
               # A fresh consent store, so the consent dialog shows.
               XDG_CONFIG_HOME=os.path.join(work, "config"))
    pages = os.path.join(work, "pages")
    os.makedirs(pages)
    shutil.copy(os.path.join(repo, "scripts", "demo-page.html"), os.path.join(pages, "index.html"))

    xvfb = user = chromium = None
    server = browser.HttpsServer(pages, work)
    try:
        if virtual:
            xvfb, env["DISPLAY"] = demo.start_xvfb()
            env.pop("WAYLAND_DISPLAY", None)
            user = demo.VirtualUser(env["DISPLAY"], shots)
            print("Chromium runs headless; the dialogs run on the virtual display %s." % env["DISPLAY"])
        else:
            print("Chromium opens on your display: confirm the consent dialog, then type the PIN %s."
                  % demo.DEMO_PIN)
        chromium = browser.Chromium(os.path.join(repo, "extension"), os.path.join(build, "host-manifests"),
                                    work, env, headless=virtual)
        print("The demo page: %s/ (its certificate is made for this run)" % server.origin)
        tab = chromium.open(server.origin + "/")
        result = browser.wait_for(
            lambda: (lambda d: d if d["state"] != "running" else None)(chromium.evaluate(tab, "window.demo")),
            600, "the demo page")
        time.sleep(0.5)  # let the page paint its last answer
        chromium.screenshot(tab, os.path.join(shots, "page.png"))
        if result["state"] != "done":
            raise SystemExit("The demo page failed: %s" % result.get("error"))
        check(result, server.origin, demo.Verifier(work))
    finally:
        if chromium:
            chromium.quit()
        server.close()
        if user:
            user.close()
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("\nScreenshots of the page%s: %s" % (" and the dialogs" if user else "", shots))
    print("Demo complete: the page got the certificate, signatures and token, all verified.")


def check(result, origin, verify):
    print("\nWhat the page got:")
    print("  version %s" % result["version"])
    print("  signing certificate, %d bytes" % (len(result["cert"]) // 2))
    key = verify.public_key(result["cert"], "signing")
    verify.signature(key, bytes.fromhex(result["documentHash"]), result["signature"])
    print("  signature over %s: verified with OpenSSL" % result["documentHash"])
    for name, digest in sorted(result["batch"].items()):
        verify.signature(key, bytes.fromhex(digest), result["batchSignatures"][name])
        print("  signature of %s: verified with OpenSSL" % name)
    auth_key = verify.public_key(result["authCert"], "authentication")
    header, payload = verify.token(auth_key, result["token"], bytes.fromhex(result["challenge"]), origin)
    print("  login token for %s: verified with OpenSSL; payload %s" % (origin, json.dumps(payload)))


if __name__ == "__main__":
    main()
