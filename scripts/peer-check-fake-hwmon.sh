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

bash "$here/fake-hwmon-tree.sh"

python3 "$here/compare-sensors.py" "$thermwatch"
