#include "job/job_summary.h"

#include "job/number_format.h"
#include "job/result_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

namespace veldra {

namespace {

std::uint64_t mix(std::uint64_t x) {
    // SplitMix64's finaliser: every input bit reaches every output bit.
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::uint64_t text_hash(const std::string& text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL; // FNV-1a
    for (const char c : text) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    return hash;
}

// A uniform number in (0, 1] from the top 53 bits.
double unit(std::uint64_t bits) {
    return (static_cast<double>(bits >> 11) + 1.0) * 0x1.0p-53;
}

void append_value(std::string& line, const std::vector<double>& values, std::size_t i) {
    line += ',';
    if (i < values.size() && !std::isnan(values[i])) {
        append_general6(line, values[i]);
    } else {
        line += "NA";
    }
}

} // namespace

std::optional<std::vector<double>> read_sigma_file(const std::string& folder, std::size_t draws) {
    const boost::filesystem::path file = boost::filesystem::path(folder) / "sigma.txt";
    boost::system::error_code error;
    if (!boost::filesystem::is_regular_file(file, error)) {
        return std::nullopt;
    }
    std::ifstream in(file.string());
    std::vector<double> sigma;
    std::string line;
    while (std::getline(in, line) && sigma.size() <= draws) {
        if (line.empty() || line == "\r") {
            continue;
        }
        std::istringstream fields(line);
        fields.imbue(std::locale::classic());
        double value = 0.0;
        std::string rest;
        if (!(fields >> value) || (fields >> rest) || !std::isfinite(value) || value < 0.0) {
            throw std::runtime_error("The error spread file \"" + file.string() + "\" holds \"" +
                                     line.substr(0, 40) +
                                     "\", not one number of at least 0 per line.");
        }
        sigma.push_back(value);
    }
    if (sigma.size() != draws) {
        throw std::runtime_error("The error spread file \"" + file.string() + "\" holds " +
                                 (sigma.size() > draws ? "more than " + std::to_string(draws)
                                                       : std::to_string(sigma.size())) +
                                 " values for " + std::to_string(draws) + " draws.");
    }
    return sigma;
}

double sample_draw_normal(const std::string& id, std::size_t draw) {
    const std::uint64_t seed = mix(text_hash(id) ^ mix(static_cast<std::uint64_t>(draw)));
    const double u1 = unit(mix(seed));
    const double u2 = unit(mix(seed ^ 0x5851f42d4c957f2dULL));
    // Box-Muller: one of the pair of independent normals.
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

void predictive_bounds(const PredictionMatrix& matrix, const std::vector<double>& sigma,
                       const std::vector<std::string>& ids, bool exponential,
                       std::vector<double>& low, std::vector<double>& high) {
    const std::size_t draws = matrix.size();
    const std::size_t samples = ids.size();
    low.assign(samples, 0.0);
    high.assign(samples, 0.0);
    std::vector<double> y(draws);
    const auto index = [&](double level) {
        return std::min(draws - 1, static_cast<std::size_t>(level * static_cast<double>(draws)));
    };
    for (std::size_t j = 0; j < samples; ++j) {
        for (std::size_t d = 0; d < draws; ++d) {
            const double value = matrix[d][j] + sigma[d] * sample_draw_normal(ids[j], d);
            y[d] = exponential ? std::exp(value) : value;
        }
        std::sort(y.begin(), y.end(),
                  [](double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); });
        low[j] = y[index(0.025)];
        high[j] = y[index(0.975)];
    }
}

std::string summary_path(const std::string& output_path) {
    const boost::filesystem::path output(output_path);
    const std::string name = output.filename().string();
    const std::size_t dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    const std::string stem = name.substr(0, name.size() - extension.size());
    return (output.parent_path() / (stem + "-summary" + extension)).string();
}

SummaryWriter::SummaryWriter(const std::string& path)
    : file_(std::make_unique<ResultFileStream>(path)) {
    file_->stream() << summary_header << '\n';
}

SummaryWriter::~SummaryWriter() = default;

void SummaryWriter::write(const std::vector<SummaryPart>& parts) {
    std::string& line = line_;
    const std::size_t samples = parts.empty() ? 0 : parts.front().ids.size();
    for (std::size_t i = 0; i < samples; ++i) {
        for (const SummaryPart& part : parts) {
            const PairStatistics& s = part.statistics;
            line = part.ids[i] + ',' + part.spectrometer_type + ',' + part.property;
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
            line += '\n';
            file_->stream() << line;
        }
    }
}

void SummaryWriter::close() {
    file_->close();
}

SummaryTable parse_summary(const std::string& text, const std::string& name) {
    const auto fail = [&](std::size_t line, const std::string& what) {
        throw std::runtime_error("The summary file \"" + name + "\", line " + std::to_string(line) +
                                 ": " + what);
    };
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != summary_header) {
        fail(1, "is not the header of a summary (" + std::string(summary_header) + ").");
    }
    SummaryTable table;
    std::map<std::pair<std::string, std::string>, bool> seen_pairs;
    std::map<std::string, bool> seen_samples;
    for (std::size_t number = 2; std::getline(in, line); ++number) {
        if (line.empty()) {
            continue;
        }
        if (table.rows.size() >= largest_summary_rows) {
            fail(number, "more than " + std::to_string(largest_summary_rows) + " rows.");
        }
        SummaryRow row;
        std::size_t start = 0;
        for (std::size_t k = 0; k < row.fields.size(); ++k) {
            const std::size_t comma = line.find(',', start);
            if ((comma == std::string::npos) != (k + 1 == row.fields.size())) {
                fail(number, "has " + std::string(comma == std::string::npos ? "fewer" : "more") +
                                 " than 14 fields.");
            }
            row.fields[k] = line.substr(start, comma - start);
            start = comma + 1;
        }
        const auto number_of = [&](std::size_t k) {
            const std::string& field = row.fields[k];
            if (field == "NA") {
                return std::nan("");
            }
            double value = 0.0;
            const char* end = field.data() + field.size();
            const auto read = std::from_chars(field.data(), end, value);
            if (field.empty() || read.ec != std::errc() || read.ptr != end) {
                fail(number, "field " + std::to_string(k + 1) + " is \"" + field.substr(0, 40) +
                                 "\", neither a number nor NA.");
            }
            return value;
        };
        for (std::size_t k = 0; k < row.figures.size(); ++k) {
            row.figures[k] = number_of(k + 3);
        }
        const std::string& domain = row.fields[10];
        if (domain != "inside" && domain != "outside" && domain != "unknown") {
            fail(number,
                 "the domain is \"" + domain.substr(0, 40) + "\", not inside, outside or unknown.");
        }
        row.t2 = number_of(11);
        row.q = number_of(12);
        row.model_r2 = number_of(13);
        const std::pair<std::string, std::string> pair{row.fields[1], row.fields[2]};
        if (seen_pairs.emplace(pair, true).second) {
            table.pairs.push_back(pair);
        }
        if (seen_samples.emplace(row.fields[0], true).second) {
            table.samples.push_back(row.fields[0]);
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
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("Cannot open the summary file \"" + path + "\".");
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse_summary(text.str(), path);
}

} // namespace veldra
