// Test-only writer of containers on libsodium's push API, shared by the
// tests and the benchmark. It is never part of the installed program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sodium.h>

namespace zt {

// Raw bytes; std::string keeps comparisons and gtest output simple.
using Bytes = std::string;

constexpr std::size_t kPreambleBytes = 11;      // header (9) and data record (2)
constexpr std::size_t kFirstChunkOffset = 35;   // preamble and 24-byte stream header
constexpr std::size_t kChunkPlainBytes = 4096;
constexpr std::size_t kChunkOverhead = crypto_secretstream_xchacha20poly1305_ABYTES;
constexpr std::size_t kFullChunkBytes = kChunkPlainBytes + kChunkOverhead;

// Deterministic pseudo-random bytes (splitmix64), the same on every platform,
// so that every failure is reproducible.
class PseudoRandomStream {
public:
    explicit PseudoRandomStream(std::uint64_t seed) : state_(seed) {}
    // Fills whole 8-byte words; the unused bytes of a last partial word are dropped.
    void Fill(char* destination, std::size_t length);

private:
    std::uint64_t state_;
};

Bytes PseudoRandomBytes(std::size_t length, std::uint32_t seed);
// A 32-byte key derived from the seed.
Bytes MakeKey(std::uint32_t seed = 1);

// The 11 bytes ahead of the stream header: magic (8 bytes), version, chunk
// length record.
Bytes MakePreamble(std::uint8_t version = 0, std::uint16_t chunkLengthRecord = 4096,
                   const Bytes& magic = Bytes("ZERMOTH\0", 8));

// One secret stream under one key: a fresh stream header, then each chunk's
// ciphertext in push order. Throws std::invalid_argument for a key that is
// not 32 bytes.
class ContainerWriter {
public:
    explicit ContainerWriter(const Bytes& key);
    const Bytes& StreamHeader() const { return streamHeader_; }
    Bytes Push(const char* plaintext, std::size_t length, unsigned char tag);

private:
    crypto_secretstream_xchacha20poly1305_state state_;
    Bytes streamHeader_;
};

struct Chunk {
    Bytes plaintext;
    unsigned char tag;  // a crypto_secretstream_xchacha20poly1305_TAG_* value
};

// Preamble, a fresh stream header and the given chunks, pushed in order.
Bytes MakeContainerFromChunks(const Bytes& key, const std::vector<Chunk>& chunks,
                              const Bytes& preamble = MakePreamble());
// A well-formed container: full 4096-byte chunks tagged as messages, then a
// shorter final chunk (empty when the length is a multiple of 4096) tagged final.
Bytes MakeContainer(const Bytes& key, const Bytes& plaintext,
                    const Bytes& preamble = MakePreamble());
// Length of the well-formed container of a plaintext of the given length.
std::uint64_t ContainerLength(std::uint64_t plaintextLength);

}  // namespace zt
