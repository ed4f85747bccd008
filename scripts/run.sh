#!/usr/bin/env bash
# Installs what is missing, builds the optimised Linux receiver and runs it in the foreground.
# Arguments go to orbtray (see orbtray --help); Ctrl+C stops it.
#
# A first run builds for several minutes: every step says what it does, and the build shows how
# far it is, so that it never looks hung. All of it goes to standard error, which leaves standard
# output to orbtray alone.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

doing=""
step() {
    doing="$1"
    printf 'run.sh: %s\n' "$1" >&2
}
trap 'printf "run.sh: failed while %s\n" "$doing" >&2' ERR

step "checking the build tools (apt-get installs the missing ones)"
bash scripts/install-deps.sh --run >&2

step "configuring the optimised build in build/linux-release"
cmake --preset linux-release >&2

step "building orbtray and orbsim (a first build takes a few minutes)"
started=$SECONDS
# Ninja's status line with the share of the build done: "[ 42% 35/82] Building ...".
NINJA_STATUS='[%p %f/%t] ' cmake --build --preset linux-release --target orbtray orbsim >&2
printf 'run.sh: built in %d s\n' $((SECONDS - started)) >&2

step "starting orbtray${*:+ $*} (Ctrl+C stops it)"
trap - ERR
exec build/linux-release/src/app/orbtray "$@"
