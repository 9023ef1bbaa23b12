#!/usr/bin/env bash
# Creates SoftHSM2 tokens for the card tests and the demo, one private token
# directory per scenario, from the certificates and keys of
# scripts/make-test-pki.sh.
#
# Usage: scripts/make-softhsm-tokens.sh OUTDIR PKIDIR
#
# A test picks a scenario with SOFTHSM2_CONF=OUTDIR/<scenario>/softhsm2.conf
# and puts OUTDIR/module on LD_LIBRARY_PATH: OUTDIR/module/libquorvanta-module.so
# is a link to the SoftHSM2 library, so the host's dlopen of its bare module
# name loads SoftHSM2.
#
# PINs (all tokens): SO PIN "12345678". User PIN "12345" for the test
# scenarios, "1234" for the demo token.
#
# Every certificate comes with its private key and its public key, all three
# with one CKA_ID: 01 for the signing certificate, 02 for the authentication
# certificate. Scenarios (token label: certificates):
#   sign-rsa     "Quorvanta sign RSA": sign-rsa
#   rsa          "Quorvanta RSA": sign-rsa, auth-rsa
#   p256         "Quorvanta P-256": sign-p256, auth-p256
#   p384         "Quorvanta P-384": sign-p384, auth-p384
#   two-tokens   first "Quorvanta auth only": auth-rsa; second "Quorvanta signing": sign-rsa
#   demo         "Quorvanta demo": demo-sign, demo-auth (user PIN 1234)
# SoftHSM2 also lists one uninitialised token after the initialised ones;
# it holds no objects.
#
# Idempotent: OUTDIR/.stamp holds a checksum of this script and of the PKI
# files used; when it matches nothing is done. Callers take turns on
# OUTDIR/.lock.
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 OUTDIR PKIDIR" >&2
    exit 2
fi

