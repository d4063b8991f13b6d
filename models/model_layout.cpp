#include "models/model_layout.h"

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

boost::filesystem::path model_folder(const ModelDirectory& models, const std::string& type,
                                     const std::string& property) {
    return models / type / model_property_name(property);
}

std::optional<Transformation> transformation_from_text(std::string_view text) {
    if (text == "first_der") {
        return Transformation::first_derivative;
    }
    if (text == "none" || text == "no transformation") {
        return Transformation::none;
    }
    return std::nullopt;
}

const char* transformation_text(Transformation transformation) {
    return transformation == Transformation::first_derivative ? "first_der" : "none";
}

} // namespace veldra
