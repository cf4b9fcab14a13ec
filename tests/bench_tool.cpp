// Helper of scripts/bench. Its key comes before its container, as zreveal's
// does:
//   bench_tool write BYTES KEYFILE CONTAINER
//       writes a key and a container of BYTES pseudo-random plaintext bytes,
//       streaming, and prints the plaintext's SHA-256 in hex;
//   bench_tool bound KEYFILE CONTAINER
//       decrypts the container held in memory with libsodium's pull alone, in
//       the program's 4113-byte chunks, and prints the seconds it took;
//   bench_tool unflushed KEYFILE CONTAINER
//       decrypts the container in place as the program does, one read and one
//       write per chunk with a move before each, cuts it and drops its final
//       ".ze", but flushes nothing: the reference for what the flushes cost;
//   bench_tool run PROGRAM ARGS...
//       runs the program and prints its wall seconds and peak resident KiB.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "container_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

zt::Bytes ReadWholeFile(const char* path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    zt::Bytes content(static_cast<std::size_t>(file.tellg()), '\0');
    file.seekg(0);
    file.read(content.data(), static_cast<std::streamsize>(content.size()));
    return content;
}

int Write(std::uint64_t plaintextLength, const char* keyPath, const char* containerPath) {
    const zt::Bytes key = zt::MakeKey(2024);
    std::ofstream(keyPath, std::ios::binary) << key;

    std::ofstream container(containerPath, std::ios::binary);
    zt::ContainerWriter writer(key);
    container << zt::MakePreamble() << writer.StreamHeader();
    crypto_hash_sha256_state digest;
    crypto_hash_sha256_init(&digest);
    zt::PseudoRandomStream random(7);
    std::vector<char> block(zt::kChunkPlainBytes);
    for (std::uint64_t left = plaintextLength;;) {
        const bool last = left < zt::kChunkPlainBytes;
        const std::size_t length = last ? static_cast<std::size_t>(left) : zt::kChunkPlainBytes;
        random.Fill(block.data(), length);
        crypto_hash_sha256_update(&digest, reinterpret_cast<unsigned char*>(block.data()), length);
        container << writer.Push(block.data(), length,
                                 last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL
                                       : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
        if (last) {
            break;
        }
        left -= length;
    }
    if (!container.flush()) {
        std::cerr << "bench_tool: cannot write " << containerPath << '\n';
        return 1;
    }
    unsigned char hash[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&digest, hash);
    char hex[2 * sizeof hash + 1];
    sodium_bin2hex(hex, sizeof hex, hash, sizeof hash);
    std::cout << hex << '\n';
    return 0;
}

int Bound(const char* keyPath, const char* containerPath) {
    const zt::Bytes container = ReadWholeFile(containerPath);
    const zt::Bytes key = ReadWholeFile(keyPath);
    std::vector<unsigned char> plaintext(zt::kChunkPlainBytes);
    const auto* bytes = reinterpret_cast<const unsigned char*>(container.data());

    const Clock::time_point start = Clock::now();
    crypto_secretstream_xchacha20poly1305_state state;
    crypto_secretstream_xchacha20poly1305_init_pull(&state, bytes + zt::kPreambleBytes,
                                                    reinterpret_cast<const unsigned char*>(key.data()));
    std::size_t offset = zt::kFirstChunkOffset;
    std::size_t length = zt::kFullChunkBytes;
    while (length == zt::kFullChunkBytes) {
        length = std::min(zt::kFullChunkBytes, container.size() - offset);
        unsigned long long plaintextLength = 0;
        if (crypto_secretstream_xchacha20poly1305_pull(&state, plaintext.data(), &plaintextLength,
                                                       nullptr, bytes + offset, length, nullptr,
                                                       0) != 0) {
            std::cerr << "bench_tool: chunk at " << offset << " rejected\n";
            return 1;
        }
        offset += length;
    }
    const double seconds = SecondsSince(start);
    std::printf("%.6f\n", seconds);
    return 0;
}

int Unflushed(const char* keyPath, const std::string& containerPath) {
    const zt::Bytes key = ReadWholeFile(keyPath);
    const int fd = open(containerPath.c_str(), O_RDWR | O_CLOEXEC);
    unsigned char start[zt::kFirstChunkOffset];
    if (key.size() < crypto_secretstream_xchacha20poly1305_KEYBYTES || fd < 0 ||
        read(fd, start, sizeof start) != static_cast<ssize_t>(sizeof start)) {
        std::cerr << "bench_tool: cannot read " << containerPath << '\n';
        return 1;
    }
    crypto_secretstream_xchacha20poly1305_state state;
    crypto_secretstream_xchacha20poly1305_init_pull(&state, start + zt::kPreambleBytes,
                                                    reinterpret_cast<const unsigned char*>(key.data()));
    std::vector<unsigned char> ciphertext(zt::kFullChunkBytes);
    std::vector<unsigned char> plaintext(zt::kChunkPlainBytes);
    off_t readPosition = zt::kFirstChunkOffset;
    off_t writePosition = 0;
    for (;;) {
        const ssize_t length = read(fd, ciphertext.data(), ciphertext.size());
        unsigned long long plaintextLength = 0;
        if (length < 0 || crypto_secretstream_xchacha20poly1305_pull(
                              &state, plaintext.data(), &plaintextLength, nullptr, ciphertext.data(),
                              static_cast<unsigned long long>(length), nullptr, 0) != 0 ||
            lseek(fd, writePosition, SEEK_SET) < 0 ||
            write(fd, plaintext.data(), plaintextLength) != static_cast<ssize_t>(plaintextLength)) {
            std::cerr << "bench_tool: cannot decrypt " << containerPath << " in place\n";
            return 1;
        }
        writePosition += static_cast<off_t>(plaintextLength);
        if (length < static_cast<ssize_t>(zt::kFullChunkBytes)) {
            break;
        }
        readPosition += length;
        lseek(fd, readPosition, SEEK_SET);
    }
    const std::string newName = containerPath.substr(0, containerPath.rfind(".ze"));
    if (close(fd) != 0 || truncate(containerPath.c_str(), writePosition) != 0 ||
        rename(containerPath.c_str(), newName.c_str()) != 0) {
        std::cerr << "bench_tool: cannot cut or rename " << containerPath << '\n';
        return 1;
    }
    return 0;
}

int Run(char* argv[]) {
    const Clock::time_point start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) {
        std::cerr << "bench_tool: cannot run " << argv[0] << '\n';
        return 1;
    }
    const double seconds = SecondsSince(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::cerr << "bench_tool: " << argv[0] << " failed (wait status " << status << ")\n";
        return 1;
    }
    std::printf("%.6f %ld\n", seconds, usage.ru_maxrss);
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Without it libsodium runs its portable code, not the processor's.
    if (sodium_init() < 0) {
        std::cerr << "bench_tool: libsodium cannot start\n";
        return 1;
    }
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "write" && argc == 5) {
        return Write(std::strtoull(argv[2], nullptr, 10), argv[3], argv[4]);
    }
    if (command == "bound" && argc == 4) {
        return Bound(argv[2], argv[3]);
    }
    if (command == "unflushed" && argc == 4) {
        return Unflushed(argv[2], argv[3]);
    }
    if (command == "run" && argc > 2) {
        return Run(argv + 2);
    }
    std::cerr << "usage: bench_tool write BYTES KEYFILE CONTAINER | bound KEYFILE CONTAINER | "
                 "unflushed KEYFILE CONTAINER | run PROGRAM ARGS...\n";
    return 2;
}
