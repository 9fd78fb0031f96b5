#!/bin/bash
# Installs the Debian package as a user would, checks what it installed and
# that the installed programs work, then removes it and checks that nothing of
# it is left. Needs root; changes the machine's installed packages while it
# runs.
set -euo pipefail
cd "$(dirname "$0")/../.."

fail() { echo "test-package: FAILED: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root, to install the package"
dpkg-query -W -f='${Status}' midi-bridges 2>/dev/null | grep -q 'install ok installed' &&
  fail "midi-bridges is installed already; remove it first"

deb=$(scripts/package.sh | tail -n 1)
# Debian's checker: no error and no warning (information tags are allowed).
lintian --fail-on error,warning "$deb" >/tmp/test-package.lintian 2>&1 ||
  { cat /tmp/test-package.lintian; fail "lintian reports errors or warnings"; }
echo "test-package: lintian reports no error and no warning"
echo "test-package: installing $deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >/tmp/test-package.apt 2>&1 ||
  { cat /tmp/test-package.apt; fail "apt-get install $deb failed"; }
installed=1
trap '[ -n "${installed:-}" ] && apt-get remove -y -q midi-bridges >/dev/null' EXIT

files=$(dpkg -L midi-bridges)
units=(/usr/lib/systemd/user/velkin_bridge@.service /usr/lib/systemd/user/dornel_bridge@.service)
for f in /usr/bin/velkin_bridge /usr/bin/dornel_bridge \
         /usr/share/man/man1/velkin_bridge.1.gz /usr/share/man/man1/dornel_bridge.1.gz \
         /usr/share/doc/midi-bridges/copyright /usr/share/doc/midi-bridges/changelog.gz \
         "${units[@]}"; do
  grep -qx "$f" <<<"$files" || fail "dpkg -L does not list $f"
  [ -e "$f" ] || fail "$f is not there"
done
for p in velkin_bridge dornel_bridge; do
  [ "$(man -w "$p")" = "/usr/share/man/man1/$p.1.gz" ] || fail "man -w $p finds $(man -w "$p" 2>&1)"
done
echo "test-package: dpkg -L lists the programs, man pages, changelog and units; man -w finds both pages"

# The units as systemd reads them, for the system's manager and a user's.
runtime=$(mktemp -d)
chmod 700 "$runtime"
for unit in "${units[@]}"; do
  systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
  XDG_RUNTIME_DIR=$runtime systemd-analyze --user verify "$unit" ||
    fail "systemd-analyze --user verify $unit"
done
rm -rf "$runtime"
echo "test-package: systemd-analyze verify passes on both units"

# Without a sequencer the programs say so and exit 1.
no_sequencer() {
  if [ -c /dev/snd/seq ]; then
    unshare --mount --propagation private sh -c 'mount -t tmpfs none /dev/snd && exec "$@"' sh "$@"
  else
    "$@"
  fi
}
for p in velkin_bridge dornel_bridge; do
  set +e
  no_sequencer "/usr/bin/$p" >/tmp/test-package.out 2>/tmp/test-package.err
  status=$?
  set -e
  [ "$status" -eq 1 ] || fail "$p without a sequencer exited with $status"
  [ "$(tail -n 1 /tmp/test-package.err)" = "Error opening ALSA sequencer." ] ||
    fail "$p without a sequencer said: $(cat /tmp/test-package.err)"
  [ ! -s /tmp/test-package.out ] || fail "$p wrote to standard output"
done
echo "test-package: without a sequencer each program says so and exits 1"

# With one, a tune goes through both installed programs, and a user manager
# runs the installed units.
run="env VELKIN_BRIDGE=/usr/bin/velkin_bridge DORNEL_BRIDGE=/usr/bin/dornel_bridge demo/run-demo.sh build"
run+=" && tests/package/test-units.sh"
if [ -c /dev/snd/seq ]; then
  sh -c "$run" >/tmp/test-package.vm 2>&1 ||
    { cat /tmp/test-package.vm; fail "the installed programs or units failed"; }
else
  tests/vm/run-in-vm.sh "$run" >/tmp/test-package.vm 2>&1 ||
    { cat /tmp/test-package.vm; fail "the installed programs or units failed"; }
fi
grep -q 'Starting the two bridges: /usr/bin/velkin_bridge and /usr/bin/dornel_bridge' /tmp/test-package.vm ||
  fail "the demo did not run the installed programs"
grep 'The tune went' /tmp/test-package.vm | sed 's/^/test-package: /'
grep '^test-units: ' /tmp/test-package.vm | sed 's/^/test-package: /'

DEBIAN_FRONTEND=noninteractive apt-get remove -y -q midi-bridges >/tmp/test-package.apt 2>&1 ||
  { cat /tmp/test-package.apt; fail "apt-get remove failed"; }
installed=
status=$(dpkg-query -W -f='${Status}' midi-bridges 2>/dev/null || true)
case "$status" in
  "" | *not-installed) ;;
  *) fail "after apt-get remove the package's state is: $status" ;;
esac
for f in $files; do
  case "$f" in
    /usr/bin/*|/usr/share/man/man1/*|/usr/share/doc/midi-bridges*)
      [ ! -e "$f" ] || fail "$f is left after apt-get remove" ;;
  esac
done
echo "test-package: apt-get remove leaves nothing of it behind"
echo "test-package: passed"
