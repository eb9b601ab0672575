/*
 * sim_mmc.cpp - the simulated recorder's MMC commands: identification and readiness, the
 * medium's description (disc and track information, TOC/PMA/ATIP, configuration, events),
 * write parameters and capabilities (mode pages 05 and 2A), the set-up and closing commands
 * (cue sheet, reservation, close, blank, speed, load/eject) and reading.
 */
#include "sim_model.h"

#include <unistd.h>

#include <algorithm>

using namespace sim;

namespace {

/* Block size each cue sheet data form asks the host for (0: form not taken). */
ULONG CueFormSize(UCHAR Form) {
    switch (Form) {
    case 0x00: /* CD-DA */
        return 2352;
    case 0x10: /* CD-ROM Mode 1, user data */
        return 2048;
    case 0x11: /* CD-ROM Mode 1, whole sector */
    case 0x21: /* CD-ROM XA, whole sector */
    case 0x31: /* CD-ROM Mode 2, whole sector */
        return 2352;
    case 0x20: /* CD-ROM XA, sub-header and user data */
    case 0x30: /* CD-ROM Mode 2 formless */
        return 2336;
    default:
        return 0;
    }
}

bool KnownDataBlockType(UCHAR Type) {
    return Type <= 3 || (Type >= 8 && Type <= 13);
}

void AddFeature(std::vector<UCHAR> &Out, USHORT Code, UCHAR Version, bool Current,
                std::initializer_list<UCHAR> Body) {
    Out.push_back((UCHAR)(Code >> 8));
    Out.push_back((UCHAR)Code);
    Out.push_back((UCHAR)((Version << 2) | 0x02 * (Code <= 3) | (Current ? 1 : 0)));
    Out.push_back((UCHAR)Body.size());
    Out.insert(Out.end(), Body.begin(), Body.end());
}

} // namespace

/* ---- identification and readiness ----------------------------------------------------- */

Outcome _SIM_RECORDER_MODEL::Inquiry(SCSI_REQUEST_BLOCK *Srb) {
    const UCHAR *cdb = Srb->Cdb;
    if (cdb[1] & 0x01) {
        return InvalidCdb();
    }
    UCHAR data[INQUIRYDATABUFFERSIZE] = {};
    data[0] = Config.DeviceType & 0x1F;
    data[1] = 0x80; /* removable medium */
    data[2] = 0x05;
    data[3] = 0x02; /* response data format */
    data[4] = INQUIRYDATABUFFERSIZE - 5;
    memcpy(data + 8, Vendor, 8);
    memcpy(data + 16, Product, 16);
    memcpy(data + 32, Revision, 4);
    return ReplyData(Srb, data, sizeof(data), Be16(cdb + 3));
}

Outcome _SIM_RECORDER_MODEL::RequestSense(SCSI_REQUEST_BLOCK *Srb, LONGLONG Now) {
    UCHAR data[SENSE_BUFFER_SIZE] = {};
    if (HaveSense) {
        memcpy(data, Sense, sizeof(data));
        HaveSense = false;
    } else {
        data[0] = SCSI_SENSE_ERRORCODE_FIXED_CURRENT;
        data[7] = SENSE_BUFFER_SIZE - 8;
        if (PendingRoom != 0 && !HasRoom(PendingRoom, Now)) {
            data[2] = SCSI_SENSE_NOT_READY;
            data[12] = SCSI_ADSENSE_LUN_NOT_READY;
            data[13] = SCSI_SENSEQ_LONG_WRITE_IN_PROGRESS;
        } else if (!Loaded) {
            data[2] = SCSI_SENSE_NOT_READY;
            data[12] = 0x3A;
        }
    }
    return ReplyData(Srb, data, sizeof(data), Srb->Cdb[4]);
}

Outcome _SIM_RECORDER_MODEL::TestUnitReady(LONGLONG Now) {
    if (!Loaded) {
        return NoMedium();
    }
    if (Config.FullBuffer == SimFullBufferNotReady && PendingRoom != 0 &&
        !HasRoom(PendingRoom, Now)) {
        Counters.NotReadyAnswers++;
        return CheckCondition(SCSI_SENSE_NOT_READY, SCSI_ADSENSE_LUN_NOT_READY,
                              SCSI_SENSEQ_LONG_WRITE_IN_PROGRESS);
    }
    return Good();
}

/* ---- reading -------------------------------------------------------------------------- */

/* READ(10) returns 2048-byte blocks only; blocks of other sizes need READ CD. */
Outcome _SIM_RECORDER_MODEL::Read10(SCSI_REQUEST_BLOCK *Srb) {
    const UCHAR *cdb = Srb->Cdb;
    if (Srb->CdbLength < 10) {
        return InvalidCdb();
    }
    if (!Loaded) {
        return NoMedium();
    }
    LONG lba = (LONG)Be32(cdb + 2);
    ULONG blocks = Be16(cdb + 7);
    Drain(HostClockNow());
    for (ULONG i = 0; i < blocks; i++) {
        ULONG size = StoredSize(lba + (LONG)i);
        if (size == 0) {
            return OutOfRange();
        }
        if (size != kDataBlock) {
            return IllegalMode();
        }
    }
    if (blocks == 0) {
        return Good();
    }
    if (Srb->DataBuffer == nullptr) {
        return InvalidCdb();
    }
    UCHAR *out = static_cast<UCHAR *>(Srb->DataBuffer);
    ULONG room = Srb->DataTransferLength;
    ULONG moved = 0;
    UCHAR block[kDataBlock];
    for (ULONG i = 0; i < blocks && moved < room; i++) {
        ULONG n = std::min(kDataBlock, room - moved);
        if (!LoadBlock(lba + (LONG)i, block, kDataBlock)) {
            return CheckCondition(SCSI_SENSE_MEDIUM_ERROR, 0x11, 0); /* unrecovered read */
        }
        memcpy(out + moved, block, n);
        moved += n;
    }
    Outcome o = Good(moved);
    if (moved != room || moved != blocks * kDataBlock) {
        o.SrbStatus = SRB_STATUS_DATA_OVERRUN;
    }
    return o;
}

