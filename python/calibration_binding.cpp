#include "python/calibration_binding.h"

#include "job/job_summary.h"
#include "job/result_file.h"
#include "models/interval_calibration.h"
#include "models/model_folder.h"
#include "models/model_layout.h"
#include "python/arrays.h"
#include "python/interruptible.h"
#include "text/first_derivative.h"
#include "train/fit_export.h"
#include "train/pls.h"
#include "train/training.h"

#include <algorithm>
#include <memory>
#include <numeric>

#include <pybind11/stl.h>

namespace py = pybind11;

namespace veldra::python {

namespace {

// The sampler's settings and the calibration's choices from the estimator's parameters (Python
// names, as the estimator spells them); each out of its range raises ValueError with the
// sampler's own words.
TrainingSettings settings_of(const py::dict& p) {
    TrainingSettings s;
    BartOptions& b = s.bart;
    b.trees = p["trees"].cast<int>();
    b.draws = p["draws"].cast<int>();
    b.burn_in = p["burn_in"].cast<int>();
    b.thin = p["thin"].cast<int>();
    b.chains = p["chains"].cast<int>();
    b.alpha = p["alpha"].cast<double>();
    b.beta = p["beta"].cast<double>();
    b.nu = p["nu"].cast<double>();
    b.q = p["q"].cast<double>();
    b.max_cuts = p["cuts"].cast<int>();
    b.sparse = p["sparse"].cast<bool>();
    b.seed = p["seed"].cast<std::uint64_t>();
    b.threads = p["threads"].cast<unsigned>();
    s.k_choices = p["k"].cast<std::vector<double>>();
    if (s.k_choices.empty()) {
        throw py::value_error("k takes a number, or a list of candidates");
    }
    for (const double k : s.k_choices) {
        b.k = k;
        for (const BartOptionProblem& problem : bart_option_problems(b)) {
            std::string name = problem.option;
            std::replace(name.begin(), name.end(), '-', '_');
            throw py::value_error(name + " " + problem.message);
        }
    }
    b.k = s.k_choices.front();
    s.cv_folds = p["cv"].cast<int>();
    if (s.cv_folds < 0 || s.cv_folds == 1) {
        throw py::value_error("cv takes the number of folds, 2 or more (0: no cross-validation), "
                              "not " +
                              std::to_string(s.cv_folds));
    }
    s.input.log = p["log"].cast<bool>();
    if (p.contains("method")) {
        s.methods = p["method"].cast<std::vector<std::string>>();
    }
    const auto preprocess = p["preprocess"].cast<std::vector<std::string>>();
    const std::optional<Transformation> plain =
        preprocess.size() == 1 ? transformation_from_text(preprocess.front()) : std::nullopt;
    if (plain && preprocess.front() != "no transformation") {
        s.input.transformation = *plain;
    } else {
        for (const std::string& text : preprocess) {
            try {
                for (std::string& one : pipeline_candidates(text)) {
                    s.preprocess.push_back(std::move(one));
                }
            } catch (const std::runtime_error& e) {
                throw py::value_error(std::string("preprocess: ") + e.what());
            }
        }
        s.input.transformation = Transformation::none; // the pipeline does what it asks
    }
    return s;
}

// A calibration made in memory: predicts as the model it writes will, through the job's own
// writer of figures and bounds, and writes that model on request.
class Calibration {
public:
    Calibration(const py::dict& parameters, const std::vector<std::string>& ids,
                const std::vector<std::string>& names, const Matrix& x,
                const std::vector<double>& y, const std::string& target)
        : settings_(settings_of(parameters)) {
        SpectraTable table;
        table.ids = ids;
        table.names = names;
        table.rows = rows_of(x, "X");
        run_interruptibly([&](LoggerSet& log) {
            model_ = std::make_unique<TrainedModel>(calibrate_model(
                settings_, training_set_of(table, y, target, settings_.input, log), log));
            exported_ = std::make_unique<ExportedFit>(model_->fit, settings_.bart.threads);
        });
        if (model_->report.cross_validation) {
            const CrossValidation& cv = *model_->report.cross_validation;
            calibration_ = interval_calibration(cv.pit, cv.residuals);
        }
    }

