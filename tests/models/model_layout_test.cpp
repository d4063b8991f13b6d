#include "models/model_layout.h"

#include "tests/support/error_text.h"

#include <gtest/gtest.h>

namespace veldra {
namespace {

TEST(ModelLayout, FoldersOfProperties) {
    EXPECT_EQ(model_property_name("Carbon"), "Acidified.Carbon");
    EXPECT_EQ(model_property_name("N"), "Total.Nitrogen");
    EXPECT_EQ(model_property_name("pH"), "pH");
    EXPECT_EQ(model_property_name("Zn"), "m3.Zn");
    EXPECT_EQ(test::slashes(model_folder("/m", "mpa", "N").string()), "/m/mpa/Total.Nitrogen");
    EXPECT_EQ(soil_properties().size(), 17u);
    EXPECT_EQ(spectrometer_types().front(), "mir");
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