/*
 * READ CD of user data (byte 9 = 10h: each block as the host recorded it) or of whole sectors
 * (F8h: 2352 bytes; a block recorded with fewer bytes gets the sync pattern and header before
 * them and zeros after them, the EDC/ECC is not computed). The expected sector type is checked
 * against the track (audio: CD-DA; 2048: Mode 1; 2336/2332/2324/2056: Mode 2).
 */
Outcome _SIM_RECORDER_MODEL::ReadCd(SCSI_REQUEST_BLOCK *Srb) {
    const UCHAR *cdb = Srb->Cdb;
    if (!Loaded) {
        return NoMedium();
    }
    if (!IsCd()) {
        return IllegalMode();
    }
    UCHAR type = (cdb[1] >> 2) & 0x07;
    LONG lba = (LONG)Be32(cdb + 2);
    ULONG blocks = Be24(cdb + 6);
    UCHAR fields = cdb[9];
    if ((fields != 0x10 && fields != 0xF8) || cdb[10] != 0 || type > 5) {
        return InvalidCdb();
    }
    Drain(HostClockNow());
    std::vector<UCHAR> out;
    for (ULONG i = 0; i < blocks; i++) {
        LONG at = lba + (LONG)i;
        ULONG size = StoredSize(at);
        if (size == 0) {
            return OutOfRange();
        }
        /* A block belongs to the first track that ends after it: a pre-gap (INDEX 00) ahead
           of a track is that track's, in its mode. */
        bool audio = false;
        for (const Track &t : Tracks) {
            if (at < t.Start + (LONG)t.Size) {
                audio = t.Mode < 4;
                break;
            }
        }
        UCHAR sector = audio ? 1 : size == 2048 ? 2 : size == 2352 ? 2 : 3;
        if (type != 0 && type != sector && !(sector == 3 && type >= 3)) {
            return IllegalMode();
        }
        std::vector<UCHAR> block(size);
        if (!LoadBlock(at, block.data(), size)) {
            return CheckCondition(SCSI_SENSE_MEDIUM_ERROR, 0x11, 0);
        }
        if (fields == 0x10 || size == 2352) {
            out.insert(out.end(), block.begin(), block.end());
            continue;
        }
        UCHAR raw[2352] = {};
        memset(raw + 1, 0xFF, 10);
        LONG frames = at + 150;
        auto bcd = [](LONG v) { return (UCHAR)(((v / 10) << 4) | (v % 10)); };
        raw[12] = bcd(frames / 4500);
        raw[13] = bcd(frames / 75 % 60);
        raw[14] = bcd(frames % 75);
        raw[15] = size == 2048 ? 1 : 2;
        memcpy(raw + 16, block.data(), std::min<ULONG>(size, 2336));
        out.insert(out.end(), raw, raw + sizeof(raw));
    }
    return ReplyData(Srb, out.data(), (ULONG)out.size(), (ULONG)out.size());
}

Outcome _SIM_RECORDER_MODEL::ReadCapacity(SCSI_REQUEST_BLOCK *Srb) {
    if (!Loaded) {
        return NoMedium();
    }
    Drain(HostClockNow());
    UCHAR data[8];
    LONG end = RecordedEnd();
    PutBe32(data, end <= 0 ? 0 : (ULONG)end - 1);
    PutBe32(data + 4, kDataBlock);
    return ReplyData(Srb, data, sizeof(data), sizeof(data));
}

Outcome _SIM_RECORDER_MODEL::ReadBufferCapacity(SCSI_REQUEST_BLOCK *Srb, LONGLONG Now) {
    UCHAR data[12] = {};
    ULONG level = LevelAt(Now);
    ULONG blank = Config.BufferBytes > level ? Config.BufferBytes - level : 0;
    data[1] = 10;
    if (Srb->Cdb[1] & 0x01) {
        data[3] = 0x01; /* block data returned */
        PutBe32(data + 8, blank / kDataBlock);
    } else {
        PutBe32(data + 4, Config.BufferBytes);
        PutBe32(data + 8, blank);
    }
    return ReplyData(Srb, data, sizeof(data), Be16(Srb->Cdb + 7));
}

Outcome _SIM_RECORDER_MODEL::SynchronizeCache(SCSI_REQUEST_BLOCK *Srb,
                                              std::unique_lock<std::mutex> &Held) {
    if (!(Srb->Cdb[1] & 0x02)) {
        (void)WaitDrained(Held);
    }
    Recording = false;
    PendingRoom = 0;
    Counters.Synchronizes++;
    CloseAtDrain = true;
    EndPlannedSession();
    return Good();
}

/* ---- the medium's description --------------------------------------------------------- */

