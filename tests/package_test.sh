#!/bin/bash
# Builds the Debian package from a scratch Release build configured for
# /usr, checks its contents and control fields with dpkg-deb, unpacks it
# into a scratch root (never the system's own dpkg database) and runs the
# unpacked programs. Also checks that a build configured for another prefix
# gets no Debian package. Exits 77 (skipped) without dpkg-deb.
# Usage: package_test.sh CMAKE CPACK SOURCE_DIR CXX VERSION WERROR
set -uo pipefail
if [ $# -ne 6 ]; then
    echo "usage: $0 CMAKE CPACK SOURCE_DIR CXX VERSION WERROR" >&2
    exit 2
fi
cmake=$1 cpack=$2 src=$3 cxx=$4 version=$5 werror=$6
if ! command -v dpkg-deb >/dev/null; then
    echo "SKIP: dpkg-deb is not installed"
    exit 77
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/nelk-package.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# Runs a step with its output in a log, shown only when it fails.
step() {
    local log=$scratch/step.log
    if ! "$@" >"$log" 2>&1; then
        cat "$log"
        echo "FAIL: $*"
        exit 1
    fi
}

build=$scratch/build
step "$cmake" -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_INSTALL_PREFIX=/usr -DNELK_TESTS=OFF -DNELK_BENCH=OFF -DNELK_WERROR="$werror"
step "$cmake" --build "$build" -j 2
(cd "$build" && step "$cpack" -G DEB) || exit 1
arch=$(dpkg --print-architecture)
deb=$build/nelk_${version}_${arch}.deb
[ -f "$deb" ] || { fail "no $(basename "$deb") in the build"; ls "$build"; exit 1; }

# Contents: exactly these files, owned by root; programs executable.
expected="./etc/default/nelkd
./lib/systemd/system/nelkd.service
./usr/bin/nelk
./usr/bin/nelkd
./usr/share/man/man1/nelk.1.gz
./usr/share/man/man8/nelkd.8.gz
./usr/share/nelk/asnc.txt.example"
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ { print $6 }' <<<"$listing" | sort)
[ "$files" = "$expected" ] || fail "package holds
$files
not
$expected"
awk '$2 != "root/root" { exit 1 }' <<<"$listing" || fail "files not owned by root"
for f in ./usr/bin/nelk ./usr/bin/nelkd; do
    grep -qE "^-rwxr-xr-x .* $f\$" <<<"$listing" || fail "$f is not mode 755"
done

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = nelk ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = net ] || fail "Section: $(field Section)"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
    fail "Maintainer: '$(field Maintainer)' is not a name and address"
[[ $(field Depends) =~ (^|, )libc6( |,|$) ]] || fail "Depends: '$(field Depends)' lacks libc6"
[ "$(field Description | wc -l)" -ge 2 ] || fail "Description has no long text"
conffiles=$(dpkg-deb -I "$deb" conffiles)
[ "$conffiles" = /etc/default/nelkd ] || fail "conffiles: '$conffiles'"

# Unpacked into a scratch root: every file as its checksum says, the
# programs run, the paths in them are the system's.
root=$scratch/root
step dpkg-deb -x "$deb" "$root"
(cd "$root" && dpkg-deb -I "$deb" md5sums | md5sum --quiet -c -) || fail "md5sums do not match"
version_line=$("$root/usr/bin/nelk" -v)
status=$?
[ "$status" -eq 0 ] || fail "nelk -v exited with status $status"
[ "$version_line" = "nelk version $version, October 4 2001" ] ||
    fail "nelk -v printed '$version_line'"
grep -qaF /usr/share/nelk/asnc.txt "$root/usr/bin/nelk" ||
    fail "packaged nelk does not look for /usr/share/nelk/asnc.txt"
usage=$("$root/usr/bin/nelkd" -h 2>/dev/null | head -n 1)
[ "$usage" = "Usage: $root/usr/bin/nelkd [ -u <udpport> ] [ -t <tcpport> ]" ] ||
    fail "packaged nelkd -h printed '$usage'"
exec_start=$(grep '^ExecStart=' "$root/lib/systemd/system/nelkd.service")
[ "$exec_start" = 'ExecStart=/usr/bin/nelkd $NELKD_OPTS' ] || fail "unit has '$exec_start'"
cmp -s "$root/etc/default/nelkd" "$src/relay/nelkd.default" ||
    fail "/etc/default/nelkd is not relay/nelkd.default"
# Built hardened, as packagers expect: full RELRO, stack protector,
# fortified sources.
for prog in nelkd nelk; do
    elf=$root/usr/bin/$prog
    readelf -lW "$elf" | grep -q GNU_RELRO || fail "$prog has no RELRO"
    readelf -dW "$elf" | grep -qE 'BIND_NOW|FLAGS_1.* NOW' || fail "$prog is not bound at start"
    syms=$(readelf --dyn-syms -W "$elf")
    grep -q __stack_chk_fail <<<"$syms" || fail "$prog has no stack protector"
    grep -qE '__[a-z_]+_chk@' <<<"$syms" || fail "$prog makes no fortified calls"
done
# The manual pages' headers name the version that nelk -v prints.
for page in usr/share/man/man1/nelk.1.gz usr/share/man/man8/nelkd.8.gz; do
    header=$(gzip -dc "$root/$page" 2>/dev/null | grep -m1 '^\.TH ')
    [[ $header == *"\"nelk $version\""* ]] || fail "$page: header '$header' is not of nelk $version"
done

# A build for /usr/local would carry /usr/local/share/nelk/asnc.txt in nelk
# while the package puts files under /usr: cpack refuses it.
local_build=$scratch/local
step "$cmake" -S "$src" -B "$local_build" -DCMAKE_CXX_COMPILER="$cxx" \
    -DNELK_TESTS=OFF -DNELK_BENCH=OFF
if refusal=$(cd "$local_build" && "$cpack" -G DEB 2>&1); then
    fail "cpack -G DEB made a package of a build for /usr/local"
elif ! grep -q -- '-DCMAKE_INSTALL_PREFIX=/usr' <<<"$refusal"; then
    fail "cpack -G DEB for /usr/local: $refusal"
fi

if [ "$failures" -ne 0 ]; then
    echo "package test: $failures check(s) failed"
    exit 1
fi
echo "package test: $(basename "$deb") holds what it should"
