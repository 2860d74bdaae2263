#!/usr/bin/env bash
# A session as an operator has it, under a real X server with a window
# manager (Xvfb + openbox), driven by xdotool: on samples/disk_mbr.img the
# NTFS and the FAT32 volume are scanned, every box is answered with a click
# on its button, ROOT is ticked with its first item unticked, and Save
# writes the ticked files; ROUNDS times in a row, in one run of the program.
# In the first round a click on the label of an expanded folder, then Save
# without ticks, writes that folder under its own name. Then the whole disk
# goes to raw recovery, where Parse is pressed twice (the button, then
# Enter) and everything is saved: each find once, the PNG in the disk's
# last quarter MiB too. Escape then Enter keeps the program; Escape and Yes
# end it.
#
# Fails when the program ends by itself, a page moves, an expected window
# does not come, or a saved file differs from what `brantlow-cli recover`
# (or `carve`) writes. Screenshots of each page (first round) go to
# BUILD/gui-session/. Exit 77 (skipped) when a tool is missing.
#
#   tests/gui_session/run.sh BUILD_DIR [ROUNDS]
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$src/build}" && pwd)
rounds=${2:-20}
app=$build/app/brantlow
cli=$build/brantlow-cli

for t in Xvfb openbox xdotool xwininfo xz sha256sum convert import; do
    command -v "$t" >/dev/null || { echo "gui-session: $t is missing (scripts/deps.sh installs it); skipped"; exit 77; }
done
[ -x "$app" ] && [ -x "$cli" ] || { echo "gui-session: build brantlow and brantlow-cli first"; exit 1; }

work=$build/gui-session
rm -rf "$work"
mkdir -p "$work/screens" "$work/out" "$work/home" "$work/runtime"
chmod 700 "$work/runtime"
xz -dc "$src/samples/disk_mbr.img.xz" >"$work/disk.img"
# A quarter MiB more at the end of the disk, a PNG at its start: raw
# recovery must carve to the last sector to find it.
disk_end=$(stat -c %s "$work/disk.img")
xz -dc "$src/tests/data/carve.img.xz" | tail -c +4460033 | head -c 177033 >"$work/tail.png"
{ cat "$work/tail.png"; head -c $((262144 - 177033)) /dev/zero; } >>"$work/disk.img"
"$cli" carve "$work/disk.img" --start-sector 0 --out "$work/refraw" --quiet >/dev/null 2>&1 || true
raw_total=$(find "$work/refraw" -type f ! -name carve-summary.txt | wc -l)
[ -n "$(find "$work/refraw" -name "$disk_end.png")" ] ||
    { echo "gui-session: brantlow-cli carve did not find the PNG at byte $disk_end"; exit 1; }
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
backOnScan() { click "$1" -52 -22; }  # the scan and raw pages have no Next
rawSave() { click "$1" -52 -62; }
saveButton() { click "$1" -52 -84; }
ok() { click "$1" -51 -24; }
yes() { click "$1" -137 -24; }
# The middle y of the highlighted row in a window's column x (the selection
# colour: blue well above red), from a picture of the window.
highlightY() {
    import -window "$1" "$work/look.png" 2>/dev/null || return 1
    convert "$work/look.png" -crop "1x$(geom "$1" | awk '{print $4}')+$2+0" -depth 8 txt:- 2>/dev/null |
        awk -F'[ ,:()]+' '/^0,/ {y=$2; r=$3; b=$5; if (b > 150 && r < 110) {if (first == "") first = y; last = y}}
                          END {if (first != "") print int((first + last) / 2)}'
}
# Saves in folder $1 through the "select output folder" box, the folder
# dialog and the save question; the "work done" box closes it.
saveThroughDialogs() {
    answerOk "select-output-folder"
    local dlg q
    dlg=$(waitfor "folder dialog" xdotool search --onlyvisible --name '^Please choose a folder\.$') || die
    [ "$round" = 1 ] && shot folder-dialog
    xdotool key ctrl+a
    xdotool type --delay 2 "$1"
    xdotool key Return
    q=$(waitfor "save question" box) || die
    [ "$round" = 1 ] && shot save-question
    yes "$q"
    answerOk "work-done-$2"
    alive
}
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
        # First round, NTFS: "Documents" opened by the keyboard, "small"
        # highlighted, then a click on the label of the expanded Documents;
        # Save without ticks writes Documents, under its own name.
        if [ "$round" = 1 ] && [ "$v" = 0 ]; then
            click "$scan" 200 -200
            xdotool key Home
            xdotool type --delay 40 Documents
            xdotool key Right
            sleep 0.6
            ydoc=$(highlightY "$scan" 150)
            [ -n "$ydoc" ] || fail "no highlighted row after choosing Documents ($round_text)"
            xdotool type --delay 40 small
            sleep 0.6
            [ "$(highlightY "$scan" 150)" != "$ydoc" ] || fail "the highlight did not move to small ($round_text)"
            click "$scan" 220 "$ydoc"
            [ "$(highlightY "$scan" 150)" = "$ydoc" ] || fail "a click on the expanded folder did not highlight it ($round_text)"
            shot expanded-folder-clicked
            mkdir -p "$work/out/docs"
            saveButton "$scan"
            saveThroughDialogs "$work/out/docs" folder
            (cd "$work/out/docs" && find . -type f -print0 | xargs -0 -r sha256sum) >"$work/saved.sha256"
            grep -qv '  ./Documents/' "$work/saved.sha256" && fail "a file outside Documents/ was saved ($round_text)"
            count=$(wc -l <"$work/saved.sha256")
            want=$(find "$work/ref0/Documents" -type f | wc -l)
            [ "$count" = "$want" ] || fail "$count files saved of Documents' $want ($round_text)"
            (cd "$work/ref0" && sha256sum --quiet -c "$work/saved.sha256" >"$work/check.log" 2>&1) ||
                fail "Documents saved differently from brantlow-cli recover: $(head -3 "$work/check.log")"
            echo "gui-session: the expanded folder's label clicked: Documents saved under its name, $count files"
            rm -rf "$work/out/docs"
        fi
        # ROOT ticked, its first item unticked: Home, Space, Down, Space.
        click "$scan" 200 -200
        xdotool key Home space Down space
        [ "$round" = 1 ] && shot "ticked-${names[$v]}"
        out=$work/out/r$round-v$v
        mkdir -p "$out"
        saveButton "$scan"
        saveThroughDialogs "$out" "${names[$v]}"
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