Outcome _SIM_RECORDER_MODEL::ReadDiscInformation(SCSI_REQUEST_BLOCK *Srb) {
    if (!Loaded) {
        return NoMedium();
    }
    if ((Srb->Cdb[1] & 0x07) != 0) {
        return InvalidCdb(); /* only the standard disc information */
    }
    UCHAR d[34] = {};
    PutBe16(d, sizeof(d) - 2);
    bool complete = Status == DiscStatus::Complete || Damaged;
    UCHAR sessionState = complete ? 3 : SessionOpen ? 1 : 0;
    UCHAR status = complete ? 2 : (UCHAR)Status;
    d[2] = (UCHAR)((Profile == 0x000A ? 0x10 : 0) | (sessionState << 2) | status);
    d[3] = 1;
    ULONG lastTrack = Tracks.empty() ? 0 : Tracks.back().Number;
    ULONG sessions = Sessions, firstInLast = 1, lastInLast = lastTrack;
    if (!complete && !SessionOpen) {
        sessions = Sessions + 1; /* the empty session that can be written next */
        firstInLast = lastInLast = lastTrack + 1;
    } else {
        for (const Track &t : Tracks) {
            if (t.Session == Sessions) {
                firstInLast = t.Number;
                break;
            }
        }
        if (!complete && (Tracks.empty() || Tracks.back().Closed)) {
            lastInLast = lastTrack + 1; /* the invisible track */
        }
    }
    d[4] = (UCHAR)sessions;
    d[5] = (UCHAR)firstInLast;
    d[6] = (UCHAR)lastInLast;
    d[7] = 0x20; /* unrestricted use */
    d[9] = (UCHAR)(sessions >> 8);
    d[10] = (UCHAR)(firstInLast >> 8);
    d[11] = (UCHAR)(lastInLast >> 8);
    if (complete) {
        memset(d + 16, 0xFF, 8);
    } else if (IsCd()) {
        LONG leadIn =
            Status == DiscStatus::Blank ? MsfToLba(97, 26, 66) - 450000 : SessionStart - 150 - 4500;
        PutMsf(d + 16, leadIn);
        PutMsf(d + 20, (LONG)Capacity);
    } else {
        PutBe32(d + 20, Capacity);
    }
    return ReplyData(Srb, d, sizeof(d), Be16(Srb->Cdb + 7));
}

Outcome _SIM_RECORDER_MODEL::ReadTrackInformation(SCSI_REQUEST_BLOCK *Srb) {
    const UCHAR *cdb = Srb->Cdb;
    if (!Loaded) {
        return NoMedium();
    }
    Drain(HostClockNow());
    UCHAR type = cdb[1] & 0x03;
    ULONG value = Be32(cdb + 2);
    bool writable = !Damaged && Status != DiscStatus::Complete;
    ULONG lastTrack = Tracks.empty() ? 0 : Tracks.back().Number;
    /* The invisible track: where the next track would begin. */
    bool invisibleExists = writable && (Tracks.empty() || Tracks.back().Closed);
    LONG invisibleStart = WritableStart();
    const Track *track = nullptr;
    bool invisible = false;
    if (type == 1) {
        if (value == 0xFF || (invisibleExists && value == lastTrack + 1)) {
            invisible = invisibleExists;
            if (!invisible) {
                track = Tracks.empty() ? nullptr : &Tracks.back();
            }
        } else {
            for (const Track &t : Tracks) {
                if (t.Number == value) {
                    track = &t;
                }
            }
        }
    } else if (type == 0) {
        LONG lba = (LONG)value;
        for (const Track &t : Tracks) {
            if (lba >= t.Start && lba < t.Start + (LONG)std::max<ULONG>(t.Size, 1)) {
                track = &t;
            }
        }
        invisible =
            track == nullptr && invisibleExists && lba >= invisibleStart && lba < (LONG)Capacity;
    } else if (type == 2) {
        for (const Track &t : Tracks) {
            if (t.Session == value && track == nullptr) {
                track = &t;
            }
        }
        invisible =
            track == nullptr && invisibleExists && value == (SessionOpen ? Sessions : Sessions + 1);
    }
    if (track == nullptr && !invisible) {
        return InvalidCdb();
    }
    UCHAR d[48] = {};
    PutBe16(d, sizeof(d) - 2);
    if (invisible) {
        ULONG number = lastTrack + 1;
        ULONG session = SessionOpen ? Sessions : Sessions + 1;
        d[2] = (UCHAR)number;
        d[3] = (UCHAR)session;
        d[5] = IsCd() ? (UCHAR)(Params.TrackMode & 0x0F) : 0x04;
        d[6] = 0x40 | 0x01; /* blank, data mode 1 */
        d[7] = 0x01;        /* NWA valid */
        PutBe32(d + 8, (ULONG)invisibleStart);
        PutBe32(d + 12, (ULONG)invisibleStart);
        ULONG free = (ULONG)std::max<LONG>((LONG)Capacity - invisibleStart, 0);
        PutBe32(d + 16, free);
        PutBe32(d + 24, free);
        d[32] = (UCHAR)(number >> 8);
        d[33] = (UCHAR)(session >> 8);
    } else {
        const Track &t = *track;
        bool open = writable && !t.Closed && &t == &Tracks.back();
        d[2] = (UCHAR)t.Number;
        d[3] = (UCHAR)t.Session;
        d[5] = (UCHAR)(t.Mode | (Damaged && &t == &Tracks.back() ? 0x20 : 0));
        d[6] = (UCHAR)((t.Fixed && !t.Closed ? 0x80 : 0) | (t.Recorded == 0 ? 0x40 : 0) |
                       (t.DataMode & 0x0F));
        d[7] = (UCHAR)((t.Recorded != 0 ? 0x02 : 0) | (open ? 0x01 : 0));
        PutBe32(d + 8, (ULONG)t.Start);
        ULONG size = t.Size;
        ULONG free = 0;
        if (open) {
            PutBe32(d + 12, (ULONG)Nwa);
            LONG end = t.Fixed ? t.Start + (LONG)t.Size : (LONG)Capacity;
            free = (ULONG)std::max<LONG>(end - Nwa, 0);
            if (!t.Fixed) {
                size += free;
            }
        }
        PutBe32(d + 16, free);
        PutBe32(d + 24, size);
        if (t.Recorded != 0) {
            PutBe32(d + 28, (ULONG)(t.Start + (LONG)t.Recorded - 1));
        }
        d[32] = (UCHAR)(t.Number >> 8);
        d[33] = (UCHAR)(t.Session >> 8);
    }
    return ReplyData(Srb, d, sizeof(d), Be16(cdb + 7));
}

