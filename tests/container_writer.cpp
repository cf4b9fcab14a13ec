#include "container_writer.h"

#include <stdexcept>

namespace zt {

void PseudoRandomStream::Fill(char* destination, std::size_t length) {
    for (std::size_t offset = 0; offset < length; offset += 8) {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        for (std::size_t byte = 0; byte < 8 && offset + byte < length; ++byte) {
            destination[offset + byte] = static_cast<char>(z >> (8 * byte));
        }
    }
}

Bytes PseudoRandomBytes(std::size_t length, std::uint32_t seed) {
    Bytes bytes(length, '\0');
    PseudoRandomStream(seed).Fill(bytes.data(), length);
    return bytes;
}

Bytes MakeKey(std::uint32_t seed) {
    // Salted, so that a key never equals the start of a plaintext of the same seed.
    return PseudoRandomBytes(crypto_secretstream_xchacha20poly1305_KEYBYTES, seed ^ 0x4B455953U);
}

Bytes MakePreamble(std::uint8_t version, std::uint16_t chunkLengthRecord, const Bytes& magic) {
    return magic + static_cast<char>(version) + static_cast<char>(chunkLengthRecord >> 8) +
           static_cast<char>(chunkLengthRecord & 0xFF);
}

ContainerWriter::ContainerWriter(const Bytes& key)
    : streamHeader_(crypto_secretstream_xchacha20poly1305_HEADERBYTES, '\0') {
    if (sodium_init() < 0 || key.size() != crypto_secretstream_xchacha20poly1305_KEYBYTES) {
        throw std::invalid_argument("cannot write a container: libsodium not ready or a key of " +
                                    std::to_string(key.size()) + " bytes");
    }
    crypto_secretstream_xchacha20poly1305_init_push(
        &state_, reinterpret_cast<unsigned char*>(streamHeader_.data()),
        reinterpret_cast<const unsigned char*>(key.data()));
}

Bytes ContainerWriter::Push(const char* plaintext, std::size_t length, unsigned char tag) {
    Bytes ciphertext(length + kChunkOverhead, '\0');
    crypto_secretstream_xchacha20poly1305_push(
        &state_, reinterpret_cast<unsigned char*>(ciphertext.data()), nullptr,
        reinterpret_cast<const unsigned char*>(plaintext), length, nullptr, 0, tag);
    return ciphertext;
}

Bytes MakeContainerFromChunks(const Bytes& key, const std::vector<Chunk>& chunks,
                              const Bytes& preamble) {
    ContainerWriter writer(key);
    Bytes container = preamble + writer.StreamHeader();
    for (const Chunk& chunk : chunks) {
        container += writer.Push(chunk.plaintext.data(), chunk.plaintext.size(), chunk.tag);
    }
    return container;
}

Bytes MakeContainer(const Bytes& key, const Bytes& plaintext, const Bytes& preamble) {
    std::vector<Chunk> chunks;
    std::size_t offset = 0;
    for (; plaintext.size() - offset >= kChunkPlainBytes; offset += kChunkPlainBytes) {
        chunks.push_back({plaintext.substr(offset, kChunkPlainBytes),
                          crypto_secretstream_xchacha20poly1305_TAG_MESSAGE});
    }
    chunks.push_back({plaintext.substr(offset), crypto_secretstream_xchacha20poly1305_TAG_FINAL});
    return MakeContainerFromChunks(key, chunks, preamble);
}

std::uint64_t ContainerLength(std::uint64_t plaintextLength) {
    return plaintextLength + kFirstChunkOffset +
           kChunkOverhead * (plaintextLength / kChunkPlainBytes + 1);
}

}  // namespace zt
