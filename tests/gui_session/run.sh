#!/usr/bin/env bash
# A session as an operator has it, under a real X server with a window
# manager (Xvfb + openbox), driven by xdotool: on samples/disk_mbr.img the
# NTFS and the FAT32 volume are scanned, every box is answered with a click
# on its button, ROOT is ticked with its first item unticked, and Save
# writes the ticked files; ROUNDS times in a row, in one run of the program.
#
# Fails when the program ends by itself, a page moves, an expected window
# does not come, or a saved file differs from what `brantlow-cli recover`
# writes. Screenshots of each page (first round) go to BUILD/gui-session/.
# Exit 77 (skipped) when a tool is missing.
#
#   tests/gui_session/run.sh BUILD_DIR [ROUNDS]
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$src/build}" && pwd)
rounds=${2:-20}
app=$build/app/brantlow
cli=$build/brantlow-cli

for t in Xvfb openbox xdotool xwininfo xz sha256sum; do
    command -v "$t" >/dev/null || { echo "gui-session: $t is missing (scripts/deps.sh installs it); skipped"; exit 77; }
done
[ -x "$app" ] && [ -x "$cli" ] || { echo "gui-session: build brantlow and brantlow-cli first"; exit 1; }

work=$build/gui-session
rm -rf "$work"
mkdir -p "$work/screens" "$work/out" "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
xz -dc "$src/samples/disk_mbr.img.xz" >"$work/disk.img"
# What the command-line tool writes for each volume: the reference.
total=()
for v in 0 1; do
    "$cli" recover "$work/disk.img" --volume "$v" --out "$work/ref$v" >/dev/null 2>&1 || true
    total[v]=$(find "$work/ref$v" -type f | wc -l)
    [ "${total[v]}" -gt 1 ] || { echo "gui-session: brantlow-cli recover --volume $v wrote nothing"; exit 1; }
done

# A free display.
n=90
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
export DISPLAY=:$n
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM
Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
HOME=$work/home openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
sleep 1

# The program, with its own instance lock when a private /run/lock can be
# had (another copy on this machine must not stop this one).
export HOME=$work/home XDG_RUNTIME_DIR=$work/runtime QT_QPA_PLATFORM=xcb
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
    unshare -m sh -c 'mount -t tmpfs tmpfs /run/lock 2>/dev/null; exec "$0" "$1"' "$app" "$work/disk.img" \
        >"$work/app.log" 2>&1 &
else
    "$app" "$work/disk.img" >"$work/app.log" 2>&1 &
fi
apppid=$!
pids+=($apppid)

# ---- windows ---------------------------------------------------------------

shots=0
shot() {  # shot NAME: the whole screen
    shots=$((shots + 1))
    local f
    f=$(printf '%s/screens/%02d-%s' "$work" "$shots" "$1")
    if command -v import >/dev/null; then import -window root "$f.png" 2>/dev/null
    elif command -v xwd >/dev/null; then xwd -root -silent >"$f.xwd"; fi
}
# Called in $(...) too: says it on stderr and leaves a mark, so the caller's
# "|| die" ends the script.
fail() {
    echo "gui-session: FAILED: $*" >&2
    shot failure
    echo "  screens and logs: $work" >&2
    exit 1
}
die() { exit 1; }
alive() { kill -0 "$apppid" 2>/dev/null || fail "the program ended by itself ($round_text)"; }
# x y w h of a window's client area on the screen.
geom() {
    xwininfo -id "$1" 2>/dev/null |
        awk '/Absolute upper-left X/{x=$4}/Absolute upper-left Y/{y=$4}/Width:/{w=$2}/Height:/{h=$2}END{print x, y, w, h}'
}
# Visible windows captioned "Brantlow v1.0" as "id width" lines (one
# xdotool for all): pages are wide, boxes are not.
captioned() {
    xdotool search --onlyvisible --name '^Brantlow v1\.0$' getwindowgeometry --shell %@ 2>/dev/null |
        awk -F= '/^WINDOW=/{w=$2}/^WIDTH=/{print w, $2}'
}
page() { captioned | awk '$2 >= 700 {print $1; exit}'; }
box() { captioned | awk '$2 < 700 {print $1; exit}'; }
waitfor() {  # waitfor WHAT COMMAND...: until the command prints something
    local what=$1 out
    shift
    for _ in $(seq 300); do
        alive
        out=$("$@")
        [ -n "$out" ] && { echo "$out"; return; }
        sleep 0.1
    done
    fail "no $what ($round_text)"
}
newpage() {  # newpage OLD: the page that took OLD's place
    local p
    for _ in $(seq 300); do
        alive
        p=$(page)
        [ -n "$p" ] && [ "$p" != "$1" ] && { echo "$p"; return; }
        sleep 0.1
    done
    fail "no new page after $1 ($round_text)"
}
click() {  # click WINDOW X Y; negative X or Y count from the right or bottom edge
    local x y
    set -- "$1" "$2" "$3" $(geom "$1")
    x=$2; y=$3
    [ "$x" -lt 0 ] && x=$(($6 + x))
    [ "$y" -lt 0 ] && y=$(($7 + y))
    xdotool mousemove $(($4 + x)) $(($5 + y)) click 1  # no --sync: it waits 15 s when the pointer is already there
    sleep 0.15
}
# Buttons, from the bottom-right corner of their window.
next() { click "$1" -52 -22; }
back() { click "$1" -137 -22; }
backOnScan() { click "$1" -52 -22; }  # the scan page has no Next
saveButton() { click "$1" -52 -84; }
ok() { click "$1" -51 -24; }
yes() { click "$1" -137 -24; }
answerOk() {  # answerOk WHAT: a box came and is clicked OK
    local b
    b=$(waitfor "$1 box" box) || die
    [ "$round" = 1 ] && shot "$1"
    ok "$b"
    for _ in $(seq 100); do [ -z "$(box)" ] && return; sleep 0.05; done
    fail "the $1 box stayed ($round_text)"
}
samePlace() {  # the page sits where the first page sat
    local g
    g=$(geom "$1")
    [ "$g" = "$place" ] || fail "a page moved: $g instead of $place ($round_text)"
}

