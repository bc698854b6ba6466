// The genotype reader: per row of the genotype file the number of called
// genotypes, of heterozygous and homozygous-minor values, and in test mode
// the minor-allele count, frequency, constant-row flag and identifier, and the
// byte offset of the row for the later re-reads of the gene loop.
#include "driver/genotype_reader.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "driver/readers.h"
#include "driver/text_input.h"
#include "engine/stop.h"
#include "numerics/missing_value.h"
#include "numerics/offset_arrays.h"

namespace {

constexpr const char* kOpenGeno = "fail\nError: Cannot open genotype file '%s'.\n";

constexpr double kPow10[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                               1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

struct SeparatorTable {
    bool sep[256];
    constexpr SeparatorTable() : sep() {
        for (int c = 0; c < 256; ++c) sep[c] = isFieldSeparator(static_cast<unsigned char>(c));
    }
};
constexpr SeparatorTable kSep;

inline bool separator(char c) { return kSep.sep[static_cast<unsigned char>(c)]; }

// Running counts of one genotype row.
struct RowCounts {
    double avc = 0.0;
    int het = 0;
    int alt = 0;
    double mac = 0.0;
    double vmin = 0.0;
    double vmax = 0.0;

    void add(double v, bool test_mode) {
        const bool first = avc == 0.0;
        avc += 1;
        if (std::fabs(v - 1) < 1e-6) ++het;
        if (std::fabs(v - 2) < 1e-6) ++alt;
        if (test_mode) {
            mac += v;
            if (first) {
                vmin = vmax = v;
            } else {
                if (v < vmin) vmin = v;
                if (v > vmax) vmax = v;
            }
        }
    }
};

// The exact shortcut for plain decimals of at most 15 digits that make up
// the whole field; false for every other field.
bool plainDecimal(const char* field, std::size_t len, double* value) {
    const char* p = field;
    const char* const e = field + len;
    bool negative = false;
    if (p < e && (*p == '-' || *p == '+')) {
        negative = *p == '-';
        ++p;
    }
    std::uint64_t m = 0;
    int digits = 0;
    int decimals = 0;
    while (p < e && static_cast<unsigned>(*p - '0') < 10u) {
        m = m * 10 + static_cast<unsigned>(*p - '0');
        ++digits;
        ++p;
    }
    if (p < e && *p == '.') {
        ++p;
        while (p < e && static_cast<unsigned>(*p - '0') < 10u) {
            m = m * 10 + static_cast<unsigned>(*p - '0');
            ++digits;
            ++decimals;
            ++p;
        }
    }
    if (p == e && digits > 0 && digits <= 15) {
        double v = static_cast<double>(m);
        if (decimals > 0) v /= kPow10[decimals];
        *value = negative ? -v : v;
        return true;
    }
    return false;
}

}  // namespace

double genotypeFieldValue(const char* field, std::size_t len) {
    double v = 0.0;
    if (plainDecimal(field, len, &v)) return v;
    const std::string text(field, len);
    return std::strtod(text.c_str(), nullptr);
}

GenotypeField classifyGenotype(const char* field, std::size_t len, double* value) {
    if (len >= 1 && field[0] == 'N') return GenotypeField::Missing;
    if (len >= 2 && field[1] == 'A') return GenotypeField::Missing;
    double v = 0.0;
    if (!plainDecimal(field, len, &v) && !finiteDecimal(std::string_view(field, len), &v))
        return GenotypeField::Invalid;
    if (v < kMissingBelow) return GenotypeField::Missing;
    // A count of minor alleles, or a dosage, lies between 0 and 2.
    if (v < 0.0 || v > 2.0) return GenotypeField::OutOfRange;
    *value = v;
    return GenotypeField::Called;
}

bool calledGenotype(const char* field, std::size_t len, double* value) {
    if (len >= 1 && field[0] == 'N') return false;
    if (len >= 2 && field[1] == 'A') return false;
    const double v = genotypeFieldValue(field, len);
    if (v < kMissingBelow) return false;
    *value = v;
    return true;
}

void readGenotypes(const RunSettings& s, RunData& d) {
    const FileShape shape = beginReading("\nGENOTYPE FILE ..........\n", s.scoreFile, kOpenGeno, &d.score_NROW,
                                         &d.score_NCOL);
    d.N_SNP = static_cast<int>(shape.rows);
    if (!usesMapping(s)) d.N_GENE = d.N_SNP;
    if (shape.columns != static_cast<long>(d.n1) + 1) {
        std::printf("fail\nError: subject number not match in genetic variable file and phenotype file for sequenced "
                    "subjects.\n");
        kill_VENTARQUILLO();
    }
    std::printf("successful\n");

    const int nsnp = d.N_SNP;
    const bool test_mode = usesMapping(s);
    d.geno_AVC = dvector(0, nsnp - 1);
    d.geno_HET = ivector(0, nsnp - 1);
    d.geno_ALT = ivector(0, nsnp - 1);
    if (test_mode) {
        d.geno_maf = dvector(0, nsnp - 1);
        d.geno_singular = ivector(0, nsnp - 1);
        d.geno_MAC = dvector(0, nsnp - 1);
        d.geno_snpID.assign(static_cast<std::size_t>(nsnp), std::string());
    }
    d.geno_offset.assign(static_cast<std::size_t>(nsnp), 0);

    std::FILE* f = openInputOrStop(s.scoreFile, kOpenGeno);
    LineReader reader(f, s.scoreFile);
    const long columns = shape.columns;
    long first_lineno = 0;
    for (int k = 0; k < nsnp; ++k) {
        std::string_view line;
        long lineno = 0;
        long long offset = 0;
        reader.nextOrStop(line, lineno, offset);
        if (k == 0) first_lineno = lineno;
        d.geno_offset[k] = offset;

        const char* p = line.data();
        const char* const e = p + line.size();
        while (p < e && separator(*p)) ++p;
        const char* id = p;
        while (p < e && !separator(*p)) ++p;
        const std::size_t id_len = static_cast<std::size_t>(p - id);
        long nfields = id_len > 0 ? 1 : 0;

        RowCounts row;
        for (;;) {
            while (p < e && separator(*p)) ++p;
            if (p == e) break;
            const char* tok = p;
            while (p < e && !separator(*p)) ++p;
            if (++nfields > columns) continue;  // counted for the message only
            const std::size_t len = static_cast<std::size_t>(p - tok);
            if (len == 1 && static_cast<unsigned>(*tok - '0') < 3u) {
                // The common one-digit call 0, 1 or 2: its value is the digit itself.
                row.add(static_cast<double>(*tok - '0'), test_mode);
                continue;
            }
            double v = 0.0;
            const GenotypeField kind = classifyGenotype(tok, len, &v);
            if (kind == GenotypeField::Called) {
                row.add(v, test_mode);
            } else if (kind == GenotypeField::Invalid) {
                stopOnFieldAt(s.scoreFile, lineno, nfields, "subject " + std::to_string(nfields - 1),
                              std::string_view(tok, len), "is neither a finite number nor a missing value (NA)");
            } else if (kind == GenotypeField::OutOfRange) {
                stopOnFieldAt(s.scoreFile, lineno, nfields, "subject " + std::to_string(nfields - 1),
                              std::string_view(tok, len),
                              "is neither a genotype from 0 to 2 nor a missing value (NA, or a number below -0.1)");
            }
        }
        checkFieldCount(s.scoreFile, lineno, nfields, columns, k == 0, first_lineno);

        if (row.avc == 0.0) {
            std::printf("fail\nError: genotype row '%.*s' (line %ld of file '%s') has no called value.\n",
                        static_cast<int>(id_len), id, lineno, s.scoreFile.c_str());
            kill_VENTARQUILLO();
        }
        d.geno_AVC[k] = row.avc;
        d.geno_HET[k] = row.het;
        d.geno_ALT[k] = row.alt;
        if (test_mode) {
            d.geno_snpID[k].assign(id, id_len);
            d.geno_MAC[k] = row.mac;
            d.geno_singular[k] = row.vmin == row.vmax ? 1 : 0;
            d.geno_maf[k] = d.geno_MAC[k] / (2 * d.geno_AVC[k]);
        }
    }
    std::fclose(f);
    if (!test_mode) d.EXT_THRESH = 0;
}
