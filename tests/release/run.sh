#!/usr/bin/env bash
# The release as a user gets it: unpacks the zip, checks its sums, packs an
# updater with its brisklink-pack and runs it against its brisklink-emu, on
# Linux natively and on Windows (brisklink-pack.exe and the packed updater)
# under Wine. With CERTDIR (cert.pem and test.p12, its password in
# BRISKLINK_SIGN_PASSWORD), the release's Windows executables must carry that
# signature, and the Windows updater is signed after packing and run signed.
#   bash tests/release/run.sh dist/brisklink-VERSION.zip [CERTDIR]
set -euo pipefail
zip=$(realpath "${1:?usage: tests/release/run.sh ZIP [CERTDIR]}")
certs=${2:+$(realpath "$2")}
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
emulator=
trap 'kill "$emulator" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
cmake -E tar xf "$zip"
release=$(find . -maxdepth 1 -type d -name 'brisklink-*' | head -n 1)
[ -n "$release" ] || { echo "release test: nothing unpacked from $zip" >&2; exit 1; }
(cd "$release" && sha256sum --quiet -c SHA256SUMS)
for f in windows/IAP.exe windows/brisklink-pack.exe linux/IAP linux/brisklink-pack \
  QUICKSTART.txt docs/usage.md library/windows/brisklink-isp.dll library/linux/libbrisklink-isp.so \
  library/include/brisklink/isp.h library/include/brisklink/brisklink.h; do
  [ -e "$release/$f" ] || { echo "release test: $f is missing" >&2; exit 1; }
done

die() {
  echo "release test: $*" >&2
  exit 1
}

