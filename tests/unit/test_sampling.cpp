#include "support.h"

#include "nginx_ext_access_log_module.h"

#include <vector>

namespace {

/* Which of `count` requests within one second the sampler admits. */
std::vector<int> admitted(ngx_uint_t rate, time_t second, int count)
{
    ngx_ext_sampling_rate = rate;
    std::vector<int> out;

    for (int i = 1; i <= count; i++) {
        if (kestrelvanes::should_sample_at(second)) {
            out.push_back(i);
        }
    }

    return out;
}

TEST(Sampling, AdmitsTheRateEvenlyWithinASecond)
{
    EXPECT_EQ(admitted(10, 1000, 25), (std::vector<int>{1, 11, 21}));
    EXPECT_EQ(admitted(50, 1001, 6), (std::vector<int>{1, 3, 5}));
    EXPECT_EQ(admitted(1, 1002, 150), (std::vector<int>{1, 101}));
    EXPECT_EQ(admitted(99, 1003, 100).size(), 99u);

    ngx_ext_sampling_rate = 0;
}

TEST(Sampling, NewSecondStartsAfresh)
{
    EXPECT_EQ(admitted(50, 2000, 3), (std::vector<int>{1, 3}));
    /* request 4 would have been refused in the old second */
    EXPECT_EQ(admitted(50, 2001, 1), (std::vector<int>{1}));

    ngx_ext_sampling_rate = 0;
}

TEST(Sampling, ZeroAndHundredAdmitEverythingWithoutCounting)
{
    EXPECT_EQ(admitted(0, 3000, 5).size(), 5u);
    EXPECT_EQ(admitted(100, 3000, 5).size(), 5u);

    /* the second was never entered: rate 50 now starts it afresh */
    EXPECT_EQ(admitted(50, 3000, 2), (std::vector<int>{1}));

    ngx_ext_sampling_rate = 0;
}

} /* namespace */
