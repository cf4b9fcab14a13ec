// Black-box tests: each runs the built zreveal on real files in a fresh
// sandbox and checks the exit status, both output streams and everything the
// sandbox holds afterwards (names, lengths and bytes).

#include <gtest/gtest.h>
#include <sodium.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace zt {
namespace {

constexpr unsigned char kMessage = crypto_secretstream_xchacha20poly1305_TAG_MESSAGE;
constexpr unsigned char kPush = crypto_secretstream_xchacha20poly1305_TAG_PUSH;
constexpr unsigned char kRekey = crypto_secretstream_xchacha20poly1305_TAG_REKEY;
constexpr unsigned char kFinal = crypto_secretstream_xchacha20poly1305_TAG_FINAL;

const Bytes kKey = MakeKey();

// Every run starts with the right key in "key".
class Blackbox : public testing::Test {
protected:
    void SetUp() override { box.Write("key", kKey); }

    Sandbox box;
};

// ---------------------------------------------------------------------------
// Banner and arguments

TEST_F(Blackbox, BannerWhenRunAlone) {
    const RunResult run = RunZreveal(box, {});
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "zermoth 1.0.0\n"
              "Written By: The zermoth authors\tzermoth@example.org\n"
              "zermoth is available on-line at https://example.org/zermoth\n");
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(box.HoldsExactly({{"key", kKey}}));
}

// The outcome is the exit status, whether or not anyone read the banner.
TEST_F(Blackbox, BannerToAClosedPipeStillSucceeds) {
    RunOptions options;
    options.closedStdout = true;
    EXPECT_TRUE(EndedWith(RunZreveal(box, {}, options), 0, ""));
}

TEST_F(Blackbox, OneArgumentIsAUsageErrorAndOpensNothing) {
    const Bytes container = MakeContainer(kKey, PseudoRandomBytes(5000, 1));
    box.Write("doc.txt.ze", container);
    EXPECT_TRUE(EndedWith(RunZreveal(box, {"doc.txt.ze"}), 1, "USAGE: zreveal KEYFILE CONTAINER"));
    EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {"doc.txt.ze", container}}));
}

TEST_F(Blackbox, EmptyArgumentVectorIsAUsageError) {
    if (!GetConfig().launcher.empty()) {
        GTEST_SKIP() << "needs a native program";
    }
    const bool reaches = EmptyArgvReachesPrograms();
    ASSERT_FALSE(HasFailure());
    if (!reaches) {
        GTEST_SKIP() << "this kernel starts every program with at least an empty argv[0]";
    }
    EXPECT_TRUE(EndedWith(RunZrevealWithArgv(box, {}), 1, "USAGE: zreveal KEYFILE CONTAINER"));
    EXPECT_TRUE(box.HoldsExactly({{"key", kKey}}));
}

TEST_F(Blackbox, ArgumentsAfterTheSecondAreIgnored) {
    const Bytes plaintext = PseudoRandomBytes(5000, 2);
    const Bytes other = MakeContainer(kKey, PseudoRandomBytes(100, 3));
    box.Plant({{"doc.txt.ze", MakeContainer(kKey, plaintext)}, {"other.ze", other}});
    EXPECT_TRUE(EndedWith(RunZreveal(box, {"key", "doc.txt.ze", "missing.key", "other.ze"}), 0, ""));
    EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {"doc.txt", plaintext}, {"other.ze", other}}));
}

// Key and container swapped: the key is read as a container, whose version
// byte is the key's ninth. Either way nothing is written to either file.
TEST_F(Blackbox, SwappedArgumentsChangeNothing) {
    const Bytes container = MakeContainer(kKey, PseudoRandomBytes(5000, 4));
    for (const char ninthKeyByte : {'\x05', '\0'}) {
        SCOPED_TRACE(static_cast<int>(ninthKeyByte));
        Bytes key = kKey;
        key[8] = ninthKeyByte;
        box.Plant({{"key", key}, {"doc.txt.ze", container}});
        const RunResult run = RunZreveal(box, {"doc.txt.ze", "key"});
        EXPECT_TRUE(ninthKeyByte != 0 ? EndedWith(run, 3, "") : EndedWith(run, 1, "DECRYPTION ERROR"));
        EXPECT_TRUE(box.HoldsExactly({{"key", key}, {"doc.txt.ze", container}}));
    }
}

