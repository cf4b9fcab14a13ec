#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

extern char** environ;

namespace zt {

// ---------------------------------------------------------------------------
// Sandbox

Sandbox::Sandbox() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zreveal-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    dir_ = pattern;
}

Sandbox::~Sandbox() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void Sandbox::Write(const std::string& relative, const Bytes& content) const {
    const std::filesystem::path file = path(relative);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!stream) {
        ADD_FAILURE() << "cannot write " << file;
    }
}

Bytes Sandbox::Read(const std::string& relative) const {
    const std::filesystem::path file = path(relative);
    std::ifstream stream(file, std::ios::binary);
    if (!std::filesystem::is_regular_file(file) || !stream) {
        ADD_FAILURE() << "no file " << file;
        return {};
    }
    Bytes content(std::filesystem::file_size(file), '\0');
    stream.read(content.data(), static_cast<std::streamsize>(content.size()));
    return content;
}

std::vector<std::string> Sandbox::List() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_)) {
        names.push_back(entry.path().lexically_relative(dir_).generic_string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void Sandbox::Plant(const Tree& entries) const {
    for (const auto& [name, content] : entries) {
        if (content) {
            Write(name, *content);
        } else {
            std::filesystem::create_directories(path(name));
        }
    }
}

testing::AssertionResult Sandbox::HoldsExactly(const Tree& expected) const {
    Tree wanted = expected;
    for (const auto& entry : expected) {
        for (auto parent = std::filesystem::path(entry.first).parent_path(); !parent.empty();
             parent = parent.parent_path()) {
            wanted.emplace(parent.generic_string(), kDirectory);
        }
    }
    std::vector<std::string> wantedNames;
    for (const auto& entry : wanted) {
        wantedNames.push_back(entry.first);
    }
    const std::vector<std::string> names = List();
    if (names != wantedNames) {
        return testing::AssertionFailure() << "the sandbox holds " << testing::PrintToString(names)
                                           << ", expected " << testing::PrintToString(wantedNames);
    }
    for (const auto& [name, content] : wanted) {
        const bool isDirectory = std::filesystem::is_directory(path(name));
        if (content.has_value() == isDirectory) {
            return testing::AssertionFailure() << testing::PrintToString(name)
                                               << (isDirectory ? " is" : " is not") << " a directory";
        }
        if (!content) {
            continue;
        }
        const Bytes actual = Read(name);
        if (actual != *content) {
            const auto [differs, unused] =
                std::mismatch(actual.begin(), actual.end(), content->begin(), content->end());
            return testing::AssertionFailure()
                   << testing::PrintToString(name) << " holds " << actual.size()
                   << " bytes, expected " << content->size() << "; first difference at offset "
                   << (differs - actual.begin());
        }
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult EndedWith(const RunResult& run, int status, const std::string& message) {
    const Bytes expectedErr = message.empty() ? Bytes() : message + "\n";
    if (run.signal == 0 && run.status == status && run.out.empty() && run.err == expectedErr) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << "status " << run.status << ", signal " << run.signal << ", stdout "
           << testing::PrintToString(run.out) << ", stderr " << testing::PrintToString(run.err)
           << "; expected status " << status << ", empty stdout, stderr "
           << testing::PrintToString(expectedErr);
}

// ---------------------------------------------------------------------------
// Running a program

namespace {

// The inherited environment with these NAME=VALUE entries put in, each
// replacing an inherited entry of the same name.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    for (const std::string& assignment : extra) {
        const std::string prefix = assignment.substr(0, assignment.find('=') + 1);
        const auto same = std::find_if(environment.begin(), environment.end(),
                                       [&](const std::string& entry) { return entry.rfind(prefix, 0) == 0; });
        if (same != environment.end()) {
            *same = assignment;
        } else {
            environment.push_back(assignment);
        }
    }
    return environment;
}

std::vector<char*> NullTerminated(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (std::string& word : words) {
        pointers.push_back(word.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// A Windows program ends each text line with CR LF; the tests compare lines
// ended with LF alone, whatever the platform.
void ReadLineEndsAsLf(Bytes& text) {
    for (std::size_t at = text.find("\r\n"); at != Bytes::npos; at = text.find("\r\n", at)) {
        text.erase(at, 1);
    }
}

// Reads both pipes to their ends, whichever has data first, so that a child
// filling one of them never blocks while the other is being read.
void DrainPipes(int outFd, int errFd, Bytes& out, Bytes& err) {
    pollfd sources[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    Bytes* sinks[2] = {&out, &err};
    while (sources[0].fd >= 0 || sources[1].fd >= 0) {
        if (poll(sources, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            ADD_FAILURE() << "poll: " << std::strerror(errno);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (sources[i].fd < 0 || sources[i].revents == 0) {
                continue;
            }
            char buffer[65536];
            const ssize_t count = read(sources[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                CloseIfOpen(sources[i].fd);  // poll skips negative descriptors
            }
        }
    }
    CloseIfOpen(sources[0].fd);
    CloseIfOpen(sources[1].fd);
}

// Starts `file` (looked up on PATH when it has no slash) with exactly this
// argument vector and environment in directory `cwd`; stdin is /dev/null.
RunResult RunProcess(const std::filesystem::path& cwd, const std::string& file,
                     std::vector<std::string> argv, std::vector<std::string> environment,
                     const RunOptions& options) {
    std::vector<char*> argvPointers = NullTerminated(argv);
    std::vector<char*> environmentPointers = NullTerminated(environment);
    const std::string directory = cwd.string();

    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
    }
    int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (options.closedStdout) {
        CloseIfOpen(outPipe[0]);  // the reader is gone before the child writes
    }

    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec. The program must
        // meet every signal with its default action, whatever this process
        // ignores or blocks.
        struct sigaction defaultAction {};
        defaultAction.sa_handler = SIG_DFL;
        for (int number = 1; number < NSIG; ++number) {
            sigaction(number, &defaultAction, nullptr);
        }
        sigset_t noSignals;
        sigemptyset(&noSignals);
        sigprocmask(SIG_SETMASK, &noSignals, nullptr);
        // A group of its own is never orphaned, so that a stop signal stops it.
        bool ready = (!options.ownProcessGroup || setpgid(0, 0) == 0) && chdir(directory.c_str()) == 0 &&
                     dup2(input, STDIN_FILENO) >= 0 && dup2(outPipe[1], STDOUT_FILENO) >= 0 &&
                     dup2(errPipe[1], STDERR_FILENO) >= 0;
        for (const auto& [resource, limit] : options.limits) {
            const rlimit both{limit, limit};
            ready = ready && setrlimit(resource, &both) == 0;
        }
        if (ready) {
            for (const int descriptor : options.closedDescriptors) {
                close(descriptor);
            }
            execvpe(file.c_str(), argvPointers.data(), environmentPointers.data());
        }
        static const char message[] = "test runner: cannot start the program\n";
        if (write(STDERR_FILENO, message, sizeof message - 1) < 0) {
            // Nothing left to report it on.
        }
        _exit(127);
    }
    const int forkError = errno;
    CloseIfOpen(input);
    CloseIfOpen(outPipe[1]);
    CloseIfOpen(errPipe[1]);
    RunResult result;
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << std::strerror(forkError);
        CloseIfOpen(outPipe[0]);
        CloseIfOpen(errPipe[0]);
        return result;
    }
    if (options.whileRunning) {
        options.whileRunning(pid);
    }
    DrainPipes(outPipe[0], errPipe[0], result.out, result.err);
    ReadLineEndsAsLf(result.out);
    ReadLineEndsAsLf(result.err);
    int waitStatus = 0;
    while (waitpid(pid, &waitStatus, 0) < 0) {
        if (errno != EINTR) {
            ADD_FAILURE() << "waitpid: " << std::strerror(errno);
            return result;
        }
    }
    if (WIFEXITED(waitStatus)) {
        result.status = WEXITSTATUS(waitStatus);
    } else if (WIFSIGNALED(waitStatus)) {
        result.signal = WTERMSIG(waitStatus);
    }
    return result;
}

}  // namespace

RunResult RunZreveal(const Sandbox& sandbox, const std::vector<std::string>& args,
                     const RunOptions& options) {
    const Config& config = GetConfig();
    std::vector<std::string> extraEnvironment = options.env;
    if (options.faults) {
        if (config.faultLibrary.empty()) {
            ADD_FAILURE() << "faults asked for without a fault library: start the test with "
                             "ZT_SKIP_WITHOUT_FAULT_LIBRARY()";
            return {};
        }
        extraEnvironment.push_back("LD_PRELOAD=" + config.faultLibrary);
    }
    std::vector<std::string> argv;
    std::istringstream launcherWords(config.launcher);
    for (std::string word; launcherWords >> word;) {
        argv.push_back(word);
    }
    argv.insert(argv.end(), options.wrapper.begin(), options.wrapper.end());
    argv.push_back(config.program);
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string file = argv.front();
    return RunProcess(sandbox.dir(), file, std::move(argv), ChildEnvironment(extraEnvironment),
                      options);
}

RunResult RunZrevealWithArgv(const Sandbox& sandbox, const std::vector<std::string>& argv) {
    return RunProcess(sandbox.dir(), GetConfig().program, argv, ChildEnvironment({}), {});
}

bool EmptyArgvReachesPrograms() {
    // The probe answers 0 when it was started with argc 0, 1 otherwise.
    const RunResult probe =
        RunProcess(std::filesystem::current_path(), "/proc/self/exe", {},
                   ChildEnvironment({std::string(kEmptyArgvProbe) + "=1"}), {});
    if (probe.signal != 0 || (probe.status != 0 && probe.status != 1)) {
        ADD_FAILURE() << "the empty argument vector probe did not run: status " << probe.status
                      << ", signal " << probe.signal << ", stderr " << testing::PrintToString(probe.err);
    }
    return probe.signal == 0 && probe.status == 0;
}

}  // namespace zt
