/*
 * soak_test.cpp - seeded recordings under the faults a real recorder shows, with cancels and
 * plug-and-play sequences at random points. Each seed picks the ring size (16 or 96), the
 * drive speed, slow or fast image reads, the image, up to three faults of the simulated
 * recorder, and at most one cancel or plug-and-play sequence at a point of the recording's
 * progress. Every run must end with a documented status; on COMPLETE the disc equals the
 * image, otherwise every block written equals the image at its address; both threads rest or
 * have ended; the unload leaves nothing; and a second run of the same seed ends the same way.
 *
 * The seeds: CDW_SOAK_FIRST (default 1) and CDW_SOAK_COUNT (default 300);
 * tests/soak/run.sh long runs thousands. A failing seed is printed as "soak seed N: ...";
 * CDW_SOAK_FIRST=N CDW_SOAK_COUNT=1 repeats it alone.
 */
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "driver_harness.h"
#include "recorder_setup.h"
#include "recording_scenario.h"

namespace {

const LONGLONG kMs = 10000;

enum class Event { None, Cancel, QueryRemoveRemove, QueryRemoveCancel, SurpriseRemove, StopStart };

const char *EventName(Event E) {
    switch (E) {
    case Event::Cancel:
        return "cancel";
    case Event::QueryRemoveRemove:
        return "query-remove, remove";
    case Event::QueryRemoveCancel:
        return "query-remove, cancel-remove";
    case Event::SurpriseRemove:
        return "surprise removal, remove";
    case Event::StopStart:
        return "stop, start";
    default:
        return "none";
    }
}

/* What one seed does. */
struct Plan {
    ULONG Ring;
    ULONG Speed;
    LONGLONG ReadDelay;
    ULONG Blocks;
    std::vector<SIM_FAULT> Faults;
    Event What = Event::None;
    ULONG AtWrites = 0; /* the event comes once the recorder accepted this many writes */
    std::string Text;
};

SIM_FAULT SenseFault(ULONG Block, UCHAR Key, UCHAR Asc, UCHAR Ascq, ULONG Repeat) {
    SIM_FAULT fault;
    HostSimInitFault(&fault, SimFaultAtBlock, SimFaultSense);
    fault.BlockAddress = Block;
    fault.SenseKey = Key;
    fault.Asc = Asc;
    fault.Ascq = Ascq;
    fault.RepeatCount = Repeat;
    return fault;
}

Plan MakePlan(uint32_t Seed) {
    std::mt19937 random(Seed);
    auto pick = [&](ULONG Count) { return (ULONG)(random() % Count); };
    Plan plan;
    plan.Ring = pick(2) ? 96 : 16;
    const ULONG speeds[] = {0, 4, 16, 48};
    plan.Speed = speeds[pick(4)];
    plan.ReadDelay = pick(2) ? (LONGLONG)(1 + pick(40)) * kMs : 0;
    plan.Blocks = 40 + pick(600);
    const ULONG faults = pick(4);
    for (ULONG i = 0; i < faults; i++) {
        const ULONG block = pick(plan.Blocks);
        SIM_FAULT fault;
        /* Sense faults of the set that fire once: loss of streaming, write error, invalid
         * address, invalid field, no medium, medium changed, reset. */
        static const UCHAR kSenseOnce[7][3] = {
            {0x03, 0x0C, 0x09}, {0x03, 0x0C, 0x00}, {0x05, 0x21, 0x02}, {0x05, 0x24, 0x00},
            {0x02, 0x3A, 0x00}, {0x06, 0x28, 0x00}, {0x06, 0x29, 0x00}};
        const ULONG kind = pick(13);
        switch (kind) {
        case 0:
            fault = SenseFault(block, 0x02, 0x04, 0x08, 1 + pick(5));
            break;
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
        case 7: {
            const UCHAR *sense = kSenseOnce[kind - 1];
            fault = SenseFault(block, sense[0], sense[1], sense[2], 1);
            break;
        }
        case 8:
        case 9: /* SRB time-out, selection time-out */
            HostSimInitFault(&fault, SimFaultAtBlock, SimFaultSrbStatus);
            fault.BlockAddress = block;
            fault.SrbStatus = pick(2) ? SRB_STATUS_TIMEOUT : SRB_STATUS_SELECTION_TIMEOUT;
            break;
        case 10: /* a bus reset keeps the drive buffer, a power-on reset loses it */
            HostSimInitFault(&fault, SimFaultAtBlock,
                             pick(2) ? SimFaultBusReset : SimFaultPowerOnReset);
            fault.BlockAddress = block;
            break;
        default:
            HostSimInitFault(&fault, SimFaultAtBlock, SimFaultDataOverrun);
            fault.BlockAddress = block;
            fault.TransferredLength = 2048 * pick(4);
            break;
        }
        plan.Faults.push_back(fault);
    }
    if (pick(5) < 2) {
        plan.What = static_cast<Event>(1 + pick(5));
        plan.AtWrites = pick(plan.Blocks / 16 + 2);
    }
    std::ostringstream text;
    text << "ring " << plan.Ring << ", speed " << plan.Speed << "x, read delay "
         << plan.ReadDelay / kMs << " ms, " << plan.Blocks << " blocks, faults:";
    for (const SIM_FAULT &fault : plan.Faults) {
        text << " [kind " << fault.Kind << " at " << fault.BlockAddress << " " << std::hex
             << (int)fault.SenseKey << "/" << (int)fault.Asc << "/" << (int)fault.Ascq << " srb "
             << (int)fault.SrbStatus << std::dec << "]";
    }
    text << ", event: " << EventName(plan.What);
    if (plan.What != Event::None) {
        text << " after " << plan.AtWrites << " writes";
    }
    plan.Text = text.str();
    return plan;
}

/* How a run ended: what a second run of the seed must repeat. */
struct Outcome {
    std::string Status; /* final status, or "removed" */
    ULONG BlocksWritten = 0;
    ULONG DiscBlocks = 0;
    bool operator==(const Outcome &Other) const {
        return Status == Other.Status && BlocksWritten == Other.BlocksWritten &&
               DiscBlocks == Other.DiscBlocks;
    }
};

std::ostream &operator<<(std::ostream &Out, const Outcome &O) {
    return Out << O.Status << ", " << O.BlocksWritten << " blocks counted, " << O.DiscBlocks
               << " on the disc";
}

class Soak : public DriverHarness {
protected:
    Soak() { LoadDriverInSetUp = false; }

