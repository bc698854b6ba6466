#include "driver/readers.h"

#include <climits>
#include <cmath>
#include <cstring>

#include "driver/text_input.h"
#include "driver/transforms.h"
#include "driver/value_checks.h"
#include "engine/data_preparation.h"
#include "engine/stop.h"
#include "numerics/missing_value.h"
#include "numerics/offset_arrays.h"

namespace {

constexpr const char* kOpenSeq = "fail\nError: Cannot open phenotype file for sequenced subjects '%s'.\n";
constexpr const char* kOpenCov = "fail\nError: Cannot open covariate assignment file '%s'.\n";
constexpr const char* kOpenNonseq = "fail\nError: Cannot open phenotype file for non-sequenced subjects '%s'.\n";
constexpr const char* kOpenMap = "fail\nError: Cannot open mapping file '%s'.\n";

[[noreturn]] void stopWithLine(const char* line) {
    std::printf("%s\n", line);
    kill_VENTARQUILLO();
}

// A primary-trait value: the whole field is one finite number, at most
// kLargestValue in magnitude.
double primaryValue(const std::string& name, long lineno, std::string_view field) {
    double v = 0.0;
    if (!finiteDecimal(field, &v)) stopOnField(name, lineno, "the primary trait", field, "is not a number");
    if (std::fabs(v) > kLargestValue) stopOnField(name, lineno, "the primary trait", field, kTooLarge);
    return v;
}

// A secondary trait or covariate (field fieldno, 1-based, of the row):
// missing when it begins with "NA", else one whole finite number.
double phenotypeValue(const std::string& name, long lineno, long fieldno, const char* kind, const std::string& column,
                      std::string_view field) {
    if (isNAField(field)) return kMissing;
    double v = 0.0;
    if (!finiteDecimal(field, &v))
        stopOnFieldAt(name, lineno, fieldno, std::string(kind) + " '" + column + "'", field,
                      "is neither a finite number nor NA");
    if (std::fabs(v) > kLargestValue)
        stopOnFieldAt(name, lineno, fieldno, std::string(kind) + " '" + column + "'", field, kTooLarge);
    return v;
}

// Reads one row and checks its number of fields.
void nextRow(LineReader& reader, const std::string& name, long columns, bool first_row, long* first_lineno,
             std::vector<std::string_view>& fields, long* lineno) {
    std::string_view line;
    long long offset = 0;
    reader.nextOrStop(line, *lineno, offset);
    splitFields(line, fields);
    if (first_row) *first_lineno = *lineno;
    checkFieldCount(name, *lineno, static_cast<long>(fields.size()), columns, first_row, *first_lineno);
}

}  // namespace

