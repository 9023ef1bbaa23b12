#!/usr/bin/env python3
"""The host's main job end to end, as the browser extension drives it: VERSION,
the certificate (CERT) for the home domain and, after the consent dialog, for
another site, then SIGN of one hash, of a batch and of an authentication
token (jwt), each after the PIN dialog. The card is the bundled SoftHSM2 demo
token; every signature and the token are verified with OpenSSL before they
are printed.

With a display the dialogs are yours: confirm, and type the demo PIN 1234.
Without one (or with --virtual-display) the dialogs run on a virtual display
(Xvfb): the script answers them itself with xdotool and saves a screenshot of
each into the build tree.

usage: demo.py BUILD_DIR [--virtual-display]
"""
import base64
import hashlib
import json
import os
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

DEMO_PIN = "1234"
HOME_ORIGIN = "https://www.quorvanta.lv"
SITE_ORIGIN = "https://demo-shop.example.lv"


def run(command, **kwargs):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


class Host:
    """One host process: one origin, frames on its standard streams."""

    def __init__(self, command, env):
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)

    def request(self, message, show=True):
        self.send(message, show)
        return self.receive(show)

    def send(self, message, show=True):
        text = json.dumps(message).encode()
        if show:
            print(">>> [%d bytes] %s" % (len(text), text.decode()))
        self.process.stdin.write(struct.pack("=I", len(text)) + text)
        self.process.stdin.flush()

    def answered(self, timeout=0):
        """Whether an answer is there to be read."""
        return bool(select.select([self.process.stdout], [], [], timeout)[0])

    def receive(self, show=True):
        header = self.process.stdout.read(4)
        if len(header) < 4:
            raise SystemExit("the host ended without an answer")
        (length,) = struct.unpack("=I", header)
        body = self.process.stdout.read(length)
        if show:
            print("<<< [%d bytes]\n%s" % (length, body.decode()))
        return json.loads(body)

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