    /* One seed, one life of the driver; problems go to Problems. */
    Outcome RunSeed(uint32_t Seed, const Plan &P, std::ostringstream &Problems) {
        Outcome outcome;
        const std::vector<UCHAR> image = ImageBytes(Seed, P.Blocks);
        const std::string name = "soak" + std::to_string(Seed) + ".iso";
        WriteFile(name, image);
        HostSetFileReadDelay(P.ReadDelay);
        ClearLog();

        FreshDriverImage();
        if (!NT_SUCCESS(LoadDriver(nullptr))) {
            Problems << "DriverEntry failed\n";
            return outcome;
        }
        SIM_RECORDER_CONFIG config = RecorderConfig();
        config.SpeedMultiple = P.Speed;
        config.LogCapacity = 0;
        Unit *unit = PlugRecorder(config);
        PSIM_RECORDER sim = unit->Sim;
        for (const SIM_FAULT &fault : P.Faults) {
            (void)HostSimAddFault(sim, &fault);
        }
        HANDLE handle = OpenRecorder();
        PWriterExtension ext = CdwWriterExtension(unit->Fdo);
        uint32_t count = P.Ring;
        if (!NT_SUCCESS(
                Ioctl(handle, IOCTL_RECORDER_ALLOCATE_CACHE, &count, 4, &count, 4).Status)) {
            Problems << "cache allocation failed\n";
        }
        std::vector<UCHAR> request = OneTrackRecordRequest("\\??\\D:\\" + name, P.Blocks);
        UCHAR out[8];
        const NTSTATUS started = Ioctl(handle, IOCTL_RECORDER_RECORD_DISC, request.data(),
                                       (ULONG)request.size(), out, sizeof(out))
                                     .Status;
        if (started != STATUS_SUCCESS) {
            Problems << "record request failed 0x" << std::hex << started << std::dec << "\n";
        }

        bool removed = false;
        if (P.What != Event::None) {
            removed = RunEvent(P, unit, handle, ext, Problems);
        }
        if (!removed) {
            if (!WaitRecordingIdle(ext, 3600)) {
                Problems << "the recording never ended\n" << HostSchedulerReport();
                return outcome;
            }
            RecordingState state = ReadRecordingState(ext);
            outcome.Status = std::to_string(state.RecordingStatus);
            outcome.BlocksWritten = state.BlocksWritten;
            if (!DocumentedFinalStatus(state.RecordingStatus)) {
                Problems << "undocumented final status " << state.RecordingStatus << "\n";
            }
        } else {
            outcome.Status = "removed";
        }

        /* The disc, once the application's flush has drained the recorder: every written
           block is the image's; a completed recording wrote all. */
        SynchronizeRecorder(sim);
        SIM_RECORDER_COUNTERS counters;
        HostSimGetCounters(sim, &counters);
        outcome.DiscBlocks = counters.BlocksWritten;
        std::vector<UCHAR> block(SIM_MAX_BLOCK_SIZE);
        for (ULONG lba = 0; lba < counters.BlocksWritten; lba++) {
            ULONG size = HostSimReadBlock(sim, lba, block.data(), (ULONG)block.size());
            if (size == 0) {
                continue;
            }
            if (size != 2048 || lba >= P.Blocks ||
                memcmp(block.data(), image.data() + (size_t)lba * 2048, 2048) != 0) {
                Problems << "disc block " << lba << " is not the image's\n";
                break;
            }
        }
        if (outcome.Status == std::to_string(RECSTAT_COMPLETE)) {
            for (ULONG lba = 0; lba < P.Blocks; lba++) {
                if (HostSimReadBlock(sim, lba, block.data(), (ULONG)block.size()) != 2048) {
                    Problems << "COMPLETE but disc block " << lba << " was never written\n";
                    break;
                }
            }
        }

        if (!removed) {
            if (P.What != Event::QueryRemoveRemove && P.What != Event::QueryRemoveCancel) {
                (void)Close(handle);
            }
            (void)RemoveUnit(unit);
        }
        if (HostThreadsAlive() != 0) {
            Problems << "recording threads still alive after the removal\n"
                     << HostSystemThreadsReport();
        }
        if (!UnloadDriver()) {
            Problems << "unload left something behind:\n" << UnloadReport;
        }
        HostSetFileReadDelay(0);
        unlink((ScratchDir() + "/" + name).c_str());
        return outcome;
    }

