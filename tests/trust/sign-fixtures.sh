#!/usr/bin/env bash
# Keys and signatures for the signature tests, made with the real minisign when the tests run
# (the Windows tests under wine use them too: minisign is a Linux program). Nothing of this is
# kept in the repository; the secret keys live in the build folder only.
# Usage: sign-fixtures.sh OUT_DIR
#   OUT_DIR/trusted-keys/release.pub   the trusted key (a folder as QOR reads it)
#   OUT_DIR/other.pub                  a key nobody trusts
#   OUT_DIR/key-id                     the trusted key's id, as minisign names it
#   OUT_DIR/x.QOR, fw.bin              a script and its image, each with NAME.minisig by the
#                                      trusted key (trusted comment "QOR test signature"),
#                                      NAME.other by the other key and NAME.legacy by the
#                                      trusted key in the legacy format (-l)
set -euo pipefail
out=$1
command -v minisign >/dev/null || { echo "minisign is missing: run scripts/install-deps" >&2; exit 1; }
rm -rf "$out"
mkdir -p "$out/trusted-keys" "$out/secret"
cd "$out"
minisign -G -W -p trusted-keys/release.pub -s secret/release.key >/dev/null
minisign -G -W -p other.pub -s secret/other.key >/dev/null
sed -n 's/^untrusted comment: minisign public key //p' trusted-keys/release.pub >key-id
printf '%s\n' '*product 0x1234 0x0001 "Signed Board"' '*script 0x1234 0x0001 "Signed update"' \
  '*section "Signed"' '*download 0x1000 0x20 fw.bin' 'S30900001010CAFEBABE96' '*restart' >x.QOR
printf '\001\002\003\004\005\006\007\010' >fw.bin
minisign -S -q -s secret/release.key -t "QOR test signature" -m x.QOR fw.bin
for file in x.QOR fw.bin; do
  minisign -S -q -s secret/other.key -m "$file" -x "$file.other"
  minisign -S -q -l -s secret/release.key -m "$file" -x "$file.legacy"
done
