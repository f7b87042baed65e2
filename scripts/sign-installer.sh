#!/usr/bin/env bash
# Signs the installer in place with an Authenticode signature (SHA-256), so that Windows names the
# signer instead of warning about an unknown program, then verifies it before the file is replaced.
#
# Usage: scripts/sign-installer.sh EXE CERT KEY [TIMESTAMP_URL]
#   CERT  the code-signing certificate (PEM or DER), with its chain if the CA's intermediates are needed
#   KEY   its private key (PEM or DER); ORVANE_SIGN_PASS_FILE names a file holding its password
#   TIMESTAMP_URL  an RFC 3161 time-stamp authority: the signature then stays valid after CERT expires
# ORVANE_SIGN_CAFILE: the trusted roots the verification uses (default: the system's bundle; a test
# with a self-made certificate names the certificate itself).
# The original is untouched unless signing and verification both succeed. Exit status 0 on success.
set -euo pipefail

if [ $# -lt 3 ] || [ $# -gt 4 ]; then
    echo "usage: $0 EXE CERT KEY [TIMESTAMP_URL]" >&2
    exit 64
fi
exe=$1 cert=$2 key=$3 tsa=${4:-}
for f in "$exe" "$cert" "$key"; do
    [ -r "$f" ] || { echo "sign-installer: cannot read $f" >&2; exit 66; }
done
command -v osslsigncode >/dev/null || { echo "sign-installer: osslsigncode is not installed" >&2; exit 69; }

signed=$(mktemp "$(dirname "$exe")/.signing.XXXXXX")
trap 'rm -f "$signed"' EXIT

args=(sign -certs "$cert" -key "$key" -h sha256 -n "Orvane installer" -in "$exe" -out "$signed")
[ -n "${ORVANE_SIGN_PASS_FILE:-}" ] && args+=(-readpass "$ORVANE_SIGN_PASS_FILE")
[ -n "$tsa" ] && args+=(-ts "$tsa")
# osslsigncode refuses to overwrite its output file.
rm -f "$signed"
if ! osslsigncode "${args[@]}" >/dev/null; then
    echo "sign-installer: signing $exe failed" >&2
    exit 1
fi

check=(verify -in "$signed")
if [ -n "${ORVANE_SIGN_CAFILE:-}" ]; then
    check+=(-CAfile "$ORVANE_SIGN_CAFILE")
    [ -n "$tsa" ] && check+=(-TSA-CAfile "$ORVANE_SIGN_CAFILE")
fi
if ! report=$(osslsigncode "${check[@]}" 2>&1); then
    printf '%s\n' "$report" >&2
    echo "sign-installer: the signed file does not verify; $exe is unchanged" >&2
    exit 1
fi
chmod --reference="$exe" "$signed"
mv -f "$signed" "$exe"
trap - EXIT
echo "sign-installer: signed $exe"