    /* Waits for the event's point, then runs it; returns whether the unit is gone. */
    bool RunEvent(const Plan &P, Unit *U, HANDLE Handle, PWriterExtension Ext,
                  std::ostringstream &Problems) {
        /* The point is judged only after the clock moved: the clock moves when every thread
         * waits, so the pipeline then stands at a point that follows from the seed, not from
         * the host's scheduling. The odd period keeps the test's wake-ups off the round
         * deadlines of the driver's own waits. */
        const LONGLONG end = HostClockNow() + 3600LL * 1000 * kMs;
        for (;;) {
            LARGE_INTEGER period;
            period.QuadPart = -(7 * kMs + 3001);
            (void)KeDelayExecutionThread(KernelMode, FALSE, &period);
            SIM_RECORDER_COUNTERS counters;
            HostSimGetCounters(U->Sim, &counters);
            RecordingState state = ReadRecordingState(Ext);
            if (counters.Writes >= P.AtWrites || state.RecordingStatus != RECSTAT_IN_PROCESS ||
                HostClockNow() > end) {
                break;
            }
        }
        switch (P.What) {
        case Event::Cancel: {
            RECORDING_STATUS in = {}, out = {};
            in.bCancel = 1;
            if (!NT_SUCCESS(Ioctl(Handle, IOCTL_RECORDER_RECORDING_STATUS, &in, sizeof(in), &out,
                                  sizeof(out))
                                .Status)) {
                Problems << "cancel request failed\n";
            }
            return false;
        }
        case Event::QueryRemoveRemove:
            /* The application closes its handle when told of the query, as it should. */
            (void)Close(Handle);
            if (NT_SUCCESS(QueryRemoveUnit(U))) {
                (void)RemoveUnit(U);
                return true;
            }
            (void)HostPnpCancelRemove(U->Fdo);
            return false;
        case Event::QueryRemoveCancel:
            (void)Close(Handle);
            (void)QueryRemoveUnit(U);
            (void)HostPnpCancelRemove(U->Fdo);
            return false;
        case Event::SurpriseRemove:
            (void)SurpriseRemoveUnit(U);
            (void)Close(Handle);
            (void)RemoveUnit(U);
            return true;
        case Event::StopStart:
            if (NT_SUCCESS(HostPnpQueryStop(U->Fdo))) {
                (void)HostPnpStop(U->Fdo);
                (void)StartUnit(U);
            } else {
                (void)HostPnpCancelStop(U->Fdo);
            }
            return false;
        default:
            return false;
        }
    }

