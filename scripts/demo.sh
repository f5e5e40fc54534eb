#!/usr/bin/env bash
# Builds the project into .venv (scripts/build.sh) and runs the two-camera
# demo; figures, the strain mesh and a summary table go to out/demo. Extra
# arguments go to the demo, e.g. --cameras 3, --curved, --size 640x512.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/build.sh"
exec "$root/.venv/bin/python" -m dicpipe.demo --out out/demo "$@"
