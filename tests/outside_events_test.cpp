// What the world outside the program does to a run: standard streams closed
// before it started, a file-size limit, signals that arrive while the file is
// being overwritten, and the memory that a large container takes. None of
// them may cost the user a byte: the run ends as the README says, and the
// file holds the whole plaintext under its new name, or is in the state that
// its failure leaves.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace zt {
namespace {

const Bytes kKey = MakeKey();
const char* const kContainerName = "doc.bin.ze";
const char* const kRevealedName = "doc.bin";

// What these tests do to a Linux process does not reach a Windows program
// through its launcher (Wine) as such.
#define ZT_SKIP_UNDER_LAUNCHER(why)                              \
    do {                                                         \
        if (!GetConfig().launcher.empty()) {                     \
            GTEST_SKIP() << "needs a native program: " << (why); \
        }                                                        \
    } while (false)

// ---------------------------------------------------------------------------
// Closed standard streams: the container must never take the place of one,
// so that no message can land in it.

enum class Trouble { kShortKey, kWrongKey, kTamperedMiddleChunk, kNone };

struct ClosedStreamsCase {
    std::string name;
    std::vector<int> closed;
    Trouble trouble;
};

class ClosedStreams : public testing::TestWithParam<ClosedStreamsCase> {};

TEST_P(ClosedStreams, EndAsUsualWithNoMessageInTheFile) {
    ZT_SKIP_UNDER_LAUNCHER("Wine gives a Windows program standard handles of its own");
    const ClosedStreamsCase& c = GetParam();
    const Sandbox box;
    const Bytes plaintext = PseudoRandomBytes(4 * kChunkPlainBytes + 100, 21);
    Bytes container = MakeContainer(kKey, plaintext);
    Bytes key = kKey;
    Tree expected;
    int status = 1;
    switch (c.trouble) {
    case Trouble::kShortKey:
        key.resize(20);
        expected[kContainerName] = container;
        break;
    case Trouble::kWrongKey:
        key = MakeKey(2);
        expected[kContainerName] = container;
        break;
    case Trouble::kTamperedMiddleChunk:
        container[kFirstChunkOffset + 2 * kFullChunkBytes + 100] ^= 0x01;
        expected[kContainerName] =
            plaintext.substr(0, 2 * kChunkPlainBytes) + container.substr(2 * kChunkPlainBytes);
        break;
    case Trouble::kNone:
        status = 0;
        expected[kRevealedName] = plaintext;
        break;
    }
    expected["key"] = key;
    box.Write("key", key);
    box.Write(kContainerName, container);

    RunOptions options;
    options.closedDescriptors = c.closed;
    EXPECT_TRUE(EndedWith(RunZreveal(box, {"key", kContainerName}, options), status, ""));
    EXPECT_TRUE(box.HoldsExactly(expected));
}

std::vector<ClosedStreamsCase> ClosedStreamsCases() {
    std::vector<ClosedStreamsCase> cases;
    for (const auto& [closedName, closed] :
         {std::pair<std::string, std::vector<int>>{"StderrClosed", {STDERR_FILENO}},
          {"AllThreeClosed", {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}}}) {
        for (const auto& [troubleName, trouble] :
             {std::pair<std::string, Trouble>{"ShortKey", Trouble::kShortKey},
              {"WrongKey", Trouble::kWrongKey},
              {"TamperedMiddleChunk", Trouble::kTamperedMiddleChunk},
              {"GoodContainer", Trouble::kNone}}) {
            cases.push_back({closedName + troubleName, closed, trouble});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(OutsideEvents, ClosedStreams, testing::ValuesIn(ClosedStreamsCases()),
                         CaseName<ClosedStreamsCase>);

// ---------------------------------------------------------------------------
// A file-size limit: a write past it fails like one to a full disk, and is
// reported, instead of killing the process half way through the file.

struct FileSizeLimitCase {
    const char* name;
    rlim_t limit;
};

class FileSizeLimit : public testing::TestWithParam<FileSizeLimitCase> {};

constexpr std::size_t kLimitedPlaintext = 4 * kChunkPlainBytes + 100;

TEST_P(FileSizeLimit, StopsTheRunWithWriteErrorOnlyWhenThePlaintextCrossesIt) {
    ZT_SKIP_UNDER_LAUNCHER("a Linux resource limit");
    const FileSizeLimitCase& c = GetParam();
    const Sandbox box;
    const Bytes plaintext = PseudoRandomBytes(kLimitedPlaintext, 22);
    const Bytes container = MakeContainer(kKey, plaintext);
    box.Write("key", kKey);
    box.Write(kContainerName, container);

    RunOptions options;
    options.limits = {{RLIMIT_FSIZE, c.limit}};
    const RunResult run = RunZreveal(box, {"key", kContainerName}, options);
    if (c.limit >= plaintext.size()) {
        EXPECT_TRUE(EndedWith(run, 0, ""));
        EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {kRevealedName, plaintext}}));
    } else {
        // Every byte below the limit was written; the rest is the container's.
        EXPECT_TRUE(EndedWith(run, 1, "WRITE ERROR"));
        EXPECT_TRUE(box.HoldsExactly(
            {{"key", kKey}, {kContainerName, plaintext.substr(0, c.limit) + container.substr(c.limit)}}));
    }
}

INSTANTIATE_TEST_SUITE_P(OutsideEvents, FileSizeLimit,
                         testing::Values(FileSizeLimitCase{"Zero", 0},
                                         FileSizeLimitCase{"InTheSecondChunk", kChunkPlainBytes + 1000},
                                         FileSizeLimitCase{"OneShortOfThePlaintext", kLimitedPlaintext - 1},
                                         FileSizeLimitCase{"ExactlyThePlaintext", kLimitedPlaintext},
                                         // Below the container's length: the cut only shortens it.
                                         FileSizeLimitCase{"BetweenPlaintextAndContainer", kLimitedPlaintext + 40}),
                         CaseName<FileSizeLimitCase>);

// ---------------------------------------------------------------------------
// Signals

// Whether the process has ended, without reaping it: the runner waits for it.
bool HasEnded(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// Checks the condition every millisecond until it holds, for ten seconds at
// most; tells whether it held.
bool HoldsWithinTenSeconds(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits, ten seconds at most, for the process to stop or end, without
// reaping it; tells whether it stopped.
bool Stops(pid_t pid) {
    siginfo_t info{};
    HoldsWithinTenSeconds([&] {
        return waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WEXITED | WNOHANG | WNOWAIT) != 0 ||
               info.si_pid == pid;
    });
    return info.si_pid == pid && info.si_code == CLD_STOPPED;
}

// Whether the file's first bytes are these.
bool StartsWith(const std::filesystem::path& file, const Bytes& start) {
    std::ifstream stream(file, std::ios::binary);
    Bytes front(start.size(), '\0');
    return stream.read(front.data(), static_cast<std::streamsize>(front.size())) && front == start;
}

// Sends the signal while the process is stopped with the given plaintext
// already at the file's front, then continues it. A stopped process cannot
// end before it is continued, so the signal always reaches a run that is
// writing, never one that has ended and waits to be reaped. A process that
// stops itself is looked at when it does; any other is stopped here, looked
// at and continued every millisecond until its writes have begun. `sent`
// tells whether the signal went out.
std::function<void(pid_t)> SignalWhileStoppedInItsWrites(std::filesystem::path file, Bytes plaintextStart,
                                                         int signal, bool stopsItself, bool& sent) {
    return [file, plaintextStart, signal, stopsItself, &sent](pid_t pid) {
        HoldsWithinTenSeconds([&] {
            if (!stopsItself) {
                kill(pid, SIGSTOP);
            }
            if (!Stops(pid)) {
                return true;  // it ended, or never stopped: nothing can be sent
            }
            sent = StartsWith(file, plaintextStart) && kill(pid, signal) == 0;
            kill(pid, SIGCONT);
            return sent;
        });
        // A process left stopped would keep the runner waiting for ever.
        kill(pid, SIGCONT);
    };
}

struct SignalCase {
    const char* name;
    int signal;
};

class SignalWhileWriting : public testing::TestWithParam<SignalCase> {};

// Natively the run stops itself about half way through its writes: the
// fault library raises SIGSTOP inside the 1000th of 2048 chunk writes.
constexpr std::size_t kSelfStoppedPlaintext = 8u << 20;
constexpr int kStoppingWrite = 1000;
// A run that cannot stop itself is stopped from outside until it has begun
// to write: big enough that a run takes a good part of a second, and cannot
// end between two looks.
constexpr std::size_t kSignalledPlaintext = 128u << 20;

// The signal waits until the run has ended, and then ends the process: the
// sender sees the run interrupted, and the user finds the whole plaintext
// under its new name.
TEST_P(SignalWhileWriting, IsHeldUntilTheFileIsWholeUnderItsNewName) {
    const SignalCase& c = GetParam();
    // Wine turns SIGINT into a Windows Ctrl-C, which the program holds the
    // same way; it then ends with the status of an interrupted console
    // program, 0xC000013A, of which a Linux parent sees the low byte.
    const bool underWine = !GetConfig().launcher.empty();
    if (underWine && c.signal != SIGINT) {
        GTEST_SKIP() << "Windows has no such signal";
    }
    const bool stopsItself = !underWine && !GetConfig().faultLibrary.empty();
    const Sandbox box;
    const Bytes plaintext = PseudoRandomBytes(stopsItself ? kSelfStoppedPlaintext : kSignalledPlaintext, 23);
    box.Write("key", kKey);
    box.Write(kContainerName, MakeContainer(kKey, plaintext));

    bool sent = false;
    RunOptions options;
    options.faults = stopsItself;
    if (stopsItself) {
        options.env = {"ZFAULT_RAISE_IN_WRITE=" + std::to_string(SIGSTOP) + ":" + std::to_string(kStoppingWrite)};
    }
    options.limits = {{RLIMIT_CORE, 0}};  // SIGQUIT would leave a core file
    options.whileRunning = SignalWhileStoppedInItsWrites(
        box.path(kContainerName), plaintext.substr(0, kChunkPlainBytes), c.signal, stopsItself, sent);
    const RunResult run = RunZreveal(box, {"key", kContainerName}, options);

    ASSERT_TRUE(sent) << "the run was never seen stopped with plaintext at the file's front";
    if (underWine) {
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.status, 0x3A);
    } else {
        EXPECT_EQ(run.signal, c.signal);
    }
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {kRevealedName, plaintext}}));
}

