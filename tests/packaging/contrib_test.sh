#!/usr/bin/env bash
# Runs the example notify commands with the daemon's argument vector, with
# stand-ins for logger(1) and sendmail(8) that record what they were given,
# and checks the example alert rules with promtool.
set -euo pipefail
source_dir=$1
logger_cmd=$source_dir/contrib/notify-logger
sendmail_cmd=$source_dir/contrib/notify-sendmail

# fail, finish_checks
. "$source_dir/tools/netns.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/bin"
cat >"$work/bin/logger" <<'STUB'
#!/bin/sh
for a in "$@"; do printf '[%s]' "$a"; done >>"$RECORD"
echo >>"$RECORD"
STUB
cat >"$work/bin/sendmail" <<'STUB'
#!/bin/sh
echo "ARGS: $*" >"$RECORD"
cat >>"$RECORD"
STUB
chmod +x "$work/bin/logger" "$work/bin/sendmail"
export RECORD=$work/record

first=("2026-01-31 23:59:07" eth0 alpha.demo.test 192.0.2.10 b8:27:eb:5a:00:10
    "Raspberry Pi Foundation" "(none)" "(none)")
change=("2026-02-01 00:00:05" eth0 alpha.demo.test 192.0.2.10 00:1b:21:5a:00:10
    "Intel Corporate" b8:27:eb:5a:00:10 "Raspberry Pi Foundation")

# notify-logger: one record through logger, tagged, at daemon.notice.
: >"$RECORD"
PATH=$work/bin:$PATH "$logger_cmd" "${first[@]}"
expect='[-t][pelorin][-p][daemon.notice][--][new binding on eth0: 192.0.2.10 (alpha.demo.test) at b8:27:eb:5a:00:10 (Raspberry Pi Foundation), first seen 2026-01-31 23:59:07]'
[ "$(cat "$RECORD")" = "$expect" ] || fail "logger, first sighting: $(cat "$RECORD")"

: >"$RECORD"
PATH=$work/bin:$PATH "$logger_cmd" "${change[@]}"
expect='[-t][pelorin][-p][daemon.notice][--][changed binding on eth0: 192.0.2.10 (alpha.demo.test) moved from b8:27:eb:5a:00:10 (Raspberry Pi Foundation) to 00:1b:21:5a:00:10 (Intel Corporate) at 2026-02-01 00:00:05]'
[ "$(cat "$RECORD")" = "$expect" ] || fail "logger, change: $(cat "$RECORD")"

# A line break from a resolver or a registry stays inside the one record.
: >"$RECORD"
PATH=$work/bin:$PATH "$logger_cmd" "${first[0]}" eth0 $'evil\nname' 192.0.2.10 \
    b8:27:eb:5a:00:10 "Raspberry Pi Foundation" "(none)" "(none)"
[ "$(wc -l <"$RECORD")" -eq 1 ] || fail "logger record split over lines"

# Wrong argument count: usage, status 1, nothing logged.
: >"$RECORD"
set +e
PATH=$work/bin:$PATH "$logger_cmd" eth0 2>"$work/err"
status=$?
set -e
[ "$status" -eq 1 ] && [ ! -s "$RECORD" ] && grep -q usage "$work/err" ||
    fail "logger with one argument: status $status"

# notify-syslog: one JSON record after "@cee:", tagged, at daemon.notice,
# with the capture time's UTC offset and the event kind (neither when not
# known); every value comes back out of the
# JSON exactly as given (bytes that are not UTF-8 as U+FFFD), on one line.
syslog_cmd=$source_dir/contrib/notify-syslog
: >"$RECORD"
TZ=IST-5:30 PELORIN_EVENT=flip-flop PATH=$work/bin:$PATH "$syslog_cmd" "${change[@]}"
expect='[--size][8192][-t][pelorin][-p][daemon.notice][--][@cee: {"date_time":"2026-02-01 00:00:05","utc_offset":"+05:30","ifname":"eth0","hostname":"alpha.demo.test","ipaddr":"192.0.2.10","new_hwaddr":"00:1b:21:5a:00:10","new_hwaddr_org":"Intel Corporate","old_hwaddr":"b8:27:eb:5a:00:10","old_hwaddr_org":"Raspberry Pi Foundation","event":"flip-flop"}]'
[ "$(cat "$RECORD")" = "$expect" ] || fail "syslog, change: $(cat "$RECORD")"

awkward=("not a date" $'eth0\n' $'a "quoted"\\ name\nwith\ttabs' '-v' $'caf\xc3\xa9 \xff\xe0\x80\xed\xa0\x80 \xf0\x9f\x98\x80'
    'x=1' '"' $'\x01\x7f}')
: >"$RECORD"
PATH=$work/bin:$PATH "$syslog_cmd" "${awkward[@]}"
[ "$(wc -l <"$RECORD")" -eq 1 ] || fail "syslog record split over lines"
python3 - "$RECORD" "${awkward[@]}" <<'PY' || fail "syslog record does not give back its arguments"
import json, sys
record = open(sys.argv[1], encoding="utf-8").read()
body = json.loads(record[record.index("[@cee: ") + 7:-2])
names = ["date_time", "ifname", "hostname", "ipaddr", "new_hwaddr", "new_hwaddr_org",
         "old_hwaddr", "old_hwaddr_org"]
