#!/usr/bin/env bash
# Installs the build into a scratch folder (as a package would, under /usr) and checks what a
# desktop needs: both programs under bin/, the menu entry, the scalable icon in the hicolor
# theme and the AppStream description, each file passing its validator.
# Usage: check_install.sh BUILD_DIR
set -euo pipefail
build="$1"
dest="$(mktemp -d)"
trap 'rm -rf "$dest"' EXIT
DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null
root="$dest/usr"
status=0
for f in bin/tovamix bin/tovamix-cli share/applications/org.tovamix.Tovamix.desktop \
    share/icons/hicolor/scalable/apps/org.tovamix.Tovamix.svg \
    share/metainfo/org.tovamix.Tovamix.metainfo.xml; do
    if [ ! -s "$root/$f" ]; then echo "not installed: $f"; status=1; fi
done
for f in bin/tovamix bin/tovamix-cli; do
    if [ -e "$root/$f" ] && [ ! -x "$root/$f" ]; then echo "not executable: $f"; status=1; fi
done
desktop="$root/share/applications/org.tovamix.Tovamix.desktop"
if [ -e "$desktop" ]; then
    desktop-file-validate "$desktop" || status=1
    grep -qx 'Categories=AudioVideo;Recorder;' "$desktop" || { echo "categories: $(grep Categories "$desktop")"; status=1; }
    # The entry's icon and program are the installed ones.
    icon="$(sed -n 's/^Icon=//p' "$desktop")"
    [ -e "$root/share/icons/hicolor/scalable/apps/$icon.svg" ] || { echo "no icon \"$icon\""; status=1; }
    exec="$(sed -n 's/^Exec=//p' "$desktop")"
    [ -x "$root/bin/${exec%% *}" ] || { echo "Exec=$exec is not installed"; status=1; }
fi
metainfo="$root/share/metainfo/org.tovamix.Tovamix.metainfo.xml"
if [ -e "$metainfo" ]; then
    appstreamcli validate --no-net "$metainfo" || status=1
fi
exit $status
