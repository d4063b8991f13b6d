// Arbitrary bytes as the preprocessing a lab types (`--preprocess`, the calibration window): each
// candidate that reads writes back to a text that reads back to itself, and plans, fits and
// applies to spectra of a fixed wavenumber grid, or says why it cannot.
#include "input/spectral_pipeline.h"

#include <cmath>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

constexpr std::size_t width = 96;

std::vector<double> grid() {
    std::vector<double> wavenumbers(width);
    for (std::size_t i = 0; i < width; ++i) {
        wavenumbers[i] = 4000.0 - 36.0 * static_cast<double>(i); // 4000 to 580 cm-1
    }
    return wavenumbers;
}

std::vector<std::vector<double>> spectra() {
    std::vector<std::vector<double>> rows(3, std::vector<double>(width));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t i = 0; i < width; ++i) {
            rows[r][i] = (1.0 + 0.2 * static_cast<double>(r)) *
                             std::sin(0.1 * static_cast<double>(i) + static_cast<double>(r)) +
                         0.05 * static_cast<double>(r);
        }
    }
    return rows;
}

void check_pipeline(const std::string& text) {
    static const std::vector<double> wavenumbers = grid();
    static const std::vector<std::vector<double>> rows = spectra();
    veldra::SpectralPipeline pipeline(text);
    check(veldra::SpectralPipeline(pipeline.text()).text() == pipeline.text());
    try {
        pipeline.prepare(wavenumbers, width);
    } catch (const std::exception&) {
        return;
    }
    check(pipeline.output_width() > 0);
    check(pipeline.output_wavenumbers().size() == pipeline.output_width());
    pipeline.fit(rows);
    std::vector<double> out;
    std::vector<double> scratch;
    for (const std::vector<double>& row : rows) {
        pipeline.apply(row.data(), out, scratch);
        check(out.size() == pipeline.output_width());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> candidates;
    try {
        candidates = veldra::pipeline_candidates(text);
    } catch (const std::exception&) {
        return 0;
    }
    for (const std::string& candidate : candidates) {
        if (candidate == "auto") {
            for (const std::string& automatic : veldra::automatic_pipelines()) {
                check_pipeline(automatic);
            }
        } else {
            check_pipeline(candidate); // checked by pipeline_candidates: it must read
        }
    }
    return 0;
}
