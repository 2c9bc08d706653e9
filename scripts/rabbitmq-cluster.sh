#!/usr/bin/env bash
# A throw-away two-node RabbitMQ cluster on loopback with the MQTT plugin, for tests and benchmarks.
#
#   rabbitmq-cluster.sh start DIR [OWNER_PID]  start, cluster, print "ready MQTT_PORT_1 MQTT_PORT_2"
#   rabbitmq-cluster.sh stop-node DIR N        stop node N (1 or 2) as an operator would
#   rabbitmq-cluster.sh kill-node DIR N        end node N at once (a crash)
#   rabbitmq-cluster.sh stop DIR               stop everything started in DIR, then remove DIR
#
# Everything runs under its own names, ports and epmd, and only processes recorded in DIR are ever ended.
# With OWNER_PID, a watcher tears the cluster down when that process ends, so a test killed by its
# time-out leaves no broker behind. Exit code 77: RabbitMQ cannot be run here (the reason on stderr).
set -uo pipefail
# The server and its tools live in sbin, which an ordinary PATH may lack.
PATH=$PATH:/usr/sbin:/sbin

die() {
    echo "rabbitmq-cluster: $*" >&2
    exit 1
}

# Bounded: every wait here ends.
ctl() {
    local node=$1
    shift
    ERL_EPMD_PORT=$(cat "$dir/epmd.port") timeout 60 rabbitmqctl -q -n "$node" "$@" </dev/null 2>>"$dir/ctl.log"
}

# True while PID is alive and its command line or environment contains WHAT (a reused pid is left alone).
owns() {
    local pid=$1 what=$2
    [[ -n "$pid" && -r /proc/$pid/cmdline ]] || return 1
    { tr '\0' ' ' </proc/"$pid"/cmdline; tr '\0' '\n' </proc/"$pid"/environ; } 2>/dev/null | grep -qF -- "$what"
}

end_pid() {
    local pid=$1 what=$2
    owns "$pid" "$what" || return 0
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 50); do
        owns "$pid" "$what" || return 0
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
}

node_name() { cat "$dir/n$1/name"; }
node_pid() { cat "$dir/n$1/pid" 2>/dev/null; }

kill_node() {
    local n=$1
    [[ -f "$dir/n$n/name" ]] || return 0
    local name pid
    name=$(node_name "$n")
    pid=$(node_pid "$n")
    if owns "$pid" "RABBITMQ_NODENAME=$name"; then kill -KILL "$pid" 2>/dev/null; fi
    for _ in $(seq 100); do
        owns "$pid" "RABBITMQ_NODENAME=$name" || break
        sleep 0.1
    done
    # The wrapper that switched to the rabbitmq user.
    end_pid "$(cat "$dir/n$n/wrapper" 2>/dev/null)" rabbitmq-server
}

stop_node() {
    local n=$1
    [[ -f "$dir/n$n/name" ]] || return 0
    local name pid
    name=$(node_name "$n")
    pid=$(node_pid "$n")
    owns "$pid" "RABBITMQ_NODENAME=$name" && ctl "$name" stop >/dev/null 2>&1
    kill_node "$n"
}

free_port() {
    local p
    for _ in $(seq 200); do
        p=$((20000 + RANDOM % 10000))
        # Taken when something answers; the CLI also needs DIST_PORT + 10000 free.
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null &&
            ! (exec 3<>"/dev/tcp/127.0.0.1/$((p + 10000))") 2>/dev/null &&
            ! grep -qx "$p" "$dir/ports.used" 2>/dev/null; then
            echo "$p" >>"$dir/ports.used"
            echo "$p"
            return
        fi
    done
    die "no free port"
}

start_node() {
    local n=$1 base=$2
    local d="$dir/n$n"
    mkdir -p "$d/mnesia" "$d/log"
    echo "pvx${base}n$n@localhost" >"$d/name"
    free_port >"$d/mqtt.port"
    local amqp dist
    amqp=$(free_port)
    dist=$(free_port)
    echo '[rabbitmq_mqtt].' >"$d/enabled_plugins"
    cat >"$d/rabbit.conf" <<EOF
listeners.tcp.default = $amqp
mqtt.listeners.tcp.default = $(cat "$d/mqtt.port")
mqtt.allow_anonymous = true
loopback_users = none
EOF
    # The server switches to the rabbitmq user, which must be able to write every folder it is given.
    chown -R rabbitmq: "$d"
    env RABBITMQ_NODENAME="$(node_name "$n")" RABBITMQ_DIST_PORT="$dist" \
        RABBITMQ_MNESIA_BASE="$d/mnesia" RABBITMQ_MNESIA_DIR="$d/mnesia/db" \
        RABBITMQ_FEATURE_FLAGS_FILE="$d/feature_flags" RABBITMQ_LOG_BASE="$d/log" \
        RABBITMQ_PID_FILE="$d/pid" RABBITMQ_ENABLED_PLUGINS_FILE="$d/enabled_plugins" \
        RABBITMQ_CONFIG_FILE="$d/rabbit" ERL_EPMD_PORT="$(cat "$dir/epmd.port")" \
        setsid rabbitmq-server >"$d/out" 2>&1 </dev/null &
    echo $! >"$d/wrapper"
}

