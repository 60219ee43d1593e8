#!/usr/bin/env bash
# Starts the real application under Xvfb with a throw-away home folder and
# saves pictures of its window: docs/screenshot.png with the default light
# colours, and docs/screenshot-dark.png as a desktop with a dark theme shows it.
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

# shoot OUTPUT [VARIABLE=VALUE...]: one picture, the variables set for the
# application alone.
shoot() {
    local out=$1
    shift
    env -u XDG_CURRENT_DESKTOP -u KDE_SESSION_VERSION "$@" \
        xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
        ./build/kestrue-organizer & app=$!
        for _ in $(seq 50); do
            xwininfo -root -tree | grep -q "Kestrue" && break
            sleep 0.2
        done
        sleep 1
        # The real window, not the 1x1 client leader Qt also names.
        id=$(xwininfo -root -tree | grep "(\"kestrue-organizer\"" | head -n 1 | awk "{print \$1}")
        status=0
        import -window "$id" "$1" || status=$?
        kill $app
        exit $status
    ' shoot "$out"
    echo "wrote $out"
}

shoot docs/screenshot.png

# Dark: Qt's own KDE desktop theme reads the colours from kdeglobals in the
# throw-away configuration folder (Breeze Dark's), with the same Fusion style.
cat > "$XDG_CONFIG_HOME/kdeglobals" <<'KDE'
[General]
widgetStyle=Fusion

[Colors:Window]
BackgroundNormal=49,54,59
ForegroundNormal=239,240,241
ForegroundInactive=189,195,199

[Colors:View]
BackgroundNormal=35,38,41
BackgroundAlternate=49,54,59
ForegroundNormal=239,240,241
ForegroundInactive=189,195,199
ForegroundLink=41,128,185
ForegroundVisited=127,140,141

[Colors:Button]
BackgroundNormal=49,54,59
ForegroundNormal=239,240,241

[Colors:Selection]
BackgroundNormal=61,174,233
ForegroundNormal=239,240,241

[Colors:Tooltip]
BackgroundNormal=49,54,59
ForegroundNormal=239,240,241
KDE
shoot docs/screenshot-dark.png XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5
