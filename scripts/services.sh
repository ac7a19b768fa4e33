#!/usr/bin/env bash
# The private services the program runs under in the tests, the benchmarks
# and the screenshots: a virtual display (Xvfb), a session bus with the
# accessibility bus, and a sound server with virtual devices: PulseAudio, or
# with VOXLET_SOUND_SERVER=pipewire PipeWire with WirePlumber and
# pipewire-pulse (Debian 12's desktop default), with the same devices.
#
# Sourced, it gives these functions. Each returns non-zero with the reason
# on stderr when its service does not come up; each service runs in a
# process group of its own, so that svc_stop also ends what it spawned.
#   svc_display [--reuse]      a private Xvfb; exports DISPLAY. --reuse keeps
#                              a $DISPLAY that answers.
#   svc_session_bus            a dbus-daemon; exports DBUS_SESSION_BUS_ADDRESS
#   svc_accessibility          the accessibility bus on the session bus
#   svc_sound [--reuse] [DEVICE...]
#                              a sound server with these devices (see
#                              svc_pa_config); exports what its clients need.
#                              --reuse keeps a sound server that answers.
#   svc_keep_reading SOURCE... a reader on each source for the whole run
#   svc_redis                  a Redis store on a Unix socket, nothing saved;
#                              the socket in $svc_redis_socket, pid in $svc_pid
#   svc_start LOG COMMAND...   any other process, stopped with the services;
#                              its pid in $svc_pid
#   svc_stop                   ends all of them, newest first
# Files and logs go to $svc_dir (set it before sourcing to choose the folder).
#
# Run as a command, for the C++ tests, which start, stop and restart their
# own sound server:
#   services.sh sound-env DIR             the client variables, KEY=VALUE lines
#   services.sh sound-server DIR DEVICE...  the sound server, in the foreground
#   services.sh sound-ready DIR           succeeds once it has its devices
#   services.sh keep-reading SOURCE       one reader, in the foreground
#   services.sh redis-server DIR [OPTION...]  Redis on DIR/redis.sock, in the
#                                         foreground

svc_script=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/services.sh

# The sound server's configuration. A DEVICE is
#   speakerX        a virtual speaker (null sink) named speakerX
#   speakerX:8k     the same at 8000 Hz mono, as the phone plays an old-style
#                   peer's voice (:16k, :48k ... at those rates)
#   micX            a microphone: source micX, fed by playing into sink
#                   micsinkX at 8000 Hz mono; micX:16k, micX:48k ... at those
#                   rates (an HD call records at 16000 Hz)
#   probe           one stereo sink "probe" whose left channel is microphone
#                   micA and whose right channel speaker speakerB plays into:
#                   one recording of probe.monitor holds both on one clock
#   default-sink=NAME, default-source=NAME
# The first speaker and the first microphone are the defaults unless named.
# No DEVICE: "speaker mic".
svc_pa_config() {
    local d name sink='' source='' first_sink='' first_source=''
    [ $# -gt 0 ] || set -- speaker mic
    echo "load-module module-native-protocol-unix auth-anonymous=1"
    for d in "$@"; do
        case $d in
        default-sink=*) sink=${d#*=} ;;
        default-source=*) source=${d#*=} ;;
        probe)
            echo "load-module module-null-sink sink_name=probe rate=8000 channels=2 channel_map=front-left,front-right"
            echo "load-module module-remap-source source_name=micA master=probe.monitor channels=1 master_channel_map=front-left channel_map=mono remix=no"
            echo "load-module module-remap-sink sink_name=speakerB master=probe channels=1 master_channel_map=front-right channel_map=mono remix=no"
            ;;
        speaker*:*k)
            name=${d%%:*} rate=${d##*:}
            echo "load-module module-null-sink sink_name=$name rate=${rate%k}000 channels=1"
            first_sink=${first_sink:-$name}
            ;;
        speaker*)
            echo "load-module module-null-sink sink_name=$d"
            first_sink=${first_sink:-$d}
            ;;
        mic*)
            name=${d%%:*} rate=8k
            [ "$name" = "$d" ] || rate=${d##*:}
            echo "load-module module-null-sink sink_name=micsink${name#mic} rate=${rate%k}000 channels=1"
            # A new reader of a remapped source gets nothing for a second or
            # two: see svc_keep_reading.
            echo "load-module module-remap-source source_name=$name master=micsink${name#mic}.monitor channels=1"
            first_source=${first_source:-$name}
            ;;
        *)
            echo "unknown sound device '$d'" >&2
            return 1
            ;;
        esac
    done
    sink=${sink:-$first_sink} source=${source:-$first_source}
    [ -z "$sink" ] || echo "set-default-sink $sink"
    [ -z "$source" ] || echo "set-default-source $source"
}

