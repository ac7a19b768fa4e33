# Sourced by the tests that install: a throw-away home under $tmp, so that
# nothing reaches the real one (voxlet-setup links into ~/.local/share); fail().
export HOME=$tmp/home
unset XDG_DATA_HOME
mkdir -p "$HOME"

status=0
fail() {
    echo "FAIL: $*"
    status=1
}
