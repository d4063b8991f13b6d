#include "train/training_report_text.h"

#include "text/number_text.h"

#include <iomanip>
#include <sstream>

namespace veldra {

namespace {

std::string fixed(double value, int decimals) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

} // namespace

std::string training_report_text(const TrainingReport& report) {
    std::ostringstream out;
    out << "samples " << report.samples << ", skipped " << report.skipped << ", covariates "
        << report.covariates << "\n";
    out << "              R2      RMSE      bias      RPIQ  coverage\n";
    const auto line = [&](const char* name, const Accuracy& a) {
        out << std::left << std::setw(10) << name << std::right << std::setw(8) << fixed(a.r2, 3)
            << std::setw(10) << fixed(a.rmse, 4) << std::setw(10) << fixed(a.bias, 4)
            << std::setw(10) << fixed(a.rpiq, 2) << std::setw(10) << fixed(a.coverage, 3) << "\n";
    };
    line("fit", report.fit);
    if (report.cross_validation) {
        line("cv", report.cross_validation->accuracy);
        out << "(cv: " << report.cross_validation->method << ", out-of-fold, pooled)\n";
    }
    if (!report.preprocessing.empty()) {
        out << "preprocessing: " << report.preprocessing << "\n";
    }
    if (!report.pipeline_choices.empty()) {
        out << "preprocessing chosen by the out-of-fold interval score of the 95% bands (lower "
               "is better):\n"
            << "      RMSE  coverage  interval score  pipeline\n";
        for (const PipelineChoice& choice : report.pipeline_choices) {
            const Accuracy& a = choice.accuracy;
            out << (choice.pipeline == report.preprocessing ? "* " : "  ") << std::setw(8)
                << fixed(a.rmse, 4) << std::setw(10) << fixed(a.coverage, 3) << std::setw(16)
                << fixed(a.interval_score, 4) << "  " << choice.pipeline << "\n";
        }
    }
    if (!report.k_choices.empty()) {
        out << "k chosen by the out-of-fold interval score of the 95% bands (lower is better):\n"
            << "         k      RMSE  coverage  interval score\n";
        for (const KChoice& choice : report.k_choices) {
            const Accuracy& a = choice.accuracy;
            out << (choice.k == report.k ? "  * " : "    ") << std::setw(6)
                << shortest_text(choice.k) << std::setw(10) << fixed(a.rmse, 4) << std::setw(10)
                << fixed(a.coverage, 3) << std::setw(16) << fixed(a.interval_score, 4) << "\n";
        }
    }
    return out.str();
}

} // namespace veldra
