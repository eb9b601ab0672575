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
#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <sstream>

#include "driver_harness.h"
#include "recorder_setup.h"
#include "recording_scenario.h"
#include "test_support.h"

namespace {

const LONGLONG kMs = 10000;

/* Printed by number in a seed's plan. */
enum class Event { None, Cancel, QueryRemoveRemove, QueryRemoveCancel, SurpriseRemove, StopStart };

/* What one seed does. */
struct Plan {
    ULONG Ring, Speed, Blocks, ReadDelayMs;
    std::vector<SIM_FAULT> Faults;
    Event What = Event::None;
    ULONG AtWrites = 0; /* the event comes once the recorder accepted this many writes */
    std::string Text;
};

Plan MakePlan(uint32_t Seed) {
    std::mt19937 random(Seed);
    auto pick = [&](ULONG Count) { return (ULONG)(random() % Count); };
    Plan plan;
    plan.Ring = pick(2) ? 96 : 16;
    const ULONG speeds[] = {0, 4, 16, 48};
    plan.Speed = speeds[pick(4)];
    plan.ReadDelayMs = pick(2) ? 1 + pick(40) : 0;
    plan.Blocks = 40 + pick(600);
    for (ULONG i = 0, faults = pick(4); i < faults; i++) {
        const ULONG block = pick(plan.Blocks);
        /* Sense faults: becoming ready during a long write (repeated), then those that fire
         * once: loss of streaming, write error, invalid address, invalid field, no medium,
         * medium changed, reset. Then SRB and selection time-outs, a bus reset (keeps the
         * drive buffer) or a power-on reset (does not), a data overrun. */
        static const ULONG kSense[8] = {0x020408, 0x030C09, 0x030C00, 0x052102,
                                        0x052400, 0x023A00, 0x062800, 0x062900};
        const ULONG kind = pick(13);
        SIM_FAULT fault;
        HostSimInitFault(&fault, SimFaultAtBlock,
                         kind < 8    ? SimFaultSense
                         : kind < 10 ? SimFaultSrbStatus
                         : kind > 10 ? SimFaultDataOverrun
                         : pick(2)   ? SimFaultBusReset
                                     : SimFaultPowerOnReset);
        if (kind < 8) {
            fault.SenseKey = (UCHAR)(kSense[kind] >> 16);
            fault.Asc = (UCHAR)(kSense[kind] >> 8);
            fault.Ascq = (UCHAR)kSense[kind];
            fault.RepeatCount = kind == 0 ? 1 + pick(5) : 1;
        } else if (kind < 10) {
            fault.SrbStatus = pick(2) ? SRB_STATUS_TIMEOUT : SRB_STATUS_SELECTION_TIMEOUT;
        } else if (kind > 10) {
            fault.TransferredLength = 2048 * pick(4);
        }
        fault.BlockAddress = block;
        plan.Faults.push_back(fault);
    }
    if (pick(5) < 2) {
        plan.What = static_cast<Event>(1 + pick(5));
        plan.AtWrites = pick(plan.Blocks / 16 + 2);
    }
    plan.Text = "ring " + std::to_string(plan.Ring) + ", speed " + std::to_string(plan.Speed) +
                "x, read delay " + std::to_string(plan.ReadDelayMs) + " ms, " +
                std::to_string(plan.Blocks) + " blocks, " + std::to_string(plan.Faults.size()) +
                " faults, event " + std::to_string(int(plan.What)) + " after " +
                std::to_string(plan.AtWrites) + " writes";
    return plan;
}

class Soak : public DriverHarness {
protected:
    Soak() { LoadDriverInSetUp = false; }

