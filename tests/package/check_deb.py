#!/usr/bin/env python3
"""Checks the .deb made from the install rules: files, modes, owners, control
fields, conffiles. Then unpacks it into a scratch root: the manifests there
must name the installed host and admit the extension packed beside them, the
dialog library must start Qt, and the host must answer VERSION.

usage: check_deb.py BUILD_DIR SCRATCH_DIR   (exit 1 with the problems on stderr)
"""
import base64, hashlib, json, os, re, shutil, struct, subprocess, sys, zipfile

HOST = "/usr/libexec/quorvanta/quorvanta-chrome-extension"
DIALOGS = "/usr/libexec/quorvanta/libquorvanta-dialogs-qt.so"
NAME = "lv.quorvanta.token_signing"
CHROMIUM = ["/etc/%s/native-messaging-hosts/%s.json" % (d, NAME)
            for d in ("chromium", "opt/chrome", "opt/edge")]
FIREFOX = "/usr/lib/mozilla/native-messaging-hosts/%s.json" % NAME
EXTENSION = "/usr/share/quorvanta/quorvanta-extension-2.3.9."
FILES = dict({p: "-rw-r--r--" for p in CHROMIUM + [FIREFOX, DIALOGS, EXTENSION + "zip", EXTENSION + "xpi"]},
             **{HOST: "-rwxr-xr-x"})
# The version of the view structures that the host and the dialog library share.
ABI = re.search(r"#define QUORVANTA_DIALOG_ABI_VERSION (\d+)", open(os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "host-linux", "dialogs", "dialogabi.h")).read()).group(1)
DEPENDS = {"libc6", "libstdc++6", "libssl3", "libqt6core6", "libqt6gui6", "libqt6widgets6"}
problems = []


def check(ok, what):
    if not ok:
        problems.append(what)


def run(*command):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE).stdout.decode()


def check_package(deb, arch):
    files = {}
    for line in run("dpkg-deb", "-c", deb).splitlines():
        mode, owner, _size, _date, _time, path = line.split(None, 5)
        check(owner == "root/root", "%s owned by %s" % (path, owner))
        check(not mode.startswith("d") or mode == "drwxr-xr-x", "%s has mode %s" % (path, mode))
        if not mode.startswith("d"):
            files[path[1:]] = mode
    check(files == FILES, "files %s, expected %s" % (sorted(files.items()), sorted(FILES.items())))

    fields = dict(line.split(": ", 1) for line in run("dpkg-deb", "-f", deb, "Package", "Version",
                  "Architecture", "Section", "Priority", "Maintainer", "Depends").splitlines())
    want = {"Package": "quorvanta-token-signing", "Version": "2.3.9", "Architecture": arch,
            "Section": "utils", "Priority": "optional"}
    check(want.items() <= fields.items(), "control fields %s" % fields)
    check("@" in fields.get("Maintainer", ""), "Maintainer: %r" % fields.get("Maintainer"))
    depends = {d.split()[0] for d in fields.get("Depends", "").split(",") if d.strip()}
    check(DEPENDS <= depends, "Depends lacks %s" % sorted(DEPENDS - depends))
    conffiles = run("dpkg-deb", "--info", deb, "conffiles").split()
    check(sorted(conffiles) == sorted(CHROMIUM), "conffiles %s" % conffiles)


def check_manifests(root):
    # The .zip is the development copy with its key; the .xpi is Firefox's.
    manifests = {}
    for kind in ["zip", "xpi"]:
        with zipfile.ZipFile(root + EXTENSION + kind) as z:
            manifests[kind] = extension = json.loads(z.read("manifest.json"))
            scripts = set(extension["background"].get("scripts", [extension["background"].get("service_worker")]))
            scripts.update(js for entry in extension["content_scripts"] for js in entry["js"])
            check(scripts <= set(z.namelist()), "the .%s lacks %s" % (kind, scripts - set(z.namelist())))
    extension = manifests["zip"]
    check("key" not in manifests["xpi"], "the .xpi has a key")
    # Chromium's ID for an extension with a "key": the first 128 bits of the
    # key's SHA-256, each hex digit written as a letter from a to p.
    digest = hashlib.sha256(base64.b64decode(extension["key"])).hexdigest()[:32]
    chrome_id = "".join(chr(ord("a") + int(c, 16)) for c in digest)
    gecko_id = manifests["xpi"]["browser_specific_settings"]["gecko"]["id"]

    texts = [open(root + path, "rb").read() for path in CHROMIUM]
    check(texts.count(texts[0]) == 3, "the Chromium, Chrome and Edge manifests differ")
    for path, key, allowed in [(CHROMIUM[0], "allowed_origins", "chrome-extension://%s/" % chrome_id),
                               (FIREFOX, "allowed_extensions", gecko_id)]:
        m = json.load(open(root + path))
        got = (m.get("name"), m.get("path"), m.get("type"), m.get(key))
        check(got == (NAME, HOST, "stdio", [allowed]), "%s: %s" % (path, got))


def check_programs(root, scratch):
    env = {"PATH": "/usr/bin:/bin", "HOME": scratch, "TMPDIR": scratch, "XDG_CONFIG_HOME": scratch}
    probe = ("import ctypes, sys; lib = ctypes.CDLL(sys.argv[1]); print(lib.quorvanta_dialogs_start(%s),"
             " hasattr(lib, 'quorvanta_dialogs_pin'), hasattr(lib, 'quorvanta_dialogs_consent'))" % ABI)
    started = subprocess.run([sys.executable, "-c", probe, root + DIALOGS], stdout=subprocess.PIPE,
                             env=dict(env, QT_QPA_PLATFORM="offscreen"), timeout=60)
    check(started.stdout.split() == [b"0", b"True", b"True"], "dialog library: %r" % started.stdout)

    request = b'{"type":"VERSION","nonce":"1","origin":"https://example.lv"}'
    host = subprocess.Popen([root + HOST], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            cwd=scratch, env=env)
    try:
        out, _ = host.communicate(struct.pack("=I", len(request)) + request, timeout=30)
    except subprocess.TimeoutExpired:
        host.kill()
        host.wait()
        return problems.append("the host did not answer and end within 30 s")
    # The answer is the first frame; the host ends with one more at the end of input.
    length = struct.unpack("=I", out[:4])[0] if len(out) >= 4 else 0
    response = json.loads(out[4:4 + length] or b"{}")
    got = (response.get("version"), response.get("result"), response.get("nonce"))
    check(got == ("2.3.9", "ok", "1"), "VERSION response %r" % response)


def main(build, scratch):
    arch = run("dpkg", "--print-architecture").strip()
    deb = os.path.join(build, "quorvanta-token-signing_2.3.9_%s.deb" % arch)
    check_package(deb, arch)
    shutil.rmtree(scratch, ignore_errors=True)
    root = os.path.join(scratch, "root")
    os.makedirs(root)
    run("dpkg", "-x", deb, root)
    check_manifests(root)
    check_programs(root, scratch)
    for p in problems:
        print("problem:", p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