INSTANTIATE_TEST_SUITE_P(OutsideEvents, SignalWhileWriting,
                         testing::Values(SignalCase{"SIGINT", SIGINT}, SignalCase{"SIGTERM", SIGTERM},
                                         SignalCase{"SIGHUP", SIGHUP}, SignalCase{"SIGQUIT", SIGQUIT},
                                         SignalCase{"SIGUSR1", SIGUSR1}),
                         CaseName<SignalCase>);

// Whether the process sleeps: waits for something outside it, such as a
// FIFO's open or read.
bool IsAsleep(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string fields;
    std::getline(stat, fields);
    // The state follows the command's name, which is in parentheses.
    const std::size_t nameEnd = fields.rfind(')');
    return nameEnd != std::string::npos && fields.compare(nameEnd, 3, ") S") == 0;
}

// Bytes still in a pipe, seen from either of its ends.
int BytesInPipe(int descriptor) {
    int bytes = -1;
    return ioctl(descriptor, FIONREAD, &bytes) == 0 ? bytes : -1;
}

struct StallCase {
    const char* name;
    bool containerIsFifo;  // else the key file is a FIFO that nobody writes
};

class SignalBeforeWriting : public testing::TestWithParam<StallCase> {};

// Until the first write nothing has changed, so a signal ends the run at
// once, wherever it waits: on the key file's open, or in the first chunk's
// read from a container that stalls after its stream header (a FIFO here; a
// pipe or a hung network mount alike).
TEST_P(SignalBeforeWriting, EndsTheRunAtOnceWithTheContainerUntouched) {
    const StallCase& c = GetParam();
    // Wine turns SIGINT into a Ctrl-C (see SignalWhileWriting). It opens
    // files in its server, which a FIFO nobody writes would block for every
    // program, so only the container's reads can be made to wait there.
    const bool underWine = !GetConfig().launcher.empty();
    if (underWine && !c.containerIsFifo) {
        GTEST_SKIP() << "Wine's server would wait on the FIFO's open";
    }
    const int signal = underWine ? SIGINT : SIGTERM;
    const Sandbox box;
    const Bytes container = MakeContainer(kKey, PseudoRandomBytes(5000, 24));
    const char* const fifo = c.containerIsFifo ? kContainerName : "key";
    ASSERT_EQ(mkfifo(box.path(fifo).c_str(), 0600), 0) << std::strerror(errno);
    if (c.containerIsFifo) {
        box.Write("key", kKey);
    } else {
        box.Write(kContainerName, container);
    }

    bool sent = false;
    RunOptions options;
    options.whileRunning = [&](pid_t pid) {
        int writer = -1;
        if (c.containerIsFifo) {
            // Opens once the run has opened the container, for reading and
            // writing: until then the FIFO has no reader.
            HoldsWithinTenSeconds([&] {
                writer = open(box.path(fifo).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                return writer >= 0 || HasEnded(pid);
            });
            if (writer < 0 || write(writer, container.data(), kFirstChunkOffset) !=
                                  static_cast<ssize_t>(kFirstChunkOffset)) {
                ADD_FAILURE() << "cannot feed the FIFO: " << std::strerror(errno);
            }
        }
        HoldsWithinTenSeconds([&] { return IsAsleep(pid) && (writer < 0 || BytesInPipe(writer) == 0); });
        sent = kill(pid, signal) == 0;
        // A run that held the signal would wait for ever.
        HoldsWithinTenSeconds([&] { return HasEnded(pid); });
        kill(pid, SIGKILL);
        if (writer >= 0) {
            close(writer);
        }
    };
    const RunResult run = RunZreveal(box, {"key", kContainerName}, options);

    ASSERT_TRUE(sent);
    if (underWine) {
        EXPECT_EQ(run.signal, 0);
        EXPECT_EQ(run.status, 0x3A);
    } else {
        EXPECT_EQ(run.signal, SIGTERM);
    }
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(box.List(), (std::vector<std::string>{kContainerName, "key"}));
    if (!c.containerIsFifo) {
        EXPECT_EQ(box.Read(kContainerName), container);
    }
}

INSTANTIATE_TEST_SUITE_P(OutsideEvents, SignalBeforeWriting,
                         testing::Values(StallCase{"KeyFileNobodyWrites", false},
                                         StallCase{"ContainerStallsAfterItsStreamHeader", true}),
                         CaseName<StallCase>);

// Where the hold begins, made exact by the fault library, which raises a
// signal inside the chosen call: in the first chunk's read the signal acts
// at once, in the first write it waits for the end of the run.
struct HoldSpanCase {
    const char* name;
    std::string raise;  // the fault library's setting
    int signal;
    bool held;
};

class HoldSpan : public testing::TestWithParam<HoldSpanCase> {};

TEST_P(HoldSpan, BeginsJustBeforeTheFirstWrite) {
    ZT_SKIP_WITHOUT_FAULT_LIBRARY();
    const HoldSpanCase& c = GetParam();
    const Sandbox box;
    const Bytes plaintext = PseudoRandomBytes(3 * kChunkPlainBytes + 100, 26);
    const Bytes container = MakeContainer(kKey, plaintext);
    box.Write("key", kKey);
    box.Write(kContainerName, container);

    RunOptions options;
    options.faults = true;
    options.env = {c.raise};
    options.limits = {{RLIMIT_CORE, 0}};  // SIGABRT would leave a core file
    const RunResult run = RunZreveal(box, {"key", kContainerName}, options);

    EXPECT_EQ(run.signal, c.signal);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
    if (c.held) {
        EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {kRevealedName, plaintext}}));
    } else {
        EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {kContainerName, container}}));
    }
}