    /* One seed, one life of the driver; problems go to Problems. Returns how the run ended
       (final status or "removed", blocks counted, blocks on the disc): what a second run of
       the seed must repeat. */
    std::string RunSeed(uint32_t Seed, const Plan &P, std::ostringstream &Problems) {
        std::vector<uint32_t> words((size_t)P.Blocks * 512);
        std::mt19937 random(Seed * 7919u + 1);
        std::generate(words.begin(), words.end(), std::ref(random));
        FILE *file = fopen((ScratchDir() + "/soak.iso").c_str(), "wb");
        EXPECT_EQ(words.size(), fwrite(words.data(), 4, words.size(), file));
        fclose(file);
        HostSetFileReadDelay((LONGLONG)P.ReadDelayMs * kMs);
        ClearLog();

        FreshDriverImage();
        if (!NT_SUCCESS(LoadDriver(nullptr))) {
            Problems << "DriverEntry failed\n";
            return "";
        }
        SIM_RECORDER_CONFIG config = RecorderConfig();
        config.SpeedMultiple = P.Speed;
        config.LogCapacity = 0;
        Unit *unit = PlugRecorder(config);
        for (const SIM_FAULT &fault : P.Faults) {
            (void)HostSimAddFault(unit->Sim, &fault);
        }
        HANDLE handle = OpenRecorder();
        PWriterExtension ext = CdwWriterExtension(unit->Fdo);
        EXPECT_EQ(STATUS_SUCCESS, AllocateCache(handle, P.Ring));
        EXPECT_EQ(STATUS_SUCCESS,
                  SendRecordBlock(handle, IOCTL_RECORDER_RECORD_DISC,
                                  OneTrackRecordRequest("\\??\\D:\\soak.iso", P.Blocks)));

        const bool removed = P.What != Event::None && RunEvent(P, unit, handle, ext);
        std::string outcome = "removed";
        bool complete = false;
        if (!removed) {
            if (!WaitRecordingIdle(ext, 3600)) {
                Problems << "the recording never ended\n" << HostSchedulerReport();
                return "";
            }
            const RecordingState state = ReadRecordingState(ext);
            outcome = std::to_string(state.RecordingStatus) + ", " +
                      std::to_string(state.BlocksWritten) + " blocks counted";
            complete = state.RecordingStatus == RECSTAT_COMPLETE;
            EXPECT_TRUE(DocumentedFinalStatus(state.RecordingStatus)) << state.RecordingStatus;
        }

        /* The disc, once the application's flush has drained the recorder: every written
           block is the image's; a completed recording wrote all. */
        SynchronizeRecorder(unit->Sim);
        SIM_RECORDER_COUNTERS counters;
        HostSimGetCounters(unit->Sim, &counters);
        outcome += ", " + std::to_string(counters.BlocksWritten) + " on the disc";
        std::vector<UCHAR> block(SIM_MAX_BLOCK_SIZE);
        for (ULONG lba = 0; lba < std::max(counters.BlocksWritten, complete ? P.Blocks : 0);
             lba++) {
            const ULONG size = HostSimReadBlock(unit->Sim, lba, block.data(), (ULONG)block.size());
            const bool missing = size == 0 && complete && lba < P.Blocks;
            if (missing || (size != 0 && (size != 2048 || lba >= P.Blocks ||
                                          memcmp(block.data(), &words[lba * 512], 2048) != 0))) {
                Problems << "disc block " << lba
                         << (missing ? " missing on COMPLETE\n" : " is not the image's\n");
                break;
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
        EXPECT_TRUE(UnloadDriver()) << "unload left something behind:\n" << UnloadReport;
        return outcome;
    }

    /* Waits for the event's point, then runs it; returns whether the unit is gone. */
    bool RunEvent(const Plan &P, Unit *U, HANDLE Handle, PWriterExtension Ext) {
        /* The point is judged only after the clock moved: the clock moves when every thread
         * waits, so the pipeline then stands at a point that follows from the seed, not from
         * the host's scheduling. The odd period keeps the test's wake-ups off the round
         * deadlines of the driver's own waits. */
        const LONGLONG end = HostClockNow() + 3600LL * 1000 * kMs;
        LARGE_INTEGER period;
        period.QuadPart = -(7 * kMs + 3001);
        SIM_RECORDER_COUNTERS counters;
        do {
            (void)KeDelayExecutionThread(KernelMode, FALSE, &period);
            HostSimGetCounters(U->Sim, &counters);
        } while (counters.Writes < P.AtWrites &&
                 ReadRecordingState(Ext).RecordingStatus == RECSTAT_IN_PROCESS &&
                 HostClockNow() <= end);
        switch (P.What) {
        case Event::Cancel:
            (void)QueryRecordingStatus(Handle, true);
            return false;
        case Event::QueryRemoveRemove:
        case Event::QueryRemoveCancel:
            /* The application closes its handle when told of the query, as it should. */
            (void)Close(Handle);
            if (NT_SUCCESS(QueryRemoveUnit(U)) && P.What == Event::QueryRemoveRemove) {
                (void)RemoveUnit(U);
                return true;
            }
            (void)HostPnpCancelRemove(U->Fdo);
            return false;
        case Event::SurpriseRemove:
            (void)SurpriseRemoveUnit(U);
            (void)Close(Handle);
            (void)RemoveUnit(U);
            return true;
        default: /* stop, start */
            if (NT_SUCCESS(HostPnpQueryStop(U->Fdo))) {
                (void)HostPnpStop(U->Fdo);
                (void)StartUnit(U);
            } else {
                (void)HostPnpCancelStop(U->Fdo);
            }
            return false;
        }
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
    for (uint32_t i = 0; i <= count; i++) {
        const uint32_t seed = i == 0 ? 2299 : first + i - 1;
        SCOPED_TRACE(testing::Message() << "soak seed " << seed);
        const Plan plan = MakePlan(seed);
        std::ostringstream problems;
        const std::string once = RunSeed(seed, plan, problems);
        EXPECT_EQ(once, RunSeed(seed, plan, problems))
            << "soak seed " << seed << ": the same seed ended differently";
        EXPECT_EQ("", problems.str()) << "soak seed " << seed << ": " << plan.Text << "\n"
                                      << HostDebugLog();
    }
}