script_path=$(readlink -f "$0")
out=$1
pki=$(cd "$2" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

so_pin=12345678
user_pin=12345
demo_pin=1234

softhsm_lib=
for candidate in /usr/lib/softhsm/libsofthsm2.so /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so; do
    if [ -f "$candidate" ]; then softhsm_lib=$candidate; break; fi
done
if [ -z "$softhsm_lib" ]; then
    softhsm_lib=$(dpkg -L softhsm2 libsofthsm2 2>/dev/null | grep '/libsofthsm2\.so$' | head -n1 || true)
fi
if [ -z "$softhsm_lib" ] || [ ! -f "$softhsm_lib" ]; then
    echo "$0: the SoftHSM2 library was not found (package softhsm2)" >&2
    exit 1
fi

names=(sign-rsa auth-rsa sign-p256 auth-p256 sign-p384 auth-p384 demo-sign demo-auth)
for name in "${names[@]}"; do
    for f in "$pki/$name.der" "$pki/$name.key.pem"; do
        if [ ! -f "$f" ]; then
            echo "$0: $f is missing; run scripts/make-test-pki.sh $pki first" >&2
            exit 1
        fi
    done
done

exec 9>"$out/.lock"
flock 9

stamp=$( { sha256sum "$script_path"; echo "$softhsm_lib"
          for name in "${names[@]}"; do sha256sum "$pki/$name.der" "$pki/$name.key.pem"; done; } |
        sed 's/ .*//' | sha256sum | cut -d' ' -f1)
if [ -f "$out/.stamp" ] && [ "$(cat "$out/.stamp")" = "$stamp" ]; then
    exit 0
fi
rm -f "$out/.stamp"

work=$(mktemp -d "$out/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
umask 077

p11() { pkcs11-tool --module "$softhsm_lib" "$@"; }

# Starts a scenario directory with its own configuration and token store.
scenario() {
    local dir=$work/$1
    SCENARIO=$1
    mkdir -p "$dir/tokens"
    cat >"$dir/softhsm2.conf" <<EOF
directories.tokendir = $out/$1/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
EOF
    # The configuration names the final location; while building, point
    # SoftHSM2 at the work copy.
    sed "s|$out/$1/tokens|$dir/tokens|" "$dir/softhsm2.conf" >"$work/$1.build.conf"
    export SOFTHSM2_CONF=$work/$1.build.conf
}

init_token() {
    softhsm2-util --init-token --free --label "$1" --so-pin "$so_pin" --pin "$2" >/dev/null
}

# Imports certificate NAME with its private and public key under one CKA_ID.
import() {
    local label=$1 pin=$2 name=$3 id=$4
    local pub=$work/$SCENARIO.$name.pub.der
    openssl pkey -in "$pki/$name.key.pem" -pubout -outform DER -out "$pub"
    p11 --token-label "$label" --login --pin "$pin" --write-object "$pki/$name.key.pem" \
        --type privkey --id "$id" --label "$name" >/dev/null
    p11 --token-label "$label" --login --pin "$pin" --write-object "$pub" \
        --type pubkey --id "$id" --label "$name" >/dev/null
    p11 --token-label "$label" --login --pin "$pin" --write-object "$pki/$name.der" \
        --type cert --id "$id" --label "$name" >/dev/null
}

# The token labels in slot list order.
token_labels() {
    p11 -L 2>/dev/null | sed -n 's/^ *token label *: //p' | sed 's/ *$//'
}

make_sign_rsa() {
    scenario sign-rsa
    init_token "Quorvanta sign RSA" "$user_pin"
    import "Quorvanta sign RSA" "$user_pin" sign-rsa 01
}

make_rsa() {
    scenario rsa
    init_token "Quorvanta RSA" "$user_pin"
    import "Quorvanta RSA" "$user_pin" sign-rsa 01
    import "Quorvanta RSA" "$user_pin" auth-rsa 02
}

make_p256() {
    scenario p256
    init_token "Quorvanta P-256" "$user_pin"
    import "Quorvanta P-256" "$user_pin" sign-p256 01
    import "Quorvanta P-256" "$user_pin" auth-p256 02
}

make_p384() {
    scenario p384
    init_token "Quorvanta P-384" "$user_pin"
    import "Quorvanta P-384" "$user_pin" sign-p384 01
    import "Quorvanta P-384" "$user_pin" auth-p384 02
}

# SoftHSM2 orders its slots by the random token serial numbers: initialise
# again until the authentication-only token comes first.
make_two_tokens() {
    scenario two-tokens
    local expected=$'Quorvanta auth only\nQuorvanta signing' attempt
    for attempt in $(seq 1 30); do
        rm -rf "$work/two-tokens/tokens"
        mkdir -p "$work/two-tokens/tokens"
        init_token "Quorvanta auth only" "$user_pin"
        init_token "Quorvanta signing" "$user_pin"
        [ "$(token_labels)" = "$expected" ] && break
        if [ "$attempt" = 30 ]; then
            echo "$0: could not put the two tokens in order" >&2
            return 1
        fi
    done
    import "Quorvanta auth only" "$user_pin" auth-rsa 02
    import "Quorvanta signing" "$user_pin" sign-rsa 01
}

make_demo() {
    scenario demo
    init_token "Quorvanta demo" "$demo_pin"
    import "Quorvanta demo" "$demo_pin" demo-sign 01
    import "Quorvanta demo" "$demo_pin" demo-auth 02
}

# The scenarios are independent token stores: build them side by side.
pids=()
for make in make_sign_rsa make_rsa make_p256 make_p384 make_two_tokens make_demo; do
    ( "$make" ) &
    pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do
    wait "$pid" || failed=1
done
if [ "$failed" != 0 ]; then
    echo "$0: making the tokens failed" >&2
    exit 1
fi

mkdir -p "$work/module"
ln -s "$softhsm_lib" "$work/module/libquorvanta-module.so"
rm -f "$work"/*.build.conf "$work"/*.pub.der

# Replace the previous output only now that everything is made.
for entry in "$work"/*; do
    name=$(basename "$entry")
    rm -rf "${out:?}/$name"
    mv "$entry" "$out/$name"
done
echo "$stamp" >"$out/.stamp"