# Signs the packed UPDATER in place and checks what show and osslsigncode
# say of it, of a copy changed after signing and of a trailer appended to the
# signed file.
check_signing() {
  local pack=$release/linux/brisklink-pack
  for exe in "$release"/windows/*.exe; do
    osslsigncode verify -CAfile "$certs/cert.pem" "$exe" >/dev/null || die "$exe is not signed"
  done
  grep -q "is signed; packing breaks a signature" pack.out || die "no warning for a signed input"
  "$pack" sign "$1" signed.exe --pkcs12 "$certs/test.p12" --password-env BRISKLINK_SIGN_PASSWORD
  mv signed.exe "$1"
  osslsigncode verify -CAfile "$certs/cert.pem" "$1" >/dev/null || die "the signed updater does not verify"
  "$pack" show "$1" | grep -q '^Signature: *Authenticode, intact' || die "show: signature not intact"
  "$pack" show --check --ca "$certs/cert.pem" "$1" | grep -q '^Signer: *chains to the CA given' ||
    die "show --ca: the signer does not chain to its CA"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 1 \
    -subj "/CN=Another CA" 2>/dev/null
  ! "$pack" show --check --ca other.pem "$1" >/dev/null 2>&1 || die "show --ca takes another CA"
  : >none.pem
  ! "$pack" show --check --ca none.pem "$1" 2>&1 | grep -q "^Signer: .*holds no certificate" ||
    die "show --ca with a file of no certificate"
  # Signed by a certificate that expired in 2021, without a timestamp: the
  # signature verifies, its signer expired; --check fails it, as Windows does.
  mkdir -p ca && : >ca/index.txt && echo 01 >ca/serial
  printf '[ca]\ndefault_ca=d\n[d]\ndatabase=ca/index.txt\nserial=ca/serial\nnew_certs_dir=ca\ndefault_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n' >ca.cnf
  openssl req -new -newkey rsa:2048 -nodes -keyout old.key -out old.csr -subj "/CN=Old" 2>/dev/null
  openssl ca -batch -config ca.cnf -selfsign -keyfile old.key -in old.csr -out old.pem \
    -startdate 20200101000000Z -enddate 20210101000000Z >/dev/null 2>&1
  openssl pkcs12 -export -inkey old.key -in old.pem -out old.p12 -passout pass:old
  osslsigncode remove-signature -in "$1" -out unsigned.exe >/dev/null
  osslsigncode sign -pkcs12 old.p12 -pass old -h sha256 -in unsigned.exe -out expired.exe >/dev/null
  "$pack" show --json expired.exe | tr -d ' \n' |
    grep -q '"signature":"signer-expired","signerExpired":"2021-01-01"' || die "show: an expired signer"
  ! "$pack" show --check expired.exe >/dev/null 2>&1 || die "show --check takes an expired signer"
  # A code byte changed and the new digest written into the signed content,
  # which needs no key: only the signature tells.
  python3 "$root/tests/release/forge.py" "$1" forged.exe
  "$pack" show --json forged.exe | grep -q '"signature": "signature-invalid"' ||
    die "show: a forged signature is not reported"
  ! "$pack" show --check forged.exe >/dev/null 2>&1 || die "show --check takes a forged signature"
  cp "$1" changed.exe
  # One byte of the trailer's image, inverted.
  local at=$(($(stat -c %s changed.exe) - 4000)) byte
  byte=$(od -An -tu1 -j "$at" -N1 changed.exe | tr -d ' ')
  printf "\\$(printf '%03o' $((255 - byte)))" | dd of=changed.exe bs=1 seek="$at" conv=notrunc 2>/dev/null
  ! osslsigncode verify -CAfile "$certs/cert.pem" changed.exe >/dev/null 2>&1 || die "a changed file verifies"
  ! "$pack" show --check changed.exe >/dev/null 2>&1 || die "show --check takes a changed file"
  : >empty
  "$pack" build --updater empty --internal firmware.bin --version 2.1.1 "${ids[@]}" -o trailer.bin
  cat "$1" trailer.bin >appended.exe
  "$pack" show --json appended.exe | grep -q '"signature": "trailer-after-signature"' ||
    die "show: a trailer appended after signing is not reported"
  echo "release test: signing, verification and the broken signatures as expected"
}

# The quick start's Linux commands, as written, from a copy of the release's
# folder (the Windows and signing lines need cmd and a certificate).
quickstart() {
  local copy=$work/quickstart
  cp -r "$release" "$copy"
  awk '/^  [^ ]/ { sub(/^  /, ""); print }' "$copy/QUICKSTART.txt" |
    grep -v -e '^windows\\' -e '^SIGN_PASSWORD' -e '^Brisklink-Update-2.1.0.exe' >"$work/quickstart.sh"
  if ! (cd "$copy" && bash -e "$work/quickstart.sh") >"$work/quickstart.out" 2>&1 ||
    ! grep -q '^Operation Success\.$' "$work/quickstart.out"; then
    echo "release test: the quick start's commands failed as written:" >&2
    cat "$work/quickstart.sh" "$work/quickstart.out" >&2
    exit 1
  fi
  echo "release test: the quick start's $(wc -l <"$work/quickstart.sh") Linux commands ran as written"
  # Its cmd lines, from a batch file (a command line handed through Wine's
  # argv would be quoted again), in Wine's cmd.
  command -v wine >/dev/null || return 0
  { grep '^  windows\\' "$copy/QUICKSTART.txt" | sed 's/^  //; s/$/\nif errorlevel 1 exit 1/'; echo "exit 0"; } |
    sed 's/$/\r/' >"$copy/quickstart.bat"
  if ! (cd "$copy" && WINEDEBUG=-all wine cmd /c quickstart.bat) >"$work/quickstart-cmd.out" 2>&1 ||
    [ ! -s "$copy/Brisklink-Update-2.1.0.exe" ]; then
    echo "release test: the quick start's cmd lines failed under Wine:" >&2
    cat "$copy/quickstart.bat" "$work/quickstart-cmd.out" >&2
    exit 1
  fi
  echo "release test: the quick start's cmd lines ran as written under Wine"
}
quickstart

key=00112233445566778899AABBCCDDEEFF
ids=(--ap 3F27:1004:01 --iap 3F27:1005:00)
head -c 20000 /dev/urandom >firmware.bin
source "$root/scripts/emulator.sh"
fail=0
expect_update() { # LABEL OUTPUT-FILE EXIT-CODE
  if [ "$3" -ne 0 ] || ! tr -d '\r' <"$2" | grep -q '^Operation Success\.$'; then
    echo "release test: $1 did not update the emulated adapter (exit $3):" >&2
    cat "$2" >&2
    fail=1
  else
    echo "release test: $1 updated the emulated adapter"
  fi
}

start_emulator "$release/linux" linux-emu.log --command-key "$key" "${ids[@]}"
"$release/linux/brisklink-pack" build --updater "$release/linux/IAP-emu" \
  --internal firmware.bin --version 2.1.0 "${ids[@]}" --command-key "$key" --digest auto \
  -o linux-updater
"$release/linux/brisklink-pack" show --check linux-updater >/dev/null
set +e
./linux-updater /p >linux.out 2>&1
code=$?
set -e
expect_update "the Linux updater" linux.out "$code"
kill "$emulator"
wait "$emulator" 2>/dev/null || true

if command -v wine >/dev/null; then
  export WINEDEBUG=-all
  start_emulator "$release/linux" windows-emu.log --command-key "$key" "${ids[@]}"
  wine "$release/windows/brisklink-pack.exe" build --updater "$release/windows/IAP-emu.exe" \
    --internal firmware.bin --version 2.1.0 "${ids[@]}" --command-key "$key" --digest auto \
    -o windows-updater.exe >pack.out 2>&1 || { cat pack.out >&2; exit 1; }
  wine "$release/windows/brisklink-pack.exe" show --check windows-updater.exe >/dev/null
  [ -z "$certs" ] || check_signing windows-updater.exe
  set +e
  wine windows-updater.exe /p >windows.out 2>&1
  code=$?
  set -e
  expect_update "the Windows updater under Wine" windows.out "$code"
fi
exit $fail
