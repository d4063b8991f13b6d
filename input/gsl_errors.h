#pragma once

namespace veldra {

// While one of these lives, GSL's errors come back as status codes rather than aborting the
// process (GSL's default handler calls abort()). The handler the process had is restored when
// the last one of every thread ends, so that a host program (Python, a lab's own code linking
// the libraries) keeps its own handler outside the libraries' calls.
class GslErrorsReturned {
public:
    GslErrorsReturned();
    ~GslErrorsReturned();
    GslErrorsReturned(const GslErrorsReturned&) = delete;
    GslErrorsReturned& operator=(const GslErrorsReturned&) = delete;
};

} // namespace veldra