// ---------------------------------------------------------------------------
// Containers that cannot be opened or hold no whole header

struct ContainerErrorCase {
    const char* name;
    Tree planted;         // what stands at "doc.ze", if anything
    const char* keyPath;  // the container is looked at before the key
};

class BlackboxContainerError : public Blackbox,
                               public testing::WithParamInterface<ContainerErrorCase> {};

TEST_P(BlackboxContainerError, ReportsAndChangesNothing) {
    box.Plant(GetParam().planted);
    EXPECT_TRUE(EndedWith(RunZreveal(box, {GetParam().keyPath, "doc.ze"}), 1, "CONTAINER ERROR"));
    Tree expected = GetParam().planted;
    expected["key"] = kKey;
    EXPECT_TRUE(box.HoldsExactly(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Containers, BlackboxContainerError,
    testing::Values(ContainerErrorCase{"Missing", {}, "key"},
                    ContainerErrorCase{"MissingWithMissingKey", {}, "missing.key"},
                    ContainerErrorCase{"Directory", {{"doc.ze", kDirectory}}, "key"},
                    ContainerErrorCase{"Empty", {{"doc.ze", ""}}, "key"},
                    ContainerErrorCase{"EightBytes", {{"doc.ze", Bytes("ZERMOTH\0", 8)}}, "key"}),
    CaseName<ContainerErrorCase>);

// ---------------------------------------------------------------------------
// The preamble: only the version byte counts

struct VersionCase {
    const char* name;
    std::uint8_t version;
    const char* keyPath;
};

class BlackboxVersion : public Blackbox, public testing::WithParamInterface<VersionCase> {};

TEST_P(BlackboxVersion, OtherThanZeroEndsSilentlyWithStatus3) {
    const Bytes container =
        MakeContainer(kKey, PseudoRandomBytes(5000, 4), MakePreamble(GetParam().version));
    box.Write("doc.txt.ze", container);
    EXPECT_TRUE(EndedWith(RunZreveal(box, {GetParam().keyPath, "doc.txt.ze"}), 3, ""));
    EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {"doc.txt.ze", container}}));
}

INSTANTIATE_TEST_SUITE_P(Versions, BlackboxVersion,
                         testing::Values(VersionCase{"Version1", 1, "key"},
                                         VersionCase{"Version255", 255, "key"},
                                         VersionCase{"Version1MissingKey", 1, "missing.key"},
                                         VersionCase{"Version255MissingKey", 255, "missing.key"}),
                         CaseName<VersionCase>);

struct PreambleCase {
    const char* name;
    Bytes preamble;
};

class BlackboxPreamble : public Blackbox, public testing::WithParamInterface<PreambleCase> {};

// Three chunks, so that a chunk length taken from the record would show.
TEST_P(BlackboxPreamble, MagicAndChunkLengthRecordAreIgnored) {
    const Bytes plaintext = PseudoRandomBytes(10000, 5);
    box.Write("doc.txt.ze", MakeContainer(kKey, plaintext, GetParam().preamble));
    EXPECT_TRUE(EndedWith(RunZreveal(box, {"key", "doc.txt.ze"}), 0, ""));
    EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {"doc.txt", plaintext}}));
}

INSTANTIATE_TEST_SUITE_P(
    Preambles, BlackboxPreamble,
    testing::Values(PreambleCase{"ZeroMagic", MakePreamble(0, 4096, Bytes(8, '\0'))},
                    PreambleCase{"ForeignMagic", MakePreamble(0, 4096, "PK\3\4ABCD")},
                    PreambleCase{"ChunkLength0", MakePreamble(0, 0)},
                    PreambleCase{"ChunkLength1024", MakePreamble(0, 1024)},
                    PreambleCase{"ChunkLength65535", MakePreamble(0, 65535)}),
    CaseName<PreambleCase>);