std::string RaiseIn(const std::string& call, int signal) {
    return "ZFAULT_RAISE_IN_" + call + "=" + std::to_string(signal) +
           (call == "READ" ? ":" + std::to_string(kFullChunkBytes) : "");
}

INSTANTIATE_TEST_SUITE_P(OutsideEvents, HoldSpan,
                         testing::Values(HoldSpanCase{"SIGTERMInTheFirstChunksRead", RaiseIn("READ", SIGTERM), SIGTERM, false},
                                         HoldSpanCase{"SIGTERMInTheFirstWrite", RaiseIn("WRITE", SIGTERM), SIGTERM, true},
                                         HoldSpanCase{"SIGABRTInTheFirstWrite", RaiseIn("WRITE", SIGABRT), SIGABRT, true}),
                         CaseName<HoldSpanCase>);

// From the first write on, every signal is held but those that only stop the
// process, and those that cannot be held at all. The C library keeps 32 and
// 33 for itself and never blocks them.
TEST(HeldSignals, AreAllButTheStoppingOnes) {
    ZT_SKIP_WITHOUT_FAULT_LIBRARY();
    const Sandbox box;
    box.Write("key", kKey);
    box.Write(kContainerName, MakeContainer(kKey, PseudoRandomBytes(100, 27)));

    RunOptions options;
    options.faults = true;
    options.env = {"ZFAULT_BLOCKED=" + box.path("blocked").string()};
    EXPECT_TRUE(EndedWith(RunZreveal(box, {"key", kContainerName}, options), 0, ""));

    std::string expected;
    for (int number = 1; number <= SIGRTMAX; ++number) {
        if (number != SIGKILL && number != SIGSTOP && number != SIGTSTP && number != SIGTTIN &&
            number != SIGTTOU && number != 32 && number != 33) {
            expected += std::to_string(number) + " ";
        }
    }
    EXPECT_EQ(box.Read("blocked"), expected);
}