/* TOC of the closed sessions (formats 0, 1, 2) and ATIP (4, CD only). */
Outcome _SIM_RECORDER_MODEL::ReadToc(SCSI_REQUEST_BLOCK *Srb) {
    const UCHAR *cdb = Srb->Cdb;
    if (!Loaded) {
        return NoMedium();
    }
    bool msf = (cdb[1] & 0x02) != 0;
    UCHAR format = cdb[2] & 0x0F;
    if (format == 0 && (cdb[9] >> 6) != 0) {
        format = cdb[9] >> 6;
    }
    std::vector<UCHAR> d(4, 0);
    auto address = [&](UCHAR *p, LONG lba) {
        if (msf) {
            PutMsf(p, lba);
        } else {
            PutBe32(p, (ULONG)lba);
        }
    };
    std::vector<const Track *> closed;
    ULONG closedSessions = SessionOpen ? Sessions - 1 : Sessions;
    for (const Track &t : Tracks) {
        if (t.Session <= closedSessions) {
            closed.push_back(&t);
        }
    }
    if (format == 4) {
        if (!IsCd()) {
            return InvalidCdb();
        }
        d.resize(28, 0);
        d[4] = 0x80 | (5 << 4);                                /* indicative writing power */
        d[5] = 0x40;                                           /* unrestricted use */
        d[6] = (UCHAR)(0x80 | (Profile == 0x000A ? 0x40 : 0)); /* disc type */
        d[8] = 97;                                             /* start of the lead-in */
        d[9] = 26;
        d[10] = 66;
        LONG frames = (LONG)Capacity + 150; /* last possible start of the lead-out */
        d[12] = (UCHAR)(frames / 4500);
        d[13] = (UCHAR)(frames / 75 % 60);
        d[14] = (UCHAR)(frames % 75);
    } else if (closed.empty()) {
        return InvalidCdb(); /* a blank disc or one without a closed session has no TOC */
    } else if (format == 0) {
        ULONG first = cdb[6] == 0 ? 1 : cdb[6];
        d[2] = (UCHAR)closed.front()->Number;
        d[3] = (UCHAR)closed.back()->Number;
        if (first != 0xAA && first > closed.back()->Number) {
            return InvalidCdb();
        }
        for (const Track *t : closed) {
            if (first == 0xAA || t->Number < first) {
                continue;
            }
            UCHAR e[8] = {0, (UCHAR)(0x10 | t->Mode), (UCHAR)t->Number, 0};
            address(e + 4, t->Start);
            d.insert(d.end(), e, e + 8);
        }
        UCHAR e[8] = {0, (UCHAR)(0x10 | closed.back()->Mode), 0xAA, 0};
        address(e + 4, closed.back()->Start + (LONG)closed.back()->Size);
        d.insert(d.end(), e, e + 8);
    } else if (format == 1) {
        const Track *firstOfLast = nullptr;
        for (const Track *t : closed) {
            if (t->Session == closedSessions && firstOfLast == nullptr) {
                firstOfLast = t;
            }
        }
        d[2] = 1;
        d[3] = (UCHAR)closedSessions;
        UCHAR e[8] = {0, (UCHAR)(0x10 | firstOfLast->Mode), (UCHAR)firstOfLast->Number, 0};
        address(e + 4, firstOfLast->Start);
        d.insert(d.end(), e, e + 8);
    } else if (format == 2) {
        if (!IsCd()) {
            return InvalidCdb();
        }
        d[2] = 1;
        d[3] = (UCHAR)closedSessions;
        auto entry = [&](ULONG Session, UCHAR AdrCtl, UCHAR Point, LONG Min, LONG Sec, LONG Frame,
                         UCHAR Zero, LONG PMin, LONG PSec, LONG PFrame) {
            UCHAR e[11] = {(UCHAR)Session, AdrCtl,       0,    Point,       (UCHAR)Min,
                           (UCHAR)Sec,     (UCHAR)Frame, Zero, (UCHAR)PMin, (UCHAR)PSec,
                           (UCHAR)PFrame};
            d.insert(d.end(), e, e + 11);
        };
        auto pmsf = [](LONG lba, LONG *m, LONG *s, LONG *f) {
            LONG frames = lba + 150;
            *m = frames / 4500;
            *s = frames / 75 % 60;
            *f = frames % 75;
        };
        for (ULONG s = 1; s <= closedSessions; s++) {
            const Track *first = nullptr, *last = nullptr;
            for (const Track *t : closed) {
                if (t->Session == s) {
                    first = first == nullptr ? t : first;
                    last = t;
                }
            }
            if (first == nullptr) {
                continue;
            }
            LONG m, sec, f;
            entry(s, (UCHAR)(0x10 | first->Mode), 0xA0, 0, 0, 0, 0, first->Number, 0x00, 0);
            entry(s, (UCHAR)(0x10 | last->Mode), 0xA1, 0, 0, 0, 0, last->Number, 0, 0);
            pmsf(last->Start + (LONG)last->Size, &m, &sec, &f);
            entry(s, (UCHAR)(0x10 | last->Mode), 0xA2, 0, 0, 0, 0, m, sec, f);
            for (const Track *t : closed) {
                if (t->Session == s) {
                    pmsf(t->Start, &m, &sec, &f);
                    entry(s, (UCHAR)(0x10 | t->Mode), (UCHAR)t->Number, 0, 0, 0, 0, m, sec, f);
                }
            }
            if (s == closedSessions && Status == DiscStatus::Appendable) {
                LONG pm, ps, pf;
                pmsf(SessionStart, &m, &sec, &f);
                pmsf((LONG)Capacity, &pm, &ps, &pf);
                entry(s, 0x50 | first->Mode, 0xB0, m, sec, f, 1, pm, ps, pf);
            }
        }
    } else {
        return InvalidCdb();
    }
    PutBe16(d.data(), (ULONG)d.size() - 2);
    return ReplyData(Srb, d.data(), (ULONG)d.size(), Be16(cdb + 7));
}

