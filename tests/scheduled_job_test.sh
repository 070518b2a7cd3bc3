#!/bin/sh
# snapagent-scheduled, as systemd and cron run it, over a stand-in for
# snapagent that records its arguments: each run gets a job id above the
# last job that backed up every share (exit 0), which is its --prev; a
# failed run, or one that left a share out (exit 3), moves no base; share
# paths keep their blanks and are never globbed; missing settings and bad
# names are refused before any job.
set -eu
wrapper=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cat >"$dir/snapagent" <<'FAKE'
#!/bin/sh
echo "$SNAPAGENT_STATE_DIR $*" >>"$FAKE_CALLS"
for arg; do printf '<%s>' "$arg"; done >>"$FAKE_CALLS.args"
echo >>"$FAKE_CALLS.args"
exit "$(cat "$FAKE_STATUS")"
FAKE
chmod +x "$dir/snapagent"
export SNAPCLIENT_SCHEDULE_DIR="$dir" STATE_DIRECTORY="$dir/state" SNAPAGENT="$dir/snapagent" \
	FAKE_CALLS="$dir/calls" FAKE_STATUS="$dir/status"
unset SNAPAGENT_STATE_DIR || true

fail() {
	echo "FAILED: $*" >&2
	cat "$dir/calls" >&2 2>/dev/null || true
	exit 1
}
# run STATUS [NAME]: one run whose snapagent exits STATUS; the wrapper must too.
run() {
	echo "$1" >"$dir/status"
	status=0
	"$wrapper" "${2:-nightly}" 2>"$dir/err" || status=$?
	[ "$status" -eq "$1" ] || fail "exit $status, not $1: $(cat "$dir/err")"
}
call() { sed -n "${1}p" "$dir/calls"; }
job_of() { call "$1" | sed 's/.* --job \([0-9]*\).*/\1/'; }

for name in nightly ../nightly ""; do
	run 2 "$name"
done
[ ! -e "$dir/calls" ] || fail "a job ran without its settings"

printf 'CLIENT=7\nSHARES="/mnt/a /mnt/b"\n' >"$dir/nightly.job"
run 0
case $(call 1) in
"$dir/state job --config $dir/nightly.conf --client 7 --app2 0 --job "*" --quiet -- /mnt/a /mnt/b") ;;
*) fail "first run: $(call 1)" ;;
esac
[ "$(stat -c %a "$dir/state")" = 700 ] || fail "state folder mode"
run 1
run 3
run 0
for n in 2 3; do
	[ "$(job_of "$n")" -gt "$(job_of 1)" ] || fail "run $n: job id not above the base"
	case $(call "$n") in *"--prev $(job_of 1) "*) ;; *) fail "run $n: base" ;; esac
done
case $(call 4) in *"--prev $(job_of 1) "*) ;; *) fail "run 4 must compare from run 1" ;; esac
run 0
case $(call 5) in *"--prev $(job_of 4) "*) ;; *) fail "run 5 must compare from run 4" ;; esac

# One share per line keeps its blanks; a pattern stays a pattern.
touch "$dir/a" "$dir/b"
printf 'CLIENT=7\nSHARES="/mnt/my share\n%s/*\n"\n' "$dir" >"$dir/nightly.job"
(cd "$dir" && run 0)
case $(tail -n 1 "$dir/calls.args") in
*"<--></mnt/my share><$dir/*>") ;;
*) fail "shares with blanks or a pattern: $(tail -n 1 "$dir/calls.args")" ;;
esac
echo "scheduled job ids and bases: ok"
