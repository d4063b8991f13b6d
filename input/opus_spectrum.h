#pragma once

#include "input/opus_format.h"
#include "input/opus_reader.h"

#include <cstdint>
#include <string>
#include <vector>

namespace veldra {

// A spectrum's data block and the parameters of its status block.
struct OpusSpectrumBlock {
    OpusBlock data;
    std::int32_t points = 0;
    double first_x = 0;
    double last_x = 0;
    double scale = 1;
    std::string date;
};

// The status parameters of a data block (its type with the status class bit). `what` names the
// spectrum in messages ("absorbance"). Raises OpusFormatError when the status block or one of
// DPF, NPT, FXV, LXV, CSF is missing, the format is not float32 or the block lies outside the
// file.
OpusSpectrumBlock spectrum_block(const OpusDocument& document, const OpusBlock& data,
                                 const std::string& what);

// The block's NPT values, each scaled by CSF. Raises OpusFormatError when the block is shorter.
std::vector<double> spectrum_values(const OpusDocument& document, const OpusSpectrumBlock& block,
                                    const std::string& what);

// The sample name of the origin block's SNM up to its first ';' ("" when there is none).
std::string sample_name_of(const OpusDocument& document);

// The file's spectrum on its own axis (falling), made from the first kind of block the file
// holds in the order of OpusSource; texts hold only the date (third). Raises OpusFormatError
// when the file holds no sample spectrum (naming what it holds) or a spectrum that cannot be
// used.
OpusRecord own_axis_record(const OpusDocument& document);

} // namespace veldra
