#!/bin/bash
# The real program through the accessibility bus, as a screen reader meets
# it: every element of the main window, the settings window and the search
# window carries the name a sighted user reads (a caption, or the label
# beside a box), never an internal one; "No=" follows the chosen entry.
set -u
source "$(dirname "$0")/gui_session.bash"

need timeout setsid
use_window_session

app=$gui_tmp/app
copy_program "$app" Alice
printf '1 Taro 10.0.0.1 Ring.wav 1:00:00\r\n2 Hana 10.0.0.2 Ring.wav 2:00:00\r\n' >"$app/Tel.txt"

start_and_show "$app"

check_window() {
    drive check-names --pid "$app_pid" --name "$1" || { drive tree --pid "$app_pid" --name "$1"; fail "$1"; }
}

check_window "Voxlet "

drive press --pid "$app_pid" --role "menu item" --name "設定" || fail "\"設定\" could not be chosen"
drive find --pid "$app_pid" --role dialog --name "設定" || fail "the settings window did not open"
check_window "設定"
drive select --pid "$app_pid" --name "電話帳" --index 1 || fail "the second entry could not be chosen"
drive find --pid "$app_pid" --role label --name "No=2" --timeout 10 || fail "the number label is not named \"No=2\""
drive wait-text --pid "$app_pid" --role text --name "IP" --text "10.0.0.2" || fail "choosing the entry did not fill the IP box"
drive press --pid "$app_pid" --role "push button" --name "終　了" || fail "\"終　了\" could not be pressed"

drive press --pid "$app_pid" --role "menu item" --name "検索SERVER" || fail "\"検索SERVER\" could not be chosen"
drive find --pid "$app_pid" --role dialog --name "検索SERVER" || fail "the search window did not open"
check_window "検索SERVER"
drive press --pid "$app_pid" --role "menu item" --name "閉じる" || fail "\"閉じる\" could not be chosen"

drive press --pid "$app_pid" --role "push button" --name "終了" || fail "\"終了\" could not be pressed"
if wait_exit "$app_pid" 30; then
    [ "$app_status" -eq 0 ] || fail "the program ended with status $app_status"
else
    fail "the program did not end after \"終了\""
fi

[ $status -eq 0 ] && echo "PASS: every element of the three windows has a readable name"
exit $status
