#!/usr/bin/env bash
# Generates the test PKI with the openssl command line: a small CA and the
# end-entity certificates that the card tests, the token fixtures and the demo
# use. For every certificate NAME it writes OUTDIR/NAME.der (certificate DER),
# OUTDIR/NAME.pem (certificate PEM) and OUTDIR/NAME.key.pem (PKCS#8 private
# key PEM). Keys are made fresh on every generation and never committed.
#
# Usage: scripts/make-test-pki.sh OUTDIR
#
# Idempotent: when OUTDIR/.stamp holds the checksum of this script the PKI is
# already there and nothing is done. Several callers may run it at once on one
# OUTDIR; they take turns on OUTDIR/.lock.
#
# Unless a row says otherwise, certificates are issued by "ca", valid from
# 2024-01-01 to 2045-12-31 23:59:59 (a UTCTime notAfter), have
# basicConstraints CA:FALSE and a critical key usage, and the subject
# C=LV, O=Quorvanta Test, CN=<given surname>, surname, givenName, serialNumber.
#
# Certificates:
#   ca                 RSA-2048 self-signed test CA (CA:TRUE, keyCertSign, cRLSign)
#   sign-rsa           RSA-2048, KU nonRepudiation, no EKU; Anna Ozola, PNOLV-150385-10001
#   auth-rsa           RSA-2048, KU digitalSignature, EKU clientAuth; Anna Ozola
#   sign-p256          EC P-256, KU nonRepudiation, EKU 1.3.6.1.4.1.311.10.3.12; Kārlis Liepa, PNOLV-220790-10002
#   auth-p256          EC P-256, KU digitalSignature, EKU clientAuth; Kārlis Liepa
#   sign-p384          EC P-384, KU nonRepudiation, no EKU; Marija Ivanova, PNOLV-030372-10003
#   auth-p384          EC P-384, KU digitalSignature, EKU clientAuth; Marija Ivanova
#   demo-sign          RSA-2048, KU nonRepudiation, no EKU; Demo Lietotājs, PNOLV-010101-10000
#   demo-auth          RSA-2048, KU digitalSignature, EKU clientAuth; Demo Lietotājs
#
# Usage rows (EC P-256 keys, subject "Usage Test"): the expected answers of
# the signing test / authentication test follow the name.
#   usage-none                 no KU, no EKU                             true  / false
#   usage-nr                   KU nonRepudiation, no EKU                 true  / false
#   usage-ds                   KU digitalSignature, no EKU               true  / false
#   usage-dsnr                 KU digitalSignature+nonRepudiation, no EKU true / false
#   usage-ds-client            KU digitalSignature, EKU clientAuth       false / true
#   usage-dsnr-client          KU digitalSignature+nonRepudiation, EKU clientAuth  false / true
#   usage-nr-client            KU nonRepudiation, EKU clientAuth         false / false
#   usage-ke                   KU keyEncipherment, no EKU                false / false
#   usage-ke-client            KU keyEncipherment, EKU clientAuth        false / false
#   usage-nr-docsign           KU nonRepudiation, EKU .311.10.3.12       true  / false
#   usage-ds-docsign-client    KU digitalSignature, EKU .311.10.3.12 and clientAuth  true / true
#   usage-nr-docsign120        KU nonRepudiation, EKU .311.10.3.120      true  / false
#   usage-ds-server            KU digitalSignature, EKU serverAuth       false / false
#   usage-ds-server-client     KU digitalSignature, EKU serverAuth and clientAuth  false / true
#   usage-noku-client          no KU, EKU clientAuth                     false / true
#   usage-noku-docsign         no KU, EKU .311.10.3.12                   true  / false
#   usage-noku-server          no KU, EKU serverAuth                     false / false
#   usage-nr-badski            KU nonRepudiation, no EKU, and a subjectKeyIdentifier
#                              that is a BOOLEAN instead of an OCTET STRING  true / false
#   usage-ds-client-badpath    KU digitalSignature, EKU clientAuth, and a negative
#                              pathLenConstraint                         false / true
#
# Subject rows (EC P-256, KU nonRepudiation, no EKU):
#   subject-latvian      Jānis Bērziņš (UTF-8), PNOLV-050578-10004
#   subject-cyrillic     Иван Петров (UTF-8), PNORU-121280-10005
#   subject-no-given     surname "Kalns" and serialNumber, no givenName
#   subject-no-surname   givenName "Līga" and serialNumber, no surname
#   subject-no-serial    givenName "Ilze", surname "Bērziņa", no serialNumber
#   subject-cn-only      only CN "Only Common Name": no givenName, surname, serialNumber
#   subject-long-given   a givenName of 1100 ASCII "x", surname "Long", serialNumber
#
# Validity rows (EC P-256, KU nonRepudiation, no EKU, subject "Validity Test"):
#   validity-expired     2015-01-01 .. 2020-01-01 12:00:00 (UTCTime, in the past)
#   validity-utc-2049    notAfter 2049-12-31 23:59:59 as UTCTime 491231235959Z
#   validity-gen-2050    notAfter 2050-01-01 00:00:00 as GeneralizedTime 20500101000000Z
#   validity-gen-2077    notAfter 2077-07-07 07:07:07 as GeneralizedTime
#
# Rows for the IE plugin's store tests:
#   validity-future      EC P-256, KU digitalSignature+nonRepudiation, EKU clientAuth,
#                        2040-01-01 .. 2045-12-31 (not yet valid); "Validity Test"
#   zero-length-a        RSA-2048, KU nonRepudiation, no EKU, and a comment extension
#   zero-length-b        sized so that the DER is 30 82 05 00 ...: a body of exactly
#                        0x500 bytes, whose length has a zero low byte; "Zero Length"
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi

