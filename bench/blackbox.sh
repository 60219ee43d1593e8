#!/usr/bin/env bash
# The application measured from outside, as a user meets it: the real binary
# on an X server (Xvfb) with accessibility on, a Desktop of N items in a
# throw-away home, timed from a real pointer click on its button until the
# run's last file write before its closing log line; against the file
# system's own cost (bench/floor.c) on an identical tree in the same run.
# Knows nothing of the application's insides beyond its file locations and
# its window's fixed layout. Prints one table; any failed step ends the run.
#
#   bench/blackbox.sh APP FLOOR        (REPS, ITEMS, RECORDS may be set)
set -euo pipefail

APP=$(realpath "${1:?usage: blackbox.sh APP FLOOR}")
FLOOR=$(realpath "${2:?usage: blackbox.sh APP FLOOR}")
REPS=${REPS:-3}
ITEMS=${ITEMS:-10000}
RECORDS=${RECORDS:-100000}
QUIET_MS=300

# Everything below runs under its own session bus, which the accessibility
# bridge needs (the at-spi bus is started on it on demand).
# Its sockets and settings go into the throw-away folder.
if [ -z "${KESTRUE_BLACKBOX_WORK:-}" ]; then
    KESTRUE_BLACKBOX_WORK=$(mktemp -d /tmp/kestrue-blackbox.XXXXXX)
    export KESTRUE_BLACKBOX_WORK
    session="$KESTRUE_BLACKBOX_WORK/session"
    mkdir -p "$session"
    mkdir -m 700 "$session/runtime"
    export HOME="$session" XDG_RUNTIME_DIR="$session/runtime" XDG_CONFIG_HOME="$session/.config" \
        XDG_CACHE_HOME="$session/.cache" XDG_DATA_HOME="$session/.local/share"
    # The buses' own chatter goes to a log; this script's errors stay on
    # the terminal (descriptor 3, restored below).
    exec 3>&2
    exec dbus-run-session -- "$0" "$@" 2>"$KESTRUE_BLACKBOX_WORK/bus.log"
fi
exec 2>&3 3>&-

fail() {
    echo "blackbox: $*" >&2
    exit 1
}

work=$KESTRUE_BLACKBOX_WORK
xvfb_pid=
app_pid=
cleanup() {
    if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; fi
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

# A display number nobody uses.
display=99
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
    display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 100); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && break
    sleep 0.1
done
xdotool getdisplaygeometry >/dev/null 2>&1 || fail "Xvfb did not start: $(cat "$work/xvfb.log")"

# A desktop session has the accessibility bus running before any application
# starts; Qt then connects to it (and that starts the at-spi registry).
a11y_bus=$(dbus-send --session --print-reply=literal --dest=org.a11y.Bus /org/a11y/bus \
    org.a11y.Bus.GetAddress 2>/dev/null | tr -d ' ') || a11y_bus=

# A fresh home: Desktop, settings with the target folder, support folder.
new_box() {
    local box=$1
    mkdir -p "$box/home/Desktop" "$box/home/.config/Kestrue" "$box/Target" \
        "$box/home/.local/share/Kestrue一键整理" "$box/home/.cache"
    printf '[General]\nTargetFolderPath=%s\n' "$box/Target" \
        >"$box/home/.config/Kestrue/Kestrue一键整理.conf"
}

# Starts the application in a box and waits for its window and for it to go
# idle. Sets app_pid and window; writes "cpu_ms peak_rss_kb" of the start-up
# to box/startup.
start_app() {
    local box=$1
    env -u QT_QPA_PLATFORM -u XDG_DESKTOP_DIR \
        HOME="$box/home" XDG_CONFIG_HOME="$box/home/.config" \
        XDG_DATA_HOME="$box/home/.local/share" XDG_CACHE_HOME="$box/home/.cache" \
        QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 LC_ALL=C.UTF-8 \
        "$APP" >"$box/app.log" 2>&1 &
    app_pid=$!
    window=$(timeout 30 xdotool search --sync --all --onlyvisible --pid "$app_pid" --name 'Kestrue' |
        head -n 1) || true
    [ -n "$window" ] || fail "no window within 30 s: $(cat "$box/app.log")"
    "$FLOOR" idle "$app_pid" "$QUIET_MS" >"$box/startup" || fail "start-up did not go idle"
}

stop_app() {
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=
}

# Moves the pointer onto a button and times the click until the run ends.
# The window's content (760 × 520) sits at its bottom, below the menu bar;
# the buttons' frames are fixed (bottom-left origin in the layout).
click_run() {
    local box=$1 button_x=$2
    # shellcheck disable=SC2034 # all set by xdotool's --shell output
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$window")"
    local content_top=$((Y + HEIGHT - 520))
    # Frames (104, 224, 220, 46) and (436, 224, 220, 46): centre y = 520 - 224 - 23.
    xdotool mousemove --sync $((X + button_x + 110)) $((content_top + 520 - 224 - 23))
    local support="$box/home/.local/share/Kestrue一键整理"
    "$FLOOR" click "$box/home/Desktop" "$support" "$support/restore-manifest.json" \
        "$box/Target/.desktop-organizer-restore.json" ||
        fail "timed run failed ($(tail -n 3 "$box/app.log"))"
}

ORGANIZE_X=104
RESTORE_X=436

declare -a organize restore collide f_organize f_restore f_collide first
declare -a s_none_cpu s_none_rss s_large_cpu s_large_rss

