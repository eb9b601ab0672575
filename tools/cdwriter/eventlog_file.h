/*
 * eventlog_file.h - the system event log kept across runs: one line per entry in a text file
 * of the state directory, appended by every run and read back by `cdwriter eventlog`.
 *
 * A line holds tab-separated fields: UTC time (2026-12-06T20:31:05.123Z), the device that
 * logged the entry ("recorder 0", "desktop unit 1", "driver"), severity, message id, dump words
 * (blank-separated hex) and the message text.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct EventLogRecord {
    double unixTime = 0; /* seconds since 1970, UTC */
    std::string device;
    uint32_t id = 0;
    std::vector<uint32_t> dump;
    std::string severity; /* filled from the message table when formatting */
    std::string text;     /* the same */
};

/* The line of a record, without its line end; severity and text come from the message table. */
std::string FormatEventLogRecord(const EventLogRecord &record);

/* Parses a line; false for a line that is not a record. */
bool ParseEventLogRecord(const std::string &line, EventLogRecord *record);

/* "2026-12-06 20:31:05.123 UTC". */
std::string EventLogTimeText(double unixTime);

/* The last `count` records of the log file (all when fewer); false with the reason when the file
   exists but cannot be read. A missing file is an empty log. */
bool ReadEventLog(const std::string &path, unsigned count, std::vector<EventLogRecord> *records,
                  std::string *error);