Outcome _SIM_RECORDER_MODEL::GetConfiguration(SCSI_REQUEST_BLOCK *Srb) {
    const UCHAR *cdb = Srb->Cdb;
    UCHAR rt = cdb[1] & 0x03;
    USHORT start = (USHORT)Be16(cdb + 2);
    if (rt == 3) {
        return InvalidCdb();
    }
    USHORT current = Loaded ? Profile : 0;
    bool cd = Loaded && IsCd();
    bool dvd = Loaded && IsDvd();
    /* Every feature as code and bytes, in ascending order. */
    std::vector<std::pair<USHORT, std::vector<UCHAR>>> features;
    auto add = [&](USHORT Code, UCHAR Version, bool Current, std::initializer_list<UCHAR> Body) {
        std::vector<UCHAR> f;
        AddFeature(f, Code, Version, Current, Body);
        features.push_back({Code, f});
    };
    {
        std::vector<UCHAR> f = {0, 0, 0x03, 0};
        for (USHORT p : {0x001B, 0x0011, 0x0010, 0x000A, 0x0009, 0x0008}) {
            UCHAR e[4] = {(UCHAR)(p >> 8), (UCHAR)p, (UCHAR)(p == current ? 1 : 0), 0};
            f.insert(f.end(), e, e + 4);
        }
        f[3] = (UCHAR)(f.size() - 4);
        features.push_back({0x0000, f});
    }
    add(0x0001, 2, true, {0, 0, 0, 1, 0x01, 0, 0, 0}); /* Core: SCSI, DBE */
    add(0x0003, 0, true, {0x29, 0, 0, 0});             /* Removable medium: tray, eject, lock */
    add(0x001E, 2, cd, {0, 0, 0, 0});                  /* CD Read */
    add(0x001F, 0, dvd, {0, 0, 0, 0});                 /* DVD Read */
    add(0x002B, 0, Loaded && Profile == 0x001B, {0x01, 0, 0, 0}); /* DVD+R: write */
    add(0x002D, 2, cd, {0x46, 0, 0x3F, 0x01});    /* CD Track at Once: BUF, test write, CD-RW */
    add(0x002E, 1, cd, {0x66, 0x00, 0x10, 0x00}); /* CD Mastering: BUF, SAO, test, RW, cue */
    add(0x002F, 1, Loaded && Profile == 0x0011, {0x44, 0, 0, 0}); /* DVD-R Write: BUF, test */
    std::vector<UCHAR> d(8, 0);
    d[6] = (UCHAR)(current >> 8);
    d[7] = (UCHAR)current;
    for (const auto &f : features) {
        bool take =
            rt == 2 ? f.first == start : f.first >= start && (rt == 0 || (f.second[2] & 0x01));
        if (take) {
            d.insert(d.end(), f.second.begin(), f.second.end());
        }
    }
    PutBe32(d.data(), (ULONG)d.size() - 4);
    return ReplyData(Srb, d.data(), (ULONG)d.size(), Be16(cdb + 7));
}

/* Polled media events only. */
Outcome _SIM_RECORDER_MODEL::GetEventStatus(SCSI_REQUEST_BLOCK *Srb) {
    const UCHAR *cdb = Srb->Cdb;
    if (!(cdb[1] & 0x01)) {
        return InvalidCdb();
    }
    if (cdb[4] & 0x10) {
        UCHAR d[8] = {0, 6, 0x04, 0x10, MediaEvent, (UCHAR)(Loaded ? 0x02 : 0x00), 0, 0};
        MediaEvent = 0;
        return ReplyData(Srb, d, sizeof(d), Be16(cdb + 7));
    }
    UCHAR d[4] = {0, 2, 0x80, 0x10};
    return ReplyData(Srb, d, sizeof(d), Be16(cdb + 7));
}

/* ---- mode pages ----------------------------------------------------------------------- */

void _SIM_RECORDER_MODEL::BuildPage05(UCHAR *Page) const {
    memcpy(Page, Params.Raw, 52);
    Page[0] = 0x05;
    Page[1] = 0x32;
    Page[2] = (UCHAR)((Params.Bufe ? 0x40 : 0) | (Params.TestWrite ? 0x10 : 0) |
                      (Params.WriteType & 0x0F));
    Page[3] = (UCHAR)((Params.MultiSession << 6) | (Params.TrackMode & 0x0F));
    Page[4] = Params.DataBlockType & 0x0F;
    Page[8] = Params.SessionFormat;
    if (Page[14] == 0 && Page[15] == 0) {
        PutBe16(Page + 14, 150); /* audio pause length */
    }
}

