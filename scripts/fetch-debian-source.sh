#!/bin/sh
# Fetches Debian's own source of a library for the Windows build, which has
# no Windows library of it to link (tinyxml2, libxcrypt): the source package
# of the version pinned in cmake/PACKAGE.sha256, checked against the hashes
# recorded there, unpacked into FOLDER/source. apt runs on a configuration of
# its own in FOLDER (the system's package sources as deb-src entries, its own
# lists and cache): the system's apt configuration and state are never
# touched. Nothing is done when FOLDER/source/MARKER is there already.
#
# usage: scripts/fetch-debian-source.sh PACKAGE FOLDER MARKER
set -eu

package=$1
folder=$2
marker=$3
here=$(cd "$(dirname "$0")/.." && pwd)
hashes=$here/cmake/$package.sha256
version=$(sed -n 's/^# version //p' "$hashes")
[ -f "$folder/source/$marker" ] && exit 0

mkdir -p "$folder/sources.list.d" "$folder/lists/partial" "$folder/cache/archives/partial" "$folder/download"
folder=$(cd "$folder" && pwd)

# The system's sources, as source entries.
for list in /etc/apt/sources.list.d/*.sources; do
    [ -f "$list" ] || continue
    sed 's/^Types:.*/Types: deb-src/' "$list" > "$folder/sources.list.d/$(basename "$list")"
done
if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb[[:space:]]/deb-src /p' /etc/apt/sources.list > "$folder/sources.list.d/system.list"
fi

apt_private() {
    apt-get -q \
        -o Dir::Etc::sourcelist=/dev/null \
        -o Dir::Etc::sourceparts="$folder/sources.list.d" \
        -o Dir::State::Lists="$folder/lists" \
        -o Dir::Cache="$folder/cache" \
        -o APT::Sandbox::User=root \
        "$@"
}

echo "Fetching the source of $package $version"
# A source without source indices fails its part of the update; the
# package's own source is what counts, and its download says so if missing.
apt_private update -qq || true
(cd "$folder/download" && apt_private source --download-only -qq "$package=$version")

# The recorded hashes, not only the archive's signature: the build compiles
# exactly the source that was reviewed.
(cd "$folder/download" && grep -v "^#" "$hashes" | sha256sum -c --quiet -)

orig=$(sed -n 's/^[0-9a-f]*  \(.*\.orig\.tar\.[a-z0-9]*\)$/\1/p' "$hashes")
rm -rf "$folder/source.partial"
mkdir -p "$folder/source.partial"
tar -xf "$folder/download/$orig" -C "$folder/source.partial" --strip-components=1
rm -rf "$folder/source"
mv "$folder/source.partial" "$folder/source"
