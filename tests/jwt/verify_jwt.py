#!/usr/bin/env python3
"""Checks an authentication token with PyJWT, an implementation we did not
write: signature (RS256 or ES384) against a public key PEM, the "typ" header,
the "iss", "jti" and "origin" claims and the ten-hour validity window.

usage: verify_jwt.py TOKEN_FILE PUBLIC_KEY_PEM ALG JTI ORIGIN
Exit code 0 when the token is good, 1 with a reason on stderr otherwise.
"""
import sys

import jwt


def main(argv):
    token_file, key_file, alg, jti, origin = argv[1:6]
    with open(token_file, encoding="ascii") as f:
        token = f.read().strip()
    with open(key_file, "rb") as f:
        key = f.read()

    header = jwt.get_unverified_header(token)
    claims = jwt.decode(token, key, algorithms=[alg], options={"verify_aud": False,
                                                               "require": ["exp", "iat"]})
    problems = []
    if header.get("alg") != alg:
        problems.append("alg %r" % header.get("alg"))
    if header.get("typ") != "quorvanta-token":
        problems.append("typ %r" % header.get("typ"))
    if claims.get("iss") != "quorvanta-token-signing":
        problems.append("iss %r" % claims.get("iss"))
    if claims.get("jti") != jti:
        problems.append("jti %r" % claims.get("jti"))
    if claims.get("origin") != origin:
        problems.append("origin %r" % claims.get("origin"))
    if claims["exp"] - claims["iat"] not in (35999, 36000):
        problems.append("window %r" % (claims["exp"] - claims["iat"]))
    if set(claims) != {"exp", "iat", "iss", "jti", "origin"}:
        problems.append("members %r" % sorted(claims))
    if problems:
        print("token refused: " + ", ".join(problems), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except jwt.PyJWTError as e:
        print("token refused: %s: %s" % (type(e).__name__, e), file=sys.stderr)
        sys.exit(1)