/* Capabilities: what the recorder reads and writes, its speeds and buffer. */
ULONG _SIM_RECORDER_MODEL::BuildPage2A(UCHAR *Page) const {
    ULONG oneX = OneXKiloBytes();
    ULONG maxWrite = (MaxSpeedMultiple != 0 ? MaxSpeedMultiple : 52) * oneX;
    ULONG curWrite = (SpeedMultiple != 0      ? SpeedMultiple
                      : MaxSpeedMultiple != 0 ? MaxSpeedMultiple
                                              : 52) *
                     oneX;
    memset(Page, 0, 36);
    Page[0] = 0x2A;
    Page[1] = 34;
    Page[2] = 0x3B; /* reads CD-R, CD-RW, method 2, DVD-ROM, DVD-R */
    Page[3] = 0x17; /* writes CD-R, CD-RW, DVD-R; test write */
    Page[4] = 0xF0; /* BUF, multi-session, Mode 2 Form 1 and 2 */
    Page[5] = 0x03; /* CD-DA commands, accurate stream */
    Page[6] = 0x29; /* tray, eject, lock */
    PutBe16(Page + 8, std::min<ULONG>(maxWrite, 0xFFFF));
    PutBe16(Page + 12, Config.BufferBytes / 1024 > 0xFFFF ? 0xFFFF : Config.BufferBytes / 1024);
    PutBe16(Page + 18, std::min<ULONG>(maxWrite, 0xFFFF));
    PutBe16(Page + 20, std::min<ULONG>(curWrite, 0xFFFF));
    PutBe16(Page + 28, std::min<ULONG>(curWrite, 0xFFFF));
    PutBe16(Page + 30, 1);
    PutBe16(Page + 34, std::min<ULONG>(maxWrite, 0xFFFF));
    return 36;
}

Outcome _SIM_RECORDER_MODEL::ModeSense(SCSI_REQUEST_BLOCK *Srb) {
    const UCHAR *cdb = Srb->Cdb;
    UCHAR control = cdb[2] >> 6;
    UCHAR page = cdb[2] & 0x3F;
    if (control == 3) {
        return CheckCondition(0x05, 0x39, 0x00); /* saving parameters not supported */
    }
    if (page != 0x05 && page != 0x2A && page != 0x3F) {
        return InvalidCdb();
    }
    std::vector<UCHAR> d(8, 0);
    if (page == 0x05 || page == 0x3F) {
        UCHAR p[52];
        if (control == 1) {
            memset(p, 0xFF, sizeof(p));
            p[0] = 0x05;
            p[1] = 0x32;
        } else if (control == 2) {
            _SIM_RECORDER_MODEL const *self = this;
            WriteParameters saved = self->Params;
            const_cast<_SIM_RECORDER_MODEL *>(self)->Params = WriteParameters();
            BuildPage05(p);
            const_cast<_SIM_RECORDER_MODEL *>(self)->Params = saved;
        } else {
            BuildPage05(p);
        }
        d.insert(d.end(), p, p + sizeof(p));
    }
    if (page == 0x2A || page == 0x3F) {
        UCHAR p[36];
        ULONG n = BuildPage2A(p);
        if (control == 1) {
            memset(p + 2, 0, n - 2);
        }
        d.insert(d.end(), p, p + n);
    }
    PutBe16(d.data(), (ULONG)d.size() - 2);
    return ReplyData(Srb, d.data(), (ULONG)d.size(), Be16(cdb + 7));
}

/* MODE SELECT(10) of page 05; the capabilities page cannot be changed. */
Outcome _SIM_RECORDER_MODEL::ModeSelect(SCSI_REQUEST_BLOCK *Srb) {
    const UCHAR *cdb = Srb->Cdb;
    ULONG length = Be16(cdb + 7);
    if (!(cdb[1] & 0x10) || (cdb[1] & 0x01)) {
        return InvalidCdb(); /* page format required, saving not supported */
    }
    if (length == 0) {
        return Good();
    }
    if (Srb->DataBuffer == nullptr || Srb->DataTransferLength < length || length < 10) {
        return CheckCondition(0x05, 0x1A, 0x00); /* parameter list length error */
    }
    const UCHAR *d = static_cast<const UCHAR *>(Srb->DataBuffer);
    ULONG at = 8 + Be16(d + 6);
    if (at + 2 > length) {
        return CheckCondition(0x05, 0x1A, 0x00);
    }
    const UCHAR *p = d + at;
    ULONG pageLength = p[1] + 2u;
    if ((p[0] & 0x3F) != 0x05 || at + pageLength > length || pageLength < 16) {
        return InvalidParameter();
    }
    UCHAR writeType = p[2] & 0x0F;
    UCHAR blockType = p[4] & 0x0F;
    bool test = (p[2] & 0x10) != 0;
    if (writeType > 2 || !KnownDataBlockType(blockType) || (test && Loaded && Profile == 0x001B)) {
        return InvalidParameter();
    }
    UCHAR raw[52] = {};
    memcpy(raw, p, std::min<ULONG>(pageLength, sizeof(raw)));
    memcpy(Params.Raw, raw, sizeof(raw));
    Params.WriteType = writeType;
    Params.TestWrite = test;
    Params.Bufe = (p[2] & 0x40) != 0;
    Params.MultiSession = p[3] >> 6;
    Params.TrackMode = p[3] & 0x0F;
    Params.DataBlockType = blockType;
    Params.SessionFormat = p[8];
    Protection = Params.Bufe;
    if (!test && TestActive) {
        TestActive = false;
        Nwa = TestNwa;
    }
    return Good();
}

/* ---- set-up and closing --------------------------------------------------------------- */

/*
 * SEND CUE SHEET: session-at-once on CD. The sheet's entries of 8 bytes (CTL/ADR, TNO, INDEX,
 * DATA FORM, SCMS, MIN, SEC, FRAME) are taken in order: a lead-in entry, the track entries
 * whose data form the host sends, the lead-out. The first track entry must begin at the
 * session's first pre-gap (00:00:00 on a blank disc).
 */
