/*
 * guard_contract_test.cpp - the exception guard's contract on the host build, where the
 * stand-in raises statuses as C++ exceptions. The same cases run on the x86 Windows guard
 * under Wine (guard_contract_pe.cpp); the store to address 0 needs the platform's fault
 * dispatch and runs only there.
 */
#include "../driver/platform.h"

#include <gtest/gtest.h>

static void GuardContractRaise(NTSTATUS Status) {
    ExRaiseStatus(Status);
}

/* The stand-in has no handler chain. */
static PVOID GuardContractChainHead() {
    return NULL;
}

#include "guard_contract.h"

namespace guard_contract {
/* Names the case in test listings instead of dumping its bytes. */
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.Name;
}
} // namespace guard_contract

namespace {

class GuardContract : public ::testing::TestWithParam<guard_contract::Case> {};

TEST_P(GuardContract, Holds) {
    if (GetParam().HardwareFault) {
        GTEST_SKIP() << "hardware faults are dispatched only by the platform (run under Wine)";
    }
    const char *failure = GetParam().Run();
    EXPECT_EQ(nullptr, failure) << failure;
}

INSTANTIATE_TEST_SUITE_P(Cases, GuardContract, ::testing::ValuesIn(guard_contract::Cases),
                         [](const ::testing::TestParamInfo<guard_contract::Case> &info) {
                             return std::string(info.param.Name);
                         });

} // namespace
