#!/usr/bin/env bash
# Signs the release twice with a throwaway certificate, then checks that osslsigncode accepts the
# signature against that certificate, that both releases are the same bytes, and that the signed
# k410prog.exe still runs the end-to-end case Download.TypicalRun under Wine.
#   signed-release.sh WORK WINDOWS_BUILD NATIVE_BUILD
# WINDOWS_BUILD lends its Wine prefix and stand-in BSL.EXE (scripts/test-windows made them),
# NATIVE_BUILD the end-to-end suite.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(realpath -m "${1:?usage: signed-release.sh WORK WINDOWS_BUILD NATIVE_BUILD}")
windows=$(realpath "${2:?}")
native=$(realpath "${3:?}")
rm -rf "$work" && mkdir -p "$work"

echo k410test >"$work/password"
openssl req -x509 -newkey rsa:2048 -sha256 -days 30 -nodes -subj "/CN=k410prog test signer" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" -out "$work/signer.pfx" \
    -passout "file:$work/password"
for run in 1 2; do
    K410_SIGN_PFX=$work/signer.pfx K410_SIGN_PASSWORD_FILE=$work/password \
        "$root/scripts/release" "$work/release$run"
done
cmp "$work/release1/SHA256SUMS" "$work/release2/SHA256SUMS"

unzip -q -j "$work"/release1/k410prog-*-win32.zip '*/k410prog.exe' -d "$work"
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/k410prog.exe" | grep -E 'Signer|Signing time|Succeeded'
WINEDEBUG=-all "$root/tests/windows/e2e-under-wine.sh" "$native/tests/wizard/wizard_run_tests" \
    wine "$work/k410prog.exe" "$windows/bsl/BSL.EXE" "$windows/wineprefix" \
    --gtest_filter=Download.TypicalRun
