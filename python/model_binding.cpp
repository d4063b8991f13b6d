#include "python/model_binding.h"

#include "job/prediction_driver.h"
#include "models/model_digest.h"
#include "models/model_folder.h"
#include "models/model_open.h"
#include "python/arrays.h"
#include "python/interruptible.h"

#include <boost/filesystem/operations.hpp>

#include <pybind11/stl.h>

namespace py = pybind11;
namespace fs = boost::filesystem;

namespace veldra::python {

namespace {

// A model folder as prediction takes it, checked when opened; each prediction is one pair of a
// job on spectra held in memory, without an output file.
class ModelHandle {
public:
    ModelHandle(const std::string& path, std::optional<bool> exponential,
                const std::optional<std::string>& transformation) {
        folder_ = path;
        boost::system::error_code error;
        if (!fs::is_directory(path, error)) {
            throw std::runtime_error("There is no model folder at '" + path +
                                     "': give the folder of one model, "
                                     "<models>/<spectrometer>/<property>.");
        }
        ModelOpening opening;
        opening.error_spreads = true;
        opened_ = open_model(folder_, opening);
        pair_.range_file = range_file(folder_).string();
        pair_.forest_path = draw_file_pattern(folder_);
        pair_.summary = true;
        const std::optional<ModelCard>& card = opened_.card;
        pair_.exponential = exponential.value_or(card && card->log ? *card->log : true);
        if (transformation) {
            const std::optional<Transformation> chosen = transformation_from_text(*transformation);
            if (!chosen) {
                throw py::value_error("transformation takes first_der or none, not '" +
                                      *transformation + "'");
            }
            pair_.transformation = *chosen;
        } else if (card && card->transformation) {
            pair_.transformation = *card->transformation;
        }
        pair_.spectrometer_type = card && !card->spectrometer_type.empty()
                                      ? card->spectrometer_type
                                      : fs::absolute(folder_).parent_path().filename().string();
    }

    py::dict predict(const std::vector<std::string>& ids, const std::vector<std::string>& names,
                     const Matrix& x, const std::string& machine_type,
                     const std::vector<double>& levels, unsigned threads) const {
        SpectraTable table;
        table.machine_type = machine_type;
        table.ids = ids;
        table.names = names;
        table.rows = rows_of(x, "X");
        if (table.rows.size() != ids.size()) {
            throw py::value_error("X holds " + std::to_string(table.rows.size()) +
                                  " spectra and sample_ids " + std::to_string(ids.size()) +
                                  " names: give one name per spectrum.");
        }
        PairPrediction pair = pair_;
        pair.levels = levels;
        pair.threads = threads;
        PredictionSummary keep;
        PairReport report;
        run_interruptibly([&](LoggerSet& log) { predict_pair(pair, table, log, &keep, &report); });
        const PairStatistics& s = report.statistics;
        const std::size_t draws =
            keep.draws_per_sample.empty() ? 0 : keep.draws_per_sample.front().size();
        py::dict out;
        out["draws"] = array_of(keep.draws_per_sample, draws);
        out["mean"] = array_of(keep.means);
        out["sd"] = array_of(keep.standard_deviations);
        out["quantiles"] = array_of(keep.quantiles, keep.quantiles.empty() ? 0 : ids.size());
        out["predictive_low"] = array_of(s.predictive_low);
        out["predictive_high"] = array_of(s.predictive_high);
        out["calibrated_low"] =
            array_of(s.calibrated_low, s.calibrated_low.empty() ? 0 : ids.size());
        out["calibrated_high"] =
            array_of(s.calibrated_high, s.calibrated_high.empty() ? 0 : ids.size());
        out["t2"] = array_of(s.t2);
        out["q"] = array_of(s.q);
        std::string domain(ids.size(), 'u'); // without a domain: unknown
        for (std::size_t i = 0; i < s.outside.size() && i < ids.size(); ++i) {
            domain[i] = s.outside[i] ? 'o' : 'i';
        }
        out["domain"] = domain;
        out["reasons"] = s.domain_reasons;
        return out;
    }

    const std::string& folder() const { return folder_; }
    // The card as the programs read and checked it, as JSON text; "" for a model without one.
    std::string card_text() const {
        return opened_.card ? model_card_text(*opened_.card) : std::string();
    }
    bool exponential() const { return pair_.exponential; }
    std::string transformation() const { return transformation_text(pair_.transformation); }
    const std::string& spectrometer() const { return pair_.spectrometer_type; }
    std::size_t draws() const { return opened_.draw_files.size(); }
    bool calibrated() const { return opened_.card && opened_.card->calibration.has_value(); }
    bool has_error_spreads() const { return opened_.sigma.has_value(); }
    std::vector<std::string> covariate_names() const {
        return opened_.card ? opened_.card->covariate_names : std::vector<std::string>();
    }

private:
    std::string folder_;
    OpenedModel opened_;
    PairPrediction pair_;
};

} // namespace

void bind_model(py::module_& m) {
    py::class_<ModelHandle>(m, "ModelHandle")
        .def(py::init<const std::string&, std::optional<bool>, const std::optional<std::string>&>(),
             py::arg("path"), py::arg("exponential") = py::none(),
             py::arg("transformation") = py::none())
        .def("predict", &ModelHandle::predict, py::arg("ids"), py::arg("names"), py::arg("x"),
             py::arg("machine_type"), py::arg("levels"), py::arg("threads"))
        .def_property_readonly("folder", &ModelHandle::folder)
        .def_property_readonly("exponential", &ModelHandle::exponential)
        .def_property_readonly("transformation", &ModelHandle::transformation)
        .def_property_readonly("spectrometer", &ModelHandle::spectrometer)
        .def_property_readonly("draws", &ModelHandle::draws)
        .def_property_readonly("calibrated", &ModelHandle::calibrated)
        .def_property_readonly("has_error_spreads", &ModelHandle::has_error_spreads)
        .def_property_readonly("covariate_names", &ModelHandle::covariate_names)
        .def_property_readonly("card_text", &ModelHandle::card_text)
        .def_property_readonly(
            "identity", [](const ModelHandle& handle) { return model_identity(handle.folder()); });
}

} // namespace veldra::python
