#!/usr/bin/env bash
# Runs the lm-sensors peer check (compare-sensors.py) on a machine without
# hwmon sensors: inside a private mount namespace, a tmpfs over /sys/class
# holds a made-up hwmon tree (two chips: temperatures with labels, voltages
# from in0, a fan with its minimum, power and current), which both
# `sensors -j` and thermwatch then read. Needs root (for unshare -m and
# mount); nothing outside the namespace changes.
#
# Usage: scripts/peer-check-fake-hwmon.sh [path/to/thermwatch]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
thermwatch=$(realpath "${1:-build/thermwatch/thermwatch}")

if [ "${IN_PRIVATE_NAMESPACE:-}" != 1 ]; then
  exec env IN_PRIVATE_NAMESPACE=1 unshare -m --propagation private "$0" "$thermwatch"
fi

mount -t tmpfs none /sys/class
put() { mkdir -p "$(dirname "$1")"; printf '%s\n' "$2" > "$1"; }
h=/sys/class/hwmon/hwmon0
put $h/name coretemp
put $h/temp1_input 45000; put $h/temp1_label "Package id 0"
put $h/temp2_input 47500; put $h/temp2_label "Core 0"
h=/sys/class/hwmon/hwmon1
put $h/name nct6775
put $h/in0_input 1200; put $h/in1_input 3312
put $h/fan1_input 1450; put $h/fan1_min 300
put $h/temp1_input 38000
put $h/power1_input 15500000
put $h/curr1_input 2500

python3 "$here/compare-sensors.py" "$thermwatch"
