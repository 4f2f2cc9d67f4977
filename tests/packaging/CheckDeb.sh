#!/usr/bin/env bash
# CheckDeb.sh BUILD_DIR WORK_DIR: builds the Debian package with cpack into WORK_DIR and checks
# its files, control fields and maintainer scripts with dpkg-deb.
set -euo pipefail
build=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/zarnel_*_amd64.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "no single zarnel_<version>_amd64.deb in $work"
deb=${debs[0]}
version=$(sed -n 's/.*ServerVersion = "\([0-9.]*\)".*/\1/p' "$(dirname "$0")/../../src/common/UnitZarnelGlobal.h")
[[ $(basename "$deb") == "zarnel_${version}_amd64.deb" ]] || fail "file name $(basename "$deb")"

# Exactly these files, nothing from a from-source install.
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | sort)
want=$(printf '%s\n' ./lib/systemd/system/zarnel.service ./usr/bin/zarnel ./usr/bin/zarnel-admin \
  ./usr/bin/zarnel-film ./usr/bin/zarnel-view ./usr/share/doc/zarnel/zarnel.ini.example \
  ./usr/share/man/man1/zarnel.1.gz ./usr/share/man/man1/zarnel-admin.1.gz \
  ./usr/share/man/man1/zarnel-film.1.gz ./usr/share/man/man1/zarnel-view.1.gz | sort)
[[ $files == "$want" ]] || fail "files:"$'\n'"$files"
grep -q '^-rwxr-xr-x root/root .* ./usr/bin/zarnel$' <<<"$listing" || fail "zarnel mode or owner"

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == zarnel ]] || fail "Package"
[[ $(field Version) == "$version" ]] || fail "Version $(field Version)"
[[ $(field Architecture) == amd64 ]] || fail "Architecture"
[[ -n $(field Maintainer) && -n $(field Description) ]] || fail "Maintainer or Description"
depends=$(field Depends)
for dep in adduser libc6 libstdc++6 libsystemd0 libcpp-httplib; do
  [[ $depends == *"$dep"* ]] || fail "Depends lacks $dep: $depends"
done

# The unit starts the packaged binary; the scripts are executable and parse.
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./lib/systemd/system/zarnel.service >"$work/unit"
grep -qx 'ExecStart=/usr/bin/zarnel' "$work/unit" || fail "ExecStart"
mkdir "$work/control" && dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [[ -x $work/control/$script ]] || fail "$script missing or not executable"
  sh -n "$work/control/$script" || fail "$script does not parse"
done
grep -q 'adduser --system' "$work/control/postinst" || fail "postinst makes no user"
grep -q '/var/lib/zarnel' "$work/control/postinst" || fail "postinst makes no /var/lib/zarnel"
! grep -q 'rm ' "$work/control/postrm" || fail "postrm removes something"

# A manual page per program, of this version; the tools' pages are made from their --help.
for page in zarnel zarnel-admin zarnel-film zarnel-view; do
  text=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/man/man1/$page.1.gz" | gzip -dc)
  grep -Eq "^\.TH \"?${page^^}\"? \"?1\"? .*$version" <<<"$text" || fail "$page.1 header"
  grep -q '^\.SH SYNOPSIS' <<<"$text" || fail "$page.1 synopsis"
  [[ $page == zarnel ]] || grep -q 'print this help' <<<"$text" || fail "$page.1 lacks --help"
done
echo "package ok: $(basename "$deb")"
