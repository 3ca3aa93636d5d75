#!/usr/bin/env bash
# Builds the Debian package and tries it without installing it: the files it must hold, then
# the packaged programs, run from a temporary root as an unprivileged user (when run as root)
# on the packaged samples, which must come out of it unchanged.
#
#   scripts/check_package.sh [BUILD_DIR]     (default: $QM_BUILD_DIR, else build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-${QM_BUILD_DIR:-build}}

cmake --build "$build" -j2 --target quillmend-studio quillmend man_page
rm -f "$build"/quillmend-studio_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/quillmend-studio_*.deb)
echo "package: $deb"

contents=$(dpkg-deb -c "$deb")
for f in usr/bin/quillmend usr/bin/quillmend-studio usr/lib/quillmend/quillmend \
    usr/lib/quillmend/quillmend-studio usr/share/quillmend/dbTemp.mdb \
    usr/share/quillmend/Samples/ usr/share/applications/quillmend-studio.desktop \
    usr/share/icons/hicolor/48x48/apps/quillmend-studio.png \
    usr/share/icons/hicolor/256x256/apps/quillmend-studio.png \
    usr/share/icons/hicolor/scalable/apps/quillmend-studio.svg \
    usr/share/man/man1/quillmend.1.gz; do
    if ! grep -Eq " \./$f( |$)" <<<"$contents"; then
        echo "the package lacks /$f" >&2
        exit 1
    fi
done
echo "the package holds the programs, the data, the desktop entry, the icon and the manual page"

root=$(mktemp -d)
cleanup() {
    chmod -R u+w "$root" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$root/pkg"
chmod 755 "$root"
mkdir "$root/home"
as_user=()
if [ "$(id -u)" = 0 ]; then
    chown 65534:65534 "$root/home"
    as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    echo "running the packaged programs as uid 65534"
else
    echo "not root: the packaged programs run as $(id -un), not as another user (skipped)"
fi
run() {
    env HOME="$root/home" XDG_DATA_HOME="$root/home/data" XDG_CONFIG_HOME="$root/home/config" \
        TEMP="$root/home" TMPDIR="$root/home" "${as_user[@]}" "$@"
}
samples="$root/pkg/usr/share/quillmend/Samples"
before=$(cd "$root/pkg" && find . -type f -exec md5sum {} + | sort)

run "$root/pkg/usr/bin/quillmend" --version
run "$root/pkg/usr/bin/quillmend" list "$samples" | tee "$root/list.txt"
if [ "$(wc -l <"$root/list.txt")" -ne 3 ] || grep -q -- '	-	' "$root/list.txt"; then
    echo "the packaged list did not give the three sample tables" >&2
    exit 1
fi
# The shipped samples have no write permission bits: the dry run must say that they would not
# be written back (status 1). A copy of them is the user's to change: the dry run finds the
# hits there (status 0).
status=0
run "$root/pkg/usr/bin/quillmend" replace "$samples" --all --find grey --replace gray \
    --dry-run >"$root/dry.txt" 2>&1 || status=$?
cat "$root/dry.txt"
if [ "$status" -ne 1 ] || [ "$(grep -c 'would not be written back: .*read-only' "$root/dry.txt")" -ne 3 ]; then
    echo "the dry run on the shipped samples did not refuse them as read-only (status $status)" >&2
    exit 1
fi
run cp -r "$samples" "$root/home/Samples"
run chmod -R u+w "$root/home/Samples"
status=0
run "$root/pkg/usr/bin/quillmend" replace "$root/home/Samples" --all --find grey --replace gray \
    --dry-run >"$root/dry.txt" 2>&1 || status=$?
cat "$root/dry.txt"
if [ "$status" -ne 0 ] || ! grep -q '^PRODUCTS .*3 hits, 3 values would change' "$root/dry.txt"; then
    echo "the dry run on a copy of the samples failed (status $status)" >&2
    exit 1
fi

# The window starts, runs its start-up and waits for the user; it is ended after a while.
status=0
QT_QPA_PLATFORM=offscreen run timeout 5 "$root/pkg/usr/bin/quillmend-studio" \
    >"$root/studio.txt" 2>&1 || status=$?
if [ "$status" -ne 124 ]; then
    cat "$root/studio.txt"
    echo "the packaged window program ended with status $status before it was stopped" >&2
    exit 1
fi
echo "the packaged window program started and ran until it was stopped"

after=$(cd "$root/pkg" && find . -type f -exec md5sum {} + | sort)
if [ "$before" != "$after" ]; then
    echo "a run changed the packaged files" >&2
    diff <(echo "$before") <(echo "$after") >&2 || true
    exit 1
fi
echo "the packaged files are unchanged"
