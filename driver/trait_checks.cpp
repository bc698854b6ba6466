#include "driver/trait_checks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/design_columns.h"
#include "driver/transforms.h"
#include "driver/value_checks.h"
#include "engine/data_preparation.h"
#include "engine/stop.h"
#include "numerics/missing_value.h"
#include "numerics/offset_arrays.h"

namespace {

// The trait as the messages name it.
std::string traitName(const RunData& d, int t) {
    return (t == 0 ? "the primary trait '" : "the secondary trait '") + d.traitHeader[t] + "'";
}

// The subjects that have trait t (0 primary, 1..N_SEC secondary), in subject
// order, with their values.
std::vector<int> carriers(const RunData& d, int t, std::vector<double>& values) {
    std::vector<int> who;
    values.clear();
    for (int i = 0; i < d.n1; ++i) {
        const double v = t == 0 ? d.seq_prim[i] : d.sec[i][t - 1];
        if (t > 0 && v == kMissing) continue;
        who.push_back(i);
        values.push_back(v);
    }
    return who;
}

// "the 40 sequenced subjects" or "the 25 subjects that have it".
std::string subjectsText(int t, int n) {
    return t == 0 ? "the " + std::to_string(n) + " sequenced subjects"
                  : "the " + std::to_string(n) + " subject(s) that have it";
}

void stopUnlessVaries(const RunSettings& s, const RunData& d, int t, const std::vector<double>& v, bool transformed) {
    const int n = static_cast<int>(v.size());
    // A secondary trait that no subject has gets NA blocks in every gene.
    if (n == 0 || !doesNotVary(n, v.data())) return;
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    std::printf("fail\nError: %s%s does not vary among %s in file '%s': ", transformed ? "after the transformations, " : "",
                traitName(d, t).c_str(), subjectsText(t, n).c_str(), s.seqPheno.c_str());
    if (*lo == *hi) std::printf("every value is %.17g.\n", *lo);
    else std::printf("its values lie between %.17g and %.17g, within %g of their size.\n", *lo, *hi, kConstantSpread);
    kill_VENTARQUILLO();
}

bool primaryFitted(const RunSettings& s) { return s.N_SEC == 0 || usesMle(s); }

// The names of the design columns: the intercept, then the selected
// covariates, then (LS-C) the primary trait.
std::vector<std::string> columnNames(const RunData& d, const double* flags, bool with_primary) {
    std::vector<std::string> names{"the intercept"};
    for (int k = 1; k < d.p; ++k)
        if (flags[k - 1] > 0.5) names.push_back("'" + d.covariateNames[k - 1] + "'");
    if (with_primary) names.push_back(traitName(d, 0));
    return names;
}

// "A", "A and B", "A, B and C".
std::string listed(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) text += i + 1 == items.size() ? " and " : ", ";
        text += items[i];
    }
    return text;
}