script_path=$(readlink -f "$0")
out=$1
mkdir -p "$out"
out=$(cd "$out" && pwd)

exec 9>"$out/.lock"
flock 9

stamp=$(sha256sum "$script_path" | cut -d' ' -f1)
if [ -f "$out/.stamp" ] && [ "$(cat "$out/.stamp")" = "$stamp" ]; then
    exit 0
fi
rm -f "$out/.stamp"

work=$(mktemp -d "$out/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
umask 077

# --- openssl ca configuration ------------------------------------------------
mkdir -p "$work/newcerts"
: >"$work/index.txt"
echo 1000 >"$work/serial"
cat >"$work/ca.cnf" <<EOF
[ca]
default_ca = testca

[testca]
dir = $work
database = $work/index.txt
new_certs_dir = $work/newcerts
serial = $work/serial
certificate = $work/ca.pem
private_key = $work/ca.key.pem
default_md = sha256
policy = anything
unique_subject = no
email_in_dn = no
copy_extensions = none
preserve = yes
utf8 = yes
string_mask = utf8only

[anything]
commonName = supplied

[req]
distinguished_name = dn
string_mask = utf8only
utf8 = yes
prompt = no

[dn]

[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
EOF

# Extension sections by short name: ku=<bits> and eku=<purposes>, "-" for none.
ext_section() {
    local name=$1 ku=$2 eku=$3
    {
        echo "[$name]"
        echo "basicConstraints = CA:FALSE"
        echo "subjectKeyIdentifier = hash"
        echo "authorityKeyIdentifier = keyid"
        [ "$ku" != "-" ] && echo "keyUsage = critical, $ku"
        [ "$eku" != "-" ] && echo "extendedKeyUsage = $eku"
        echo
    } >>"$work/ext.cnf"
}
: >"$work/ext.cnf"

newkey() {
    local kind=$1 file=$2
    case $kind in
        rsa) openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$file" ;;
        p256) openssl genpkey -quiet -algorithm EC -pkeyopt ec_paramgen_curve:P-256 \
                  -pkeyopt ec_param_enc:named_curve -out "$file" ;;
        p384) openssl genpkey -quiet -algorithm EC -pkeyopt ec_paramgen_curve:P-384 \
                  -pkeyopt ec_param_enc:named_curve -out "$file" ;;
        *) echo "unknown key kind $kind" >&2; return 1 ;;
    esac
}

