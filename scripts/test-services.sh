#!/usr/bin/env bash
# Sourced by test.sh: starts a virtual display, a session bus with the
# accessibility bus, and a sound server with virtual devices, all private to
# this run, and stops them on exit.
svc_dir=$(mktemp -d /tmp/voxlet-test.XXXXXX)
svc_pids=()
svc_stop() {
  for p in "${svc_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -n "${PULSE_PID:-}" ] && kill "$PULSE_PID" 2>/dev/null || true
  rm -rf "$svc_dir"
}
trap svc_stop EXIT

# Display
for n in $(seq 90 120); do
  [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] || { disp=$n; break; }
done
Xvfb ":$disp" -screen 0 1024x768x24 -nolisten tcp >"$svc_dir/xvfb.log" 2>&1 &
svc_pids+=($!)
export DISPLAY=":$disp"
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

# Session bus (accessibility tests talk over it)
if command -v dbus-daemon >/dev/null; then
  { read -r DBUS_SESSION_BUS_ADDRESS; read -r bus_pid; } < <(dbus-daemon --session --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS
  svc_pids+=("$bus_pid")
fi

# Sound server with a virtual speaker (kept off the session bus, where a
# second server, such as a test's own, could not take the same bus name) and a microphone fed from a sink
export XDG_RUNTIME_DIR="$svc_dir/xdg"
export PULSE_RUNTIME_PATH="$XDG_RUNTIME_DIR/pulse"
mkdir -p "$PULSE_RUNTIME_PATH" && chmod 700 "$XDG_RUNTIME_DIR" "$PULSE_RUNTIME_PATH"
cat >"$svc_dir/test.pa" <<'PA'
load-module module-native-protocol-unix auth-anonymous=1
load-module module-null-sink sink_name=speaker
load-module module-null-sink sink_name=micsink rate=8000 channels=1
load-module module-remap-source source_name=mic master=micsink.monitor
set-default-sink speaker
set-default-source mic
PA
if command -v pulseaudio >/dev/null; then
  env -u DISPLAY -u DBUS_SESSION_BUS_ADDRESS pulseaudio -D -n -F "$svc_dir/test.pa" --exit-idle-time=-1 --disable-shm=yes \
      --log-target=file:"$svc_dir/pa.log" && PULSE_PID=$(cat "$PULSE_RUNTIME_PATH/pid" 2>/dev/null || true)
  # A new reader of the remapped source gets nothing for a second or two; keep one reading.
  (parec --latency-msec=20 -d mic --raw >/dev/null 2>&1 &) ; svc_pids+=($(pgrep -n parec || true))
fi
export VOXLET_TEST_SERVICES=1