    static std::vector<UCHAR> ImageBytes(uint32_t Seed, ULONG Blocks) {
        std::vector<UCHAR> bytes((size_t)Blocks * 2048);
        std::mt19937 random(Seed * 7919u + 1);
        for (size_t i = 0; i < bytes.size(); i += 4) {
            uint32_t word = random();
            memcpy(&bytes[i], &word, 4);
        }
        return bytes;
    }

    void WriteFile(const std::string &Name, const std::vector<UCHAR> &Bytes) {
        FILE *file = fopen((ScratchDir() + "/" + Name).c_str(), "wb");
        ASSERT_NE(nullptr, file);
        fwrite(Bytes.data(), 1, Bytes.size(), file);
        fclose(file);
    }
};

uint32_t EnvNumber(const char *Name, uint32_t Default) {
    const char *text = getenv(Name);
    return text != nullptr && *text != '\0' ? (uint32_t)strtoul(text, nullptr, 0) : Default;
}

} // namespace

TEST_F(Soak, SeededRecordingsUnderFaultsCancelsAndPlugAndPlay) {
    const uint32_t first = EnvNumber("CDW_SOAK_FIRST", 1);
    const uint32_t count = EnvNumber("CDW_SOAK_COUNT", 300);
    /* Seeds that once failed run every time: 2299 ended differently on its second run while
     * the event point was judged before the clock had moved. */
    std::vector<uint32_t> seeds = {2299};
    for (uint32_t seed = first; seed < first + count; seed++) {
        seeds.push_back(seed);
    }
    ULONG failed = 0;
    for (uint32_t seed : seeds) {
        const Plan plan = MakePlan(seed);
        std::ostringstream problems;
        const Outcome once = RunSeed(seed, plan, problems);
        const Outcome again = RunSeed(seed, plan, problems);
        if (!(once == again)) {
            problems << "the same seed ended differently: " << once << " / " << again << "\n";
        }
        if (getenv("CDW_SOAK_VERBOSE") != nullptr) {
            std::cout << "seed " << seed << ": " << plan.Text << " -> " << once << "\n";
        }
        const std::string text = problems.str();
        if (!text.empty()) {
            failed++;
            ADD_FAILURE() << "soak seed " << seed << ": " << plan.Text << "\n"
                          << text << HostDebugLog();
            printf("soak seed %u FAILED\n", (unsigned)seed);
        }
    }
    printf("soak: seeds %u..%u, %u failed\n", (unsigned)first, (unsigned)(first + count - 1),
           (unsigned)failed);
}