# issue NAME KEYKIND EXTSECTION SUBJECT [STARTDATE ENDDATE]
issue() {
    local name=$1 kind=$2 ext=$3 subject=$4
    local start=${5:-20240101000000Z} end=${6:-20451231235959Z}
    newkey "$kind" "$work/$name.key.pem"
    openssl req -new -config "$work/ca.cnf" -utf8 -key "$work/$name.key.pem" \
        -subj "$subject" -out "$work/$name.csr"
    openssl ca -config "$work/ca.cnf" -batch -notext -preserveDN -utf8 \
        -extfile "$work/ext.cnf" -extensions "$ext" \
        -startdate "$start" -enddate "$end" \
        -in "$work/$name.csr" -out "$work/$name.pem" 2>"$work/$name.err" \
        || { cat "$work/$name.err" >&2; return 1; }
    openssl x509 -in "$work/$name.pem" -outform DER -out "$work/$name.der"
    rm -f "$work/$name.csr" "$work/$name.err"
}

person() { # given surname serial
    echo "/C=LV/O=Quorvanta Test/CN=$1 $2/SN=$2/GN=$1/serialNumber=$3"
}

# --- CA -----------------------------------------------------------------------
newkey rsa "$work/ca.key.pem"
openssl req -new -x509 -config "$work/ca.cnf" -utf8 -key "$work/ca.key.pem" \
    -subj "/C=LV/O=Quorvanta Test/CN=Quorvanta Test CA" -days 9000 \
    -set_serial 1 -extensions ca_ext -out "$work/ca.pem"
openssl x509 -in "$work/ca.pem" -outform DER -out "$work/ca.der"

# --- extension sections ---------------------------------------------------------
docsign=1.3.6.1.4.1.311.10.3.12
docsign120=1.3.6.1.4.1.311.10.3.120
ext_section x_sign     nonRepudiation                   -
ext_section x_auth     digitalSignature                 clientAuth
ext_section x_docsign  nonRepudiation                   $docsign
ext_section u_none     -                                -
ext_section u_nr       nonRepudiation                   -
ext_section u_ds       digitalSignature                 -
ext_section u_dsnr     "digitalSignature, nonRepudiation" -
ext_section u_ds_cl    digitalSignature                 clientAuth
ext_section u_dsnr_cl  "digitalSignature, nonRepudiation" clientAuth
ext_section u_nr_cl    nonRepudiation                   clientAuth
ext_section u_ke       keyEncipherment                  -
ext_section u_ke_cl    keyEncipherment                  clientAuth
ext_section u_nr_doc   nonRepudiation                   $docsign
ext_section u_ds_doc_cl digitalSignature                "$docsign, clientAuth"
ext_section u_nr_doc120 nonRepudiation                  $docsign120
ext_section u_ds_srv   digitalSignature                 serverAuth
ext_section u_ds_srv_cl digitalSignature                "serverAuth, clientAuth"
ext_section u_noku_cl  -                                clientAuth
ext_section u_noku_doc -                                $docsign
ext_section u_noku_srv -                                serverAuth
# Flaws in extensions that the usage tests do not read: a BOOLEAN where the
# subjectKeyIdentifier's OCTET STRING belongs, and basicConstraints
# { CA TRUE, pathLenConstraint -1 }.
cat >>"$work/ext.cnf" <<EOF
[u_nr_badski]
basicConstraints = CA:FALSE
subjectKeyIdentifier = DER:01:01:FF
keyUsage = critical, nonRepudiation

[u_ds_cl_badpath]
basicConstraints = critical, DER:30:06:01:01:FF:02:01:FF
keyUsage = critical, digitalSignature
extendedKeyUsage = clientAuth
EOF

# --- the named certificates -------------------------------------------------------
anna=$(person Anna Ozola PNOLV-150385-10001)
karlis=$(person "Kārlis" Liepa PNOLV-220790-10002)
marija=$(person Marija Ivanova PNOLV-030372-10003)
demo=$(person Demo "Lietotājs" PNOLV-010101-10000)
issue sign-rsa  rsa  x_sign    "$anna"
issue auth-rsa  rsa  x_auth    "$anna"
issue sign-p256 p256 x_docsign "$karlis"
issue auth-p256 p256 x_auth    "$karlis"
issue sign-p384 p384 x_sign    "$marija"
issue auth-p384 p384 x_auth    "$marija"
issue demo-sign rsa  x_sign    "$demo"
issue demo-auth rsa  x_auth    "$demo"