for rep in $(seq "$REPS"); do
    echo "repetition $rep of $REPS" >&2

    # The application: organize, then restore, in one box.
    box="$work/app$rep"
    new_box "$box"
    "$FLOOR" tree "$box/home/Desktop" "$ITEMS" >"$box/names"
    start_app "$box"
    run=$(click_run "$box" $ORGANIZE_X)
    read -r total started _ <<<"$run"
    organize+=("$total")
    first+=("$started")
    [ -z "$(ls -A "$box/home/Desktop")" ] || fail "organize left items on the Desktop"
    run=$(click_run "$box" $RESTORE_X)
    read -r total _ _ <<<"$run"
    restore+=("$total")
    stop_app
    [ "$(find "$box/home/Desktop" -mindepth 1 -maxdepth 1 | wc -l)" -eq "$ITEMS" ] || fail "restore did not bring back every item"
    rm -rf "$box"

    # The floor on an identical tree: there and back.
    box="$work/floor$rep"
    new_box "$box"
    "$FLOOR" tree "$box/home/Desktop" "$ITEMS" >"$box/names"
    f_organize+=("$("$FLOOR" move "$box/home/Desktop" "$box/Target" "$box/names")")
    f_restore+=("$("$FLOOR" move "$box/Target" "$box/home/Desktop" "$box/names")")
    rm -rf "$box"

    # Every name already taken in the target.
    box="$work/collide$rep"
    new_box "$box"
    "$FLOOR" tree "$box/home/Desktop" "$ITEMS" >"$box/names"
    "$FLOOR" tree "$box/Target" "$ITEMS" >/dev/null
    start_app "$box"
    run=$(click_run "$box" $ORGANIZE_X)
    read -r total _ _ <<<"$run"
    collide+=("$total")
    stop_app
    [ -z "$(ls -A "$box/home/Desktop")" ] || fail "the colliding organize left items on the Desktop"
    rm -rf "$box"
    box="$work/collidefloor$rep"
    new_box "$box"
    "$FLOOR" tree "$box/home/Desktop" "$ITEMS" >"$box/names"
    "$FLOOR" tree "$box/Target" "$ITEMS" >/dev/null
    f_collide+=("$("$FLOOR" move "$box/home/Desktop" "$box/Target" "$box/names")")
    rm -rf "$box"

    # Start-up with no manifest, then with a large one.
    box="$work/none$rep"
    new_box "$box"
    start_app "$box"
    stop_app
    read -r cpu rss <"$box/startup"
    s_none_cpu+=("$cpu")
    s_none_rss+=("$rss")
    rm -rf "$box"
    box="$work/large$rep"
    new_box "$box"
    "$FLOOR" manifest "$box/home/.local/share/Kestrue一键整理/restore-manifest.json" "$RECORDS" \
        "$box/home/Desktop" "$box/Target"
    start_app "$box"
    stop_app
    read -r cpu rss <"$box/startup"
    [ -s "$box/home/.local/share/Kestrue一键整理/restore-manifest.json" ] ||
        fail "the large manifest was set aside"
    s_large_cpu+=("$cpu")
    s_large_rss+=("$rss")
    rm -rf "$box"
done

# Whether the application's accessibility bridge reached the at-spi bus: the
# registry there is started by the first application that registers.
if [ -n "$a11y_bus" ] && dbus-send --bus="$a11y_bus" --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.ListNames 2>/dev/null | grep -q '"org.a11y.atspi.Registry"'; then
    a11y="accessibility on (at-spi bus and registry running)"
else
    a11y="at-spi ABSENT: accessibility requested but no bridge connected"
fi

# "median [min–max]", the bare median and the bare minimum of a list.
stats() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {m=(NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2; printf "%.1f [%.1f–%.1f]", m, v[1], v[NR]}'; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END {printf "%.3f", (NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2}'; }
least() { printf '%s\n' "$@" | sort -g | head -n 1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f×", a/b}'; }
mb() { awk -v kb="$1" 'BEGIN {printf "%.1f", kb/1024}'; }

# One row: name, the application's values, the baseline's label and values.
# The ratio of the minima is the one least touched by other load.
row() {
    local name=$1 label=$2
    local -n ours=$3 base=$4
    echo "| $name | $(stats "${ours[@]}") ms | $label$(stats "${base[@]}") ms |" \
        "$(ratio "$(median "${ours[@]}")" "$(median "${base[@]}")") |" \
        "$(ratio "$(least "${ours[@]}")" "$(least "${base[@]}")") |"
}

echo
echo "Black-box, $ITEMS items, $REPS repetitions, medians [min–max]; $a11y;"
echo "click to the run's first move: $(stats "${first[@]}") ms"
echo
echo "| row | application | floor / baseline | ratio of medians | ratio of minima |"
echo "|---|---|---|---|---|"
row "organize $ITEMS" "" organize f_organize
row "restore $ITEMS" "" restore f_restore
row "organize $ITEMS, all collide" "" collide f_collide
row "start-up CPU, $RECORDS records" "no manifest " s_large_cpu s_none_cpu
echo "| start-up peak RSS, $RECORDS records | $(mb "$(median "${s_large_rss[@]}")") MB |" \
    "no manifest $(mb "$(median "${s_none_rss[@]}")") MB |" \
    "$(ratio "$(median "${s_large_rss[@]}")" "$(median "${s_none_rss[@]}")") | |"
