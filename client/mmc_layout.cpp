/*
 * mmc_layout.cpp - what a recording of an image layout asks of the recorder.
 */
#include "image_layout.h"
#include "mmc.h"

CdwCdForm CdwMmcFormOf(uint32_t format) {
    switch (format) {
    case CDW_FORMAT_MODE1_2352:
        return CdwCdForm::Mode1Raw;
    case CDW_FORMAT_MODE2_2336:
        return CdwCdForm::Mode2;
    case CDW_FORMAT_MODE2_2352:
        return CdwCdForm::Mode2Raw;
    case CDW_FORMAT_AUDIO:
        return CdwCdForm::Audio;
    default:
        return CdwCdForm::Mode1;
    }
}

bool CdwMmcPlanFromLayout(const CdwImageLayout &layout, CdwMmcPlan *plan, std::string *error) {
    plan->cue.clear();
    plan->catalog = layout.catalog;
    plan->blocks = 0;
    bool cdOnly = layout.tracks.size() != 1 || layout.nPregapBlocks != 0 || !layout.catalog.empty();
    for (const auto &t : layout.tracks) {
        plan->blocks += t.nBlocks;
        cdOnly = cdOnly || t.format != CDW_FORMAT_MODE1_2048 || t.gapBlocks != 0 ||
                 !t.isrc.empty() || t.flags != 0;
    }
    plan->cdOnly = cdOnly;
    if (!cdOnly)
        return true;
    if (layout.nPregapBlocks < 150) {
        *error = "the first track needs a pre-gap of at least 150 blocks ahead of it, the layout "
                 "has " +
                 std::to_string(layout.nPregapBlocks);
        return false;
    }
    for (size_t k = 0; k < layout.tracks.size(); k++) {
        const CdwTrack &t = layout.tracks[k];
        CdwCueTrack c;
        c.number = t.number;
        c.form = CdwMmcFormOf(t.format);
        c.pregapBlocks = k == 0 ? layout.nPregapBlocks : t.gapBlocks;
        c.blocks = t.nBlocks - (k == 0 ? 0 : t.gapBlocks);
        c.isrc = t.isrc;
        c.flags = t.flags;
        plan->cue.push_back(c);
    }
    return true;
}

uint32_t CdwMmcLengthenFirstPregap(CdwImageLayout *layout) {
    CdwMmcPlan plan;
    std::string error;
    if (layout->tracks.empty() || layout->nPregapBlocks >= kCdwFirstPregapBlocks)
        return 0;
    CdwMmcPlanFromLayout(*layout, &plan, &error);
    if (!plan.cdOnly)
        return 0;
    uint32_t added = kCdwFirstPregapBlocks - layout->nPregapBlocks;
    if (layout->nPregapBlocks == 0)
        layout->pregapBlockSize = layout->tracks[0].blockSize;
    layout->nPregapBlocks = kCdwFirstPregapBlocks;
    for (auto &t : layout->tracks)
        t.startBlock += added;
    return added;
}

void CdwMmcPlaceLayout(CdwImageLayout *layout, uint32_t sessionStart) {
    if (layout->tracks.empty())
        return;
    uint32_t shift = sessionStart - layout->tracks[0].startBlock; /* modulo 2^32 */
    layout->pregapStartBlock += shift;
    for (auto &t : layout->tracks)
        t.startBlock += shift;
}
