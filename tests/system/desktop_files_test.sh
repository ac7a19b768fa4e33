#!/bin/bash
# Validates the menu entry and the AppStream metadata, as shipped and as
# installed, then starts the program the way a desktop menu does (from the
# installed entry's Exec line) and waits for its main window "Voxlet ".
set -u

: "${VOXLET_SOURCE_DIR:?}" "${VOXLET_BINARY_DIR:?}"
app_id=io.github.voxlet.Voxlet
src=$VOXLET_SOURCE_DIR/resources/desktop

for tool in desktop-file-validate appstreamcli; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/packages.d/desktop.txt)"; exit 77; }
done

tmp=$(mktemp -d)
svc_dir=$tmp/services
source "$VOXLET_SOURCE_DIR/scripts/services.sh"
pids=()
cleanup() {
    local i pid
    # Newest first: the program before its sound server and display.
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        pid=${pids[i]}
        kill "$pid" 2>/dev/null || continue
        timeout 10 tail --pid="$pid" -f /dev/null 2>/dev/null || kill -KILL "$pid" 2>/dev/null
    done
    svc_stop
    rm -rf "$tmp"
}
trap cleanup EXIT
source "$(dirname "$0")/own_home.bash"

# desktop-file-validate exits 0 on hints; anything it calls an error fails.
validate_desktop() {
    local out
    out=$(timeout 60 desktop-file-validate "$1" 2>&1)
    local rc=$?
    [ -n "$out" ] && echo "$out"
    [ $rc -eq 0 ] && ! grep -q 'error:' <<<"$out" || fail "desktop-file-validate $1"
}

# Pedantic remarks are fine; warnings and errors are not.
validate_metainfo() {
    local out
    out=$(timeout 60 appstreamcli validate --no-net "$@" 2>&1)
    local rc=$?
    echo "$out"
    [ $rc -eq 0 ] && ! grep -qE '^ *[EW]:' <<<"$out" || fail "appstreamcli validate $*"
}

validate_desktop "$src/$app_id.desktop"
validate_metainfo "$src/$app_id.metainfo.xml"

# The entry and the metadata must name each other and the icon we install.
grep -qx "Icon=$app_id" "$src/$app_id.desktop" || fail "desktop entry: Icon is not $app_id"
grep -q "<id>$app_id</id>" "$src/$app_id.metainfo.xml" || fail "metainfo: id is not $app_id"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$src/$app_id.metainfo.xml" ||
    fail "metainfo: launchable does not name $app_id.desktop"

if [ ! -x "$VOXLET_BINARY_DIR/src/voxlet" ]; then
    echo "SKIP: $VOXLET_BINARY_DIR/src/voxlet is not built; the shipped files validate"
    [ $status -eq 0 ] && exit 77
    exit $status
fi

# The installed entry names the program by its absolute path, quoted.
prefix="$tmp/Voxlet install"
if ! timeout 300 cmake --install "$VOXLET_BINARY_DIR" --prefix "$prefix" >"$tmp/install.log" 2>&1; then
    cat "$tmp/install.log"
    fail "cmake --install"
    exit $status
fi
entry=$prefix/share/applications/$app_id.desktop
validate_desktop "$entry"
# validate-tree also checks that the launchable entry is installed beside it.
out=$(timeout 60 appstreamcli validate-tree --no-net "$prefix" 2>&1)
rc=$?
echo "$out"
[ $rc -eq 0 ] && ! grep -qE '^ *[EW]:' <<<"$out" || fail "appstreamcli validate-tree on the installed folder"

