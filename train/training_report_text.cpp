#include "train/training_report_text.h"

#include "text/number_text.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace veldra {

namespace {

std::string fixed(double value, int decimals) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

// A candidate's interval score above the chosen one's, sample by sample, with its standard
// error ("+0.2129 +/- 0.0840"), marked "~ " when it lies within one standard error; "" for the
// chosen one itself.
template <class Choice>
std::string above_chosen(const Choice& choice, const std::vector<Choice>& choices,
                         bool (*is_chosen)(const Choice&, const TrainingReport&),
                         const TrainingReport& report) {
    const auto chosen = std::find_if(choices.begin(), choices.end(),
                                     [&](const Choice& c) { return is_chosen(c, report); });
    if (chosen == choices.end() || &*chosen == &choice) {
        return "";
    }
    const PairedDifference d = paired_difference(choice.scores, chosen->scores);
    return std::string(d.mean <= d.standard_error ? "~ " : "") + (d.mean < 0.0 ? "" : "+") +
           fixed(d.mean, 4) + " +/- " + fixed(d.standard_error, 4);
}

bool is_chosen_pipeline(const PipelineChoice& choice, const TrainingReport& report) {
    return choice.pipeline == report.preprocessing;
}

bool is_chosen_k(const KChoice& choice, const TrainingReport& report) {
    return choice.k == report.k;
}

// The line that says which rule chose, for the default `fallback`.
std::string rule_line(const std::string& chosen, const std::string& rule,
                      const std::string& fallback) {
    std::string why;
    if (rule == "the default") {
        why = "the default: no other candidate's interval score is lower by more than one "
              "standard error";
    } else if (rule == "the lowest") {
        why = "the lowest interval score (the default " + fallback + " is not a candidate)";
    } else {
        why = "its interval score is lower than the default " + fallback +
              "'s by more than one standard error";
    }
    return "chosen: " + chosen + ", " + why + "\n";
}

bool is_chosen_method(const MethodChoice& choice, const TrainingReport& report) {
    return choice.method == report.method;
}

// The methods side by side: every one's out-of-fold figures, the chosen one marked.
void method_lines(std::ostream& out, const TrainingReport& report) {
    out << "method chosen by the out-of-fold interval score of the 95% bands (lower is better):\n"
        << "  method  weight      R2      RMSE      bias  coverage  interval score          "
           "above chosen\n";
    for (const MethodChoice& choice : report.method_choices) {
        const Accuracy& a = choice.accuracy;
        out << (is_chosen_method(choice, report) ? "* " : "  ") << std::left << std::setw(6)
            << choice.method << std::right << std::setw(8) << fixed(choice.forest_weight, 1)
            << std::setw(8) << fixed(a.r2, 3) << std::setw(10) << fixed(a.rmse, 4) << std::setw(10)
            << fixed(a.bias, 4) << std::setw(10) << fixed(a.coverage, 3) << std::setw(16)
            << fixed(a.interval_score, 4);
        const std::string above =
            above_chosen(choice, report.method_choices, is_chosen_method, report);
        if (!above.empty()) {
            out << std::setw(22) << above;
        }
        out << "\n";
    }
    if (!report.method_rule.empty()) {
        out << rule_line(report.method, report.method_rule, "blend");
    }
    out << "(weight: the forests' share of each draw, the rest partial least squares)\n";
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
            << "      RMSE  coverage  interval score          above chosen  pipeline\n";
        for (const PipelineChoice& choice : report.pipeline_choices) {
            const Accuracy& a = choice.accuracy;
            out << (is_chosen_pipeline(choice, report) ? "* " : "  ") << std::setw(8)
                << fixed(a.rmse, 4) << std::setw(10) << fixed(a.coverage, 3) << std::setw(16)
                << fixed(a.interval_score, 4) << std::setw(22)
                << above_chosen(choice, report.pipeline_choices, is_chosen_pipeline, report) << "  "
                << choice.pipeline << "\n";
        }
        if (!report.pipeline_rule.empty()) {
            out << rule_line(report.preprocessing, report.pipeline_rule, "first_der");
        }
    }
    if (!report.k_choices.empty()) {
        out << "k chosen by the out-of-fold interval score of the 95% bands (lower is better):\n"
            << "         k      RMSE  coverage  interval score          above chosen\n";
        for (const KChoice& choice : report.k_choices) {
            const Accuracy& a = choice.accuracy;
            out << (is_chosen_k(choice, report) ? "  * " : "    ") << std::setw(6)
                << shortest_text(choice.k) << std::setw(10) << fixed(a.rmse, 4) << std::setw(10)
                << fixed(a.coverage, 3) << std::setw(16) << fixed(a.interval_score, 4);
            const std::string above = above_chosen(choice, report.k_choices, is_chosen_k, report);
            if (!above.empty()) {
                out << std::setw(22) << above;
            }
            out << "\n";
        }
        if (!report.k_rule.empty()) {
            out << rule_line("k " + shortest_text(report.k), report.k_rule, "k 2");
        }
    }
    if (!report.method.empty() && report.method != "bart") {
        out << "method: " << report.method << ", forests' weight " << fixed(report.forest_weight, 1)
            << ", partial least squares with " << report.pls_components
            << (report.pls_components == 1 ? " component" : " components") << ", error spreads x"
            << fixed(report.spread_factor, 3) << "\n";
    }
    if (report.method_choices.size() > 1) {
        method_lines(out, report);
    }
    if (report.pipeline_choices.size() > 1 || report.k_choices.size() > 1 ||
        report.method_choices.size() > 1) {
        out << "above chosen: how much higher the interval score is than the chosen one's, "
               "sample by\nsample, +/- its standard error; ~: within one standard error (these "
               "samples cannot tell\nthat candidate from the chosen one)\n";
    }
    return out.str();
}

} // namespace veldra