Outcome _SIM_RECORDER_MODEL::SendCueSheet(SCSI_REQUEST_BLOCK *Srb) {
    const UCHAR *cdb = Srb->Cdb;
    if (!Loaded) {
        return NoMedium();
    }
    if (!IsCd() || Params.WriteType != 2) {
        return SequenceError();
    }
    if (Damaged || Status == DiscStatus::Complete) {
        return CannotWriteMedium();
    }
    ULONG size = Be24(cdb + 6);
    if (size == 0 || size % 8 != 0) {
        return InvalidCdb();
    }
    if (Srb->DataBuffer == nullptr || Srb->DataTransferLength < size) {
        return CheckCondition(0x05, 0x1A, 0x00);
    }
    const UCHAR *d = static_cast<const UCHAR *>(Srb->DataBuffer);
    struct Entry {
        UCHAR Ctl, Tno, Index, Form;
        LONG Lba;
    };
    std::vector<Entry> entries;
    for (ULONG i = 0; i < size; i += 8) {
        const UCHAR *e = d + i;
        UCHAR adr = e[0] & 0x0F;
        if (adr == 2 || adr == 3) {
            continue; /* catalog number, ISRC */
        }
        if (adr != 1 || e[6] > 59 || e[7] > 74) {
            return InvalidParameter();
        }
        entries.push_back(Entry{(UCHAR)(e[0] >> 4), e[1], e[2], e[3], MsfToLba(e[5], e[6], e[7])});
    }
    if (entries.size() < 3 || entries.front().Tno != 0 || entries.back().Tno != 0xAA) {
        return InvalidParameter();
    }
    ULONG expectedTrack = (Tracks.empty() ? 0 : Tracks.back().Number) + 1;
    std::vector<SIM_LAYOUT_SEGMENT> segments;
    std::vector<UCHAR> indexes, forms;
    for (size_t i = 1; i + 1 < entries.size(); i++) {
        const Entry &e = entries[i];
        const Entry &next = entries[i + 1];
        ULONG blockSize = CueFormSize(e.Form);
        if (e.Tno == 0 || e.Tno > 99 || blockSize == 0 || next.Lba <= e.Lba) {
            return InvalidParameter();
        }
        ULONG ordinal = e.Tno - entries[1].Tno + expectedTrack;
        if (!segments.empty() && e.Tno != segments.back().TrackNumber &&
            e.Tno != segments.back().TrackNumber + 1) {
            return InvalidParameter();
        }
        (void)ordinal;
        SIM_LAYOUT_SEGMENT s{};
        s.StartLba = e.Lba;
        s.Blocks = (ULONG)(next.Lba - e.Lba);
        s.BlockSize = blockSize;
        s.TrackNumber = e.Tno;
        s.Audio = (e.Ctl & 0x04) == 0;
        segments.push_back(s);
        indexes.push_back(e.Index);
        forms.push_back(e.Form);
    }
    if (segments.front().StartLba != WritableStart() + kFirstPregap) {
        return InvalidParameter();
    }
    if (!PrepareLayout(segments.data(), (ULONG)segments.size(), true)) {
        return InvalidParameter();
    }
    for (size_t i = 0; i < Plan.size(); i++) {
        Plan[i].Index = indexes[i];
        Plan[i].Form = forms[i];
    }
    return Good();
}

/* RESERVE TRACK on DVD: a track of the given size at the next writable address. */
Outcome _SIM_RECORDER_MODEL::ReserveTrack(SCSI_REQUEST_BLOCK *Srb) {
    const UCHAR *cdb = Srb->Cdb;
    if (!Loaded) {
        return NoMedium();
    }
    if (IsCd()) {
        return SequenceError();
    }
    if (Damaged || Status == DiscStatus::Complete) {
        return CannotWriteMedium();
    }
    ULONG size = Be32(cdb + 5);
    Track *open = OpenTrack();
    if ((cdb[1] & 0x01) || size == 0) {
        return InvalidCdb();
    }
    if (open != nullptr || !Buffer.empty()) {
        return SequenceError();
    }
    LONG start = WritableStart();
    if ((LONGLONG)start + size > (LONGLONG)Capacity) {
        return InvalidCdb();
    }
    if (Params.TestWrite && !TestReservation) {
        BeforeTest = {Status, Sessions, SessionOpen, Tracks, Nwa};
        TestReservation = true;
    }
    if (!SessionOpen) {
        Sessions++;
        SessionOpen = true;
        Status = DiscStatus::Appendable;
    }
    Track t;
    t.Number = Tracks.empty() ? 1 : Tracks.back().Number + 1;
    t.Session = Sessions;
    t.Start = start;
    t.Size = size;
    t.Fixed = true;
    Tracks.push_back(t);
    Plan.clear();
    Nwa = start;
    SaveMeta();
    return Good();
}

Outcome _SIM_RECORDER_MODEL::CloseTrackSession(SCSI_REQUEST_BLOCK *Srb,
                                               std::unique_lock<std::mutex> &Held) {
    const UCHAR *cdb = Srb->Cdb;
    if (!Loaded) {
        return NoMedium();
    }
    UCHAR function = cdb[2] & 0x07;
    bool plus = Profile == 0x001B;
    if (function != 1 && function != 2 && !(plus && (function == 5 || function == 6))) {
        return InvalidCdb();
    }
    (void)WaitDrained(Held);
    if (TestActive) {
        /* a test write ends: the medium is as it was */
        TestActive = false;
        Nwa = TestNwa;
        if (function != 1) {
            Plan.clear();
            EndTestReservation();
        }
        return Good();
    }
    if (function == 1) {
        CloseTrack();
    } else {
        bool finalize = plus ? function != 2 : Params.MultiSession != 3;
        CloseSession(finalize);
    }
    SaveMeta();
    return Good();
}