    // The mean, standard deviation and, per level, the calibrated band's bounds (the 95%
    // posterior-predictive band where there is no calibration) of every row.
    py::dict predict(const std::vector<std::string>& ids, const Matrix& x,
                     const std::vector<double>& levels, unsigned threads) const {
        SpectraRows rows = rows_of(x, "X");
        if (rows.size() != ids.size()) {
            throw py::value_error("X and sample_ids differ in length.");
        }
        for (std::vector<double>& row : rows) {
            if (row.size() != model_->report.covariates) {
                throw py::value_error("X has " + std::to_string(row.size()) +
                                      " features, but the model was calibrated on " +
                                      std::to_string(model_->report.covariates) + ".");
            }
            row = preprocessed(row);
        }
        const bool exponential = settings_.input.log;
        PairStatistics statistics;
        std::vector<double> low;
        std::vector<double> high;
        CalibratedBounds calibrated;
        run_interruptibly([&](LoggerSet& log) {
            // The saved model's draws are read in byte order of their file names, and the mean
            // sums them in that order: so here too, for the same mean to the last bit.
            PredictionMatrix by_draw = exported_->predict(rows);
            if (model_->linear) {
                blend_draws(*model_->linear, rows, by_draw);
            }
            std::vector<std::size_t> draw_of_row(by_draw.size());
            std::iota(draw_of_row.begin(), draw_of_row.end(), std::size_t{0});
            std::sort(draw_of_row.begin(), draw_of_row.end(), [](std::size_t a, std::size_t b) {
                return draw_file_name(a) < draw_file_name(b);
            });
            PredictionMatrix matrix(by_draw.size());
            for (std::size_t r = 0; r < matrix.size(); ++r) {
                matrix[r] = std::move(by_draw[draw_of_row[r]]);
            }
            PredictionFileWriter writer("", ",", matrix.size(), log);
            writer.write(matrix, ids, exponential, nullptr, &statistics, threads);
            if (calibration_) {
                for (const double level : levels) {
                    calibrated.levels.push_back(calibrated_levels(*calibration_, level));
                }
            }
            predictive_bounds(matrix, draw_of_row, exported_->sigma(), ids, exponential, low, high,
                              calibration_ ? &calibrated : nullptr, threads);
        });
        py::dict out;
        out["mean"] = array_of(statistics.means);
        out["sd"] = array_of(statistics.standard_deviations);
        out["predictive_low"] = array_of(low);
        out["predictive_high"] = array_of(high);
        out["calibrated_low"] = array_of(calibrated.low, calibrated.low.empty() ? 0 : ids.size());
        out["calibrated_high"] =
            array_of(calibrated.high, calibrated.high.empty() ? 0 : ids.size());
        return out;
    }

    // Writes the model folder as `veldra-train` would; returns its path.
    std::string save(const std::string& models, const std::string& property,
                     const std::string& spectrometer, bool force, const std::string& target) {
        TrainingSettings settings = settings_;
        settings.models = models;
        settings.property = property;
        settings.spectrometer_type = spectrometer;
        settings.force = force;
        model_->report.target = target;
        run_interruptibly([&](LoggerSet& log) { write_trained_model(settings, *model_, log); });
        return model_->report.folder.string();
    }

