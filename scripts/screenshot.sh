#!/usr/bin/env bash
# Starts the real application under Xvfb with a throw-away home folder and
# saves a picture of its window to docs/screenshot.png.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
for p in xvfb xauth imagemagick x11-utils; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
done
if ((${#need[@]})); then
    sudo=(); [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
make build >/dev/null

sandbox=$(mktemp -d)
trap 'rm -rf "$sandbox"' EXIT
export HOME="$sandbox" XDG_CONFIG_HOME="$sandbox/.config" XDG_DATA_HOME="$sandbox/.local/share"
mkdir -p "$HOME/Desktop" "$HOME/整理后" "$XDG_CONFIG_HOME/Kestrue"
printf '[General]\nTargetFolderPath=%s\n' "$HOME/整理后" > "$XDG_CONFIG_HOME/Kestrue/Kestrue一键整理.conf"
unset QT_QPA_PLATFORM

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    ./build/kestrue-organizer & app=$!
    for _ in $(seq 50); do
        xwininfo -root -tree | grep -q "Kestrue" && break
        sleep 0.2
    done
    sleep 1
    id=$(xwininfo -root -tree | grep "\"Kestrue一键整理\"" | head -n 1 | awk "{print \$1}")
    import -window "$id" docs/screenshot.png
    kill $app
'
echo "wrote docs/screenshot.png"
