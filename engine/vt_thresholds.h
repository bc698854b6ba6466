// The frequency thresholds of the variable-threshold (VT) test: up to ten
// distinct variant frequencies, each with enough minor alleles at or under
// it; close ones are merged by rounding to 3, then 2, then 1 significant digits.
#ifndef VENTARQUILLO_ENGINE_VT_THRESHOLDS_H
#define VENTARQUILLO_ENGINE_VT_THRESHOLDS_H

// thresh[0..*n_thresh-1] (room for 10): the thresholds in order of first
// appearance among the N_SNP variants; n is not used.
void getThresh(int n, int N_SNP, double* maf, double* num_minor, int MAC_LB, int* n_thresh, double* thresh);

// rank[k]: the 0-based ascending position of thresh[k].  index_vt[k] = 1 when
// thresh[k] survives the merging, else 0; *N_UNIQ2 = the number that survive.
void shrinkVT(int N_UNIQ, double* thresh, int* rank, int* N_UNIQ2, int* index_vt);

// v[0..M-1] rounded in place, half up, to DIG significant digits through their
// ten-decimal text.  Meant for values in [0, 1).
void sigDigit(int M, double* v, int DIG);

#endif
