#include "input/input_dispatch.h"
#include "job/decision_settings.h"
#include "models/model_directory.h"
#include "models/model_layout.h"
#include "python/arrays.h"
#include "python/calibration_binding.h"
#include "python/interruptible.h"
#include "python/model_binding.h"
#include "text/number_text.h"
#include "version.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include <boost/filesystem/operations.hpp>

#include <pybind11/stl.h>

namespace py = pybind11;

namespace veldra::python {

namespace {

// The spectra of an OPUS folder or a CSV table as a job reads them (replicates averaged, the
// same checks and messages): identifiers, covariate names, values, the machine type and the OPUS
// files that gave no spectrum, with why.
py::tuple read_spectra(const std::string& opus_folder, const std::string& csv_file,
                       const std::string& configuration, const std::string& spectrometer,
                       const std::string& sample_id) {
    SpectraTable table;
    const std::string folder =
        opus_folder.empty() || opus_folder.back() == '/' ? opus_folder : opus_folder + "/";
    OpusFolderOptions options(SampleNaming(sample_id), own_spectrometer({spectrometer}));
    options.keep_empty_points = true; // NaN, as a conversion leaves them empty
    run_interruptibly([&](LoggerSet& log) {
        table = read_spectra_input(log, configuration, folder, csv_file, {}, {}, options);
    });
    std::vector<py::tuple> defective;
    for (const DefectiveFile& file : table.defective) {
        defective.push_back(py::make_tuple(file.path, file.reason));
    }
    const std::size_t columns = table.rows.empty() ? table.names.size() : table.rows.front().size();
    return py::make_tuple(table.ids, table.names, array_of(table.rows, columns), table.machine_type,
                          defective);
}

// A message of the libraries with the settings named as Python names them: the libraries speak
// the command line's words ("use --force"), which a Python user does not type.
std::string in_python_words(std::string message) {
    static const std::pair<const char*, const char*> words[] = {
        {"--force", "force=True"},
        {"--cv K or --folds", "cv=K"},
        {"--sample-id", "sample_id"},
        {"--k ", "k "},
    };
    for (const auto& [command_line, python] : words) {
        for (std::size_t at = message.find(command_line); at != std::string::npos;
             at = message.find(command_line, at + std::strlen(python))) {
            message.replace(at, std::strlen(command_line), python);
        }
    }
    return message;
}

// The exception every error of the libraries is raised as.
py::exception<std::runtime_error>* veldra_error = nullptr;

// The model directory of the programs at `program` (the build's, beside the module in a build
// tree), or of those installed with the Python running, found as they find theirs; "" when none
// is.
std::string installed_model_directory(const std::string& program) {
    const std::optional<ModelDirectory> found = search_model_directory(program);
    return found ? found->string() : std::string();
}

} // namespace

} // namespace veldra::python

PYBIND11_MODULE(_core, m) {
    using namespace veldra;
    using namespace veldra::python;
    m.doc() = "Veldra's prediction and calibration libraries";
    m.attr("__version__") = veldra_version;
    // Every error of the libraries is a complete message for the user, raised as VeldraError (a
    // ValueError: it is the input that is wrong).
    // Kept for the life of the process: Python may still raise it while the module is torn down.
    veldra_error = new py::exception<std::runtime_error>(m, "VeldraError", PyExc_ValueError);
    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) {
                std::rethrow_exception(raised);
            }
        } catch (const py::error_already_set&) {
            throw; // a Python exception (KeyboardInterrupt) passes as it is
        } catch (const py::builtin_exception&) {
            throw; // pybind11's own: ValueError, TypeError, ...
        } catch (const std::runtime_error& e) {
            PyErr_SetString(veldra_error->ptr(), in_python_words(e.what()).c_str());
        }
    });
    m.def("read_spectra", &read_spectra, py::arg("opus_folder"), py::arg("csv_file"),
          py::arg("configuration"), py::arg("spectrometer"), py::arg("sample_id"));
    m.def("installed_model_directory", &installed_model_directory, py::arg("program") = "");
    m.def("opus_configuration", [](const std::string& models) {
        return opus_configuration_file(ModelDirectory(models)).string();
    });
    m.def("wavenumbers_of",
          [](const std::vector<std::string>& names) { return wavenumbers_of(names); });
    m.def("shortest_text", &shortest_text);
    m.def("parse_level", &parse_level);
    bind_model(m);
    bind_calibration(m);
}
