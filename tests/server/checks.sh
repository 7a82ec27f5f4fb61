# The checks the server's shell tests share; source it. Each check prints "ok: WHAT" or
# "FAIL: WHAT ..."; any failure sets status to 1, which the test exits with at its end.

status=0
ok() { echo "ok: $1"; }
fail() { echo "FAIL: $1"; status=1; }
expect() {  # WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then ok "$1"; else fail "$1: expected '$2', got '$3'"; fi
}
# until_equal SECONDS EXPECTED CMD...: waits until CMD prints EXPECTED; prints what it last printed.
until_equal() {
  local limit=$1 want=$2 got="" i
  shift 2
  for ((i = 0; i < limit * 20; i++)); do
    got=$("$@")
    [ "$got" = "$want" ] && break
    sleep 0.05
  done
  echo "$got"
}
# ms_since NANOSECONDS: milliseconds since that $(date +%s%N).
ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
