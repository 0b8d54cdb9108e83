// The sensor survey: reads every key of the controller, keeps those that
// give a finite number, sorts them into kinds with a unit, and prints one
// pretty-printed JSON document with sorted keys:
//
//   {
//     "counts_by_kind": {"fan": 2, "temperature": 5},
//     "generated_at": "2024-05-01T12:00:00Z",
//     "ok": true,
//     "sensors": [{"key": "TC0P", "kind": "temperature", "unit": "°C", "value": 41.5}, ...]
//   }
//
// (shown compact here; printed with one member per line, two-space indents).
// Object keys are sorted, "sensors" keeps the controller's order. When the
// document cannot be encoded, the single line
// {"ok":false,"error":"failed to encode sensor output"} is printed instead
// and the exit status is 1.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "thermwatch/smc.h"
#include "thermwatch/suppress_stdout.h"

namespace thermwatch {

struct Sensor {
  std::string key;   // trimmed controller key
  std::string kind;  // "temperature", "voltage", "power", "current", "fan" or "other"
  double value = 0;
  std::string unit;  // "°C", "V", "W", "A", "RPM" or ""
};

struct Output {
  bool ok = true;
  std::string generated_at;
  std::map<std::string, int64_t> counts_by_kind;
  std::vector<Sensor> sensors;
};

// Both read back from JSON require every key (nlohmann throws otherwise).
void to_json(nlohmann::json& j, const Sensor& sensor);
void from_json(const nlohmann::json& j, Sensor& sensor);
void to_json(nlohmann::json& j, const Output& output);
void from_json(const nlohmann::json& j, Output& output);

// (kind, unit) by the key's first character; fan speeds are the "F" keys
// ending in "Ac", "Mn", "Mx" or "Tg". Looks at the untrimmed key.
std::pair<std::string, std::string> categorize(const std::string& key);

// Every key the reader lists whose value is a finite number, in list order.
// A not-a-number or infinite reading is left out like a key with no value:
// one broken sensor must not spoil the report of all the others.
std::vector<Sensor> collectSensors(SensorReader& reader);

std::map<std::string, int64_t> countByKind(const std::vector<Sensor>& sensors);

// YYYY-MM-DDTHH:MM:SSZ in UTC, whole seconds.
std::string isoTimestamp(std::chrono::system_clock::time_point time);

// The pretty-printed document, or nothing when it cannot be encoded (a
// non-finite value, text that is not valid UTF-8).
std::optional<std::string> encodeOutput(const Output& output);

inline constexpr const char* kEncodeFailureLine = R"({"ok":false,"error":"failed to encode sensor output"})";

// The survey on a given reader: reads with standard output suppressed,
// prints the document (or the failure line) to `out`, gives the exit status.
// Output that cannot be written (a full disk, a reader gone) gives 1: when
// what `out` already holds cannot be flushed, before any key is read.
int report(SensorReader& reader, FILE* out, const std::function<std::chrono::system_clock::time_point()>& now,
           const DescriptorOps& ops = {});

// The program: the shared client (whose opening line, if any, comes first),
// the system clock, standard output; locked down (lockdown/lockdown.h) once
// the client is open.
int run();

}  // namespace thermwatch
