#include "job/model_layout.h"

namespace veldra {

const std::vector<std::string>& spectrometer_types() {
    static const std::vector<std::string> types = {"mir", "mpa", "alphakbr", "alphaznse"};
    return types;
}

const std::vector<std::string>& soil_properties() {
    static const std::vector<std::string> properties = {"Carbon", "Al", "B",  "Ca", "Cu", "EC.S",
                                                        "Fe",     "Hp", "K",  "Mg", "Mn", "Na",
                                                        "P",      "S",  "Zn", "pH", "N"};
    return properties;
}

std::string model_property_name(const std::string& property) {
    if (property == "Carbon") {
        return "Acidified.Carbon";
    }
    if (property == "N") {
        return "Total.Nitrogen";
    }
    if (property == "pH") {
        return "pH";
    }
    return "m3." + property;
}

} // namespace veldra
