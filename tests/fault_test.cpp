// Failures beneath zreveal's file stream, truncation, rename and allocations,
// made real by the preloaded fault library (see fault_injection.c). A failure
// that can lose plaintext must end the run with its own message and leave
// the file where the user still finds every byte: nothing is cut or renamed
// before the whole plaintext is safely in the file. One that loses nothing
// must not stop the run.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace zt {
namespace {

const char* const kContainerName = "report.pdf.ze";
const char* const kRevealedName = "report.pdf";

// Where a run leaves the file.
enum class Left {
    Uncut,    // the container's length and name, plaintextWritten bytes of plaintext at its front
    Cut,      // exactly the plaintext, under the container's name
    Renamed,  // exactly the plaintext, under the new name
};

struct FaultCase {
    const char* name;
    std::size_t plaintextLength;
    std::vector<std::string> env;  // fault library settings
    const char* message;           // the one line on standard error; empty for a clean run
    std::size_t plaintextWritten;  // for Left::Uncut
    Left left;
};

// Decrypts a fresh container under the case's faults and checks the status,
// both streams, and the bytes, length and name of what is left.
void ExpectRun(const FaultCase& faultCase) {
    const Sandbox sandbox;
    const Bytes key = MakeKey();
    const Bytes plaintext = PseudoRandomBytes(faultCase.plaintextLength, 7);
    const Bytes container = MakeContainer(key, plaintext);
    sandbox.Write("key", key);
    sandbox.Write(kContainerName, container);

    RunOptions options;
    options.faults = true;
    options.env = faultCase.env;
    const RunResult result = RunZreveal(sandbox, {"key", kContainerName}, options);

    const std::string message = faultCase.message;
    EXPECT_TRUE(EndedWith(result, message.empty() ? 0 : 1, message));

    Bytes expected = plaintext;
    if (faultCase.left == Left::Uncut) {
        expected = container;
        expected.replace(0, faultCase.plaintextWritten, plaintext, 0, faultCase.plaintextWritten);
    }
    const std::string name = faultCase.left == Left::Renamed ? kRevealedName : kContainerName;
    EXPECT_TRUE(sandbox.HoldsExactly({{"key", key}, {name, expected}}));
}

using SystemCallFaultTest = ::testing::TestWithParam<FaultCase>;

TEST_P(SystemCallFaultTest, ReportsItAndKeepsEveryByte) {
    ZT_SKIP_WITHOUT_FAULT_LIBRARY();
    ExpectRun(GetParam());
}

constexpr std::size_t kChunk = kChunkPlainBytes;
// Three full chunks and a short one: passes 1 to 3 write 4096 bytes each.
constexpr std::size_t kFourChunks = 3 * kChunk + 100;
// The last chunk's 2000 bytes go straight to the file.
constexpr std::size_t kLongLastChunk = 2 * kChunk + 2000;
// A last chunk short enough for a buffered stream to hold until the close.
constexpr std::size_t kHeldLastChunk = 2 * kChunk + 100;

// Plaintext is written back to the disk in stretches of 4 MiB as the run
// goes; this one has two and a little more.
constexpr std::size_t kWriteBackStretch = 4u << 20;
constexpr std::size_t kTwoStretches = 2 * kWriteBackStretch + 100;

std::string Budget(std::size_t bytes) { return "ZFAULT_WRITE_BUDGET=" + std::to_string(bytes); }

// The nth fsync of the run fails with this error.
std::vector<std::string> FsyncFails(int ordinal, int error) {
    return {"ZFAULT_FSYNC_FAIL=" + std::to_string(ordinal), "ZFAULT_FSYNC_ERRNO=" + std::to_string(error)};
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SystemCallFaultTest,
    ::testing::Values(
        FaultCase{"FirstPassWriteFails", kFourChunks, {Budget(0)}, "WRITE ERROR", 0, Left::Uncut},
        FaultCase{"FirstPassShortWrite", kFourChunks, {Budget(1000)}, "WRITE ERROR", 1000, Left::Uncut},
        FaultCase{"MiddlePassWriteFails", kFourChunks, {Budget(kChunk)}, "WRITE ERROR", kChunk,
                  Left::Uncut},
        FaultCase{"MiddlePassShortWrite", kFourChunks, {Budget(2 * kChunk + 1)}, "WRITE ERROR",
                  2 * kChunk + 1, Left::Uncut},
        FaultCase{"LastPassWriteFails", kLongLastChunk, {Budget(2 * kChunk)}, "WRITE ERROR",
                  2 * kChunk, Left::Uncut},
        FaultCase{"LastPassShortWrite", kLongLastChunk, {Budget(kLongLastChunk - 1)}, "WRITE ERROR",
                  kLongLastChunk - 1, Left::Uncut},
        FaultCase{"HeldLastChunkWriteFails", kHeldLastChunk, {Budget(2 * kChunk)}, "WRITE ERROR",
                  2 * kChunk, Left::Uncut},
        FaultCase{"HeldLastChunkShortWrite", kHeldLastChunk, {Budget(kHeldLastChunk - 1)},
                  "WRITE ERROR", kHeldLastChunk - 1, Left::Uncut},
        // The program writes each plaintext byte once and nothing else.
        FaultCase{"BudgetOfExactlyThePlaintext", kHeldLastChunk, {Budget(kHeldLastChunk)}, "", 0,
                  Left::Renamed},
        FaultCase{"EveryCloseFails", kHeldLastChunk, {"ZFAULT_CLOSE_FAIL=all"}, "WRITE ERROR",
                  kHeldLastChunk, Left::Uncut},
        // The key file is the first file closed; it was only read, so its
        // close cannot lose anything.
        FaultCase{"KeyFileCloseFails", kHeldLastChunk, {"ZFAULT_CLOSE_FAIL=1"}, "", 0, Left::Renamed},
        // Each change of the file is flushed before the next begins: a
        // failed flush stops the run in the state the last change left.
        FaultCase{"DataFlushFails", kHeldLastChunk, FsyncFails(1, EIO), "WRITE ERROR", kHeldLastChunk,
                  Left::Uncut},
        FaultCase{"CutFlushFails", kHeldLastChunk, FsyncFails(2, EIO), "TRUNCATE ERROR", 0, Left::Cut},
        FaultCase{"DirectoryFlushFails", kHeldLastChunk, FsyncFails(3, EIO), "RENAME ERROR", 0,
                  Left::Renamed},
        // The directory's flush counts only once its descriptor is closed
        // without an error.
        FaultCase{"DirectoryCloseFails", kHeldLastChunk, {"ZFAULT_DESCRIPTOR_CLOSE_FAIL=."}, "RENAME ERROR", 0,
                  Left::Renamed},
        // A full disk can show first at a flush, once the file system places
        // what it had only promised room for: a failure, not a sign that no
        // flush is offered.
        FaultCase{"DataFlushENOSPC", kHeldLastChunk, FsyncFails(1, ENOSPC), "WRITE ERROR", kHeldLastChunk,
                  Left::Uncut},
        FaultCase{"CutFlushENOSPC", kHeldLastChunk, FsyncFails(2, ENOSPC), "TRUNCATE ERROR", 0, Left::Cut},
        // A file system that offers no flush says so with these errors: the
        // run goes on without one.
        FaultCase{"DataFlushEINVAL", kHeldLastChunk, FsyncFails(1, EINVAL), "", 0, Left::Renamed},
        FaultCase{"DataFlushENOTSUP", kHeldLastChunk, FsyncFails(1, ENOTSUP), "", 0, Left::Renamed},
        FaultCase{"CutFlushEINVAL", kHeldLastChunk, FsyncFails(2, EINVAL), "", 0, Left::Renamed},
        FaultCase{"DirectoryFlushEINVAL", kHeldLastChunk, FsyncFails(3, EINVAL), "", 0, Left::Renamed},
        FaultCase{"DirectoryFlushEBADF", kHeldLastChunk, FsyncFails(3, EBADF), "", 0, Left::Renamed},
        FaultCase{"DirectoryFlushEACCES", kHeldLastChunk, FsyncFails(3, EACCES), "", 0, Left::Renamed},
        FaultCase{"DirectoryCannotBeOpened", kHeldLastChunk, {"ZFAULT_OPEN_FAIL=."}, "", 0, Left::Renamed},
        // The descriptor that flushes the file is opened before anything is
        // written, and closed only once the cut is flushed.
        FaultCase{"FlushDescriptorOpenFails", kHeldLastChunk, {std::string("ZFAULT_OPEN_FAIL=") + kContainerName},
                  "CONTAINER ERROR", 0, Left::Uncut},
        FaultCase{"FlushDescriptorCloseFails", kHeldLastChunk,
                  {std::string("ZFAULT_DESCRIPTOR_CLOSE_FAIL=") + kContainerName}, "TRUNCATE ERROR", 0, Left::Cut},
        // Writing back as the run goes only starts the writing; the flush
        // tells whether it worked.
        FaultCase{"WriteBackStartFails", kTwoStretches, {"ZFAULT_WRITEBACK_FAIL=1"}, "", 0, Left::Renamed},
        FaultCase{"TruncateFails", kHeldLastChunk, {"ZFAULT_TRUNCATE_FAIL=1"}, "TRUNCATE ERROR",
                  kHeldLastChunk, Left::Uncut},
        FaultCase{"RenameFails", kHeldLastChunk, {"ZFAULT_RENAME_FAIL=1"}, "RENAME ERROR", 0, Left::Cut},
        // Root opens any file for writing; a read-only file system or a
        // missing permission is what this stands for.
        FaultCase{"WriteOpenDenied", kHeldLastChunk, {"ZFAULT_WRITE_OPEN_FAIL=1"}, "CONTAINER ERROR", 0,
                  Left::Uncut}),
    CaseName<FaultCase>);

// Every allocation of a run fails in turn, picked by its order: each run
// must then end with "MEMORY ERROR" and the container exactly as it was, or
// exactly as a run without the fault. An allocation made once plaintext is in
// the file could not be answered that way, wherever it is made.
TEST(AllocationFaults, EachEndsInMemoryErrorWithTheContainerUnchangedOrAsWithout) {
    ZT_SKIP_WITHOUT_FAULT_LIBRARY();
#ifdef ZREVEAL_SANITIZED_PROGRAM
    GTEST_SKIP() << "the sanitizer's allocator never calls the fault library's malloc";
#endif
    const Sandbox sandbox;
    const Bytes key = MakeKey();
    const Bytes plaintext = PseudoRandomBytes(kFourChunks, 9);
    const Bytes container = MakeContainer(key, plaintext);
    sandbox.Write("key", key);

    RunOptions counting;
    counting.faults = true;
    counting.env = {"ZFAULT_ALLOCATION_COUNT=" + sandbox.path("count").string()};
    sandbox.Write(kContainerName, container);
    ASSERT_TRUE(EndedWith(RunZreveal(sandbox, {"key", kContainerName}, counting), 0, ""));
    const unsigned long allocations = std::stoul(sandbox.Read("count"));
    std::filesystem::remove(sandbox.path("count"));
    std::filesystem::remove(sandbox.path(kRevealedName));
    ASSERT_GT(allocations, 0U);

    for (unsigned long failing = 1; failing <= allocations; ++failing) {
        SCOPED_TRACE("allocation " + std::to_string(failing) + " of " + std::to_string(allocations));
        sandbox.Write(kContainerName, container);
        RunOptions options;
        options.faults = true;
        options.env = {"ZFAULT_ALLOCATION_FAIL=" + std::to_string(failing)};
        const RunResult run = RunZreveal(sandbox, {"key", kContainerName}, options);
        if (run.status == 0) {
            EXPECT_TRUE(EndedWith(run, 0, ""));
            EXPECT_TRUE(sandbox.HoldsExactly({{"key", key}, {kRevealedName, plaintext}}));
            std::filesystem::remove(sandbox.path(kRevealedName));
        } else {
            EXPECT_TRUE(EndedWith(run, 1, "MEMORY ERROR"));
            EXPECT_TRUE(sandbox.HoldsExactly({{"key", key}, {kContainerName, container}}));
        }
        // One broken case explains itself; more would bury it.
        if (HasFailure()) {
            return;
        }
    }
}

// The descriptor that the trace's nth open of the file (counted from 0)
// returned, or "none".
std::string DescriptorOpenedOn(const std::string& trace, const std::string& file, int nth) {
    const std::string open = "open ";
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t space = line.find(' ', open.size());
        if (line.compare(0, open.size(), open) == 0 && space != std::string::npos && line.substr(space + 1) == file &&
            nth-- == 0) {
            return line.substr(open.size(), space - open.size());
        }
    }
    return "none";
}

