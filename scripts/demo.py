#!/usr/bin/env python3
"""Talks to the host the way the browser extension does: length-prefixed JSON
frames on the host's standard input and output."""
import json
import os
import struct
import subprocess
import sys


class Host:
    def __init__(self, command, env=None):
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        env=env)

    def request(self, message):
        text = json.dumps(message).encode()
        print(">>> [%d bytes] %s" % (len(text), text.decode()))
        self.process.stdin.write(struct.pack("=I", len(text)) + text)
        self.process.stdin.flush()
        header = self.process.stdout.read(4)
        if len(header) < 4:
            raise SystemExit("the host closed its output")
        (length,) = struct.unpack("=I", header)
        body = self.process.stdout.read(length)
        print("<<< [%d bytes]\n%s" % (length, body.decode()))
        return json.loads(body)

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


def main():
    build = sys.argv[1]
    host = Host([os.path.join(build, "host-linux", "quorvanta-chrome-extension")])
    origin = "https://www.quorvanta.lv"
    version = host.request({"type": "VERSION", "nonce": "demo-1", "origin": origin, "lang": "en"})
    assert version["result"] == "ok", version
    host.close()
    print("Host version %s answered through its native-messaging framing." % version["version"])


if __name__ == "__main__":
    main()
