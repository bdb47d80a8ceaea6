#!/usr/bin/env bash
# Checks what the Debian packages give desktops, software centres and Debian's own checks.
#   package_check.sh --metadata-only RESOURCES_DIR
#       validates the .desktop and metainfo files as they stand in the sources;
#   package_check.sh BUILD_DIR ICON_LOOKUP_TOOL
#       makes the package(s) from the build with CPack, installs them with dpkg into a scratch
#       root, and checks that the wizard's package holds the program, its .desktop file in the
#       applications folder, its icon at every size in the hicolor theme (resolved by Qt's icon
#       loader, as a launcher would), and its metainfo file where software centres look;
#   package_check.sh --lintian BUILD_DIR
#       makes the package(s) and runs lintian on each: no error and no warning may remain, and
#       no command in /usr/bin may have a name another tool could want.
set -euo pipefail

fail() { echo "package-check: $*" >&2; exit 1; }

# desktop-file-validate prints hints and warnings but fails only on errors; any line is a fault.
validate_desktop() {
  local out
  out=$(desktop-file-validate "$1" 2>&1) || fail "desktop-file-validate $1: $out"
  [[ -z $out ]] || fail "desktop-file-validate $1: $out"
}
# --strict fails on anything above pedantic level: errors, warnings and infos.
validate_metainfo() {
  local out
  out=$(appstreamcli validate --no-net --strict "$1" 2>&1) || fail "appstreamcli validate $1: $out"
}

if [[ ${1:-} == --metadata-only ]]; then
  resources=$2
  shopt -s nullglob
  desktops=("$resources"/*.desktop) metainfos=("$resources"/*.metainfo.xml)
  ((${#desktops[@]} && ${#metainfos[@]})) || fail "no .desktop or metainfo file in $resources"
  for file in "${desktops[@]}"; do validate_desktop "$file"; done
  for file in "${metainfos[@]}"; do validate_metainfo "$file"; done
  echo "package-check: ${#desktops[@]} .desktop and ${#metainfos[@]} metainfo file(s) valid"
  exit 0
fi

# make_packages BUILD_DIR: the packages CPack makes from the build, in $work/out, listed in debs.
make_packages() {
  local build
  build=$(cd "$1" && pwd)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 \
    || fail "cpack failed: $(tail -n 20 "$work/cpack.log")"
  shopt -s nullglob
  debs=("$work/out"/*.deb)
  ((${#debs[@]})) || fail "cpack made no package: $(tail -n 20 "$work/cpack.log")"
}

if [[ ${1:-} == --lintian ]]; then
  make_packages "$2"
  for deb in "${debs[@]}"; do
    status=0
    out=$(lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1) || status=$?
    # lintian says it would rather not run as root; that line is no finding.
    out=$(grep -v '^running with root privileges' <<<"$out" || true)
    ((status == 0)) && [[ -z $out ]] || fail "lintian $(basename "$deb") (status $status):"$'\n'"$out"
    # Commands of our own have our own names: dorvane-..., or advhttp.
    while read -r command; do
      [[ $command == dorvane-* || $command == advhttp ]] \
        || fail "$(basename "$deb") installs /usr/bin/$command, a name another tool could want"
    done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -n 's:^\./usr/bin/\(..*\)$:\1:p')
  done
  echo "package-check: lintian finds nothing in $(for deb in "${debs[@]}"; do basename "$deb"; done | paste -sd' ')"
  exit 0
fi

make_packages "$1"
ICON_LOOKUP=$2

# A scratch root with an empty package database: dpkg installs the files as on a real system
# (dependencies are the real system's business, so they are not looked for here).
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: >"$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-script-chrootless -i "${debs[@]}" >"$work/dpkg.log" 2>&1 \
  || fail "dpkg -i failed: $(cat "$work/dpkg.log")"

owner() { dpkg --root="$root" -S "$1" 2>/dev/null | sed -n 's/: .*//p' | head -n 1; }
wizard_package=$(owner /usr/bin/dorvane-setup)
[[ -n $wizard_package ]] || fail "no package installs /usr/bin/dorvane-setup"
belongs() {  # belongs PATH: installed, and by the wizard's package
  [[ -e $root$1 ]] || fail "$1 is not installed"
  [[ $(owner "$1") == "$wizard_package" ]] || fail "$1 belongs to '$(owner "$1")', not $wizard_package"
}

deb=
for d in "${debs[@]}"; do
  if [[ $(dpkg-deb -f "$d" Package) == "$wizard_package" ]]; then deb=$d; fi
done
depends=$(dpkg-deb -f "$deb" Depends)
for needed in qt6-qpa-plugins qt6-wayland hicolor-icon-theme; do
  [[ ", $depends," == *", $needed"[\ ,]* ]] || fail "$wizard_package does not depend on $needed: $depends"
done
# Packages made from this build go together: the wizard needs the very library built with it.
version=$(dpkg-deb -f "$deb" Version)
for d in "${debs[@]}"; do
  package=$(dpkg-deb -f "$d" Package)
  [[ $package == lib*[0-9] ]] || continue
  [[ ", $depends," == *", $package (= $version),"* ]] || fail "$wizard_package does not depend on $package (= $version): $depends"
done

desktop=/usr/share/applications/dorvane-setup.desktop
belongs "$desktop"
validate_desktop "$root$desktop"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$root$desktop")
icon_name=$(sed -n 's/^Icon=//p' "$root$desktop")
belongs "/usr/bin/$exec_name"

sizes=(16 24 32 48 64 128 256)
for size in "${sizes[@]}"; do
  file=/usr/share/icons/hicolor/${size}x$size/apps/$icon_name.png
  belongs "$file"
  [[ $(identify -format '%wx%h' "$root$file") == "${size}x$size" ]] || fail "$file is not $size pixels square"
done
belongs "/usr/share/icons/hicolor/scalable/apps/$icon_name.svg"
/usr/bin/python3 -c 'import sys, xml.dom.minidom as m; assert m.parse(sys.argv[1]).documentElement.tagName == "svg"' \
  "$root/usr/share/icons/hicolor/scalable/apps/$icon_name.svg" || fail "the scalable icon is no SVG drawing"
# The theme's index comes from the system (package hicolor-icon-theme), the pictures from the root.
mkdir -m 0700 "$work/runtime"
resolved=$(QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work/runtime "$ICON_LOOKUP" "$root/usr/share/icons" /usr/share/icons -- "$icon_name") \
  || fail "the hicolor theme has no icon $icon_name"
for size in "${sizes[@]}"; do
  grep -qx "$size ${size}x$size" <<<"$resolved" || fail "the theme gives no $size-pixel $icon_name; it gives: $resolved"
done

metainfos=("$root"/usr/share/metainfo/*.metainfo.xml)
((${#metainfos[@]} == 1)) || fail "expected one metainfo file in /usr/share/metainfo, found ${#metainfos[@]}"
metainfo=${metainfos[0]#"$root"}
belongs "$metainfo"
validate_metainfo "$root$metainfo"
grep -q "<launchable type=\"desktop-id\">$(basename "$desktop")</launchable>" "$root$metainfo" \
  || fail "$metainfo does not launch $(basename "$desktop")"
[[ $(basename "$metainfo" .metainfo.xml) == $(sed -n 's:.*<id>\(.*\)</id>.*:\1:p' "$root$metainfo") ]] \
  || fail "$metainfo is not named after its component id"

echo "package-check: $wizard_package installs $exec_name, $(basename "$desktop"), $icon_name at ${sizes[*]} px and scalable, and $(basename "$metainfo")"
