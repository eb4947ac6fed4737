// The seed of a fault case's kill points: KEL_FAULT_SEED when set, otherwise a fresh one;
// printed and recorded in the test's report, so that a failure can be replayed.
#ifndef KEL_E2E_FAULTSEED_H
#define KEL_E2E_FAULTSEED_H

#include <glib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

inline unsigned faultSeed()
{
    const char* given = g_getenv("KEL_FAULT_SEED");
    unsigned seed = given ? unsigned(strtoul(given, nullptr, 10)) : std::random_device()();
    std::cout << "KEL_FAULT_SEED=" << seed << std::endl;
    ::testing::Test::RecordProperty("seed", std::to_string(seed));
    return seed;
}

#endif
