#!/usr/bin/env bash
# Installs what is missing, builds the optimised Linux receiver and runs it in the foreground.
# Arguments go to orbtray (see orbtray --help); Ctrl+C stops it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh --run
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target orbtray orbsim >/dev/null
exec build/linux-release/src/app/orbtray "$@"