// A stop signal in the write phase stops the run at once, and a SIGCONT lets
// it go on to its end.
TEST(StopSignal, StopsTheRunAtOnceAndItFinishesWhenContinued) {
    ZT_SKIP_WITHOUT_FAULT_LIBRARY();
    const Sandbox box;
    const Bytes plaintext = PseudoRandomBytes(3 * kChunkPlainBytes + 100, 28);
    const Bytes container = MakeContainer(kKey, plaintext);
    box.Write("key", kKey);
    box.Write(kContainerName, container);

    bool stoppedBeforeItsFirstWrite = false;
    RunOptions options;
    options.faults = true;
    options.env = {RaiseIn("WRITE", SIGTSTP)};
    options.ownProcessGroup = true;
    options.whileRunning = [&](pid_t pid) {
        stoppedBeforeItsFirstWrite = Stops(pid) && box.Read(kContainerName) == container;
        kill(pid, SIGCONT);
    };
    EXPECT_TRUE(EndedWith(RunZreveal(box, {"key", kContainerName}, options), 0, ""));
    EXPECT_TRUE(stoppedBeforeItsFirstWrite);
    EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {kRevealedName, plaintext}}));
}

// ---------------------------------------------------------------------------
// Memory: the chunk loop allocates nothing, so a container 64 times larger
// takes no more memory. The run is measured by the benchmark's helper, which
// starts it from a process small enough not to count in its peak: a process
// forked from this one would start out holding all of this one's memory.

