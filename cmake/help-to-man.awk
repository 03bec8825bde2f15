# Turns the text of `ftq-sim --help` into its man page (roff, section 1),
# so that the two say the same. The help text's shape:
#   usage: ...                     -> SYNOPSIS
#   the prose after it             -> DESCRIPTION
#   heading:  (unindented, alone)  -> a section named in capitals
#   "  TERM  text" (indent 2, a gap of two blanks or more) -> a tagged entry
#   lines indented further         -> continue the entry
#   "| text" (or "|" alone)        -> text kept as it is, line by line
#   other lines                    -> prose; a blank line ends a paragraph
# Variables: name, section, version, whatis (the NAME line's text).
function roff(s) {
    gsub(/\\/, "\\e", s)
    gsub(/-/, "\\-", s)
    if (s ~ /^[.']/)
        s = "\\&" s
    return s
}
BEGIN {
    print ".\\\" Generated from the help text of " name " by cmake/help-to-man.awk: do not edit."
    print ".TH " toupper(name) " " section " \"\" \"ftq " version "\" \"User Commands\""
    print ".nh"
    print ".ad l"
    print ".SH NAME"
    print roff(name) " \\- " roff(whatis)
    described = 0
}
NR == 1 && /^usage: / {
    print ".SH SYNOPSIS"
    print roff(substr($0, 8))
    next
}
# Leaving a block kept as it is.
literal && !/^\|( |$)/ {
    print ".fi"
    literal = 0
}
/^$/ { paragraph = 1; next }
/^[a-z][a-z ]*:$/ {
    paragraph = 0
    print ".SH " toupper(substr($0, 1, length($0) - 1))
    described = 1
    next
}
{
    if (!described) {
        print ".SH DESCRIPTION"
        described = 1
        paragraph = 0
    }
    if (paragraph)
        print ".PP"
    paragraph = 0
}
/^\|( |$)/ {
    if (!literal)
        print ".nf"
    literal = 1
    print roff(substr($0, 3))
    next
}
/^  [^ ]/ && match(substr($0, 3), /[^ ]  +/) {
    line = substr($0, 3)
    term = substr(line, 1, RSTART)
    text = substr(line, RSTART + RLENGTH)
    print ".TP"
    print "\\fB" roff(term) "\\fR"
    print roff(text)
    next
}
{
    sub(/^ +/, "")
    print roff($0)
}
END {
    if (literal)
        print ".fi"
}
