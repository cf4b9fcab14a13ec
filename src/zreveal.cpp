// zreveal: turns a zermoth container back into the file it was made from.
//
// The container is authenticated and decrypted chunk by chunk, and each
// chunk's plaintext is written back into the same file, behind the read
// position. After the last chunk the file is cut to the plaintext's length
// and renamed without its ".ze" extension.

#include <sodium.h>

#include <fcntl.h>
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <new>
#include <regex>
#include <string>
#include <system_error>
#include <vector>

// ---------------------------------------------------------------------------
// Container records
//
// A container starts with a 9-byte header (magic, format version) and a
// 2-byte data record (plaintext chunk length, high byte first), followed by
// the secret stream's 24-byte header and its chunks.

constexpr std::size_t zHeaderSize = 9;
constexpr std::size_t zData_v1_size = 2;

struct zHeader {
    char magic[8] = {'Z', 'E', 'R', 'M', 'O', 'T', 'H', '\0'};
    std::uint8_t version = 0;
};

struct zData_v1 {
    std::uint16_t chunkLength = 4096;
};

void EncodeZeHeader(const zHeader& header, char* destination) {
    std::memcpy(destination, header.magic, sizeof header.magic);
    destination[sizeof header.magic] = static_cast<char>(header.version);
}

// The magic on disk is never trusted or compared: only the version is taken.
zHeader DecodeZeHeader(const char* source) {
    zHeader header;
    header.version = static_cast<std::uint8_t>(source[sizeof header.magic]);
    return header;
}

void EncodeZeData(const zData_v1& data, char* destination) {
    destination[0] = static_cast<char>(data.chunkLength >> 8);
    destination[1] = static_cast<char>(data.chunkLength & 0xFF);
}

zData_v1 DecodeZeData_v1(const char* source) {
    zData_v1 data;
    const auto high = static_cast<unsigned char>(source[0]);
    const auto low = static_cast<unsigned char>(source[1]);
    data.chunkLength = static_cast<std::uint16_t>(high << 8 | low);
    return data;
}

// ---------------------------------------------------------------------------
// The decrypted file's name: every ".ze" match dropped from the file name.
// The directory part is kept as typed, so the file never moves to another
// directory. Paths come in the platform's own characters: bytes on Linux,
// UTF-16 on Windows, where the directory part also ends at a backslash or at
// a drive prefix's colon ("D:x.ze" becomes "D:x").

template <typename Char>
std::basic_string<Char> StripZeFromName(const std::basic_string<Char>& containerPath) {
    using String = std::basic_string<Char>;
#ifdef _WIN32
    const Char separators[] = {'\\', '/', '\0'};
    const std::size_t driveLength = containerPath.size() >= 2 && containerPath[1] == ':' ? 2 : 0;
#else
    const Char separators[] = {'/', '\0'};
    const std::size_t driveLength = 0;
#endif
    const std::size_t lastSeparator = containerPath.find_last_of(separators);
    const std::size_t nameStart = lastSeparator == String::npos ? driveLength : lastSeparator + 1;
    const Char pattern[] = {'.', 'z', 'e', '\0'};
    const std::basic_regex<Char> zeMatch(pattern, std::regex::ECMAScript);
    return containerPath.substr(0, nameStart) +
           std::regex_replace(containerPath.substr(nameStart), zeMatch, String());
}

#ifndef ZREVEAL_NO_MAIN

// ---------------------------------------------------------------------------
// The command

namespace {

#ifndef _WIN32
// Whoever started the program may have left a standard descriptor closed.
// The next file opened would take its number, the container among them, and
// a message meant for standard error would land in the file. Each closed one
// is opened on /dev/null first; false when that cannot be done. (Windows'
// C runtime keeps descriptors 0 to 2 taken from its start, standard handles
// or none, so no file can be given one there.)
bool FillClosedStandardDescriptors() {
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF &&
            open("/dev/null", O_RDWR) != descriptor) {
            return false;
        }
    }
    return true;
}
#endif

