// Entry of the black-box test program. It takes out its own options before
// GoogleTest sees the command line:
//   --zreveal=PATH         the program under test (required to run tests)
//   --launcher=CMD ARGS    words put in front of the program, may be empty
//   --fault-library=PATH   the LD_PRELOAD fault-injection library(ies)
//   --bench-tool=PATH      the benchmark's helper, which measures a run's memory
// Test discovery runs the binary with --gtest_list_tests alone, so listing
// works without them.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "harness.h"

namespace {

zt::Config config;

// Stores the value of "--NAME=VALUE" when the argument is that option.
bool TakeOption(std::string_view argument, std::string_view option, std::string& value) {
    if (argument.substr(0, option.size()) != option) {
        return false;
    }
    value = std::string(argument.substr(option.size()));
    return true;
}

// Stops every test up front, with one clear message, when there is no program to run.
class ProgramUnderTest : public testing::Environment {
public:
    void SetUp() override {
        ASSERT_FALSE(config.program.empty()) << "no program under test: pass --zreveal=PATH";
        ASSERT_TRUE(std::filesystem::is_regular_file(config.program))
            << "--zreveal names no file: " << config.program;
    }
};

}  // namespace

const zt::Config& zt::GetConfig() { return config; }

int main(int argc, char** argv) {
    // The probe run of zt::EmptyArgvReachesPrograms: answer and do nothing else.
    if (std::getenv(zt::kEmptyArgvProbe) != nullptr) {
        return argc == 0 ? 0 : 1;
    }

    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (TakeOption(argument, "--zreveal=", config.program) ||
            TakeOption(argument, "--launcher=", config.launcher) ||
            TakeOption(argument, "--fault-library=", config.faultLibrary) ||
            TakeOption(argument, "--bench-tool=", config.benchTool)) {
            continue;
        }
        argv[kept++] = argv[i];
    }
    argv[kept] = nullptr;
    argc = kept;
    // Runs change into their sandbox, so a relative program path must not stay relative.
    if (!config.program.empty()) {
        config.program = std::filesystem::absolute(config.program).string();
    }

    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new ProgramUnderTest);
    return RUN_ALL_TESTS();
}
