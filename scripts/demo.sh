#!/usr/bin/env bash
# The README's run command: sets the machine up on first use (scripts/build.sh),
# writes the synthetic two-camera example (4 frames of a plate stretched up to
# 1 % while it moves), measures it with `dicpipe run` and compares the results
# with the example's known deformation. Everything goes to out/example.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/build.sh"
export PATH="$root/.venv/bin:$PATH"
rm -rf out/example
dicpipe example out/example
dicpipe run out/example/experiment.toml
python -m dicpipe.synthetic.check out/example
