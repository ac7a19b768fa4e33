#!/usr/bin/env bash
# Sourced by test.sh (and before running ctest by hand): a virtual display, a
# session bus and a sound server with virtual devices, all private to this
# shell, stopped when it exits.
source "$(dirname "${BASH_SOURCE[0]}")/services.sh"
trap svc_stop EXIT
svc_display || echo "warning: no private display; the tests that need one skip" >&2
svc_session_bus || echo "warning: no private session bus" >&2
if svc_sound; then
    svc_keep_reading mic
else
    echo "warning: no private sound server; the tests that need one skip" >&2
fi
export VOXLET_TEST_SERVICES=1
