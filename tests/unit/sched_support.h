// A scheduler at a known starting point: time placed by hand at 0, nothing
// pending or queued, default throttles and slop, not stopped. Restores real
// time afterwards.
#pragma once

#include <gtest/gtest.h>

#include "kernel/time/clocks.h"
#include "kernel/time/scheduler.h"

namespace kel::test {

inline void drain_queue()
{
    for (int i = 0; i < 1000 && !queue_is_empty(); i++) queue_service();
}

class SchedTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        clocks_drop_all();
        drain_queue();
        sched_restart();
        sched_config().poll_throttle = 30;
        sched_config().queue_throttle = 10;
        sched_config().slop = 25.0;
        sched_place_time(0);
        sched_set_now(0);
    }
    void TearDown() override
    {
        clocks_drop_all();
        drain_queue();
        sched_restart();
        sched_config().poll_throttle = 30;
        sched_config().queue_throttle = 10;
        sched_real_time();
        sched_set_now(0);
    }
    // Places timer time and polls once.
    int poll_at(double t)
    {
        sched_place_time(t);
        return sched_poll();
    }
};

}  // namespace kel::test
