// Entry of the black-box test program. It takes out its own options before
// GoogleTest sees the command line:
//   --zreveal=PATH         the program under test
//   --launcher=CMD ARGS    words put in front of the program, may be empty
//   --fault-library=PATH   the LD_PRELOAD fault-injection library(ies)
//   --bench-tool=PATH      the benchmark's helper, which measures a run's memory
// Without --zreveal it tests the build it belongs to: that build's program,
// fault library, benchmark helper and launcher, so that running it by hand
// needs no options. With --zreveal it takes only what it is given.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>

#include "harness.h"

namespace {

zt::Config config;

// The options, each with its value in the build this test program belongs to.
struct Option {
    std::string_view prefix;
    std::string zt::Config::*field;
    const char* ownBuild;
};
const Option kOptions[] = {
    {"--zreveal=", &zt::Config::program, ZT_BUILT_PROGRAM},
    {"--launcher=", &zt::Config::launcher, ZT_BUILT_LAUNCHER},
    {"--fault-library=", &zt::Config::faultLibrary, ZT_BUILT_FAULT_LIBRARY},
    {"--bench-tool=", &zt::Config::benchTool, ZT_BUILT_BENCH_TOOL},
};

// Stops every test up front, with one clear message, when there is no program to run.
class ProgramUnderTest : public testing::Environment {
public:
    void SetUp() override {
        ASSERT_FALSE(config.program.empty())
            << "no program under test: pass --zreveal=PATH (and --fault-library=PATH, --bench-tool=PATH)";
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

    // Without --zreveal the tests run on this build; with it, on what the
    // options give.
    const bool programGiven = std::any_of(argv, argv + argc, [](const char* argument) {
        return std::string_view(argument).rfind(kOptions[0].prefix, 0) == 0;
    });
    if (!programGiven) {
        for (const Option& option : kOptions) {
            config.*option.field = option.ownBuild;
        }
    }
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const Option* const option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                                  [&](const Option& o) { return argument.rfind(o.prefix, 0) == 0; });
        if (option == std::end(kOptions)) {
            argv[kept++] = argv[i];
        } else {
            config.*option->field = std::string(argument.substr(option->prefix.size()));
        }
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
