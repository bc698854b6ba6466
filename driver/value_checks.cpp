#include "driver/value_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <utility>

#include "driver/text_input.h"
#include "engine/stop.h"
#include "numerics/gamma_and_stats.h"
#include "numerics/missing_value.h"

namespace {

// The median of (value, count) pairs sorted by value: the middle one of the
// counted values, or the mean of the two middle ones.
double weightedMedian(const std::vector<std::pair<double, long long>>& sorted) {
    long long total = 0;
    for (const auto& [v, c] : sorted) total += c;
    const long long lo = (total - 1) / 2, hi = total / 2;  // 0-based ranks of the middle
    double at_lo = 0.0, at_hi = 0.0;
    long long seen = 0;
    for (const auto& [v, c] : sorted) {
        if (seen <= lo && lo < seen + c) at_lo = v;
        if (seen <= hi && hi < seen + c) {
            at_hi = v;
            break;
        }
        seen += c;
    }
    return lo == hi ? at_lo : (at_lo + at_hi) * 0.5;
}

// The field of a line of a file, as written (the value of a message).
std::string fieldAsWritten(const std::string& name, long lineno, long fieldno) {
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (f == nullptr) return "?";
    LineReader reader(f, name);
    std::string_view line;
    long at = 0;
    long long offset = 0;
    std::string text = "?";
    std::vector<std::string_view> fields;
    while (reader.next(line, at, offset)) {
        if (at < lineno) continue;
        splitFields(line, fields);
        if (fieldno >= 1 && fieldno <= static_cast<long>(fields.size())) text = std::string(fields[fieldno - 1]);
        break;
    }
    std::fclose(f);
    return text;
}

// A power of ten as the messages write it: "1e6", "1e-60".
std::string powerOfTen(double v) { return "1e" + std::to_string(std::lround(std::log10(v))); }

// "file 'a'" or "files 'a' and 'b'".
std::string filesOf(const std::vector<ReadValue>& values) {
    std::vector<const std::string*> names;
    for (const ReadValue& r : values)
        if (std::find_if(names.begin(), names.end(), [&r](const std::string* n) { return *n == *r.file; }) ==
            names.end())
            names.push_back(r.file);
    std::string text = names.size() == 1 ? "file " : "files ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
        text += "'" + *names[i] + "'";
    }
    return text;
}

// As the field messages name a column: "secondary trait 'sbp'".
std::string traitName(const RunData& d, int t) {
    return (t == 0 ? "primary trait '" : "secondary trait '") + d.traitHeader[t] + "'";
}

// The sequenced subjects' primary trait (field 1).
void addSequencedPrimary(const RunSettings& s, const RunData& d, std::vector<ReadValue>& out) {
    for (int i = 0; i < d.n1; ++i) out.push_back({d.seq_prim[i], 1, &s.seqPheno, d.seqLine[i], 1});
}

}  // namespace

MedianAndSpread medianAndSpread(const std::vector<ReadValue>& values) {
    MedianAndSpread r;
    if (values.empty()) return r;
    std::vector<std::pair<double, long long>> v;
    v.reserve(values.size());
    for (const ReadValue& x : values) v.emplace_back(x.value, x.count);
    std::sort(v.begin(), v.end());
    r.median = weightedMedian(v);
    std::vector<std::pair<double, long long>> dev;
    for (const auto& [x, c] : v) {
        const double a = std::fabs(x - r.median);
        if (a > 0.0) dev.emplace_back(a, c);
    }
    if (dev.empty()) return r;
    std::sort(dev.begin(), dev.end());
    r.typical = weightedMedian(dev);
    return r;
}

void checkValueSpread(const std::vector<ReadValue>& values, const std::string& what) {
    const MedianAndSpread ms = medianAndSpread(values);
    if (ms.typical == 0.0) return;  // every value the same: the degenerate-data checks
    if (ms.typical < kSmallestSpread) {
        std::printf("fail\nError: the %s varies too little for the double precision of the analysis in %s: its "
                    "typical deviation from the median (%g) is %g, below %s.\n",
                    what.c_str(), filesOf(values).c_str(), ms.median, ms.typical, powerOfTen(kSmallestSpread).c_str());
        kill_VENTARQUILLO();
    }
    const ReadValue* worst = nullptr;
    double farthest = 0.0;
    for (const ReadValue& r : values) {
        const double a = std::fabs(r.value - ms.median);
        if (a > farthest) {
            farthest = a;
            worst = &r;
        }
    }
    const double ratio = farthest / ms.typical;
    if (worst == nullptr || !(ratio > kMostTypicalDeviations)) return;
    const std::string text = fieldAsWritten(*worst->file, worst->line, worst->field);
    std::printf("fail\nError: line %ld of file '%s', field %ld (%s): '%s' lies %.3g typical deviations from the "
                "median of the values (median %g, typical deviation %g); beyond %s of them a value leaves the "
                "other values indistinguishable in the double precision of the analysis.\n",
                worst->line, worst->file->c_str(), worst->field, what.c_str(), text.c_str(), ratio, ms.median,
                ms.typical, powerOfTen(kMostTypicalDeviations).c_str());
    kill_VENTARQUILLO();
}

void checkSequencedValues(const RunSettings& s, const RunData& d) {
    const bool random = s.TYPE_STUDY == kRandom;
    const int lead = random ? 0 : 1;  // fields before the secondary traits
    std::vector<ReadValue> column;
    if (!random && !usesMle(s)) {
        addSequencedPrimary(s, d, column);
        checkValueSpread(column, traitName(d, 0));
    }
    for (int t = 0; t < s.N_SEC; ++t) {
        column.clear();
        for (int i = 0; i < d.n1; ++i)
            if (d.sec[i][t] != kMissing) column.push_back({d.sec[i][t], 1, &s.seqPheno, d.seqLine[i], lead + t + 1});
        checkValueSpread(column, traitName(d, t + 1));
    }
    for (int k = 1; k < d.p; ++k) {
        column.clear();
        for (int i = 0; i < d.n1; ++i)
            if (d.covariates[i][k] != kMissing)
                column.push_back({d.covariates[i][k], 1, &s.seqPheno, d.seqLine[i], lead + s.N_SEC + k});
        checkValueSpread(column, "covariate '" + d.covariateNames[k - 1] + "'");
    }
}

void checkPooledPrimaryValues(const RunSettings& s, const RunData& d, const std::vector<ReadValue>& nonsequenced) {
    std::vector<ReadValue> column;
    addSequencedPrimary(s, d, column);
    column.insert(column.end(), nonsequenced.begin(), nonsequenced.end());
    checkValueSpread(column, traitName(d, 0));
}

void stopUnlessRobustScale(const RunSettings& s, long n, const double* values, const std::string& what,
                           const std::string& among) {
    if (s.DO_InvNormal != 1 || s.DO_Rescale != kRescaleRobust || n < 1) return;
    double* v = const_cast<double*>(values);  // sd_MAD and median leave the values as they are
    if (sd_MAD(v, 0, n - 1) != 0.0) return;
    std::printf("fail\nError: option -R-INT 2 rescales %s by its robust standard deviation, which is 0 among %s: "
                "more than half of the values are the same (%g), so their median absolute deviation is 0 and every "
                "rescaled value would be 0.\n",
                what.c_str(), among.c_str(), median(v, 0, n - 1));
    kill_VENTARQUILLO();
}
