// The one platform-specific piece of the command-line program.
#include "cli/terminal.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace veldra {

bool standard_error_is_terminal() {
#if defined(_WIN32)
    return _isatty(2) != 0;
#else
    return isatty(2) != 0;
#endif
}

} // namespace veldra
