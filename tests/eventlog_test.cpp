/*
 * eventlog_test.cpp - the driver's event-log entries and the message table they refer to.
 */
#include "driver_harness.h"

#include "writer.h"

#include <standin/eventlog.h>

#include <stdint.h>
#include <string.h>

/* ---- the driver's own table, as the build compiled it from the message source ---- */

TEST(MessageTable, DriverTableHoldsTheFiveTextsUnderTheirIds) {
    const struct {
        uint32_t id;
        const char *text;
        const char *severity;
    } rows[] = {
        {0x402A0001u, "Device initialized successfully\r\n", "Information"},
        {0x802A0002u, "Unexpected device removal\r\n", "Warning"},
        {0x402A0003u, "Device initialization failed\r\n", "Information"},
        {0x802A0004u, "Unexpected SRB Status value\r\n", "Warning"},
        {0x402A0005u, "Device re-initialized after unexpected removal\r\n", "Information"},
        /* Customer bit set, wrong severity, neighbour codes: not in the table. */
        {0x602A0001u, nullptr, "Information"},
        {0x402A0002u, nullptr, "Information"},
        {0x402A0000u, nullptr, "Information"},
        {0x802A0006u, nullptr, "Warning"},
        {0xC0000001u, nullptr, "Error"},
        {0x002A0001u, nullptr, "Success"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.id);
        const char *text = HostEventText(row.id);
        EXPECT_STREQ(text, row.text);
        EXPECT_STREQ(HostEventSeverityName(row.id), row.severity);
    }
}

/* The line the recording tool shows for an entry. */
TEST(EventFormat, LineShowsTimeSeverityIdTextAndDumpWords) {
    const uint32_t dump[] = {2, 0x4E};
    char line[200];
    HostEventFormat(12345678901LL, 0x802A0004u, dump, 2, line, sizeof(line));
    EXPECT_STREQ(line,
                 "1234.567  Warning  0x802A0004  Unexpected SRB Status value  dump: 0x00000002 "
                 "0x0000004E");
    HostEventFormat(0, 0x402A0009u, nullptr, 0, line, sizeof(line));
    EXPECT_STREQ(line,
                 "0.000  Information  0x402A0009  (no message text for id 0x402A0009)  dump:");
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

    /* Every member the driver fills, apart from the dump words. */
    static void ExpectHeader(const HOST_ERROR_LOG_ENTRY &e, ULONG Id, ULONG DumpWords) {
        IO_ERROR_LOG_PACKET expected;
        memset(&expected, 0, sizeof(expected));
        expected.DumpDataSize = static_cast<USHORT>(4 * DumpWords);
        expected.ErrorCode = static_cast<NTSTATUS>(Id);
        /* Nobody writes the two bytes of padding before ErrorCode. */
        memcpy(reinterpret_cast<UCHAR *>(&expected) + 10,
               reinterpret_cast<const UCHAR *>(&e.Packet) + 10, 2);
        EXPECT_EQ(0, memcmp(&expected, &e.Packet, offsetof(IO_ERROR_LOG_PACKET, DumpData)));
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
    EXPECT_EQ(0, memcmp(&events[0].DumpData[1], words, sizeof(ULONG) * 25));
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

    /* The next one gets through. */
    CdRecorderLogEvent(fdo_, MSG_UNEXPECTED_SRB_STATUS, 1, &word);
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].DumpData[1], 7u);
}