TEST(Memory, PeakResidentMemoryDoesNotGrowWithTheContainer) {
    ZT_SKIP_UNDER_LAUNCHER("the memory of Wine would be measured");
    if (GetConfig().benchTool.empty()) {
        GTEST_SKIP() << "no benchmark helper to measure with (--bench-tool=PATH)";
    }
    long peakKib[2] = {};
    const std::size_t sizes[2] = {1u << 20, 64u << 20};
    for (int run = 0; run < 2; ++run) {
        const Sandbox box;
        const Bytes plaintext = PseudoRandomBytes(sizes[run], 25);
        box.Write("key", kKey);
        box.Write(kContainerName, MakeContainer(kKey, plaintext));
        RunOptions options;
        options.wrapper = {GetConfig().benchTool, "run"};
        const RunResult result = RunZreveal(box, {"key", kContainerName}, options);
        // The helper prints the wall seconds and the peak in KiB.
        std::istringstream figures(result.out);
        double seconds = 0;
        ASSERT_TRUE(figures >> seconds >> peakKib[run]) << "status " << result.status << ", output "
                                                         << testing::PrintToString(result.out + result.err);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {kRevealedName, plaintext}}));
    }
    EXPECT_LE(std::labs(peakKib[1] - peakKib[0]), 1024)
        << "peak resident memory: " << peakKib[0] << " KiB with 1 MiB, " << peakKib[1] << " KiB with 64 MiB";
}

}  // namespace
}  // namespace zt
