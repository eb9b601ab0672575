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

#include <algorithm>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

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
    ULONG Ring, Speed, Blocks;
    LONGLONG ReadDelay;
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
    plan.ReadDelay = pick(2) ? (LONGLONG)(1 + pick(40)) * kMs : 0;
    plan.Blocks = 40 + pick(600);
    const ULONG faults = pick(4);
    for (ULONG i = 0; i < faults; i++) {
        const ULONG block = pick(plan.Blocks);
        /* Sense faults: becoming ready during a long write (repeated), then those that fire
         * once: loss of streaming, write error, invalid address, invalid field, no medium,
         * medium changed, reset. */
        static const UCHAR kSense[8][3] = {
            {0x02, 0x04, 0x08}, {0x03, 0x0C, 0x09}, {0x03, 0x0C, 0x00}, {0x05, 0x21, 0x02},
            {0x05, 0x24, 0x00}, {0x02, 0x3A, 0x00}, {0x06, 0x28, 0x00}, {0x06, 0x29, 0x00}};
        const ULONG kind = pick(13);
        SIM_FAULT fault;
        if (kind < 8) {
            HostSimInitFault(&fault, SimFaultAtBlock, SimFaultSense);
            fault.SenseKey = kSense[kind][0];
            fault.Asc = kSense[kind][1];
            fault.Ascq = kSense[kind][2];
            fault.RepeatCount = kind == 0 ? 1 + pick(5) : 1;
        } else if (kind < 10) { /* SRB time-out, selection time-out */
            HostSimInitFault(&fault, SimFaultAtBlock, SimFaultSrbStatus);
            fault.SrbStatus = pick(2) ? SRB_STATUS_TIMEOUT : SRB_STATUS_SELECTION_TIMEOUT;
        } else if (kind == 10) { /* a bus reset keeps the drive buffer, a power-on reset not */
            HostSimInitFault(&fault, SimFaultAtBlock,
                             pick(2) ? SimFaultBusReset : SimFaultPowerOnReset);
        } else {
            HostSimInitFault(&fault, SimFaultAtBlock, SimFaultDataOverrun);
            fault.TransferredLength = 2048 * pick(4);
        }
        fault.BlockAddress = block;
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
    text << ", event " << static_cast<int>(plan.What);
    if (plan.What != Event::None) {
        text << " after " << plan.AtWrites << " writes";
    }
    plan.Text = text.str();
    return plan;
}

class Soak : public DriverHarness {
protected:
    Soak() { LoadDriverInSetUp = false; }

    /* One seed, one life of the driver; problems go to Problems. Returns how the run ended
       (final status or "removed", blocks counted, blocks on the disc): what a second run of
       the seed must repeat. */
    std::string RunSeed(uint32_t Seed, const Plan &P, std::ostringstream &Problems) {
        std::vector<UCHAR> image((size_t)P.Blocks * 2048);
        std::mt19937 random(Seed * 7919u + 1);
        for (size_t i = 0; i < image.size(); i += 4) {
            const uint32_t word = random();
            memcpy(&image[i], &word, 4);
        }
        const std::string name = "soak" + std::to_string(Seed) + ".iso";
        FILE *file = fopen((ScratchDir() + "/" + name).c_str(), "wb");
        EXPECT_EQ(image.size(), fwrite(image.data(), 1, image.size(), file));
        fclose(file);
        HostSetFileReadDelay(P.ReadDelay);
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
                                  OneTrackRecordRequest("\\??\\D:\\" + name, P.Blocks)));

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
            if (!DocumentedFinalStatus(state.RecordingStatus)) {
                Problems << "undocumented final status " << state.RecordingStatus << "\n";
            }
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
            if (size == 0 && complete && lba < P.Blocks) {
                Problems << "COMPLETE but disc block " << lba << " was never written\n";
                break;
            }
            if (size != 0 && (size != 2048 || lba >= P.Blocks ||
                              memcmp(block.data(), &image[(size_t)lba * 2048], 2048) != 0)) {
                Problems << "disc block " << lba << " is not the image's\n";
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
        if (!UnloadDriver()) {
            Problems << "unload left something behind:\n" << UnloadReport;
        }
        HostSetFileReadDelay(0);
        unlink((ScratchDir() + "/" + name).c_str());
        return outcome;
    }

    /* Waits for the event's point, then runs it; returns whether the unit is gone. */
    bool RunEvent(const Plan &P, Unit *U, HANDLE Handle, PWriterExtension Ext) {
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
            if (counters.Writes >= P.AtWrites ||
                ReadRecordingState(Ext).RecordingStatus != RECSTAT_IN_PROCESS ||
                HostClockNow() > end) {
                break;
            }
        }
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
    std::vector<uint32_t> seeds = {2299};
    for (uint32_t seed = first; seed < first + count; seed++) {
        seeds.push_back(seed);
    }
    ULONG failed = 0;
    for (uint32_t seed : seeds) {
        SCOPED_TRACE(testing::Message() << "soak seed " << seed);
        const Plan plan = MakePlan(seed);
        std::ostringstream problems;
        const std::string once = RunSeed(seed, plan, problems);
        const std::string again = RunSeed(seed, plan, problems);
        if (once != again) {
            problems << "the same seed ended differently: " << once << " / " << again << "\n";
        }
        if (getenv("CDW_SOAK_VERBOSE") != nullptr) {
            std::cout << "seed " << seed << ": " << plan.Text << " -> " << once << "\n";
        }
        if (!problems.str().empty()) {
            failed++;
            ADD_FAILURE() << "soak seed " << seed << ": " << plan.Text << "\n"
                          << problems.str() << HostDebugLog();
            printf("soak seed %u FAILED\n", (unsigned)seed);
        }
    }
    printf("soak: seeds %u..%u, %u failed\n", (unsigned)first, (unsigned)(first + count - 1),
           (unsigned)failed);
}