    py::dict report() const {
        const TrainingReport& r = model_->report;
        py::dict out;
        out["samples"] = r.samples;
        out["covariates"] = r.covariates;
        out["k"] = r.k;
        out["k_rule"] = r.k_rule;
        out["preprocessing"] = r.preprocessing.empty()
                                   ? transformation_text(settings_.input.transformation)
                                   : r.preprocessing;
        out["preprocessing_rule"] = r.pipeline_rule;
        out["fit"] = figures(r.fit);
        if (r.cross_validation) {
            out["cross_validation"] = figures(r.cross_validation->accuracy);
        }
        out["domain"] = r.domain;
        out["calibrated"] = calibration_.has_value();
        out["method"] = r.method.empty() ? std::string("bart") : r.method;
        out["forest_weight"] = r.forest_weight;
        out["pls_components"] = r.pls_components;
        out["method_rule"] = r.method_rule;
        py::list methods;
        for (const MethodChoice& choice : r.method_choices) {
            py::dict one = figures(choice.accuracy);
            one["method"] = choice.method;
            one["forest_weight"] = choice.forest_weight;
            methods.append(one);
        }
        out["methods"] = methods;
        return out;
    }

private:
    static py::dict figures(const Accuracy& a) {
        py::dict out;
        out["r2"] = a.r2;
        out["rmse"] = a.rmse;
        out["bias"] = a.bias;
        out["rpiq"] = a.rpiq;
        out["coverage"] = a.coverage;
        out["interval_score"] = a.interval_score;
        return out;
    }

    // A row as the calibration's rows went into the forests.
    std::vector<double> preprocessed(const std::vector<double>& row) const {
        if (model_->pipeline) {
            std::vector<double> out;
            std::vector<double> scratch;
            model_->pipeline->apply(row.data(), out, scratch);
            return out;
        }
        if (settings_.input.transformation == Transformation::first_derivative) {
            std::vector<double> out(row.size());
            first_derivative(row.data(), row.size(), out.data());
            return out;
        }
        return row;
    }

    TrainingSettings settings_;
    std::unique_ptr<TrainedModel> model_;
    std::unique_ptr<ExportedFit> exported_;
    std::optional<IntervalCalibration> calibration_;
};

// Partial least squares with every number of components up to `components`: the intercepts
// and the coefficients (a row per number of components), as the trainer fits them.
py::tuple pls_path(const Matrix& x, const std::vector<double>& y, std::size_t components) {
    const PlsPath path(rows_of(x, "X"), y, components);
    std::vector<double> intercepts;
    std::vector<std::vector<double>> coefficients;
    for (std::size_t a = 1; a <= path.components(); ++a) {
        intercepts.push_back(path.intercept(a));
        coefficients.push_back(path.coefficients(a));
    }
    return py::make_tuple(array_of(intercepts),
                          array_of(coefficients, coefficients.front().size()));
}

} // namespace

void bind_calibration(py::module_& m) {
    m.def(
        "copy_model",
        [](const std::string& source, const std::string& models, const std::string& property,
           const std::string& spectrometer, bool force, const std::string& target) {
            TrainingSettings settings;
            settings.models = models;
            settings.property = property;
            settings.spectrometer_type = spectrometer;
            settings.force = force;
            std::string folder;
            run_interruptibly([&](LoggerSet& log) {
                folder = copy_trained_model(source, settings, target, log).string();
            });
            return folder;
        },
        py::arg("source"), py::arg("models"), py::arg("property"), py::arg("spectrometer"),
        py::arg("force"), py::arg("target"));
    m.def("pls_path", &pls_path, py::arg("x"), py::arg("y"), py::arg("components"));
    m.def(
        "fit_pls",
        [](const Matrix& x, const std::vector<double>& y) {
            const PlsModel model = fit_pls(rows_of(x, "X"), y);
            return py::make_tuple(model.intercept, array_of(model.coefficients), model.components,
                                  array_of(model.inner_rmse));
        },
        py::arg("x"), py::arg("y"));
    py::class_<Calibration>(m, "Calibration")
        .def(py::init<const py::dict&, const std::vector<std::string>&,
                      const std::vector<std::string>&, const Matrix&, const std::vector<double>&,
                      const std::string&>(),
             py::arg("parameters"), py::arg("ids"), py::arg("names"), py::arg("x"), py::arg("y"),
             py::arg("target"))
        .def("predict", &Calibration::predict, py::arg("ids"), py::arg("x"), py::arg("levels"),
             py::arg("threads"))
        .def("save", &Calibration::save, py::arg("models"), py::arg("property"),
             py::arg("spectrometer"), py::arg("force"), py::arg("target"))
        .def("report", &Calibration::report);
}

} // namespace veldra::python
