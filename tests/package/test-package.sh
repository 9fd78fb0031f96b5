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
echo "test-package: installing $deb"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >/tmp/test-package.apt 2>&1 ||
  { cat /tmp/test-package.apt; fail "apt-get install $deb failed"; }
installed=1
trap '[ -n "${installed:-}" ] && apt-get remove -y -q midi-bridges >/dev/null' EXIT

files=$(dpkg -L midi-bridges)
for f in /usr/bin/velkin_bridge /usr/bin/dornel_bridge \
         /usr/share/man/man1/velkin_bridge.1 /usr/share/man/man1/dornel_bridge.1 \
         /usr/share/doc/midi-bridges/copyright; do
  grep -qx "$f" <<<"$files" || fail "dpkg -L does not list $f"
  [ -e "$f" ] || fail "$f is not there"
done
for p in velkin_bridge dornel_bridge; do
  [ "$(man -w "$p")" = "/usr/share/man/man1/$p.1" ] || fail "man -w $p finds $(man -w "$p" 2>&1)"
done
echo "test-package: dpkg -L lists the programs and man pages; man -w finds both pages"

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

# With one, a tune goes through both installed programs.
run=(demo/run-demo.sh build)
command=(env VELKIN_BRIDGE=/usr/bin/velkin_bridge DORNEL_BRIDGE=/usr/bin/dornel_bridge "${run[@]}")
if [ -c /dev/snd/seq ]; then
  "${command[@]}" >/tmp/test-package.demo 2>&1 || { cat /tmp/test-package.demo; fail "the installed programs did not pass the tune"; }
else
  tests/vm/run-in-vm.sh "${command[*]}" >/tmp/test-package.demo 2>&1 ||
    { cat /tmp/test-package.demo; fail "the installed programs did not pass the tune"; }
fi
grep -q 'Starting the two bridges: /usr/bin/velkin_bridge and /usr/bin/dornel_bridge' /tmp/test-package.demo ||
  fail "the demo did not run the installed programs"
tail -n 1 /tmp/test-package.demo | sed 's/^/test-package: /'

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
