/*
 * eventlog_test.cpp - the driver's event-log entries and the message table they refer to.
 */
#include "driver_harness.h"

#include "writer.h"

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

/* ---- entries written by the driver ---- */

class EventLogTest : public DriverHarness {
protected:
    void SetUp() override {
        DriverHarness::SetUp();
        /* The second recorder, so the device number is not 0. */
        PlugRecorder();
        Unit *unit = PlugRecorder();
        ASSERT_NE(unit->Fdo, nullptr);
        fdo_ = unit->Fdo;
        ASSERT_EQ(CdwDeviceNumber(fdo_), 1u);
        ClearLog();
        ClearEvents();
    }

    void TearDown() override {
        HostClearAllFaults();
        DriverHarness::TearDown();
    }

    /* Every member the driver fills, apart from the dump words. */
    static void ExpectHeader(const HOST_ERROR_LOG_ENTRY &e, ULONG Id, ULONG DumpWords) {
        EXPECT_EQ(e.Packet.MajorFunctionCode, 0);
        EXPECT_EQ(e.Packet.RetryCount, 0);
        EXPECT_EQ(e.Packet.DumpDataSize, 4 * DumpWords);
        EXPECT_EQ(e.Packet.NumberOfStrings, 0);
        EXPECT_EQ(e.Packet.StringOffset, 0);
        EXPECT_EQ(e.Packet.EventCategory, 0);
        EXPECT_EQ(static_cast<ULONG>(e.Packet.ErrorCode), Id);
        EXPECT_EQ(e.Packet.UniqueErrorValue, 0u);
        EXPECT_EQ(e.Packet.FinalStatus, 0);
        EXPECT_EQ(e.Packet.SequenceNumber, 0u);
        EXPECT_EQ(e.Packet.IoControlCode, 0u);
        EXPECT_EQ(e.Packet.DeviceOffset.QuadPart, 0);
        EXPECT_EQ(e.DumpWordCount, DumpWords);
        EXPECT_EQ(e.DumpData[0], 1u) << "the device number comes first";
    }

    PDEVICE_OBJECT fdo_ = nullptr;
};

TEST_F(EventLogTest, EntryWithoutDumpWordsCarriesTheDeviceNumberOnly) {
    CdRecorderLogEvent(fdo_, MSG_DEVICE_INITIALIZED, 0, nullptr);
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].IoObject, static_cast<PVOID>(fdo_));
    EXPECT_EQ(events[0].EntrySize, 52u);
    ExpectHeader(events[0], 0x402A0001u, 1);

    char line[200];
    HostEventFormatEntry(&events[0], line, sizeof(line));
    EXPECT_NE(strstr(line, "Information  0x402A0001  Device initialized successfully  dump: "
                           "0x00000001"),
              nullptr)
        << line;
    EXPECT_TRUE(DebugLog().empty());
}

TEST_F(EventLogTest, TwentyFiveDumpWordsFitTwentySixDoNot) {
    ULONG words[26];
    for (ULONG i = 0; i < 26; i++) {
        words[i] = 0xA0000000u + i;
    }

    CdRecorderLogEvent(fdo_, MSG_UNEXPECTED_SRB_STATUS, 25, words);
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].EntrySize, 152u);
    ExpectHeader(events[0], 0x802A0004u, 26);
    for (ULONG i = 0; i < 25; i++) {
        EXPECT_EQ(events[0].DumpData[i + 1], words[i]) << i;
    }
    EXPECT_FALSE(Logged("too big"));

    ClearEvents();
    CdRecorderLogEvent(fdo_, MSG_UNEXPECTED_REMOVAL, 26, words);
    EXPECT_TRUE(
        Logged("Burnkit[1]: CdRecorderLogEvent - log entry size too big (156). Maz size = 152\n"));
    events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].EntrySize, 52u);
    ExpectHeader(events[0], 0x802A0002u, 1);
}

TEST_F(EventLogTest, EntryIsDroppedSilentlyWhenNoneIsAvailable) {
    HOST_FAULT fault = {0, 1, 0, 0};
    HostSetFault(HostFaultErrorLogEntry, &fault);
    ULONG word = 7;
    CdRecorderLogEvent(fdo_, MSG_UNEXPECTED_SRB_STATUS, 1, &word);
    EXPECT_EQ(HostFaultHits(HostFaultErrorLogEntry), 1u);
    EXPECT_TRUE(Events().empty());
    EXPECT_TRUE(DebugLog().empty());
    EXPECT_EQ(HostErrorLogPendingEntries(), 0);

    /* The next one gets through. */
    CdRecorderLogEvent(fdo_, MSG_UNEXPECTED_SRB_STATUS, 1, &word);
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].DumpData[1], 7u);
}
