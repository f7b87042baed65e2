#!/usr/bin/env bash
# Tests that the shipped installer is release-ready: its file properties name product, version and
# company in English and Chinese; its header carries no build time (the first thing that would make two
# builds differ); and scripts/sign-installer.sh signs it so that the signature verifies, a changed
# byte breaks it, and a key that does not belong to the certificate leaves the file untouched.
# Usage: installer_release_test.sh OrvaneSetup.exe VERSION
set -euo pipefail
exe=$1 version=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

python3 - "$exe" "$version" <<'PY' || fail "file properties"
import struct, sys
data = open(sys.argv[1], "rb").read()
def utf16(text):
    return text.encode("utf-16-le")
# A StringFileInfo entry is the key, NUL, padding to 4 bytes, then the value.
def has_value(key, value):
    at = data.find(utf16(key) + b"\0\0")
    while at >= 0:
        start = at + len(utf16(key)) + 2
        start += (-start) % 4
        if data[start:start + len(utf16(value)) + 2] == utf16(value) + b"\0\0":
            return True
        at = data.find(utf16(key) + b"\0\0", at + 1)
    return False
wanted = [("CompanyName", "Talvik Information"), ("ProductName", "Orvane"),
          ("FileDescription", "Orvane installer"), ("FileDescription", "Orvane 安装程序"),
          ("FileVersion", sys.argv[2]), ("ProductVersion", sys.argv[2]),
          ("OriginalFilename", "OrvaneSetup.exe")]
missing = [f"{k}={v}" for k, v in wanted if not has_value(k, v)]
fixed = data.find(b"\xbd\x04\xef\xfe")  # VS_FIXEDFILEINFO signature
major, minor, patch = (int(x) for x in sys.argv[2].split("."))
if fixed < 0 or struct.unpack_from("<II", data, fixed + 8) != ((major << 16) | minor, patch << 16):
    missing.append("fixed file version")
pe = struct.unpack_from("<I", data, 0x3C)[0]
if struct.unpack_from("<I", data, pe + 8)[0] != 0:
    missing.append("a zero PE time stamp")
if missing:
    print("missing: " + ", ".join(missing), file=sys.stderr)
    sys.exit(1)
PY

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/key.pem" -out "$scratch/cert.pem" -days 2 \
    -subj "/CN=Orvane test signer" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$scratch/other.pem" 2>/dev/null
export ORVANE_SIGN_CAFILE="$scratch/cert.pem"

cp "$exe" "$scratch/wrong-key.exe"
if "$root/scripts/sign-installer.sh" "$scratch/wrong-key.exe" "$scratch/cert.pem" "$scratch/other.pem" 2>/dev/null; then
    fail "signing with a key that is not the certificate's succeeded"
fi
cmp -s "$exe" "$scratch/wrong-key.exe" || fail "a refused signing changed the file"
[ -z "$(find "$scratch" -name '.signing.*')" ] || fail "a refused signing left its temporary file"

cp "$exe" "$scratch/signed.exe"
"$root/scripts/sign-installer.sh" "$scratch/signed.exe" "$scratch/cert.pem" "$scratch/key.pem" >/dev/null ||
    fail "signing failed"
osslsigncode verify -in "$scratch/signed.exe" -CAfile "$scratch/cert.pem" >/dev/null 2>&1 ||
    fail "the signed installer does not verify"

# One byte of the code changed after signing: the signature no longer covers the file.
cp "$scratch/signed.exe" "$scratch/changed.exe"
printf '\x90' | dd of="$scratch/changed.exe" bs=1 seek=4096 conv=notrunc status=none
if osslsigncode verify -in "$scratch/changed.exe" -CAfile "$scratch/cert.pem" >/dev/null 2>&1; then
    fail "a changed byte still verifies"
fi
echo "installer release checks passed"
