// Writers for the result table and the trait logs, and the checks of the
// output names before anything is written.
//
// Writing one gene: OutputFile::append, writeGeneId, one writer call per
// method block, endResultRow (writeBurdenNAPrimary already ends the row),
// then close.  Log records are appended the same way to the block's log.
// A writer that ends a row or a record writes it out whole (OutputFile), so
// neither the table nor a log ever ends in part of one.
#ifndef VENTARQUILLO_DRIVER_OUTPUT_H
#define VENTARQUILLO_DRIVER_OUTPUT_H

#include <string>

#include "driver/options.h"
#include "driver/output_file.h"
#include "driver/readers.h"

// Writes the two header lines of the result table (the file is emptied
// first) for the family of s.DO_BURDEN (0-3 single burden, 4-6 multi-score),
// the design, the method and the number of secondary traits.
void writeResultHeader(const RunSettings& s, const RunData& d);

// Names every trait log in d.logList (prefix, "_", trait name, "_", method
// block) and creates each one with its first line "#Samples = <n1>".  A name
// longer than 1023 characters stops the run.
void createTraitLogs(const RunSettings& s, RunData& d);

// Before anything is written, stops the run when
//   - two traits would share one trait log (equal names);
//   - the result table and a trait log, or two trait logs, would be one
//     file: equal names, the same existing file (device and inode, so also
//     through a link), or, for files still to be made, the same name in the
//     same folder reached by two paths;
//   - the result table or a trait log is one of the run's input files (same
//     device and inode, whatever the path).
void checkOutputFiles(const RunSettings& s, const RunData& d);

// Start and end of a result row: the gene identifier (nothing before it) and
// the line break, which writes the row out.
void writeGeneId(OutputFile& f, const char* geneID);
void endResultRow(OutputFile& f);

// Single-burden family (direct, T1, T5, MB), five cells per block.
// Defined statistic: "\t%.9E\t%.4E\t%.4E\t%.4E\t%s".
void writeBurdenBlock(OutputFile& f, double statistic, double pvalue, double beta_est, double beta_se,
                      const char* warn);
// Statistic not finite: "\tNA\tNA\t%.4E\t%.4E\t%s".
void writeBurdenBlockUndefined(OutputFile& f, double beta_est, double beta_se, const char* warn);
// Burden check failed, primary trait: "\tNA\tNA\tNA\tNA\t%s\n" (ends the row).
void writeBurdenNAPrimary(OutputFile& f, const char* warn);
// Burden check failed, one secondary method block: "\tNA\tNA\tNA\tNA\t%s".
void writeBurdenNABlock(OutputFile& f, const char* warn);
// The same for both blocks of a secondary trait that LS analyses twice under
// TDS or CC (LS-M, LS-C): "\tNA\tNA\tNA\tNA\t%s\tNA\tNA\tNA\tNA\t%s".
void writeBurdenNAPair(OutputFile& f, const char* warn);

// Multi-score family (VT, VC, customized), three cells per block.
// P-value computed: "\t%.9E\t%.4E\t%s".
void writeMultiBlock(OutputFile& f, double statistic, double pvalue, const char* warn);
// P-value flagged as inaccurate: "\t%.9E\t%.4E\tPvalue_Fail".
void writeMultiBlockFlagged(OutputFile& f, double statistic, double pvalue);
// No usable score column: "\tNA\tNA\tVar_Null".
void writeMultiBlockNull(OutputFile& f);
// The combination gave no probability (its p-value is not a number): the
// statistic, "NA" and "Pvalue_Fail" ("\t%.9E\tNA\tPvalue_Fail"; a statistic
// that is not finite is written "NA" as well).
void writeMultiBlockNoPvalue(OutputFile& f, double statistic);

// The block of one multi-score analysis from what the p-value combination
// returned: statistic (T*T of the maximum statistic, T of the variance
// component), pvalue and inform.  A p-value flagged as inaccurate (inform > 0)
// or missing altogether also prints on standard output
// "GENE <geneID> Warning: The asymptotic <label> p-value may not be accurate.\n".
//   pvalue kNotComputed (nothing to combine):
//       inform <= 0  -> "\tNA\tNA\tVar_Null"
//       inform > 0   -> warning, "\tNA\tNA\tPvalue_Fail"
//   pvalue not a number -> warning, writeMultiBlockNoPvalue
//   inform > 0          -> warning, writeMultiBlockFlagged
//   otherwise           -> writeMultiBlock with warn
void writeCombinedBlock(OutputFile& f, const char* geneID, const char* label, double statistic, double pvalue,
                        int inform, const char* warn);

// Single-burden log record, in its pieces: the primary trait writes
// writeGeneId when it opens the log and writeBurdenLogCount after the test; a
// secondary trait writes writeBurdenLogHead ("%s\t%d") before the test.  The
// record ends with writeBurdenLogScore ("\t%.9E\t%.9E\n") or, when the
// statistic is not finite, writeBurdenLogUndefined ("\t0\t0\n").
void writeBurdenLogCount(OutputFile& f, int mai);
void writeBurdenLogHead(OutputFile& f, const char* geneID, int mai);
void writeBurdenLogScore(OutputFile& f, double U, double V);
void writeBurdenLogUndefined(OutputFile& f);

// Multi-score log records write a line for each score column t: a
// test-specific lead, then the lower triangle of covariance row t ("\t%.9E"
// up to the diagonal, "\t0" beyond it) and a line break; the K lines are
// one record, written out together.
// VT leading part: "%s\t%E\t%d\t%.9E" (gene, thresh[t], mai_thresh[t], U[t]).
void writeVTLogRecord(OutputFile& f, const char* geneID, int K, const double* thresh, const int* mai_thresh,
                      const double* U, double** cov);
// VC leading part: "%s\t%s\t%E\t%d\t%d\t%d\t%d\t%d\t%.9E" (gene, snpID[t],
// maf[t], mai_thresh[t], snp_avc[t], snp_avc[t] - snp_het[t] - snp_alt[t],
// snp_het[t], snp_alt[t], U[t]).
void writeVCLogRecord(OutputFile& f, const char* geneID, int K, const char* const* snpID, const double* maf,
                      const int* mai_thresh, const int* snp_avc, const int* snp_het, const int* snp_alt,
                      const double* U, double** cov);
// Customized leading part: "%s\t%d\t%d\t%.9E" (gene, t, mac_thresh[t], U[t]).
void writeCustomizedLogRecord(OutputFile& f, const char* geneID, int K, const int* mac_thresh, const double* U,
                              double** cov);

#endif