int ReportZeFailure(const char* message) {
    std::cerr << message << std::endl;
    return 1;
}

// A file stream that could not be opened for want of memory is a memory
// error, not a fault of the file: the caller clears errno before the open.
void ThrowIfOutOfMemory() {
    if (errno == ENOMEM) {
        throw std::bad_alloc();
    }
}

// A signal, or a console event on Windows, that would end the process while
// the file is being overwritten would leave plaintext in front and
// ciphertext behind it, with the stream header already gone: the rest could
// never be decrypted. From just before the first write on, such a signal is
// held back until the run has ended, and then takes its course, so that
// whoever sent it still sees the run interrupted, but finds the file whole
// under its new name or in the state that its failure message describes.
// Until then nothing has changed, and every read, open and wait on the way
// can be interrupted at once.
class TerminationHold {
public:
    TerminationHold();
    TerminationHold(const TerminationHold&) = delete;
    TerminationHold& operator=(const TerminationHold&) = delete;
    // Called before every write; only the first call does anything.
    void Begin();
    ~TerminationHold();

private:
    bool begun_ = false;
#ifndef _WIN32
    sigset_t previousMask_{};
#endif
};

#ifdef _WIN32

// The console's control handler runs on a thread of its own, at any moment:
// one atomic decides whether an event ends the process at once or waits for
// the run, so that no event can slip in while the hold begins.
enum HoldState : int { kActAtOnce, kEnding, kHolding, kHoldingAnInterrupt, kRunEnded };
std::atomic<int> holdState{kActAtOnce};
HANDLE runEnded = nullptr;  // set when the run has ended

BOOL WINAPI HoldConsoleEvent(DWORD event) {
    int state = kActAtOnce;
    // Claimed before the hold, the end comes at once, and the run will not
    // begin to write.
    holdState.compare_exchange_strong(state, kEnding);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        // Taken as handled while the run holds it; acted on when it ends.
        if (state == kHolding && holdState.compare_exchange_strong(state, kHoldingAnInterrupt)) {
            return TRUE;
        }
        if (state == kHoldingAnInterrupt) {
            return TRUE;
        }
        // As Windows' own handler ends an interrupted console program.
        ExitProcess(STATUS_CONTROL_C_EXIT);
    }
    // A closed console, a log-off or a shut-down ends the process as soon as
    // this returns: first let the run end, for as long as Windows waits.
    if (state == kHolding || state == kHoldingAnInterrupt) {
        WaitForSingleObject(runEnded, INFINITE);
    }
    return FALSE;
}

TerminationHold::TerminationHold() {
    runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(HoldConsoleEvent, TRUE);
}

void TerminationHold::Begin() {
    if (begun_) {
        return;
    }
    begun_ = true;
    int state = kActAtOnce;
    if (!holdState.compare_exchange_strong(state, kHolding)) {
        // An event has already claimed the end of the process.
        ExitProcess(STATUS_CONTROL_C_EXIT);
    }
}

TerminationHold::~TerminationHold() {
    if (!begun_) {
        return;
    }
    const int state = holdState.exchange(kRunEnded);
    SetEvent(runEnded);
    if (state == kHoldingAnInterrupt) {
        ExitProcess(STATUS_CONTROL_C_EXIT);
    }
}

#else

TerminationHold::TerminationHold() = default;

// Every signal that can be held: all that end the process by default, and
// the rest, which are harmless to hold. The fault signals are held too,
// against a kill from outside; a fault of the program's own is still
// delivered at once, since the kernel does not let a block stand in its way.
// The signals that only stop the process keep acting: a stopped run loses
// nothing.
void TerminationHold::Begin() {
    if (begun_) {
        return;
    }
    begun_ = true;
    sigset_t held;
    sigfillset(&held);
    for (const int stopping : {SIGTSTP, SIGTTIN, SIGTTOU}) {
        sigdelset(&held, stopping);
    }
    sigprocmask(SIG_BLOCK, &held, &previousMask_);
}

