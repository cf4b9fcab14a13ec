// Shared helpers of the command-level tests: the test-only container writer,
// a fresh temporary directory per test, and a runner that starts the real
// zreveal binary and captures what it does.
#pragma once

#include <gtest/gtest.h>

#include "container_writer.h"

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace zt {

// Entries of a sandbox by relative name: a file's bytes, or kDirectory.
using Tree = std::map<std::string, std::optional<Bytes>>;
inline constexpr std::nullopt_t kDirectory = std::nullopt;

// A fresh temporary directory, removed with everything in it at the end.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    std::filesystem::path path(const std::string& relative) const { return dir_ / relative; }
    void Write(const std::string& relative, const Bytes& content) const;  // makes parent directories
    Bytes Read(const std::string& relative) const;                        // fails the test when missing
    // Names of all entries under the sandbox, relative, sorted.
    std::vector<std::string> List() const;
    // Makes every entry of the tree: files with their bytes, directories.
    void Plant(const Tree& entries) const;
    // Succeeds when the sandbox holds exactly these entries, the parent
    // directories of the listed names included, and nothing else.
    testing::AssertionResult HoldsExactly(const Tree& expected) const;

private:
    std::filesystem::path dir_;
};

struct RunResult {
    int status = -1;       // exit status; -1 when the process ended by a signal
    int signal = 0;        // the signal that ended it, or 0
    Bytes out;             // standard output, CR LF line ends read as LF
    Bytes err;             // standard error, the same
};

// Table cases are known by their names: in test names, listings and failures.
// The tests keep their cases in zt's unnamed namespace, where GoogleTest's
// printer finds this operator by argument-dependent lookup.
namespace {

template <typename Case>
std::string CaseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

template <typename Case, typename = decltype(Case::name)>
std::ostream& operator<<(std::ostream& stream, const Case& c) {
    return stream << c.name;
}

}  // namespace

// Succeeds when the run exited (no signal) with this status, wrote nothing to
// standard output, and wrote the message and one line end to standard error,
// or nothing when the message is empty.
testing::AssertionResult EndedWith(const RunResult& run, int status, const std::string& message);

struct RunOptions {
    std::vector<std::string> env;   // extra NAME=VALUE entries, replacing inherited ones
    bool faults = false;            // preload the fault-injection library (see ZT_SKIP_WITHOUT_FAULT_LIBRARY)
    bool closedStdout = false;      // standard output is a pipe whose reader is gone
    std::vector<int> closedDescriptors;               // standard descriptors the program starts without
    std::vector<std::pair<int, rlim_t>> limits;       // resource limits (RLIMIT_*) the program starts with
    std::function<void(pid_t)> whileRunning;          // called once the program has started
    std::vector<std::string> wrapper;                 // words put in front of the program, after the launcher
    bool ownProcessGroup = false;                     // the program leads a process group of its own
};

// Runs the program under test (with its launcher, if one was given) with
// exactly these arguments after argv[0], in the sandbox's directory.
RunResult RunZreveal(const Sandbox& sandbox, const std::vector<std::string>& args,
                     const RunOptions& options = {});
// Runs the program with this whole argument vector, argv[0] included; an
// empty vector starts it with argc 0. Native programs only (no launcher).
RunResult RunZrevealWithArgv(const Sandbox& sandbox, const std::vector<std::string>& argv);

// Whether an exec with an empty argument vector reaches the new program with
// argc 0: recent Linux kernels hand it a single empty argv[0] instead. A probe
// that cannot tell fails the calling test.
bool EmptyArgvReachesPrograms();
// Set in the environment of the probe run that EmptyArgvReachesPrograms makes
// of the test program itself; main answers it (see harness_main.cpp).
constexpr char kEmptyArgvProbe[] = "ZT_EMPTY_ARGV_PROBE";

// What the command line gave the test program (see harness_main.cpp).
struct Config {
    std::string program;        // --zreveal=PATH
    std::string launcher;       // --launcher="CMD ARGS", may be empty
    std::string faultLibrary;   // --fault-library=PATH, empty when unavailable
    std::string benchTool;      // --bench-tool=PATH, empty when unavailable
};
const Config& GetConfig();

}  // namespace zt

// Ends the calling test as skipped when no fault-injection library was given;
// put it first in every test that runs with RunOptions::faults.
#define ZT_SKIP_WITHOUT_FAULT_LIBRARY()                                          \
    do {                                                                         \
        if (::zt::GetConfig().faultLibrary.empty()) {                            \
            GTEST_SKIP() << "no fault-injection library (--fault-library=PATH)"; \
        }                                                                        \
    } while (false)