# Raw recovery of the whole disk (the last row): Parse, then Enter on Parse
# again; every find ticked and saved, each once, the end-of-disk PNG too.
round=1
round_text="raw recovery"
click "$list" 200 -150
xdotool key End
next "$list"
raw=$(newpage "$list") || die
samePlace "$raw"
click "$raw" 200 96  # the settings file, then Tab to Parse
xdotool key Tab Tab Return
answerOk raw-done
xdotool key Return
answerOk raw-done-again
shot raw-parsed-twice
click "$raw" 200 300  # the tree: its top item ticked
xdotool key Home space
mkdir -p "$work/out/raw"
rawSave "$raw"
dlg=$(waitfor "folder dialog" xdotool search --onlyvisible --name '^Please choose a folder\.$') || die
xdotool key ctrl+a
xdotool type --delay 2 "$work/out/raw"
xdotool key Return
for _ in $(seq 300); do [ -f "$work/out/raw/carve-summary.txt" ] && break; alive; sleep 0.1; done
[ -f "$work/out/raw/carve-summary.txt" ] || fail "raw recovery saved nothing"
sleep 0.5
(cd "$work/out/raw" && find . -type f ! -name carve-summary.txt -print0 | xargs -0 -r sha256sum) >"$work/saved.sha256"
count=$(wc -l <"$work/saved.sha256")
[ "$count" = "$raw_total" ] || fail "raw recovery saved $count files, brantlow-cli carve $raw_total (a find twice?)"
(cd "$work/refraw" && sha256sum --quiet -c "$work/saved.sha256" >"$work/check.log" 2>&1) ||
    fail "raw finds differ from brantlow-cli carve: $(head -3 "$work/check.log")"
grep -q "/$disk_end.png\$" "$work/saved.sha256" || fail "the PNG at the end of the disk was not carved"
echo "gui-session: raw recovery: Parse twice, $count finds saved once each, the PNG at byte $disk_end among them"
shot raw-saved
backOnScan "$raw"
list=$(newpage "$raw") || die
samePlace "$list"

# Escape, then Enter: the close question's default is No, the program stays.
click "$list" 200 -150
xdotool key Escape
q=$(waitfor "close question" box) || die
xdotool key Return
for _ in $(seq 100); do [ -z "$(box)" ] && break; sleep 0.05; done
[ -z "$(box)" ] || fail "Enter did not answer the close question"
sleep 0.5
alive
[ "$(page)" = "$list" ] || fail "the volume list is gone after Escape and Enter"
echo "gui-session: Escape then Enter answered No; the program goes on"

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
