#include "job/job_summary.h"

#include "bart/order_statistics.h"

#include "job/number_format.h"
#include "job/result_file.h"
#include "job/sample_runs.h"
#include "models/interval_calibration.h"
#include "text/csv_record.h"
#include "text/platform.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace {

void append_value(std::string& line, const std::vector<double>& values, std::size_t i) {
    line += ',';
    if (i < values.size() && std::isinf(values[i])) {
        line += values[i] < 0 ? "-Inf" : "Inf"; // an open bound, as R writes it
    } else if (i < values.size() && !std::isnan(values[i])) {
        append_general6(line, values[i]);
    } else {
        line += "NA";
    }
}

// The calibrated levels that name their level, from the lowest level to the highest.
std::vector<std::size_t> nesting_order(const CalibratedBounds& calibrated) {
    std::vector<std::size_t> order;
    for (std::size_t l = 0; l < calibrated.levels.size(); ++l) {
        if (calibrated.levels[l] && !std::isnan(calibrated.levels[l]->level)) {
            order.push_back(l);
        }
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return calibrated.levels[a]->level < calibrated.levels[b]->level;
    });
    return order;
}

// Widens each level's interval of sample `j` to hold those of the lower levels: the draws bound
// one level and the residuals another, and the two need not nest. Widening keeps a level's
// coverage (its interval only grows); narrowing the lower one would not keep its.
void nest(CalibratedBounds& calibrated, const std::vector<std::size_t>& order, std::size_t j) {
    double low = std::numeric_limits<double>::infinity(); // the widest of the lower levels
    double high = -low;
    for (const std::size_t l : order) {
        if (std::isnan(calibrated.low[l][j]) || std::isnan(calibrated.high[l][j])) {
            continue;
        }
        calibrated.low[l][j] = low = std::min(calibrated.low[l][j], low);
        calibrated.high[l][j] = high = std::max(calibrated.high[l][j], high);
    }
}

} // namespace

void predictive_bounds(const PredictionMatrix& matrix, const std::vector<std::size_t>& draw_of_row,
                       const std::vector<double>& sigma, const std::vector<std::string>& ids,
                       bool exponential, std::vector<double>& low, std::vector<double>& high,
                       CalibratedBounds* calibrated, unsigned threads) {
    const std::size_t samples = ids.size();
    low.assign(samples, 0.0);
    high.assign(samples, 0.0);
    const std::size_t levels = calibrated ? calibrated->levels.size() : 0;
    if (calibrated) {
        calibrated->low.assign(levels, std::vector<double>(samples, std::nan("")));
        calibrated->high.assign(levels, std::vector<double>(samples, std::nan("")));
    }
    // The places of the draws in order that the bands read, the same for every sample: only
    // they are selected.
    const BandRanks band_places = predictive_band_ranks(matrix.size());
    std::vector<BandRanks> level_places(levels);
    std::vector<std::size_t> places;
    const auto add = [&places](const BandRanks& ranks) {
        for (const std::optional<std::size_t>& place : {ranks.lower, ranks.upper}) {
            if (place) {
                places.push_back(*place);
            }
        }
    };
    add(band_places);
    for (std::size_t l = 0; l < levels; ++l) {
        if (const auto& between = calibrated->levels[l]) {
            level_places[l] = band_ranks(matrix.size(), between->low, between->high);
            add(level_places[l]);
        }
    }
    std::sort(places.begin(), places.end());
    const std::vector<std::size_t> nesting =
        calibrated ? nesting_order(*calibrated) : std::vector<std::size_t>();
    const auto sample_bounds = [&](std::size_t j, std::vector<double>& fitted,
                                   std::vector<double>& scratch) {
        for (std::size_t d = 0; d < matrix.size(); ++d) {
            fitted[draw_of_row[d]] = matrix[d][j];
        }
        predictive_values(fitted, sigma, ids[j], exponential, scratch);
        select_order_statistics(scratch, places);
        const PredictiveBand band = band_at(scratch, band_places);
        low[j] = band.low;
        high[j] = band.high;
        std::optional<PredictiveSpread> spread; // computed once, for a level that needs it
        for (std::size_t l = 0; l < levels; ++l) {
            const auto& between = calibrated->levels[l];
            if (!between) {
                continue;
            }
            PredictiveBand bounds;
            if (!std::isnan(between->residual_bound)) {
                if (!spread) {
                    spread = predictive_spread(fitted, sigma, ids[j]);
                }
                bounds.low = spread->mean - between->residual_bound * spread->sd;
                bounds.high = spread->mean + between->residual_bound * spread->sd;
                if (exponential) {
                    bounds.low = std::exp(bounds.low);
                    bounds.high = std::exp(bounds.high);
                }
            } else {
                bounds = band_at(scratch, level_places[l]);
            }
            calibrated->low[l][j] = bounds.low;
            calibrated->high[l][j] = bounds.high;
        }
        if (calibrated != nullptr) {
            nest(*calibrated, nesting, j);
        }
    };
    // Each sample's bounds depend on its own draws alone: the samples are shared out in runs,
    // one per thread, each with its own working room.
    const auto bounds_of = [&](std::size_t first, std::size_t last) {
        std::vector<double> fitted(matrix.size());
        std::vector<double> scratch;
        for (std::size_t j = first; j < last; ++j) {
            sample_bounds(j, fitted, scratch);
        }
    };
    for_sample_runs(samples, threads, bounds_of);
}

