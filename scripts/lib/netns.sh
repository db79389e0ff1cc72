# Sourced by the test scripts: a log sink for the run and a private network
# namespace around the test command, so no test reaches anything but loopback.

# Without a syslog daemon every log line would go to /dev/console; give the
# log a sink for the duration of the run (removed on exit), unless a logger
# already listens.
start_log_sink() {
  if [ -w /dev ]; then
    coproc SINK { exec scripts/log-sink /dev/log; }
    read -r sink_state <&"${SINK[0]}" || true
    if [ "${sink_state:-}" = ready ]; then
      trap 'kill "$SINK_PID" 2>/dev/null; wait "$SINK_PID" 2>/dev/null || true' EXIT
    fi
  fi
}

# run_isolated <command> [args...]: runs the command in a fresh network
# namespace with loopback up; warns loudly where no namespace can be made.
run_isolated() {
  local netns_prefix=()
  if [ "$(id -u)" -eq 0 ]; then
    netns_prefix=(unshare --net)
  else
    netns_prefix=(unshare --net --map-root-user)
  fi

  if "${netns_prefix[@]}" true 2>/dev/null; then
    # Loopback is down in a fresh namespace; bring it up before the tests.
    "${netns_prefix[@]}" bash -c 'ip link set lo up && exec "$@"' bash "$@"
  else
    echo "########################################################################" >&2
    echo "# WARNING: cannot create a private network namespace (unshare --net)." >&2
    echo "# Running the tests WITHOUT network isolation." >&2
    echo "########################################################################" >&2
    "$@"
  fi
}
