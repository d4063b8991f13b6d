#include "gui/dialogs.h"
#include "gui/results_window.h"
#include "job/job_record.h"
#include "job/job_runner.h"
#include "job/job_summary.h"
#include "models/domain_reason.h"
#include "models/model_layout.h"
#include "report/job_report.h"
#include "tools/model_tree_generator.h"
#include "version.h"

#include "tests/support/error_text.h"
#include "tests/support/scripted_dialogs.h"
#include "tests/support/temp_dir.h"

#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace veldra {
namespace {

using test::ScriptedDialogs;
using test::TempDir;

// The text of a PDF as pdftotext gives it (pages end in a form feed).
std::string pdf_text(const TempDir& dir, const std::string& pdf) {
    const std::string text = dir.file("report.txt");
    if (std::system(("pdftotext -layout '" + pdf + "' '" + text + "'").c_str()) != 0) {
        return "pdftotext failed on " + pdf;
    }
    return test::read_file(text);
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// A job of 17 properties x 100 samples on small demonstration models.
struct ReportJob {
    TempDir dir;
    JobSettings settings;
    JobRecord record;
    ReportJob() {
        tools::ModelTreeOptions options;
        options.draws = 12;
        options.trees = 4;
        options.types = {"mir"};
        tools::write_model_tree(dir.path() / "models", options);
        tools::write_example_spectra(dir.file("in.csv"), tools::grid_of_spectrometer("mir"), 100,
                                     5);
        settings.output_path = dir.file("out/job.csv");
        settings.model_directory = dir.path() / "models";
        settings.csv_file = dir.file("in.csv");
        settings.spectrometer_types = {"mir"};
        settings.soil_properties = soil_properties();
        settings.summary = true;
        boost::filesystem::create_directories(dir.path() / "out");
        record = job_record(settings, veldra_version);
        LoggerSet log;
        JobProgress progress;
        const JobOutcome outcome = run_job(settings, log, progress);
        EXPECT_TRUE(outcome.ok) << outcome.message;
        record.defective = outcome.defective;
        record.created = outcome.created;
    }
    std::string summary() const { return dir.file("out/job-summary.csv"); }
};

TEST(Report, WindowAndCommandLineWriteTheSamePaginatedReport) {
    ReportJob job;
    const std::string window_pdf = job.dir.file("window.pdf");
    ScriptedDialogs dialogs;
    dialogs.file_answers = {QString::fromStdString(job.dir.file("window"))}; // ".pdf" is added
    ResultsWindow window(nullptr, read_summary_file(job.summary()), "Results", &dialogs);
    window.set_record(job.summary(), job.record);
    ASSERT_TRUE(window.save_report()) << dialogs.calls.back().toStdString();
    const std::string from_window = pdf_text(job.dir, window_pdf);

    // The same job from the command line, with its report.
    const std::string cli_pdf = job.dir.file("cli.pdf");
    const std::string command = std::string(VELDRA_PREDICT_PROGRAM) + " --quiet --input '" +
                                job.dir.file("in.csv") + "' --models '" + job.dir.file("models") +
                                "' --output '" + job.dir.file("out/job.csv") + "' --report '" +
                                cli_pdf + "'";
    std::string properties;
    for (const std::string& property : soil_properties()) {
        properties += " --property " + property;
    }
    ASSERT_EQ(std::system((command + properties + " > /dev/null").c_str()), 0);
    const std::string from_cli = pdf_text(job.dir, cli_pdf);
    EXPECT_EQ(from_cli, from_window);

    // Its parts: the program, the settings, every model with its card, the input's files, then
    // per pair a chart and the table of every sample, never shrunk to fit: each pair starts a
    // page and takes more than one.
    for (const std::string& part : std::vector<std::string>{
             "Veldra prediction report", std::string("Program: Veldra ") + veldra_version,
             "Input (CSV file): " + job.dir.file("in.csv"),
             "Covariate transformation: first derivative", "Back-transformation: exponential",
             "Calibrated intervals: 95%; tolerances: none (no decisions)", "Files not read",
             "None: every file of the input was read.", "mir Carbon: demonstration model",
             "mir pH: demonstration model", "pred 97.5%", "sample, in input order"}) {
        EXPECT_NE(from_window.find(part), std::string::npos) << part;
    }
    const SummaryTable summary = read_summary_file(job.summary());
    ASSERT_EQ(summary.samples.size(), 100u);
    EXPECT_EQ(count(from_window, summary.samples[57] + " "), 17u);
    const std::size_t pages = count(from_window, "\f");
    EXPECT_GE(pages, 1 + 17 * 2);
    EXPECT_NE(from_window.find("Page " + std::to_string(pages)), std::string::npos);
    // The table's first row shows the summary's own texts.
    const SummaryRow& first = summary.rows.front();
    EXPECT_NE(from_window.find(first.fields[3]), std::string::npos);
    EXPECT_NE(from_window.find(first.fields[8]), std::string::npos);
}

TEST(Report, PanelsShowCardsAndFilesNotReadAndFailuresAreTold) {
    ReportJob job;
    job.record.defective = {{"/data/soil7.0", "ERROR : file \"/data/soil7.0\" has size 0!"}};
    ScriptedDialogs dialogs;
    dialogs.file_answers = {QString::fromStdString(job.dir.file("no/such/folder/r.pdf"))};
    ResultsWindow window(nullptr, read_summary_file(job.summary()), "Results", &dialogs);
    window.set_record(job.summary(), job.record);
    const auto* models = window.findChild<QTableWidget*>("results_models");
    ASSERT_NE(models, nullptr);
    ASSERT_EQ(models->rowCount(), 17);
    EXPECT_EQ(models->item(0, 1)->text(), "demonstration model");
    const auto* defective = window.findChild<QTableWidget*>("results_defective");
    ASSERT_EQ(defective->rowCount(), 1);
    EXPECT_EQ(defective->item(0, 0)->text(), "/data/soil7.0");
    EXPECT_NE(defective->item(0, 1)->text().indexOf("size 0"), -1);

    // A folder that does not exist: a message naming the report, no file.
    EXPECT_FALSE(window.save_report());
    ASSERT_EQ(dialogs.calls.size(), 2u);
    EXPECT_TRUE(dialogs.calls[1].startsWith("critical:Report:Cannot write the report"));
    EXPECT_NE(dialogs.calls[1].indexOf("r.pdf"), -1) << dialogs.calls[1].toStdString();

    // Results opened from a summary file alone: the report says the settings were not recorded.
    write_job_report(job.dir.file("alone.pdf"), read_summary_file(job.summary()), job.summary(),
                     JobRecord());
    const std::string alone = pdf_text(job.dir, job.dir.file("alone.pdf"));
    EXPECT_NE(alone.find("settings were not recorded"), std::string::npos);
    EXPECT_EQ(alone.find("Files not read"), std::string::npos);
}

// A report sent to a device is written to it, never replacing it; a failing device is an error.
// Only the files a job wrote are named: a summary-only job's report names no per-pair file.
TEST(Report, DevicesAreWrittenAndOnlyWrittenFilesNamed) {
    ReportJob job;
    job.record.created = {job.summary(), job.dir.file("out/never-written.csv")};
    const SummaryTable table = read_summary_file(job.summary());
    write_job_report("/dev/null", table, job.summary(), job.record);
    EXPECT_TRUE(boost::filesystem::is_other(boost::filesystem::status("/dev/null")));
    if (boost::filesystem::exists("/dev/full")) {
        // The system's reason, not Qt's "Unknown error".
        EXPECT_EQ(test::error_text(
                      [&] { write_job_report("/dev/full", table, job.summary(), job.record); }),
                  "Cannot write the report '/dev/full': No space left on device. Choose another "
                  "file for the report.");
        EXPECT_TRUE(boost::filesystem::is_other(boost::filesystem::status("/dev/full")));
    }
    const std::string pdf = job.dir.file("named.pdf");
    write_job_report(pdf, table, job.summary(), job.record);
    const std::string report = pdf_text(job.dir, pdf);
    EXPECT_NE(report.find("Output: " + job.summary()), std::string::npos) << report;
    EXPECT_EQ(report.find("never-written"), std::string::npos);
}

// Identifiers with commas, quotes and line breaks go through the summary file, the results
// window and the report unchanged.
TEST(Report, AwkwardIdentifiersRoundTrip) {
    TempDir dir;
    const std::vector<std::string> ids = {"a,b.0", "say \"hi\"", "two\nlines", "土壤 サンプル 흙"};
    SummaryPart part;
    part.spectrometer_type = "mir";
    part.property = "pH";
    part.ids = ids;
    part.statistics.means = {6.1, 6.2, 6.3, 6.4};
    part.statistics.standard_deviations = {0.1, 0.1, 0.1, 0.1};
    part.statistics.low = part.statistics.median = part.statistics.high = part.statistics.means;
    const std::string path = dir.file("job-summary.csv");
    SummaryWriter writer(path);
    writer.write({part});
    writer.close();
    const std::string text = test::read_file(path);
    EXPECT_NE(text.find("\n\"a,b.0\",mir,pH,6.1,"), std::string::npos) << text;
    EXPECT_NE(text.find("\n\"say \"\"hi\"\"\",mir,"), std::string::npos) << text;

    const SummaryTable table = read_summary_file(path);
    EXPECT_EQ(table.samples, ids);
    ASSERT_EQ(table.rows.size(), 4u);
    EXPECT_EQ(table.rows[2].figures[0], 6.3);
    ResultsWindow window(nullptr, table, "Results");
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(window.cell_text(r, 0).toStdString(), ids[static_cast<std::size_t>(r)]);
    }
    const std::string pdf = dir.file("awkward.pdf");
    write_job_report(pdf, table, path, JobRecord());
    const std::string report = pdf_text(dir, pdf);
    // Identifiers in CJK scripts are drawn with a font that has them (installed with the
    // program's dependencies), not left out.
    for (const char* shown : {"a,b.0 ", "say \"hi\" ", "土壤 サンプル 흙 "}) {
        EXPECT_NE(report.find(shown), std::string::npos) << shown << "\n" << report;
    }
}

TEST(Report, LongTablesRepeatTheirHeaderAndStopAtTheLimit) {
    // One pair of 1003 samples: pages of rows, each under the header, the first 1000 listed.
    TempDir dir;
    std::string text = std::string(summary_header) + "\n";
    for (int i = 1; i <= 1003; ++i) {
        text += "soil" + std::to_string(10000 + i) + ",mir,pH,6.5,0.2,6.1,6.5,6.9,5.9,7.1," +
                (i == 7 || i >= 1002 ? "outside" : "inside") + ",1.5,0.01,0.9\n";
    }
    const std::string pdf = dir.file("long.pdf");
    write_job_report(pdf, parse_summary(text, "long-summary.csv"), "long-summary.csv", JobRecord());
    const std::string report = pdf_text(dir, pdf);
    EXPECT_NE(report.find("soil11000 "), std::string::npos);
    EXPECT_EQ(report.find("soil11001"), std::string::npos);
    EXPECT_NE(report.find("... and 3 more samples: see the summary file."), std::string::npos);
    // The samples outside are counted, and those beyond the table are listed all the same.
    EXPECT_NE(report.find("1003 samples, 3 outside the calibration domain; 3 not in the table "
                          "below"),
              std::string::npos);
    EXPECT_NE(report.find("Outside the calibration domain among them (2):"), std::string::npos);
    EXPECT_NE(report.find("soil11002, soil11003"), std::string::npos);
    const std::size_t pages = count(report, "\f");
    EXPECT_GE(pages, 1 + 1000 / 80);
    // Every page of the pair's table starts under its header.
    EXPECT_EQ(count(report, "pred 97.5%"), pages - 1);
}

// More samples to re-measure than a table holds: the first 1000, then how many more.
TEST(Report, TheListOfSamplesToReMeasureStopsAtTheLimit) {
    TempDir dir;
    std::string text = std::string(summary_header) +
                       ",model preprocessing,calibrated 2.5%,calibrated 97.5%,decision,domain "
                       "reason\n";
    for (int i = 1; i <= 1003; ++i) {
        text += "soil" + std::to_string(10000 + i) +
                ",mir,pH,6.5,0.2,6.1,6.5,6.9,5.9,7.1,inside,1.5,0.01,0.9,first_der,5.9,7.1," +
                (i == 2 ? "accept," : "re-measure: too wide,") + "\n";
    }
    const std::string pdf = dir.file("again.pdf");
    write_job_report(pdf, parse_summary(text, "again-summary.csv"), "again-summary.csv",
                     JobRecord());
    const std::string report = pdf_text(dir, pdf);
    EXPECT_NE(report.find("mir pH: 1002 of 1003 samples to re-measure"), std::string::npos);
    EXPECT_NE(report.find("... and 2 more: see the summary file."), std::string::npos);
    const std::size_t list_end = report.find("... and 2 more");
    EXPECT_NE(report.substr(0, list_end).find("soil11001 "), std::string::npos);
    EXPECT_EQ(report.substr(0, list_end).find("soil11002 "), std::string::npos);
    EXPECT_EQ(report.substr(0, list_end).find("soil10002 "), std::string::npos); // accepted
}

// Sixty soils of 200 wavenumbers whose Clay shows near 3500 cm-1 ("spectra.csv", "targets.csv"),
// and the input "in.csv": the same spectra, three of them also with a band at 2800 cm-1 the
// calibration never had ("band0" to "band2").
void write_clay_lab(const TempDir& dir) {
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::string header = "SSN";
    for (int k = 0; k < 200; ++k) {
        header += ",wn_" + std::to_string(4000 - 8 * k);
    }
    std::string spectra = header + "\n";
    std::string inputs = header + "\n";
    std::string targets = "SSN,Clay\n";
    for (int i = 0; i < 60; ++i) {
        const double clay = 10 + 30 * unit(random);
        const double tilt = unit(random);
        std::string row;
        std::string banded;
        for (int k = 0; k < 200; ++k) {
            const double wavenumber = 4000 - 8 * k;
            const double value = 0.5 +
                                 0.01 * clay * std::exp(-std::pow((wavenumber - 3500) / 80, 2)) +
                                 0.1 * tilt * k / 200.0 + 0.002 * unit(random);
            row += "," + std::to_string(value);
            banded += "," + std::to_string(value +
                                           0.3 * std::exp(-std::pow((wavenumber - 2800) / 20, 2)));
        }
        const std::string id = "s" + std::to_string(100 + i);
        spectra += id + row + "\n";
        targets += id + "," + std::to_string(clay) + "\n";
        inputs += id + row + "\n";
        if (i < 3) {
            inputs += "band" + std::to_string(i) + banded + "\n";
        }
    }
    dir.write("spectra.csv", spectra);
    dir.write("in.csv", inputs);
    dir.write("targets.csv", targets);
}

// A lab's own cross-validated model: veldra-predict decides per sample at a tolerance, and the
// report and the results window show the decisions of the summary. Spectra with a band the
// calibration set never had lie outside, and the band is named where they differ.
TEST(Report, DecisionsAndReasonsAreTheSummarysEverywhere) {
    TempDir dir;
    write_clay_lab(dir);
    dir.write("models/opus.conf", "[htsxt]\nstart_wn=4000\nend_wn=600\nnum_wn=3\n");
    const std::string train = std::string(VELDRA_TRAIN_PROGRAM) + " --quiet --spectra '" +
                              dir.file("spectra.csv") + "' --targets '" + dir.file("targets.csv") +
                              "' --property Clay --models '" + dir.file("models") +
                              "' --cv 5 --trees 20 --draws 100 --burn-in 50 > /dev/null";
    ASSERT_EQ(std::system(train.c_str()), 0);
    const std::string pdf = dir.file("cli.pdf");
    const std::string predict =
        std::string(VELDRA_PREDICT_PROGRAM) + " --input '" + dir.file("in.csv") + "' --models '" +
        dir.file("models") + "' --property Clay --exp no --summary-only" +
        " --level 0.9 --level 68% --tolerance Clay=4 --output '" + dir.file("p.csv") +
        "' --report '" + pdf + "' > '" + dir.file("log.txt") + "' 2>&1";
    ASSERT_EQ(std::system(predict.c_str()), 0);
    // 60 calibration samples bound the 90% interval by the 3rd lowest and highest of them
    // (ranks floor(61 x 0.05) and ceil(61 x 0.95)): the log says so, and what decides better
    // (a level below the one chosen, bounded by more than 3 of them).
    EXPECT_NE(test::read_file(dir.file("log.txt"))
                  .find("' rest on its 90% calibrated interval, whose bounds are set by the 3 "
                        "most extreme of its 60 calibration samples at each end; a lower first "
                        "level, such as 0.8, decides more steadily."),
              std::string::npos);
    const SummaryTable summary = read_summary_file(dir.file("p-summary.csv"));
    ASSERT_EQ(summary.levels, (std::vector<double>{0.9, 0.68}));
    ASSERT_EQ(summary.rows.size(), 63u);
    std::size_t accepted = 0;
    std::vector<const SummaryRow*> again;
    for (const SummaryRow& row : summary.rows) {
        ASSERT_EQ(row.calibrated.size(), 4u);
        // The 68% interval lies within the 90% one, both around the mean.
        EXPECT_LE(row.calibrated[0], row.calibrated[2]) << row.id();
        EXPECT_GE(row.calibrated[1], row.calibrated[3]) << row.id();
        EXPECT_EQ(row.decision,
                  sample_decision(row.domain()[0], row.calibrated[0], row.calibrated[1], 4.0));
        accepted += row.decision == "accept" ? 1 : 0;
        if (row.decision != "accept") {
            again.push_back(&row);
        }
        if (row.id().rfind("band", 0) == 0) {
            EXPECT_EQ(row.domain(), "outside") << row.id();
            const auto ranges = ranges_of_bands_text(row.domain_reason);
            ASSERT_FALSE(ranges.empty()) << row.domain_reason;
            EXPECT_GE(ranges.front().first, 2800) << row.domain_reason;
            EXPECT_LE(ranges.front().second, 2800) << row.domain_reason;
        } else if (row.domain() == "inside") {
            EXPECT_EQ(row.domain_reason, "");
        }
    }
    EXPECT_GT(accepted, 0u);
    ASSERT_GE(again.size(), 3u);

    // The report opens with the samples to re-measure, each with its reason, and lists why the
    // samples outside lie there.
    const std::string text = pdf_text(dir, pdf);
    const std::size_t list = text.find("Samples to re-measure");
    ASSERT_NE(list, std::string::npos);
    EXPECT_LT(list, text.find("Job\n"));
    EXPECT_NE(
        text.find("mir Clay: " + std::to_string(again.size()) + " of 63 samples to re-measure"),
        std::string::npos);
    for (const SummaryRow* row : again) {
        EXPECT_NE(text.find(row->id() + " "), std::string::npos) << row->id();
    }
    EXPECT_NE(text.find("Where the samples outside the calibration domain differ most from it"),
              std::string::npos);
    EXPECT_NE(text.find("Calibrated intervals: 90%, 68%; tolerances: Clay ±4"), std::string::npos);
    EXPECT_NE(text.find(summary.rows[1].domain_reason), std::string::npos);

    // The results window keeps exactly those samples when asked to.
    ResultsWindow window(nullptr, summary, "Results");
    window.show_only_remeasure(true);
    auto* table = window.findChild<QTableView*>("results_table");
    ASSERT_EQ(static_cast<std::size_t>(table->model()->rowCount()), again.size());
    for (std::size_t k = 0; k < again.size(); ++k) {
        EXPECT_EQ(window.cell_text(static_cast<int>(k), 0).toStdString(), again[k]->id());
    }
}

// Spectra put onto a model's wavenumbers from others: the report says so beside that model.
TEST(Report, SpectraResampledOntoAModelAreToldBesideIt) {
    TempDir dir;
    const std::string path = dir.write(
        "job-summary.csv",
        std::string(summary_header) +
            ",model preprocessing,decision,domain reason,resampling\n"
            "s1,vertex70,Clay,20,1,18,20,22,NA,NA,unknown,NA,NA,NA,first_der,NA,,resampled from "
            "1509 points\n"
            "s1,vertex70,Sand,40,1,38,40,42,NA,NA,unknown,NA,NA,NA,first_der,NA,,\n");
    JobRecord record;
    record.recorded = true;
    record.pairs = {{"vertex70", "Clay", "/models/vertex70/m3.Clay", std::nullopt, ""},
                    {"vertex70", "Sand", "/models/vertex70/m3.Sand", std::nullopt, ""}};
    write_job_report(dir.file("r.pdf"), read_summary_file(path), path, record);
    const std::string text = pdf_text(dir, dir.file("r.pdf"));
    EXPECT_EQ(count(text, "Spectra put onto the model's wavenumbers: resampled from 1509 points"),
              1u)
        << text;
    EXPECT_LT(text.find("m3.Clay"), text.find("resampled from 1509"));
    EXPECT_GT(text.find("m3.Sand"), text.find("resampled from 1509"));
}

} // namespace
} // namespace veldra
