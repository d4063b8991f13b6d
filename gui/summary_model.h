#pragma once

#include "job/job_summary.h"
#include "report/pair_chart.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QSortFilterProxyModel>
#include <QString>

#include <cmath>
#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace veldra {

// The interval a cell shows: the calibrated one its decision was made on (the first level's),
// else predictive where the model gives one, else credible.
QString summary_cell_text(const SummaryRow& row);

// Whether a row's decision was made on a calibrated interval it holds.
bool decided_on_calibrated(const SummaryRow& row);

// A bound as the window shows it: six digits, "NA", "-Inf" or "Inf" where open.
std::string bound_text(double value);

// The summary as a table of samples x pairs, each cell computed when shown: a job of 10,000
// samples has 170,000 cells, too many to make one object each.
class SummaryModel : public QAbstractTableModel {
public:
    explicit SummaryModel(const SummaryTable& table, QObject* parent)
        : QAbstractTableModel(parent), table_(table),
          cells_(table.samples.size() * table.pairs.size(), -1) {
        std::map<std::pair<std::string, std::string>, std::size_t> column_of;
        for (std::size_t p = 0; p < table.pairs.size(); ++p) {
            column_of[table.pairs[p]] = p;
        }
        std::unordered_map<std::string, std::size_t> row_of;
        for (std::size_t s = 0; s < table.samples.size(); ++s) {
            row_of[table.samples[s]] = s;
        }
        for (std::size_t r = 0; r < table.rows.size(); ++r) {
            const SummaryRow& row = table.rows[r];
            cells_[row_of[row.id()] * table.pairs.size() +
                   column_of[{row.text(SummaryColumn::spectrometer),
                              row.text(SummaryColumn::property)}]] = static_cast<std::ptrdiff_t>(r);
        }
    }

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(table_.samples.size());
    }
    int columnCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(table_.pairs.size()) + 1;
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (role != Qt::DisplayRole || orientation != Qt::Horizontal) {
            return QAbstractTableModel::headerData(section, orientation, role);
        }
        return section == 0 ? QString("SSN")
                            : pair_name(table_.pairs[static_cast<std::size_t>(section - 1)]);
    }

    // The summary row of a cell; null for the identifier column and for an empty cell.
    const SummaryRow* row(const QModelIndex& index) const {
        if (!index.isValid() || index.column() == 0) {
            return nullptr;
        }
        const std::ptrdiff_t at =
            cells_[static_cast<std::size_t>(index.row()) * table_.pairs.size() +
                   static_cast<std::size_t>(index.column() - 1)];
        return at < 0 ? nullptr : &table_.rows[static_cast<std::size_t>(at)];
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!index.isValid()) {
            return {};
        }
        if (index.column() == 0) {
            if (role == Qt::DisplayRole || role == sort_role) {
                return QString::fromStdString(
                    table_.samples[static_cast<std::size_t>(index.row())]);
            }
            return {};
        }
        const SummaryRow* cell = row(index);
        if (cell == nullptr) {
            return role == sort_role ? QVariant(std::nan("")) : QVariant();
        }
        switch (role) {
        case Qt::DisplayRole:
            return summary_cell_text(*cell);
        case sort_role:
            return cell->figures[0];
        case Qt::BackgroundRole:
            return cell->domain() == "outside" ? QVariant(QColor(255, 205, 205))
                   : remeasure(*cell)          ? QVariant(QColor(255, 225, 180))
                                               : QVariant();
        case Qt::ToolTipRole: {
            using C = SummaryColumn;
            const auto field = [cell](C column) { return cell->text(column); };
            return QString::fromStdString(
                "std " + field(C::std) + ", credible [" + field(C::low) + ", " + field(C::high) +
                "], predictive [" + field(C::predictive_low) + ", " + field(C::predictive_high) +
                "], domain " + field(C::domain) + " (T2 " + field(C::t2) + ", Q " + field(C::q) +
                "), model R2 " + field(C::model_r2) +
                (cell->r2_source.empty() ? "" : " (" + cell->r2_source + ")") +
                calibrated_text(*cell) + decision_text(*cell));
        }
        default:
            return {};
        }
    }

    static constexpr int sort_role = Qt::UserRole;

    // Whether any pair's decision on sample `row` is to re-measure it.
    bool remeasure_row(int row) const {
        for (std::size_t p = 0; p < table_.pairs.size(); ++p) {
            const std::ptrdiff_t at =
                cells_[static_cast<std::size_t>(row) * table_.pairs.size() + p];
            if (at >= 0 && remeasure(table_.rows[static_cast<std::size_t>(at)])) {
                return true;
            }
        }
        return false;
    }

    // "; re-measure: outside at 884–778 cm⁻¹; too wide", "; accept", or where no decision was
    // made "; differs at 884–778 cm⁻¹" for a sample outside.
    static std::string decision_text(const SummaryRow& row) {
        const std::string reasons = decision_reasons_text(row.decision, row.domain_reason);
        if (!reasons.empty()) {
            return "; re-measure: " + reasons;
        }
        if (!row.decision.empty() && row.decision != "NA") {
            return "; " + row.decision;
        }
        return row.domain_reason.empty() ? "" : "; differs at " + row.domain_reason;
    }

    // ", calibrated 95% [a, b]" for each level of the table.
    std::string calibrated_text(const SummaryRow& row) const {
        std::string text;
        for (std::size_t l = 0; l < table_.levels.size() && 2 * l + 1 < row.calibrated.size();
             ++l) {
            text += ", calibrated " +
                    QString::number(100.0 * table_.levels[l], 'g', 6).toStdString() + "% [" +
                    bound_text(row.calibrated[2 * l]) + ", " +
                    bound_text(row.calibrated[2 * l + 1]) + "]";
        }
        return text;
    }

private:
    const SummaryTable& table_;
    std::vector<std::ptrdiff_t> cells_; // summary row of each sample x pair, -1 for none
};

// Sorts by the mean, empty cells first; the identifier column by its text.
class SummarySorter : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    // Keeps only the samples some pair decided to re-measure, or all.
    void set_only_remeasure(bool only) {
        only_remeasure_ = only;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
        return !only_remeasure_ || parent.isValid() ||
               static_cast<const SummaryModel*>(sourceModel())->remeasure_row(row);
    }

    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override {
        const QVariant a = left.data(SummaryModel::sort_role);
        const QVariant b = right.data(SummaryModel::sort_role);
        if (left.column() == 0) {
            return a.toString() < b.toString();
        }
        const double x = a.toDouble();
        const double y = b.toDouble();
        const bool mine = std::isnan(x);
        const bool theirs = std::isnan(y);
        return mine != theirs ? mine : x < y;
    }

private:
    bool only_remeasure_ = false;
};

} // namespace veldra
