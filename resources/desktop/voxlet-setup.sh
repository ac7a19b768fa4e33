#!/bin/sh
# Finishes an installed Voxlet folder (<prefix>/bin holds this script):
# points the menu entry at the voxlet beside this script, creates empty
# Tel.txt and name.txt when they are absent (never touches existing ones),
# and links the menu entry and icons into the user's data folder.
#
#   voxlet-setup                 all of the above
#   voxlet-setup --no-menu       without the links into the user's data folder
#   voxlet-setup --remove-menu   only remove those links (before deleting the folder)
#   --exec PATH                  the executable's final path, for staged installs
set -eu

app_id=io.github.voxlet.Voxlet
icon_sizes="16x16 32x32 48x48 128x128"

usage() {
    sed -n '2,10s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

menu="link"
exec_path=
while [ $# -gt 0 ]; do
    case $1 in
    --no-menu) menu=none ;;
    --remove-menu) menu=remove ;;
    --exec)
        [ $# -ge 2 ] || usage
        exec_path=$2
        shift
        ;;
    *) usage ;;
    esac
    shift
done

bin_dir=$(cd "$(dirname "$(readlink -f "$0")")" && pwd -P)
prefix=$(dirname "$bin_dir")
[ -n "$exec_path" ] || exec_path=$bin_dir/voxlet
desktop_file=$prefix/share/applications/$app_id.desktop
if [ "$menu" != none ]; then
    user_data=${XDG_DATA_HOME:-${HOME:?HOME is not set}/.local/share}
fi

case $exec_path in
*'
'*)
    echo "voxlet-setup: the path $exec_path holds a line break; a menu entry cannot name it" >&2
    exit 1
    ;;
esac

# Each link we own points into this prefix; anything else is left alone.
unlink_ours() {
    link=$1
    target=$2
    if [ -L "$link" ] && [ "$(readlink "$link")" = "$target" ]; then
        rm -f "$link"
    fi
}

link_into() {
    target=$1
    link=$2
    [ -e "$target" ] || return 0
    mkdir -p "$(dirname "$link")"
    # A prefix of ~/.local already is the user's data folder.
    if [ -e "$link" ] && [ "$(cd "$(dirname "$link")" && pwd -P)/$(basename "$link")" = "$target" ]; then
        return 0
    fi
    if [ -e "$link" ] && [ ! -L "$link" ]; then
        echo "voxlet-setup: $link exists and is not a link; left as it is" >&2
        return 0
    fi
    ln -sfn "$target" "$link"
}

icon_pairs() {
    for size in $icon_sizes; do
        echo "icons/hicolor/$size/apps/$app_id.png"
    done
    echo "icons/hicolor/scalable/apps/$app_id.svg"
    echo "applications/$app_id.desktop"
}

if [ "$menu" = remove ]; then
    icon_pairs | while read -r rel; do
        unlink_ours "$user_data/$rel" "$prefix/share/$rel"
    done
    exit 0
fi

# Exec takes a quoted argument (\ " ` $ escaped, % doubled), then the whole
# value gets the string escape for backslashes; TryExec is a plain string.
quoted=$(printf '%s' "$exec_path" | sed -e 's/[\\"`$]/\\&/g' -e 's/%/%%/g' -e 's/\\/\\\\/g')
plain=$(printf '%s' "$exec_path" | sed -e 's/\\/\\\\/g')
if [ -f "$desktop_file" ]; then
    tmp=$desktop_file.tmp.$$
    EXEC_LINE="Exec=\"$quoted\"" TRYEXEC_LINE="TryExec=$plain" awk '
        /^\[/ { in_entry = ($0 == "[Desktop Entry]") }
        in_entry && /^Exec[ \t]*=/ { print ENVIRON["EXEC_LINE"]; next }
        in_entry && /^TryExec[ \t]*=/ { print ENVIRON["TRYEXEC_LINE"]; next }
        { print }
    ' "$desktop_file" >"$tmp"
    mv -f "$tmp" "$desktop_file"
fi

# Empty files read as an empty phone book and an empty profile without the
# file-not-found messages a first start would otherwise show.
for data in Tel.txt name.txt; do
    if [ ! -e "$bin_dir/$data" ] && [ ! -L "$bin_dir/$data" ]; then
        : >"$bin_dir/$data"
    fi
done

if [ "$menu" = link ]; then
    icon_pairs | while read -r rel; do
        link_into "$prefix/share/$rel" "$user_data/$rel"
    done
fi
