#!/usr/bin/env bash
# Signs a Windows program in place with Authenticode (osslsigncode, SHA-256),
# with the publisher's certificate and key named in the environment:
#   QV_SIGN_CERT, QV_SIGN_KEY  certificate (chain) and private key files, PEM or DER
#   QV_SIGN_PKCS12             or both in one PKCS#12 file
#   QV_SIGN_PASSWORD           password of the key or PKCS#12 file, if it has one
#   QV_SIGN_TIMESTAMP_URL      an RFC 3161 time-stamp server, if one is to be used
#   QV_SIGN_CAFILE             root certificate(s) to verify the signature against
# Without a certificate the program stays unsigned, and the script says so.
# A failure leaves the program as it was.
# Usage: tools/sign-release.sh PROGRAM.exe
set -euo pipefail
exe="${1:?usage: tools/sign-release.sh PROGRAM.exe}"
say() { echo "sign-release: $*"; }
fail() { echo "sign-release: $*" >&2; exit 1; }

[ -f "$exe" ] || fail "$exe does not exist"
if [ -z "${QV_SIGN_CERT:-}${QV_SIGN_PKCS12:-}" ]; then
  say "no certificate given (QV_SIGN_CERT and QV_SIGN_KEY, or QV_SIGN_PKCS12): $(basename "$exe") stays unsigned"
  exit 0
fi
command -v osslsigncode >/dev/null || fail "osslsigncode is missing (Debian package osslsigncode)"

identity=()
if [ -n "${QV_SIGN_PKCS12:-}" ]; then
  [ -r "$QV_SIGN_PKCS12" ] || fail "cannot read QV_SIGN_PKCS12 file $QV_SIGN_PKCS12"
  identity=(-pkcs12 "$QV_SIGN_PKCS12")
else
  [ -r "$QV_SIGN_CERT" ] || fail "cannot read QV_SIGN_CERT file $QV_SIGN_CERT"
  [ -r "${QV_SIGN_KEY:-}" ] || fail "QV_SIGN_KEY must name the private key of QV_SIGN_CERT"
  identity=(-certs "$QV_SIGN_CERT" -key "$QV_SIGN_KEY")
fi

work="$(mktemp -d)"
signed="$exe.signed-part"
trap 'rm -rf "$work" "$signed"' EXIT
# The password goes through a private file, never the command line.
if [ -n "${QV_SIGN_PASSWORD:-}" ]; then
  (umask 077; printf '%s' "$QV_SIGN_PASSWORD" > "$work/password")
  identity+=(-readpass "$work/password")
fi
timestamp=()
if [ -n "${QV_SIGN_TIMESTAMP_URL:-}" ]; then
  timestamp=(-ts "$QV_SIGN_TIMESTAMP_URL")
fi

if ! osslsigncode sign "${identity[@]}" -h sha256 -n "quenvar OS USB Writer" \
     "${timestamp[@]}" -in "$exe" -out "$signed" > "$work/sign.log" 2>&1; then
  cat "$work/sign.log" >&2
  if [ ${#timestamp[@]} -gt 0 ]; then
    fail "signing failed (was the time-stamp server $QV_SIGN_TIMESTAMP_URL reachable?); $(basename "$exe") is unchanged"
  fi
  fail "signing failed; $(basename "$exe") is unchanged"
fi
if [ -n "${QV_SIGN_CAFILE:-}" ]; then
  osslsigncode verify -CAfile "$QV_SIGN_CAFILE" -in "$signed" > "$work/verify.log" 2>&1 ||
    { cat "$work/verify.log" >&2; fail "the new signature does not verify against $QV_SIGN_CAFILE; $(basename "$exe") is unchanged"; }
fi
mv "$signed" "$exe"
if [ ${#timestamp[@]} -gt 0 ]; then
  say "signed $(basename "$exe"), time-stamped by $QV_SIGN_TIMESTAMP_URL"
else
  say "signed $(basename "$exe") without a time stamp: the signature expires with the certificate"
fi
