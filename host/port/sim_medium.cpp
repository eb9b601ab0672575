/*
 * sim_medium.cpp - the simulated recorder's medium: its disc file and metadata file, the drive
 * buffer that drains onto it on the stand-in clock, and the write path (next writable address,
 * block size in force, write-once, resets).
 */
#include "sim_model.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace sim;

namespace {

constexpr ULONG kSideSlot = SIM_MAX_BLOCK_SIZE;

bool WriteAll(int Fd, const void *Buffer, size_t Length, off_t Offset) {
    const UCHAR *p = static_cast<const UCHAR *>(Buffer);
    while (Length > 0) {
        ssize_t n = pwrite(Fd, p, Length, Offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        Length -= (size_t)n;
        Offset += n;
    }
    return true;
}

/* Reads Length bytes; what lies beyond the end of the file reads as zeros. */
bool ReadAll(int Fd, void *Buffer, size_t Length, off_t Offset) {
    UCHAR *p = static_cast<UCHAR *>(Buffer);
    while (Length > 0) {
        ssize_t n = pread(Fd, p, Length, Offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            memset(p, 0, Length);
            return true;
        }
        p += n;
        Length -= (size_t)n;
        Offset += n;
    }
    return true;
}

int OpenAnonymous() {
    const char *dir = getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/simrecorder-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd >= 0) {
        unlink(name.data());
    }
    return fd;
}

const char *StatusName(DiscStatus Status) {
    return Status == DiscStatus::Blank        ? "blank"
           : Status == DiscStatus::Appendable ? "appendable"
                                              : "complete";
}

/* Address where a side-store slot of block Lba starts (the first pre-gap is slot 0). */
off_t SideOffset(LONG Lba) {
    return (off_t)((LONGLONG)Lba - kFirstPregap) * kSideSlot;
}

} // namespace

/* ---- files ---------------------------------------------------------------------------- */

void _SIM_RECORDER_MODEL::NewBlankMedium() {
    SIM_MEDIUM medium = Config.Medium;
    if (medium == SimMediumDefault) {
        medium = Config.Dvd ? SimMediumDvdMinusR : SimMediumCdR;
    }
    Profile = medium == SimMediumCdR         ? 0x0009
              : medium == SimMediumCdRw      ? 0x000A
              : medium == SimMediumDvdMinusR ? 0x0011
                                             : 0x001B;
    Capacity = Config.CapacityBlocks != 0 ? Config.CapacityBlocks
               : IsCd()                   ? SIM_CD80_BLOCKS
                                          : SIM_DVD_BLOCKS;
    Loaded = true;
    Status = DiscStatus::Blank;
    Damaged = false;
    Sessions = 0;
    SessionOpen = false;
    SessionStart = 0;
    Tracks.clear();
    Runs.clear();
    Plan.clear();
    PlanFromCue = false;
    TestReservation = false;
    Nwa = 0;
    EndWritten = 0;
    MetaDirty = true;
}

/*
 * Opens the disc file and reads the medium it holds: its metadata file when there is one, an
 * empty file as a blank medium, any other file as a finalized disc with one 2048-byte data
 * track (an ISO image put into the drive). An absent file is created with a blank medium. The
 * file is never truncated here, and a symbolic link is refused.
 */
