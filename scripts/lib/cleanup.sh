# shellcheck shell=bash
# One exit trap per shell, run on success, on failure and on Ctrl-C, kill or
# hang-up: whatever starts something registers how to end it first, before
# it starts it. Steps run last registered first.
# Usage: cleanup_push 'COMMAND...'
#
# A subshell inherits the list but not the trap; each step belongs to the
# shell that registered it, so a subshell's exit runs only its own steps.

CLEANUP_STEPS=()

cleanup_push() {
  CLEANUP_STEPS+=("$BASHPID $1")
  # bash runs the EXIT trap on a death by signal too.
  trap cleanup_run EXIT
}

cleanup_run() {
  local status=$? i step
  for ((i = ${#CLEANUP_STEPS[@]} - 1; i >= 0; i--)); do
    step=${CLEANUP_STEPS[i]}
    if [ "${step%% *}" = "$BASHPID" ]; then
      unset 'CLEANUP_STEPS[i]'
      eval "${step#* }" || true
    fi
  done
  CLEANUP_STEPS=("${CLEANUP_STEPS[@]}")
  return "$status"
}
