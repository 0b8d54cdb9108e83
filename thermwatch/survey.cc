#include "thermwatch/survey.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <ctime>

#include "lockdown/lockdown.h"

namespace thermwatch {

void to_json(nlohmann::json& j, const Sensor& sensor) {
  j = {{"key", sensor.key}, {"kind", sensor.kind}, {"unit", sensor.unit}, {"value", sensor.value}};
}

void from_json(const nlohmann::json& j, Sensor& sensor) {
  j.at("key").get_to(sensor.key);
  j.at("kind").get_to(sensor.kind);
  j.at("unit").get_to(sensor.unit);
  j.at("value").get_to(sensor.value);
}

void to_json(nlohmann::json& j, const Output& output) {
  j = {{"ok", output.ok},
       {"generated_at", output.generated_at},
       {"counts_by_kind", output.counts_by_kind},
       {"sensors", output.sensors}};
  // An empty map or vector would otherwise come out as null.
  if (output.counts_by_kind.empty()) j["counts_by_kind"] = nlohmann::json::object();
  if (output.sensors.empty()) j["sensors"] = nlohmann::json::array();
}

void from_json(const nlohmann::json& j, Output& output) {
  j.at("ok").get_to(output.ok);
  j.at("generated_at").get_to(output.generated_at);
  j.at("counts_by_kind").get_to(output.counts_by_kind);
  j.at("sensors").get_to(output.sensors);
}

std::pair<std::string, std::string> categorize(const std::string& key) {
  if (key.empty()) return {"other", ""};
  auto endsWith = [&](const char* ending) { return key.size() >= 2 && key.compare(key.size() - 2, 2, ending) == 0; };
  switch (key[0]) {
    case 'T': return {"temperature", "\u00B0C"};
    case 'V': return {"voltage", "V"};
    case 'P': return {"power", "W"};
    case 'I': return {"current", "A"};
    case 'F':
      if (endsWith("Ac") || endsWith("Mn") || endsWith("Mx") || endsWith("Tg")) return {"fan", "RPM"};
      return {"fan", ""};
    default: return {"other", ""};
  }
}

std::vector<Sensor> collectSensors(SensorReader& reader) {
  std::vector<Sensor> sensors;
  for (const std::string& key : reader.getAllKeys()) {
    std::optional<double> value = reader.getValue(key);
    if (!value || !std::isfinite(*value)) continue;
    auto [kind, unit] = categorize(key);
    sensors.push_back({trimmedText(key), std::move(kind), *value, std::move(unit)});
  }
  return sensors;
}

std::map<std::string, int64_t> countByKind(const std::vector<Sensor>& sensors) {
  std::map<std::string, int64_t> counts;
  for (const Sensor& sensor : sensors) ++counts[sensor.kind];
  return counts;
}

std::string isoTimestamp(std::chrono::system_clock::time_point time) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

std::optional<std::string> encodeOutput(const Output& output) {
  for (const Sensor& sensor : output.sensors)
    if (!std::isfinite(sensor.value)) return std::nullopt;  // JSON has no spelling for it
  try {
    return nlohmann::json(output).dump(2, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

int report(SensorReader& reader, FILE* out, const std::function<std::chrono::system_clock::time_point()>& now,
           const DescriptorOps& ops) {
  // The controller's opening line (if any) could not be written: no survey.
  if (std::fflush(out) != 0 || std::ferror(out)) return 1;
  Output output;
  output.sensors = withSuppressedStdout([&] { return collectSensors(reader); }, ops);
  output.counts_by_kind = countByKind(output.sensors);
  output.generated_at = isoTimestamp(now());
  std::optional<std::string> document = encodeOutput(output);
  int status = document ? 0 : 1;
  std::fputs(document ? document->c_str() : kEncodeFailureLine, out);
  std::fputc('\n', out);
  // A document that could not be written is a failure, not a report.
  if (std::fflush(out) != 0 || std::ferror(out)) return 1;
  return status;
}

int run() {
  // Everything that opens a file for writing happens first: the controller
  // port keeps its key selector open, and /dev/null (where the survey sends
  // the client's failure lines) is opened once and duplicated when needed.
  SMC& smc = SMC::shared();
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  // From here on nothing but reading below /sys: see lockdown/lockdown.h.
  lockdown::lockDown(lockdown::thermwatchPolicy());
  DescriptorOps ops;
  ops.openForWriting = [devNull](const char*) { return devNull < 0 ? -1 : ::dup(devNull); };
  return report(smc, stdout, [] { return std::chrono::system_clock::now(); }, ops);
}

}  // namespace thermwatch
