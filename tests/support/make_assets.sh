#!/usr/bin/env bash
# Makes the test assets: a throwaway PKI, the signed (and deliberately
# mis-signed or damaged) releases, and the CA trusted in the Wine prefix.
#   FWSTACK_CRL_PORT=P make_assets.sh ASSETS VARIANTS INSTALL_CA_EXE
# ASSETS/pki      ca.crt, ca.der, the code-signing leaves and localhost.crt/.key;
#                 example.crt/.key belong to a second publisher, "Example Tools
#                 Ltd.", who signs the example programs;
#                 ca.crl, the CA's current CRL (PEM), which revokes revoked.crt.
#                 The code-signing leaves but nocrl.crt name the CRL at
#                 http://127.0.0.1:P/ca.crl, which the tests serve.
# ASSETS/releases the release files and SHA256SUMS
# The PKI and releases are remade only when a variant is newer than
# ASSETS/.stamp (or this script is, or the CRL address changed); the CRL is
# issued anew and the CA put into the prefix every time, since the CRL ages
# and the prefix may have been made anew.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 ASSETS VARIANTS INSTALL_CA_EXE" >&2
    exit 2
fi
assets=$(realpath -m "$1")
variants=$(realpath -m "$2")
install_ca=$3
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../cmake/wine-run.sh
publisher="Kelvardo s.r.o."
crl_url="http://127.0.0.1:${FWSTACK_CRL_PORT:?the port of the CRL address}/ca.crl"
versions=(0.0.1 0.0.2 0.0.3 0.0.4 0.0.3-beta.1)

variant() { echo "$variants/$1/fwstack.exe"; }

for name in "${versions[@]}" 0.0.3-noversion; do
    if [ ! -f "$(variant "$name")" ]; then
        echo "make_assets: missing $(variant "$name"); build the variant_* targets first" >&2
        exit 1
    fi
done

stale() {
    [ -f "$assets/.stamp" ] || return 0
    [ "$0" -nt "$assets/.stamp" ] && return 0
    [ "$(cat "$assets/pki/crl-url" 2>/dev/null)" != "$crl_url" ] && return 0
    [ -n "$(find "$variants" -name fwstack.exe -newer "$assets/.stamp" -print -quit)" ]
}

# leaf NAME "COMMON NAME" EXTENSIONS: a key and a certificate signed by the CA.
leaf() {
    local name=$1 cn=$2 extensions=$3
    openssl req -new -newkey rsa:2048 -nodes -keyout "$pki/$name.key" -subj "/CN=$cn" \
        -out "$pki/$name.csr" 2>/dev/null
    printf '%b' "$extensions" > "$pki/$name.ext"
    openssl x509 -req -in "$pki/$name.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" \
        -CAcreateserial -days 3650 -sha256 -extfile "$pki/$name.ext" -out "$pki/$name.crt" \
        2>/dev/null
    rm -f "$pki/$name.csr" "$pki/$name.ext"
}

# sign SIGNER IN OUT: Authenticode-sign IN into OUT and check the signature.
sign() {
    local signer=$1 in=$2 out=$3 log
    rm -f "$out"
    osslsigncode sign -certs "$pki/$signer.crt" -key "$pki/$signer.key" -h sha256 \
        -n Ferrowstack -in "$in" -out "$out" >/dev/null
    log=$(osslsigncode verify -ignore-crl -CAfile "$pki/ca.crt" -in "$out" 2>&1) || {
        echo "$log" >&2
        echo "make_assets: the signature of $out does not verify" >&2
        exit 1
    }
    # The exit code and the verdict line must both say so.
    if ! grep -q "^Signature verification: ok" <<<"$log"; then
        echo "$log" >&2
        echo "make_assets: the signature of $out does not verify" >&2
        exit 1
    fi
}

# The file offsets of the VS_FIXEDFILEINFO signature 0xFEEF04BD inside the
# resource section of a PE file (the program's code holds the same constant,
# so the whole file is not searched).
fixed_info_offsets() {
    python3 - "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
table = pe + 24 + optional_size
magic = (0xFEEF04BD).to_bytes(4, "little")
for i in range(sections):
    name, raw_size, raw_start = struct.unpack_from("<8s8xII", data, table + 40 * i)
    if name.rstrip(b"\0") != b".rsrc":
        continue
    at = data.find(magic, raw_start, raw_start + raw_size)
    while at >= 0:
        print(at)
        at = data.find(magic, at + 1, raw_start + raw_size)
EOF
}

