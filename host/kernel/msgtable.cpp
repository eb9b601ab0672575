/*
 * msgtable.cpp - the host's event-log reader: message-table lookup and entry formatting.
 *
 * The table is the binary windmc makes from the driver's message source; the build embeds it
 * as CdwMessageTableData / CdwMessageTableSize (a generated source of this same library).
 */
#include <standin/eventlog.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

extern "C" {
extern const unsigned char CdwMessageTableData[];
extern const unsigned int CdwMessageTableSize;
}

namespace {

/* Little-endian reads, bounds checked by the callers. */
uint32_t ReadU32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t ReadU16(const unsigned char *p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void AppendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

/* UTF-16LE to UTF-8; unpaired surrogates become U+FFFD. */
std::string Utf16ToUtf8(const unsigned char *p, size_t units) {
    std::string out;
    for (size_t i = 0; i < units; i++) {
        uint32_t u = ReadU16(p + 2 * i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
            uint32_t low = ReadU16(p + 2 * (i + 1));
            if (low >= 0xDC00 && low < 0xE000) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                i++;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u < 0xE000) ? 0xFFFD : u);
    }
    return out;
}

/*
 * Finds Id in the table and returns its text, trailing NULs removed. False when the id is
 * absent or the table is malformed on the way to it.
 */
bool FindText(const unsigned char *table, size_t size, uint32_t id, std::string *text) {
    if (table == nullptr || size < 4) {
        return false;
    }
    uint32_t blocks = ReadU32(table);
    if (blocks > (size - 4) / 12) {
        return false;
    }
    for (uint32_t b = 0; b < blocks; b++) {
        const unsigned char *block = table + 4 + 12 * b;
        uint32_t low = ReadU32(block);
        uint32_t high = ReadU32(block + 4);
        uint32_t offset = ReadU32(block + 8);
        if (id < low || id > high) {
            continue;
        }
        /* Entries are variable-length: walk from the block's first one. */
        size_t pos = offset;
        for (uint32_t current = low;; current++) {
            if (pos > size || size - pos < 4) {
                return false;
            }
            uint16_t length = ReadU16(table + pos);
            uint16_t flags = ReadU16(table + pos + 2);
            if (length < 4 || length > size - pos) {
                return false;
            }
            if (current == id) {
                const unsigned char *body = table + pos + 4;
                size_t bytes = length - 4u;
                std::string out;
                if (flags & 1u) {
                    out = Utf16ToUtf8(body, bytes / 2);
                } else {
                    out.assign(reinterpret_cast<const char *>(body), bytes);
                }
                while (!out.empty() && out.back() == '\0') {
                    out.pop_back();
                }
                *text = std::move(out);
                return true;
            }
            pos += length;
        }
    }
    return false;
}

/* The driver's table, decoded once. */
struct DriverTexts {
    std::vector<std::pair<uint32_t, std::string>> entries;

    DriverTexts() {
        const unsigned char *table = CdwMessageTableData;
        size_t size = CdwMessageTableSize;
        if (size < 4) {
            return;
        }
        uint32_t blocks = ReadU32(table);
        if (blocks > (size - 4) / 12) {
            return;
        }
        for (uint32_t b = 0; b < blocks; b++) {
            uint32_t low = ReadU32(table + 4 + 12 * b);
            uint32_t high = ReadU32(table + 4 + 12 * b + 4);
            for (uint64_t id = low; id <= high && id - low < 0x10000; id++) {
                std::string text;
                if (FindText(table, size, static_cast<uint32_t>(id), &text)) {
                    entries.emplace_back(static_cast<uint32_t>(id), std::move(text));
                }
            }
        }
    }
};

const DriverTexts &Texts() {
    static const DriverTexts texts;
    return texts;
}

} // namespace

extern "C" int HostMessageTableFind(const unsigned char *Table, size_t TableSize, uint32_t Id,
                                    char *Text, size_t TextSize) {
    std::string text;
    if (!FindText(Table, TableSize, Id, &text)) {
        if (Text != nullptr && TextSize > 0) {
            Text[0] = '\0';
        }
        return -1;
    }
    if (Text != nullptr && TextSize > 0) {
        size_t n = text.size() < TextSize - 1 ? text.size() : TextSize - 1;
        memcpy(Text, text.data(), n);
        Text[n] = '\0';
    }
    return static_cast<int>(text.size());
}

extern "C" const char *HostEventText(uint32_t Id) {
    for (const auto &entry : Texts().entries) {
        if (entry.first == Id) {
            return entry.second.c_str();
        }
    }
    return nullptr;
}

extern "C" const char *HostEventSeverityName(uint32_t Id) {
    static const char *const names[4] = {"Success", "Information", "Warning", "Error"};
    return names[Id >> 30];
}

extern "C" size_t HostEventFormat(int64_t Time, uint32_t Id, const uint32_t *DumpData,
                                  size_t DumpCount, char *Line, size_t LineSize) {
    std::string line;
    char field[64];

    int64_t ms = Time / 10000;
    snprintf(field, sizeof(field), "%lld.%03lld  %s  0x%08X  ", static_cast<long long>(ms / 1000),
             static_cast<long long>(ms % 1000), HostEventSeverityName(Id), Id);
    line += field;

    const char *text = HostEventText(Id);
    if (text != nullptr) {
        std::string shown(text);
        while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) {
            shown.pop_back();
        }
        for (char &c : shown) {
            if (c == '\r' || c == '\n') {
                c = ' ';
            }
        }
        line += shown;
    } else {
        snprintf(field, sizeof(field), "(no message text for id 0x%08X)", Id);
        line += field;
    }

    line += "  dump:";
    for (size_t i = 0; i < DumpCount; i++) {
        snprintf(field, sizeof(field), " 0x%08X", DumpData[i]);
        line += field;
    }

    if (Line != nullptr && LineSize > 0) {
        size_t n = line.size() < LineSize - 1 ? line.size() : LineSize - 1;
        memcpy(Line, line.data(), n);
        Line[n] = '\0';
    }
    return line.size();
}

extern "C" size_t HostEventFormatEntry(const HOST_ERROR_LOG_ENTRY *Entry, char *Line,
                                       size_t LineSize) {
    size_t words = Entry->DumpWordCount;
    if (words > sizeof(Entry->DumpData) / sizeof(Entry->DumpData[0])) {
        words = sizeof(Entry->DumpData) / sizeof(Entry->DumpData[0]);
    }
    return HostEventFormat(Entry->Time, static_cast<uint32_t>(Entry->Packet.ErrorCode),
                           Entry->DumpData, words, Line, LineSize);
}

extern "C" ULONG HostEventLogPrint(FILE *Stream) {
    ULONG printed = 0;
    HOST_ERROR_LOG_ENTRY entry;
    for (ULONG i = 0; HostErrorLogGet(i, &entry); i++) {
        size_t need = HostEventFormatEntry(&entry, nullptr, 0);
        std::string line(need + 1, '\0');
        HostEventFormatEntry(&entry, &line[0], line.size());
        line.resize(need);
        fprintf(Stream, "%s\n", line.c_str());
        printed++;
    }
    return printed;
}
