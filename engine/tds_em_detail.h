// Internal entry points of the semiparametric EM with an explicit stopping
// rule.  The public routines of tds_em.h use tolerance 1e-4 and a cap of 2000
// iterations; tests use these to refit to tight convergence or to reach the
// cap quickly.  Not for use elsewhere in the program.
#ifndef VENTARQUILLO_ENGINE_TDS_EM_DETAIL_H
#define VENTARQUILLO_ENGINE_TDS_EM_DETAIL_H

namespace tds_detail {

constexpr double kTolerance = 1e-4;
constexpr int kMaxIterations = 2000;

void em_fit(int n, int n10, int n1, int d, const int* c10, const double* y10, double** w, double* eta,
            double* sigma11, double* qm, double* etaW, double** phi, int* EMconvergeN, double tolerance,
            int max_iterations);

void em_full_fit(int n, int n10, int n1, int p, const int* c10, const double* y10, const double* g,
                 double** z, double* prim_est, double** prim_cov, int* convergeN, double tolerance,
                 int max_iterations);

}  // namespace tds_detail

#endif
