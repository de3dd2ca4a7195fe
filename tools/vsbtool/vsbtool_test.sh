#!/bin/sh
# Runs vsbtool on built and broken system files.
# usage: vsbtool_test.sh VSBTOOL GROUP WORKDIR   (GROUP: build_info, bad_files, bad_args)
set -u
T=$1
GROUP=$2
W=$3
rm -rf "$W" && mkdir -p "$W" && cd "$W" || exit 1
fails=0

fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

# expect RC OUTFILE CMD...: runs CMD, output to OUTFILE, and checks its exit code.
expect() {
    want=$1 out=$2
    shift 2
    "$@" >"$out" 2>&1
    rc=$?
    [ "$rc" = "$want" ] || { fail "'$*' exited $rc, wanted $want"; cat "$out"; }
}

# has OUTFILE TEXT: the output holds TEXT as a fixed string.
has() { grep -qF -- "$2" "$1" || { fail "$1 lacks '$2'"; cat "$1"; }; }

hex() { od -An -tx1 -v "$@" | tr -s ' \n' '  ' | sed 's/^ //; s/ $//'; }

PALLAVOX=name=Pallavox,type=MAIN,pid=44:01:ff

case $GROUP in
build_info)
    # Two blocks: a data file padded to a packet, and 4 MiB of generated data.
    printf 'abc' >abc.bin
    expect 0 build.out "$T" build two.vsb \
        --block name=Strivane-XL-0001,type=BOOTLDR1,code=0x7e,version=3.09,pid=45:02:03,inquiry=0x12,base=0x123456,offset=0x800,auxbyte=0xa5,auxword=0xdeadbeef,data=abc.bin,pad=16,padbyte=0 \
        --block $PALLAVOX,code=1,version=1.05,base=0x10000,size=4M,pattern=0x5a
    has build.out "two.vsb: 2 blocks, 4194832 bytes"
    [ ! -e two.vsb.tmp ] || fail "two.vsb.tmp left behind"

    # Every header field at its offset, little-endian words, data and padding.
    want="4f 52 4c 4f 20 53 59 53 54 45 4d 20 46 49 4c 45\
 53 74 72 69 76 61 6e 65 2d 58 4c 2d 30 30 30 31\
 42 4f 4f 54 4c 44 52 31 a5 7e 03 09 45 02 03 12\
 56 34 12 00 ef be ad de 00 08 00 00 10 00 00 00"
    [ "$(hex -N64 two.vsb)" = "$want" ] || fail "header bytes: $(hex -N64 two.vsb)"
    [ "$(hex -j64 -N192 two.vsb | tr -d ' 0')" = "" ] || fail "reserved bytes not zero"
    [ "$(hex -j256 -N16 two.vsb)" = "61 62 63 00 00 00 00 00 00 00 00 00 00 00 00 00" ] || fail "data or padding"
    [ "$(hex -j$((272 + 256 + 4194300)) two.vsb)" = "5a 5a 5a 5a" ] || fail "generated data"

    # The same fields come back through the updater's parser.
    expect 0 info.out "$T" info two.vsb
    cat >want.out <<'EOF'
two.vsb: 4194832 bytes
block 1 at 0x00000000:
  device name   : Strivane-XL-0001
  product ID    : 45 02 03 (3 on the wire)
  type          : BOOTLDR1
  block code    : 0x7E
  version       : 3.09
  inquiry param : 0x12
  base address  : 0x00123456
  block offset  : 0x00000800
  block length  : 16 (0x00000010)
  aux byte      : 0xA5
  aux word      : 0xDEADBEEF
  last block    : no
block 2 at 0x00000110:
  device name   : Pallavox
  product ID    : 44 01 FF (2 on the wire)
  type          : MAIN
  block code    : 0x01
  version       : 1.05
  inquiry param : 0x80 (none sent)
  base address  : 0x00010000
  block offset  : 0x00000000
  block length  : 4194304 (0x00400000)
  aux byte      : 0x00
  aux word      : 0x00000000
  last block    : yes
two.vsb: OK, 2 blocks
EOF
    diff want.out info.out || fail "info listing differs"

    # A block list file gives the same file; --packet checks the multiples.
    cat >blocks.txt <<'EOF'
# two blocks
name=Strivane-XL-0001,type=BOOTLDR1,code=0x7e,version=3.09,pid=45:02:03,inquiry=0x12,base=0x123456,offset=0x800,auxbyte=0xa5,auxword=0xdeadbeef,data=abc.bin,pad=16,padbyte=0

name=Pallavox, type=MAIN, pid=44:01:ff, code=1,version=1.05,base=0x10000,size=4096K,pattern=90
EOF
    expect 0 list.out "$T" build list.vsb --blocks blocks.txt
    cmp -s two.vsb list.vsb || fail "block list build differs from --block build"
    expect 0 packet.out "$T" info --packet 16 two.vsb
    expect 1 packet.out "$T" info --packet 0x100 two.vsb
    has packet.out "Error - Packet size is not correct."

    # A header-only block of length 0 is a whole file; a rebuild replaces it.
    expect 0 empty.out "$T" build empty.vsb --block name=P,pid=1,size=0
    expect 0 empty.out "$T" build empty.vsb --block name=P,pid=1,size=0,version=2.0
    expect 0 info.out "$T" info empty.vsb
    has info.out "  version       : 2.00"
    has info.out "  last block    : yes"
    [ "$(wc -c <empty.vsb)" -eq 256 ] || fail "empty.vsb is not 256 bytes"
    ;;