std::string sample_decision(char domain, double low, double high, double tolerance,
                            const std::string& unbanded) {
    std::string reasons;
    const auto add = [&](const char* reason) {
        reasons += (reasons.empty() ? "re-measure: " : "; ") + std::string(reason);
    };
    if (domain == 'o') {
        add("outside");
    } else if (domain != 'i') {
        add("unknown domain");
    }
    if (std::isnan(low) || std::isnan(high)) {
        add(unbanded.c_str());
    } else if (std::isinf(low) || std::isinf(high)) {
        add("interval open");
    } else if (!((high - low) / 2.0 <= tolerance)) {
        add("too wide");
    }
    return reasons.empty() ? "accept" : reasons;
}

std::string decision_reasons_text(const std::string& decision, const std::string& domain_reason) {
    const std::string prefix = "re-measure: ";
    if (decision.compare(0, prefix.size(), prefix) != 0) {
        return std::string();
    }
    std::string text;
    std::size_t from = prefix.size();
    while (from <= decision.size()) {
        const std::size_t end = std::min(decision.find("; ", from), decision.size());
        const std::string reason = decision.substr(from, end - from);
        text += (text.empty() ? "" : "; ") + reason;
        if (reason == "outside" && !domain_reason.empty()) {
            // Its ranges joined by commas, so that "; " still parts the reasons.
            std::string ranges = domain_reason;
            for (std::size_t at = ranges.find("; "); at != std::string::npos;
                 at = ranges.find("; ", at + 2)) {
                ranges[at] = ',';
            }
            text += " at " + ranges;
        }
        from = end + 2;
    }
    return text;
}

SummaryWriter::SummaryWriter(const std::string& path, const std::vector<double>& levels,
                             StagedOutputs* staging)
    : file_(std::make_unique<ResultFileStream>(path, staging)), levels_(levels.size()) {
    file_->stream() << summary_header << ',' << summary_preprocessing_column;
    for (const double level : levels) {
        file_->stream() << ",calibrated " << lower_percent(level) << "%,calibrated "
                        << upper_percent(level) << '%';
    }
    file_->stream() << ',' << summary_decision_column << ',' << summary_reason_column << ','
                    << summary_resampling_column << ',' << summary_r2_source_column << '\n';
}

SummaryWriter::~SummaryWriter() = default;

void SummaryWriter::write(const std::vector<SummaryPart>& parts) {
    static const std::vector<double> no_values;
    std::string& line = line_;
    const std::size_t samples = parts.empty() ? 0 : parts.front().ids.size();
    for (std::size_t i = 0; i < samples; ++i) {
        for (const SummaryPart& part : parts) {
            const PairStatistics& s = part.statistics;
            line = csv_field(part.ids[i]) + ',' + csv_field(part.spectrometer_type) + ',' +
                   csv_field(part.property);
            append_value(line, s.means, i);
            append_value(line, s.standard_deviations, i);
            append_value(line, s.low, i);
            append_value(line, s.median, i);
            append_value(line, s.high, i);
            append_value(line, s.predictive_low, i);
            append_value(line, s.predictive_high, i);
            if (i < s.outside.size()) {
                line += s.outside[i] ? ",outside" : ",inside";
            } else {
                line += ",unknown";
            }
            append_value(line, s.t2, i);
            append_value(line, s.q, i);
            line += ',';
            if (part.model_r2) {
                append_general6(line, *part.model_r2);
            } else {
                line += "NA";
            }
            line += ',' + csv_field(part.preprocessing);
            for (std::size_t l = 0; l < levels_; ++l) {
                append_value(line, l < s.calibrated_low.size() ? s.calibrated_low[l] : no_values,
                             i);
                append_value(line, l < s.calibrated_high.size() ? s.calibrated_high[l] : no_values,
                             i);
            }
            line += ',' + (i < s.decisions.size() ? csv_field(s.decisions[i]) : "NA");
            line += ',' + (i < s.domain_reasons.size() ? csv_field(s.domain_reasons[i]) : "");
            line += ',';
            if (part.resampled_from > 0) {
                line += "resampled from " + std::to_string(part.resampled_from) + " points";
            }
            line += ',' + part.r2_source;
            line += '\n';
            file_->stream() << line;
        }
    }
}

