/*
 * control_fuzzer.cpp - libFuzzer entry points over the control interface of the driver in the
 * host stand-in (the work is in tests/support/control_fuzz.cpp, shared with the regression
 * test of every input that ever broke a rule).
 */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "control_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int *Argc, char ***Argv) {
    (void)Argc;
    (void)Argv;
    CdwFuzzInitialize();
    atexit([] {
        fprintf(stderr, "control fuzzer: %llu driver lives, %llu control requests\n",
                (unsigned long long)CdwFuzzLifeCount(), (unsigned long long)CdwFuzzRequestCount());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
    return CdwFuzzOneInput(Data, Size);
}