TerminationHold::~TerminationHold() {
    if (begun_) {
        sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
    }
}

#endif

#ifndef _WIN32
// True once fsync has put the descriptor's file on storage, or when it fails
// with one of the errors by which a file system says it offers no flush at
// all (some FUSE and network mounts): there the run goes on without that
// promise. A flush that failed is never tried again.
bool FlushedOrUnflushable(int descriptor, std::initializer_list<int> noFlushErrors) {
    if (fsync(descriptor) == 0) {
        return true;
    }
    const int error = errno;
    return std::find(noFlushErrors.begin(), noFlushErrors.end(), error) != noFlushErrors.end();
}
#endif

// The container's file, opened a second time as a descriptor of the run's
// own, through which its contents are put on storage. It is opened before
// the first write and kept until the cut is flushed: an error in writing the
// plaintext back to the disk is reported to the descriptors that were open
// when it happened, and to no other.
class ZeFileOnStorage {
public:
    explicit ZeFileOnStorage(const std::filesystem::path& file) {
#ifdef _WIN32
        descriptor_ = _wopen(file.c_str(), _O_WRONLY | _O_BINARY);
#else
        descriptor_ = open(file.c_str(), O_WRONLY | O_CLOEXEC);
#endif
    }
    ~ZeFileOnStorage() {
        if (IsOpen()) {
            close(descriptor_);
        }
    }
    ZeFileOnStorage(const ZeFileOnStorage&) = delete;
    ZeFileOnStorage& operator=(const ZeFileOnStorage&) = delete;

    bool IsOpen() const { return descriptor_ >= 0; }

    // Has the system start writing out each finished stretch of plaintext
    // below the write position, so that the flush at the end finds little
    // left to do. It only starts the writing and never waits; whether it
    // worked is for the flush to tell.
    void StartWritingBack(std::streamoff writePosition) {
#ifdef SYNC_FILE_RANGE_WRITE
        constexpr std::streamoff kStretch = 4 << 20;
        if (writePosition - writtenBackTo_ >= kStretch) {
            sync_file_range(descriptor_, writtenBackTo_, writePosition - writtenBackTo_,
                            SYNC_FILE_RANGE_WRITE);
            writtenBackTo_ = writePosition;
        }
#else
        static_cast<void>(writePosition);
#endif
    }

    // True once the file's data and length are on storage (see
    // FlushedOrUnflushable).
    bool Flush() {
#ifdef _WIN32
        return _commit(descriptor_) == 0;
#else
        return FlushedOrUnflushable(descriptor_, {EINVAL, ENOTSUP, EOPNOTSUPP});
#endif
    }

    bool Close() {
        const int descriptor = descriptor_;
        descriptor_ = -1;
        return close(descriptor) == 0;
    }

private:
    int descriptor_ = -1;
    std::streamoff writtenBackTo_ = 0;
};

// Gives the file its new name, and returns once that name is on storage, or
// is as close to it as the file system allows. On Windows the rename is
// written through; elsewhere the directory that holds the file is flushed,
// unless it cannot be opened or flushed at all.
bool RenameZeOnStorage(const std::filesystem::path& from, const std::filesystem::path& to,
                       const std::filesystem::path& directory) {
#ifdef _WIN32
    static_cast<void>(directory);
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    std::error_code error;
    std::filesystem::rename(from, to, error);
    if (error) {
        return false;
    }
    const int descriptor = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return true;
    }
    const bool flushed = FlushedOrUnflushable(descriptor, {EINVAL, EBADF, EACCES});
    return close(descriptor) == 0 && flushed;
#endif
}

