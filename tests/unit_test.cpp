// The record codec and the new-name rule, from the program's own source.
#include "zreveal.cpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

const std::string kMagic("ZERMOTH\0", 8);

std::string EncodedHeader(const zHeader& header) {
    std::string bytes(zHeaderSize, '\x7f');
    EncodeZeHeader(header, bytes.data());
    return bytes;
}

std::string EncodedData(std::uint16_t chunkLength) {
    std::string bytes(zData_v1_size, '\x7f');
    zData_v1 data;
    data.chunkLength = chunkLength;
    EncodeZeData(data, bytes.data());
    return bytes;
}

TEST(HeaderCodec, DefaultRecordEncodesMagicAndVersionZero) {
    EXPECT_EQ(EncodedHeader(zHeader{}), kMagic + std::string(1, '\0'));
}

TEST(HeaderCodec, EncodesTheRecordsOwnMagicButDecodesTheConstant) {
    zHeader header;
    std::memcpy(header.magic, "OTHERFMT", 8);
    header.version = 7;
    const std::string bytes = EncodedHeader(header);
    EXPECT_EQ(bytes, std::string("OTHERFMT\x07", 9));

    const zHeader decoded = DecodeZeHeader(bytes.data());
    EXPECT_EQ(std::string(decoded.magic, 8), kMagic);
    EXPECT_EQ(decoded.version, 7);
}

TEST(HeaderCodec, DecodesOnlyTheVersionByte) {
    struct Case {
        std::string bytes;
        unsigned version;
    };
    const std::vector<Case> cases = {
        {std::string(8, '\0') + '\0', 0},
        {kMagic + '\x01', 1},
        {std::string(8, '\xff') + '\xff', 255},
        {std::string("NOTMAGIC\x80", 9), 128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        const zHeader decoded = DecodeZeHeader(c.bytes.data());
        EXPECT_EQ(std::string(decoded.magic, 8), kMagic);
        EXPECT_EQ(decoded.version, c.version);
    }
}

TEST(DataCodec, StoresTheChunkLengthHighByteFirst) {
    struct Case {
        std::uint16_t chunkLength;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {4096, std::string("\x10\x00", 2)},
        {513, "\x02\x01"},
        {65535, "\xff\xff"},
        {16, std::string("\x00\x10", 2)},
        {510, "\x01\xfe"},  // the low byte is not sign-extended
        {0x80ff, "\x80\xff"},
        {0, std::string(2, '\0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chunkLength);
        EXPECT_EQ(EncodedData(c.chunkLength), c.bytes);
        EXPECT_EQ(DecodeZeData_v1(c.bytes.data()).chunkLength, c.chunkLength);
    }
}

TEST(DataCodec, EveryValueRoundTrips) {
    for (unsigned value = 0; value <= 0xffff; ++value) {
        const auto chunkLength = static_cast<std::uint16_t>(value);
        ASSERT_EQ(DecodeZeData_v1(EncodedData(chunkLength).data()).chunkLength, chunkLength);
    }
}

TEST(DataCodec, DefaultIs4096) {
    EXPECT_EQ(zData_v1{}.chunkLength, 4096);
    EXPECT_EQ(EncodedData(zData_v1{}.chunkLength), std::string("\x10\x00", 2));
}

TEST(CodecBounds, TouchesNoByteOutsideItsRecord) {
    std::string buffer(zHeaderSize + 2, '\x55');
    EncodeZeHeader(zHeader{}, buffer.data() + 1);
    EXPECT_EQ(buffer.front(), '\x55');
    EXPECT_EQ(buffer.back(), '\x55');

    buffer.assign(zData_v1_size + 2, '\x55');
    EncodeZeData(zData_v1{}, buffer.data() + 1);
    EXPECT_EQ(buffer, std::string("\x55\x10\x00\x55", 4));
}

// Container paths and their new names, in the paths' own characters.
template <typename Char>
using NameCases = std::vector<std::pair<std::basic_string<Char>, std::basic_string<Char>>>;

template <typename Char>
void ExpectNewNames(const NameCases<Char>& cases) {
    for (const auto& [containerPath, newName] : cases) {
        SCOPED_TRACE(testing::PrintToString(containerPath));
        EXPECT_EQ(StripZeFromName(containerPath), newName);
    }
}

TEST(NewName, DropsEveryZeMatchFromTheFileNameOnly) {
    ExpectNewNames<char>({
        {"report.pdf.ze", "report.pdf"},
        {"report.pdf.ze.ze", "report.pdf"},
        {"frozen.csv.ze", "frn.csv"},
        {"report.zen", "reportn"},
        {"zebra.txt.ze", "zebra.txt"},  // a match needs a byte in front
        {"a.zeze", "aze"},              // the result is not searched again
        {"report.pdf", "report.pdf"},
        {"REPORT.PDF.ZE", "REPORT.PDF.ZE"},  // case-sensitive
        {".ze", ""},
        {"ze", "ze"},
        {"", ""},
        {"\nze.txt", "\nze.txt"},  // a line feed or carriage return does not match the dot
        {"\rze.txt", "\rze.txt"},
        {"x\nzeze", "x\nz"},
        {"\xc3\xa9ze.txt", "\xc3.txt"},  // bytes, not characters
        {"report.pdf.ze\xff", "report.pdf\xff"},
        // The directory part stays as typed, matches and all.
        {"frozen/zebra.txt.ze", "frozen/zebra.txt"},
        {"/data/report.pdf.ze", "/data/report.pdf"},
        {"work/zebra.txt.ze", "work/zebra.txt"},
        {"a.ze/b.ze/c.txt.ze", "a.ze/b.ze/c.txt"},
        {"sub/xze", "sub/"},
        {"sub/.ze", "sub/"},
        {"./report.pdf.ze", "./report.pdf"},
    });
}

#ifdef _WIN32
// Windows paths are UTF-16, so the dot matches a UTF-16 unit, not a byte; the
// directory part also ends at a backslash or at a drive prefix's colon.
TEST(NewName, OnWindowsMatchesCharactersAndKeepsDrivesAndBackslashes) {
    ExpectNewNames<wchar_t>({
        {L"données.txt.ze", L"données.txt"},
        {L"日本語.txt.ze", L"日本語.txt"},
        {L"\u00e9ze.txt", L".txt"},  // one character in front of "ze"
        {L"x\nzeze", L"x\nz"},
        {L"x\u2028zeze", L"x\u2028z"},  // nor the other ECMAScript line terminators
        {L"\u2029ze.txt", L"\u2029ze.txt"},
        {L"D:\\data\\report.pdf.ze", L"D:\\data\\report.pdf"},
        {L"D:\\frozen\\zebra.txt.ze", L"D:\\frozen\\zebra.txt"},
        {L"D:x.ze", L"D:x"},
        {L"D:zebra.ze", L"D:zebra"},
        {L"ab:zebra.ze", L"abbra"},  // no drive prefix: the colon is part of the name
        {L"a.ze\\b.ze/c.txt.ze", L"a.ze\\b.ze/c.txt"},
        {L"sub\\xze", L"sub\\"},
        {L"\\\\server\\share.ze\\report.pdf.ze", L"\\\\server\\share.ze\\report.pdf"},
    });
}
#endif

}  // namespace
