#!/usr/bin/env bash
# Builds the .deb from the build tree given as $1 into a temporary folder,
# checks its control fields and contents, has lintian check it, unpacks it
# and runs what it holds.
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/trelk-deb-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
debs=("$work"/out/trelk_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || fail "expected one trelk_*.deb, got: ${debs[*]}"
deb=${debs[0]}
echo "built $(basename "$deb")"

info=$(dpkg-deb --info "$deb")
grep -q '^ Package: trelk$' <<<"$info" || fail "package name is not trelk"
depends=$(sed -n 's/^ Depends: //p' <<<"$info")
echo "Depends: $depends"
names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for lib in libudev1 libstdc++6 libc6; do
  grep -qxF -- "$lib" <<<"$names" || fail "Depends lacks $lib"
done

contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for path in ./usr/bin/trelk ./usr/bin/trelk-pkg \
    ./usr/share/man/man1/trelk.1.gz ./usr/share/man/man1/trelk-pkg.1.gz \
    ./usr/share/bash-completion/completions/trelk ./usr/share/trelk/sample-v3.10.ufw; do
  grep -qx -- "$path" <<<"$contents" || fail "$path missing from the package"
done

# The licence and the changelog where Debian looks for them; the changelog's
# newest entry is this package's version.
for path in ./usr/share/doc/trelk/copyright ./usr/share/doc/trelk/changelog.gz; do
  grep -qx -- "$path" <<<"$contents" || fail "$path missing from the package"
done
version=$(dpkg-deb -f "$deb" Version)
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/trelk/copyright >"$work/copyright"
grep -q '^License: Expat$' "$work/copyright" || fail "the copyright file names no Expat (MIT) licence"
top=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/trelk/changelog.gz | zcat | head -n 1)
[[ $top == "trelk ($version) "* ]] || fail "the changelog starts '$top', not version $version"

# Debian policy as lintian reads it: no error and no warning on whatever the
# package holds (information and pedantic tags are not failures).
command -v lintian >/dev/null || fail "lintian is not installed (scripts/test.sh installs it)"
set +e
lintian --tag-display-limit 0 --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1
lintian_status=$?
set -e
cat "$work/lintian.log"
if grep -q '^[EW]: ' "$work/lintian.log" || ((lintian_status != 0)); then
  fail "lintian reports errors or warnings (status $lintian_status)"
fi
echo "lintian: no errors, no warnings"

# It would install cleanly here: apt resolves its dependencies (simulation
# only, nothing is installed).
apt-get install -s -q "$deb" >"$work/apt.log" 2>&1 && grep -q '^Inst trelk ' "$work/apt.log" ||
  { cat "$work/apt.log" >&2; fail "apt-get cannot install the package"; }

root="$work/root"
dpkg-deb -x "$deb" "$root"

# trelk --version prints its version and stops with 255, as every parse that
# runs no action does.
set +e
out=$("$root/usr/bin/trelk" --version)
status=$?
set -e
[[ $out == "trelk 3.00" && $status -eq 255 ]] ||
  fail "unpacked trelk --version gave '$out' with status $status"
echo "unpacked trelk --version: $out"
[[ $("$root/usr/bin/trelk-pkg" --version) == "trelk-pkg (trelk) 3.00" ]] ||
  fail "unpacked trelk-pkg --version"
"$root/usr/bin/trelk-pkg" check "$root/usr/share/trelk/sample-v3.10.ufw" >/dev/null ||
  fail "unpacked trelk-pkg check on the shipped sample"
pages=(trelk trelk-pkg)
if [[ -x $build/trelk-hubsim ]]; then
  grep -qx ./usr/bin/trelk-hubsim <<<"$contents" || fail "trelk-hubsim missing from the package"
  "$root/usr/bin/trelk-hubsim" --version >/dev/null || fail "unpacked trelk-hubsim --version"
  pages+=(trelk-hubsim)
fi
if [[ -x $build/trelk-fleet ]]; then
  # trelk-fleet's libraries: libcurl (HTTPS to a site's server) and libcrypto
  # (SHA-256, which trelk-pkg uses too); nlohmann/json is compiled in.
  for lib in libcurl4 libssl3; do
    grep -qxF -- "$lib" <<<"$names" || fail "Depends lacks $lib"
  done
  for path in ./usr/bin/trelk-fleet ./usr/share/bash-completion/completions/trelk-fleet \
    ./usr/share/doc/trelk/examples/trelk-station.service; do
    grep -qx -- "$path" <<<"$contents" || fail "$path missing from the package"
  done
  [[ $("$root/usr/bin/trelk-fleet" --version) == "trelk-fleet (trelk) 3.00" ]] ||
    fail "unpacked trelk-fleet --version"
  reply=$(bash -c 'source "$1"; COMP_WORDS=(trelk-fleet --dry); COMP_CWORD=1; _trelk_fleet; echo "${COMPREPLY[*]}"' \
    _ "$root/usr/share/bash-completion/completions/trelk-fleet")
  [[ $reply == "--dry-run" ]] || fail "trelk-fleet completion of --dry gave '$reply'"
  # The station's unit is an example only: nothing under the system's unit
  # folders, so installing the package starts no station.
  grep -q -E '^\./(usr/)?lib/systemd/' <<<"$contents" && fail "the package installs a systemd unit"
  grep -q -- '--watch' "$root/usr/share/doc/trelk/examples/trelk-station.service" ||
    fail "the station's unit does not run trelk-fleet --watch"
  grep -q -- '--history /var/lib/trelk/history.jsonl' \
    "$root/usr/share/doc/trelk/examples/trelk-station.service" ||
    fail "the station's unit keeps no history in /var/lib/trelk/history.jsonl"
  reply=$(bash -c 'source "$1"; COMP_WORDS=(trelk-fleet --li); COMP_CWORD=1; _trelk_fleet; echo "${COMPREPLY[*]}"' \
    _ "$root/usr/share/bash-completion/completions/trelk-fleet")
  [[ $reply == "--list" ]] || fail "trelk-fleet completion of --li gave '$reply'"
  pages+=(trelk-fleet)
fi

# Every man page renders without a warning and has its usual sections.
for page in "${pages[@]}"; do
  file="$root/usr/share/man/man1/$page.1.gz"
  [[ -f $file ]] || fail "$page.1.gz missing"
  text=$(MANWIDTH=80 LC_ALL=C.UTF-8 man -l "$file" 2>"$work/man.err") || fail "man -l $page failed"
  [[ ! -s $work/man.err ]] && ! zcat "$file" | groff -man -ww -z 2>&1 | grep -q . ||
    { cat "$work/man.err" >&2; zcat "$file" | groff -man -ww -z >&2; fail "$page(1) renders with warnings"; }
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" "SEE ALSO"; do
    grep -q "^$section" <<<"$text" || fail "$page(1) has no $section section"
  done
  echo "man -l $page.1.gz: $(wc -l <<<"$text") lines"
done

# The completion loads in bash and completes trelk's options.
reply=$(bash -c 'source "$1"; COMP_WORDS=(trelk --exit); COMP_CWORD=1; _trelk; echo "${COMPREPLY[*]}"' \
  _ "$root/usr/share/bash-completion/completions/trelk")
[[ $reply == "--exit-bootloader" ]] || fail "completion of --exit gave '$reply'"
echo "ok"
