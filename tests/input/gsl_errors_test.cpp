#include "input/gsl_errors.h"

#include <optional>
#include <thread>

#include <gsl/gsl_errno.h>
#include <gsl/gsl_interp.h>
#include <gtest/gtest.h>

namespace veldra {
namespace {

int host_calls = 0;
void host_handler(const char*, const char*, int, int) {
    ++host_calls;
}

// What GSL does with an error: a curve through points out of order is an error of
// gsl_interp_init, which calls the handler in force and returns its status.
int gsl_error_status() {
    const double x[] = {2.0, 1.0, 3.0};
    const double y[] = {0.0, 0.0, 0.0};
    gsl_interp* curve = gsl_interp_alloc(gsl_interp_linear, 3);
    const int status = gsl_interp_init(curve, x, y, 3);
    gsl_interp_free(curve);
    return status;
}

// The libraries return GSL's errors as statuses while they work and leave the host's handler in
// force outside, however their calls overlap on threads.
TEST(GslErrors, ReturnedWhileTheLibrariesWorkAndTheHostsHandlerKeptOutside) {
    gsl_error_handler_t* const before = gsl_set_error_handler(&host_handler);
    host_calls = 0;
    {
        const GslErrorsReturned outer;
        EXPECT_EQ(gsl_error_status(), GSL_EINVAL);
        std::optional<GslErrorsReturned> inner;
        inner.emplace();
        std::thread other([] {
            const GslErrorsReturned on_thread;
            EXPECT_EQ(gsl_error_status(), GSL_EINVAL);
        });
        other.join();
        inner.reset();
        EXPECT_EQ(gsl_error_status(), GSL_EINVAL); // the outer one still holds
        EXPECT_EQ(host_calls, 0);
    }
    EXPECT_EQ(gsl_error_status(), GSL_EINVAL);
    EXPECT_EQ(host_calls, 1); // the host's handler is back
    gsl_set_error_handler(before);
}

} // namespace
} // namespace veldra
