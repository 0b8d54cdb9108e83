#!/usr/bin/env bash
# A made-up hwmon tree on a tmpfs over /sys/class: two chips, temperatures
# with labels, voltages from in0, a fan with its minimum, power and
# current. Run it as root inside a private mount namespace (`unshare -m
# --propagation private`): nothing outside the namespace changes. Used by
# peer-check-fake-hwmon.sh and program-outputs.sh.
set -euo pipefail
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
