#!/bin/sh
# Prints the text of ftq(1) in the shape cmake/help-to-man.awk reads: ftq's
# own help text, taken from the program itself on the simulated board (the
# build machine has no board), and the README's description of the whole run
# and of the exit statuses, so that the page says what both say.
# Usage: ftq-help-text.sh FTQ-SIM README
set -eu
sim=$1
readme=$2

# The README section under the heading "### $1", up to the next heading,
# without Markdown's marks; "- X: text" items become "  X  text" entries.
section() {
    text=$(awk -v heading="### $1" '
        $0 == heading { on = 1; next }
        on && /^#/ { exit }
        on' "$readme" | sed -e 's/`//g' -e 's/\*\*//g' -E -e 's/^- ([^:]+): /  \1  /')
    if [ -z "$(printf '%s' "$text" | tr -d '[:space:]')" ]; then
        echo "ftq-help-text.sh: $readme has no section \"### $1\"" >&2
        exit 1
    fi
    printf '%s\n' "$text"
}

# The first line is the board type the program prints before anything else:
# it belongs to the board, not to the help.
help=$("$sim" --raw -- -h 2> /dev/null | tail -n +2 | expand)
case $help in
*"ftq -h or ftq --help"*) ;;
*)
    echo "ftq-help-text.sh: $sim --raw -- -h printed no help text" >&2
    exit 1
    ;;
esac

echo "usage: ftq [-o N | -O N | -h | --help]"
echo
section "What ftq does"
echo
echo "help text:"
printf '%s\n' "$help" | sed -e 's/^/| /' -e 's/ *$//'
echo
echo "the whole run:"
section "The whole run"
echo
echo "exit status:"
section "Exit status"
echo
echo "see also:"
echo "  ftq-sim(1)  runs ftq on a simulated board"
