// Resampling real spectra: NRW.115's 115 absorbance spectra (1686 points, 3799–549.6 cm-1) put
// on every second point and back, and onto a uniform 4 cm-1 grid and back. Prints how far the
// round trips move the values (against each spectrum's own range) and the time per spectrum.
#include "bench/command_line.h"
#include "input/csv_reader.h"
#include "input/resampling.h"
#include "text/number_text.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Trip {
    double largest = 0; // of |back - original| / the spectrum's range
    double mean = 0;    // of the same, over every value of every spectrum
    double seconds = 0; // both ways, all spectra
};

Trip round_trip(const veldra::SpectraTable& table, const std::vector<double>& axis,
                const std::vector<double>& other) {
    const auto start = std::chrono::steady_clock::now();
    const veldra::SpectrumResampler there(axis, other);
    const veldra::SpectrumResampler back(other, axis);
    Trip trip;
    std::size_t count = 0;
    for (const std::vector<double>& row : table.rows) {
        const std::vector<double> returned = back(there(row.data()).data());
        const auto [low, high] = std::minmax_element(row.begin(), row.end());
        for (std::size_t k = 0; k < row.size(); ++k) {
            const double moved = std::fabs(returned[k] - row[k]) / (*high - *low);
            trip.largest = std::max(trip.largest, moved);
            trip.mean += moved;
            ++count;
        }
    }
    trip.mean /= static_cast<double>(count);
    trip.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return trip;
}

} // namespace

int main(int argc, char** argv) {
    std::string spectra =
        std::string(VELDRA_SOURCE_DIR) + "/examples/limesoda-NRW.115/absorbance.csv";
    boost::program_options::options_description described("veldra-bench-resampling");
    described.add_options()("help", "show this text")(
        "spectra", boost::program_options::value(&spectra)->default_value(spectra),
        "CSV of spectra whose column names end in wavenumbers");
    if (!veldra::bench::parse_options(argc, argv, described)) {
        return 0;
    }
    const veldra::SpectraTable table = veldra::read_spectra_csv(spectra);
    const std::vector<double> axis = *veldra::wavenumbers_of(table.names);
    std::vector<double> half;
    for (std::size_t k = 0; k < axis.size(); k += 2) {
        half.push_back(axis[k]);
    }
    if (axis.size() % 2 == 0) {
        half.push_back(axis.back()); // both ends, so nothing is extrapolated
    }
    std::vector<double> uniform;
    // Reaching just past both ends (by less than half its step), so that the way back is not
    // an extrapolation either.
    for (double x = std::ceil(axis.front() / 4) * 4; x > axis.back() - 4; x -= 4) {
        uniform.push_back(x);
    }
    std::printf("%s spectra of %s\n", std::to_string(table.rows.size()).c_str(),
                veldra::axis_text(axis).c_str());
    for (const auto& [name, other] :
         {std::pair<const char*, const std::vector<double>&>{"every second point", half},
          {"uniform 4 cm-1", uniform}}) {
        const Trip trip = round_trip(table, axis, other);
        std::printf("%-20s %5d points: round trip moves values by %.2f%% of the spectrum's range "
                    "on average, %.2f%% at most; %.1f us per spectrum both ways\n",
                    name, static_cast<int>(other.size()), 100 * trip.mean, 100 * trip.largest,
                    1e6 * trip.seconds / static_cast<double>(table.rows.size()));
    }
    std::printf("reproduce: %s\n", argv[0]);
    return 0;
}
