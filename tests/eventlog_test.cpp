/*
 * eventlog_test.cpp - the driver's event-log entries and the message table they refer to.
 */
#include <gtest/gtest.h>

#include <standin/eventlog.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

/* ---- message-table builder: the platform's format, written independently of the reader ---- */

struct TableEntry {
    bool unicode;
    std::string text; /* ASCII */
};

struct TableBlock {
    uint32_t low;
    std::vector<TableEntry> entries; /* ids low, low + 1, ... */
};

void Put32(std::vector<unsigned char> &out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) {
        out[at + i] = static_cast<unsigned char>(v >> (8 * i));
    }
}

void Append16(std::vector<unsigned char> &out, uint16_t v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}

std::vector<unsigned char> BuildTable(const std::vector<TableBlock> &blocks) {
    std::vector<unsigned char> out(4 + 12 * blocks.size());
    Put32(out, 0, static_cast<uint32_t>(blocks.size()));
    for (size_t b = 0; b < blocks.size(); b++) {
        const TableBlock &block = blocks[b];
        Put32(out, 4 + 12 * b, block.low);
        Put32(out, 4 + 12 * b + 4, block.low + static_cast<uint32_t>(block.entries.size()) - 1);
        Put32(out, 4 + 12 * b + 8, static_cast<uint32_t>(out.size()));
        for (const TableEntry &entry : block.entries) {
            std::vector<unsigned char> body;
            for (char c : entry.text) {
                body.push_back(static_cast<unsigned char>(c));
                if (entry.unicode) {
                    body.push_back(0);
                }
            }
            /* Terminator and padding to a 4-byte multiple, as the message compiler writes. */
            do {
                body.push_back(0);
            } while ((body.size() + 4) % 4 != 0);
            Append16(out, static_cast<uint16_t>(body.size() + 4));
            Append16(out, entry.unicode ? 1 : 0);
            out.insert(out.end(), body.begin(), body.end());
        }
    }
    return out;
}

std::string Find(const std::vector<unsigned char> &table, uint32_t id, int *length = nullptr) {
    char text[256];
    int n = HostMessageTableFind(table.data(), table.size(), id, text, sizeof(text));
    if (length != nullptr) {
        *length = n;
    }
    return n < 0 ? std::string("<none>") : std::string(text);
}

} // namespace

/* ---- the driver's own table, as the build compiled it from the message source ---- */

TEST(MessageTable, DriverTableHoldsTheFiveTextsUnderTheirIds) {
    EXPECT_STREQ(HostEventText(0x402A0001u), "Device initialized successfully\r\n");
    EXPECT_STREQ(HostEventText(0x802A0002u), "Unexpected device removal\r\n");
    EXPECT_STREQ(HostEventText(0x402A0003u), "Device initialization failed\r\n");
    EXPECT_STREQ(HostEventText(0x802A0004u), "Unexpected SRB Status value\r\n");
    EXPECT_STREQ(HostEventText(0x402A0005u), "Device re-initialized after unexpected removal\r\n");
    /* Customer bit set, wrong severity, neighbour codes: not in the table. */
    EXPECT_EQ(HostEventText(0x602A0001u), nullptr);
    EXPECT_EQ(HostEventText(0x802A0001u), nullptr);
    EXPECT_EQ(HostEventText(0x402A0002u), nullptr);
    EXPECT_EQ(HostEventText(0x402A0000u), nullptr);
    EXPECT_EQ(HostEventText(0x802A0006u), nullptr);
}

TEST(MessageTable, SeverityComesFromTheIdsTopBits) {
    EXPECT_STREQ(HostEventSeverityName(0x402A0001u), "Information");
    EXPECT_STREQ(HostEventSeverityName(0x802A0004u), "Warning");
    EXPECT_STREQ(HostEventSeverityName(0xC0000001u), "Error");
    EXPECT_STREQ(HostEventSeverityName(0x002A0001u), "Success");
}

/* ---- the reader's parsing of the platform's format ---- */