void SummaryWriter::close() {
    file_->close();
}

namespace {

// Where each of the summary's columns stands in a file's header; nothing when one is missing.
std::optional<std::array<std::size_t, summary_columns>>
column_places(const std::vector<std::string>& header) {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> split;
        std::size_t position = 0;
        std::size_t lines = 0;
        next_csv_record(summary_header, position, split, lines);
        split.push_back(summary_preprocessing_column);
        return split;
    }();
    std::array<std::size_t, summary_columns> places{};
    for (std::size_t k = 0; k < summary_columns; ++k) {
        const auto found = std::find(header.begin(), header.end(), names[k]);
        if (found == header.end() &&
            k != static_cast<std::size_t>(SummaryColumn::model_preprocessing)) {
            return std::nullopt;
        }
        places[k] = static_cast<std::size_t>(found - header.begin()); // the width when absent
    }
    return places;
}

// Where the later columns stand: the calibrated bounds in pairs, "decision" and "domain reason"
// (the header's width when absent).
struct LaterColumns {
    std::vector<std::size_t> calibrated;
    std::size_t decision = 0;
    std::size_t reason = 0;
    std::size_t resampling = 0;
    std::size_t r2_source = 0;
};

LaterColumns later_columns(const std::vector<std::string>& header, std::vector<double>& levels) {
    LaterColumns later;
    later.decision = later.reason = later.resampling = later.r2_source = header.size();
    const std::string prefix = "calibrated ";
    bool open = false; // a lower bound waits for its upper one
    double lower = 0.0;
    for (std::size_t k = 0; k < header.size(); ++k) {
        const std::string& name = header[k];
        if (name == summary_decision_column) {
            later.decision = k;
        } else if (name == summary_reason_column) {
            later.reason = k;
        } else if (name == summary_resampling_column) {
            later.resampling = k;
        } else if (name == summary_r2_source_column) {
            later.r2_source = k;
        } else if (name.size() > prefix.size() + 1 && name.compare(0, prefix.size(), prefix) == 0 &&
                   name.back() == '%') {
            double percent = 0.0;
            const char* begin = name.data() + prefix.size();
            const char* end = name.data() + name.size() - 1;
            if (std::from_chars(begin, end, percent).ptr != end) {
                continue;
            }
            later.calibrated.push_back(k);
            if (!open) {
                lower = percent;
            } else {
                levels.push_back((percent - lower) / 100.0);
            }
            open = !open;
        }
    }
    if (open) {
        later.calibrated.pop_back(); // a lower bound without its upper one
    }
    return later;
}

// The numbers and the domain of a record's summary columns into `row`; what is wrong with
// them, or "".
std::string read_figures(const std::array<std::size_t, summary_columns>& places, SummaryRow& row) {
    std::string bad;
    const auto number_of = [&](SummaryColumn column) {
        const std::string& field = row.text(column);
        if (field == "NA") {
            return std::nan("");
        }
        double value = 0.0;
        const char* end = field.data() + field.size();
        const auto read = std::from_chars(field.data(), end, value);
        if ((field.empty() || read.ec != std::errc() || read.ptr != end) && bad.empty()) {
            bad = "field " + std::to_string(places[static_cast<std::size_t>(column)] + 1) +
                  " is \"" + field.substr(0, 40) + "\", neither a number nor NA.";
        }
        return value;
    };
    for (std::size_t k = 0; k < row.figures.size() && bad.empty(); ++k) {
        row.figures[k] = number_of(static_cast<SummaryColumn>(k + 3));
    }
    if (!bad.empty()) {
        return bad;
    }
    const std::string& domain = row.domain();
    if (domain != "inside" && domain != "outside" && domain != "unknown") {
        return "the domain is \"" + domain.substr(0, 40) + "\", not inside, outside or unknown.";
    }
    row.t2 = number_of(SummaryColumn::t2);
    row.q = number_of(SummaryColumn::q);
    row.model_r2 = number_of(SummaryColumn::model_r2);
    return bad;
}

