#!/usr/bin/env bash
# Runs a command with a private Wine environment: its own prefix, scratch HOME and Xvfb display, all
# removed or stopped (by PID) afterwards; the same environment the end-to-end harness gives each case.
# Usage: scripts/wine-env.sh COMMAND [ARGS...]. ORVANE_KEEP_PREFIX=1 keeps the scratch folder.
exec python3 "$(dirname "$0")/e2e/wine_env.py" "$@"