usage=$(person Usage Test PNOLV-010180-19999)
while read -r name section; do
    issue "$name" p256 "$section" "$usage"
done <<EOF
usage-none u_none
usage-nr u_nr
usage-ds u_ds
usage-dsnr u_dsnr
usage-ds-client u_ds_cl
usage-dsnr-client u_dsnr_cl
usage-nr-client u_nr_cl
usage-ke u_ke
usage-ke-client u_ke_cl
usage-nr-docsign u_nr_doc
usage-ds-docsign-client u_ds_doc_cl
usage-nr-docsign120 u_nr_doc120
usage-ds-server u_ds_srv
usage-ds-server-client u_ds_srv_cl
usage-noku-client u_noku_cl
usage-noku-docsign u_noku_doc
usage-noku-server u_noku_srv
usage-nr-badski u_nr_badski
usage-ds-client-badpath u_ds_cl_badpath
EOF

long_given=$(printf 'x%.0s' $(seq 1100))
issue subject-latvian    p256 x_sign "$(person "Jānis" "Bērziņš" PNOLV-050578-10004)"
issue subject-cyrillic   p256 x_sign "$(person "Иван" "Петров" PNORU-121280-10005)"
issue subject-no-given   p256 x_sign "/C=LV/O=Quorvanta Test/CN=Kalns/SN=Kalns/serialNumber=PNOLV-111111-10006"
issue subject-no-surname p256 x_sign "/C=LV/O=Quorvanta Test/CN=Līga/GN=Līga/serialNumber=PNOLV-121212-10007"
issue subject-no-serial  p256 x_sign "/C=LV/O=Quorvanta Test/CN=Ilze Bērziņa/SN=Bērziņa/GN=Ilze"
issue subject-cn-only    p256 x_sign "/C=LV/O=Quorvanta Test/CN=Only Common Name"
issue subject-long-given p256 x_sign "/C=LV/O=Quorvanta Test/CN=Long Given/SN=Long/GN=$long_given/serialNumber=PNOLV-131313-10008"

validity=$(person Validity Test PNOLV-141414-10009)
issue validity-expired  p256 x_sign "$validity" 20150101000000Z 20200101120000Z
issue validity-utc-2049 p256 x_sign "$validity" 20240101000000Z 20491231235959Z
issue validity-gen-2050 p256 x_sign "$validity" 20240101000000Z 20500101000000Z
issue validity-gen-2077 p256 x_sign "$validity" 20240101000000Z 20770707070707Z

issue validity-future p256 u_dsnr_cl "$validity" 20400101000000Z 20451231235959Z

# Each try sets the comment's length from the size the last try came to.
zero_length() {
    local name=$1 pad=300 size=0 try
    for try in 1 2 3 4 5; do
        {
            echo "[z_${name}_$try]"
            echo "basicConstraints = CA:FALSE"
            echo "keyUsage = critical, nonRepudiation"
            echo "1.3.6.1.4.1.55555.1 = ASN1:UTF8String:$(printf 'z%.0s' $(seq "$pad"))"
            echo
        } >>"$work/ext.cnf"
        issue "$name" rsa "z_${name}_$try" "$(person Zero Length PNOLV-151515-10010)"
        size=$(stat -c %s "$work/$name.der")
        [ "$size" -eq $((0x504)) ] && return 0
        pad=$((pad + 0x504 - size))
    done
    echo "$name: DER of $size bytes, not 0x504" >&2
    return 1
}
zero_length zero-length-a
zero_length zero-length-b

# --- publish ----------------------------------------------------------------------
chmod 644 "$work"/*.pem "$work"/*.der
chmod 600 "$work"/*.key.pem
for f in "$work"/*.der "$work"/*.pem; do
    mv -f "$f" "$out/"
done
echo "$stamp" >"$out/.stamp"
