#!/usr/bin/env bash
# Builds the test executables: real PE32 and PE32+ files with version resources, a throw-away
# PKI, publisher-signed copies, appended-signed copies and tampered variants.
#
# Usage: scripts/make-test-executables.sh OUTDIR [--sign-appended TOOL --appended-key PRIVATE_PEM]
#
# Everything is made afresh on each run (new keys, new signatures) in OUTDIR.tmp, which then
# replaces OUTDIR. Tools: the MinGW binutils (as, windres with the host's cpp, ld), openssl,
# osslsigncode (only options of 2.5). The sources are scripts/test-executables/.
#
# Files (OUTDIR/README.txt says the same):
#   Unsigned, PE32 unless named -pe64; FILEVERSION major.minor.0.7, one string table 040904B0,
#   Translation 0x0409/1200, SpecialBuild "QA <major>.<minor>":
#     qxc-3.4.exe qxc-3.5.exe qxc-3.10.exe qxc-4.0.exe qxc-10.0.exe qxc-3.10-pe64.exe qxc-4.0-pe64.exe
#     noversion.exe          resources, but no version resource
#     notranslation.exe      3.10 without \VarFileInfo\Translation
#     special-nonascii.exe   3.10, SpecialBuild "Hälden-ß-Ω" (Ω has no place in code page 1252)
#   Publisher-signed (osslsigncode, SHA-256) copies of qxc-3.10.exe unless named otherwise:
#     pub-good.exe           C=US, O and CN "Halden Labs, Inc.", under the trusted root
#     pub-good-pe64.exe      the same signer on qxc-3.10-pe64.exe
#     pub-good-3.4.exe       the same signer on qxc-3.4.exe
#     pub-nodot.exe          CN "Halden Labs, Inc" (O right)
#     pub-caps.exe           CN "HALDEN LABS, INC." (O right)
#     pub-oonly.exe          no CN, O "Halden Labs, Inc."
#     pub-untrusted.exe      right name, under the other (untrusted) root
#   Tampered copies of pub-good.exe:
#     pub-tamper-code.exe    one byte of the code section flipped
#     pub-tamper-sig.exe     one byte of the RSA signature inside the PKCS#7 flipped
#     pub-two-entries.exe    the certificate entry appended a second time, directory size updated
#     pub-trailing-byte.exe  one byte appended after the certificate table
#     pub-checksum.exe       one bit of the CheckSum field flipped (outside the signed bytes)
#   With --sign-appended (nvl-sign-appended and the build's private key):
#     app-3.4.exe app-3.5.exe app-3.10.exe app-4.0.exe app-10.0.exe   appended-signed qxc-*.exe
#     app-pub-good.exe       pub-good.exe with an appended signature (its certificate table is
#                            then no longer at the end of the file)
#     app-tamper-content.exe app-3.10.exe with one content byte flipped
#     app-tamper-sig.exe     app-3.10.exe with one signature byte flipped
#     app-tamper-length.exe  app-3.10.exe with the trailer's length one more
#   PKI (pki/):
#     trust-roots.pem        the trusted root alone (what NVL_TRUST_ROOTS names in tests)
#     root.pem root.key      the trusted root and its key (tests may issue more certificates)
#     other-root.pem         the untrusted root
#     leaf-*.pem leaf.key    the signers' certificates (good nodot caps oonly untrusted), one key
set -euo pipefail

usage() {
    echo "usage: $0 OUTDIR [--sign-appended TOOL --appended-key PRIVATE_PEM]" >&2
    exit 2
}

