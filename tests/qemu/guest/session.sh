#!/bin/sh
# The end-to-end session in the guest, once at high speed and once at full speed: the simulated
# board runs as a FunctionFS gadget on dummy_hcd, and the installed xolcli, the installed library
# and Debian's libusb talk to it through usbfs. Every check prints one PASS or FAIL line; the last
# line says the result.
D=/xol/data
XML=/xol/platform_emmc.xml
G=/sys/kernel/config/usb_gadget/xol
UDC_NAME=dummy_udc.0
CLI=/opt/xol/bin/xolcli
BANNER="CLI version: 3.0.0.1119(DBG)"
. $D/expect.sh

checks=0
failed=0
pass() { checks=$((checks + 1)); echo "PASS: $SPEED: $*"; }
fail() { checks=$((checks + 1)); failed=$((failed + 1)); echo "FAIL: $SPEED: $*"; }
check() { # condition-as-exit-status text...
  if [ "$1" = 0 ]; then shift; pass "$@"; else shift; fail "$@"; fi
}
now() { cut -d' ' -f1 /proc/uptime; }
elapsed() { awk "BEGIN { printf \"%.1f\", $(now) - $1 }"; }
# Waits up to $2 tenths of a second for file $1.
wait_file() {
  i=0
  while [ ! -e "$1" ] && [ $i -lt "$2" ]; do sleep 0.1; i=$((i + 1)); done
  [ -e "$1" ]
}

# ------------------------------------------------------------------ the gadget

