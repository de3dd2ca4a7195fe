#!/bin/bash
# Builds the test bed's wineserver: Debian's own source of the installed wine
# (Debian's patches applied, so the server protocol matches the installed
# wine), plus the patches in testbed/wineserver/, and nothing but
# server/wineserver. The result is cached outside the checkout, keyed by the
# patches and the wine version; a cache hit returns at once.
#
#   scripts/build-wineserver.sh        prints the path of the server binary
#
# Use:  export PANEL_WINESERVER=$(scripts/build-wineserver.sh)
#       scripts/wine-env.sh start build/wine
#
# Needs root (or sudo) the first time: it adds a deb-src entry for Debian's
# archive and installs the few build tools. PANEL_CACHE moves the cache
# (default /var/cache/panel). Only the binary's path goes to stdout.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${PANEL_CACHE:-/var/cache/panel}
log() { echo "build-wineserver: $*" >&2; }
die() { log "ERROR: $*"; exit 1; }

version=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null) || die "wine64 is not installed (run scripts/setup.sh)"
shopt -s nullglob
patches=("$root"/testbed/wineserver/*.patch)
shopt -u nullglob
[ ${#patches[@]} -gt 0 ] || die "no patches in testbed/wineserver/"

key=$( { echo "wine $version"; for p in "${patches[@]}"; do basename "$p"; cat "$p"; done; } \
       | sha256sum | cut -c1-16)
out="$cache/wineserver-$key/wineserver"
if [ -x "$out" ]; then echo "$out"; exit 0; fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO mkdir -p "$cache"
[ -w "$cache" ] || $SUDO chown "$(id -u):$(id -g)" "$cache"

# One build at a time; whoever waited finds the result in the cache.
exec 9>"$cache/.build.lock"
flock 9
if [ -x "$out" ]; then echo "$out"; exit 0; fi

start=$(date +%s)
log "building the patched wineserver for wine $version (key $key)"

# Build tools (only what configure and the server need).
need=(dpkg-dev autoconf autotools-dev flex bison make gcc perl)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Pristine source, extracted once per version, Debian's patches applied.
srcroot="$cache/wine-source-$version"
if [ ! -f "$srcroot/.complete" ]; then
  if ! apt-cache showsrc wine 2>/dev/null | grep -qx "Version: $version"; then
    # Same archive, same suites as the binary packages, as a source entry.
    list=/etc/apt/sources.list.d/panel-debsrc.sources
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed -e 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
        | $SUDO tee "$list" >/dev/null
    elif [ -f /etc/apt/sources.list ]; then
      list=/etc/apt/sources.list.d/panel-debsrc.list
      sed -n 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list | $SUDO tee "$list" >/dev/null
    else
      die "no Debian package sources found in /etc/apt"
    fi
    log "added $list; apt-get update"
    $SUDO apt-get update -qq
  fi
  rm -rf "$srcroot" && mkdir -p "$srcroot"
  log "apt-get source wine=$version"
  (cd "$srcroot" && apt-get source -q --only-source "wine=$version" >"$srcroot/source.log" 2>&1) \
    || { tail -20 "$srcroot/source.log" >&2; die "apt-get source wine=$version failed"; }
  ln -s "$(cd "$srcroot" && ls -d wine-*/ | head -1)" "$srcroot/tree"
  [ -f "$srcroot/tree/server/device.c" ] || die "unexpected source layout in $srcroot"
  touch "$srcroot/.complete"
fi

build="$cache/build-$key"
rm -rf "$build"
cp -a "$srcroot/tree/." "$build"
cd "$build"

for p in "${patches[@]}"; do
  log "applying $(basename "$p")"
  patch -p1 --no-backup-if-mismatch -s <"$p" || die "$(basename "$p") does not apply"
done

# The generated parts Debian strips from the source and rebuilds
# (debian/rules, override_dh_auto_configure), as far as the server needs.
./debian/scripts/generate server/trace.generated make_requests
./debian/scripts/generate server/request.generated make_requests
./tools/make_requests >/dev/null
ln -sf /usr/share/misc/config.sub tools
ln -sf /usr/share/misc/config.guess tools
grep -E '^\s+ln -sf \.\./\.\./' debian/rules | sed 's/^\s*//' | sh
autoreconf -f >&2

# makedep wants every source of the tree to exist, also the generated data
# files nothing of the server uses: empty placeholders for those.
sed -n '/^Files-Excluded:/,/^[A-Z]/p' debian/copyright | sed -n 's/^ //p' \
  | grep -v '\*' | grep -E '\.(c|h|spec|json|rgs)$' | grep -v '^libs/wine/' \
  | while read -r f; do [ -e "$f" ] || { mkdir -p "$(dirname "$f")"; : >"$f"; }; done
for f in vulkan.h vulkan_driver.h wgl.h wgl_driver.h; do
  [ -e "include/wine/$f" ] || : >"include/wine/$f"
done
sed -n 's/^\s*\([A-Za-z0-9_]*\.nls\).*/\1/p' nls/Makefile.in \
  | while read -r f; do [ -e "nls/$f" ] || : >"nls/$f"; done

log "configure"
./configure --enable-win64 --without-mingw --without-x --without-freetype --disable-tests \
  --prefix=/usr --datarootdir=/usr/share/wine >"$build/configure.log" 2>&1 \
  || { tail -20 "$build/configure.log" >&2; die "configure failed (log: $build/configure.log)"; }

log "make server/wineserver"
make -j"$(nproc)" server/wineserver >"$build/make.log" 2>&1 \
  || { tail -20 "$build/make.log" >&2; die "make failed (log: $build/make.log)"; }

dest="$cache/wineserver-$key"
mkdir -p "$dest.tmp"
cp server/wineserver "$dest.tmp/wineserver"
cp "${patches[@]}" "$dest.tmp/"
echo "wine $version" >"$dest.tmp/VERSION"
rm -rf "$dest" && mv "$dest.tmp" "$dest"
cd / && rm -rf "$build"

log "done in $(( $(date +%s) - start )) s"
echo "$out"
