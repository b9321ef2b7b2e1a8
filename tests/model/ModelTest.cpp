// The service against its reference model on random runs from many seeds,
// and every run that once failed, kept under regressions/.
//
//   KORVEL_MODEL_SECONDS=600  random runs for that much CPU time instead of
//                             the usual step count (make model)
//   KORVEL_MODEL_SEED=N       the random runs start at seed N
//   KORVEL_MODEL_RUN=FILE     also replays that saved run, showing its table
#include "model/Events.h"
#include "model/ModelRun.h"

#include <gtest/gtest.h>

#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

// The step count and its CPU budget are the normal build's; under the
// sanitizers (g++ says so with a macro, clang only through __has_feature)
// the same code runs several times slower, and a fifth of the steps runs
// unbudgeted.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORVEL_MODEL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KORVEL_MODEL_SANITIZED 1
#endif
#endif

namespace korvel::model_test {

#ifdef KORVEL_MODEL_SANITIZED
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif

using namespace korvel::model;

double CpuSeconds()
{
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

std::uint64_t EnvNumber(const char* name, std::uint64_t otherwise)
{
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : otherwise;
}

std::optional<model::Run> Load(const std::filesystem::path& path, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path.string();
        return std::nullopt;
    }
    return ReadRun(in, error);
}

// At least MinimumSteps random steps (or, with KORVEL_MODEL_SECONDS, as
// many as fit in that CPU time), in runs of StepsPerRun from consecutive
// seeds. A failing run is shrunk, printed as a table and saved beside the
// test, ready to be kept under regressions/.
TEST(ModelTest, RandomRunsAgreeWithTheModel)
{
    constexpr std::size_t MinimumSteps = Sanitized ? 20000 : 100000;
    constexpr std::size_t StepsPerRun = 250;
    const double seconds = static_cast<double>(EnvNumber("KORVEL_MODEL_SECONDS", 0));
    std::uint64_t seed = EnvNumber("KORVEL_MODEL_SEED", 1);
    const double start = CpuSeconds();
    std::size_t steps = 0;
    std::size_t runs = 0;
    while (seconds > 0 ? CpuSeconds() - start < seconds : steps < MinimumSteps) {
        const model::Run run = RandomRun(seed, StepsPerRun);
        const auto failure = Check(run);
        ++runs;
        if (failure) {
            steps += failure->step;
            std::size_t checks = 0;
            const model::Run shrunk = Shrink(run, &checks);
            const auto again = Check(shrunk);
            const std::string saved = "model-failure-" + std::to_string(seed) + ".run";
            std::ofstream out(saved);
            WriteRun(out, shrunk);
            ADD_FAILURE() << "seed " << seed << " fails after " << failure->step << " steps ("
                          << steps << " steps into the test); shrunk in " << checks
                          << " runs to " << shrunk.events.size() << " steps, saved as " << saved
                          << "\n"
                          << Report(shrunk, again ? *again : *failure);
            break;
        }
        steps += run.events.size();
        ++seed;
    }
    const double used = CpuSeconds() - start;
    std::cout << "model: " << steps << " steps in " << runs << " runs, " << used
              << " s of CPU time (" << static_cast<double>(steps) / std::max(used, 1e-6)
              << " steps/s)" << std::endl;
    RecordProperty("steps", std::to_string(steps));
    RecordProperty("cpu_seconds", std::to_string(used));
    if (seconds == 0 && !Sanitized) {
        // The budget of make test, with room for a loaded machine.
        EXPECT_LT(used, 60.0);
    }
}

TEST(ModelTest, SavedRunsStillAgree)
{
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(
             std::filesystem::path(TLKORVEL_SOURCE_DIR) / "tests/model/regressions"))
        if (entry.path().extension() == ".run")
            files.push_back(entry.path());
    if (const char* extra = std::getenv("KORVEL_MODEL_RUN"); extra && *extra)
        files.emplace_back(extra);
    std::sort(files.begin(), files.end());
    for (const auto& path : files) {
        SCOPED_TRACE(path.string());
        std::string error;
        const auto run = Load(path, error);
        ASSERT_TRUE(run) << error;
        if (const auto failure = Check(*run))
            ADD_FAILURE() << Report(*run, *failure);
        else if (std::getenv("KORVEL_MODEL_RUN"))
            std::cout << path.string() << " agrees:\n" << RunTable(*run);
    }
}

} // namespace korvel::model_test