struct FlushOrderCase {
    const char* name;
    std::size_t plaintextLength;
    std::string container;  // as the command line names it, in the sandbox
};

// Each change of the file reaches storage before the next begins: the
// plaintext, written back in stretches as the run goes and flushed after its
// last byte; the cut, flushed; the new name, flushed with the directory that
// holds it. The file is flushed through one descriptor of its own, opened
// before the first write and kept to the end: the system reports an error in
// writing the plaintext out only to descriptors that were open when it
// happened, so one opened later could be told that all is well.
class FlushOrder : public testing::TestWithParam<FlushOrderCase> {};

TEST_P(FlushOrder, EachChangeIsOnStorageBeforeTheNext) {
    ZT_SKIP_WITHOUT_FAULT_LIBRARY();
    const FlushOrderCase& c = GetParam();
    const std::string revealed = c.container.substr(0, c.container.size() - 3);
    const Sandbox sandbox;
    const Bytes key = MakeKey();
    const Bytes plaintext = PseudoRandomBytes(c.plaintextLength, 10);
    sandbox.Write("key", key);
    sandbox.Write(c.container, MakeContainer(key, plaintext));
    const std::filesystem::path file = std::filesystem::canonical(sandbox.path(c.container));
    const std::string directory = file.parent_path().string();
    const std::string keyFile = std::filesystem::canonical(sandbox.path("key")).string();

    RunOptions options;
    options.faults = true;
    options.env = {"ZFAULT_TRACE=" + sandbox.path("trace").string()};
    EXPECT_TRUE(EndedWith(RunZreveal(sandbox, {"key", c.container}, options), 0, ""));
    const std::string trace = sandbox.Read("trace");
    std::filesystem::remove(sandbox.path("trace"));

    // Each descriptor as the trace names it: its number and its file. The
    // stream opens the container first, then the run its own descriptor.
    const auto named = [&](const std::string& path, int nth) {
        return DescriptorOpenedOn(trace, path, nth) + " " + path;
    };
    const std::string stream = named(file.string(), 0);
    const std::string own = named(file.string(), 1);
    const std::string onDirectory = named(directory, 0);
    EXPECT_NE(stream, own);

    std::string expected =
        "open " + stream + "\nopen " + own + "\nopen " + named(keyFile, 0) + "\nwrite " + stream + "\n";
    for (std::size_t start = 0; start + kWriteBackStretch <= c.plaintextLength; start += kWriteBackStretch) {
        expected += "writeback " + own + " " + std::to_string(start) + " " + std::to_string(kWriteBackStretch) + "\n";
    }
    expected += "fsync " + own + "\ntruncate " + c.container + "\nfsync " + own + "\nrename " + c.container + " " +
                revealed + "\nopen " + onDirectory + "\nfsync " + onDirectory + "\n";
    EXPECT_EQ(trace, expected);
    EXPECT_TRUE(sandbox.HoldsExactly({{"key", key}, {revealed, plaintext}}));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FlushOrder,
    testing::Values(FlushOrderCase{"FourChunks", kFourChunks, kContainerName},
                    FlushOrderCase{"TwoWriteBackStretches", 2 * kWriteBackStretch, kContainerName},
                    FlushOrderCase{"TwoWriteBackStretchesAndALittle", kTwoStretches, kContainerName},
                    // Run from the parent of the container's directory.
                    FlushOrderCase{"InASubdirectory", kFourChunks, std::string("sub/") + kContainerName}),
    CaseName<FlushOrderCase>);

