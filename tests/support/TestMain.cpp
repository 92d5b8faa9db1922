// Test entry: installs the capturing log builder before anything can log, then runs the tests.
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "etwlogging/LogFacade.h"

int main(int argc, char** argv) {
    VrxTest::InstallCapturingLogBuilder();
    ETWLogging::InitializeLogging(nullptr, L"Anti-Spam", nullptr, nullptr, 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