// The arguments are in the platform's own path characters (see main), so
// each becomes a path unchanged.
int RevealZeContainer(int argc, std::filesystem::path::value_type* argv[], TerminationHold& hold) {
    if (sodium_init() != 0) {
        return 1;
    }

    if (argc == 1) {
        std::cout << "zermoth 1.0.0" << std::endl;
        std::cout << "Written By: The zermoth authors\tzermoth@example.org" << std::endl;
        std::cout << "zermoth is available on-line at https://example.org/zermoth" << std::endl;
        return 0;
    }
    if (argc < 3) {
        return ReportZeFailure("USAGE: zreveal KEYFILE CONTAINER");
    }
    const std::filesystem::path keyPath = argv[1];
    // One path names the container for opening, cutting and renaming, so all
    // three reach the same file. The new name and its directory are formed
    // before anything is opened: nothing allocates once plaintext is in the
    // file, so running out of memory always leaves the container as it was.
    const std::filesystem::path containerPath = argv[2];
    const std::filesystem::path newName = StripZeFromName(containerPath.native());
    const std::filesystem::path directory =
        containerPath.has_parent_path() ? containerPath.parent_path() : std::filesystem::path(".");

    // Preamble. The container must exist and be writable: it is never created.
    // The stream holds no buffer, so that each chunk is one read and one
    // write, and a move never throws away bytes read ahead of it.
    std::fstream container;
    container.rdbuf()->pubsetbuf(nullptr, 0);
    errno = 0;
    container.open(containerPath, std::ios::in | std::ios::out | std::ios::binary);
    if (!container.is_open()) {
        ThrowIfOutOfMemory();
        return ReportZeFailure("CONTAINER ERROR");
    }
    ZeFileOnStorage fileOnStorage(containerPath);
    if (!fileOnStorage.IsOpen()) {
        return ReportZeFailure("CONTAINER ERROR");
    }
    {
        std::vector<char> headerBytes(zHeaderSize);
        if (!container.read(headerBytes.data(), zHeaderSize)) {
            return ReportZeFailure("CONTAINER ERROR");
        }
        if (DecodeZeHeader(headerBytes.data()).version != 0) {
            return 3;
        }
    }
    // Version 0 always uses the default chunk length: the data record is
    // read past, never applied.
    const zData_v1 data;
    {
        std::vector<char> dataBytes(zData_v1_size);
        container.read(dataBytes.data(), zData_v1_size);
    }

    // Chunk buffers, allocated once for the whole run.
    const std::size_t chunkLength = data.chunkLength;
    const std::size_t cipherCapacity = chunkLength + crypto_secretstream_xchacha20poly1305_ABYTES;
    std::vector<unsigned char> ciphertext(cipherCapacity);
    std::vector<unsigned char> plaintext(chunkLength);

    // Key: the key file's first 32 bytes, exactly as stored.
    std::array<unsigned char, crypto_secretstream_xchacha20poly1305_KEYBYTES> key{};
    {
        errno = 0;
        std::ifstream keyFile(keyPath, std::ios::binary);
        if (!keyFile.is_open()) {
            ThrowIfOutOfMemory();
        }
        keyFile.read(reinterpret_cast<char*>(key.data()), key.size());
        if (keyFile.gcount() != static_cast<std::streamsize>(key.size())) {
            return ReportZeFailure("KEY ERROR");
        }
    }

    // A stream header cut short leaves the stream failed; the first chunk
    // read then delivers nothing and is rejected.
    std::array<unsigned char, crypto_secretstream_xchacha20poly1305_HEADERBYTES> streamHeader{};
    container.read(reinterpret_cast<char*>(streamHeader.data()), streamHeader.size());
    crypto_secretstream_xchacha20poly1305_state state;
    crypto_secretstream_xchacha20poly1305_init_pull(&state, streamHeader.data(), key.data());

    // Chunk loop. Plaintext goes back into the container at the write
    // position, which trails the read position by 35 bytes plus 17 per chunk,
    // so no plaintext ever lands on ciphertext that is still to be read.
    // The first read that does not fill the buffer is the last chunk; the
    // chunk's tag is not consulted, so a stream cut at a chunk boundary ends
    // with an empty read and is rejected rather than passing as complete.
    // Both positions follow from the lengths read and written, and reading
    // and writing share the stream's one position: one move per change of
    // direction, and no probe.
    std::streamoff readPosition = zHeaderSize + zData_v1_size + streamHeader.size();
    std::streamoff writePosition = 0;
    std::uint64_t totalPlaintextLength = 0;
    for (;;) {
        container.read(reinterpret_cast<char*>(ciphertext.data()),
                       static_cast<std::streamsize>(cipherCapacity));
        const std::streamsize cipherLength = container.gcount();
        readPosition += cipherLength;
        unsigned long long plaintextLength = 0;
        unsigned char tag = 0;
        if (crypto_secretstream_xchacha20poly1305_pull(
                &state, plaintext.data(), &plaintextLength, &tag, ciphertext.data(),
                static_cast<unsigned long long>(cipherLength), nullptr, 0) != 0) {
            return ReportZeFailure("DECRYPTION ERROR");
        }
        totalPlaintextLength += plaintextLength;
        const bool lastChunk = cipherLength < static_cast<std::streamsize>(cipherCapacity);

        // From the first write on, the file is neither the container nor the
        // plaintext until the run ends.
        hold.Begin();
        // The last chunk's short read left the stream failed, and a failed
        // stream refuses to move: clear it first.
        if (lastChunk) {
            container.clear();
        }
        container.seekp(writePosition);
        container.write(reinterpret_cast<const char*>(plaintext.data()),
                        static_cast<std::streamsize>(plaintextLength));
        writePosition += static_cast<std::streamoff>(plaintextLength);
        // After the last chunk there is no reading to go back to; its write
        // is checked by the close below.
        if (lastChunk) {
            break;
        }
        fileOnStorage.StartWritingBack(writePosition);
        container.seekg(readPosition);
        if (!container) {
            return ReportZeFailure("WRITE ERROR");
        }
    }

    // Each change of the file reaches storage before the next one begins, so
    // that a crash at any moment leaves it in a state the user can recover
    // from: first the whole plaintext, then the cut, then the new name. The
    // close writes out what the stream still holds; a failure there, or in
    // the last chunk's write, means plaintext is missing from the file.
    container.close();
    if (container.fail() || !fileOnStorage.Flush()) {
        return ReportZeFailure("WRITE ERROR");
    }
    std::error_code error;
    std::filesystem::resize_file(containerPath, totalPlaintextLength, error);
    if (error) {
        return ReportZeFailure("TRUNCATE ERROR");
    }
    // Windows renames no file that a descriptor still holds open.
    if (!fileOnStorage.Flush() || !fileOnStorage.Close()) {
        return ReportZeFailure("TRUNCATE ERROR");
    }
    if (!RenameZeOnStorage(containerPath, newName, directory)) {
        return ReportZeFailure("RENAME ERROR");
    }
    return 0;
}

}  // namespace

// Windows hands over the command line in UTF-16 through wmain (linked with
// -municode): any name reaches the file system as typed, whatever the code
// page.
#ifdef _WIN32
int wmain(int argc, wchar_t* argv[]) {
#else
int main(int argc, char* argv[]) {
#endif
#ifndef _WIN32
    if (!FillClosedStandardDescriptors()) {
        return 1;
    }
    // A reader that went away must not kill the run: the outcome is the
    // exit status, whatever became of the output. A write past a file-size
    // limit fails like one to a full disk, and is reported as such.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    // Outlives the run, so that a held signal acts only once every stream is
    // closed and the last message is written.
    TerminationHold hold;
    try {
        return RevealZeContainer(argc, argv, hold);
    } catch (const std::bad_alloc&) {
        return ReportZeFailure("MEMORY ERROR");
    }
}

#endif  // ZREVEAL_NO_MAIN
