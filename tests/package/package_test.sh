#!/usr/bin/env bash
# The package as a packager and a service bench meet it: CPack makes it from
# the built tree, it declares what it needs, its program is stripped and
# hardened, unpacked into a scratch root the installed program shows its
# version and restores the demo card, and lintian finds no error in it.
#
#   package_test.sh PROGRAM PACKAGING_DIR DEMO_DIR   (in the build folder)
set -uo pipefail
built=$1
packaging=$2
demo=$3
build=$PWD
[[ -x $built && -f $packaging/tessarin.1.gz && -f $demo/wincesys.exe ]] || {
  echo "FAIL: the build holds no program, man page or demo archive to pack" >&2
  exit 1
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! (cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "FAIL: cpack could not make the package" >&2
  exit 1
fi
debs=("$work"/out/tessarin_*.deb)
deb=${debs[0]}
[[ -f $deb ]] || { echo "FAIL: no package in $work/out" >&2; exit 1; }
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

depends=$(dpkg-deb --field "$deb" Depends)
for need in dosfstools libarchive libc6 libstdc++; do
  [[ $depends == *"$need"* ]] || fail "Depends does not name $need: $depends"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
for f in usr/bin/tessarin usr/share/man/man1/tessarin.1.gz usr/share/tessarin/CFDef.ini \
  usr/share/doc/tessarin/copyright usr/share/doc/tessarin/changelog.gz; do
  [[ -f $root/$f ]] || fail "the package holds no /$f"
done
program=$root/usr/bin/tessarin

# Stripped (no symbol table) and hardened: read-only relocations bound at
# start, a position-independent executable, the stack protector and the
# checked string functions linked in.
headers=$(readelf -SlhdW --dyn-syms "$program")
grep -q '\.symtab' <<<"$headers" && fail "the program is not stripped"
grep -q GNU_RELRO <<<"$headers" || fail "no read-only relocations (relro)"
grep -Eq 'BIND_NOW|FLAGS_1.*NOW' <<<"$headers" || fail "symbols are not bound at start (bindnow)"
grep -q 'DYN (' <<<"$headers" || fail "not a position-independent executable"
grep -q '__stack_chk_fail' <<<"$headers" || fail "no stack protector"
grep -Eq '__[a-z]+_chk@' <<<"$headers" || fail "no checked string functions (fortify)"

"$program" --version >"$work/version" || fail "--version failed"
version=$(<"$work/version")
[[ $version =~ ^tessarin\ [0-9]+\.[0-9]+\.[0-9]+$'\n'Copyright ]] || fail "--version: no version and copyright lines: $version"
grep -q '^License ' <<<"$version" || fail "--version: no licence line: $version"
help=$("$program" --help) || fail "--help failed"
[[ $(tail -2 <<<"$help" | head -1) == "Report bugs to: <"*">" ]] || fail "--help does not end with where to report bugs"
zcat "$root/usr/share/man/man1/tessarin.1.gz" | grep -q '^\.TH TESSARIN 1' || fail "the man page is not tessarin(1)"

# The installed program restores the demo card from a bench folder that
# holds nothing but the installer archive: the card definitions come from
# where the package put them.
bench=$work/bench
mkdir "$bench"
cp "$demo/wincesys.exe" "$bench/"
card=$work/card.img
truncate -s 96M "$card"
echo 'start=2048, type=c' | sfdisk --quiet "$card"
if ! (cd "$bench" && "$program" --yes "$card") >"$work/restore.out" 2>"$work/restore.err"; then
  cat "$work/restore.out" "$work/restore.err" >&2
  fail "the installed program did not restore the demo card"
fi
grep -qxF "tessarin: card definitions from $root/usr/share/tessarin/CFDef.ini" "$work/restore.err" ||
  fail "the installed program does not say it read the installed card definitions: $(cat "$work/restore.err")"
listing=$(MTOOLS_SKIP_CHECK=1 mdir -a -b -i "$card@@$((2048 * 512))" ::/ 2>&1)
grep -q "^::/BLDR$" <<<"$listing" || fail "no BLDR on the restored card: $listing"

if command -v lintian >/dev/null; then
  lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || {
    cat "$work/lintian.log" >&2
    fail "lintian reports errors"
  }
  cat "$work/lintian.log"
else
  fail "lintian is not installed (scripts/install-deps.sh installs it)"
fi

((failures == 0)) || exit 1
echo "package: $(basename "$deb") made, installed and used"
