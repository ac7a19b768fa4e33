#!/bin/bash
# Installs the built program into throw-away folders and checks the layout,
# that installing again (or unpacking the tarball over it) keeps the user's
# Tel.txt and name.txt, and what bin/voxlet-setup does to the menu entry.
set -u

: "${VOXLET_SOURCE_DIR:?}" "${VOXLET_BINARY_DIR:?}"
app_id=io.github.voxlet.Voxlet

if [ ! -x "$VOXLET_BINARY_DIR/src/voxlet" ]; then
    echo "SKIP: $VOXLET_BINARY_DIR/src/voxlet is not built"
    exit 77
fi
for tool in cmake cpack tar cmp; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
source "$(dirname "$0")/own_home.bash"

install_into() {
    timeout 300 cmake --install "$VOXLET_BINARY_DIR" --prefix "$1" >"$tmp/install.log" 2>&1 ||
        { cat "$tmp/install.log"; fail "cmake --install into $1"; }
}

# The value of a key in the [Desktop Entry] group.
desktop_value() {
    awk -v key="$2" '
        /^\[/ { in_entry = ($0 == "[Desktop Entry]") }
        in_entry && index($0, key "=") == 1 { print substr($0, length(key) + 2); exit }
    ' "$1"
}

# A space and shell/desktop-entry specials in the path exercise the quoting.
prefix="$tmp/opt/my \$HOME 100% \"voxlet\""
install_into "$prefix"

# --- layout ---------------------------------------------------------------
for f in bin/voxlet bin/voxlet-setup; do
    [ -f "$prefix/$f" ] && [ -x "$prefix/$f" ] || fail "$f missing or not executable"
done
for f in bin/Ring.wav bin/Anybody.wav bin/Ans.wav; do
    cmp -s "$VOXLET_SOURCE_DIR/resources/sounds/${f#bin/}" "$prefix/$f" || fail "$f missing or different"
done
cmp -s "$VOXLET_SOURCE_DIR/resources/icons/voxlet.svg" "$prefix/share/icons/hicolor/scalable/apps/$app_id.svg" ||
    fail "scalable icon missing or different"
for size in 16 32 48 128; do
    cmp -s "$VOXLET_SOURCE_DIR/resources/icons/voxlet-$size.png" \
        "$prefix/share/icons/hicolor/${size}x${size}/apps/$app_id.png" || fail "${size}px icon missing or different"
done
[ -f "$prefix/share/metainfo/$app_id.metainfo.xml" ] || fail "metainfo missing"
[ -f "$prefix/share/applications/$app_id.desktop" ] || fail "desktop entry missing"
[ -f "$prefix/share/doc/voxlet/install.md" ] || fail "install notes missing"
if [ -f "$VOXLET_SOURCE_DIR/README.md" ]; then
    [ -f "$prefix/share/doc/voxlet/README.md" ] || fail "README.md missing"
fi
server=$(find "$VOXLET_BINARY_DIR/server" -name voxlet-directory -type f -perm -u+x 2>/dev/null | head -n 1)
if [ -n "$server" ]; then
    [ -x "$prefix/bin/voxlet-directory" ] || fail "voxlet-directory was built but not installed"
    unit="$prefix/lib/systemd/system/voxlet-directory.service"
    [ -f "$unit" ] || fail "the directory's systemd unit is not installed"
    [ -f "$prefix/share/doc/voxlet/directory.conf" ] || fail "the directory's example configuration is missing"
fi
# systemd finds the program where the unit says and accepts every setting
# (a prefix with "$", "%" and a space; systemd takes no quotes in a path).
verify_unit() {
    local unit="$1/lib/systemd/system/voxlet-directory.service"
    [ -n "$server" ] && command -v systemd-analyze >/dev/null || return 0
    systemd-analyze verify "$unit" >"$tmp/verify.log" 2>&1 || { cat "$tmp/verify.log"; fail "systemd-analyze verify $unit"; }
}

# A fresh install starts with empty data files (an empty phone book and
# profile, so the first start shows no file-not-found message).
for f in Tel.txt name.txt; do
    [ -f "$prefix/bin/$f" ] && [ ! -s "$prefix/bin/$f" ] || fail "fresh install: $f is not an empty file"
done

# --- the menu entry names the installed program ----------------------------
desktop="$prefix/share/applications/$app_id.desktop"
expected_exec=$(printf '%s' "$prefix/bin/voxlet" | sed -e 's/[\\"`$]/\\&/g' -e 's/%/%%/g' -e 's/\\/\\\\/g')
[ "$(desktop_value "$desktop" Exec)" = "\"$expected_exec\"" ] ||
    fail "Exec is '$(desktop_value "$desktop" Exec)', expected \"$expected_exec\""
[ "$(desktop_value "$desktop" TryExec)" = "$prefix/bin/voxlet" ] ||
    fail "TryExec is '$(desktop_value "$desktop" TryExec)'"
[ "$(desktop_value "$desktop" Icon)" = "$app_id" ] || fail "Icon is not $app_id"

# An install with --prefix elsewhere than the configured folder leaves the
# user's menu alone.
[ ! -e "$HOME/.local/share/applications/$app_id.desktop" ] || fail "--prefix install touched ~/.local/share"

# --- installing again keeps the user's data --------------------------------
# Shift-JIS bytes and CR LF, as the program writes them.
printf '1 \x91\xbe\x98\x59 192.168.0.12 Ring.wav 21:07:45\r\n' >"$prefix/bin/Tel.txt"
printf '\x91\xbe\x98\x59,m,30,pw,\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd\r\nserver.example\r\n' >"$prefix/bin/name.txt"
cp "$prefix/bin/Tel.txt" "$tmp/Tel.saved"
cp "$prefix/bin/name.txt" "$tmp/name.saved"
install_into "$prefix"
cmp -s "$tmp/Tel.saved" "$prefix/bin/Tel.txt" || fail "installing again changed Tel.txt"
cmp -s "$tmp/name.saved" "$prefix/bin/name.txt" || fail "installing again changed name.txt"

# --- voxlet-setup: menu links ------------------------------------------------
share=$HOME/.local/share
"$prefix/bin/voxlet-setup" || fail "voxlet-setup exited with $?"
links="applications/$app_id.desktop icons/hicolor/scalable/apps/$app_id.svg"
for size in 16 32 48 128; do
    links="$links icons/hicolor/${size}x${size}/apps/$app_id.png"
done
for rel in $links; do
    [ -L "$share/$rel" ] && [ "$(readlink "$share/$rel")" = "$prefix/share/$rel" ] ||
        fail "voxlet-setup did not link $rel into the prefix"
done
"$prefix/bin/voxlet-setup" --remove-menu || fail "voxlet-setup --remove-menu exited with $?"
for rel in $links; do
    [ ! -e "$share/$rel" ] && [ ! -L "$share/$rel" ] || fail "--remove-menu left $rel"
done
# Another program's file in the way is not replaced.
echo "not ours" >"$share/applications/$app_id.desktop"
"$prefix/bin/voxlet-setup" 2>/dev/null
"$prefix/bin/voxlet-setup" --remove-menu
[ "$(cat "$share/applications/$app_id.desktop")" = "not ours" ] || fail "voxlet-setup replaced a foreign file"
rm -f "$share/applications/$app_id.desktop"
"$prefix/bin/voxlet-setup" --bogus 2>/dev/null && fail "voxlet-setup accepted an unknown option"

# With the prefix ~/.local the entry already is in the user's data folder.
install_into "$HOME/.local"
unit_prefix="$tmp/srv/\$dir 100%"
install_into "$unit_prefix"
verify_unit "$unit_prefix"
"$HOME/.local/bin/voxlet-setup" || fail "voxlet-setup in ~/.local exited with $?"
[ -f "$share/applications/$app_id.desktop" ] && [ ! -L "$share/applications/$app_id.desktop" ] ||
    fail "voxlet-setup in ~/.local replaced the entry with a link"

# --- a moved folder: voxlet-setup points the entry at the new place ---------
moved="$tmp/moved here"
mv "$prefix" "$moved"
# Run through a link elsewhere, as from a ~/bin of the user's.
ln -s "$moved/bin/voxlet-setup" "$tmp/voxlet-setup"
"$tmp/voxlet-setup" --no-menu || fail "voxlet-setup after a move exited with $?"
[ "$(desktop_value "$moved/share/applications/$app_id.desktop" TryExec)" = "$moved/bin/voxlet" ] ||
    fail "after a move TryExec is '$(desktop_value "$moved/share/applications/$app_id.desktop" TryExec)'"
cmp -s "$tmp/Tel.saved" "$moved/bin/Tel.txt" || fail "voxlet-setup changed Tel.txt"

# --- the tarball: the installed folder without data files --------------------
if timeout 300 cpack --config "$VOXLET_BINARY_DIR/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1; then
    tarball=$(find "$tmp/pkg" -maxdepth 1 -name 'voxlet-*.tar.gz' | head -n 1)
    if [ -z "$tarball" ]; then
        fail "cpack made no voxlet-*.tar.gz"
    else
        tar -tzf "$tarball" >"$tmp/list"
        top=$(head -n 1 "$tmp/list" | cut -d/ -f1)
        for f in bin/voxlet bin/voxlet-setup bin/Ring.wav "share/applications/$app_id.desktop" \
            "share/metainfo/$app_id.metainfo.xml"; do
            grep -qx "$top/$f" "$tmp/list" || fail "tarball lacks $f"
        done
        grep -E '/(Tel|name)\.txt$' "$tmp/list" && fail "tarball carries data files"
        # Upgrading by unpacking over an installed folder keeps the data.
        tar -xzf "$tarball" -C "$moved" --strip-components=1 || fail "unpacking the tarball"
        cmp -s "$tmp/Tel.saved" "$moved/bin/Tel.txt" || fail "unpacking the tarball changed Tel.txt"
        cmp -s "$tmp/name.saved" "$moved/bin/name.txt" || fail "unpacking the tarball changed name.txt"
        "$moved/bin/voxlet-setup" --no-menu
        [ "$(desktop_value "$moved/share/applications/$app_id.desktop" TryExec)" = "$moved/bin/voxlet" ] ||
            fail "voxlet-setup after unpacking did not point the entry at the program"
    fi
else
    cat "$tmp/cpack.log"
    fail "cpack"
fi

[ $status -eq 0 ] && echo "PASS"
exit $status