void readSequencedPhenotypes(const RunSettings& s, RunData& d) {
    const FileShape shape =
        beginReading("\nPHENOTYPE FILE FOR SEQUENCED SUBJECTS..........\n", s.seqPheno, kOpenSeq, &d.pheno1_NROW,
                     &d.pheno1_NCOL);
    if (shape.rows < 2) {
        std::printf("fail\nError: phenotype file for sequenced subjects '%s' has a header but no subject rows.\n",
                    s.seqPheno.c_str());
        kill_VENTARQUILLO();
    }
    d.n1 = static_cast<int>(shape.rows - 1);
    d.CRC_LB = d.n1 * s.CR_LB;

    const bool random = s.TYPE_STUDY == kRandom;
    const long p = random ? shape.columns - s.N_SEC + 1 : shape.columns - s.N_SEC;
    if (p < 1) {
        if (random)
            std::printf("fail\nError: phenotype file for sequenced subjects '%s' has %ld column(s), fewer than the %d "
                        "secondary trait(s).\n",
                        s.seqPheno.c_str(), shape.columns, s.N_SEC);
        else
            std::printf("fail\nError: phenotype file for sequenced subjects '%s' has %ld column(s), fewer than the "
                        "primary trait and %d secondary trait(s).\n",
                        s.seqPheno.c_str(), shape.columns, s.N_SEC);
        kill_VENTARQUILLO();
    }
    d.p = static_cast<int>(p);
    const int n1 = d.n1;
    const int nsec = s.N_SEC;

    d.traitHeader.assign(static_cast<std::size_t>(nsec) + 1, std::string());
    d.logList.assign(2 * static_cast<std::size_t>(nsec) + 1, std::string());
    d.sec = dmatrix(0, n1 - 1, 0, nsec - 1);
    d.seq_prim = dvector(0, n1 - 1);
    d.covariates = dmatrix(0, n1 - 1, 0, d.p - 1);
    for (int i = 0; i < n1; ++i) d.covariates[i][0] = 1.0;

    std::FILE* f = openInputOrStop(s.seqPheno, kOpenSeq);
    LineReader reader(f, s.seqPheno);
    std::vector<std::string_view> fields;
    long lineno = 0, first_lineno = 0;

    // Header: the trait names; the covariate names serve the messages only.
    nextRow(reader, s.seqPheno, shape.columns, true, &first_lineno, fields, &lineno);
    if (random)
        for (int t = 1; t <= nsec; ++t) d.traitHeader[t] = std::string(fields[t - 1]);
    else
        for (int t = 0; t <= nsec; ++t) d.traitHeader[t] = std::string(fields[t]);
    const std::vector<std::string> header(fields.begin(), fields.end());

    const int lead = random ? 0 : 1;  // fields before the secondary traits
    d.covariateNames.assign(header.begin() + lead + nsec, header.end());
    d.seqLine.assign(static_cast<std::size_t>(n1), 0);
    for (int i = 0; i < n1; ++i) {
        nextRow(reader, s.seqPheno, shape.columns, false, &first_lineno, fields, &lineno);
        d.seqLine[i] = lineno;
        d.seq_prim[i] = random ? 0.0 : primaryValue(s.seqPheno, lineno, fields[0]);
        for (int t = 0; t < nsec; ++t) {
            const int at = lead + t;
            d.sec[i][t] = phenotypeValue(s.seqPheno, lineno, at + 1, "secondary trait", header[at], fields[at]);
        }
        for (int k = 1; k < d.p; ++k) {
            const int at = lead + nsec + k - 1;
            d.covariates[i][k] = phenotypeValue(s.seqPheno, lineno, at + 1, "covariate", header[at], fields[at]);
        }
    }
    std::fclose(f);
    std::printf("successful\n");

    if (s.TYPE_STUDY == kCC) {
        for (int i = 0; i < n1; ++i) {
            if (std::fabs(d.seq_prim[i]) > 1e-10 && std::fabs(d.seq_prim[i] - 1.0) > 1e-10)
                stopWithLine("fail\nError: Only allow value 0 or 1 for the primary trait under case-control sampling.");
        }
    }

    d.pv = ivector(0, nsec);
    d.cov_ind = dmatrix(0, nsec, 0, d.p - 2);
    for (int k = 0; k <= nsec; ++k) {
        d.pv[k] = d.p;
        for (int j = 0; j < d.p - 1; ++j) d.cov_ind[k][j] = 1.0;
    }
}

void readCovariateSelection(const RunSettings& s, RunData& d) {
    const FileShape shape =
        beginReading("\nCOVARIATE SELECTION FILE..........\n", s.whichCov, kOpenCov, &d.cov_NROW, &d.cov_NCOL);
    if (shape.columns != d.p - 1)
        stopWithLine(
            "fail\nError: number of covariates does not match between phenotype file and covariate assignment file.");
    const int nsec = s.N_SEC;
    if (shape.rows != static_cast<long>(nsec) + 1) {
        std::printf("fail\nError: covariate assignment file '%s' has %ld row(s); it needs %d, one for the primary "
                    "trait and one per secondary trait.\n",
                    s.whichCov.c_str(), shape.rows, nsec + 1);
        kill_VENTARQUILLO();
    }

    std::FILE* f = openInputOrStop(s.whichCov, kOpenCov);
    LineReader reader(f, s.whichCov);
    std::vector<std::string_view> fields;
    long lineno = 0, first_lineno = 0;
    for (long r = 0; r <= nsec; ++r) {
        nextRow(reader, s.whichCov, shape.columns, r == 0, &first_lineno, fields, &lineno);
        for (long j = 0; j < shape.columns; ++j) {
            double flag = 0.0;
            if (!finiteDecimal(fields[j], &flag) || (flag != 0.0 && flag != 1.0))
                stopOnField(s.whichCov, lineno, "the covariate flag", fields[j], "is not 0 or 1");
            d.cov_ind[r][j] = flag;
        }
    }
    std::fclose(f);
    std::printf("successful\n");

    for (int k = 0; k <= nsec; ++k) {
        int selected = 0;
        for (int j = 0; j < d.p - 1; ++j)
            if (d.cov_ind[k][j] > 0.5) ++selected;
        d.pv[k] = 1 + selected;
    }
}

