#!/usr/bin/env bash
# The whole test run, from a clean clone: installs what is missing, then builds and tests the
# Linux, sanitizer, Windows (under Wine) and fuzzing presets one after the other.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/install-deps.sh

# ThreadSanitizer runs what has threads racing: the store under many links, the listeners and
# workers, and the real orbtray under load. A race report makes the process exit non-zero.
declare -A only=([linux-tsan]='unit|link|integration')
export TSAN_OPTIONS="${TSAN_OPTIONS:-second_deadlock_stack=1}"

presets=(${ORBTRAY_PRESETS:-linux linux-asan linux-tsan windows fuzz})
for preset in "${presets[@]}"; do
    echo "=== $preset ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" ${only[$preset]:+-R "${only[$preset]}"}
done
echo "=== all presets passed: ${presets[*]} ==="
