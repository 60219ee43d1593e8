#!/usr/bin/env bash
# Checks the Debian package the way a user meets it: the desktop entry and
# AppStream metadata validate, lintian finds no error, the package installs
# with apt, the installed binary starts headless with a fresh home folder and
# stays up without a word on stderr, and the package uninstalls again.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}

deb=$(ls "$build"/kestrue-organizer_*.deb | head -n 1)
echo "== package: $deb ($(du -h "$deb" | cut -f1))"
dpkg-deb --field "$deb" Package Version Depends Recommends Installed-Size

echo "== lintian"
lintian --fail-on error --tag-display-limit 0 "$deb" | tee "$build/lintian.txt"

echo "== install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "./$deb" >/dev/null

echo "== validate the installed entry and metadata"
desktop-file-validate /usr/share/applications/app.kestrue.Organizer.desktop
appstreamcli validate --no-net --explain /usr/share/metainfo/app.kestrue.Organizer.metainfo.xml
test -f /usr/share/icons/hicolor/scalable/apps/app.kestrue.Organizer.svg
test -f /usr/share/icons/hicolor/256x256/apps/app.kestrue.Organizer.png

echo "== start the installed binary"
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    XDG_RUNTIME_DIR="$home" QT_QPA_PLATFORM=offscreen \
    /usr/bin/kestrue-organizer 2>"$home/stderr.txt" &
app=$!
sleep 3
if ! kill -0 "$app" 2>/dev/null; then
    echo "the application did not stay up"; cat "$home/stderr.txt"; exit 1
fi
kill "$app"; wait "$app" 2>/dev/null || true
if [ -s "$home/stderr.txt" ]; then
    echo "the application wrote to stderr:"; cat "$home/stderr.txt"; exit 1
fi

echo "== uninstall"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq kestrue-organizer >/dev/null
test ! -e /usr/bin/kestrue-organizer
echo "package check passed"
