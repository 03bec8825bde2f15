# Turns NEWS.md into a Debian changelog for one package. Variables:
# package, maintainer ("Name <address>"). A release heading
# "## VERSION (YYYY-MM-DD)" starts an entry; each "- " item becomes a "  * "
# item, its continuation lines joined and wrapped under it.
function flush_item() {
    if (item == "")
        return
    n = split(item, words, " ")
    line = "  *"
    for (i = 1; i <= n; i++) {
        if (length(line) + 1 + length(words[i]) > 78) {
            print line
            line = "   "
        }
        line = line " " words[i]
    }
    print line
    item = ""
}
function close_entry() {
    flush_item()
    if (date == "")
        return
    cmd = "date -u -R -d " date
    stamp = ""
    cmd | getline stamp
    close(cmd)
    if (stamp == "") {
        print "news-to-changelog: cannot read the date " date > "/dev/stderr"
        exit 1
    }
    print ""
    print " -- " maintainer "  " stamp
    date = ""
}
/^## [0-9][^ ]* \([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\)$/ {
    close_entry()
    if (entries++)
        print ""
    version = $2
    date = substr($3, 2, 10)
    print package " (" version ") unstable; urgency=medium"
    print ""
    next
}
date == "" { next }
/^- / {
    flush_item()
    item = substr($0, 3)
    next
}
/^  +[^ ]/ && item != "" {
    sub(/^ +/, "")
    item = item " " $0
    next
}
/^$/ { flush_item(); next }
END {
    close_entry()
    if (!entries) {
        print "news-to-changelog: no release heading in NEWS.md" > "/dev/stderr"
        exit 1
    }
}
