/*
 * eventlog_file.cpp - the event log file of the state directory.
 */
#include "eventlog_file.h"

#include <standin/eventlog.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace {

/* Message texts hold no tabs or line ends; make sure a field never does. */
std::string Field(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    for (auto &c : text)
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    return text;
}

std::string TimeText(double unixTime, const char *dateTimeSeparator, const char *zone) {
    double whole = std::floor(unixTime);
    time_t seconds = static_cast<time_t>(whole);
    int ms = static_cast<int>((unixTime - whole) * 1000);
    if (ms > 999)
        ms = 999;
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[64];
    snprintf(text, sizeof(text), "%04d-%02d-%02d%s%02d:%02d:%02d.%03d%s", utc.tm_year + 1900,
             utc.tm_mon + 1, utc.tm_mday, dateTimeSeparator, utc.tm_hour, utc.tm_min, utc.tm_sec,
             ms, zone);
    return text;
}

} // namespace

std::string EventLogTimeText(double unixTime) {
    return TimeText(unixTime, " ", " UTC");
}

std::string FormatEventLogRecord(const EventLogRecord &record) {
    const char *text = HostEventText(record.id);
    char id[16];
    snprintf(id, sizeof(id), "0x%08X", record.id);
    std::string line = TimeText(record.unixTime, "T", "Z") + "\t" + Field(record.device) + "\t" +
                       HostEventSeverityName(record.id) + "\t" + id + "\t";
    for (size_t i = 0; i < record.dump.size(); i++) {
        char word[16];
        snprintf(word, sizeof(word), "%s0x%08X", i == 0 ? "" : " ", record.dump[i]);
        line += word;
    }
    return line + "\t" + Field(text != nullptr ? text : "(no text for this id)");
}

bool ParseEventLogRecord(const std::string &line, EventLogRecord *record) {
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            break;
        start = tab + 1;
    }
    if (f.size() != 6)
        return false;
    struct tm utc = {};
    int ms = 0;
    if (sscanf(f[0].c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &utc.tm_year, &utc.tm_mon, &utc.tm_mday,
               &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &ms) != 7)
        return false;
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    EventLogRecord r;
    r.unixTime = static_cast<double>(timegm(&utc)) + ms / 1000.0;
    r.device = f[1];
    r.severity = f[2];
    char *end = nullptr;
    r.id = static_cast<uint32_t>(strtoul(f[3].c_str(), &end, 16));
    if (end == f[3].c_str())
        return false;
    std::istringstream words(f[4]);
    std::string word;
    while (words >> word)
        r.dump.push_back(static_cast<uint32_t>(strtoul(word.c_str(), nullptr, 16)));
    r.text = f[5];
    *record = r;
    return true;
}

bool ReadEventLog(const std::string &path, unsigned count, std::vector<EventLogRecord> *records,
                  std::string *error) {
    records->clear();
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        *error = "cannot read the event log \"" + path + "\": " + strerror(errno);
        return false;
    }
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0)
        text.append(buffer, static_cast<size_t>(n));
    bool failed = n < 0;
    int readErrno = errno;
    close(fd);
    if (failed) {
        *error = "cannot read the event log \"" + path + "\": " + strerror(readErrno);
        return false;
    }
    std::deque<EventLogRecord> last;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        EventLogRecord r;
        if (!ParseEventLogRecord(line, &r))
            continue;
        last.push_back(r);
        if (last.size() > count)
            last.pop_front();
    }
    records->assign(last.begin(), last.end());
    return true;
}
