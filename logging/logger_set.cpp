#include "logging/logger_set.h"

#include <stdexcept>

#include <boost/log/attributes/constant.hpp>
#include <boost/log/core.hpp>
#include <boost/log/utility/setup/common_attributes.hpp>

namespace veldra {

std::ostream& operator<<(std::ostream& out, Severity level) {
    return out << static_cast<int>(level);
}

LoggerSet::LoggerSet() {
    for (int k = 0; k < 4; ++k) {
        loggers_[static_cast<std::size_t>(k)].add_attribute(
            "severity", boost::log::attributes::constant<Severity>(static_cast<Severity>(k)));
    }
    boost::log::add_common_attributes();
    boost::log::core::get()->remove_all_sinks();
}

} // namespace veldra