// ---------------------------------------------------------------------------
// The key file

struct KeyFileCase {
    const char* name;
    Tree planted;         // beside "key" and the container
    const char* keyPath;
    const char* message;  // nullptr: the run succeeds
};

class BlackboxKeyFile : public Blackbox, public testing::WithParamInterface<KeyFileCase> {};

TEST_P(BlackboxKeyFile, TakesExactlyTheFirst32Bytes) {
    const KeyFileCase& c = GetParam();
    const Bytes plaintext = PseudoRandomBytes(5000, 6);
    const Bytes container = MakeContainer(kKey, plaintext);
    box.Plant(c.planted);
    box.Write("doc.txt.ze", container);
    const RunResult run = RunZreveal(box, {c.keyPath, "doc.txt.ze"});
    Tree expected = c.planted;
    expected["key"] = kKey;
    if (c.message == nullptr) {
        EXPECT_TRUE(EndedWith(run, 0, ""));
        expected["doc.txt"] = plaintext;
    } else {
        EXPECT_TRUE(EndedWith(run, 1, c.message));
        expected["doc.txt.ze"] = container;
    }
    EXPECT_TRUE(box.HoldsExactly(expected));
}

INSTANTIATE_TEST_SUITE_P(
    KeyFiles, BlackboxKeyFile,
    testing::Values(
        KeyFileCase{"EmptyFile", {{"short.key", ""}}, "short.key", "KEY ERROR"},
        KeyFileCase{"ThirtyOneBytes", {{"short.key", kKey.substr(0, 31)}}, "short.key", "KEY ERROR"},
        KeyFileCase{"ThirtyTwoBytes", {}, "key", nullptr},
        KeyFileCase{"ThirtyThreeBytes", {{"long.key", kKey + "\n"}}, "long.key", nullptr},
        KeyFileCase{"JapaneseName", {{"鍵.key", kKey}}, "鍵.key", nullptr},
        KeyFileCase{"Missing", {}, "missing.key", "KEY ERROR"},
        KeyFileCase{"Directory", {{"keys", kDirectory}}, "keys", "KEY ERROR"},
        KeyFileCase{"EmptyPath", {}, "", "KEY ERROR"},
        // The key is then the container's own first 32 bytes, not its key.
        KeyFileCase{"TheContainerItself", {}, "doc.txt.ze", "DECRYPTION ERROR"}),
    CaseName<KeyFileCase>);

// A container too short for its data record still has its key file checked.
TEST_F(Blackbox, KeyErrorForAShortKeyWithANineOrTenByteContainer) {
    box.Write("short.key", kKey.substr(0, 31));
    for (const std::size_t length : {9, 10}) {
        SCOPED_TRACE(length);
        const Bytes container = MakeContainer(kKey, "").substr(0, length);
        box.Write("doc.ze", container);
        EXPECT_TRUE(EndedWith(RunZreveal(box, {"short.key", "doc.ze"}), 1, "KEY ERROR"));
        EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {"short.key", kKey.substr(0, 31)}, {"doc.ze", container}}));
    }
}

// ---------------------------------------------------------------------------
// Well-formed containers

struct PlaintextCase {
    const char* name;
    std::size_t plaintextLength;
    std::size_t containerLength;  // worked out by hand: 35 + plaintext + 17 per chunk
};

class BlackboxPlaintext : public Blackbox, public testing::WithParamInterface<PlaintextCase> {};

