# Sourced by scripts/run and by the demo's test: starts the demo's pieces (a
# broker, the board simulator with the demo's machine, the service) and prints
# the demo's example commands, so that what the demo shows and what the test
# runs are one and the same. Call it inside a private network namespace with
# loopback up; every piece listens on 127.0.0.1 only.
#
# After demo_start: demo_pids holds the broker's and the simulator's process
# ids (in start order), demo_service the service's, demo_broker_port and
# demo_sim_port their ports.

demo_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/examples/demo
demo_base=velt/zrv/boardman
demo_pids=()
demo_service=

# Each piece in a session of its own: a Ctrl-C at the terminal reaches only
# the caller, which then stops them in order.
demo_spawn() {
  setsid "$@" &
  demo_pids+=($!)
}

demo_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# demo_start STATE SERVICE_EXECUTABLE SIMULATOR_EXECUTABLE: the state
# directory must exist and be empty; the service runs in STATE/service.
demo_start() {
  local state=$1 service_exe=$2 sim_exe=$3
  mkdir -p "$state/service/firmwares"

  demo_broker_port=$(demo_free_port)
  cat >"$state/mosquitto.conf" <<EOF
listener $demo_broker_port 127.0.0.1
allow_anonymous true
persistence false
EOF
  # As root of a user namespace, mosquitto would drop to a user that does not
  # exist in it, and fail.
  if [ -n "${RUN_IN_USER_NAMESPACE:-}" ]; then
    echo "user root" >>"$state/mosquitto.conf"
  fi
  demo_spawn mosquitto -c "$state/mosquitto.conf" >"$state/mosquitto.log" 2>&1

  demo_spawn "$sim_exe" --bind 127.0.0.1 --scenario "$demo_dir/board-sim.json" \
    >"$state/board-sim.out" 2>"$state/board-sim.log"
  local _
  for _ in $(seq 100); do
    grep -q LISTENING "$state/board-sim.out" 2>/dev/null && break
    sleep 0.1
  done
  demo_sim_port=$(sed -n 's/^LISTENING udp=\([0-9]*\).*/\1/p' "$state/board-sim.out")
  if [ -z "$demo_sim_port" ]; then
    echo "demo: the board simulator did not start; see $state/board-sim.log" >&2
    return 1
  fi

  cp "$service_exe" "$state/service/zrv480-boardman"
  cp "$demo_dir/schema.xml" "$state/service/"
  # The next version of the power supply's firmware, for the upgrade example;
  # the service installs on its own only the versions the schema names.
  demo_firmware_image 124 >"$state/service/firmwares/psu-124.bin"
  python3 - "$demo_dir/../zrv480-boardman.json" "$state/service/zrv480-boardman.json" \
    "$demo_sim_port" "$demo_broker_port" <<'EOF'
import json, sys
source, target, sim_port, broker_port = sys.argv[1:]
config = json.load(open(source))
config["device"]["socket"]["port"] = int(sim_port)
config["mqtt"]["url"] = "127.0.0.1:" + broker_port
json.dump(config, open(target, "w"), indent=4)
EOF
  (cd "$state/service" && exec setsid ./zrv480-boardman -e -f zrv480-boardman.json 2>service.log) &
  demo_service=$!
}

# demo_firmware_image VERSION: a firmware image of the demo's power supply
# ("psu", board revision 2) on standard output: the header the service and
# the boards' bootloader look for at offset 0x100, in a body of 768 bytes.
demo_firmware_image() {
  python3 - "$1" <<'EOF'
import struct, sys
version = int(sys.argv[1])
image = bytearray((i * 7 + version) & 0xFF for i in range(0x300))
def text(value):
    return value.encode().ljust(32, b"\0")
header = (struct.pack("<I", 0xC0DEB10C) + text("Velt") + text("psu") + bytes([version, 0, 0, 0])
          + text("psu") + struct.pack("<I", 2) + text("RELEASE"))
image[0x100:0x200] = header.ljust(256, b"\0")
sys.stdout.buffer.write(image)
EOF
}

# demo_commands PREFIX: the example commands, each as "# what it does", the
# command (PREFIX before it) and the publications that answer it ("-> topic
# payload"; "..." stands for any text).
demo_commands() {
  local prefix=$1 line
  while IFS= read -r line; do
    case "$line" in
    "#"* | "->"* | "") echo "$line" ;;
    *) echo "$prefix${line//PORT/$demo_broker_port}" ;;
    esac
  done <"$demo_dir/commands"
}

# demo_stop_pid PID: SIGTERM, then up to 10 s for the process to end, then
# SIGKILL.
demo_stop_pid() {
  kill -TERM "$1" 2>/dev/null || return 0
  local _
  for _ in $(seq 100); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$1" 2>/dev/null || true
}

# demo_stop: the service first, while the broker still runs, so its final
# status is published; then the others, newest first.
demo_stop() {
  [ -z "$demo_service" ] || demo_stop_pid "$demo_service"
  local i
  for ((i = ${#demo_pids[@]} - 1; i >= 0; i--)); do
    demo_stop_pid "${demo_pids[i]}"
  done
}