make_all() {
    rm -rf "$assets/pki" "$assets/releases" "$assets/.stamp"
    pki=$assets/pki
    releases=$assets/releases
    mkdir -p "$pki" "$releases"

    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/ca.key" -out "$pki/ca.crt" \
        -subj "/CN=fwstack Test Root CA" -days 3650 -sha256 \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    openssl x509 -in "$pki/ca.crt" -outform DER -out "$pki/ca.der"

    local code_signing='basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n'
    leaf nocrl "$publisher" "$code_signing"
    code_signing+="crlDistributionPoints=URI:$crl_url\\n"
    leaf publisher "$publisher" "$code_signing"
    # A second certificate of the publisher, revoked below.
    leaf revoked "$publisher" "$code_signing"
    leaf other "Someone Else s.r.o." "$code_signing"
    leaf case "kelvardo s.r.o." "$code_signing"
    leaf blank "$publisher " "$code_signing"
    leaf prefix "$publisher Holding" "$code_signing"
    leaf example "Example Tools Ltd." "$code_signing"
    leaf localhost localhost \
        'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=DNS:localhost\n'
    rm -f "$pki/ca.srl"
    # openssl ca keeps the CA's record of revocations in index.txt.
    : > "$pki/index.txt"
    printf '%s\n' '[ca]' 'default_ca = test' '[test]' "database = $pki/index.txt" \
        "certificate = $pki/ca.crt" "private_key = $pki/ca.key" 'default_md = sha256' \
        'unique_subject = no' > "$pki/ca.cnf"
    openssl ca -config "$pki/ca.cnf" -revoke "$pki/revoked.crt" -crl_reason keyCompromise \
        2>/dev/null
    echo "$crl_url" > "$pki/crl-url"

    local v
    for v in "${versions[@]}"; do
        sign publisher "$(variant "$v")" "$releases/fwstack-$v.exe"
    done
    local base
    base=$(variant 0.0.3)
    cp "$base" "$releases/fwstack-0.0.3-unsigned.exe"
    for v in other case blank prefix revoked nocrl; do
        sign "$v" "$base" "$releases/fwstack-0.0.3-$v.exe"
    done

    local noversion
    noversion=$(variant 0.0.3-noversion)
    if [ -n "$(fixed_info_offsets "$noversion")" ]; then
        echo "make_assets: $noversion has a version resource" >&2
        exit 1
    fi
    sign publisher "$noversion" "$releases/fwstack-0.0.3-noversion.exe"

    # A release whose version resource is there but whose fixed file
    # information has a broken signature word.
    local offsets tmp=$releases/badversion.tmp
    offsets=$(fixed_info_offsets "$base")
    if [ "$(wc -w <<<"$offsets")" -ne 1 ]; then
        echo "make_assets: expected one VS_FIXEDFILEINFO in $base, found offsets: $offsets" >&2
        exit 1
    fi
    cp "$base" "$tmp"
    printf '\x00\x00\xad\xde' | dd of="$tmp" bs=1 seek="$offsets" conv=notrunc status=none
    [ -z "$(fixed_info_offsets "$tmp")" ]
    sign publisher "$tmp" "$releases/fwstack-0.0.3-badversion.exe"
    rm -f "$tmp"

    (cd "$releases" && sha256sum -- *.exe > SHA256SUMS)
    touch "$assets/.stamp"
    echo "make_assets: made $(ls "$releases"/*.exe | wc -l) releases in $releases"
}

if stale; then
    make_all
else
    echo "make_assets: $assets is up to date"
fi
openssl ca -config "$assets/pki/ca.cnf" -gencrl -crldays 30 -out "$assets/pki/ca.crl" 2>/dev/null
echo "make_assets: $assets/pki/ca.crl issued, served by the tests at $crl_url"

# Trust the CA inside the prefix, for HTTPS to the test servers; the helper
# says what it does when asked.
"$wine_run" "$install_ca" --help | tr -d '\r' | grep -q "^Puts a root certificate" || {
    echo "make_assets: install_ca.exe --help does not describe itself" >&2
    exit 1
}
ca_windows="Z:$(tr / '\\' <<<"$assets/pki/ca.der")"
"$wine_run" "$install_ca" "$ca_windows"
echo "make_assets: CA installed into ${FWSTACK_WINEPREFIX:-the default prefix}"