TEST(MessageTable, ParserWalksVariableLengthEntriesAndBlocks) {
    auto table = BuildTable({
        {0x10, {{true, "first\r\n"}, {false, "second, eight-bit\r\n"}, {true, "3"}}},
        {0x40000020, {{true, "far away"}}},
    });
    EXPECT_EQ(Find(table, 0x10), "first\r\n");
    EXPECT_EQ(Find(table, 0x11), "second, eight-bit\r\n");
    EXPECT_EQ(Find(table, 0x12), "3");
    EXPECT_EQ(Find(table, 0x40000020), "far away");
    EXPECT_EQ(Find(table, 0x0F), "<none>");
    EXPECT_EQ(Find(table, 0x13), "<none>");
    EXPECT_EQ(Find(table, 0x40000021), "<none>");
}

TEST(MessageTable, ParserDecodesUtf16BeyondAscii) {
    std::vector<unsigned char> table(16);
    Put32(table, 0, 1);
    Put32(table, 4, 7);
    Put32(table, 8, 7);
    Put32(table, 12, 16);
    /* "é€😀" in UTF-16LE: E9 00, AC 20, 3D D8 00 DE; then a terminator. */
    const unsigned char body[] = {0xE9, 0x00, 0xAC, 0x20, 0x3D, 0xD8,
                                  0x00, 0xDE, 0x00, 0x00, 0x00, 0x00};
    Append16(table, sizeof(body) + 4);
    Append16(table, 1);
    table.insert(table.end(), body, body + sizeof(body));
    EXPECT_EQ(Find(table, 7), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(MessageTable, ParserRefusesMalformedTablesAndTruncatesOutput) {
    auto table = BuildTable({{1, {{true, "one"}, {true, "two"}}}});
    int length = 0;

    /* An entry length running past the end of the table. */
    auto cut = table;
    cut.resize(cut.size() - 4);
    EXPECT_EQ(Find(cut, 2), "<none>");

    /* A zero entry length would loop for ever. */
    auto zero = table;
    zero[4 + 12] = 0;
    zero[4 + 12 + 1] = 0;
    EXPECT_EQ(Find(zero, 2), "<none>");

    /* A block count larger than the table, and an offset beyond it. */
    auto blocks = table;
    Put32(blocks, 0, 1000);
    EXPECT_EQ(Find(blocks, 1), "<none>");
    auto offset = table;
    Put32(offset, 12, 0x10000);
    EXPECT_EQ(Find(offset, 1), "<none>");
    EXPECT_EQ(HostMessageTableFind(nullptr, 0, 1, nullptr, 0), -1);
    EXPECT_EQ(HostMessageTableFind(table.data(), 3, 1, nullptr, 0), -1);

    /* Truncation keeps the terminator and reports the full length. */
    char small[3];
    EXPECT_EQ(HostMessageTableFind(table.data(), table.size(), 2, small, sizeof(small)), 3);
    EXPECT_STREQ(small, "tw");
    EXPECT_EQ(Find(table, 1, &length), "one");
    EXPECT_EQ(length, 3);
}

TEST(EventFormat, LineShowsTimeSeverityIdTextAndDumpWords) {
    const uint32_t dump[] = {2, 0x4E};
    char line[200];
    size_t n = HostEventFormat(12345678901LL, 0x802A0004u, dump, 2, line, sizeof(line));
    EXPECT_STREQ(line,
                 "1234.567  Warning  0x802A0004  Unexpected SRB Status value  dump: 0x00000002 "
                 "0x0000004E");
    EXPECT_EQ(n, strlen(line));

    HostEventFormat(0, 0x402A0001u, dump, 1, line, sizeof(line));
    EXPECT_STREQ(
        line, "0.000  Information  0x402A0001  Device initialized successfully  dump: 0x00000002");

    HostEventFormat(0, 0x402A0009u, nullptr, 0, line, sizeof(line));
    EXPECT_STREQ(line,
                 "0.000  Information  0x402A0009  (no message text for id 0x402A0009)  dump:");

    char small[8];
    size_t need = HostEventFormat(0, 0x402A0001u, dump, 1, small, sizeof(small));
    EXPECT_STREQ(small, "0.000  ");
    EXPECT_GT(need, sizeof(small));
}