bad_files)
    expect 0 build.out "$T" build one.vsb --block $PALLAVOX,size=1000
    head -c 255 one.vsb >short.vsb
    expect 1 out "$T" info short.vsb
    has out "Error - Header lengrh is too short."

    expect 0 build.out "$T" build lower.vsb --block $PALLAVOX,size=10,magic="orlo system file"
    expect 1 out "$T" info lower.vsb
    has out "Error - Illegal header string."

    # Data shorter than the header's block length, in the last block.
    expect 0 build.out "$T" build cut.vsb --block $PALLAVOX,size=0x1000 --block $PALLAVOX,size=0x1000,length=0x1001
    expect 1 out "$T" info cut.vsb
    has out "block 2 at 0x00001100:"
    has out "Filesize Error(shorter than header paramter)."

    # Bytes behind the last block: fewer than a header, then a full bad one.
    cp one.vsb trail.vsb && printf 'x' >>trail.vsb
    expect 1 out "$T" info trail.vsb
    has out "  last block    : no"
    has out "Error - Header lengrh is too short."
    cp one.vsb trail2.vsb && head -c 300 one.vsb | tail -c 256 >>trail2.vsb
    expect 1 out "$T" info trail2.vsb
    has out "Error - Illegal header string."

    : >zero.vsb
    expect 1 out "$T" info zero.vsb
    has out "Error - Header lengrh is too short."
    expect 1 out "$T" info missing.vsb
    has out "File Open Error"
    ;;

bad_args)
    expect 0 out "$T" --help
    has out "usage: vsbtool info"
    expect 2 out "$T"
    expect 2 out "$T" frobnicate
    expect 2 out "$T" info
    expect 2 out "$T" info --bogus x.vsb
    expect 2 out "$T" info --packet 0 x.vsb
    expect 2 out "$T" build
    expect 2 out "$T" build o.vsb
    expect 2 out "$T" build o.vsb --frob
    expect 2 out "$T" build o.vsb --block
    expect 2 out "$T" build o.vsb --blocks nolist.txt
    has out "cannot open block list 'nolist.txt'"

    # Each bad definition names its block and the problem.
    for case in \
        "name=12345678901234567,pid=1,size=1|name longer than 16 characters" \
        "name=a,type=123456789,pid=1,size=1|type longer than 8 characters" \
        "name=a,pid=1,size=1,code=256|bad number '256' for code" \
        "name=a,pid=1,size=1,base=0x100000000|bad number '0x100000000' for base" \
        "name=a,pid=1,size=1,offset=12q|bad number '12q' for offset" \
        "name=a,pid=1,size=1,inquiry=-1|bad number '-1' for inquiry" \
        "name=a,pid=1,size=5G|bad number '5G' for size" \
        "name=a,pid=1,size=4096M|bad number '4096M' for size" \
        "name=a,pid=1:2:3:4,size=1|bad product ID '1:2:3:4'" \
        "name=a,pid=1::3,size=1|bad product ID '1::3'" \
        "name=a,pid=123,size=1|bad product ID '123'" \
        "name=a,pid=1,size=1,version=1|bad version '1'" \
        "name=a,pid=1,size=1,version=1.256|bad version '1.256'" \
        "name=a,pid=1,size=1,version=0x1.05|bad version '0x1.05'" \
        "name=a,pid=1,size=1,pattern=zigzag|bad pattern 'zigzag'" \
        "name=a,pid=1,size=1,pad=0|pad must be at least 1" \
        "name=a,pid=1,size=1,colour=red|unknown key 'colour'" \
        "name=a,pid=1,size=1,name=b|name given twice" \
        "name=a,pid=1,size=1,junk|'junk' is not key=value" \
        "pid=1,size=1|name is missing" \
        "name=a,size=1|pid is missing" \
        "name=a,pid=1|give either data=FILE or size=N" \
        "name=a,pid=1,size=1,data=x|give either data=FILE or size=N" \
        "name=a,pid=1,data=x,pattern=count|pattern goes with size=N"; do
        def=${case%%|*}
        msg=${case#*|}
        expect 2 out "$T" build o.vsb --block name=ok,pid=1,size=1 --block "$def"
        has out "vsbtool: block 2: $msg"
    done
    printf 'name=a,pid=1,size=1\nname=b,pid=zz,size=1\n' >badlist.txt
    expect 2 out "$T" build o.vsb --blocks badlist.txt
    has out "(in badlist.txt, line 2)"

    # A build that fails leaves an existing file as it was and no temporary.
    printf 'old' >keep.vsb
    expect 1 out "$T" build keep.vsb --block name=a,pid=1,size=1 --block name=b,pid=1,data=nothere.bin
    has out "cannot open data file 'nothere.bin'"
    [ "$(cat keep.vsb)" = old ] || fail "keep.vsb was changed"
    [ ! -e keep.vsb.tmp ] || fail "keep.vsb.tmp left behind"
    [ ! -e o.vsb ] || fail "o.vsb written by a failed build"
    expect 1 out "$T" build nodir/x.vsb --block name=a,pid=1,size=1
    has out "cannot create 'nodir/x.vsb.tmp'"
    ;;

*)
    echo "unknown group $GROUP"
    exit 1
    ;;
esac

[ "$fails" -eq 0 ] || { echo "$fails failure(s)"; exit 1; }
echo "ok"