# make_gadget [GADGET NAME SERIAL]: a gadget whose FunctionFS instance NAME is mounted on
# /dev/ffs-NAME.
make_gadget() {
  g=${1:-$G} name=${2:-xol}
  mkdir $g
  echo 0x7a3c > $g/idVendor
  echo 0x0200 > $g/bcdUSB
  mkdir $g/strings/0x409
  echo "XoL simulated board" > $g/strings/0x409/product
  echo "${3:-XOL-VM-0001}" > $g/strings/0x409/serialnumber
  mkdir $g/functions/ffs.$name $g/configs/c.1
  echo 100 > $g/configs/c.1/MaxPower
  ln -s $g/functions/ffs.$name $g/configs/c.1/
  mkdir -p /dev/ffs-$name
  mount -t functionfs $name /dev/ffs-$name
}
bind() { echo ${1:-$UDC_NAME} > ${2:-$G}/UDC; }
unbind() { echo "" > ${1:-$G}/UDC; }
# $1 boards (default 1) are on the bus with their configuration set, and udev has seen them.
wait_board() {
  i=0
  while [ $i -lt 100 ]; do
    n=0
    for d in /sys/bus/usb/devices/*; do
      if [ "$(cat $d/idVendor 2>/dev/null)" = 7a3c ] &&
         [ -n "$(cat $d/bConfigurationValue 2>/dev/null)" ]; then
        n=$((n + 1))
      fi
    done
    if [ $n -ge "${1:-1}" ]; then
      udevadm settle -t 5
      return 0
    fi
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# start_gadget [FFS BOARD LOG]: the gadget program of one board, as GADGET.
start_gadget() {
  rm -f /tmp/gadget.ready
  xol_gadget serve --ffs ${1:-/dev/ffs-xol} --board ${2:-$D/board.json} --export /tmp/export \
    --ready /tmp/gadget.ready --held /tmp/held 2>>${3:-/tmp/gadget.$SPEED.log} &
  GADGET=$!
  wait_file /tmp/gadget.ready 600
  check $? "gadget program ready"
}
stop_gadget() {
  kill $GADGET
  wait $GADGET
}
# What the host left on the board, as shell variables and files in /tmp/export.
export_board() {
  rm -rf /tmp/export
  mkdir /tmp/export
  kill -USR1 $GADGET
  if wait_file /tmp/export/done 300; then
    . /tmp/export/summary.sh
  else
    fail "board export"
  fi
}
# The installed udev rule has tagged the board of product id $1 for the seat's user.
uaccess_tagged() {
  for d in /sys/bus/usb/devices/*; do
    [ "$(cat $d/idProduct 2>/dev/null)" = "${1#0x}" ] || continue
    udevadm info -q property -p $d | grep -q '^TAGS=.*:uaccess:' && return 0
  done
  return 1
}
same() { # expected actual text
  cmp -s "$1" "$2"
  check $? "$3"
}

# ------------------------------------------------------------------ xolcli

# cli NAME ARGS...: runs xolcli in its own folder /tmp/run/SPEED/NAME (out, err, rc, debug.log).
cli() {
  W=/tmp/run/$SPEED/$1
  shift
  mkdir -p $W
  t0=$(now)
  (cd $W && timeout 60 $CLI "$@" > out 2> err; echo $? > rc)
  RC=$(cat $W/rc)
  TOOK=$(elapsed $t0)
}
show_run() {
  echo "---- xolcli $* (exit $RC, $TOOK s)"
  echo "-- stdout"; cat $W/out
  echo "-- stderr"; cat $W/err
  echo "-- debug.log (end)"; tail -n 30 $W/debug.log 2>/dev/null
  echo "-- gadget log (end)"; tail -n 10 /tmp/gadget.$SPEED.log
}
# ok NAME ARGS... with the expected standard output on stdin (a file or here-document: a pipe
# would run the check in a subshell and lose its count): exit 0, that output, no stderr.
ok() {
  name=$1
  shift
  cat > /tmp/expected
  cli $name "$@"
  if [ "$RC" = 0 ] && cmp -s /tmp/expected $W/out && [ ! -s $W/err ]; then
    pass "xolcli $name ($TOOK s)"
  else
    fail "xolcli $name"
    echo "-- expected stdout"; cat /tmp/expected
    show_run "$@"
  fi
}
# failing NAME "first lines of stderr" ARGS...: exit 1, the failure lines on stderr.
failing() {
  name=$1 lines=$2
  shift 2
  cli $name "$@"
  printf '%s\n' "$lines" > /tmp/expected
  head -n $(wc -l < /tmp/expected) $W/err > /tmp/actual
  if [ "$RC" = 1 ] && cmp -s /tmp/expected /tmp/actual; then
    pass "xolcli $name fails cleanly ($TOOK s): $(tail -n 1 $W/err)"
  else
    fail "xolcli $name"
    echo "-- expected stderr to begin with"; cat /tmp/expected
    show_run "$@"
  fi
}

# step NAME: runs the session's step NAME as the host wrote it from the transcript the
# end-to-end suite checks too: its arguments (steps/NAME.args), its standard output after the
# banner (NAME.out) and, for a step that fails, the beginning of its standard error (NAME.err).
step() {
  s=$D/steps/$1
  if [ -e $s.err ]; then
    failing $1 "$(cat $s.err)" $(cat $s.args)
  else
    { echo "$BANNER"; cat $s.out; } > /tmp/want
    ok $1 $(cat $s.args) < /tmp/want
  fi
}

# The realistic session: a board in ROM context brought up, provisioned and read back.
session() {
  step enumerate
  step iddevice
  step fwrec
  step downloadfwos
  step getcardinfo
  same $D/cardinfo.2.0.bin $W/cardinfo.bin "card information file equals the board's"
  step configpart
  step readbootmedia
  dd if=$D/media.2.0.1.bin of=/tmp/expected.bin bs=$EMMC_BLOCK skip=3 count=300 2>/dev/null
  same /tmp/expected.bin $W/media.bin "eMMC boot media read equals blocks 3..302 of partition 1"
  step readbootmedia-spi
  dd if=$D/media.1.0.0.bin of=/tmp/expected.bin bs=$SPI_BLOCK skip=1 count=5 2>/dev/null
  same /tmp/expected.bin $W/media.bin "SPI flash read equals its blocks 1..5"
  step writetoken
  step readtoken
  same $D/token.bin $W/token.bin "token read back equals the token written"

  export_board
  same $D/recovery.bin /tmp/export/recovery.bin "recovery module arrived whole"
  [ "$recovery_header_size $recovery_module_size" = "$RECOVERY_HEADER_SIZE $RECOVERY_MODULE_SIZE" ]
  check $? "recovery module sizes announced: header $recovery_header_size, module $recovery_module_size"
  same $D/firmware.bin /tmp/export/firmware.bin "firmware image arrived whole"
  [ "$fw_header_size $fw_module_size $fw_flags" = "$FW_HEADER_SIZE $FW_MODULE_SIZE 5" ]
  check $? "firmware sizes and flags announced: header $fw_header_size, module $fw_module_size, flags $fw_flags"
  same $D/token.bin /tmp/export/token.3.bin "token arrived whole in slot 3"
  [ "${config_2_0:-0}" -gt 0 ]
  check $? "eMMC configuration request arrived (${config_2_0:-no} bytes)"

  step erasetoken
  step readtoken-erased
  step clearrpmb
}

# The board leaves in the middle of a boot-media read: the gadget holds a chunk back, so the
# host sits in its read when the gadget is unbound.
unplug_during_read() {
  rm -f /tmp/held
  kill -USR2 $GADGET
  W=/tmp/run/$SPEED/unplug
  mkdir -p $W
  (cd $W && timeout 60 $CLI --command readbootmedia --device 2 --idx 0 --part 0 --start 0 \
    --blocks 2048 --path media.bin > out 2> err; echo $? > rc) &
  reader=$!
  if ! wait_file /tmp/held 600; then
    fail "unplug: the read never reached the held chunk"
    RC=none TOOK=-
    show_run readbootmedia
    return
  fi
  t0=$(now)
  unbind
  if wait_file $W/rc 300; then
    RC=$(cat $W/rc) TOOK=$(elapsed $t0)
    head -n 1 $W/err > /tmp/actual
    echo "READ BOOT MEDIA procedure failed" > /tmp/expected
    if [ "$RC" = 1 ] && cmp -s /tmp/expected /tmp/actual; then
      pass "unplug during readbootmedia: exit 1 $TOOK s after the unplug: $(sed -n '2p' $W/err), $(sed -n '3p' $W/err)"
    else
      fail "unplug during readbootmedia"
      show_run readbootmedia
    fi
  else
    fail "unplug during readbootmedia: xolcli still runs 30 s after the unplug"
    RC=none TOOK=-
    show_run readbootmedia
  fi
  wait $reader
}

# ------------------------------------------------------------------ one round per speed

round() {
  SPEED=$1
  round_t0=$(now)
  if [ $SPEED = full ]; then insmod /lib/modules/dummy_hcd.ko is_high_speed=0
  else insmod /lib/modules/dummy_hcd.ko; fi
  check $? "dummy_hcd loaded"
  echo $2 > $G/idProduct
  start_gadget

  usb_probe $G/UDC $UDC_NAME 0
  check $? "raw libusb exchange with the board (product id $2)"
  if grep -q 'xol.only=probe' /proc/cmdline; then
    stop_gadget
    rmmod dummy_hcd
    return
  fi

  (cd /tmp && timeout 120 /opt/xol/bin/hotplug_check $G/UDC $UDC_NAME $PLATFORM_ID)
  check $? "arrival, departure and re-arrival within one library run"
  if wait_board; then pass "board on the bus"; else fail "board on the bus"; fi
  uaccess_tagged $2
  check $? "udev tagged the board (product id $2) for access without root"

  session
  unplug_during_read

  bind
  if wait_board; then pass "board back on the bus"; else fail "board back on the bus"; fi
  step iddevice-replugged
  step enumerate-replugged

  export_board
  [ "$host_errors" = 0 ]
  check $? "the board refused no host message"
  [ -s /tmp/export/host_errors.txt ] && cat /tmp/export/host_errors.txt
  if [ $SPEED = full ]; then pads=$commands; else pads=0; fi
  [ "$ignored_bytes" = "$pads" ]
  check $? "pad bytes: $ignored_bytes behind $commands initial commands"
  [ "$tokens" = "" ] && [ "$rpmb_2_0" = 1 ] && [ "$context" = 1 ]
  check $? "erased token gone, RPMB cleared, board in XoL context"
  [ "$last_read_2_0" = "0 0 2048" ]
  check $? "the interrupted read was the one asked ($last_read_2_0)"

  unbind
  stop_gadget
  rmmod dummy_hcd
  echo "TIME: $SPEED-speed round $(elapsed $round_t0) s"
}

# ------------------------------------------------------------------ two boards, two processes

# board_commands GADGET: how many host commands that board has received, as BOARD_COMMANDS.
board_commands() {
  GADGET=$1
  export_board
  BOARD_COMMANDS=$commands
}

# A first xolcli identifies both boards and sits in a read of board A; a second xolcli started
# meanwhile finds every board taken, fails at once and sends nothing to either board; the first
# one's read then ends whole, and once it has ended the boards are free again.
two_processes() {
  SPEED=two-boards
  insmod /lib/modules/dummy_hcd.ko num=2
  check $? "dummy_hcd loaded with two controllers"
  G2=/sys/kernel/config/usb_gadget/xol2
  [ -d $G2 ] || make_gadget $G2 xol2 XOL-VM-0002
  echo 0x3c11 > $G/idProduct
  echo 0x3c13 > $G2/idProduct
  B_ID=b0b3b6b9bcbfc2c5c8cbced1d4d7dadd
  sed "s/$PLATFORM_ID/$B_ID/" $D/board.json > /tmp/board-b.json
  start_gadget /dev/ffs-xol $D/board.json
  GADGET_A=$GADGET
  start_gadget /dev/ffs-xol2 /tmp/board-b.json /tmp/gadget.$SPEED-b.log
  GADGET_B=$GADGET
  bind dummy_udc.0 $G
  bind dummy_udc.1 $G2
  if wait_board 2; then pass "two boards on the bus"; else fail "two boards on the bus"; fi
  uaccess_tagged 0x3c13
  check $? "udev tagged the second board (product id 0x3c13) for access without root"

  rm -f /tmp/held
  kill -USR2 $GADGET_A
  W1=/tmp/run/$SPEED/first
  mkdir -p $W1
  (cd $W1 && timeout 120 $CLI --command readbootmedia --sn $PLATFORM_ID --fw_xol $D/recovery.bin \
    --usb-rw-delay 60000 --device 2 --idx 0 --part 0 --start 0 --blocks 2048 --path media.bin \
    > out 2> err; echo $? > rc) &
  first=$!
  if ! wait_file /tmp/held 900; then
    fail "the first xolcli never reached the held chunk of board A"
    W=$W1 RC=none TOOK=-
    show_run readbootmedia
    kill -HUP $GADGET_A
    wait $first
    return
  fi
  board_commands $GADGET_A; a_before=$BOARD_COMMANDS
  board_commands $GADGET_B; b_before=$BOARD_COMMANDS

  # Every board is claimed by the first process: the second one's identification pass fails,
  # so it lists none, an identifier is not found, and the first connection is busy.
  step second-enumerate
  for board in $PLATFORM_ID $B_ID; do
    failing second-iddevice-$board "ID DEVICE procedure failed
Error code: 0x30003
Error message: Device not found" --command iddevice --sn $board
  done
  failing second-iddevice-first "ID DEVICE procedure failed
Error code: 0xfffffffffffffffa
Error message: LIBUSB_ERROR_BUSY" --command iddevice

  board_commands $GADGET_A
  [ "$BOARD_COMMANDS" = "$a_before" ]
  check $? "the second xolcli sent nothing to board A ($a_before, then $BOARD_COMMANDS commands)"
  board_commands $GADGET_B
  [ "$BOARD_COMMANDS" = "$b_before" ]
  check $? "the second xolcli sent nothing to board B ($b_before, then $BOARD_COMMANDS commands)"
  [ ! -e $W1/rc ]
  check $? "the first xolcli still sits in its read"

  kill -HUP $GADGET_A
  if wait_file $W1/rc 900; then
    W=$W1 RC=$(cat $W1/rc) TOOK=-
    [ "$RC" = 0 ] && [ ! -s $W1/err ]
    check $? "the first xolcli's read ends with success after the release"
    [ "$RC" = 0 ] || show_run readbootmedia
    same $D/media.2.0.0.bin $W1/media.bin "the first xolcli read partition 0 of board A whole"
  else
    fail "the first xolcli still runs after the release"
  fi
  wait $first

  # Its claims end with the first process.
  cli enumerate-after --command enumerate
  if [ "$RC" = 0 ] && grep -q "^[12]\. Device serial: \[$PLATFORM_ID\]$" $W/out &&
     grep -q "^[12]\. Device serial: \[$B_ID\]$" $W/out; then
    pass "xolcli enumerate lists both boards once the first xolcli has ended"
  else
    fail "xolcli enumerate after the first xolcli"
    show_run enumerate
  fi

  unbind $G
  unbind $G2
  kill $GADGET_A $GADGET_B
  wait $GADGET_A $GADGET_B
  rmmod dummy_hcd
}

grep -q 'xol.only=probe' /proc/cmdline || [ -x $CLI ] || fail "xolcli is not installed"
make_gadget
round high 0x3c11
round full 0x3c17
grep -q 'xol.only=probe' /proc/cmdline || two_processes
if [ $failed = 0 ]; then
  echo "XOL-VM RESULT: PASS ($checks checks)"
else
  echo "XOL-VM RESULT: FAIL ($failed of $checks checks failed)"
  for s in high full two-boards two-boards-b; do
    echo "---- gadget log, $s"
    tail -n 40 /tmp/gadget.$s.log
  done
  echo "---- kernel messages"
  dmesg | tail -n 30
fi
