#include "input/gsl_errors.h"

#include <mutex>

#include <gsl/gsl_errno.h>

namespace veldra {

namespace {

std::mutex guard;
int holders = 0;
gsl_error_handler_t* previous = nullptr;

} // namespace

GslErrorsReturned::GslErrorsReturned() {
    const std::lock_guard<std::mutex> lock(guard);
    if (holders++ == 0) {
        previous = gsl_set_error_handler_off();
    }
}

GslErrorsReturned::~GslErrorsReturned() {
    const std::lock_guard<std::mutex> lock(guard);
    if (--holders == 0) {
        gsl_set_error_handler(previous);
    }
}

} // namespace veldra
