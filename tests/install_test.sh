#!/bin/bash
# Installs a build into a scratch prefix, and once more staged under
# DESTDIR, and checks what lands there: both programs, the manual pages,
# the systemd unit with its ExecStart pointing at the installed relay, the
# relay's options file, and the example AS name file (never an asnc.txt of
# its own).
# Usage: install_test.sh CMAKE BUILD_DIR AS_NAME_FILE UNIT_DIR DEFAULTS_DIR
# AS_NAME_FILE is the path the build was configured to compile into nelk,
# UNIT_DIR the configured NELK_SYSTEMD_UNIT_DIR, DEFAULTS_DIR the directory
# of the options file (absolute, or relative to the prefix).
set -uo pipefail
if [ $# -ne 5 ]; then
    echo "usage: $0 CMAKE BUILD_DIR AS_NAME_FILE UNIT_DIR DEFAULTS_DIR" >&2
    exit 2
fi
cmake=$1 build=$2 asn_file=$3 unit_dir=$4 defaults_dir=$5

scratch=$(mktemp -d "${TMPDIR:-/tmp}/nelk-install.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
# A unit or options directory outside the prefix (/lib/systemd/system and
# /etc/default for a /usr prefix) is written under DESTDIR here, never into
# the system itself.
root=
case $unit_dir in /*) root=$scratch/root ;; esac
case $defaults_dir in /*) root=$scratch/root ;; esac
case $unit_dir in
    /*) unit=$root$unit_dir/nelkd.service ;;
    *) unit=$root$prefix/$unit_dir/nelkd.service ;;
esac
case $defaults_dir in
    /*) defaults=$root$defaults_dir/nelkd ;;
    *) defaults=$root$prefix/$defaults_dir/nelkd ;;
esac
export DESTDIR=$root
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

if ! "$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
    cat "$scratch/install.log"
    fail "cmake --install $build --prefix $prefix"
fi

installed=$root$prefix
for f in bin/nelkd bin/nelk; do
    [ -f "$installed/$f" ] && [ -x "$installed/$f" ] || fail "$f is not an installed program"
done
for f in share/man/man8/nelkd.8 share/man/man1/nelk.1 share/nelk/asnc.txt.example; do
    [ -f "$installed/$f" ] && [ -s "$installed/$f" ] || fail "$f is missing or empty"
done
[ -f "$unit" ] || fail "no unit at $unit"
grep -qx 'NELKD_OPTS=""' "$defaults" 2>/dev/null ||
    fail "no options file with empty NELKD_OPTS at $defaults"
[ ! -e "$installed/share/nelk/asnc.txt" ] ||
    fail "share/nelk/asnc.txt installed: it is the operator's file, only the example is ours"

if [ -x "$installed/bin/nelk" ]; then
    version=$("$installed/bin/nelk" -v)
    status=$?
    [ "$status" -eq 0 ] || fail "nelk -v exited with status $status"
    [ "$version" = "nelk version 0.3, October 4 2001" ] ||
        fail "nelk -v printed '$version'"
    # The AS name file's path is compiled in from the configured prefix.
    grep -qaF "$asn_file" "$installed/bin/nelk" ||
        fail "installed nelk does not name the AS name file $asn_file"
fi
if [ -x "$installed/bin/nelkd" ]; then
    usage=$("$installed/bin/nelkd" -h 2>/dev/null | head -n 1)
    [ "$usage" = "Usage: $installed/bin/nelkd [ -u <udpport> ] [ -t <tcpport> ]" ] ||
        fail "installed nelkd -h printed '$usage'"
fi

if [ -f "$unit" ]; then
    exec_start=$(grep '^ExecStart=' "$unit")
    [ "$exec_start" = "ExecStart=$prefix/bin/nelkd \$NELKD_OPTS" ] ||
        fail "unit has '$exec_start', not the installed nelkd"
    ! grep -q '@[A-Z_]*@' "$unit" || fail "unit still has a placeholder"
    grep -qx 'EnvironmentFile=-/etc/default/nelkd' "$unit" ||
        fail "unit does not read its options from /etc/default/nelkd"
    # systemd's own check of the unit, without the manual page look-up
    # (which needs man and a MANPATH holding the scratch prefix).
    if command -v systemd-analyze >/dev/null; then
        mkdir -p "$scratch/unit"
        # ExecStart must name a program that exists.
        sed -e '/^Documentation=/d' -e "s|^ExecStart=$prefix/|ExecStart=$installed/|" \
            "$unit" >"$scratch/unit/nelkd.service"
        if ! verdict=$(systemd-analyze verify "$scratch/unit/nelkd.service" 2>&1) ||
            [ -n "$verdict" ]; then
            fail "systemd-analyze verify: $verdict"
        fi
    else
        echo "SKIP: systemd-analyze is not installed, the unit was not verified"
    fi
fi

# Staged for a package: files under DESTDIR, paths in them without it.
stage=$scratch/stage
case $unit_dir in
    /*) staged=$stage$unit_dir/nelkd.service ;;
    *) staged=$stage/usr/local/$unit_dir/nelkd.service ;;
esac
if DESTDIR=$stage "$cmake" --install "$build" --prefix /usr/local >"$scratch/stage.log" 2>&1; then
    if [ -f "$staged" ]; then
        exec_start=$(grep '^ExecStart=' "$staged")
        [ "$exec_start" = "ExecStart=/usr/local/bin/nelkd \$NELKD_OPTS" ] ||
            fail "staged unit has '$exec_start'"
    else
        fail "staged install has no $staged"
    fi
    [ -x "$stage/usr/local/bin/nelkd" ] || fail "staged install has no bin/nelkd"
    case $defaults_dir in
        /*) staged=$stage$defaults_dir/nelkd ;;
        *) staged=$stage/usr/local/$defaults_dir/nelkd ;;
    esac
    [ -f "$staged" ] || fail "staged install has no $staged"
else
    cat "$scratch/stage.log"
    fail "DESTDIR=$stage cmake --install $build --prefix /usr/local"
fi

# The manual pages must format without a single warning.
if command -v groff >/dev/null; then
    for page in "$installed/share/man/man8/nelkd.8" "$installed/share/man/man1/nelk.1"; do
        [ -f "$page" ] || continue
        warnings=$(groff -man -ww -z "$page" 2>&1)
        [ -z "$warnings" ] || fail "groff warns about $(basename "$page"): $warnings"
    done
else
    echo "SKIP: groff is not installed, the manual pages were not formatted"
fi

if [ "$failures" -ne 0 ]; then
    echo "install test: $failures check(s) failed"
    exit 1
fi
echo "install test: everything in place"
