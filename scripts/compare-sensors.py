#!/usr/bin/env python3
"""Peer check of thermwatch against lm-sensors.

Runs `sensors -j`, then thermwatch, then `sensors -j` again, and checks that
every temperature, fan, voltage, power and current reading in thermwatch's
document equals the reading lm-sensors gives for the same sensor file, within
the sensor's resolution (the sysfs unit, the three decimals `sensors -j`
prints, and single-precision rounding). A reading that moved between the two
`sensors` runs may lie anywhere between them.

thermwatch names hwmon readings by kind letter, chip and sensor number: chip c
is the c-th hwmonN folder in ascending N, written as the c-th character of
0-9A-Za-z; "T"/"V"/"P"/"I" + chip + two-digit number, and fans "F" + fan
counter + "Ac"/"Mn"/"Mx"/"Tg". This script rebuilds that naming from
/sys/class/hwmon to find each key's sysfs file.

Usage: scripts/compare-sensors.py [path/to/thermwatch]   (default build/thermwatch/thermwatch)
Exit status: 0 when all compared readings agree (or there are no hwmon
sensors), 1 on a disagreement, 2 when a tool cannot be run.
"""
import json
import os
import re
import subprocess
import sys

HWMON = "/sys/class/hwmon"
DIGITS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
# letter -> (sysfs prefix, sysfs unit in SI units)
READINGS = {"T": ("temp", 0.001), "V": ("in", 0.001), "P": ("power", 1e-6), "I": ("curr", 0.001)}
FAN_PARTS = {"Ac": "input", "Mn": "min", "Mx": "max", "Tg": "target"}


def chip_folders():
    chips = []
    for name in os.listdir(HWMON):
        m = re.fullmatch(r"hwmon(\d+)", name)
        if m:
            chips.append((int(m.group(1)), os.path.join(HWMON, name)))
    chips.sort()
    result = []
    for _, folder in chips:
        if not os.path.exists(os.path.join(folder, "name")) and os.path.exists(os.path.join(folder, "device", "name")):
            folder = os.path.join(folder, "device")
        result.append(folder)
    return result


def read_name(folder):
    try:
        with open(os.path.join(folder, "name")) as f:
            return f.read().strip()
    except OSError:
        return ""


def key_files(chips):
    """thermwatch key -> (chip index, sysfs file name, resolution)."""
    keys = {}
    fan = 0
    for c, folder in enumerate(chips[: len(DIGITS)]):
        try:
            names = os.listdir(folder)
        except OSError:
            continue
        for letter, (prefix, unit) in READINGS.items():
            numbers = {}
            for n in names:
                m = re.fullmatch(prefix + r"(\d{1,4})_(input|average)", n)
                if m and (m.group(2) == "input" or prefix == "power"):
                    k = int(m.group(1))
                    if m.group(2) == "input" or k not in numbers:
                        numbers[k] = n
            for k, n in numbers.items():
                if k <= 99:
                    keys["%s%s%02d" % (letter, DIGITS[c], k)] = (c, n, unit)
        fans = sorted({int(m.group(1)) for n in names
                       for m in [re.fullmatch(r"fan(\d{1,4})_(input|min|max|target)", n)] if m})
        for k in fans:
            if fan >= len(DIGITS):
                break
            for ending, part in FAN_PARTS.items():
                keys["F%s%s" % (DIGITS[fan], ending)] = (c, "fan%d_%s" % (k, part), 1.0)
            fan += 1
    return keys


def sensors_readings():
    out = subprocess.run(["sensors", "-j"], capture_output=True, text=True, check=False).stdout
    try:
        return json.loads(out)
    except json.JSONDecodeError:
        return {}


def chip_entries(chips, peer):
    """chip index -> the `sensors -j` object of that chip, matched by name in order."""
    taken = set()
    entries = {}
    for c, folder in enumerate(chips):
        name = read_name(folder)
        for chip_key in peer:
            if chip_key not in taken and (chip_key == name or chip_key.startswith(name + "-")):
                taken.add(chip_key)
                entries[c] = chip_key
                break
    return entries


def subfeature(peer_chip, file_name):
    for feature in peer_chip.values():
        if isinstance(feature, dict) and file_name in feature:
            return feature[file_name]
    return None


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(__file__), "..", "build", "thermwatch", "thermwatch")
    chips = chip_folders() if os.path.isdir(HWMON) else []
    if not chips:
        print("no hwmon sensors: %s" % ("no hwmon chips in " + HWMON if os.path.isdir(HWMON)
                                       else HWMON + " does not exist") + "; nothing to compare")
        return 0
    before = sensors_readings()
    try:
        run = subprocess.run([binary], capture_output=True, text=True, check=False, timeout=60)
    except OSError as e:
        print("cannot run thermwatch at %s: %s" % (binary, e))
        return 2
    after = sensors_readings()
    text = run.stdout
    if text.startswith("Error "):
        text = text.split("\n", 1)[1]
    document = json.loads(text)

    keys = key_files(chips)
    chips_before, chips_after = chip_entries(chips, before), chip_entries(chips, after)
    agreed, disagreed, unmatched = 0, [], []
    for sensor in document["sensors"]:
        key = sensor["key"]
        if key not in keys:
            continue  # "#KEY", "FNum"
        c, file_name, unit = keys[key]
        if c not in chips_before or c not in chips_after:
            unmatched.append(key)
            continue
        a = subfeature(before[chips_before[c]], file_name)
        b = subfeature(after[chips_after[c]], file_name)
        if a is None or b is None:
            unmatched.append(key)
            continue
        value = sensor["value"]
        tolerance = max(unit, 0.001) + 1e-6 * abs(value)
        if min(a, b) - tolerance <= value <= max(a, b) + tolerance:
            agreed += 1
        else:
            disagreed.append("%s (%s %s): thermwatch %r, sensors %r..%r" % (
                key, read_name(chips[c]), file_name, value, min(a, b), max(a, b)))
    print("compared %d readings: %d agree, %d disagree; %d not shown by sensors" % (
        agreed + len(disagreed), agreed, len(disagreed), len(unmatched)))
    for line in disagreed:
        print("  differs: " + line)
    if unmatched:
        print("  not shown by sensors: " + " ".join(unmatched))
    return 1 if disagreed else 0


if __name__ == "__main__":
    sys.exit(main())