given = [a.encode("utf-8", "surrogateescape").decode("utf-8", "replace") for a in sys.argv[2:]]
assert "utc_offset" not in body, body  # a date that does not parse has no offset
assert body == dict(zip(names, given)), (body, given)
PY

# notify-sendmail: a mail to root by default, headers on single lines.
PELORIN_SENDMAIL=$work/bin/sendmail "$sendmail_cmd" "${change[@]}"
grep -qx 'ARGS: -t -oi' "$RECORD" || fail "sendmail arguments: $(head -1 "$RECORD")"
grep -qx 'To: root' "$RECORD" || fail "default recipient"
grep -qx 'Subject: pelorin: changed hardware address 192.0.2.10 on eth0' "$RECORD" ||
    fail "subject: $(grep Subject "$RECORD")"
grep -qE '^old ethernet vendor: +Raspberry Pi Foundation$' "$RECORD" || fail "old vendor in body"
grep -qE '^ethernet vendor: +Intel Corporate$' "$RECORD" || fail "new vendor in body"
grep -qE '^timestamp: +2026-02-01 00:00:05$' "$RECORD" || fail "timestamp in body"
# Headers end at the first empty line.
[ "$(sed -n '/^$/=' "$RECORD" | head -1)" -eq 6 ] || fail "header block"
# The event kind names the subject; a count that is not a number is ignored.
while IFS='|' read -r event suppressed subject body; do
    PELORIN_EVENT=$event PELORIN_SUPPRESSED=$suppressed PELORIN_SENDMAIL=$work/bin/sendmail \
        "$sendmail_cmd" "${change[@]}"
    grep -qx "Subject: pelorin: $subject 192.0.2.10 on eth0$body" "$RECORD" ||
        fail "event $event/$suppressed: $(grep Subject "$RECORD")"
    grep -qE "^event: +$event$body\$" "$RECORD" || fail "event $event/$suppressed in body"
done <<'CASES'
flip-flop||flip-flop|
flip-flop|3|flip-flop|, 3 held back
changed|2;x|changed hardware address|
CASES

PELORIN_MAIL_TO=netadmin@example.org PELORIN_SENDMAIL=$work/bin/sendmail "$sendmail_cmd" \
    "${first[0]}" $'eth0\nBcc: victim@example.org' alpha 192.0.2.10 b8:27:eb:5a:00:10 x "(none)" "(none)"
grep -qx 'To: netadmin@example.org' "$RECORD" || fail "PELORIN_MAIL_TO"
grep -qx 'Subject: pelorin: new station 192.0.2.10 on eth0 Bcc: victim@example.org' "$RECORD" ||
    fail "a line break in an argument reached the headers: $(sed -n 1,6p "$RECORD")"
if grep -q '^Bcc:' "$RECORD"; then fail "header injected"; fi

# No sendmail program: nothing sent, a message, status 1.
set +e
PELORIN_SENDMAIL=$work/missing "$sendmail_cmd" "${first[@]}" 2>"$work/err"
status=$?
set -e
[ "$status" -eq 1 ] && grep -q 'no sendmail program found' "$work/err" ||
    fail "missing sendmail: status $status, $(cat "$work/err")"

# notify-html: a burst of five changes makes one regeneration (or two, if
# the last arrives after the first has stopped waiting), not five; a change
# after it makes another; the stand-in records its arguments.
cat >"$work/bin/pelorin-html" <<'STUB'
#!/bin/sh
echo "$*" >>"$RECORD"
sleep 0.3
STUB
chmod +x "$work/bin/pelorin-html"
: >"$RECORD"
for _ in 1 2 3 4 5; do
    PELORIN_HTML=$work/bin/pelorin-html PELORIN_HTML_DIR=$work/html PELORIN_HTML_DELAY=0.5 \
        "$source_dir/contrib/notify-html" "${change[@]}" &
done
wait
runs=$(wc -l <"$RECORD")
[ "$runs" -ge 1 ] && [ "$runs" -le 2 ] && ! grep -vqx -- "-L /var/db/pelorin $work/html" "$RECORD" ||
    fail "notify-html burst: $(cat "$RECORD")"
PELORIN_HTML=$work/bin/pelorin-html PELORIN_HTML_DIR=$work/html PELORIN_HTML_DELAY=0 \
    PELORIN_LIBRARY_DIR=/srv/lib "$source_dir/contrib/notify-html" "${first[@]}"
[ "$(wc -l <"$RECORD")" -eq $((runs + 1)) ] && [ "$(tail -1 "$RECORD")" = "-L /srv/lib $work/html" ] ||
    fail "notify-html after the burst: $(cat "$RECORD")"

# The example alert rules: valid, firing as their test says, and the same
# as the README shows.
promtool check rules "$source_dir/contrib/pelorin-alerts.yml" >"$work/promtool.log" 2>&1 ||
    fail "promtool check rules: $(cat "$work/promtool.log")"
(cd "$source_dir/tests/packaging" && promtool test rules alerts_test.yml) >"$work/promtool.log" 2>&1 ||
    fail "promtool test rules: $(cat "$work/promtool.log")"
sed -n '/^```yaml$/,/^```$/p' "$source_dir/README.md" | sed '1d;$d' >"$work/readme-rules.yml"
grep -v '^#' "$source_dir/contrib/pelorin-alerts.yml" | diff - "$work/readme-rules.yml" >/dev/null ||
    fail "the README's alert rules differ from contrib/pelorin-alerts.yml"

finish_checks "notify examples and alert rules behave"
