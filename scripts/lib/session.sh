# shellcheck shell=bash
# Helpers for the scripts that run the program on private servers: their own
# directory, X display and sound servers, all stopped when the script exits
# (it sets `trap cleanup EXIT`).
#
# make_runtime sets `runtime` and the start_* functions add to `servers`; a
# script may add its own servers too, and may set `hint` (added to failure
# messages), `poll` (seconds between checks in wait_for), `keep_logs` (a
# directory that gets the servers' logs when the script fails) and define
# `at_exit`, which cleanup runs before it stops the servers.

me=${0##*/}  # starts every message
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
runtime="" servers=() napping="" hint="" poll=0.1 keep_logs=""

# Prints "$me: $*" and the hint on stderr and exits with status 1.
fail() {
  echo "$me: $*$hint" >&2
  exit 1
}

# Sleeps $1 seconds in the background, so that a signal's trap runs at once
# rather than after the sleep.
nap() {
  sleep "$1" &
  napping=$!
  wait "$napping"
}

# Runs "$@" every `poll` seconds until it succeeds; fails after $1 seconds,
# saying it couldn't $2.
wait_for() {
  local seconds=$1 what=$2
  shift 2
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    ((SECONDS < deadline)) || fail "couldn't $what within $seconds s"
    nap "$poll"
  done
}

# Runs "$@" with its output thrown away.
quietly() { "$@" >/dev/null 2>&1; }

# True while process $1 runs (a zombie, which a child is until reaped, does not count).
alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $state != Z* ]]
}

# Sends signal $2 (TERM unless given) to process $1, waits up to $3 seconds
# (5 unless given), then kills it.
stop() {
  local pid=$1 signal=${2:-TERM} seconds=${3:-5}
  kill -"$signal" "$pid" 2>/dev/null || true
  local deadline=$((SECONDS + seconds))
  while alive "$pid" && ((SECONDS < deadline)); do sleep 0.1; done
  if alive "$pid"; then
    echo "$me: process $pid ignored SIG$signal; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

# The processes, other than this shell and the servers, that have $1 as
# their XDG_RUNTIME_DIR, one a line.
leftovers() {
  local dir pid
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    [[ " $$ ${servers[*]} " == *" $pid "* ]] && continue
    grep -qzxF "XDG_RUNTIME_DIR=$1" "$dir/environ" 2>/dev/null && echo "$pid"
  done
  return 0
}

# Kills the processes left behind with $1 as their XDG_RUNTIME_DIR.
kill_leftovers() {
  local pid
  for pid in $(leftovers "$1"); do kill -KILL "$pid" 2>/dev/null; done
}

# The EXIT trap: runs at_exit once there is a private directory, stops the
# servers, newest first, keeps their logs if the script failed, removes the
# private directory and exits with the script's status.
cleanup() {
  local status=$? i
  trap - ERR
  set +e
  [[ -n $runtime ]] && declare -F at_exit >/dev/null && at_exit
  [[ -n $napping ]] && kill "$napping" 2>/dev/null
  for ((i = ${#servers[@]} - 1; i >= 0; i--)); do stop "${servers[i]}"; done
  if [[ -n $runtime ]]; then
    [[ -n $keep_logs ]] && ((status != 0)) && cp "$runtime"/*.log "$keep_logs"/ 2>/dev/null
    rm -rf "$runtime"
  fi
  exit "$status"
}

# Makes the private directory `runtime`, named after the template $1.
make_runtime() {
  runtime=$(mktemp -d "$1")
  chmod 700 "$runtime"
}

# Starts Xvfb on a free display and exports DISPLAY.
start_xvfb() {
  local number
  # Xvfb picks a free display and writes its number to descriptor 3.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset \
    3>"$runtime/display" >"$runtime/xvfb.log" 2>&1 &
  servers+=($!)
  wait_for 10 "start Xvfb" grep -qx '[0-9]\+' "$runtime/display"
  number=$(<"$runtime/display")
  export DISPLAY=:$number
}

# Starts a PulseAudio server with only a null sink, of the options "${@:3}",
# and the native protocol on socket $1, logging to $2; waits until it answers.
start_pulseaudio() {
  local socket=$1 log=$2
  shift 2
  # -n: no default.pa, only these two modules.
  pulseaudio -n --daemonize=no --use-pid-file=no --exit-idle-time=-1 --disable-shm=yes \
    --realtime=no --high-priority=no --no-cpu-limit=yes --log-target=stderr \
    --load="module-null-sink $*" \
    --load="module-native-protocol-unix socket=$socket auth-anonymous=1" \
    >"$log" 2>&1 &
  servers+=($!)
  wait_for 10 "start PulseAudio" quietly env PULSE_SERVER="unix:$socket" timeout 5 pactl info
}

# Makes PulseAudio's clients find no server but the one named, and spawn none.
pulse_client_config() {
  export PULSE_CLIENTCONFIG=$runtime/client.conf
  printf 'autospawn = no\ncookie-file = %s\n' "$runtime/cookie" >"$PULSE_CLIENTCONFIG"
}

# For a benchmark whose arguments are "$@": --help or -h prints the comment
# at the top of the script and exits; any other first argument that is no
# number names the build directory. Sets `build` (build/ unless named) and
# succeeds when it took the first argument.
build_dir_argument() {
  build=$root/build
  (($# > 0)) && [[ $1 != [0-9]* ]] || return 1
  [[ $1 == --help || $1 == -h ]] && { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0; }
  build=$1
}

# Builds the targets "${@:2}" in `build` and makes `build` absolute. It
# configures `build` first when it has no cache yet or, $1 naming an option
# (maybe ""), when the option is not on there.
build_targets() {
  local option=$1
  shift
  if [[ ! -f $build/CMakeCache.txt ]] ||
      { [[ -n $option ]] && ! grep -q "^$option:BOOL=ON" "$build/CMakeCache.txt"; }; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${option:+"-D$option=ON"} >/dev/null
  fi
  cmake --build "$build" -j2 --target "$@" >/dev/null || fail "couldn't build in $build"
  build=$(cd "$build" && pwd)
}