# Which sound server: pulseaudio (the default) or pipewire.
svc_sound_kind() {
    case ${VOXLET_SOUND_SERVER:-pulseaudio} in
    pulseaudio | pulse) echo pulseaudio ;;
    pipewire) echo pipewire ;;
    *)
        echo "VOXLET_SOUND_SERVER must be pulseaudio or pipewire, not '$VOXLET_SOUND_SERVER'" >&2
        return 1
        ;;
    esac
}

# The programs the chosen sound server needs.
svc_sound_tools() {
    case $(svc_sound_kind) in
    pipewire) echo pipewire wireplumber pipewire-pulse dbus-daemon pactl ;;
    *) echo pulseaudio pactl ;;
    esac
}

# What a client of the sound server in folder $1 needs; no starting of
# another server when it is gone. PipeWire's own clients (WirePlumber) find
# their server and keep their state under the same folder.
svc_sound_env() {
    echo "XDG_RUNTIME_DIR=$1/xdg"
    echo "PULSE_RUNTIME_PATH=$1/xdg/pulse"
    echo "PULSE_SERVER=unix:$1/xdg/pulse/native"
    echo "PULSE_CLIENTCONFIG=$1/client.conf"
    if [ "$(svc_sound_kind)" = pipewire ]; then
        echo "PIPEWIRE_RUNTIME_DIR=$1/xdg"
        echo "XDG_STATE_HOME=$1/state"
        echo "XDG_CONFIG_HOME=$1/config"
    fi
}

# Whether the sound server of folder $1 answers and has its devices.
svc_sound_ready() {
    [ -S "$1/xdg/pulse/native" ] || return 1
    [ "$(svc_sound_kind)" != pipewire ] || [ -e "$1/ready" ] || return 1
    (svc_export_sound_env "$1" && timeout 5 pactl info >/dev/null 2>&1)
}

svc_export_sound_env() {
    local key value
    while IFS='=' read -r key value; do
        export "$key=$value"
    done < <(svc_sound_env "$1")
}

# Runs the sound server of folder $1 with the devices "${@:2}" in the
# foreground (it replaces the shell).
svc_sound_server() {
    local dir=$1
    shift
    mkdir -p "$dir/xdg/pulse" && chmod 700 "$dir/xdg" "$dir/xdg/pulse" || return 1
    svc_pa_config "$@" >"$dir/voxlet.pa" || return 1
    printf 'autospawn = no\n' >"$dir/client.conf"
    svc_export_sound_env "$dir"
    if [ "$(svc_sound_kind)" = pipewire ]; then
        svc_pipewire "$dir"
        return
    fi
    # Off the display and the session bus: no X11 modules, and a second
    # server (such as a test's own) could not take the same bus name.
    # Shared memory once crashed the daemon here (memfd assertion).
    exec env -u DISPLAY -u DBUS_SESSION_BUS_ADDRESS pulseaudio -n -F "$dir/voxlet.pa" --daemonize=no \
        --exit-idle-time=-1 --disable-shm=yes --log-target=file:"$dir/pa.log"
}

