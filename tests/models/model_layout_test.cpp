#include "models/model_layout.h"

#include "tests/support/error_text.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

// Every property's model has a folder of its own inside its type's folder, and a property a lab
// names itself never takes the folder of one of the seventeen.
TEST(ModelLayout, EveryPropertyHasAFolderOfItsOwn) {
    std::vector<std::string> folders;
    for (const std::string& property : soil_properties()) {
        const boost::filesystem::path folder = model_folder("/m", "mpa", property);
        EXPECT_EQ(test::slashes(folder.parent_path().string()), "/m/mpa") << property;
        EXPECT_EQ(folder.filename().string(), model_property_name(property));
        folders.push_back(folder.filename().string());
    }
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(std::unique(folders.begin(), folders.end()), folders.end());
    for (const char* own : {"Clay", "Acidified.Carbon", "pH2", "m3.Zn"}) {
        const std::string folder = model_property_name(own);
        EXPECT_EQ(std::count(folders.begin(), folders.end(), folder), 0) << own;
    }
}

// A lab's own spectrometer names: the standard types first in their order, then the lab's in
// the order given; names that could leave the tree refused; an OPUS folder is read on its own
// axes only when no standard type is chosen.
TEST(ModelLayout, ALabsOwnSpectrometers) {
    EXPECT_EQ(chosen_spectrometers({"vertex70", "mpa", "mir", "vertex70", "INVENIO_2"}),
              (std::vector<std::string>{"mir", "mpa", "vertex70", "INVENIO_2"}));
    for (const char* bad : {"", "../mir", "a b", "x.y", "é"}) {
        EXPECT_THROW(chosen_spectrometers({bad}), std::invalid_argument) << bad;
    }
    EXPECT_FALSE(is_plain_spectrometer_name(std::string(65, 'a')));
    // A standard type in other letters is a slip, not a lab's instrument.
    try {
        chosen_spectrometers({"MIR"});
        FAIL() << "MIR taken for a lab's own spectrometer";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()),
                  "unknown spectrometer type 'MIR': names are case-sensitive; did you mean 'mir'?");
    }
    EXPECT_EQ(own_spectrometer({"vertex70", "tensor-2"}), "vertex70");
    EXPECT_EQ(own_spectrometer({"vertex70", "mir"}), "");
    EXPECT_EQ(own_spectrometer({}), "");
}

TEST(ModelLayout, TransformationSpellings) {
    EXPECT_EQ(transformation_from_text("first_der"), Transformation::first_derivative);
    EXPECT_EQ(transformation_from_text("none"), Transformation::none);
    EXPECT_EQ(transformation_from_text("no transformation"), Transformation::none);
    for (const char* other : {"First_der", "first_der ", "", "derivative"}) {
        EXPECT_FALSE(transformation_from_text(other)) << other;
    }
    EXPECT_STREQ(transformation_text(Transformation::first_derivative), "first_der");
    EXPECT_STREQ(transformation_text(Transformation::none), "none");
}

} // namespace
} // namespace veldra
