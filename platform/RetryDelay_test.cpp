#include "platform/RetryDelay.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using std::chrono::milliseconds;

class RetryDelayTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* Old = std::getenv("BROVA_RETRY_DELAY_MS");
        if (Old) Saved = Old;
        HadValue = Old != nullptr;
    }
    void TearDown() override {
        if (HadValue)
            setenv("BROVA_RETRY_DELAY_MS", Saved.c_str(), 1);
        else
            unsetenv("BROVA_RETRY_DELAY_MS");
    }
    std::string Saved;
    bool HadValue = false;
};

TEST_F(RetryDelayTest, TwentySecondsUnlessTheEnvironmentGivesAPlainNumber) {
    unsetenv("BROVA_RETRY_DELAY_MS");
    EXPECT_EQ(RetryDelay(), milliseconds(20000));
    setenv("BROVA_RETRY_DELAY_MS", "", 1);
    EXPECT_EQ(RetryDelay(), milliseconds(20000));
    setenv("BROVA_RETRY_DELAY_MS", "15", 1);
    EXPECT_EQ(RetryDelay(), milliseconds(15));  // read anew on every call
    for (const char* Bad : {"abc", "15ms", "-5", "99999999999999999999999"}) {
        setenv("BROVA_RETRY_DELAY_MS", Bad, 1);
        EXPECT_EQ(RetryDelay(), milliseconds(20000)) << Bad;
    }
    setenv("BROVA_RETRY_DELAY_MS", "0", 1);
    EXPECT_EQ(RetryDelay(), milliseconds(1));
}

}  // namespace
