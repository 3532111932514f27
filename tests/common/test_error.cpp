#include "common/vError.h"

#include <gtest/gtest.h>

TEST(Error, TextsAndNamesByCode)
{
    struct Case { unsigned code; const char *description; const char *name; };
    const Case cases[] = {
        {0, "Success, no error", "vErrNone"},
        {18, "Timeout occurred", "vErrTimeout"},
        {27, "Corvantis command to short", "vErrShortCommand"},
        {34, "Unknown error", "vErrUnknown"},
        {35, "Unknown error", "vErrUnknown"},
        {static_cast<unsigned>(-1), "Unknown error", "vErrUnknown"},
    };
    for (const Case &c : cases) {
        EXPECT_STREQ(vError_GetErrorDescription(c.code), c.description) << c.code;
        EXPECT_STREQ(vError_GetErrorText(c.code), c.name) << c.code;
    }
}
