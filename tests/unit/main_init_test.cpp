// The test program's own entry: the status lock must exist before any report,
// as start-up guarantees in the real program.
#include <gtest/gtest.h>

#include "ui/status.h"

int main(int argc, char **argv)
{
    init_status_lock();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