TEST_P(BlackboxPlaintext, DecryptsInPlaceCutsAndRenames) {
    const Bytes plaintext = PseudoRandomBytes(GetParam().plaintextLength, 7);
    const Bytes container = MakeContainer(kKey, plaintext);
    ASSERT_EQ(container.size(), GetParam().containerLength);
    ASSERT_EQ(ContainerLength(plaintext.size()), GetParam().containerLength);
    box.Write("doc.txt.ze", container);
    EXPECT_TRUE(EndedWith(RunZreveal(box, {"key", "doc.txt.ze"}), 0, ""));
    EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {"doc.txt", plaintext}}));
}

INSTANTIATE_TEST_SUITE_P(Lengths, BlackboxPlaintext,
                         testing::Values(PlaintextCase{"Empty", 0, 52},
                                         PlaintextCase{"OneByte", 1, 53},
                                         PlaintextCase{"OneShortOfAChunk", 4095, 4147},
                                         PlaintextCase{"OneChunk", 4096, 4165},
                                         PlaintextCase{"OneChunkAndAByte", 4097, 4166},
                                         PlaintextCase{"FiveThousand", 5000, 5069},
                                         PlaintextCase{"TwoChunks", 8192, 8278},
                                         PlaintextCase{"TenThousand", 10000, 10086},
                                         PlaintextCase{"AboutOneMebibyte", 1049000, 1053404}),
                         CaseName<PlaintextCase>);

// The end of the chunk sequence is told by the read's length, never by a tag.
struct TagsCase {
    const char* name;
    std::vector<std::pair<std::size_t, unsigned char>> chunks;  // plaintext length, tag
};

class BlackboxTags : public Blackbox, public testing::WithParamInterface<TagsCase> {};

TEST_P(BlackboxTags, SayNothingAboutTheEnd) {
    const Bytes plaintext = PseudoRandomBytes(3 * kChunkPlainBytes + 100, 8);
    std::vector<Chunk> chunks;
    std::size_t offset = 0;
    for (const auto& [length, tag] : GetParam().chunks) {
        chunks.push_back({plaintext.substr(offset, length), tag});
        offset += length;
    }
    box.Write("doc.txt.ze", MakeContainerFromChunks(kKey, chunks));
    EXPECT_TRUE(EndedWith(RunZreveal(box, {"key", "doc.txt.ze"}), 0, ""));
    EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {"doc.txt", plaintext.substr(0, offset)}}));
}

INSTANTIATE_TEST_SUITE_P(
    Tags, BlackboxTags,
    testing::Values(
        TagsCase{"FinalChunkTaggedMessage", {{4096, kMessage}, {100, kMessage}}},
        TagsCase{"EmptyFinalChunkTaggedMessage", {{4096, kMessage}, {0, kMessage}}},
        TagsCase{"FullChunksTaggedFinal", {{4096, kFinal}, {4096, kFinal}, {100, kFinal}}},
        TagsCase{"PushAndRekeyTags", {{4096, kPush}, {4096, kRekey}, {4096, kMessage}, {100, kPush}}}),
    CaseName<TagsCase>);

// ---------------------------------------------------------------------------
// Rejected chunks: the file keeps its length and name, with the plaintext of
// the chunks accepted before at its front and the old bytes after it.

struct RejectedCase {
    std::string name;
    std::size_t plaintextLength;
    std::function<Bytes(const Bytes& plaintext)> makeContainer;  // the key file holds kKey
    std::size_t acceptedPlaintext;  // plaintext bytes of the chunks accepted before
};

class BlackboxRejected : public Blackbox, public testing::WithParamInterface<RejectedCase> {};

TEST_P(BlackboxRejected, KeepsTheFileWithTheAcceptedPlaintextInFront) {
    const RejectedCase& c = GetParam();
    const Bytes plaintext = PseudoRandomBytes(c.plaintextLength, 9);
    const Bytes container = c.makeContainer(plaintext);
    box.Write("doc.txt.ze", container);
    EXPECT_TRUE(EndedWith(RunZreveal(box, {"key", "doc.txt.ze"}), 1, "DECRYPTION ERROR"));
    EXPECT_TRUE(box.HoldsExactly(
        {{"key", kKey},
         {"doc.txt.ze", plaintext.substr(0, c.acceptedPlaintext) + container.substr(c.acceptedPlaintext)}}));
}