wait_node() {
    local n=$1
    for _ in $(seq 1500); do
        grep -q "Starting broker.*completed" "$dir/n$n/out" 2>/dev/null && return 0
        kill -0 "$(cat "$dir/n$n/wrapper")" 2>/dev/null || break
        sleep 0.1
    done
    echo "rabbitmq-cluster: node $n did not start:" >&2
    tail -n 20 "$dir/n$n/out" >&2
    return 1
}

stop_all() {
    [[ -d "$dir" ]] || return 0
    local watcher
    watcher=$(cat "$dir/watcher" 2>/dev/null)
    # The watcher may be what runs this.
    [[ "$watcher" == "$$" ]] || end_pid "$watcher" "$dir"
    stop_node 2
    stop_node 1
    end_pid "$(cat "$dir/epmd.pid" 2>/dev/null)" "epmd -port $(cat "$dir/epmd.port" 2>/dev/null)"
    rm -rf "$dir"
}

cmd=${1:-}
dir=${2:-}
[[ -n "$cmd" && -n "$dir" ]] || die "usage: rabbitmq-cluster.sh start|stop-node|kill-node|stop DIR [N|OWNER_PID]"

case "$cmd" in
start)
    if ! command -v rabbitmq-server >/dev/null || ! command -v rabbitmqctl >/dev/null || ! id rabbitmq >/dev/null 2>&1; then
        echo "rabbitmq-cluster: rabbitmq-server is not installed (scripts/install-deps.sh installs it)" >&2
        exit 77
    fi
    if [[ $(id -u) -ne 0 ]]; then
        echo "rabbitmq-cluster: Debian's rabbitmq-server runs its nodes as the rabbitmq user; that needs root" >&2
        exit 77
    fi
    owner=${3:-}
    mkdir -p "$dir" || die "cannot make $dir"
    # The rabbitmq user walks into the nodes' folders.
    chmod 755 "$dir"
    : >"$dir/ports.used"
    free_port >"$dir/epmd.port"
    epmd -port "$(cat "$dir/epmd.port")" </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/epmd.pid"
    if [[ -n "$owner" ]]; then
        setsid bash -c 'while kill -0 "$1" 2>/dev/null && [[ -d "$2" ]]; do sleep 1; done
                        [[ -d "$2" ]] && exec "$0" stop "$2"' "$(realpath "$0")" "$owner" "$dir" \
            </dev/null >/dev/null 2>&1 &
        echo $! >"$dir/watcher"
    fi
    base=$$
    # The first boot writes the shared Erlang cookie: the second node waits for it.
    if [[ -f /var/lib/rabbitmq/.erlang.cookie ]]; then
        start_node 1 "$base"
        start_node 2 "$base"
        wait_node 1 && wait_node 2 || {
            stop_all
            exit 1
        }
    else
        start_node 1 "$base"
        wait_node 1 || {
            stop_all
            exit 1
        }
        start_node 2 "$base"
        wait_node 2 || {
            stop_all
            exit 1
        }
    fi
    n1=$(node_name 1)
    n2=$(node_name 2)
    if ! ctl "$n2" stop_app >/dev/null || ! ctl "$n2" join_cluster "$n1" >/dev/null ||
        ! ctl "$n2" start_app >/dev/null; then
        echo "rabbitmq-cluster: node 2 did not join node 1:" >&2
        tail -n 20 "$dir/ctl.log" >&2
        stop_all
        exit 1
    fi
    echo "ready $(cat "$dir/n1/mqtt.port") $(cat "$dir/n2/mqtt.port")"
    ;;
stop-node) stop_node "${3:?node}" ;;
kill-node) kill_node "${3:?node}" ;;
stop) stop_all ;;
*) die "unknown command $cmd" ;;
esac