# ---- the session -----------------------------------------------------------

round=1
round_text="start"
first=$(waitfor "first page" page) || die
place=$(geom "$first")
shot first-page
next "$first"
modes=$(newpage "$first") || die
samePlace "$modes"
shot scan-mode
next "$modes"
list=$(newpage "$modes") || die
samePlace "$list"
shot volume-list

names=(NTFS FAT32)
start=$(date +%s)
for round in $(seq "$rounds"); do
    for v in 0 1; do
        round_text="round $round, ${names[$v]}"
        # The volume list: the row by keyboard (Home, then Down), then Next.
        click "$list" 200 -150
        xdotool key Home
        [ "$v" = 1 ] && xdotool key Down
        next "$list"
        mode=$(newpage "$list") || die
        samePlace "$mode"
        [ "$round" = 1 ] && shot "recovery-mode-${names[$v]}"
        next "$mode"
        scan=$(newpage "$mode") || die
        samePlace "$scan"
        answerOk "scan-done-${names[$v]}"
        alive
        [ "$(page)" = "$scan" ] || fail "the scan page is gone after the done box ($round_text)"
        # ROOT ticked, its first item unticked: Home, Space, Down, Space.
        click "$scan" 200 -200
        xdotool key Home space Down space
        [ "$round" = 1 ] && shot "ticked-${names[$v]}"
        out=$work/out/r$round-v$v
        mkdir -p "$out"
        saveButton "$scan"
        answerOk "select-output-folder"
        dlg=$(waitfor "folder dialog" xdotool search --onlyvisible --name '^Please choose a folder\.$') || die
        [ "$round" = 1 ] && shot folder-dialog
        xdotool key ctrl+a
        xdotool type --delay 2 "$out"
        xdotool key Return
        q=$(waitfor "save question" box) || die
        [ "$round" = 1 ] && shot save-question
        yes "$q"
        answerOk "work-done-${names[$v]}"
        alive
        # What was saved: some files, each as brantlow-cli wrote it.
        (cd "$out" && find . -type f -print0 | xargs -0 -r sha256sum) >"$work/saved.sha256"
        count=$(wc -l <"$work/saved.sha256")
        (cd "$work/ref$v" && sha256sum --quiet -c "$work/saved.sha256" >"$work/check.log" 2>&1) ||
            fail "saved files differ from brantlow-cli recover: $(head -3 "$work/check.log") ($round_text)"
        [ "$count" -gt 0 ] && [ "$count" -lt "${total[v]}" ] ||
            fail "$count files saved of ${total[v]} ($round_text)"
        [ "$round" = 1 ] && echo "gui-session: ${names[$v]}: $count of ${total[v]} files saved, identical to brantlow-cli"
        rm -rf "$out"
        backOnScan "$scan"
        mode=$(newpage "$scan") || die
        samePlace "$mode"
        back "$mode"
        list=$(newpage "$mode") || die
        samePlace "$list"
    done
    echo "gui-session: round $round done after $(($(date +%s) - start)) s"
done
round_text="end"
echo "gui-session: $rounds rounds in $(($(date +%s) - start)) s, the program still running"

# Escape asks the close question; Yes ends the program with status 0.
click "$list" 200 -150
xdotool key Escape
q=$(waitfor "close question" box) || die
shot close-question
yes "$q"
for _ in $(seq 100); do kill -0 "$apppid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$apppid" 2>/dev/null && fail "Yes to the close question did not end the program"
wait "$apppid"
rc=$?
[ "$rc" = 0 ] || fail "the program ended with status $rc"
echo "gui-session: passed; screenshots in $work/screens"
