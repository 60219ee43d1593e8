#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the application need,
# asking apt only for what is missing. Uses sudo when not run as root.
# Extra package names given as arguments are installed as well.
set -euo pipefail

packages=(
    cmake g++ make
    qt6-base-dev qt6-qpa-plugins qt6-svg-dev
    libgtest-dev
    libsimdjson-dev
    fonts-noto-cjk
    # Qt's own words (the folder dialog, the text menus) in Simplified Chinese.
    qt6-translations-l10n
    # Emoji in file names, shown in colour instead of as boxes.
    fonts-noto-color-emoji
    # The monospace faces a desktop usually has, so the suite runs against
    # the same font set as a user's machine.
    fonts-noto-mono fonts-dejavu-core
    # The power-cut tests make ext4, xfs and btrfs images.
    e2fsprogs xfsprogs btrfs-progs
    # A case-insensitive volume for the naming tests: exFAT through FUSE.
    exfatprogs exfat-fuse
    "$@"
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if ((${#missing[@]} == 0)); then
    exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