void readNonsequencedPhenotypes(const RunSettings& s, RunData& d) {
    const FileShape shape =
        beginReading("\nPHENOTYPE FILE FOR NON-SEQUENCED SUBJECTS..........\n", s.nonseqPheno, kOpenNonseq,
                     &d.pheno2_NROW, &d.pheno2_NCOL);
    d.N0 = static_cast<int>(shape.rows);
    if (shape.columns > 2)
        stopWithLine("fail\nError: the number of columns is greater than 2 in the phenotype file for non-sequenced subjects.");

    std::FILE* f = openInputOrStop(s.nonseqPheno, kOpenNonseq);
    LineReader reader(f, s.nonseqPheno);
    std::vector<std::string_view> fields;
    long lineno = 0, first_lineno = 0;

    if (shape.columns == 1) {
        const int N0 = d.N0;
        double* nonseq_prim = dvector(0, N0 - 1);
        std::vector<ReadValue> read(static_cast<std::size_t>(N0));
        for (int k = 0; k < N0; ++k) {
            nextRow(reader, s.nonseqPheno, 1, k == 0, &first_lineno, fields, &lineno);
            nonseq_prim[k] = primaryValue(s.nonseqPheno, lineno, fields[0]);
            read[k] = {nonseq_prim[k], 1, &s.nonseqPheno, lineno, 1};
        }
        std::fclose(f);
        checkPooledPrimaryValues(s, d, read);
        if (s.N_SEC == 0 && s.DO_InvNormal == 1) {
            std::vector<double> pooled(d.seq_prim, d.seq_prim + d.n1);
            pooled.insert(pooled.end(), nonseq_prim, nonseq_prim + N0);
            stopUnlessRobustScale(s, static_cast<long>(pooled.size()), pooled.data(), "the primary trait '" +
                                  d.traitHeader[0] + "'", "its " + std::to_string(pooled.size()) +
                                  " values in files '" + s.seqPheno + "' and '" + s.nonseqPheno + "'");
            pooledInverseNormal(d.n1, d.seq_prim, N0, nonseq_prim, s.DO_Rescale);
        }
        if (s.DO_ROUND == 1) roundPrimaryTrait(s.NMAX, d.n1, d.seq_prim, N0, nonseq_prim);
        d.nonseq_prim_unique = dvector(0, N0 - 1);
        distinctValuesWithCounts(N0, nonseq_prim, d.nonseq_prim_unique, &d.n0, &d.c0);
        free_dvector(nonseq_prim, 0, N0 - 1);
    } else {
        if (s.DO_ROUND == 1)
            std::printf("Warning: option -rounding is invalid when the phenotype file for non-sequenced subjects "
                        "contains frequencies.\n");
        if (s.N_SEC == 0 && s.DO_InvNormal == 1)
            std::printf("Warning: the inverse normal transformation is not applied to the primary trait when the "
                        "phenotype file for non-sequenced subjects contains frequencies.\n");
        d.n0 = static_cast<int>(shape.rows);
        d.nonseq_prim_unique = dvector(0, d.n0 - 1);
        d.c0 = ivector(0, d.n0 - 1);
        long total = 0;
        std::vector<ReadValue> read(static_cast<std::size_t>(d.n0));
        for (int k = 0; k < d.n0; ++k) {
            nextRow(reader, s.nonseqPheno, 2, k == 0, &first_lineno, fields, &lineno);
            d.nonseq_prim_unique[k] = primaryValue(s.nonseqPheno, lineno, fields[0]);
            int count = 0;
            if (!wholeInteger(fields[1], &count) || count < 1)
                stopOnField(s.nonseqPheno, lineno, "the frequency", fields[1], "is not a positive integer");
            d.c0[k] = count;
            read[k] = {d.nonseq_prim_unique[k], count, &s.nonseqPheno, lineno, 1};
            total += count;
            if (total > INT_MAX) {
                std::printf("fail\nError: the frequencies in file '%s' add up to more subjects than this program can "
                            "hold.\n",
                            s.nonseqPheno.c_str());
                kill_VENTARQUILLO();
            }
        }
        std::fclose(f);
        d.N0 = static_cast<int>(total);
        checkPooledPrimaryValues(s, d, read);
    }
    std::printf("successful\n");
}