bool _SIM_RECORDER_MODEL::OpenMedium(std::string *Error) {
    NewBlankMedium();
    if (DiscPath.empty()) {
        DiscFd = OpenAnonymous();
        if (DiscFd < 0) {
            *Error = "cannot create a temporary disc file";
            return false;
        }
        MetaDirty = false;
        return true;
    }
    DiscFd = open(DiscPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (DiscFd < 0 && errno == ENOENT) {
        DiscFd = open(DiscPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (DiscFd < 0) {
            *Error = "cannot create " + DiscPath;
            return false;
        }
        unlink((DiscPath + ".blocks").c_str());
        SaveMeta();
        return true;
    }
    if (DiscFd < 0) {
        *Error = "cannot open " + DiscPath;
        return false;
    }
    struct stat st;
    if (fstat(DiscFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *Error = DiscPath + " is not a regular file";
        return false;
    }
    if (access((DiscPath + ".meta").c_str(), F_OK) == 0) {
        if (!LoadMeta()) {
            *Error = "cannot read " + DiscPath + ".meta";
            return false;
        }
        return true;
    }
    if (st.st_size > 0) {
        ULONG blocks = (ULONG)std::min<ULONGLONG>(
            ((ULONGLONG)st.st_size + kDataBlock - 1) / kDataBlock, SIM_LARGEST_MEDIUM_BLOCKS);
        Capacity = std::max(Capacity, blocks);
        Track t;
        t.Number = 1;
        t.Session = 1;
        t.Size = t.Recorded = blocks;
        t.Fixed = t.Closed = true;
        Tracks.push_back(t);
        Runs.push_back(Run{0, blocks, kDataBlock});
        Sessions = 1;
        Status = DiscStatus::Complete;
        Nwa = (LONG)blocks;
        EndWritten = blocks;
    }
    SaveMeta();
    return true;
}

bool _SIM_RECORDER_MODEL::LoadMeta() {
    std::ifstream in(DiscPath + ".meta");
    std::string line;
    if (!std::getline(in, line) || line != "cdwsim-medium 1") {
        return false;
    }
    NewBlankMedium();
    MetaDirty = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "profile") {
            words >> std::hex >> Profile >> std::dec;
        } else if (key == "capacity") {
            words >> Capacity;
        } else if (key == "status") {
            std::string s;
            words >> s;
            Status = s == "blank"        ? DiscStatus::Blank
                     : s == "appendable" ? DiscStatus::Appendable
                                         : DiscStatus::Complete;
        } else if (key == "damaged") {
            int d = 0;
            words >> d;
            Damaged = d != 0;
        } else if (key == "sessions") {
            int open = 0;
            words >> Sessions >> open >> SessionStart;
            SessionOpen = open != 0;
        } else if (key == "nwa") {
            words >> Nwa;
        } else if (key == "track") {
            Track t;
            int mode = 0, dataMode = 0, fixed = 0, closed = 0;
            words >> t.Number >> t.Session >> t.Start >> t.Size >> t.Recorded >> mode >> dataMode >>
                fixed >> closed;
            t.Mode = (UCHAR)mode;
            t.DataMode = (UCHAR)dataMode;
            t.Fixed = fixed != 0;
            t.Closed = closed != 0;
            Tracks.push_back(t);
        } else if (key == "run") {
            Run r{};
            words >> r.Start >> r.Count >> r.Size;
            if (r.Count == 0 || r.Size == 0 || r.Size > SIM_MAX_BLOCK_SIZE) {
                return false;
            }
            Runs.push_back(r);
        }
        if (words.fail()) {
            return false;
        }
    }
    if (Profile != 0x0009 && Profile != 0x000A && Profile != 0x0011 && Profile != 0x001B) {
        return false;
    }
    EndWritten = (ULONG)std::max<LONG>(RecordedEnd(), 0);
    return true;
}

/* Writes the metadata file beside the disc file (a new file renamed over the old one). */
void _SIM_RECORDER_MODEL::SaveMeta() {
    MetaDirty = false;
    if (DiscPath.empty() || TestReservation) {
        return; /* a test write's reservation never reaches the medium */
    }
    std::ostringstream out;
    out << "cdwsim-medium 1\n";
    char profile[16];
    snprintf(profile, sizeof(profile), "0x%04X", Profile);
    out << "profile " << profile << "\n";
    out << "capacity " << Capacity << "\n";
    out << "status " << StatusName(Status) << "\n";
    out << "damaged " << (Damaged ? 1 : 0) << "\n";
    out << "sessions " << Sessions << " " << (SessionOpen ? 1 : 0) << " " << SessionStart << "\n";
    out << "nwa " << Nwa << "\n";
    for (const Track &t : Tracks) {
        out << "track " << t.Number << " " << t.Session << " " << t.Start << " " << t.Size << " "
            << t.Recorded << " " << (int)t.Mode << " " << (int)t.DataMode << " "
            << (t.Fixed ? 1 : 0) << " " << (t.Closed ? 1 : 0) << "\n";
    }
    for (const Run &r : Runs) {
        out << "run " << r.Start << " " << r.Count << " " << r.Size << "\n";
    }
    std::string temp = DiscPath + ".meta.new";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    std::string text = out.str();
    bool ok = WriteAll(fd, text.data(), text.size(), 0);
    close(fd);
    if (ok) {
        (void)rename(temp.c_str(), (DiscPath + ".meta").c_str());
    } else {
        unlink(temp.c_str());
    }
}

void _SIM_RECORDER_MODEL::CloseFiles() {
    if (MetaDirty) {
        SaveMeta();
    }
    if (DiscFd >= 0) {
        close(DiscFd);
        DiscFd = -1;
    }
    if (SideFd >= 0) {
        close(SideFd);
        SideFd = -1;
    }
}

/* ---- blocks on the medium ------------------------------------------------------------- */

/* Count consecutive blocks of one size from Lba on, all at or all below block 0: 2048-byte
   blocks at or after block 0 go into the disc file in one write, the others into their slots
   of the side file. */
bool _SIM_RECORDER_MODEL::CommitBlocks(LONG Lba, ULONG Count, ULONG Size, const UCHAR *Data) {
    if (Size == kDataBlock && Lba >= 0) {
        if (!WriteAll(DiscFd, Data, (size_t)Count * Size, (off_t)Lba * kDataBlock)) {
            return false;
        }
    } else {
        if (SideFd < 0) {
            SideFd = DiscPath.empty() ? OpenAnonymous()
                                      : open((DiscPath + ".blocks").c_str(),
                                             O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (SideFd < 0) {
                return false;
            }
        }
        for (ULONG i = 0; i < Count; i++) {
            if (!WriteAll(SideFd, Data + (size_t)i * Size, Size, SideOffset(Lba + (LONG)i))) {
                return false;
            }
        }
    }
    if (!Runs.empty() && Runs.back().Start + (LONG)Runs.back().Count == Lba &&
        Runs.back().Size == Size) {
        Runs.back().Count += Count;
    } else {
        Runs.push_back(Run{Lba, Count, Size});
    }
    const LONG end = Lba + (LONG)Count;
    for (Track &t : Tracks) {
        LONG last = std::min(end, t.Start + (LONG)t.Size) - 1;
        if (last >= std::max(Lba, t.Start)) {
            t.Recorded = std::max<ULONG>(t.Recorded, (ULONG)(last - t.Start + 1));
        }
    }
    MetaDirty = true;
    return true;
}

ULONG _SIM_RECORDER_MODEL::StoredSize(LONG Lba) const {
    auto it = std::upper_bound(Runs.begin(), Runs.end(), Lba,
                               [](LONG a, const Run &r) { return a < r.Start; });
    if (it == Runs.begin()) {
        return 0;
    }
    --it;
    return Lba < it->Start + (LONG)it->Count ? it->Size : 0;
}

bool _SIM_RECORDER_MODEL::LoadBlock(LONG Lba, UCHAR *Buffer, ULONG Size) {
    ULONG stored = StoredSize(Lba);
    if (stored == 0) {
        memset(Buffer, 0, Size);
        return true;
    }
    if (stored == kDataBlock && Lba >= 0) {
        return ReadAll(DiscFd, Buffer, Size, (off_t)Lba * kDataBlock);
    }
    if (SideFd < 0 && !DiscPath.empty()) {
        SideFd = open((DiscPath + ".blocks").c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    }
    if (SideFd < 0) {
        memset(Buffer, 0, Size);
        return true;
    }
    return ReadAll(SideFd, Buffer, Size, SideOffset(Lba));
}

LONG _SIM_RECORDER_MODEL::RecordedEnd() const {
    return Runs.empty() ? 0 : Runs.back().Start + (LONG)Runs.back().Count;
}

/* ---- drive buffer --------------------------------------------------------------------- */

ULONG _SIM_RECORDER_MODEL::LevelAt(LONGLONG Now) const {
    if (Rate == 0 || Now <= LastTime) {
        return Rate == 0 ? 0 : Level;
    }
    unsigned __int128 drained =
        (unsigned __int128)Rate * (ULONGLONG)(Now - LastTime) / kTicksPerSecond;
    return drained >= Level ? 0 : Level - (ULONG)drained;
}

LONGLONG _SIM_RECORDER_MODEL::EmptyTime() const {
    if (Rate == 0) {
        return LastTime;
    }
    unsigned __int128 ticks = ((unsigned __int128)Level * kTicksPerSecond + Rate - 1) / Rate;
    return LastTime + (LONGLONG)ticks;
}

/* The moment Bytes more fit into the buffer. */
LONGLONG _SIM_RECORDER_MODEL::RoomTime(ULONG Bytes) const {
    if (Rate == 0 || Bytes >= Config.BufferBytes) {
        return EmptyTime();
    }
    ULONGLONG need = (ULONGLONG)Level + Bytes;
    if (need <= Config.BufferBytes) {
        return LastTime;
    }
    need -= Config.BufferBytes;
    unsigned __int128 ticks = ((unsigned __int128)need * kTicksPerSecond + Rate - 1) / Rate;
    return LastTime + (LONGLONG)ticks;
}

bool _SIM_RECORDER_MODEL::HasRoom(ULONG Bytes, LONGLONG Now) const {
    ULONG level = LevelAt(Now);
    return level == 0 || (ULONGLONG)level + Bytes <= Config.BufferBytes;
}

void _SIM_RECORDER_MODEL::SetSpeed(ULONG Multiple) {
    LONGLONG now = HostClockNow();
    Drain(now);
    Level = LevelAt(now);
    LastTime = now;
    SpeedMultiple = Multiple;
    Config.SpeedMultiple = Multiple;
    Rate = (ULONGLONG)Multiple *
           (IsCd() && !Config.Dvd ? SIM_CD_1X_BYTES_PER_SECOND : SIM_DVD_1X_BYTES_PER_SECOND);
    if (Rate == 0) {
        Level = 0;
        Drain(now);
    }
}

/* Puts every block the buffer has drained past onto the medium (a test write's blocks go
   nowhere). */
void _SIM_RECORDER_MODEL::Drain(LONGLONG Now) {
    ULONGLONG drained = InBytes - LevelAt(Now);
    while (!Buffer.empty()) {
        Pending &p = Buffer.front();
        ULONGLONG position = p.EndMark - p.Data.size();
        size_t offset = 0;
        for (ULONG i = 0; i < p.Committed; i++) {
            offset += p.Sizes[i];
        }
        while (p.Committed < p.Sizes.size()) {
            ULONG size = p.Sizes[p.Committed];
            if (position + offset + size > drained) {
                return;
            }
            /* The drained blocks of one size on one side of block 0 go down together. */
            LONG lba = p.Lba + (LONG)p.Committed;
            ULONG count = 1;
            size_t bytes = size;
            while (p.Committed + count < p.Sizes.size() && p.Sizes[p.Committed + count] == size &&
                   (lba + (LONG)count >= 0) == (lba >= 0) &&
                   position + offset + bytes + size <= drained) {
                bytes += size;
                count++;
            }
            if (!p.Test) {
                (void)CommitBlocks(lba, count, size, p.Data.data() + offset);
            }
            offset += bytes;
            p.Committed += count;
        }
        Buffer.pop_front();
    }
    if (CloseAtDrain) {
        EndPlannedSession();
    }
}

/* The end of a test write that reserved a track: the medium is as it was before. */
void _SIM_RECORDER_MODEL::EndTestReservation() {
    if (!TestReservation) {
        return;
    }
    TestReservation = false;
    Status = BeforeTest.Status;
    Sessions = BeforeTest.Sessions;
    SessionOpen = BeforeTest.SessionOpen;
    Tracks = BeforeTest.Tracks;
    Nwa = BeforeTest.Nwa;
    MetaDirty = false;
}

/*
 * After SYNCHRONIZE CACHE, once the buffer is empty: a session at once (CD) or disc at once
 * (DVD-R) written to its last planned block ends, as the recorder writes the lead-out and
 * closes the session (the disc, unless page 05 leaves a CD open for another session; disc at
 * once on a DVD-R always closes it). A test write ends the same way, the medium as it was.
 */
void _SIM_RECORDER_MODEL::EndPlannedSession() {
    if (!Buffer.empty()) {
        return;
    }
    CloseAtDrain = false;
    if (!Loaded || Params.WriteType != 2) {
        return;
    }
    LONG end;
    const Track *open = OpenTrack();
    if (!Plan.empty()) {
        end = Plan.back().Start + (LONG)Plan.back().Count;
    } else if (!IsCd() && open != nullptr && open->Fixed) {
        end = open->Start + (LONG)open->Size; /* the reserved track of disc at once */
    } else {
        return;
    }
    if (TestActive && Nwa >= end) {
        TestActive = false;
        Nwa = TestNwa;
        Plan.clear();
        EndTestReservation();
    } else if (!TestActive && RecordedEnd() >= end) {
        CloseSession(!IsCd() || Params.MultiSession != 3);
        SaveMeta();
    }
}

/* A reset that cuts the recorder's power: what the buffer still holds never reaches the
   medium, and the next writable address goes back to the first block not on it. */
void _SIM_RECORDER_MODEL::LoseBuffer() {
    LONGLONG now = HostClockNow();
    Drain(now);
    bool lost = !Buffer.empty();
    Buffer.clear();
    Level = 0;
    LastTime = now;
    InBytes = 0;
    Recording = false;
    PendingRoom = 0;
    if (!lost) {
        return;
    }
    /* The session's tracks end where the medium ends. */
    LONG end = RecordedEnd();
    Track *open = OpenTrack();
    if (open != nullptr && !open->Fixed) {
        open->Size = open->Recorded;
        if (open->Size == 0) {
            Tracks.pop_back();
        }
    }
    if (Status != DiscStatus::Blank && SessionOpen) {
        bool any = false;
        for (const Track &t : Tracks) {
            any = any || t.Session == Sessions;
        }
        if (!any) {
            Sessions--;
            SessionOpen = false;
            Status = Sessions == 0 ? DiscStatus::Blank : DiscStatus::Appendable;
        }
    }
    if (SessionOpen) {
        Track *t = OpenTrack();
        Nwa = std::max(end, t != nullptr ? t->Start : SessionStart);
    } else {
        Nwa = SessionStart;
    }
    MetaDirty = true;
}

void _SIM_RECORDER_MODEL::PowerOnReset() {
    LoseBuffer();
    Params = WriteParameters();
    Params.Bufe = Config.UnderrunProtection != FALSE;
    Protection = Params.Bufe;
    Plan.clear();
    PlanFromCue = false;
    PlanTracksMade = false;
    if (TestActive) {
        TestActive = false;
        Nwa = TestNwa;
    }
    EndTestReservation();
    if (MetaDirty) {
        SaveMeta();
    }
}

/* Waits, without the lock, until the buffer has drained onto the medium. */
Outcome _SIM_RECORDER_MODEL::WaitDrained(std::unique_lock<std::mutex> &Held) {
    for (;;) {
        LONGLONG now = HostClockNow();
        Drain(now);
        if (LevelAt(now) == 0) {
            break;
        }
        LONGLONG wait = std::max<LONGLONG>(EmptyTime() - now, 1);
        Held.unlock();
        LARGE_INTEGER interval;
        interval.QuadPart = -wait;
        (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
        Held.lock();
    }
    Drain(HostClockNow());
    if (Params.TestWrite && !Buffer.empty()) {
        Buffer.clear();
    }
    Recording = false;
    PendingRoom = 0;
    if (MetaDirty) {
        SaveMeta();
    }
    return Good();
}

/* ---- tracks and sessions -------------------------------------------------------------- */

Track *_SIM_RECORDER_MODEL::OpenTrack() {
    if (Tracks.empty() || Tracks.back().Closed || !SessionOpen ||
        Tracks.back().Session != Sessions) {
        return nullptr;
    }
    for (Track &t : Tracks) {
        if (t.Session == Sessions && !t.Closed &&
            (!t.Fixed || t.Recorded < t.Size || &t == &Tracks.back())) {
            return &t;
        }
    }
    return &Tracks.back();
}

LONG _SIM_RECORDER_MODEL::WritableStart() const {
    return SessionOpen ? Nwa : SessionStart;
}

void _SIM_RECORDER_MODEL::CloseTrack() {
    for (Track &t : Tracks) {
        if (t.Session == Sessions && SessionOpen && !t.Closed) {
            if (!t.Fixed) {
                t.Size = t.Recorded;
            }
            t.Closed = true;
            break;
        }
    }
    MetaDirty = true;
}

void _SIM_RECORDER_MODEL::CloseSession(bool Finalize) {
    if (!SessionOpen) {
        return;
    }
    for (Track &t : Tracks) {
        if (t.Session == Sessions && !t.Closed) {
            if (!t.Fixed) {
                t.Size = t.Recorded;
            }
            t.Closed = true;
        }
    }
    SessionOpen = false;
    PlanTracksMade = false;
    LONG end = RecordedEnd();
    if (IsCd()) {
        /* lead-out (90 s after the first session, 30 s after later ones), the next lead-in
           (60 s) and the next first track's pre-gap (2 s) */
        SessionStart = end + (Sessions == 1 ? 6750 : 2250) + 4500 + 150;
    } else {
        SessionStart = (end + 15) / 16 * 16;
    }
    Status =
        Finalize || SessionStart >= (LONG)Capacity ? DiscStatus::Complete : DiscStatus::Appendable;
    Nwa = SessionStart;
    Plan.clear();
    PlanFromCue = false;
    MetaDirty = true;
}

/* Sets up a layout as a cue sheet or a reservation does; see HostSimPrepareLayout. */
bool _SIM_RECORDER_MODEL::PrepareLayout(const SIM_LAYOUT_SEGMENT *Segments, ULONG Count,
                                        bool FromCue) {
    if (!Loaded || Count == 0 || Damaged || Status == DiscStatus::Complete || !Buffer.empty()) {
        return false;
    }
    if (SessionOpen && OpenTrack() != nullptr && OpenTrack()->Recorded != 0) {
        /* a session in the middle of its tracks takes no new layout */
        return false;
    }
    LONG earliest = WritableStart() + (IsCd() ? kFirstPregap : 0);
    LONG at = Segments[0].StartLba;
    if (at < earliest) {
        return false;
    }
    std::vector<Segment> plan;
    for (ULONG i = 0; i < Count; i++) {
        const SIM_LAYOUT_SEGMENT &s = Segments[i];
        if (s.StartLba != at || s.Blocks == 0 || s.BlockSize == 0 ||
            s.BlockSize > SIM_MAX_BLOCK_SIZE || s.TrackNumber == 0 ||
            (i > 0 && s.TrackNumber < Segments[i - 1].TrackNumber)) {
            return false;
        }
        plan.push_back(
            Segment{s.StartLba, s.Blocks, s.BlockSize, s.TrackNumber, 1, s.Audio != 0, 0});
        at += (LONG)s.Blocks;
    }
    if (at > (LONG)Capacity) {
        return false;
    }
    Plan = plan;
    PlanFromCue = FromCue;
    PlanTracksMade = false;
    Params.WriteType = 2;
    Nwa = Segments[0].StartLba;
    return true;
}

/* ---- WRITE(10) ------------------------------------------------------------------------ */

/* Block size the recorder takes at Lba under the write parameters and the layout in force; 0
   when no block may be written there. */
ULONG _SIM_RECORDER_MODEL::SizeInForce(LONG Lba, const Segment **Seg) const {
    *Seg = nullptr;
    if (!Plan.empty()) {
        for (const Segment &s : Plan) {
            if (Lba >= s.Start && Lba < s.Start + (LONG)s.Count) {
                *Seg = &s;
                return s.Size;
            }
        }
        return 0;
    }
    if (IsDvd()) {
        return kDataBlock;
    }
    switch (Params.DataBlockType) {
    case 0:
        return 2352;
    case 1:
        return 2368;
    case 2:
    case 3:
        return 2448;
    case 8:
    case 10:
        return 2048;
    case 9:
        return 2336;
    case 11:
        return 2056;
    case 12:
        return 2324;
    case 13:
        return 2332;
    default:
        return 0;
    }
}

Outcome _SIM_RECORDER_MODEL::Write(SCSI_REQUEST_BLOCK *Srb, std::unique_lock<std::mutex> &Held) {
    const UCHAR *cdb = Srb->Cdb;
    if (Srb->CdbLength < 10) {
        return InvalidCdb();
    }
    const LONG lba = (LONG)Be32(cdb + 2);
    const ULONG blocks = Be16(cdb + 7);
    const ULONG length = Srb->DataTransferLength;
    for (;;) {
        LONGLONG now = HostClockNow();
        Drain(now);
        if (!Loaded) {
            return NoMedium();
        }
        if (blocks == 0) {
            return Good();
        }
        if (Damaged || Status == DiscStatus::Complete) {
            return CannotWriteMedium();
        }
        /* What the write parameters allow on this medium. */
        if (Profile != 0x001B && Plan.empty()) {
            if (Params.WriteType > 2 || (IsCd() && Params.WriteType == 0) ||
                (Profile == 0x0011 && Params.WriteType == 1)) {
                return IllegalMode();
            }
            if (Params.WriteType == 2) {
                Track *open = OpenTrack();
                if (IsCd() || open == nullptr || !open->Fixed) {
                    return SequenceError(); /* session-at-once without cue sheet/reservation */
                }
            }
        }
        if (lba != Nwa) {
            return InvalidWriteAddress();
        }
        if ((LONGLONG)lba + blocks > (LONGLONG)Capacity) {
            return OutOfRange();
        }
        Track *open = OpenTrack();
        if (Plan.empty() && open != nullptr && open->Fixed &&
            (LONGLONG)lba + blocks > (LONGLONG)open->Start + open->Size) {
            return InvalidWriteAddress(); /* beyond the reserved track */
        }
        std::vector<ULONG> sizes(blocks);
        ULONGLONG expected = 0;
        for (ULONG i = 0; i < blocks; i++) {
            const Segment *seg = nullptr;
            sizes[i] = SizeInForce(lba + (LONG)i, &seg);
            if (sizes[i] == 0) {
                return Plan.empty() ? IllegalMode() : InvalidWriteAddress();
            }
            expected += sizes[i];
        }
        if (Srb->DataBuffer == nullptr || expected != length) {
            return InvalidCdb();
        }
        ULONG level = LevelAt(now);
        if (Recording && Rate != 0 && level == 0 && now > EmptyTime()) {
            if (Counters.Underruns++ == 0) {
                Counters.FirstUnderrunLba = (ULONG)lba;
                Counters.FirstUnderrunEmptyTime = EmptyTime();
                Counters.FirstUnderrunTime = now;
            }
            if (!Protection) {
                Recording = false;
                Level = 0;
                LastTime = now;
                if (!Params.TestWrite) {
                    Damaged = true;
                    SaveMeta();
                }
                return CheckCondition(SCSI_SENSE_MEDIUM_ERROR, SCSI_ADSENSE_WRITE_ERROR,
                                      SCSI_SENSEQ_LOSS_OF_STREAMING);
            }
        }
        if (Rate != 0 && level != 0 && (ULONGLONG)level + length > Config.BufferBytes) {
            if (Config.FullBuffer == SimFullBufferHold) {
                LONGLONG wait = std::max<LONGLONG>(RoomTime(length) - now, 1);
                Held.unlock();
                LARGE_INTEGER interval;
                interval.QuadPart = -wait;
                (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
                Held.lock();
                continue; /* everything may have changed meanwhile */
            }
            PendingRoom = length;
            Counters.NotReadyAnswers++;
            return CheckCondition(SCSI_SENSE_NOT_READY, SCSI_ADSENSE_LUN_NOT_READY,
                                  SCSI_SENSEQ_LONG_WRITE_IN_PROGRESS);
        }

        /* Accepted: the session and track begin with the first block that is not a test. */
        if (!Params.TestWrite) {
            if (!SessionOpen) {
                Sessions++;
                SessionOpen = true;
                Status = DiscStatus::Appendable;
            }
            if (!Plan.empty() && !PlanTracksMade) {
                ULONG number = Tracks.empty() ? 0 : Tracks.back().Number;
                UCHAR previous = 0;
                for (const Segment &s : Plan) {
                    if (s.Track != previous) {
                        Track t;
                        t.Number = ++number;
                        t.Session = Sessions;
                        t.Start = s.Start;
                        t.Mode = s.Audio ? 0 : 4;
                        t.DataMode = s.Audio ? 0x0F : (s.Size == 2048 ? 1 : 2);
                        t.Fixed = true;
                        Tracks.push_back(t);
                        previous = s.Track;
                    }
                    Track &t = Tracks.back();
                    if (s.Index == 0 && t.Size == 0) {
                        t.Start = s.Start + (LONG)s.Count; /* the pre-gap precedes index 1 */
                    } else {
                        t.Size += s.Count;
                    }
                }
                PlanTracksMade = true;
            } else if (OpenTrack() == nullptr) {
                Track t;
                t.Number = Tracks.empty() ? 1 : Tracks.back().Number + 1;
                t.Session = Sessions;
                t.Start = lba;
                t.Mode = IsCd() ? (UCHAR)(Params.TrackMode & 0x0D) : 4;
                t.DataMode = t.Mode & 0x04 ? (Params.DataBlockType == 8 ? 1 : 2) : 0x0F;
                Tracks.push_back(t);
            }
            Track *t = OpenTrack();
            if (t != nullptr && !t->Fixed) {
                t->Size = (ULONG)(lba + (LONG)blocks - t->Start);
            }
            MetaDirty = true;
        }
        if (Recording) {
            Counters.MinFill = std::min(Counters.MinFill, level);
        }
        CloseAtDrain = false;
        if (Params.TestWrite && !TestActive) {
            TestActive = true;
            TestNwa = Nwa;
        }
        InBytes += length;
        if (Rate == 0 && Buffer.empty()) {
            /* Speed 0 drains at once: the blocks go onto the medium from the command's data. */
            const UCHAR *data = static_cast<const UCHAR *>(Srb->DataBuffer);
            for (ULONG i = 0; i < blocks && !Params.TestWrite;) {
                ULONG count = 1;
                while (i + count < blocks && sizes[i + count] == sizes[i] &&
                       (lba + (LONG)(i + count) >= 0) == (lba + (LONG)i >= 0)) {
                    count++;
                }
                (void)CommitBlocks(lba + (LONG)i, count, sizes[i], data);
                data += (size_t)count * sizes[i];
                i += count;
            }
        } else {
            Pending p;
            p.Lba = lba;
            p.Sizes = std::move(sizes);
            p.Data.assign(static_cast<const UCHAR *>(Srb->DataBuffer),
                          static_cast<const UCHAR *>(Srb->DataBuffer) + length);
            p.EndMark = InBytes;
            p.Test = Params.TestWrite;
            Buffer.push_back(std::move(p));
        }
        Nwa = lba + (LONG)blocks;
        if (lba >= 0) {
            EndWritten = std::max(EndWritten, (ULONG)(lba + (LONG)blocks));
        }
        Recording = true;
        PendingRoom = 0;
        Counters.Writes++;
        Counters.BytesWritten += length;
        if (Rate != 0) {
            Level = level + length;
            LastTime = now;
            Counters.MaxFill = std::max(Counters.MaxFill, Level);
        }
        Drain(now);
        return Good(length);
    }
}
