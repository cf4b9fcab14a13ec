// Damaged containers made at random from a fixed seed: cut short, bits
// flipped, or both. Whatever the damage, a run must fail with its one
// message, keep the container's length and name, and leave in the file only
// plaintext of chunks that authenticated before the first damaged one.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace zt {
namespace {

constexpr std::uint32_t kSeed = 0x5eed2024;
constexpr int kContainerCount = 200;
const char* const kContainerName = "notes.txt.ze";

// std::mt19937's sequence is fixed by the standard, unlike the standard
// distributions, so the cases are the same with every library.
class Random {
public:
    explicit Random(std::uint32_t seed) : engine_(seed) {}
    std::size_t Below(std::size_t bound) { return engine_() % bound; }

private:
    std::mt19937 engine_;
};

std::size_t PickPlaintextLength(Random& random) {
    // Mostly several chunks, so that damage often lands after intact ones.
    switch (random.Below(8)) {
    case 0:
        return 0;
    case 1:
        return 1 + random.Below(200);
    case 2:
    case 3: {  // one byte short of, at, or one past a chunk boundary
        const std::size_t boundary = kChunkPlainBytes * (1 + random.Below(4));
        return boundary + random.Below(3) - 1;
    }
    default:
        return random.Below(6 * kChunkPlainBytes);
    }
}

struct Damage {
    std::size_t keptLength;  // the container's length after the cut
    std::vector<std::pair<std::size_t, unsigned char>> flips;  // offset and bit mask, distinct offsets
};

// Always shorter than the container, so the cut alone already damages it.
std::size_t PickCut(Random& random, std::size_t containerLength) {
    const std::size_t fullChunks = (containerLength - kFirstChunkOffset) / kFullChunkBytes;
    std::size_t cut = 0;
    switch (random.Below(4)) {
    case 0:  // in or just past the preamble and stream header
        cut = random.Below(kFirstChunkOffset + 10);
        break;
    case 1: {  // one byte short of, at, or one past the start of a chunk
        const std::size_t chunkStart = kFirstChunkOffset + kFullChunkBytes * random.Below(fullChunks + 1);
        cut = chunkStart + random.Below(3) - 1;
        break;
    }
    default:
        cut = random.Below(containerLength);
        break;
    }
    return std::min(cut, containerLength - 1);
}

// Flips only where the program reads: bytes 0 to 7 (the magic) and 9 to 10
// (the data record) are ignored by design, so flipping them is no damage.
void AddFlips(Random& random, Damage& damage) {
    if (damage.keptLength <= 8) {
        return;
    }
    for (std::size_t flipCount = 1 + random.Below(3); flipCount > 0; --flipCount) {
        std::size_t offset = 8;
        if (damage.keptLength > kPreambleBytes && random.Below(8) != 0) {
            offset = kPreambleBytes + random.Below(damage.keptLength - kPreambleBytes);
        }
        const bool taken = std::any_of(damage.flips.begin(), damage.flips.end(),
                                       [offset](const auto& flip) { return flip.first == offset; });
        if (!taken) {
            damage.flips.emplace_back(offset, static_cast<unsigned char>(1U << random.Below(8)));
        }
    }
}

Damage PickDamage(Random& random, std::size_t containerLength) {
    Damage damage{containerLength, {}};
    const std::size_t kind = random.Below(3);  // 0: cut, 1: flips, 2: both
    if (kind != 1) {
        damage.keptLength = PickCut(random, containerLength);
    }
    if (kind != 0) {
        AddFlips(random, damage);
    }
    return damage;
}

Bytes Apply(const Damage& damage, const Bytes& container) {
    Bytes damaged = container.substr(0, damage.keptLength);
    for (const auto& [offset, mask] : damage.flips) {
        damaged[offset] = static_cast<char>(damaged[offset] ^ mask);
    }
    return damaged;
}

std::string Describe(std::size_t plaintextLength, std::size_t containerLength, const Damage& damage) {
    std::ostringstream description;
    description << "plaintext " << plaintextLength << " bytes, container " << containerLength
                << " bytes kept to " << damage.keptLength << ", flips (offset^mask):";
    for (const auto& [offset, mask] : damage.flips) {
        description << ' ' << offset << '^' << static_cast<int>(mask);
    }
    return description.str();
}

struct Expected {
    int status;
    const char* message;
    Bytes file;
};

// What the run must leave: a message, and the damaged container with the
// plaintext of its intact leading chunks written over its front.
Expected ExpectedOutcome(const Damage& damage, const Bytes& damaged, const Bytes& plaintext) {
    if (damaged.size() < 9) {
        return {1, "CONTAINER ERROR", damaged};
    }
    if (damaged[8] != 0) {
        return {3, "", damaged};
    }
    // The first damaged byte: the cut, or the lowest flip (all of them at 11
    // or above here, since byte 8 is intact).
    std::size_t firstDamage = damage.keptLength;
    for (const auto& flip : damage.flips) {
        firstDamage = std::min(firstDamage, flip.first);
    }
    // Chunks that end at or before it authenticate; their plaintext is in
    // front, everything else is the damaged container as it was given.
    const std::size_t intactChunks =
        firstDamage < kFirstChunkOffset ? 0 : (firstDamage - kFirstChunkOffset) / kFullChunkBytes;
    Bytes file = damaged;
    file.replace(0, intactChunks * kChunkPlainBytes, plaintext, 0, intactChunks * kChunkPlainBytes);
    return {1, "DECRYPTION ERROR", file};
}

TEST(Robustness, DamagedContainersFailCleanlyWithoutUnauthenticatedPlaintext) {
    Random random(kSeed);
    const Bytes key = MakeKey();
    for (int index = 0; index < kContainerCount; ++index) {
        const std::size_t plaintextLength = PickPlaintextLength(random);
        const Bytes plaintext = PseudoRandomBytes(plaintextLength, static_cast<std::uint32_t>(index));
        const Bytes container = MakeContainer(key, plaintext);
        const Damage damage = PickDamage(random, container.size());
        const Bytes damaged = Apply(damage, container);
        const Expected expected = ExpectedOutcome(damage, damaged, plaintext);
        SCOPED_TRACE("container " + std::to_string(index) + ": " +
                     Describe(plaintextLength, container.size(), damage));

        const Sandbox sandbox;
        sandbox.Write("key", key);
        sandbox.Write(kContainerName, damaged);
        const RunResult result = RunZreveal(sandbox, {"key", kContainerName});

        EXPECT_TRUE(EndedWith(result, expected.status, expected.message));
        EXPECT_TRUE(sandbox.HoldsExactly({{"key", key}, {kContainerName, expected.file}}));
        // One broken case explains itself; hundreds more would bury it.
        if (HasFailure()) {
            return;
        }
    }
}

}  // namespace
}  // namespace zt