void readMapping(const RunSettings& s, RunData& d) {
    const FileShape shape =
        beginReading("\nMAPPING FILE..........\n", s.mapFile, kOpenMap, &d.map_NROW, &d.map_NCOL);
    if (shape.columns <= 1)
        stopWithLine("fail\nError: Need at least two columns in the mapping file: first column for geneID, second "
                     "column for SNPID.");
    if (shape.columns == 2) {
        d.maf_flag = 1;
        d.EXT_THRESH = 0;
    } else if (shape.columns == 4) {
        if (s.DO_BURDEN != kVT)
            stopWithLine("Error: the external threshold in the mapping file will not be used since VT test is not "
                         "requested.");
        d.EXT_THRESH = 1;
        d.maf_flag = 0;
    } else if (shape.columns == 3) {
        d.maf_flag = 0;
        d.EXT_THRESH = 0;
    } else {
        // A fifth field has no meaning; reading such rows as three columns
        // would silently drop the VT flags.
        std::printf("fail\nError: line %ld of file '%s' has %ld fields; a row of the mapping file holds at most four: "
                    "gene, variant, frequency and VT threshold flag.\n",
                    shape.first_line, s.mapFile.c_str(), shape.columns);
        kill_VENTARQUILLO();
    }

    const int rows = static_cast<int>(shape.rows);
    if (d.maf_flag == 0) d.map_maf = dvector(0, rows - 1);
    if (d.EXT_THRESH == 1) d.map_thresh = ivector(0, rows - 1);

    std::FILE* f = openInputOrStop(s.mapFile, kOpenMap);
    LineReader reader(f, s.mapFile);
    std::vector<std::string_view> fields;
    long lineno = 0, first_lineno = 0;
    std::vector<std::size_t> gene_at(rows), snp_at(rows);
    d.map_text.clear();
    for (int r = 0; r < rows; ++r) {
        nextRow(reader, s.mapFile, shape.columns, r == 0, &first_lineno, fields, &lineno);
        gene_at[r] = d.map_text.size();
        d.map_text.insert(d.map_text.end(), fields[0].begin(), fields[0].end());
        d.map_text.push_back('\0');
        snp_at[r] = d.map_text.size();
        d.map_text.insert(d.map_text.end(), fields[1].begin(), fields[1].end());
        d.map_text.push_back('\0');
        if (d.maf_flag == 0 && (!finiteDecimal(fields[2], &d.map_maf[r]) || d.map_maf[r] < 0.0 || d.map_maf[r] > 1.0))
            stopOnField(s.mapFile, lineno, "the frequency", fields[2], "is not a number between 0 and 1");
        if (d.EXT_THRESH == 1 &&
            (!wholeInteger(fields[3], &d.map_thresh[r]) || (d.map_thresh[r] != 0 && d.map_thresh[r] != 1)))
            stopOnField(s.mapFile, lineno, "the threshold flag", fields[3], "is not 0 or 1");
    }
    std::fclose(f);

    d.map_geneID.resize(rows);
    d.map_snpID.resize(rows);
    for (int r = 0; r < rows; ++r) {
        d.map_geneID[r] = d.map_text.data() + gene_at[r];
        d.map_snpID[r] = d.map_text.data() + snp_at[r];
    }
    if (d.EXT_THRESH == 1) StringSort_map3(rows, d.map_geneID.data(), d.map_snpID.data(), d.map_maf, d.map_thresh);
    else if (d.maf_flag == 0) StringSort_map2(rows, d.map_geneID.data(), d.map_snpID.data(), d.map_maf);
    else StringSort_map(rows, d.map_geneID.data(), d.map_snpID.data());

    d.N_GENE = 1;
    for (int r = 1; r < rows; ++r)
        if (std::strcmp(d.map_geneID[r - 1], d.map_geneID[r]) != 0) ++d.N_GENE;
    std::printf("successful\n");
}