// Full column rank of the design of trait t over the given subjects: the
// intercept, the covariates selected by flags and, with_primary, the
// primary trait as a last column.
// Then the trait itself must not be a linear function of that design
// (values y among the subjects): no residual variation would be left.
void stopUnlessFullRank(const RunSettings& s, const RunData& d, int t, const std::vector<int>& who,
                        const double* flags, bool with_primary, const std::vector<double>& y) {
    const int n = static_cast<int>(who.size());
    if (n == 0) return;
    std::vector<std::string> names = columnNames(d, flags, with_primary);
    const int k = static_cast<int>(names.size());
    double** rows = dmatrix(0, n - 1, 0, d.p - 1);
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < d.p; ++c) rows[r][c] = d.covariates[who[r]][c];
    double** z = dmatrix(0, n - 1, 0, k);  // the design, then the trait in column k
    selectColumns(n, d.p, rows, flags, z);
    for (int r = 0; r < n; ++r) {
        if (with_primary) z[r][k - 1] = d.seq_prim[who[r]];
        z[r][k] = y[r];
    }
    std::vector<int> involved(static_cast<std::size_t>(k) + 1);
    const int rank = dependentColumns(n, k, z, kDependentColumn, involved.data());
    const bool explained =
        rank == k && n > k && dependentColumns(n, k + 1, z, kConstantSpread, involved.data()) == k;
    free_dmatrix(z, 0, n - 1, 0, k);
    free_dmatrix(rows, 0, n - 1, 0, d.p - 1);
    if (explained) {
        std::vector<std::string> relation;
        for (int j = 0; j < k; ++j)
            if (involved[j] != 0) relation.push_back(names[j]);
        std::printf("fail\nError: %s is a linear function of %s among %s in file '%s'%s: no variation is left to "
                    "test.\n",
                    traitName(d, t).c_str(), listed(relation).c_str(), subjectsText(t, n).c_str(),
                    s.seqPheno.c_str(), with_primary ? " (LS-C design)" : "");
        kill_VENTARQUILLO();
    }
    if (rank == k) return;

    std::vector<std::string> relation;
    for (int j = 0; j < k; ++j)
        if (involved[j] != 0) relation.push_back(names[j]);
    std::printf("fail\nError: the %sdesign of %s is singular among %s in file '%s': ", with_primary ? "LS-C " : "",
                traitName(d, t).c_str(), subjectsText(t, n).c_str(), s.seqPheno.c_str());
    if (n < k) {
        std::printf("%d subject(s) for %d columns (%s).\n", n, k, listed(names).c_str());
    } else if (relation.size() == 1) {
        std::printf("%s is 0 for every one of them.\n", relation[0].c_str());
    } else if (relation.size() == 2 && involved[0] != 0) {
        std::printf("%s has the same value for every one of them.\n", relation[1].c_str());
    } else {
        std::printf("%s are linearly dependent.\n", listed(relation).c_str());
    }
    kill_VENTARQUILLO();
}

}  // namespace

bool doesNotVary(int n, const double* v) {
    double lo = v[0], hi = v[0];
    for (int i = 1; i < n; ++i) {
        lo = std::min(lo, v[i]);
        hi = std::max(hi, v[i]);
    }
    return hi - lo <= kConstantSpread * std::max(std::fabs(lo), std::fabs(hi));
}

void checkTraitsAsRead(const RunSettings& s, const RunData& d) {
    std::vector<double> values;
    if (primaryFitted(s)) {
        carriers(d, 0, values);
        stopUnlessVaries(s, d, 0, values, false);
    }
    for (int t = 1; t <= s.N_SEC; ++t) {
        carriers(d, t, values);
        stopUnlessVaries(s, d, t, values, false);
    }
}

void checkTraitsAndDesigns(const RunSettings& s, const RunData& d) {
    std::vector<double> values;
    if (primaryFitted(s)) {
        const std::vector<int> who = carriers(d, 0, values);
        stopUnlessVaries(s, d, 0, values, true);
        stopUnlessFullRank(s, d, 0, who, d.cov_ind[0], false, values);
    }
    for (int t = 1; t <= s.N_SEC; ++t) {
        const std::vector<int> who = carriers(d, t, values);
        if (s.DO_InvNormal == 1) {
            stopUnlessRobustScale(s, static_cast<long>(values.size()), values.data(), traitName(d, t),
                                  subjectsText(t, static_cast<int>(values.size())) + " in file '" + s.seqPheno + "'");
            transformSecondaryTrait(static_cast<int>(values.size()), values.data(), s.DO_InvNormal, s.DO_Rescale);
            stopUnlessVaries(s, d, t, values, true);
        }
        stopUnlessFullRank(s, d, t, who, d.cov_ind[t], false, values);
        if (pairedLsBlocks(s)) {
            std::vector<double> primary;
            for (int i : who) primary.push_back(d.seq_prim[i]);
            if (!constantOver(static_cast<int>(primary.size()), primary.data()))
                stopUnlessFullRank(s, d, t, who, d.cov_ind[t], true, values);
        }
    }
}
