// The unit tests run against one kernel, brought up once.
#include <gtest/gtest.h>

#include "objects/engine.h"
#include "kernel/files/path.h"

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (!kel::engine_init() || !kel::path_init()) return 1;
    return RUN_ALL_TESTS();
}
