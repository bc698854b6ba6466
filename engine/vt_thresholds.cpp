#include "engine/vt_thresholds.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/data_preparation.h"
#include "numerics/offset_arrays.h"

namespace {

constexpr int MAX_THRESH = 10;

// Number of runs of equal adjacent values (a pair involving NaN differs).
int count_runs(int m, const double* v) {
    if (m < 1) return 0;
    int c = 1;
    for (int i = 0; i + 1 < m; ++i)
        if (!(v[i] == v[i + 1])) ++c;
    return c;
}

// One value of sigDigit.  The value is written with ten decimals ("0." and
// ten digits); after the z leading zeros, DIG + 1 significant digits are kept
// (truncation through the text) and the result is rounded half up to DIG
// significant digits.
double round_significant(double x, int DIG) {
    if (x == 0.0) return x;
    if (!(x > 0.0 && x < 1.0)) return x;  // outside [0, 1): left as it is
    char text[64];
    std::snprintf(text, sizeof text, "%.10f", x);
    if (std::strncmp(text, "0.", 2) != 0) return 1.0;  // below 1 but written as "1.0000000000"

    const int len = static_cast<int>(std::strlen(text));
    int z = 0;
    while (2 + z < len && text[2 + z] == '0') ++z;

    int keep = z + 3 + (DIG < 1 ? 0 : DIG);
    if (keep < len) text[keep] = '\0';
    const double truncated = std::strtod(text, nullptr);

    const double tens = std::pow(10.0, z + DIG);
    // The kept value is below 10^-z, so tens * truncated + 0.5 stays below
    // 10^DIG + 1: its integer part is that of a 32-bit integer for DIG <= 8.
    return std::trunc(tens * truncated + 0.5) / tens;
}

}  // namespace

void sigDigit(int M, double* v, int DIG) {
    for (int i = 0; i < M; ++i) v[i] = round_significant(v[i], DIG);
}

void shrinkVT(int N_UNIQ, double* thresh, int* rank, int* N_UNIQ2, int* index_vt) {
    *N_UNIQ2 = 0;
    if (N_UNIQ < 1) return;
    double* maf_sig = dvector(0, N_UNIQ - 1);
    int* keep = ivector(0, N_UNIQ - 1);
    for (int k = 0; k < N_UNIQ; ++k) {
        maf_sig[rank[k]] = thresh[k];
        keep[k] = 1;
    }

    // Cumulative rounding: 3 digits, then 2 of those, then 1 of those.
    sigDigit(N_UNIQ, maf_sig, 3);
    int c = count_runs(N_UNIQ, maf_sig);
    if (c > MAX_THRESH) {
        sigDigit(N_UNIQ, maf_sig, 2);
        c = count_runs(N_UNIQ, maf_sig);
        if (c > MAX_THRESH) {
            sigDigit(N_UNIQ, maf_sig, 1);
            c = count_runs(N_UNIQ, maf_sig);
        }
    }

    // Still too many runs: drop the c - 10 runs with the smallest values whole.
    if (c > MAX_THRESH) {
        const int excess = c - MAX_THRESH;
        int g = 0;
        for (int i = 0; i + 1 < N_UNIQ; ++i) {
            const bool same = maf_sig[i] == maf_sig[i + 1];
            if (same || g < excess) keep[i] = 0;
            if (!same && g < excess) ++g;
        }
    }

    // Of each run of equal rounded values only its last (largest) member stays.
    for (int i = 0; i + 1 < N_UNIQ; ++i)
        if (maf_sig[i] == maf_sig[i + 1]) keep[i] = 0;

    for (int k = 0; k < N_UNIQ; ++k) {
        index_vt[k] = keep[rank[k]];
        *N_UNIQ2 += index_vt[k];
    }
    free_ivector(keep, 0, N_UNIQ - 1);
    free_dvector(maf_sig, 0, N_UNIQ - 1);
}

void getThresh(int /*n*/, int N_SNP, double* maf, double* num_minor, int MAC_LB, int* n_thresh, double* thresh) {
    *n_thresh = 0;
    if (N_SNP < 1) return;

    double total = 0.0;
    for (int j = 0; j < N_SNP; ++j) total += num_minor[j];
    if (!(total >= MAC_LB)) return;

    // Candidates: first occurrences of each frequency, in variant order, with
    // enough minor alleles at or below them.
    double* cand = dvector(0, N_SNP - 1);
    int n_cand = 0;
    for (int j = 0; j < N_SNP; ++j) {
        bool seen = false;
        for (int i = 0; i < j && !seen; ++i) seen = maf[i] == maf[j];
        if (seen) continue;
        const double t = maf[j];
        double cum = 0.0;
        for (int i = 0; i < N_SNP; ++i)
            if (t >= maf[i]) cum += num_minor[i];
        if (cum < MAC_LB) continue;
        cand[n_cand++] = t;
    }

    if (n_cand <= MAX_THRESH) {
        for (int k = 0; k < n_cand; ++k) thresh[k] = cand[k];
        *n_thresh = n_cand;
    } else {
        double* rank1 = dvector(0, n_cand - 1);
        int* rank0 = ivector(0, n_cand - 1);
        int* index_vt = ivector(0, n_cand - 1);
        bubbleRank_noTie(n_cand, cand, rank1);
        for (int k = 0; k < n_cand; ++k) rank0[k] = static_cast<int>(rank1[k]) - 1;
        int n_kept = 0;
        shrinkVT(n_cand, cand, rank0, &n_kept, index_vt);
        int out = 0;
        for (int k = 0; k < n_cand && out < MAX_THRESH; ++k)
            if (index_vt[k] == 1) thresh[out++] = cand[k];
        *n_thresh = out;
        free_ivector(index_vt, 0, n_cand - 1);
        free_ivector(rank0, 0, n_cand - 1);
        free_dvector(rank1, 0, n_cand - 1);
    }
    free_dvector(cand, 0, N_SNP - 1);
}
