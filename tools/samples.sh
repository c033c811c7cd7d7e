#!/usr/bin/env bash
# Writes into FOLDER (created if need be; the current folder without an argument) an input file
# for every command of the README's Commands table and the simulated board of "Trying it without
# a board":
#   xol.bin     recovery module: a module directory naming "xolmod", then the module
#   fw.bin      firmware image: a module directory naming "rcipifwi", then the module
#   t.bin       token                      stage.bin  lifecycle token
#   block.bin   OEM IFP block              ifp.bin    IFP emulation record (44 bytes)
#   emmc.xml, ufs.xml   platform configuration files (copies of tests/data/platform_*.xml)
#   scenario.json       one board, whose state is board.json
#   board.json  a board in ROM context with a token in slot 3, an eMMC device (type 2, index 0:
#               card information, 256 blocks of boot media in partition 1) and a UFS device
#               (type 3, index 0: card information)
# Existing files of these names are replaced. The contents are random but for the structures
# the commands read.
set -euo pipefail
tree=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-.}
mkdir -p "$dir"
cd "$dir"

# The bytes of the given values, each a little-endian u32.
le32() {
  local v
  for v in "$@"; do
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((v & 255)) $((v >> 8 & 255)) \
      $((v >> 16 & 255)) $((v >> 24 & 255)))"
  done
}
zeros() { head -c "$1" /dev/zero; }
random() { head -c "$1" /dev/urandom; }
hex() { od -An -v -tx1 | tr -d ' \n'; }

# module NAME SIZE: a module directory of one entry (16-byte header: the entry count at offset 4;
# a 24-byte entry: the name padded with NUL bytes to 12, the module's offset and size), then the
# module, which fills the rest of SIZE bytes.
module() {
  local name=$1 size=$2 head=40
  zeros 4; le32 1; zeros 8
  printf '%s' "$name"; zeros $((12 - ${#name})); le32 "$head" $((size - head)); zeros 4
  random $((size - head))
}

module xolmod $((64 << 10)) >xol.bin
module rcipifwi $((256 << 10)) >fw.bin
random 64 >t.bin
random 64 >stage.bin
random 128 >block.bin
random 44 >ifp.bin
cp "$tree/tests/data/platform_emmc.xml" emmc.xml
cp "$tree/tests/data/platform_ufs.xml" ufs.xml

# eMMC card information, 548 bytes: OCR, CID, CSD, then the extended CSD (512 bytes) with the
# partitioning support and the high-capacity erase group size set.
emmc_card=$({
  printf '\x80\xff\x80\xc0'
  printf '\x15\x01\x00SAMPLE\x10\x01\x02\x03\x04\x2b\xa5'
  random 16
  zeros 160; printf '\x07'; zeros 60; printf '\x01'; zeros 2; printf '\x01'; zeros 287
} | hex)
# UFS card information, 212 bytes: the device descriptor, then the geometry descriptor with a
# capacity of 16777216 sectors in segments of 8192.
ufs_card=$({
  zeros 3; printf '\x01\x00\x01\x7f'; zeros 2; printf '\x34\x12'; zeros 5
  printf '\x01\x01\x00\x03\x00\x08\x00\x00\x01\x0c'; zeros 118
  printf '\x44\x07'; zeros 6; printf '\x01'; zeros 4
  printf '\x00\x00\x20\x00\x01\x08'; zeros 4; printf '\x40'; zeros 6; printf '\x80\x0f'
  zeros 12; printf '\x00\x00\x10\x00'; zeros 20
} | hex)
media=$(random $((256 * 512)) | hex)
token=$(random 32 | hex)

echo '{ "devices": [ { "state": "board.json" } ] }' >scenario.json
cat >board.json <<EOF
{
  "platformId": "0123456789abcdef0123456789abcdef",
  "keepImages": "0",
  "tokens": { "3": "$token" },
  "storage": [
    { "type": "2", "index": "0", "cardInfo": "$emmc_card", "media": { "1": "$media" } },
    { "type": "3", "index": "0", "cardInfo": "$ufs_card" }
  ]
}
EOF