# Exec= of the [Desktop Entry] group split into arguments as a launcher does:
# string escapes first, then quoting, then field codes dropped, %% kept as %.
exec_argv() {
    local value
    value=$(awk '
        /^\[/ { in_entry = ($0 == "[Desktop Entry]") }
        in_entry && /^Exec=/ { print substr($0, 6); exit }
    ' "$1")
    local unescaped="" i c
    for ((i = 0; i < ${#value}; i++)); do
        c=${value:i:1}
        if [ "$c" = '\' ] && [ $((i + 1)) -lt ${#value} ]; then
            i=$((i + 1))
            case ${value:i:1} in
            s) c=' ' ;;
            n) c=$'\n' ;;
            t) c=$'\t' ;;
            r) c=$'\r' ;;
            '\') c='\' ;;
            *) c="\\${value:i:1}" ;;
            esac
        fi
        unescaped+=$c
    done
    local word="" in_word=0 quoted=0
    argv=()
    for ((i = 0; i < ${#unescaped}; i++)); do
        c=${unescaped:i:1}
        if ((quoted)); then
            if [ "$c" = '\' ]; then
                i=$((i + 1))
                word+=${unescaped:i:1}
            elif [ "$c" = '"' ]; then
                quoted=0
            else
                word+=$c
            fi
        elif [ "$c" = '"' ]; then
            quoted=1
            in_word=1
        elif [ "$c" = ' ' ] || [ "$c" = $'\t' ]; then
            ((in_word)) && argv+=("$word")
            word=""
            in_word=0
        else
            word+=$c
            in_word=1
        fi
    done
    ((in_word)) && argv+=("$word")
    local kept=() a
    for a in "${argv[@]}"; do
        case $a in
        %[fFuUdDnNickvm]) ;;
        *) kept+=("${a//%%/%}") ;;
        esac
    done
    argv=("${kept[@]}")
}

exec_argv "$entry"
[ "${#argv[@]}" -ge 1 ] && [ "${argv[0]}" = "$prefix/bin/voxlet" ] ||
    fail "Exec names '${argv[*]}', expected $prefix/bin/voxlet"

# --- start it as the menu would -------------------------------------------
have_x_tools=1
command -v xdotool >/dev/null || command -v xwininfo >/dev/null || have_x_tools=0
if ((have_x_tools)) && ! svc_display --reuse 2>"$tmp/display-why.txt"; then
    if svc_need Xvfb xdpyinfo 2>/dev/null; then
        cat "$tmp/display-why.txt"
        fail "no display"
        exit $status
    fi
    have_x_tools=0
fi
if ! ((have_x_tools)); then
    echo "SKIP: no X display tools (Xvfb, xdotool or xwininfo); the files validate"
    [ $status -eq 0 ] && exit 77
    exit $status
fi

# Without a sound server the program opens no audio devices and says so in a
# modal box before its window; give it a private one when none answers.
svc_sound --reuse || echo "no sound server: the program shows its device message first"

# The title of the main window ends with a blank.
find_main_window() {
    if command -v xdotool >/dev/null; then
        timeout 10 xdotool search --onlyvisible --name '^Voxlet $' 2>/dev/null | head -n 1
    else
        timeout 10 xwininfo -root -tree 2>/dev/null | awk '/ "Voxlet ": / { print $1; exit }'
    fi
}

(cd "$tmp" && exec env -u QT_QPA_PLATFORM "${argv[@]}" >"$tmp/voxlet.log" 2>&1) &
app=$!
pids+=("$app")
window=""
for _ in $(seq 120); do
    window=$(find_main_window)
    [ -n "$window" ] && break
    if ! kill -0 "$app" 2>/dev/null; then
        wait "$app"
        fail "the program ended (status $?) before it showed its window"
        cat "$tmp/voxlet.log"
        # Tells a program fault from a display that went away under it.
        if svc_display_answers; then echo "display $DISPLAY still answers"; else echo "display $DISPLAY no longer answers"; fi
        break
    fi
    sleep 0.5
done
if [ -n "$window" ]; then
    if command -v xdotool >/dev/null; then
        owner=$(timeout 10 xdotool getwindowpid "$window" 2>/dev/null)
        [ -z "$owner" ] || [ "$owner" = "$app" ] || fail "the window \"Voxlet \" belongs to process $owner, not $app"
    fi
    kill -0 "$app" 2>/dev/null || fail "the program did not keep running with its window shown"
elif kill -0 "$app" 2>/dev/null; then
    fail "no window titled \"Voxlet \" appeared within a minute; windows present:"
    timeout 10 xwininfo -root -tree 2>/dev/null | grep '"' | head -n 20
    cat "$tmp/voxlet.log"
fi

[ $status -eq 0 ] && echo "PASS"
exit $status