# PipeWire, WirePlumber and pipewire-pulse for folder $1, with the devices
# of $1/voxlet.pa made through pipewire-pulse as PulseAudio would load them;
# $1/ready appears once they are there. Runs until one of them ends or it is
# told to stop, and takes the others with it. WirePlumber needs a session
# bus: a private one, so that nothing of the desktop (or of another run)
# sees these devices.
svc_pipewire() {
    local dir=$1 pids=() line
    mkdir -p "$dir/state" "$dir/config" || return 1
    # A restart finds the last run's bus address: it must not be read.
    rm -f "$dir/ready" "$dir/bus" "$dir/xdg/pipewire-0" "$dir/xdg/voxlet-setup" "$dir/xdg/voxlet-setup.lock" \
        "$dir/xdg/pulse/native"
    trap 'kill "${pids[@]}" 2>/dev/null; wait; exit 0' TERM INT HUP
    unset DISPLAY DBUS_SESSION_BUS_ADDRESS
    dbus-daemon --session --nofork --print-address=1 >"$dir/bus" 2>>"$dir/pw.log" &
    pids+=($!)
    for _ in $(seq 400); do
        DBUS_SESSION_BUS_ADDRESS=$(grep -m 1 '^unix:' "$dir/bus" 2>/dev/null) && break
        kill -0 "${pids[0]}" 2>/dev/null || break
        sleep 0.05
    done
    if [ -z "$DBUS_SESSION_BUS_ADDRESS" ]; then
        echo "no session bus for WirePlumber" >>"$dir/pw.log"
        kill "${pids[@]}" 2>/dev/null
        return 1
    fi
    export DBUS_SESSION_BUS_ADDRESS
    # Both servers listen where the clients do not look until the devices
    # are there: a client that came first would be linked to whatever device
    # there is, as the session manager does with a target it does not know
    # yet. PipeWire's own socket first, for WirePlumber and pipewire-pulse.
    PIPEWIRE_CORE=voxlet-setup pipewire >>"$dir/pw.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do [ -S "$dir/xdg/voxlet-setup" ] && break; sleep 0.05; done
    export PIPEWIRE_REMOTE=voxlet-setup
    wireplumber >>"$dir/wireplumber.log" 2>&1 &
    pids+=($!)
    mkdir -p "$dir/config/pipewire/pipewire-pulse.conf.d"
    printf 'pulse.properties = { server.address = [ "unix:%s" ] }\n' "$dir/setup.sock" \
        >"$dir/config/pipewire/pipewire-pulse.conf.d/voxlet.conf"
    rm -f "$dir/setup.sock"
    pipewire-pulse >>"$dir/pw.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 200); do PULSE_SERVER="unix:$dir/setup.sock" timeout 5 pactl info >/dev/null 2>&1 && break; sleep 0.05; done
    # The devices, one command each; the native protocol is pipewire-pulse's own.
    while read -r line; do
        [[ $line == "load-module module-native-protocol-unix"* ]] && continue
        read -ra words <<<"$line"
        # Defaults live in WirePlumber's metadata, which may not be there
        # yet: pipewire-pulse answers "Not supported" until it is.
        local tries=1
        [[ $line == set-default-* ]] && tries=100
        until PULSE_SERVER="unix:$dir/setup.sock" pactl "${words[@]}" >>"$dir/pw.log" 2>&1; do
            ((--tries > 0)) || { echo "could not: $line" >>"$dir/pw.log" && break; }
            sleep 0.1
        done
    done <"$dir/voxlet.pa"
    ln -sf "$dir/setup.sock" "$dir/xdg/pulse/native"
    ln -sf voxlet-setup "$dir/xdg/pipewire-0"
    : >"$dir/ready"
    wait -n
    kill "${pids[@]}" 2>/dev/null
    wait
}

# Reads source $1 at a short latency, for ever: a remapped source gives a new
# reader nothing for a second or two unless someone already reads it, and an
# idle null sink renders in two-second steps.
svc_keep_reading_one() {
    exec parec --latency-msec=20 -d "$1" --rate=8000 --channels=1 --format=s16le --raw >/dev/null
}

# Runs a Redis store on the socket $1/redis.sock (no TCP port, nothing saved)
# in the foreground; "${@:2}" are further options.
svc_redis_server() {
    local dir=$1
    shift
    rm -f "$dir/redis.sock"
    exec redis-server --port 0 --unixsocket "$dir/redis.sock" --save '' --appendonly no --dir "$dir" "$@"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -u
    case ${1:-} in
    sound-env) svc_sound_env "$2" ;;
    sound-server) shift && svc_sound_server "$@" ;;
    sound-ready) svc_sound_ready "$2" ;;
    keep-reading) svc_keep_reading_one "$2" ;;
    redis-server) shift && svc_redis_server "$@" ;;
    *)
        echo "usage: $0 sound-env DIR | sound-server DIR [DEVICE...] | sound-ready DIR | keep-reading SOURCE" \
            "| redis-server DIR [OPTION...]" >&2
        exit 2
        ;;
    esac
    exit
fi

# ---- sourced ----------------------------------------------------------------

: "${svc_dir:=$(mktemp -d /tmp/voxlet-services.XXXXXX)}"
mkdir -p "$svc_dir"
svc_groups=()

svc_start() {
    local log=$1
    shift
    setsid "$@" >"$log" 2>&1 &
    svc_pid=$!
    svc_groups+=("$svc_pid")
}

svc_stop() {
    local i pid
    for ((i = ${#svc_groups[@]} - 1; i >= 0; i--)); do
        pid=${svc_groups[i]}
        kill -TERM -- "-$pid" 2>/dev/null || continue
        for _ in $(seq 50); do
            kill -0 -- "-$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL -- "-$pid" 2>/dev/null || true
    done
    svc_groups=()
    rm -rf "$svc_dir"
}

# Waits up to $1 seconds for the command "${@:2}" to succeed.
svc_wait() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS >= end)) && return 1
        sleep 0.1
    done
}