/* BLANK of a CD-RW (full or minimal): the disc becomes blank at once. */
Outcome _SIM_RECORDER_MODEL::Blank(SCSI_REQUEST_BLOCK *Srb, std::unique_lock<std::mutex> &Held) {
    if (!Loaded) {
        return NoMedium();
    }
    if (Profile != 0x000A) {
        return CannotWriteMedium();
    }
    UCHAR type = Srb->Cdb[1] & 0x07;
    if (type > 1) {
        return InvalidCdb();
    }
    (void)WaitDrained(Held);
    USHORT profile = Profile;
    ULONG capacity = Capacity;
    NewBlankMedium();
    Profile = profile;
    Capacity = capacity;
    TestActive = false;
    if (DiscFd >= 0) {
        (void)ftruncate(DiscFd, 0);
    }
    if (SideFd >= 0) {
        (void)ftruncate(SideFd, 0);
    }
    SaveMeta();
    return Good();
}

/* The write speed asked for in kB/s (0xFFFF: the fastest), bounded by the maximum. */
void _SIM_RECORDER_MODEL::ChooseWriteSpeed(ULONG KiloBytesPerSecond) {
    ULONG multiple;
    if (KiloBytesPerSecond >= 0xFFFF) {
        multiple = MaxSpeedMultiple;
    } else {
        multiple = std::max<ULONG>(KiloBytesPerSecond / OneXKiloBytes(), 1);
        if (MaxSpeedMultiple != 0) {
            multiple = std::min(multiple, MaxSpeedMultiple);
        }
    }
    SetSpeed(multiple);
}

Outcome _SIM_RECORDER_MODEL::SetCdSpeed(SCSI_REQUEST_BLOCK *Srb) {
    ULONG write = Be16(Srb->Cdb + 4);
    ChooseWriteSpeed(write == 0 ? 0xFFFF : write);
    return Good();
}

Outcome _SIM_RECORDER_MODEL::SetStreaming(SCSI_REQUEST_BLOCK *Srb) {
    const UCHAR *cdb = Srb->Cdb;
    ULONG length = Be16(cdb + 9);
    if (cdb[8] != 0) {
        return Good(); /* other descriptor types are accepted and change nothing */
    }
    if (length < 28 || Srb->DataBuffer == nullptr || Srb->DataTransferLength < 28) {
        return CheckCondition(0x05, 0x1A, 0x00);
    }
    const UCHAR *d = static_cast<const UCHAR *>(Srb->DataBuffer);
    ULONG size = Be32(d + 20);
    ULONG time = Be32(d + 24);
    if (time == 0) {
        return InvalidParameter();
    }
    ChooseWriteSpeed((ULONG)std::min<ULONGLONG>((ULONGLONG)size * 1000 / time, 0xFFFE));
    return Good();
}

Outcome _SIM_RECORDER_MODEL::StartStopUnit(SCSI_REQUEST_BLOCK *Srb,
                                           std::unique_lock<std::mutex> &Held) {
    UCHAR flags = Srb->Cdb[4];
    if (!(flags & 0x02)) {
        return Good(); /* start or stop the spindle */
    }
    if (!(flags & 0x01)) {
        if (Prevent) {
            return CheckCondition(0x05, 0x53, 0x02); /* medium removal prevented */
        }
        if (Loaded) {
            (void)WaitDrained(Held);
            Loaded = false;
            TestActive = false;
            MediaEvent = 3; /* media removal */
        }
        return Good();
    }
    if (!Loaded) {
        Loaded = true;
        MediaEvent = 2; /* new media */
        AttentionAsc = 0x28;
        AttentionAscq = 0x00;
    }
    return Good();
}

Outcome _SIM_RECORDER_MODEL::PreventAllow(SCSI_REQUEST_BLOCK *Srb) {
    Prevent = (Srb->Cdb[4] & 0x01) != 0;
    return Good();
}

Outcome _SIM_RECORDER_MODEL::Dispatch(SCSI_REQUEST_BLOCK *Srb, LONGLONG Now,
                                      std::unique_lock<std::mutex> &Held) {
    switch (Srb->Cdb[0]) {
    case 0x00:
        return TestUnitReady(Now);
    case 0x03:
        return RequestSense(Srb, Now);
    case 0x12:
        return Inquiry(Srb);
    case 0x1B:
        return StartStopUnit(Srb, Held);
    case 0x1E:
        return PreventAllow(Srb);
    case 0x25:
        return ReadCapacity(Srb);
    case 0x28:
        return Read10(Srb);
    case 0x2A:
        return Write(Srb, Held);
    case 0x35:
        return SynchronizeCache(Srb, Held);
    case 0x43:
        return ReadToc(Srb);
    case 0x46:
        return GetConfiguration(Srb);
    case 0x4A:
        return GetEventStatus(Srb);
    case 0x51:
        return ReadDiscInformation(Srb);
    case 0x52:
        return ReadTrackInformation(Srb);
    case 0x53:
        return ReserveTrack(Srb);
    case 0x55:
        return ModeSelect(Srb);
    case 0x5A:
        return ModeSense(Srb);
    case 0x5B:
        return CloseTrackSession(Srb, Held);
    case 0x5C:
        return ReadBufferCapacity(Srb, Now);
    case 0x5D:
        return SendCueSheet(Srb);
    case 0xA1:
        return Blank(Srb, Held);
    case 0xB6:
        return SetStreaming(Srb);
    case 0xBB:
        return SetCdSpeed(Srb);
    case 0xBE:
        return ReadCd(Srb);
    default:
        return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_COMMAND, 0);
    }
}