// Each chunk is one read of at most a full chunk's bytes, straight from the
// file: no byte of the container is read twice, and none ahead of its chunk.
TEST(ContainerReads, OneReadPerChunkOfAtMostAFullChunk) {
    ZT_SKIP_WITHOUT_FAULT_LIBRARY();
    const Sandbox sandbox;
    const Bytes key = MakeKey();
    const Bytes plaintext = PseudoRandomBytes(kFourChunks, 11);
    const Bytes container = MakeContainer(key, plaintext);
    sandbox.Write("key", key);
    sandbox.Write(kContainerName, container);
    const std::string file = std::filesystem::canonical(sandbox.dir()).string() + "/" + kContainerName;

    RunOptions options;
    options.faults = true;
    options.env = {"ZFAULT_READS=" + sandbox.path("reads").string()};
    EXPECT_TRUE(EndedWith(RunZreveal(sandbox, {"key", kContainerName}, options), 0, ""));

    std::istringstream lines(sandbox.Read("reads"));
    std::size_t reads = 0;
    std::size_t delivered = 0;
    std::string name;
    for (std::size_t asked = 0, got = 0; lines >> name >> asked >> got;) {
        if (name == file) {
            ++reads;
            delivered += got;
            EXPECT_LE(asked, kFullChunkBytes);
        }
    }
    EXPECT_EQ(delivered, container.size());
    // The header, the data record and the stream header, one read per chunk,
    // and the end of the file found after the last one.
    EXPECT_LE(reads, 3 + 4 + 1);
}