// The later columns of a record into `row`; what is wrong with them, or "".
std::string read_later_columns(const LaterColumns& later, std::vector<std::string>& fields,
                               SummaryRow& row) {
    for (const std::size_t k : later.calibrated) {
        const std::string& field = fields[k];
        double value = std::nan("");
        const char* end = field.data() + field.size();
        if (field != "NA" &&
            (field.empty() || std::from_chars(field.data(), end, value).ptr != end)) {
            return "field " + std::to_string(k + 1) + " is \"" + field.substr(0, 40) +
                   "\", neither a number nor NA.";
        }
        row.calibrated.push_back(value);
    }
    if (later.decision < fields.size()) {
        row.decision = std::move(fields[later.decision]);
    }
    if (later.reason < fields.size()) {
        row.domain_reason = std::move(fields[later.reason]);
    }
    if (later.resampling < fields.size()) {
        row.resampling = std::move(fields[later.resampling]);
    }
    if (later.r2_source < fields.size()) {
        row.r2_source = std::move(fields[later.r2_source]);
    }
    return std::string();
}

} // namespace

SummaryTable parse_summary(const std::string& text, const std::string& name) {
    std::size_t line = 1;
    const auto fail = [&](std::size_t at, const std::string& what) {
        throw std::runtime_error("The summary file \"" + name + "\", line " + std::to_string(at) +
                                 ": " + what);
    };
    std::size_t position = 0;
    std::vector<std::string> fields;
    const auto next = [&]() {
        try {
            return next_csv_record(text, position, fields, line);
        } catch (const std::runtime_error& e) {
            fail(line, std::string(e.what()) + ".");
        }
        return false;
    };
    const auto places = next() ? column_places(fields) : std::nullopt;
    if (!places) {
        fail(1, "is not the header of a summary (" + std::string(summary_header) + ").");
    }
    const std::size_t width = fields.size();
    SummaryTable table;
    const LaterColumns later = later_columns(fields, table.levels);
    std::map<std::pair<std::string, std::string>, bool> seen_pairs;
    std::map<std::string, bool> seen_samples;
    for (std::size_t number = line; next(); number = line) {
        if (fields.size() == 1 && fields[0].empty()) {
            continue;
        }
        if (table.rows.size() >= largest_summary_rows) {
            fail(number, "more than " + std::to_string(largest_summary_rows) + " rows.");
        }
        if (fields.size() != width) {
            fail(number, "has " + std::to_string(fields.size()) + " fields; the header has " +
                             std::to_string(width) + ".");
        }
        SummaryRow row;
        for (std::size_t k = 0; k < summary_columns; ++k) {
            if ((*places)[k] < width) {
                row.fields[k] = std::move(fields[(*places)[k]]);
            }
        }
        const std::string bad_figure = read_figures(*places, row);
        if (!bad_figure.empty()) {
            fail(number, bad_figure);
        }
        const std::string bad = read_later_columns(later, fields, row);
        if (!bad.empty()) {
            fail(number, bad);
        }
        const std::pair<std::string, std::string> pair{row.text(SummaryColumn::spectrometer),
                                                       row.text(SummaryColumn::property)};
        if (seen_pairs.emplace(pair, true).second) {
            table.pairs.push_back(pair);
        }
        if (seen_samples.emplace(row.id(), true).second) {
            table.samples.push_back(row.id());
        }
        table.rows.push_back(std::move(row));
    }
    return table;
}

std::string summary_window_problem(const std::string& path) {
    boost::system::error_code error;
    const std::uintmax_t size = boost::filesystem::file_size(path, error);
    if (error || size <= largest_window_summary_bytes) {
        return std::string(); // a missing file is told by the reader
    }
    return "The summary \"" + path + "\" holds " + std::to_string((size + (1u << 20) - 1) >> 20) +
           " MB, more than the results window shows (" +
           std::to_string(largest_window_summary_bytes >> 20) +
           " MB): open it in a spreadsheet or a script instead.";
}

SummaryTable read_summary_file(const std::string& path) {
    std::ifstream in(native_path(path), std::ios::binary);
    if (!in) {
        throw std::runtime_error("Cannot open the summary file \"" + path + "\".");
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse_summary(text.str(), path);
}

} // namespace veldra