Bytes Flipped(Bytes bytes, std::size_t offset) {
    bytes.at(offset) ^= 0x01;
    return bytes;
}

// Only full chunks, the last one tagged `lastTag`, with no shorter chunk after them.
Bytes FullChunksOnly(const Bytes& plaintext, unsigned char lastTag) {
    std::vector<Chunk> chunks;
    for (std::size_t offset = 0; offset < plaintext.size(); offset += kChunkPlainBytes) {
        chunks.push_back({plaintext.substr(offset, kChunkPlainBytes), kMessage});
    }
    chunks.back().tag = lastTag;
    return MakeContainerFromChunks(kKey, chunks);
}

std::vector<RejectedCase> RejectedCases() {
    const std::size_t thirdChunk = kFirstChunkOffset + 2 * kFullChunkBytes;
    std::vector<RejectedCase> cases = {
        {"WrongKey", 10000, [](const Bytes& p) { return MakeContainer(MakeKey(2), p); }, 0},
        {"AlteredStreamHeader", 10000, [](const Bytes& p) { return Flipped(MakeContainer(kKey, p), 20); }, 0},
        {"TamperedThirdOfFiveChunks", 4 * kChunkPlainBytes + 100,
         [=](const Bytes& p) { return Flipped(MakeContainer(kKey, p), thirdChunk + 500); }, 8192},
        {"CutInTheFirstChunk", 10000,
         [](const Bytes& p) { return MakeContainer(kKey, p).substr(0, kFirstChunkOffset + 2000); }, 0},
        {"CutInTheSecondChunk", 10000,
         [](const Bytes& p) { return MakeContainer(kKey, p).substr(0, kFirstChunkOffset + kFullChunkBytes + 2000); },
         4096},
        // A cut at a chunk boundary must never pass as a complete container.
        {"CutAtAChunkBoundary", 10000, [=](const Bytes& p) { return MakeContainer(kKey, p).substr(0, thirdChunk); },
         8192},
        {"EndsWithAFullChunkTaggedFinal", 8192, [](const Bytes& p) { return FullChunksOnly(p, kFinal); }, 8192},
        {"ByteAfterTheFinalChunk", 10000, [](const Bytes& p) { return MakeContainer(kKey, p) + '\0'; }, 8192},
    };
    // Too short for the data record, the stream header or any chunk.
    for (const std::size_t length : {9, 10, 20, 35}) {
        cases.push_back({"CutAt" + std::to_string(length), 10000,
                         [=](const Bytes& p) { return MakeContainer(kKey, p).substr(0, length); }, 0});
    }
    // Fewer bytes than any chunk holds, where the final chunk should be.
    for (std::size_t stray = 1; stray < kChunkOverhead; ++stray) {
        cases.push_back({"StrayBytesAfterFullChunks" + std::to_string(stray), 8192,
                         [=](const Bytes& p) {
                             return FullChunksOnly(p, kMessage) +
                                    PseudoRandomBytes(stray, static_cast<std::uint32_t>(stray));
                         },
                         8192});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Containers, BlackboxRejected, testing::ValuesIn(RejectedCases()),
                         CaseName<RejectedCase>);

// ---------------------------------------------------------------------------
// The new name: every ".ze" match dropped from the file name only

struct NameCase {
    const char* name;
    const char* containerPath;
    const char* newPath;                   // nullptr: the rename fails
    const char* directoryThere = nullptr;  // a directory made beforehand
    bool nativeOnly = false;               // a name that Windows does not allow
};

class BlackboxNewName : public Blackbox, public testing::WithParamInterface<NameCase> {};

TEST_P(BlackboxNewName, MovesTheDecryptedFile) {
    const NameCase& c = GetParam();
    if (c.nativeOnly && !GetConfig().launcher.empty()) {
        GTEST_SKIP() << "needs a native program: Windows allows no control character in a name";
    }
    const Bytes plaintext = PseudoRandomBytes(5000, 10);
    Tree expected = {{"key", kKey}};
    if (c.directoryThere != nullptr) {
        expected[c.directoryThere] = kDirectory;
    }
    box.Plant(expected);
    box.Write(c.containerPath, MakeContainer(kKey, plaintext));
    const RunResult run = RunZreveal(box, {"key", c.containerPath});
    if (c.newPath != nullptr) {
        EXPECT_TRUE(EndedWith(run, 0, ""));
        expected[c.newPath] = plaintext;
    } else {
        EXPECT_TRUE(EndedWith(run, 1, "RENAME ERROR"));
        expected[c.containerPath] = plaintext;
    }
    EXPECT_TRUE(box.HoldsExactly(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Names, BlackboxNewName,
    testing::Values(NameCase{"FinalExtension", "report.pdf.ze", "report.pdf"},
                    NameCase{"TwoExtensions", "report.pdf.ze.ze", "report.pdf"},
                    NameCase{"InsideTheName", "frozen.csv.ze", "frn.csv"},
                    NameCase{"NotAtTheEnd", "report.zen", "reportn"},
                    NameCase{"LettersAtTheStart", "zebra.txt.ze", "zebra.txt"},
                    NameCase{"NotSearchedAgain", "a.zeze", "aze"},
                    NameCase{"NoMatch", "report.pdf", "report.pdf"},
                    NameCase{"CaseSensitive", "REPORT.PDF.ZE", "REPORT.PDF.ZE"},
                    NameCase{"LineFeedIsNoMatch", "notes\nze.ze", "notes\nze", nullptr, true},
                    NameCase{"DirectoryPartKept", "frozen/zebra.txt.ze", "frozen/zebra.txt"},
                    NameCase{"AccentedLetters", "données.txt.ze", "données.txt"},
                    NameCase{"JapaneseCharacters", "日本語.txt.ze", "日本語.txt"},
                    NameCase{"EmptyNewName", ".ze", nullptr},
                    NameCase{"EmptyFileName", "sub/xze", nullptr},
                    NameCase{"DirectoryUnderTheNewName", "report.pdf.ze", nullptr, "report.pdf"}),
    CaseName<NameCase>);

// The file is opened and cut through the link, but the rename moves the
// link: the target keeps its name, now holding the plaintext.
TEST_F(Blackbox, ThroughASymbolicLinkTheTargetIsDecryptedAndTheLinkRenamed) {
    if (!GetConfig().launcher.empty()) {
        GTEST_SKIP() << "needs a native program: Wine's links are not Windows' own";
    }
    const Bytes plaintext = PseudoRandomBytes(5000, 12);
    box.Write("data/report.pdf.ze", MakeContainer(kKey, plaintext));
    std::filesystem::create_symlink("data/report.pdf.ze", box.path("report.pdf.ze"));
    EXPECT_TRUE(EndedWith(RunZreveal(box, {"key", "report.pdf.ze"}), 0, ""));
    EXPECT_EQ(std::filesystem::read_symlink(box.path("report.pdf")), "data/report.pdf.ze");
    EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {"data/report.pdf.ze", plaintext}, {"report.pdf", plaintext}}));
}

TEST_F(Blackbox, ReplacesAFileUnderTheNewName) {
    const Bytes plaintext = PseudoRandomBytes(5000, 11);
    box.Plant({{"report.pdf", "an older report"}, {"report.pdf.ze", MakeContainer(kKey, plaintext)}});
    EXPECT_TRUE(EndedWith(RunZreveal(box, {"key", "report.pdf.ze"}), 0, ""));
    EXPECT_TRUE(box.HoldsExactly({{"key", kKey}, {"report.pdf", plaintext}}));
}

}  // namespace
}  // namespace zt
