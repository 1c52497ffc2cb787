// lib_state.h - every test of a library test executable starts with the
// library's process-wide state as a new process has it: kpt_init not
// entered, no application id, the default parameters, no KPT_* parameter
// variable set by an earlier test.  The executables run
// one test per process under ctest, and whole (one process, any order) by
// hand; what one test leaves in that state must not reach the next.
// Included by every test source of tests/lib that uses the library.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "kpt_internal.h"

namespace kpttest {

inline void ResetLibraryState()
{
    kpt__init = 0;
    kpt__user_api = 0;
    kpt__app_id = -1;
    memset(&kpt__p, 0, sizeof kpt__p);
    for (const char *name : uparam_strings) unsetenv(name);
}

class LibraryStateReset : public ::testing::EmptyTestEventListener {
    // Called before the test's fixture is built.
    void OnTestStart(const ::testing::TestInfo &) override { ResetLibraryState(); }
};

inline const bool kLibraryStateReset = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new LibraryStateReset);
    return true;
}();

}  // namespace kpttest