[[ $# -ge 1 ]] || usage
outdir=$1
shift
sign_tool=
appended_key=
while [[ $# -gt 0 ]]; do
    case $1 in
        --sign-appended) [[ $# -ge 2 ]] || usage; sign_tool=$2; shift 2 ;;
        --appended-key) [[ $# -ge 2 ]] || usage; appended_key=$2; shift 2 ;;
        *) usage ;;
    esac
done
if [[ -n $sign_tool && -z $appended_key ]] || [[ -z $sign_tool && -n $appended_key ]]; then
    usage
fi

src=$(cd "$(dirname "$0")/test-executables" && pwd)
outdir=${outdir%/}
work=$outdir.tmp
rm -rf "$work"
mkdir -p "$work/pki" "$work/obj"
trap 'rm -rf "$work"' EXIT

# --- Byte access ------------------------------------------------------------------------------
u8() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' \n'; }
u16() { od -An -tu2 -j "$2" -N2 --endian=little "$1" | tr -d ' \n'; }
u32() { od -An -tu4 -j "$2" -N4 --endian=little "$1" | tr -d ' \n'; }
put_u8() { printf '%b' "$(printf '\\0%03o' "$3")" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
put_u32() {
    local i
    for i in 0 1 2 3; do put_u8 "$1" $(($2 + i)) $((($3 >> (8 * i)) & 255)); done
}
flip() { put_u8 "$1" "$2" $(($(u8 "$1" "$2") ^ ${3:-1})); }

pe_offset() { u32 "$1" 60; }
# File offset of the security directory entry.
security_entry() {
    local pe magic
    pe=$(pe_offset "$1")
    magic=$(u16 "$1" $((pe + 24)))
    if [[ $magic -eq $((0x20b)) ]]; then echo $((pe + 24 + 144)); else echo $((pe + 24 + 128)); fi
}
# File offset of the first section's raw data (the code).
first_section_data() {
    local pe optsize
    pe=$(pe_offset "$1")
    optsize=$(u16 "$1" $((pe + 20)))
    u32 "$1" $((pe + 24 + optsize + 20))
}

# --- Executables --------------------------------------------------------------------------------
as32=i686-w64-mingw32-as
as64=x86_64-w64-mingw32-as
"$as32" -o "$work/obj/code32.o" "$src/code.s"
"$as64" -o "$work/obj/code64.o" "$src/code.s"

# build NAME BITS RCFILE [DEFINE...]: one executable from a resource script; each DEFINE is a
# line of the variant's header.
build() {
    local name=$1 bits=$2 rc=$3
    shift 3
    local dir=$work/obj/$name arch
    mkdir -p "$dir"
    printf '%s\n' "$@" >"$dir/variant.h"
    if [[ $bits -eq 64 ]]; then arch=x86_64; else arch=i686; fi
    "$arch-w64-mingw32-windres" --preprocessor=cpp -I "$dir" -O coff -o "$dir/res.o" "$src/$rc"
    "$arch-w64-mingw32-ld" -o "$work/$name" "$work/obj/code$bits.o" "$dir/res.o" -e start \
        --subsystem console --no-insert-timestamp -s
}

# versioned NAME BITS MAJOR MINOR [SPECIAL] [EXTRA DEFINE...]
versioned() {
    local name=$1 bits=$2 major=$3 minor=$4 special=${5:-"QA $3.$4"}
    shift 5 2>/dev/null || shift $#
    build "$name" "$bits" version.rc "#define VER_MAJOR $major" "#define VER_MINOR $minor" \
        "#define VER_TEXT \"$major.$minor.0.7\"" "#define SPECIAL_BUILD \"$special\"" "$@"
}

for v in 3.4 3.5 3.10 4.0 10.0; do
    versioned "qxc-$v.exe" 32 "${v%.*}" "${v#*.}"
done
versioned qxc-3.10-pe64.exe 64 3 10
versioned qxc-4.0-pe64.exe 64 4 0
versioned notranslation.exe 32 3 10 "QA 3.10" "#define NO_TRANSLATION 1"
versioned special-nonascii.exe 32 3 10 "Hälden-ß-Ω"
build noversion.exe 32 noversion.rc

# --- PKI ----------------------------------------------------------------------------------------
pki=$work/pki
newkey() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; }
newkey "$pki/root.key"
newkey "$pki/other-root.key"
newkey "$pki/leaf.key"
root() {
    openssl req -x509 -new -key "$pki/$1.key" -subj "$2" -days 36500 -sha256 \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" -out "$pki/$1.pem"
}
root root "/C=US/O=Norvel Test PKI/CN=Norvel Test Code Signing Root"
root other-root "/C=US/O=Elsewhere Test PKI/CN=Elsewhere Test Root"
cat >"$pki/leaf.cnf" <<'EOF'
[leaf]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
serial=100
# leaf NAME ISSUER SUBJECT
leaf() {
    serial=$((serial + 1))
    openssl req -new -key "$pki/leaf.key" -subj "$3" -out "$pki/leaf-$1.csr"
    openssl x509 -req -in "$pki/leaf-$1.csr" -CA "$pki/$2.pem" -CAkey "$pki/$2.key" \
        -set_serial "$serial" -days 3650 -sha256 -extfile "$pki/leaf.cnf" -extensions leaf \
        -out "$pki/leaf-$1.pem" 2>/dev/null
    rm -f "$pki/leaf-$1.csr"
}
leaf good root "/C=US/O=Halden Labs, Inc./CN=Halden Labs, Inc."
leaf nodot root "/C=US/O=Halden Labs, Inc./CN=Halden Labs, Inc"
leaf caps root "/C=US/O=Halden Labs, Inc./CN=HALDEN LABS, INC."
leaf oonly root "/C=US/O=Halden Labs, Inc."
leaf untrusted other-root "/C=US/O=Halden Labs, Inc./CN=Halden Labs, Inc."
cp "$pki/root.pem" "$pki/trust-roots.pem"
rm -f "$pki/other-root.key" "$pki/leaf.cnf"

# --- Publisher signatures -----------------------------------------------------------------------
# sign SIGNER INPUT OUTPUT
sign() {
    osslsigncode sign -certs "$pki/leaf-$1.pem" -key "$pki/leaf.key" -h sha256 \
        -in "$work/$2" -out "$work/$3" >/dev/null
}
sign good qxc-3.10.exe pub-good.exe
sign good qxc-3.10-pe64.exe pub-good-pe64.exe
sign good qxc-3.4.exe pub-good-3.4.exe
sign nodot qxc-3.10.exe pub-nodot.exe
sign caps qxc-3.10.exe pub-caps.exe
sign oonly qxc-3.10.exe pub-oonly.exe
sign untrusted qxc-3.10.exe pub-untrusted.exe

good=$work/pub-good.exe
secdir=$(security_entry "$good")
table=$(u32 "$good" "$secdir")
table_size=$(u32 "$good" $((secdir + 4)))

cp "$good" "$work/pub-tamper-code.exe"
flip "$work/pub-tamper-code.exe" "$(first_section_data "$good")"

# The PKCS#7 is one DER SEQUENCE behind the entry's 8-byte header (30 82 hi lo); the signer's
# RSA signature is its last element, so a byte 16 before its end lies inside the signature.
der_length=$(($(u8 "$good" $((table + 10))) * 256 + $(u8 "$good" $((table + 11))) + 4))
cp "$good" "$work/pub-tamper-sig.exe"
flip "$work/pub-tamper-sig.exe" $((table + 8 + der_length - 16))

cp "$good" "$work/pub-two-entries.exe"
tail -c "$table_size" "$good" >>"$work/pub-two-entries.exe"
put_u32 "$work/pub-two-entries.exe" $((secdir + 4)) $((table_size * 2))

cp "$good" "$work/pub-trailing-byte.exe"
printf '\0' >>"$work/pub-trailing-byte.exe"

cp "$good" "$work/pub-checksum.exe"
flip "$work/pub-checksum.exe" $(($(pe_offset "$good") + 88))

# --- Appended signatures ------------------------------------------------------------------------
if [[ -n $sign_tool ]]; then
    for v in 3.4 3.5 3.10 4.0 10.0; do
        "$sign_tool" --key "$appended_key" "$work/qxc-$v.exe" "$work/app-$v.exe"
    done
    "$sign_tool" --key "$appended_key" "$good" "$work/app-pub-good.exe"
    app=$work/app-3.10.exe
    size=$(stat -c %s "$app")
    n=$(u32 "$app" $((size - 4)))
    cp "$app" "$work/app-tamper-content.exe"
    flip "$work/app-tamper-content.exe" "$(first_section_data "$app")"
    cp "$app" "$work/app-tamper-sig.exe"
    flip "$work/app-tamper-sig.exe" $((size - 4 - n + n / 2))
    cp "$app" "$work/app-tamper-length.exe"
    put_u32 "$work/app-tamper-length.exe" $((size - 4)) $((n + 1))
fi

# --- README -------------------------------------------------------------------------------------
rm -rf "$work/obj"
{
    echo "Test executables made by scripts/make-test-executables.sh on $(date -u +%Y-%m-%dT%H:%M:%SZ)."
    echo "Keys and signatures are new on every run. What each file is:"
    echo
    sed -n '/^# Files/,/^set -euo/p' "$0" | sed -e '1d' -e '$d' -e 's/^# \{0,1\}//'
    echo
    echo "Made in this run:"
    (cd "$work" && find . -type f ! -name README.txt | sed 's|^\./||' | LC_ALL=C sort | sed 's/^/  /')
} >"$work/README.txt"

rm -rf "$outdir"
mv "$work" "$outdir"
trap - EXIT
