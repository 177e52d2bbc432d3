#!/usr/bin/env bash
# Praat is the independent reader and writer of the interop tests; they skip
# where it is missing, so a failed install costs coverage, not the run.
set -uo pipefail
command -v praat >/dev/null 2>&1 && exit 0
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update -qq && apt-get install -y -qq praat >/dev/null; }; then
    echo "praat not installed: the interop tests will skip"
fi
exit 0
