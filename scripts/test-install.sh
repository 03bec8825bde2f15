#!/usr/bin/env bash
# Checks the installation and the two DEB packages (scripts/package.sh):
#  1. ftq-sim installed into a DESTDIR and the tree moved elsewhere runs the
#     catalog from there (--list, --scenario healthy-type2);
#  2. the catalog lookup order with real trees: $FTQ_SCENARIOS, the share
#     folder next to the binary, the source tree from a build folder, and
#     exit status 2 naming every folder tried when none is there;
#  3. the man pages: ftq-sim(1) says what ftq-sim --help says, ftq(1) what
#     ftq -h says, both compressed;
#  4. dpkg-deb --info and --contents of both packages (architecture,
#     dependencies, files, stripped binaries, copyright and changelog);
#  5. lintian on both packages: no error, and no warning that the package's
#     overrides (cmake/lintian/, each with its reason) do not list;
#  6. the amd64 package installs with dpkg -i, ftq-sim runs from the PATH,
#     man ftq and man ftq-sim show the installed pages, and dpkg --purge
#     leaves nothing behind (needs root or sudo; skipped with --no-dpkg, for
#     a machine where ftq-sim is installed).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
started=$(date +%s)

with_dpkg=1
[ "${1:-}" = "--no-dpkg" ] && with_dpkg=0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
need=()
command -v groff > /dev/null || need+=(groff-base)
command -v col > /dev/null || need+=(bsdextrautils)
command -v lintian > /dev/null || need+=(lintian)
command -v man > /dev/null || need+=(man-db)
if [ ${#need[@]} -gt 0 ]; then
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi

./scripts/package.sh

tmp=$(mktemp -d /tmp/ftq-test-install.XXXXXX)
installed=0
cleanup() {
    if [ "$installed" -eq 1 ]; then
        $SUDO dpkg --purge ftq-sim > /dev/null || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT

checks=0
last=""
fail() {
    echo "test-install: FAILED: $*" >&2
    if [ -n "$last" ]; then
        echo "--- standard output of $last:" >&2
        head -20 "$tmp/$last.out" >&2 || true
        echo "--- standard error of $last:" >&2
        head -20 "$tmp/$last.err" >&2 || true
    fi
    exit 1
}
ok() {
    checks=$((checks + 1))
    echo "ok: $*"
}
# run ID COMMAND...: in an unrelated folder, standard output and error in
# $tmp/ID.out and $tmp/ID.err, exit status in $status.
run() {
    last=$1
    shift
    set +e
    (cd "$tmp/elsewhere" && "$@") > "$tmp/$last.out" 2> "$tmp/$last.err" < /dev/null
    status=$?
    set -e
}
expect_status() {
    [ "$status" -eq "$1" ] || fail "$last: exit status $status, expected $1"
}
# expect_line ID.out|ID.err TEXT: a line of the file is exactly TEXT.
expect_line() {
    grep -qxF -- "$2" "$tmp/$1" || fail "$1 has no line '$2'"
}
expect_text() {
    grep -qF -- "$2" "$tmp/$1" || fail "$1 does not say '$2'"
}
count_json() {
    find "$1" -maxdepth 1 -name "*.json" | wc -l
}
mkdir -p "$tmp/elsewhere"
unset FTQ_SCENARIOS

# The source tree's catalog, as the tests and ./scripts/run.sh see it.
build_sim=$repo/build/host/ftq-sim
run source "$build_sim" --list
expect_status 0
expect_line source.err "catalog: $repo/scenarios (the source tree of the build folder $repo/build/host)"
cp "$tmp/source.out" "$tmp/list.expected"
[ "$(wc -l < "$tmp/list.expected")" -eq "$(count_json scenarios)" ] ||
    fail "--list does not list every scenarios/*.json"
ok "from the build folder, --list reads the source tree's scenarios/ and says so on standard error"

# 1. Install into a DESTDIR, move the tree, run from there.
DESTDIR=$tmp/stage cmake --install build/host --prefix /usr --strip > /dev/null
mkdir -p "$tmp/moved"
mv "$tmp/stage/usr" "$tmp/moved/ftq"
tree=$tmp/moved/ftq
sim=$tree/bin/ftq-sim
share=$tree/share/ftq/scenarios
for f in bin/ftq-sim share/man/man1/ftq-sim.1.gz share/man/man1/ftq.1.gz \
    bin/ftq-record share/man/man1/ftq-record.1.gz \
    share/ftq/scenarios/healthy-type2.json share/ftq/scenarios/healthy-type2.expected \
    share/doc/ftq-sim/scenario.md share/doc/ftq-sim/trace.md share/doc/ftq-sim/result.md \
    share/doc/ftq-sim/timeline.gtkw share/doc/ftq-sim/copyright share/doc/ftq-sim/changelog.gz; do
    [ -f "$tree/$f" ] || fail "the installed tree lacks $f"
done
[ "$(count_json "$share")" -eq "$(count_json scenarios)" ] ||
    fail "the installed catalog does not hold every scenario"
[ ! -e "$tree/share/doc/ftq" ] || fail "the docs of ftq-sim are also in share/doc/ftq"
ok "cmake --install: ftq-sim, its man pages, the catalog and docs/ with the GTKWave view in share/doc/ftq-sim"

run moved-list "$sim" --list
expect_status 0
expect_line moved-list.err "catalog: $share (the share folder of the installed ftq-sim)"
cmp -s "$tmp/moved-list.out" "$tmp/list.expected" || fail "the moved tree lists another catalog"
ok "moved tree: --list reads $share"

run moved-run "$sim" --scenario healthy-type2
expect_status 0
cmp -s "$tmp/moved-run.out" scenarios/healthy-type2.expected ||
    fail "moved tree: --scenario healthy-type2 differs from scenarios/healthy-type2.expected"
ok "moved tree: --scenario healthy-type2 shows exactly its expected transcript"

# 2. The lookup order.
mkdir -p "$tmp/own"
cp scenarios/healthy-type2.json "$tmp/own/mine.json"
run env-list env FTQ_SCENARIOS="$tmp/own" "$sim" --list
expect_status 0
expect_line env-list.err "catalog: $tmp/own (FTQ_SCENARIOS)"
[ "$(cut -d' ' -f1 "$tmp/env-list.out")" = mine ] || fail "FTQ_SCENARIOS: --list shows another catalog"
run env-run env FTQ_SCENARIOS="$tmp/own" "$sim" --scenario mine
expect_status 0
cmp -s "$tmp/env-run.out" scenarios/healthy-type2.expected || fail "FTQ_SCENARIOS: --scenario mine"
run env-build env FTQ_SCENARIOS="$tmp/own" "$build_sim" --list
expect_line env-build.err "catalog: $tmp/own (FTQ_SCENARIOS)"
ok "FTQ_SCENARIOS comes first, before the share folder and before the source tree"

run env-missing env FTQ_SCENARIOS="$tmp/none" "$sim" --list
expect_status 0
expect_line env-missing.err "ftq-sim: FTQ_SCENARIOS=$tmp/none is not a folder; the catalog is $share"
expect_line env-missing.err "catalog: $share (the share folder of the installed ftq-sim)"
ok "FTQ_SCENARIOS naming no folder: a warning, then the share folder"

mkdir -p "$tmp/fakebuild"
cp "$build_sim" "$tmp/fakebuild/"
touch "$tmp/fakebuild/CMakeCache.txt"
run fakebuild "$tmp/fakebuild/ftq-sim" --list
expect_status 0
expect_line fakebuild.err "catalog: $repo/scenarios (the source tree of the build folder $tmp/fakebuild)"
rm "$tmp/fakebuild/CMakeCache.txt"
run nobuild "$tmp/fakebuild/ftq-sim" --list
expect_status 2
expect_text nobuild.err "$tmp/share/ftq/scenarios (the share folder of the installed ftq-sim)"
if grep -qF "$repo/scenarios (" "$tmp/nobuild.err"; then
    fail "a binary outside a build folder tried the source tree"
fi
ok "the source tree counts from a build folder (CMakeCache.txt next to the binary) only"

mv "$share" "$tmp/catalog-away"
for args in "--list" "--scenario healthy-type2"; do
    # shellcheck disable=SC2086
    run missing env FTQ_SCENARIOS="$tmp/none" "$sim" $args
    expect_status 2
    expect_line missing.err "ftq-sim: no scenario catalog found; tried:"
    expect_line missing.err "  $tmp/none (FTQ_SCENARIOS)"
    expect_line missing.err "  $share (the share folder of the installed ftq-sim)"
    [ ! -s "$tmp/missing.out" ] || fail "missing catalog: something on standard output"
done
run missing-file "$sim" --scenario "$tmp/own/mine.json"
expect_status 0
mv "$tmp/catalog-away" "$share"
ok "no catalog: exit status 2 naming every folder tried; a scenario file needs no catalog"

run no-name "$sim" --scenario no-such-scenario
expect_status 2
expect_text no-name.err "no scenario of that name in the catalog $share"
ok "an unknown scenario name: exit status 2 naming the catalog"

# 3. The man page and --help say the same: the rendered page without its
# NAME section, headings and page footer has the words of --help without
# its headings.
help_words() {
    "$1" --help | grep -vE '^[a-z][a-z ]*:$' | sed '1s/^usage: //' | tr -s ' \t' '\n' | grep -v '^$'
}
man_words() {
    zcat "$1" | groff -man -Tascii 2> /dev/null | col -bx | sed -n '/^SYNOPSIS$/,$p' |
        grep -vE '^[A-Z][A-Z ]*$|FTQ-SIM\(1\)$' | tr -s ' \t' '\n' | grep -v '^$'
}
help_words "$sim" > "$tmp/help.words"
man_words "$tree/share/man/man1/ftq-sim.1.gz" > "$tmp/man.words"
[ "$(wc -l < "$tmp/help.words")" -gt 100 ] || fail "ftq-sim --help is too short"
diff "$tmp/help.words" "$tmp/man.words" > "$tmp/help-man.diff" ||
    fail "the man page and ftq-sim --help differ (words, - help + man):
$(head -20 "$tmp/help-man.diff")"
zcat "$tree/share/man/man1/ftq-sim.1.gz" |
    grep -qx 'ftq\\-sim \\- run the factory test program ftq on a simulated board' ||
    fail "the man page has no NAME line"
ok "the man page says word for word what ftq-sim --help says"

# ftq(1): ftq's own help text, line by line, and the README's exit statuses.
zcat "$tree/share/man/man1/ftq.1.gz" | groff -man -Tascii 2> /dev/null | col -bx > "$tmp/ftq.man"
"$sim" --raw -- -h 2> /dev/null | tail -n +2 | expand | sed 's/ *$//' > "$tmp/ftq.help"
[ "$(wc -l < "$tmp/ftq.help")" -gt 10 ] || fail "ftq -h on the simulated board printed no help text"
while IFS= read -r line; do
    [ -z "$line" ] && continue
    grep -qF -- "$line" "$tmp/ftq.man" || fail "ftq(1) lacks the help text's line '$line'"
done < "$tmp/ftq.help"
for heading in "NAME" "SYNOPSIS" "THE WHOLE RUN" "EXIT STATUS"; do
    grep -qx "$heading" "$tmp/ftq.man" || fail "ftq(1) has no section $heading"
done
grep -qE '^ +255 ' "$tmp/ftq.man" || fail "ftq(1) does not name exit status 255"
ok "ftq(1) holds ftq's help text line by line, the whole run and the exit statuses"

# 4. The packages.
sim_deb=$(ls build/packages/ftq-sim_*_amd64.deb)
ftq_deb=$(ls build/packages/ftq_*_armhf.deb)
field() { dpkg-deb --field "$1" "$2"; }
[ "$(field "$sim_deb" Package)" = ftq-sim ] || fail "$sim_deb: Package"
[ "$(field "$sim_deb" Architecture)" = amd64 ] || fail "$sim_deb: Architecture"
depends=$(field "$sim_deb" Depends)
for lib in libc6 libgcc-s1 libstdc++6 libsqlite3-0; do
    [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] ||
        fail "$sim_deb: Depends ($depends) lacks $lib"
done
dpkg-deb --info "$sim_deb" > /dev/null
dpkg-deb --contents "$sim_deb" | awk '{print $6}' | grep -v '/$' | sort > "$tmp/sim.files"
(cd "$tree/.." && find ftq -type f | sed 's|^ftq|./usr|' | sort) > "$tmp/tree.files"
cmp -s "$tmp/sim.files" "$tmp/tree.files" ||
    fail "$sim_deb does not carry what cmake --install installs: $(diff "$tmp/tree.files" "$tmp/sim.files" | head)"
mkdir "$tmp/sim-deb"
dpkg-deb -x "$sim_deb" "$tmp/sim-deb"
readelf -S "$tmp/sim-deb/usr/bin/ftq-sim" | grep -qE '\.debug_|\.symtab' && fail "$sim_deb: ftq-sim is not stripped"
ok "$(basename "$sim_deb"): amd64, Depends: $depends; the installed files; stripped"

[ "$(field "$ftq_deb" Package)" = ftq ] || fail "$ftq_deb: Package"
[ "$(field "$ftq_deb" Architecture)" = armhf ] || fail "$ftq_deb: Architecture"
depends=$(field "$ftq_deb" Depends)
[ -z "$depends" ] || fail "$ftq_deb: Depends is '$depends': the static ftq depends on nothing"
dpkg-deb --info "$ftq_deb" > /dev/null
files=$(dpkg-deb --contents "$ftq_deb" | awk '{print $6}' | grep -v '/$' | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/ftq ./usr/share/doc/ftq/changelog.gz ./usr/share/doc/ftq/copyright ./usr/share/lintian/overrides/ftq " ] ||
    fail "$ftq_deb carries $files, not ./usr/bin/ftq with its copyright, changelog and lintian overrides"
mkdir "$tmp/ftq-deb"
dpkg-deb -x "$ftq_deb" "$tmp/ftq-deb"
board=$tmp/ftq-deb/usr/bin/ftq
readelf -h "$board" | grep -qE 'Machine: +ARM$' || fail "$ftq_deb: ftq is not an ARM binary"
readelf -S "$board" | grep -qE '\.debug_|\.symtab' && fail "$ftq_deb: ftq is not stripped"
readelf -l "$board" | grep -q INTERP && fail "$ftq_deb: ftq asks for a program interpreter"
needed=$(readelf -d "$board" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ -z "$needed" ] || fail "$ftq_deb: ftq needs $needed"
ok "$(basename "$ftq_deb"): armhf, no Depends; ./usr/bin/ftq and its doc folder; stripped; static"

# 5. lintian: errors and warnings fail; the packages' own overrides, each
# with its reason, are all it may skip. Its informational notes are shown.
for deb in "$sim_deb" "$ftq_deb"; do
    name=$(basename "$deb")
    set +e
    lintian --fail-on error,warning "$deb" > "$tmp/lintian.out" 2>&1
    status=$?
    set -e
    grep -v '^running with root privileges' "$tmp/lintian.out" | sed "s/^/  lintian: /" || true
    [ "$status" -eq 0 ] || fail "lintian on $name: exit status $status (above)"
    if grep -qE '^[EW]: ' "$tmp/lintian.out"; then
        fail "lintian on $name reports errors or warnings (above)"
    fi
    ok "lintian on $name: no error, no warning beyond its overrides"
done

# 6. dpkg -i, run from the PATH, the man pages, dpkg --purge.
if [ "$with_dpkg" -eq 1 ]; then
    if dpkg-query -W -f='${Status}' ftq-sim 2> /dev/null | grep -q "install ok installed"; then
        fail "ftq-sim is already installed here: remove it (dpkg --purge ftq-sim) or pass --no-dpkg"
    fi
    $SUDO dpkg -i "$sim_deb" > /dev/null
    installed=1
    dpkg-query -L ftq-sim > "$tmp/dpkg.files"
    hash -r
    [ "$(command -v ftq-sim)" = /usr/bin/ftq-sim ] ||
        fail "ftq-sim from the PATH is $(command -v ftq-sim), not /usr/bin/ftq-sim"
    run dpkg-list ftq-sim --list
    expect_status 0
    expect_line dpkg-list.err "catalog: /usr/share/ftq/scenarios (the share folder of the installed ftq-sim)"
    cmp -s "$tmp/dpkg-list.out" "$tmp/list.expected" || fail "the installed package lists another catalog"
    run dpkg-run ftq-sim --scenario healthy-type2
    expect_status 0
    cmp -s "$tmp/dpkg-run.out" scenarios/healthy-type2.expected ||
        fail "the installed package: --scenario healthy-type2 differs from its expected transcript"
    ok "dpkg -i: ftq-sim from the PATH runs the catalog in /usr/share/ftq/scenarios"
    for page in ftq ftq-sim ftq-record; do
        [ "$(man -w "$page")" = "/usr/share/man/man1/$page.1.gz" ] ||
            fail "man $page finds $(man -w "$page" 2>&1), not the installed page"
        MANWIDTH=80 man "$page" 2> /dev/null | col -bx > "$tmp/man-$page.out"
        grep -q "^NAME" "$tmp/man-$page.out" || fail "man $page shows no page"
    done
    ok "man ftq and man ftq-sim show the installed pages"

    $SUDO dpkg --purge ftq-sim > /dev/null
    installed=0
    dpkg-query -W -f='${Status}' ftq-sim 2> /dev/null | grep -q "installed" &&
        fail "dpkg --purge left ftq-sim registered"
    while read -r f; do
        [ -d "$f" ] && continue
        [ ! -e "$f" ] || fail "dpkg --purge left $f"
    done < "$tmp/dpkg.files"
    for d in /usr/share/ftq /usr/share/doc/ftq-sim; do
        [ ! -e "$d" ] || fail "dpkg --purge left $d"
    done
    ok "dpkg --purge: no file of the package is left"
else
    echo "skipped: dpkg -i (--no-dpkg)"
fi

echo "test-install: $checks checks passed in $(($(date +%s) - started)) s"
ls -l build/packages/*.deb
