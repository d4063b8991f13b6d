#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace veldra {

// One step of a preprocessing pipeline.
struct PipelineStep {
    enum class Kind { keep, drop, bin, snv, msc, savitzky_golay, first_derivative };
    Kind kind = Kind::snv;
    std::vector<std::pair<double, double>> ranges; // keep, drop: wavenumber ranges, low to high
    int size = 0;                                  // bin: points averaged
    int window = 0;                                // savitzky_golay: odd number of points
    int order = 0;                                 // savitzky_golay: polynomial order
    int derivative = 0;                            // savitzky_golay: 0, 1 or 2
};

// Preprocessing applied to each spectrum, in order, before the forests and the calibration
// domain see it. Written as steps joined by "+":
//   keep(A-B,...)   keep the points whose wavenumber lies in a range (cm-1, ends included;
//                   each end a plain number from 0 to 1000000)
//   drop(A-B,...)   drop them
//   bin(N)          average N adjacent points (a last, shorter bin averages what is left)
//   snv             centre and scale each spectrum by its own mean and standard deviation (n-1)
//   msc             multiplicative scatter correction against the calibration set's mean
//                   spectrum: x = a + b m fitted by least squares, then (x - a) / b
//   sg(W,P,D)       Savitzky-Golay: a polynomial of order P fitted by least squares to W points
//                   (W odd), its value (D 0) or derivative (D 1, 2, per point) at the centre; the
//                   first and last (W-1)/2 points take the polynomial of the first or last W
//                   points at their own place, so the spectrum keeps its length
//   first_der       row[i + 1] - row[i], the last 0 (the transformation "first_der")
// "none" is the empty pipeline. Configured once for an input's covariates (`prepare`, then
// `fit` for MSC), then `apply` is const and may run on many threads with scratch of their own.
class SpectralPipeline {
public:
    SpectralPipeline() = default;
    // Parses `text`; raises a message naming what is wrong (an unknown step names it).
    explicit SpectralPipeline(const std::string& text);

    // The pipeline as written back: steps in order, numbers in shortest form ("none" if empty).
    std::string text() const;
    bool empty() const { return steps_.empty(); }
    const std::vector<PipelineStep>& steps() const { return steps_; }
    bool needs_references() const;

    // Plans the steps for rows of `width` values whose wavenumbers are `wavenumbers` (empty
    // when the names carry none). Raises when a step cannot apply: ranges without wavenumbers,
    // no point left, a window longer than the spectrum.
    void prepare(const std::vector<double>& wavenumbers, std::size_t width);
    std::size_t output_width() const { return output_width_; }
    // The wavenumbers of the output's points (empty when the input's are unknown).
    const std::vector<double>& output_wavenumbers() const { return output_wavenumbers_; }

    // The reference spectra of the MSC steps: fitted as the mean of `rows` after the steps
    // before each, or set as a card stores them (checked against the plan).
    void fit(const std::vector<std::vector<double>>& rows);
    void set_references(std::vector<std::vector<double>> references);
    const std::vector<std::vector<double>>& references() const { return references_; }

    // The preprocessed row: `width` values in, output_width() out.
    void apply(const double* row, std::vector<double>& out, std::vector<double>& scratch) const;

private:
    struct Plan {
        std::size_t in = 0;
        std::size_t out = 0;
        std::vector<std::size_t> columns;                      // keep, drop: the columns kept
        std::vector<std::pair<std::size_t, std::size_t>> bins; // bin: first column and count
        std::vector<double> centre;                            // sg: weights at the centre
        std::vector<std::vector<double>> edges; // sg: weights of the first/last points
        std::size_t reference = 0;              // msc: which reference
    };
    void apply_step(std::size_t s, const std::vector<double>& in, std::vector<double>& out) const;
    void check_references() const;

    std::vector<PipelineStep> steps_;
    std::vector<Plan> plans_;
    std::vector<std::vector<double>> references_;
    std::size_t output_width_ = 0;
    std::vector<double> output_wavenumbers_;
};

// Savitzky-Golay weights for `window` points (centre at (window-1)/2) evaluated at `position`
// (0 the first point): the least-squares polynomial of `order`, derivative `derivative`.
std::vector<double> savitzky_golay_weights(int window, int order, int derivative, int position);

// "A;B;C" or "auto": the pipelines to use or to choose from, each checked and written back as
// `text()` gives it ("auto" stays); raises the first one's message.
std::vector<std::string> pipeline_candidates(const std::string& text);

// The documented candidates of `--preprocess auto`.
const std::vector<std::string>& automatic_pipelines();

} // namespace veldra
