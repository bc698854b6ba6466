#include "engine/data_preparation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "engine/stop.h"
#include "numerics/console.h"
#include "numerics/missing_value.h"
#include "numerics/offset_arrays.h"

namespace {

constexpr double MISSING = kMissing;
constexpr double SAME_VALUE_TOL = 1e-15;

// Ascending order that is a strict weak ordering even with NaN: numbers in
// their natural order, every NaN after all numbers and equivalent to any other
// NaN.  Without NaN this is plain "a < b".
bool less_nan_last(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

// The pointer / index arrays of the rank routines are allocated directly and
// share one failure message.
template <typename T>
T* allocate_rank_array(long count) {
    T* p = allocate_elements<T>(count);
    if (p == nullptr) nrerror("allocation failure for pArray");
    return p;
}

// ---------------------------------------------------------------- covariates

// Imputes (and, when it takes three or more distinct values, standardises)
// column j of the covariate matrix.
void process_covariate_column(int n, int j, double** covariates) {
    int state = 0;  // 0 no value yet, 1 one value, 2 two values, 3 continuous
    double first = 0.0, second = 0.0;
    int n_first = 0, n_second = 0, n_nomiss = 0;
    double sum = 0.0;

    for (int i = 0; i < n; ++i) {
        const double x = covariates[i][j];
        if (x == MISSING) continue;
        sum += x;
        ++n_nomiss;
        if (state == 0) {
            first = x;
            state = 1;
        } else if (state == 1) {
            if (std::fabs(x - first) > SAME_VALUE_TOL) {
                second = x;
                state = 2;
            }
        } else if (state == 2) {
            if (std::fabs(x - first) > SAME_VALUE_TOL && std::fabs(x - second) > SAME_VALUE_TOL) state = 3;
        }
        if (state != 3) {
            if (std::fabs(x - first) < SAME_VALUE_TOL) {
                ++n_first;
            } else if (state == 2 && std::fabs(x - second) < SAME_VALUE_TOL) {
                // Only a second value that has been met can collect counts.
                ++n_second;
            }
        }
    }

    if (n_nomiss == 0) {
        std::printf("fail\nError: covariate column %d has no non-missing value.\n", j);
        kill_VENTARQUILLO();
    }

    const double mean = sum / n_nomiss;

    if (state != 3) {
        // At most two distinct values: only the missing entries change, to the
        // more frequent value (on a tie the one met second).
        const double mode = n_first > n_second ? first : second;
        for (int i = 0; i < n; ++i)
            if (covariates[i][j] == MISSING) covariates[i][j] = mode;
        return;
    }

    double ss = 0.0;
    for (int i = 0; i < n; ++i) {
        const double x = covariates[i][j];
        if (x == MISSING) continue;
        ss += (x - mean) * (x - mean);
    }
    const double sd = std::sqrt(ss / (n_nomiss - 1));
    for (int i = 0; i < n; ++i) {
        double& x = covariates[i][j];
        x = x == MISSING ? 0.0 : (x - mean) / sd;
    }
}

// ------------------------------------------------------------------ rounding

// Number of distinct texts among the ascending values v[0..n-1] (n >= 1) when
// each is written in exponential notation with `digits` digits after the point.
long count_distinct_texts(long n, const double* v, int digits) {
    char prev[64];
    char curr[64];
    std::snprintf(prev, sizeof prev, "%.*e", digits, v[0]);
    long count = 1;
    for (long i = 1; i < n; ++i) {
        std::snprintf(curr, sizeof curr, "%.*e", digits, v[i]);
        if (std::strcmp(curr, prev) != 0) {
            ++count;
            std::memcpy(prev, curr, sizeof prev);
        }
    }
    return count;
}

double round_through_text(double x, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*e", digits, x);
    return std::strtod(text, nullptr);
}

// ------------------------------------------------------------- mapping rows

// Stable sort of the N mapping rows by gene identifier (byte order).  The
// permutation is found on row indices and then applied in place cycle by
// cycle, carrying whichever of the other columns are present.
void sort_mapping_rows(int N, char** gene, char** variant, double* freq, int* flag) {
    if (N < 2) return;
    int* order = ivector(0, N - 1);
    std::iota(order, order + N, 0);
    std::stable_sort(order, order + N, [gene](int a, int b) { return std::strcmp(gene[a], gene[b]) < 0; });

    // Row i must receive old row order[i].
    for (int i = 0; i < N; ++i) {
        if (order[i] == i) continue;
        char* const keep_gene = gene[i];
        char* const keep_variant = variant[i];
        const double keep_freq = freq != nullptr ? freq[i] : 0.0;
        const int keep_flag = flag != nullptr ? flag[i] : 0;
        int to = i;
        for (;;) {
            const int from = order[to];
            order[to] = to;
            if (from == i) {
                gene[to] = keep_gene;
                variant[to] = keep_variant;
                if (freq != nullptr) freq[to] = keep_freq;
                if (flag != nullptr) flag[to] = keep_flag;
                break;
            }
            gene[to] = gene[from];
            variant[to] = variant[from];
            if (freq != nullptr) freq[to] = freq[from];
            if (flag != nullptr) flag[to] = flag[from];
            to = from;
        }
    }
    free_ivector(order, 0, N - 1);
}

}  // namespace

void covariatesProcess(int n, int p, double** covariates) {
    for (int j = 0; j < p; ++j) process_covariate_column(n, j, covariates);
}

// Rounds the values to the decimal precision just below the first one (in
// significant digits, 1 to 9) that leaves more than nq_upper distinct values.
void autoround2(long nq_upper, long n, double* input, double* result, long* nq_result_p) {
    for (long i = 0; i < n; ++i) result[i] = input[i];
    if (n <= nq_upper) {
        *nq_result_p = n;
        return;
    }
    if (n < 1) {  // only with a negative bound: nothing to count
        *nq_result_p = 0;
        return;
    }

    // Only the set of values matters for the counts.
    std::sort(result, result + n, less_nan_last);

    int exceeded_at = -1;
    long count = 0;
    for (int k = 0; k <= 8; ++k) {
        count = count_distinct_texts(n, result, k);
        if (count > nq_upper) {
            exceeded_at = k;
            break;
        }
    }

    if (exceeded_at < 0) {
        // Even nine significant digits stay within the bound: no rounding.
        *nq_result_p = count;
        for (long i = 0; i < n; ++i) result[i] = input[i];
        return;
    }

    // One significant digit is the coarsest precision there is; when even it
    // exceeds the bound the values are still rounded to it and its count is
    // reported.
    const int digits = exceeded_at > 0 ? exceeded_at - 1 : 0;
    *nq_result_p = exceeded_at > 0 ? count_distinct_texts(n, result, digits) : count;
    for (long i = 0; i < n; ++i) result[i] = round_through_text(input[i], digits);
}

void StringSort_map3(int N, char** stringArray1, char** stringArray2, double* numericArray, int* numericArray2) {
    sort_mapping_rows(N, stringArray1, stringArray2, numericArray, numericArray2);
}

void StringSort_map2(int N, char** stringArray1, char** stringArray2, double* numericArray) {
    sort_mapping_rows(N, stringArray1, stringArray2, numericArray, nullptr);
}

void StringSort_map(int N, char** stringArray1, char** stringArray2) {
    sort_mapping_rows(N, stringArray1, stringArray2, nullptr, nullptr);
}

void unique_vector(int n, double* v, double* v_unique, int* n_unique, int* index_unique) {
    if (n < 1) {
        *n_unique = 0;
        return;
    }
    double* rank = dvector(0, n - 1);
    double* sorted = dvector(0, n - 1);
    int* sorted_index = ivector(0, n - 1);
    bubbleRank_noTie(n, v, rank);
    for (int i = 0; i < n; ++i) sorted[static_cast<int>(rank[i]) - 1] = v[i];

    sorted_index[0] = 0;
    v_unique[0] = sorted[0];
    for (int k = 1; k < n; ++k) {
        if (sorted[k] == sorted[k - 1]) {
            sorted_index[k] = sorted_index[k - 1];
        } else {
            sorted_index[k] = sorted_index[k - 1] + 1;
            v_unique[sorted_index[k]] = sorted[k];
        }
    }
    *n_unique = sorted_index[n - 1] + 1;
    for (int i = 0; i < n; ++i) index_unique[i] = sorted_index[static_cast<int>(rank[i]) - 1];

    free_ivector(sorted_index, 0, n - 1);
    free_dvector(sorted, 0, n - 1);
    free_dvector(rank, 0, n - 1);
}

int cmp(const void* a, const void* b) {
    const double x = **static_cast<const double* const*>(a);
    const double y = **static_cast<const double* const*>(b);
    if (x > y) return 1;
    if (x == y) return 0;
    return -1;
}

// Ranks by a stable sort of pointers to the elements, so that equal values get
// consecutive ranks in index order.
void qRank_noTie(long arrayLen, double* Array) {
    if (arrayLen < 1) return;
    double** pArray = allocate_rank_array<double*>(arrayLen);
    for (long i = 0; i < arrayLen; ++i) pArray[i] = &Array[i];
    std::stable_sort(pArray, pArray + arrayLen, [](double* a, double* b) {
        if (std::isnan(*a) || std::isnan(*b)) return less_nan_last(*a, *b);
        return cmp(&a, &b) < 0;
    });
    for (long pos = 0; pos < arrayLen; ++pos) *pArray[pos] = static_cast<double>(pos);
    std::free(pArray);
}

// Probability that a subject who already carries `type` minor alleles (0 or 1)
// ends with at least two, given independent missing sites whose common-allele
// frequencies are q[0..n_miss-1] (Hardy-Weinberg genotype probabilities).
bool acceptableRecessiveType(double type) { return type == 0.0 || type == 1.0; }

[[noreturn]] void stopOnRecessiveType() {
    std::fprintf(consoleOut(), "Only type=0 or 1 is acceptable\n");
    stopRun();
}

double getS_REC_impute(double type, int n_miss, double* q) {
    if (!acceptableRecessiveType(type)) stopOnRecessiveType();
    // P0: no minor allele at any missing site.
    double p0 = 1.0;
    for (int i = 0; i < n_miss; ++i) p0 *= q[i] * q[i];
    double impute = n_miss < 1 ? 0.0 : 1.0 - p0;
    if (type == 1.0) return impute;

    // Remove the probability of exactly one minor allele over the missing sites.
    for (int i = 0; i < n_miss; ++i) {
        double others = 1.0;
        for (int j = 0; j < n_miss; ++j)
            if (j != i) others *= q[j] * q[j];
        impute -= 2.0 * (1.0 - q[i]) * q[i] * others;
    }
    return impute;
}

// rank[i] = 1-based position of Array[i] in a stable ascending sort.
void bubbleRank_noTie(int arrayLen, double* Array, double* rank) {
    if (arrayLen < 1) return;
    int* order = allocate_rank_array<int>(arrayLen);
    std::iota(order, order + arrayLen, 0);
    std::stable_sort(order, order + arrayLen, [Array](int a, int b) { return less_nan_last(Array[a], Array[b]); });
    // Array is no longer read, so rank may share its storage.
    for (int pos = 0; pos < arrayLen; ++pos) rank[order[pos]] = static_cast<double>(pos + 1);
    std::free(order);
}


int dependentColumns(int n, int k, double** x, double tol, int* involved) {
    for (int j = 0; j < k; ++j) involved[j] = 0;
    if (k <= 0) return 0;
    // Householder QR with column pivoting (Businger and Golub, 1965) on a
    // copy whose columns have unit Euclidean norm, so the tolerance does not
    // depend on the units of the covariates.  a[j] is column j.
    std::vector<std::vector<double>> a(static_cast<std::size_t>(k), std::vector<double>(static_cast<std::size_t>(n)));
    for (int j = 0; j < k; ++j) {
        double ss = 0.0;
        for (int i = 0; i < n; ++i) ss += x[i][j] * x[i][j];
        const double norm = std::sqrt(ss);
        for (int i = 0; i < n; ++i) a[j][i] = norm > 0.0 ? x[i][j] / norm : 0.0;
    }
    std::vector<int> perm(static_cast<std::size_t>(k));
    for (int j = 0; j < k; ++j) perm[j] = j;

    const int steps = std::min(n, k);
    int rank = 0;
    for (; rank < steps; ++rank) {
        // The column whose part below the rows already reduced is largest
        // (norms recomputed at every step, not downdated, for accuracy).
        int best = -1;
        double best_norm = 0.0;
        for (int j = rank; j < k; ++j) {
            double ss = 0.0;
            for (int i = rank; i < n; ++i) ss += a[j][i] * a[j][i];
            const double norm = std::sqrt(ss);
            if (norm > best_norm) {
                best_norm = norm;
                best = j;
            }
        }
        if (best < 0 || best_norm <= tol) break;
        std::swap(a[rank], a[best]);
        std::swap(perm[rank], perm[best]);

        // Reflector v = a_r + sign(a_rr) |a_r| e_r over rows rank..n-1.
        std::vector<double>& col = a[rank];
        const double alpha = col[rank] >= 0.0 ? -best_norm : best_norm;
        std::vector<double> v(col.begin() + rank, col.end());
        v[0] -= alpha;
        double vv = 0.0;
        for (double e : v) vv += e * e;
        if (vv > 0.0) {
            for (int j = rank; j < k; ++j) {
                double dot = 0.0;
                for (int i = rank; i < n; ++i) dot += v[i - rank] * a[j][i];
                const double f = 2.0 * dot / vv;
                for (int i = rank; i < n; ++i) a[j][i] -= f * v[i - rank];
            }
        }
        col[rank] = alpha;
        for (int i = rank + 1; i < n; ++i) col[i] = 0.0;
    }
    if (rank == k) return k;

    // One linear relation: the first column left out of the pivots, in terms
    // of the pivot columns (R11 c = R12 by back substitution).  A pivot takes
    // part when its coefficient is not negligible against the largest one.
    const std::vector<double>& dep = a[rank];
    std::vector<double> c(static_cast<std::size_t>(rank));
    for (int r = rank - 1; r >= 0; --r) {
        double sum = dep[r];
        for (int s = r + 1; s < rank; ++s) sum -= a[s][r] * c[s];
        c[r] = sum / a[r][r];
    }
    double largest = 0.0;
    for (double e : c) largest = std::max(largest, std::fabs(e));
    involved[perm[rank]] = 1;
    for (int r = 0; r < rank; ++r)
        if (std::fabs(c[r]) > 1e-6 * largest) involved[perm[r]] = 1;
    return rank;
}