FileShape beginReading(const char* heading, const std::string& path, const char* open_format, long* rows,
                       long* columns) {
    std::printf("%s", heading);
    const FileShape shape = sizeInputFile(path, open_format);
    *rows = shape.rows;
    *columns = shape.columns;
    return shape;
}

void printDataSummary(const RunSettings& s, const RunData& d) {
    std::printf("\nDATA SUMMARY:\n");
    if (s.TYPE_STUDY == kTDS) std::printf("Study Design: Trait-dependent sampling\n");
    else if (s.TYPE_STUDY == kCC) std::printf("Study Design: Case-control sampling\n");
    else std::printf("Study Design: Case-only sampling or random sampling\n");
    std::printf("#SNP = %d\n", d.N_SNP);
    if (usesMapping(s)) std::printf("#GENE = %d\n", d.N_GENE);
    if (s.N_SEC > 0) std::printf("#SEC_Traits = %d\n", s.N_SEC);
    std::printf("#SEQ_Subjects = %d\n", d.n1);
    if (usesMle(s)) {
        std::printf("#NONSEQ_Subjects = %d\n", d.N0);
        std::printf("#NONSEQ_Unique_Subjects=%d\n", d.n0);
    }
    std::printf("#Covariates = %d\n", d.p - 1);
    std::printf("\n");
}

void allocateGeneArrays(const RunSettings& s, RunData& d) {
    if (!usesMapping(s)) {
        d.fi = std::fopen(s.scoreFile.c_str(), "rb");
        if (d.fi == nullptr) stopWithLine("Cannot open genotype file.");
    }
}

void releaseRunData(const RunSettings& s, RunData& d) {
    const int nsec = s.N_SEC;
    if (d.fi != nullptr) std::fclose(d.fi);
    d.fi = nullptr;
    if (d.seq_prim) free_dvector(d.seq_prim, 0, d.n1 - 1);
    if (d.sec) free_dmatrix(d.sec, 0, d.n1 - 1, 0, nsec - 1);
    if (d.covariates) free_dmatrix(d.covariates, 0, d.n1 - 1, 0, d.p - 1);
    if (d.pv) free_ivector(d.pv, 0, nsec);
    if (d.cov_ind) free_dmatrix(d.cov_ind, 0, nsec, 0, d.p - 2);
    if (d.nonseq_prim_unique) free_dvector(d.nonseq_prim_unique, 0, d.N0 - 1);
    if (d.c0) free_ivector(d.c0, 0, d.n0 - 1);
    if (d.geno_AVC) free_dvector(d.geno_AVC, 0, d.N_SNP - 1);
    if (d.geno_HET) free_ivector(d.geno_HET, 0, d.N_SNP - 1);
    if (d.geno_ALT) free_ivector(d.geno_ALT, 0, d.N_SNP - 1);
    if (d.geno_MAC) free_dvector(d.geno_MAC, 0, d.N_SNP - 1);
    if (d.geno_maf) free_dvector(d.geno_maf, 0, d.N_SNP - 1);
    if (d.geno_singular) free_ivector(d.geno_singular, 0, d.N_SNP - 1);
    if (d.map_maf) free_dvector(d.map_maf, 0, d.map_NROW - 1);
    if (d.map_thresh) free_ivector(d.map_thresh, 0, static_cast<int>(d.map_NROW) - 1);
    d = RunData();
}
