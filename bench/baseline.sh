#!/usr/bin/env bash
# The benchmark's baseline: one round of the service's child commands run back to back from a
# plain shell, each command line in a login zsh with the runner's two preamble lines, from the
# home directory, both of its streams kept in files (no subshell, so the shell adds as little as
# it can).
#   baseline.sh COMMAND...   prints the round's wall time in microseconds
set -u
export LC_ALL=C
cd "$HOME" || exit 1
preamble='export TERM=dumb; source ~/.zshrc >/dev/null 2>/dev/null || true'
output=$(mktemp)
errors=$(mktemp)
trap 'rm -f "$output" "$errors"' EXIT
start=$EPOCHREALTIME
for command in "$@"; do
    /bin/zsh -lc "$preamble; $command" >"$output" 2>"$errors" </dev/null || exit 1
done
end=$EPOCHREALTIME
echo $((${end/./} - ${start/./}))