svc_need() {
    local t
    for t in "$@"; do
        command -v "$t" >/dev/null 2>&1 || {
            echo "$t is missing (see scripts/packages.d/base.txt)" >&2
            return 1
        }
    done
}

svc_display_answers() {
    timeout 5 xdpyinfo >/dev/null 2>&1
}

svc_display() {
    if [ "${1:-}" = --reuse ] && [ -n "${DISPLAY:-}" ] && svc_need xdpyinfo 2>/dev/null && svc_display_answers; then
        return 0
    fi
    svc_need Xvfb xdpyinfo || return 1
    # The number is ours to choose: Xvfb's own choice (-displayfd) looks only
    # at the sockets of its network namespace, and one started in another
    # (a test run under unshare) would take over the socket file of ours.
    # Numbers from 10 up, one choice at a time, none whose file exists.
    local n=10 lock
    exec {lock}>/tmp/.voxlet-display.lock
    flock "$lock"
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    # -noreset: a server that resets when its last client leaves refuses the
    # clients that connect meanwhile, and the tests share one display.
    svc_start "$svc_dir/xvfb.log" Xvfb ":$n" -noreset -screen 0 1024x768x24 -nolisten tcp
    svc_wait 10 test -S "/tmp/.X11-unix/X$n"
    local up=$?
    flock -u "$lock"
    exec {lock}>&-
    [ $up -eq 0 ] || {
        echo "Xvfb did not start:" >&2
        cat "$svc_dir/xvfb.log" >&2
        return 1
    }
    DISPLAY=":$n"
    export DISPLAY
    svc_wait 10 svc_display_answers || {
        echo "the private display $DISPLAY does not answer" >&2
        return 1
    }
}

svc_session_bus() {
    svc_need dbus-daemon || return 1
    svc_start "$svc_dir/dbus.log" dbus-daemon --session --nofork --print-address=1
    svc_wait 10 grep -q '^unix:' "$svc_dir/dbus.log" || {
        echo "no session bus:" >&2
        cat "$svc_dir/dbus.log" >&2
        return 1
    }
    DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$svc_dir/dbus.log")
    export DBUS_SESSION_BUS_ADDRESS
}

# Qt and the accessibility tools both find the accessibility bus through the
# session bus.
svc_accessibility() {
    svc_need dbus-send || return 1
    [ -x /usr/libexec/at-spi-bus-launcher ] || {
        echo "at-spi-bus-launcher is missing (at-spi2-core)" >&2
        return 1
    }
    mkdir -p "$svc_dir/a11y" && chmod 700 "$svc_dir/a11y"
    svc_start "$svc_dir/a11y.log" env XDG_RUNTIME_DIR="$svc_dir/a11y" \
        /usr/libexec/at-spi-bus-launcher --launch-immediately
    svc_wait 10 timeout 5 dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
        org.a11y.Bus.GetAddress >/dev/null 2>&1 || {
        echo "no accessibility bus:" >&2
        cat "$svc_dir/a11y.log" >&2
        return 1
    }
}

svc_sound_answers() {
    timeout 5 pactl info >/dev/null 2>&1
}

svc_sound() {
    if [ "${1:-}" = --reuse ]; then
        shift
        svc_need pactl 2>/dev/null && svc_sound_answers && return 0
    fi
    local tools
    tools=$(svc_sound_tools) || return 1
    # shellcheck disable=SC2086
    svc_need $tools || return 1
    svc_pa_config "$@" >/dev/null || return 1
    svc_export_sound_env "$svc_dir/sound"
    svc_start "$svc_dir/pulseaudio.log" bash "$svc_script" sound-server "$svc_dir/sound" "$@"
    svc_wait 15 svc_sound_ready "$svc_dir/sound" || {
        echo "the sound server ($(svc_sound_kind)) did not start:" >&2
        cat "$svc_dir/pulseaudio.log" "$svc_dir/sound/pa.log" "$svc_dir/sound/pw.log" >&2 2>/dev/null
        return 1
    }
}

svc_keep_reading() {
    local source
    svc_need parec || return 1
    for source in "$@"; do
        svc_start /dev/null bash "$svc_script" keep-reading "$source"
    done
}

svc_redis_answers() {
    redis-cli -s "$svc_redis_socket" ping >/dev/null 2>&1
}

svc_redis() {
    svc_need redis-server redis-cli || return 1
    mkdir -p "$svc_dir/redis"
    svc_redis_socket=$svc_dir/redis/redis.sock
    svc_start "$svc_dir/redis.log" bash "$svc_script" redis-server "$svc_dir/redis"
    svc_wait 10 svc_redis_answers || {
        echo "Redis did not start:" >&2
        cat "$svc_dir/redis.log" >&2
        return 1
    }
}
