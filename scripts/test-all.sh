#!/usr/bin/env bash
# The whole test run, from a clean clone: installs what is missing, then builds and tests the
# Linux, sanitizer, Windows (under Wine) and fuzzing presets one after the other.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh

presets=(${ORBTRAY_PRESETS:-linux linux-asan windows fuzz})
for preset in "${presets[@]}"; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
echo "=== all presets passed: ${presets[*]} ==="
