#!/bin/bash
# The real settings window with a Tel.txt whose third line cannot be read:
# the list holds only the first two entries, so adding, replacing and
# deleting each refuse to write the file, say which line could not be read,
# and leave Tel.txt byte for byte as it was.
set -u
source "$(dirname "$0")/gui_session.bash"

need timeout setsid cmp
use_window_session

app=$gui_tmp/app
copy_program "$app" Alice
printf '1 A 10.0.0.1 Ring.wav 1:00:00\r\n2 B 10.0.0.2 b.wav 2:00:00\r\n3 C 10.0.0.3\r\n4 D 10.0.0.4 d.wav 4:00:00\r\n5 E 10.0.0.5 e.wav 5:00:00\r\n' >"$app/Tel.txt"
cp "$app/Tel.txt" "$gui_tmp/Tel.orig"
refusal="Tel.txt の3行目を読み込めませんでした。"

start_and_show "$app"
drive press --pid "$app_pid" --role "menu item" --name "設定" || fail "\"設定\" could not be chosen"
# The loader reports the short record as it always has.
drive answer-box --pid "$app_pid" --text "" --timeout 15 || fail "the settings window did not report the malformed line"

unchanged() {
    cmp -s "$gui_tmp/Tel.orig" "$app/Tel.txt" || { fail "$1 changed Tel.txt"; od -c "$app/Tel.txt" | head; }
}

drive set-text --pid "$app_pid" --role text --name "名前" --text "New" || fail "the name box takes no text"
drive set-text --pid "$app_pid" --role text --name "IP" --text "10.0.0.9" || fail "the IP box takes no text"
drive press --pid "$app_pid" --role "push button" --name "追　加" || fail "\"追　加\" could not be pressed"
drive answer-box --pid "$app_pid" --text "$refusal" || fail "adding showed no refusal"
unchanged "adding"

drive select --pid "$app_pid" --name "電話帳" --index 0 || fail "the first entry could not be chosen"
drive set-text --pid "$app_pid" --role text --name "名前" --text "New" || fail "the name box takes no text"
drive press --pid "$app_pid" --role "push button" --name "置　換" || fail "\"置　換\" could not be pressed"
drive answer-box --pid "$app_pid" --text "$refusal" || fail "replacing showed no refusal"
unchanged "replacing"

drive select --pid "$app_pid" --name "電話帳" --index 1 || fail "the second entry could not be chosen"
drive press --pid "$app_pid" --role "push button" --name "削　除" || fail "\"削　除\" could not be pressed"
drive answer-box --pid "$app_pid" --text "$refusal" || fail "deleting showed no refusal"
unchanged "deleting"

drive press --pid "$app_pid" --role "push button" --name "終　了" || fail "\"終　了\" could not be pressed"
drive press --pid "$app_pid" --role "push button" --name "終了" || fail "\"終了\" could not be pressed"
wait_exit "$app_pid" 30 || fail "the program did not end after \"終了\""
unchanged "the session"

[ $status -eq 0 ] && echo "PASS: a partly read phone book is never written"
exit $status
