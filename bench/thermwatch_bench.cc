// thermwatch speed: the whole survey (open the hwmon virtual controller,
// enumerate, read, encode, print) over a generated sysfs tree of 500 sensor
// keys, against the floor of reading and parsing those 500 files directly;
// and the built program end to end against starting /bin/true.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "controllers/smc_port.h"
#include "controllers/smc_port_sysfs.h"
#include "testsupport/images.h"
#include "thermwatch/survey.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// 10 chips, each with 30 temperatures, 10 voltages, 2 power readings and 2
// fans of 4 files: 500 sensor keys (plus "#KEY" and "FNum").
class GeneratedTree {
 public:
  GeneratedTree() {
    const std::string& root = dir_.path();
    auto put = [&](const std::string& path, long value) {
      std::ofstream(root + "/" + path) << value << "\n";
      files_.push_back(root + "/" + path);
    };
    for (int chip = 0; chip < 10; ++chip) {
      std::string dir = "hwmon" + std::to_string(chip);
      fs::create_directories(root + "/" + dir);
      std::ofstream(root + "/" + dir + "/name") << "chip" << chip << "\n";
      for (int k = 1; k <= 30; ++k) put(dir + "/temp" + std::to_string(k) + "_input", 30000 + 125 * k);
      for (int k = 0; k < 10; ++k) put(dir + "/in" + std::to_string(k) + "_input", 1000 + k);
      for (int k = 1; k <= 2; ++k) put(dir + "/power" + std::to_string(k) + "_input", 12500000);
      for (int k = 1; k <= 2; ++k)
        for (const char* part : {"input", "min", "max", "target"}) put(dir + "/fan" + std::to_string(k) + "_" + part, 1200);
    }
  }
  const std::string& root() const { return dir_.path(); }
  const std::vector<std::string>& files() const { return files_; }

 private:
  testsupport::TempDir dir_;
  std::vector<std::string> files_;
};

GeneratedTree& tree() {
  static GeneratedTree generated;
  return generated;
}

void BM_ReadSensorFilesDirectly(benchmark::State& state) {
  for (auto _ : state) {
    double sum = 0;
    for (const auto& path : tree().files()) {
      int64_t value = 0;
      controllers::sysfs::readInteger(path, value);
      sum += static_cast<double>(value);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.counters["keys"] = static_cast<double>(tree().files().size());
}
BENCHMARK(BM_ReadSensorFilesDirectly)->Unit(benchmark::kMillisecond);

void BM_SurveyHwmon500Keys(benchmark::State& state) {
  FILE* devNull = std::fopen("/dev/null", "w");
  controllers::SMCPortRoots roots{tree().root() + "/no-applesmc", tree().root()};
  {
    thermwatch::SMC smc([&] { return controllers::openSMCPort(roots); }, devNull);
    state.counters["sensors"] = static_cast<double>(thermwatch::collectSensors(smc).size());
  }
  for (auto _ : state) {
    thermwatch::SMC smc([&] { return controllers::openSMCPort(roots); }, devNull);
    int status = thermwatch::report(smc, devNull, [] { return std::chrono::system_clock::now(); });
    benchmark::DoNotOptimize(status);
  }
  std::fclose(devNull);
}
BENCHMARK(BM_SurveyHwmon500Keys)->Unit(benchmark::kMillisecond);

// Runs a program with standard output to /dev/null and waits for it.
void runProgram(benchmark::State& state, const char* path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  char* argv[] = {const_cast<char*>(path), nullptr};
  for (auto _ : state) {
    pid_t pid;
    if (posix_spawn(&pid, path, &actions, nullptr, argv, environ) != 0) {
      state.SkipWithError("cannot start the program");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the program failed");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
}

void BM_StartTrue(benchmark::State& state) { runProgram(state, "/bin/true"); }
BENCHMARK(BM_StartTrue)->Unit(benchmark::kMillisecond);

void BM_ThermwatchBinaryOnThisMachine(benchmark::State& state) { runProgram(state, THERMWATCH_BIN); }
BENCHMARK(BM_ThermwatchBinaryOnThisMachine)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
