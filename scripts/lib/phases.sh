# Sourced by scripts/test: names the phases of a long run and prints each one's wall time at the
# end, so that a slow build or test phase shows where CI's time goes.
VANTREL_PHASES=()
VANTREL_PHASE_NAME=""
VANTREL_PHASE_START=0
VANTREL_RUN_START=$SECONDS

_phase_close() {
    [ -n "$VANTREL_PHASE_NAME" ] || return 0
    VANTREL_PHASES+=("$(printf '%6ds  %s' $((SECONDS - VANTREL_PHASE_START)) "$VANTREL_PHASE_NAME")")
    VANTREL_PHASE_NAME=""
}

# phase NAME: ends the running phase and starts the next.
phase() {
    _phase_close
    VANTREL_PHASE_NAME=$1
    VANTREL_PHASE_START=$SECONDS
    echo "== $1 =="
}

phase_summary() {
    _phase_close
    echo "== Wall time per phase =="
    local line
    for line in "${VANTREL_PHASES[@]}"; do
        echo "$line"
    done
    printf '%6ds  %s\n' $((SECONDS - VANTREL_RUN_START)) "in all"
}
