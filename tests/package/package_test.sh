#!/bin/bash
# The Debian package as a user gets it: made by CPack from a build tree,
# unpacked with dpkg -x into a temporary root, and its tools run from there.
#
# Usage: package_test.sh CPACK BUILD_DIR SOURCE_DIR
set -u
cpack=$1
build=$2
source=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 || {
    cat "$work/cpack.log"
    fail "cpack -G DEB failed"
}
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb, found: ${debs[*]}"
deb=${debs[0]}
echo "made $(basename "$deb")"

info=$(dpkg-deb --field "$deb" Package Section Maintainer Description) || fail "dpkg-deb cannot read it"
for field in "Package: vintrel" "Section: utils" "Maintainer: " "Description: upload a program"; do
    grep -q "^$field" <<<"$info" || fail "control field '$field' missing in:"$'\n'"$info"
done

root=$work/root
dpkg -x "$deb" "$root" || fail "dpkg -x failed"
for tool in Vintrel vintrel-receive; do
    [ -x "$root/usr/bin/$tool" ] || fail "usr/bin/$tool is not installed"
done
[ -f "$root/usr/share/man/man1/Vintrel.1" ] || fail "usr/share/man/man1/Vintrel.1 is not installed"

usage=$("$root/usr/bin/Vintrel")
status=$?
[ "$usage" = "Parameter error: Vintrel filename comport" ] && [ $status -eq 41 ] ||
    fail "installed Vintrel without arguments printed '$usage' with status $status"

# One real upload from the installed Vintrel to the installed receiving end.
"$source/examples/demo.sh" --bin "$root/usr/bin" || fail "the upload between the installed tools failed"
echo "package test passed"
