#!/bin/bash
# The real program under X, first without a tray host: "SERVER", then
# "トレイ" only minimizes the window, whose menu bar now offers "表　示" and
# "終了". Then with a real tray host (trayer) started meanwhile: "トレイ"
# hides the window and puts the icon with its tooltip into the tray; a right
# click on the icon does nothing, a left click opens the pop-up menu, and its
# "終了" removes the icon and ends the program.
set -u
source "$(dirname "$0")/gui_session.bash"

need xdotool xwininfo xprop xdpyinfo trayer timeout setsid
use_window_session

app=$gui_tmp/app
copy_program "$app" Alice
# Port 8002 on every address is the program's, whatever else runs.
use_own_namespace tray

find_panel() {
    local w
    for w in $(timeout 5 xdotool search --all --pid "$trayer_pid" --name '^panel$' 2>/dev/null); do
        panel=$w
        return 0
    done
    return 1
}

# The program's icon: a window of class voxlet docked somewhere below the panel.
find_icon() {
    icon=$(timeout 5 xwininfo -tree -id "$panel" 2>/dev/null | awk '/\("voxlet" "Voxlet"\)/ { print $1; exit }')
    [ -n "$icon" ]
}
main_window_shown() {
    [ -n "$(timeout 5 xdotool search --all --onlyvisible --pid "$app_pid" --name '^Voxlet $' 2>/dev/null)" ]
}
# Visible override-redirect windows of the program other than its icon and
# its tooltip: pop-up menus.
popups() {
    local w
    for w in $(timeout 5 xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null); do
        [ "$w" = "$((icon))" ] && continue
        timeout 5 xprop -id "$w" _NET_WM_WINDOW_TYPE 2>/dev/null | grep -q _NET_WM_WINDOW_TYPE_TOOLTIP && continue
        timeout 5 xwininfo -all -id "$w" 2>/dev/null | grep -q 'Override Redirect State: yes' && echo "$w"
    done
}
has_popup() { popup=$(popups | head -n 1); [ -n "$popup" ]; }

# Shown, or minimized (iconic) where a window manager takes it: either way
# the user can bring it back.
main_window_reachable() {
    local w
    for w in $(timeout 5 xdotool search --all --pid "$app_pid" --name '^Voxlet $' 2>/dev/null); do
        timeout 5 xwininfo -id "$w" 2>/dev/null | grep -q 'IsViewable' && return 0
        timeout 5 xprop -id "$w" WM_STATE 2>/dev/null | grep -q Iconic && return 0
    done
    return 1
}

start_and_show "$app" "${in_ns[@]}"

drive press --pid "$app_pid" --role "menu item" --name SERVER || fail "\"SERVER\" could not be chosen"
drive wait-text --pid "$app_pid" --name 状態 --text "待機します。" || fail "no \"待機します。\" after SERVER"

# No tray host yet.
drive press --pid "$app_pid" --role "menu item" --name "トレイ" || fail "\"トレイ\" could not be chosen"
drive find --pid "$app_pid" --role "menu item" --name "メニュ－" --timeout 10 ||
    fail "without a tray the window's menu bar offers no tray menu"
main_window_reachable || fail "without a tray the window was hidden out of reach"
drive find --pid "$app_pid" --role "menu item" --name "終了" --timeout 5 || fail "no \"終了\" in the window"
drive press --pid "$app_pid" --role "menu item" --name "表　示" || fail "\"表　示\" could not be chosen from the window"
wait_until 10 eval '! drive find --pid "$app_pid" --role "menu item" --name "メニュ－" --timeout 1 2>/dev/null' ||
    fail "the tray menu stayed in the bar after \"表　示\""
main_window_shown || fail "the main window is not shown after \"表　示\""

# The tray host appears: its panel window holds the icons that programs dock.
start_bg "$gui_tmp/trayer.log" trayer --edge bottom --align right --widthtype request --height 24
trayer_pid=$bg_pid
wait_until 15 find_panel || { cat "$gui_tmp/trayer.log"; skip "trayer shows no panel"; }
find_icon && fail "an icon is in the tray before \"トレイ\" was chosen"
drive press --pid "$app_pid" --role "menu item" --name "トレイ" || fail "\"トレイ\" could not be chosen"

if ! wait_until 15 find_icon; then
    timeout 5 xwininfo -root -tree
    fail "no icon appeared in the tray"
    exit $status
fi
echo "icon $icon docked in trayer's panel $panel"
wait_until 10 eval '! main_window_shown' || fail "the main window is still shown"

# Resting the pointer on the icon shows its tooltip.
timeout 10 xdotool mousemove --window "$icon" 5 5 sleep 0.2 mousemove --window "$icon" 10 10
drive find --pid "$app_pid" --role "tool tip" --name "Sonavi1.00-0" --timeout 15 ||
    fail "no tooltip \"Sonavi1.00-0\" on the icon"

# Only the left button opens the menu. (Qt reports a right click as a
# request for a context menu, which the program leaves alone.)
timeout 10 xdotool mousemove --window "$icon" 10 10 click 3
sleep 1
has_popup && fail "a right click opened a pop-up"
timeout 10 xdotool key Escape

timeout 10 xdotool mousemove --window "$icon" 10 10 click 1
if ! wait_until 10 has_popup; then
    fail "a left click on the icon opened no pop-up menu"
    exit $status
fi
eval "$(timeout 5 xdotool getwindowgeometry --shell "$popup")"
echo "pop-up $popup at ${X},${Y} size ${WIDTH}x${HEIGHT}"
main_window_shown && fail "the pop-up showed the main window"

# "終了" is the last item; the separator and "表　示" are above it.
timeout 10 xdotool mousemove "$((X + WIDTH / 2))" "$((Y + HEIGHT - 8))" click 1
if wait_exit "$app_pid" 30; then
    [ "$app_status" -eq 0 ] || fail "the program ended with status $app_status"
else
    fail "the program did not end after \"終了\""
fi
find_icon && fail "the icon $icon is still in the tray"

[ $status -eq 0 ] && echo "PASS: tray icon, pop-up and exit"
exit $status