// Failures met before anything is opened: every run, the banner run
// included, ends at once with status 1 and not a word.
struct EarlyFailureCase {
    const char* name;
    const char* fault;
    std::vector<int> closedDescriptors;
};

class EarlyFailure : public testing::TestWithParam<EarlyFailureCase> {};

TEST_P(EarlyFailure, EndsEveryRunSilentlyWithStatus1) {
    ZT_SKIP_WITHOUT_FAULT_LIBRARY();
    const Sandbox sandbox;
    const Bytes key = MakeKey();
    const Bytes container = MakeContainer(key, PseudoRandomBytes(5000, 8));
    sandbox.Write("key", key);
    sandbox.Write(kContainerName, container);

    RunOptions options;
    options.faults = true;
    options.env = {GetParam().fault};
    options.closedDescriptors = GetParam().closedDescriptors;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{"key", kContainerName}}) {
        SCOPED_TRACE(args.size());
        EXPECT_TRUE(EndedWith(RunZreveal(sandbox, args, options), 1, ""));
    }
    EXPECT_TRUE(sandbox.HoldsExactly({{"key", key}, {kContainerName, container}}));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EarlyFailure,
    testing::Values(
        // Without libsodium nothing can be decrypted.
        EarlyFailureCase{"LibsodiumCannotStart", "ZFAULT_SODIUM_INIT_FAIL=1", {}},
        // A standard stream closed at the start is opened on /dev/null
        // before anything else, so that no file can take its place.
        EarlyFailureCase{"ClosedStandardErrorCannotBeFilled", "ZFAULT_OPEN_FAIL=/dev/null", {STDERR_FILENO}}),
    CaseName<EarlyFailureCase>);

}  // namespace
}  // namespace zt
