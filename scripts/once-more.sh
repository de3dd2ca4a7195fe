# shellcheck shell=bash
# once_more NOTE_FD NAME CMD...: runs CMD, its output passed on when it has
# ended (through files, not a pipe, which wine processes it starts could hold
# open). Now and then a wine64 start ends with exit code 1 having done nothing
# and said nothing; the programs run this way say why whenever they fail, so
# such a start is made once more, with a note on NOTE_FD. Returns CMD's exit
# code. The files go to ONCE_MORE_DIR (else TMPDIR, else /tmp).
once_more() {
  local fd=$1 name=$2 out rc try
  shift 2
  out=$(mktemp "${ONCE_MORE_DIR:-${TMPDIR:-/tmp}}/once-more.XXXXXX")
  for try in 1 2; do
    rc=0
    "$@" >"$out" 2>"$out.err" || rc=$?
    cat "$out"
    cat "$out.err" >&2
    if [ $rc -ne 1 ] || [ -s "$out" ] || [ -s "$out.err" ] || [ $try -eq 2 ]; then
      break
    fi
    echo "note: $name ended with 1 without a word; running it once more" >&"$fd"
  done
  rm -f "$out" "$out.err"
  return $rc
}
