#!/bin/bash
# The installed package's systemd user units, run for real: a user manager of
# our own (with its own runtime and configuration directories) starts a JACK
# server as a user unit and the two bridges as instances of their templates.
# Checks that an enabled instance comes up under its client name, that a stop
# ends it with status 0 within the bridges' bound, and that stopping the JACK
# server's unit takes both bridges down and starting it brings both back.
# Needs root and the kernel sequencer: tests/package/test-package.sh runs it
# in the sequencer VM with the package installed.
set -euo pipefail

fail() {
  echo "test-units: FAILED: $*" >&2
  echo "test-units: the user manager said:" >&2
  tail -n 40 "$work/manager.log" >&2
  exit 1
}
command -v systemctl >/dev/null || { echo "test-units: FAILED: systemd is not installed" >&2; exit 1; }

work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/runtime XDG_CONFIG_HOME=$work/config
# The sequencer VM runs the command in a chroot, which systemctl would refuse.
export SYSTEMD_IGNORE_CHROOT=1
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_CONFIG_HOME/systemd/user" "$XDG_CONFIG_HOME/midi-bridges"
# A user manager needs cgroup2 and a machine that systemd booted; the VM's
# init is not systemd, so it is given both.
mountpoint -q /sys/fs/cgroup || mount -t cgroup2 none /sys/fs/cgroup
[ -d /run/systemd/system ] || mkdir -p /run/systemd/system

# First on jackd2. PipeWire's daemon, which its package enables for every
# user, waits until the second part: masked, with its socket.
for unit in pipewire.service pipewire.socket; do
  ln -s /dev/null "$XDG_CONFIG_HOME/systemd/user/$unit"
done

# The bridges' optional environment file: here it points them at the test's
# own JACK server.
server=units_test_$$
echo "JACK_DEFAULT_SERVER=$server" >"$XDG_CONFIG_HOME/midi-bridges/environment"
export JACK_DEFAULT_SERVER=$server JACK_NO_START_SERVER=1
cat >"$XDG_CONFIG_HOME/systemd/user/jack.service" <<EOF
[Unit]
Description=A JACK server, as a user runs one as a unit
[Service]
ExecStart=/usr/bin/jackd -n $server --no-realtime -d dummy -r 48000 -p 1024
EOF

/lib/systemd/systemd --user >"$work/manager.log" 2>&1 &
manager=$!
trap 'kill "$manager" 2>/dev/null; wait "$manager" 2>/dev/null; rm -rf "$work"' EXIT
sc() { systemctl --user "$@"; }
# Polls a command until it succeeds, for at most 30 s.
wait_for() {
  for _ in $(seq 300); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
  return 1
}
# Up: "running", or "degraded" if a unit of the machine's own failed.
manager_up() { case "$(sc show -p SystemState --value)" in running | degraded) ;; *) return 1 ;; esac; }
wait_for manager_up || fail "the user manager did not come up"

seq_client() { aconnect -l | grep -q "^client [0-9]*: '$1'"; }
jack_port() { jack_lsp | grep -qx "$1"; }
up() { seq_client keys_in && jack_port keys_in:capture && seq_client synth_out && jack_port synth_out:playback; }
gone() { ! seq_client "$1" && [ "$(sc show -p ActiveState --value "$2")" = inactive ]; }
# The main process's exit status and the unit's result after it ended.
ended_well() {
  [ "$(sc show -p ExecMainStatus --value "$1")" = 0 ] && [ "$(sc show -p Result --value "$1")" = success ] ||
    fail "$1 ended with status $(sc show -p ExecMainStatus --value "$1"), result $(sc show -p Result --value "$1")"
}
velkin=velkin_bridge@keys_in.service
dornel=dornel_bridge@synth_out.service

sc start jack.service
wait_for jack_wait -w -t 1 || fail "the JACK server's unit did not bring a server up"
sc enable --now "$velkin" "$dornel" 2>"$work/enable.log" || { cat "$work/enable.log"; fail "enable --now"; }
wait_for up || fail "the instances did not come up as keys_in and synth_out"
echo "test-units: enabled instances came up as clients keys_in and synth_out"

for unit in "$velkin" "$dornel"; do
  start=$(date +%s%N)
  sc stop "$unit"
  took=$((($(date +%s%N) - start) / 1000000))
  ended_well "$unit"
  # From the manager's stop signal to the bridge's exit, as the manager saw
  # it: at most the bridges' 2 s, with slack for emulation.
  exit_us=$(sc show -p ExecMainExitTimestampMonotonic --value "$unit")
  stop_us=$(sc show -p ActiveExitTimestampMonotonic --value "$unit")
  bridge_ms=$(((exit_us - stop_us) / 1000))
  [ "$bridge_ms" -lt 4000 ] || fail "$unit took $bridge_ms ms to end after its stop signal"
  echo "test-units: systemctl stop $unit: status 0, $bridge_ms ms after the stop signal ($took ms for systemctl)"
done

sc start "$velkin" "$dornel"
wait_for up || fail "the instances did not start again"
sc stop jack.service
wait_for gone keys_in "$velkin" || fail "velkin_bridge did not end with its JACK server"
wait_for gone synth_out "$dornel" || fail "dornel_bridge did not end with its JACK server's unit"
ended_well "$velkin"
ended_well "$dornel"
echo "test-units: stopping the JACK server's unit ended both, with status 0"
sc start jack.service
wait_for up || fail "the instances did not come back with the JACK server"
echo "test-units: starting it again brought both back"

sc disable --now "$velkin" "$dornel" 2>/dev/null
sc stop jack.service

# Then on PipeWire's JACK, the daemon as its package runs it, the bridges
# pointed at its JACK library by their environment file.
rm "$XDG_CONFIG_HOME/systemd/user/pipewire.service" "$XDG_CONFIG_HOME/systemd/user/pipewire.socket"
# PipeWire's units refuse root (ConditionUser=!root), which this test is: a
# drop-in of the test's own clears that.
for unit in pipewire.service pipewire.socket; do
  mkdir -p "$XDG_CONFIG_HOME/systemd/user/$unit.d"
  printf '[Unit]\nConditionUser=\n' >"$XDG_CONFIG_HOME/systemd/user/$unit.d/as-root.conf"
done
sc daemon-reload
# shellcheck disable=SC2016 # ${LIB} is for ld.so to expand, as in pw-jack
echo 'LD_LIBRARY_PATH=/usr/${LIB}/pipewire-0.3/jack' >"$XDG_CONFIG_HOME/midi-bridges/environment"
unset JACK_DEFAULT_SERVER
jack_lsp() { pw-jack /usr/bin/jack_lsp "$@"; }
sc start pipewire.service
wait_for jack_lsp || fail "pipewire.service brought no daemon up"
sc enable --now "$velkin" "$dornel" 2>"$work/enable.log" || { cat "$work/enable.log"; fail "enable --now"; }
wait_for up || fail "the instances did not come up on PipeWire"
echo "test-units: on PipeWire's JACK, the instances came up as keys_in and synth_out"
sc stop pipewire.service
wait_for gone keys_in "$velkin" || fail "velkin_bridge did not end with pipewire.service"
wait_for gone synth_out "$dornel" || fail "dornel_bridge did not end with pipewire.service"
ended_well "$velkin"
ended_well "$dornel"
sc start pipewire.service
wait_for up || fail "the instances did not come back with pipewire.service"
echo "test-units: stopping pipewire.service ended both with status 0, starting it brought both back"

sc disable --now "$velkin" "$dornel" 2>/dev/null
sc stop pipewire.service
echo "test-units: passed"