class VirtualUser:
    """Answers the host's dialogs on a virtual display: confirms the consent
    dialog and types the PIN, after taking a screenshot of each dialog."""

    TITLES = {"Sertifikātus pieprasa": "consent", "Certificates required": "consent",
              "Требуется сертификаты": "consent",
              "Parakstu pieprasa": "pin", "Signature required": "pin", "Требуется подпись": "pin",
              "Autentifikāciju pieprasa": "pin", "Authentication required": "pin",
              "Требуется авторизация": "pin"}

    def __init__(self, display, shots):
        self.display = display
        self.shots = shots
        self.env = dict(os.environ, DISPLAY=display)
        self.seen = set()
        self.answered = []
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def windows(self):
        """The visible windows with their titles (compared here, since
        xdotool's own pattern matching does not cope with UTF-8 titles)."""
        result = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "."], env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        for window in result.stdout.split():
            name = subprocess.run(["xdotool", "getwindowname", window], env=self.env,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            yield window, name.stdout.decode("utf-8", "replace").strip()

    def showing(self, window):
        return window in self.xdotool("search", "--onlyvisible", "--name", ".").stdout.split()

    def loop(self):
        while not self.stop.is_set():
            shown = dict(self.windows())
            # The X server gives the IDs of windows that have gone to new ones,
            # even to the next host's dialog before this loop has seen the last
            # one go: a dialog is known by its window and its process.
            self.seen = {(window, pid) for window, pid in self.seen if window in shown}
            for window, title in shown.items():
                kind = self.TITLES.get(title)
                pid = kind and self.xdotool("getwindowpid", window).stdout.strip()
                if pid and (window, pid) not in self.seen:
                    self.seen.add((window, pid))
                    self.answer(window, title, kind)
            time.sleep(0.2)

    def xdotool(self, *args):
        return subprocess.run(["xdotool"] + list(args), env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)

    def answer(self, window, title, kind):
        # The dialogs take keys only after a quiet second with the focus.
        self.xdotool("windowfocus", "--sync", window)
        time.sleep(1.5)
        shot = os.path.join(self.shots, "%02d-%s.png" % (len(self.answered) + 1, kind))
        subprocess.run(["import", "-window", "root", shot], env=self.env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(5):
            if kind == "pin":
                self.xdotool("type", "--delay", "50", DEMO_PIN)
            self.xdotool("key", "Return")
            # On a loaded machine the dialog may have seen the keys before
            # its quiet second was over, and dropped them: then again.
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and self.showing(window):
                time.sleep(0.2)
            if not self.showing(window):
                break
            if kind == "pin":
                self.xdotool("key", "--delay", "50", *["BackSpace"] * 12)
            time.sleep(1.5)
        self.answered.append((title, shot))
        print("    [virtual user] answered the dialog \"%s\"; screenshot %s" % (title, shot))

    def close(self):
        self.stop.set()
        self.thread.join(timeout=5)


def start_xvfb():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            raise SystemExit("Xvfb did not start")
        number += chunk
    os.close(read_end)
    return xvfb, ":" + number.decode().strip()


def display_works(display):
    if not display:
        return False
    return subprocess.run(["xdotool", "getdisplaygeometry"], env=dict(os.environ, DISPLAY=display),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


class Verifier:
    """Checks the host's answers against the certificates with the openssl tool."""

    def __init__(self, work):
        self.work = work

    def public_key(self, cert_hex, name):
        der = os.path.join(self.work, name + ".der")
        with open(der, "wb") as f:
            f.write(bytes.fromhex(cert_hex))
        pem = os.path.join(self.work, name + ".pub.pem")
        run(["openssl", "x509", "-inform", "DER", "-in", der, "-noout", "-pubkey", "-out", pem])
        return pem

    def signature(self, pub, digest, signature_hex):
        data = os.path.join(self.work, "digest.bin")
        sig = os.path.join(self.work, "signature.bin")
        with open(data, "wb") as f:
            f.write(digest)
        with open(sig, "wb") as f:
            f.write(bytes.fromhex(signature_hex))
        result = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", pub, "-in", data,
                                 "-sigfile", sig, "-pkeyopt", "digest:sha256"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            raise SystemExit("signature does not verify: " + result.stdout)

    def token(self, pub, token, digest, origin):
        def decode(part):
            return base64.urlsafe_b64decode(part + "=" * (-len(part) % 4))

        header_b64, payload_b64, signature_b64 = token.split(".")
        header = json.loads(decode(header_b64))
        payload = json.loads(decode(payload_b64))
        signed = os.path.join(self.work, "signing-input.txt")
        sig = os.path.join(self.work, "token-signature.bin")
        with open(signed, "wb") as f:
            f.write((header_b64 + "." + payload_b64).encode())
        with open(sig, "wb") as f:
            f.write(decode(signature_b64))
        assert header == {"alg": "RS256", "typ": "quorvanta-token"}, header
        result = subprocess.run(["openssl", "dgst", "-sha256", "-verify", pub, "-signature", sig, signed],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            raise SystemExit("token signature does not verify: " + result.stdout)
        assert payload["iss"] == "quorvanta-token-signing", payload
        assert payload["origin"] == origin, payload
        assert payload["jti"] == base64.b64encode(digest).decode(), payload
        assert payload["exp"] - payload["iat"] in (36000, 35999), payload
        return header, payload


def prepare_token(repo, build):
    pki = os.path.join(build, "demo", "pki")
    tokens = os.path.join(build, "demo", "softhsm")
    run(["bash", os.path.join(repo, "scripts", "make-test-pki.sh"), pki])
    run(["bash", os.path.join(repo, "scripts", "make-softhsm-tokens.sh"), tokens, pki])
    return tokens


def main():
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.abspath(sys.argv[1])
    virtual = "--virtual-display" in sys.argv[2:]
    host_program = os.path.join(build, "host-linux", "quorvanta-chrome-extension")

    print("Preparing the demo token (SoftHSM2, token \"Quorvanta demo\", PIN %s)..." % DEMO_PIN)
    tokens = prepare_token(repo, build)
    work = tempfile.mkdtemp(prefix="quorvanta-demo-")
    shots = os.path.join(build, "demo", "screenshots")
    os.makedirs(shots, exist_ok=True)
    env = dict(os.environ,
               SOFTHSM2_CONF=os.path.join(tokens, "demo", "softhsm2.conf"),
               LD_LIBRARY_PATH=os.path.join(tokens, "module"),
               # A fresh consent store, so the consent dialog shows.
               XDG_CONFIG_HOME=os.path.join(work, "config"))

    xvfb = user = None
    if virtual or not display_works(os.environ.get("DISPLAY")):
        xvfb, display = start_xvfb()
        env["DISPLAY"] = display
        env.pop("WAYLAND_DISPLAY", None)
        user = VirtualUser(display, shots)
        print("No display of yours is used: the dialogs run on the virtual display %s." % display)
    else:
        print("The dialogs appear on your display: confirm, then type the PIN %s." % DEMO_PIN)

    verify = Verifier(work)
    try:
        print("\n== The home domain reads the certificate without a consent dialog")
        home = Host([host_program], env)
        version = home.request({"type": "VERSION", "nonce": "1", "origin": HOME_ORIGIN, "lang": "en"})
        assert version["result"] == "ok" and version["version"] == "2.3.9", version
        cert = home.request({"type": "CERT", "nonce": "2", "origin": HOME_ORIGIN, "lang": "en"})
        assert cert["result"] == "ok", cert
        home.close()

        print("\n== Another site: consent dialog, then the certificate")
        site = Host([host_program], env)
        cert = site.request({"type": "CERT", "nonce": "3", "origin": SITE_ORIGIN, "lang": "lv"})
        assert cert["result"] == "ok", cert
        sign_pub = verify.public_key(cert["cert"], "signing")

        print("\n== SIGN of one SHA-256 hash (PIN dialog)")
        digest = hashlib.sha256(b"Quorvanta demo document").digest()
        signed = site.request({"type": "SIGN", "nonce": "4", "origin": SITE_ORIGIN, "lang": "en",
                               "cert": cert["cert"], "hash": digest.hex()})
        assert signed["result"] == "ok", signed
        verify.signature(sign_pub, digest, signed["signature"])
        print("    verified with OpenSSL against the signing certificate")

        print("\n== SIGN of a batch of three hashes (one PIN dialog)")
        batch = {"document-%d.pdf" % i: hashlib.sha256(b"page %d" % i).hexdigest() for i in range(1, 4)}
        signed = site.request({"type": "SIGN", "nonce": "5", "origin": SITE_ORIGIN, "lang": "ru",
                               "cert": cert["cert"], "hash": batch})
        assert signed["result"] == "ok", signed
        for name, value in batch.items():
            verify.signature(sign_pub, bytes.fromhex(value), signed["signature"][name])
        print("    all three verified with OpenSSL")

        print("\n== The authentication certificate and an authentication token (jwt)")
        auth = site.request({"type": "CERT", "nonce": "6", "origin": SITE_ORIGIN, "operation": "auth"})
        assert auth["result"] == "ok", auth
        auth_pub = verify.public_key(auth["cert"], "authentication")
        challenge = hashlib.sha256(b"login challenge").digest()
        token = site.request({"type": "SIGN", "nonce": "7", "origin": SITE_ORIGIN, "operation": "jwt",
                              "cert": auth["cert"], "hash": challenge.hex()})
        assert token["result"] == "ok", token
        header, payload = verify.token(auth_pub, token["signature"], challenge, SITE_ORIGIN)
        print("    token verified with OpenSSL: header %s, payload %s" % (json.dumps(header),
                                                                        json.dumps(payload)))
        site.close()
    finally:
        if user:
            user.close()
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        shutil.rmtree(work, ignore_errors=True)

    if user:
        expected = ["Sertifikātus pieprasa", "Signature required", "Требуется подпись",
                    "Authentication required"]
        titles = [title for title, _ in user.answered]
        assert titles == expected, titles
        print("\nScreenshots of the dialogs: %s" % shots)
    print("\nDemo complete: certificate, signatures and authentication token all verified.")


if __name__ == "__main__":
    main()
