#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>

#include "driver/options.h"
#include "driver/readers.h"
#include "run_capture.h"

namespace {

RunSettings tdsSettings(int nsec) {
    RunSettings s;
    s.N_SEC = nsec;
    s.DO_ROUND = 1;
    return s;
}

// Runs body in a child process; returns the console text and the status.
std::string consoleOf(const std::function<void()>& body, int* status) { return runCaptured(body, status); }

// The sequenced phenotypes, then the non-sequenced ones when asked, with the
// console muted.
void readPhenotypesQuietly(const RunSettings& s, RunData& d, bool nonsequenced = false) {
    QuietStdout quiet;
    readSequencedPhenotypes(s, d);
    if (nonsequenced) readNonsequencedPhenotypes(s, d);
}

// The mapping file at path for the test kind `burden` and n_snp genotype
// rows, with the console muted.
void readMappingQuietly(const std::string& path, int burden, int n_snp, RunSettings& s, RunData& d) {
    s.DO_BURDEN = burden;
    s.mapFile = path;
    d.N_SNP = n_snp;
    QuietStdout quiet;
    readMapping(s, d);
}

// Runs body in a child process and expects it to stop the run (status 1)
// with the console text ending in heading, message ("@" stands for the file
// name path) and the stop line; with whole_text, that is the whole text.
void expectStop(const std::function<void()>& body, const std::string& heading, std::string message,
                const std::string& path, bool whole_text) {
    int status = 0;
    const std::string out = consoleOf(body, &status);
    const std::size_t at = message.find('@');
    if (at != std::string::npos) message.replace(at, 1, path);
    EXPECT_EQ(status, 1) << message;
    const std::string tail = heading + message + kStopLine;
    if (whole_text) {
        EXPECT_EQ(out, tail);
    } else {
        ASSERT_GE(out.size(), tail.size()) << message;
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    }
}

// A file holding the bytes that stops the reader with the message.
struct StopCase {
    std::string bytes;
    std::string message;  // after the heading; "@" stands for the file name
};

// expectStop for every case: read(c, path) reads the file at path, holding
// the bytes of case c.
template <typename Case, std::size_t N, typename Read>
void expectEachStops(const Case (&cases)[N], const std::string& heading, bool whole_text, Read read) {
    for (const Case& c : cases) {
        TempFile f(c.bytes);
        expectStop([&] { read(c, f.path()); }, heading, c.message, f.path(), whole_text);
    }
}

}  // namespace

// ------------------------------------------------------------- sequenced phenotypes

TEST(SequencedReader, TdsLayoutWithMissingTokens) {
    TempFile f("y\tbmi\tage\tsex\n1.5\tNA\t30\tNAN\n-0.5\t22.5\t4e1\t1\n2.0\t31\tNA_x\t0");  // no final line break
    RunSettings s = tdsSettings(1);
    s.seqPheno = f.path();
    s.CR_LB = 0.5;
    RunData d;
    readPhenotypesQuietly(s, d);
    ASSERT_EQ(d.n1, 3);
    ASSERT_EQ(d.p, 3);  // intercept, age, sex
    EXPECT_EQ(d.CRC_LB, 1.5);
    EXPECT_EQ(d.traitHeader[0], "y");
    EXPECT_EQ(d.traitHeader[1], "bmi");
    EXPECT_EQ(d.logList.size(), 3u);
    EXPECT_EQ(d.seq_prim[0], 1.5);
    EXPECT_EQ(d.seq_prim[1], -0.5);
    EXPECT_EQ(d.sec[0][0], -999.0);
    EXPECT_EQ(d.sec[1][0], 22.5);
    EXPECT_EQ(d.covariates[0][0], 1.0);
    EXPECT_EQ(d.covariates[0][1], 30.0);
    EXPECT_EQ(d.covariates[0][2], -999.0);  // NAN
    EXPECT_EQ(d.covariates[1][1], 40.0);
    EXPECT_EQ(d.covariates[2][1], -999.0);  // NA_x
    for (int k = 0; k <= 1; ++k) {
        EXPECT_EQ(d.pv[k], 3);
        EXPECT_EQ(d.cov_ind[k][0], 1.0);
        EXPECT_EQ(d.cov_ind[k][1], 1.0);
    }
    releaseRunData(s, d);
}

TEST(SequencedReader, RandomDesignHasNoPrimaryColumn) {
    TempFile f("s1\ts2\tage\n0.1\t0.2\t40\n0.3\tNA\t50\n");
    RunSettings s;
    s.TYPE_STUDY = kRandom;
    s.N_SEC = 2;
    s.seqPheno = f.path();
    RunData d;
    readPhenotypesQuietly(s, d);
    ASSERT_EQ(d.n1, 2);
    ASSERT_EQ(d.p, 2);  // 3 columns - 2 + 1
    EXPECT_EQ(d.traitHeader[0], "");
    EXPECT_EQ(d.traitHeader[1], "s1");
    EXPECT_EQ(d.traitHeader[2], "s2");
    EXPECT_EQ(d.sec[0][0], 0.1);
    EXPECT_EQ(d.sec[1][1], -999.0);
    EXPECT_EQ(d.covariates[1][1], 50.0);
    EXPECT_EQ(d.seq_prim[0], 0.0);
    releaseRunData(s, d);
}

TEST(SequencedReader, TrailingBlankLinesChangeNothing) {
    TempFile plain("y\tx\n1\t2\n3\t4\n");
    TempFile blank("y\tx\n1\t2\n3\t4\n\n\t\n\n");
    RunSettings s = tdsSettings(0);
    RunData a, b;
    s.seqPheno = plain.path();
    readPhenotypesQuietly(s, a);
    s.seqPheno = blank.path();
    readPhenotypesQuietly(s, b);
    EXPECT_EQ(a.n1, 2);
    EXPECT_EQ(b.n1, 2);
    EXPECT_EQ(b.p, 2);
    EXPECT_EQ(b.seq_prim[1], 3.0);
    EXPECT_EQ(b.covariates[1][1], 4.0);
    releaseRunData(s, a);
    releaseRunData(s, b);
}

TEST(SequencedReader, StopsWithTheirMessages) {
    struct Case {
        std::string bytes;
        int design;
        int nsec;
        std::string message;  // after the heading; "@" stands for the file name
    };
    const Case cases[] = {
        {"s1\n1\n", kRandom, 2,
         "fail\nError: phenotype file for sequenced subjects '@' has 1 column(s), fewer than the 2 secondary "
         "trait(s).\n"},
        {"y\tx\n1\t2\ninf\t3\n", kTDS, 0, "fail\nError: line 3 of file '@': the primary trait 'inf' is not a number.\n"},
        {"y\tx\n", kTDS, 0, "fail\nError: phenotype file for sequenced subjects '@' has a header but no subject rows.\n"},
        {"y\tx\n0x10\t1\n", kTDS, 0, "fail\nError: line 2 of file '@': the primary trait '0x10' is not a number.\n"},
        // Secondary traits and covariates: NA or one whole finite number.
        {"y\tbmi\tage\n1\t2\t3\n1\tabc\t3\n", kTDS, 1,
         "fail\nError: line 3 of file '@', field 2 (secondary trait 'bmi'): 'abc' is neither a finite number nor NA.\n"},
        {"y\tbmi\tage\n1\t2\t1,5\n", kTDS, 1,
         "fail\nError: line 2 of file '@', field 3 (covariate 'age'): '1,5' is neither a finite number nor NA.\n"},
        {"bmi\tage\n2\tnan\n", kRandom, 1,
         "fail\nError: line 2 of file '@', field 2 (covariate 'age'): 'nan' is neither a finite number nor NA.\n"},
        {"y\tbmi\tage\n1\t1e309\t3\n", kCC, 1,
         "fail\nError: line 2 of file '@', field 2 (secondary trait 'bmi'): '1e309' is neither a finite number nor "
         "NA.\n"},
        {"y\tage\n1\t-inf\n", kTDS, 0,
         "fail\nError: line 2 of file '@', field 2 (covariate 'age'): '-inf' is neither a finite number nor NA.\n"},
    };
    expectEachStops(cases, "\nPHENOTYPE FILE FOR SEQUENCED SUBJECTS..........\n", true,
                    [](const Case& c, const std::string& path) {
                        RunSettings s;
                        s.TYPE_STUDY = c.design;
                        s.N_SEC = c.nsec;
                        s.seqPheno = path;
                        RunData d;
                        readSequencedPhenotypes(s, d);
                    });
}

// ------------------------------------------------------------- covariate selection

TEST(CovariateSelection, CountsSelectedCovariatesPerTrait) {
    TempFile pheno("y\ts\ta\tb\tc\n1\t2\t3\t4\t5\n");
    TempFile cov("1\t0\t1.0\n0\t0\t0\n");
    RunSettings s = tdsSettings(1);
    s.seqPheno = pheno.path();
    s.whichCov = cov.path();
    s.m_cov = 1;
    RunData d;
    readPhenotypesQuietly(s, d);
    {
        QuietStdout quiet;
        readCovariateSelection(s, d);
    }
    ASSERT_EQ(d.p, 4);
    EXPECT_EQ(d.pv[0], 3);
    EXPECT_EQ(d.pv[1], 1);
    EXPECT_EQ(d.cov_ind[0][2], 1.0);
    releaseRunData(s, d);
}

TEST(CovariateSelection, StopsWithTheirMessages) {
    const StopCase cases[] = {
        {"1\t0\n1\t1\n",
         "fail\nError: number of covariates does not match between phenotype file and covariate assignment file.\n"},
        {"1\t0\t1\n", "fail\nError: covariate assignment file '@' has 1 row(s); it needs 2, one for the primary trait "
                      "and one per secondary trait.\n"},
        // One row per trait: a duplicated first row is one too many.
        {"1\t0\t1\n1\t0\t1\n0\t0\t1\n", "fail\nError: covariate assignment file '@' has 3 row(s); it needs 2, one for "
                                      "the primary trait and one per secondary trait.\n"},
        {"1\t0\t1\n1\tyes\t0\n", "fail\nError: line 2 of file '@': the covariate flag 'yes' is not 0 or 1.\n"},
        {"1\t0\t2\n1\t1\t0\n", "fail\nError: line 1 of file '@': the covariate flag '2' is not 0 or 1.\n"},
        {"1\t0\t1\n0.6\t1\t0\n", "fail\nError: line 2 of file '@': the covariate flag '0.6' is not 0 or 1.\n"},
        {"1\t0\t1\n1\tnan\t0\n", "fail\nError: line 2 of file '@': the covariate flag 'nan' is not 0 or 1.\n"},
    };
    TempFile pheno("y\ts\ta\tb\tc\n1\t2\t3\t4\t5\n");
    expectEachStops(cases, "\nCOVARIATE SELECTION FILE..........\n", false,
                    [&](const StopCase&, const std::string& path) {
                        RunSettings s = tdsSettings(1);
                        s.seqPheno = pheno.path();
                        s.whichCov = path;
                        RunData d;
                        readSequencedPhenotypes(s, d);
                        readCovariateSelection(s, d);
                    });
}

// ------------------------------------------------------------- non-sequenced phenotypes

TEST(NonsequencedReader, OneColumnGivesDistinctValuesWithCounts) {
    TempFile pheno("y\n5\n7\n");
    TempFile nonseq("2\n1\n2\n");
    RunSettings s = tdsSettings(0);
    s.DO_ROUND = 0;
    s.seqPheno = pheno.path();
    s.nonseqPheno = nonseq.path();
    RunData d;
    readPhenotypesQuietly(s, d, true);
    EXPECT_EQ(d.N0, 3);
    ASSERT_EQ(d.n0, 2);
    EXPECT_EQ(d.nonseq_prim_unique[0], 1.0);
    EXPECT_EQ(d.nonseq_prim_unique[1], 2.0);
    EXPECT_EQ(d.c0[0], 1);
    EXPECT_EQ(d.c0[1], 2);
    EXPECT_EQ(d.seq_prim[1], 7.0);
    releaseRunData(s, d);
}

TEST(NonsequencedReader, RoundingLineWithTenValues) {
    TempFile pheno("y\n0.11\n0.12\n0.13\n");
    TempFile nonseq("0.21\n0.22\n0.23\n0.24\n0.25\n0.26\n0.27\n");
    int status = 0;
    const std::string out = consoleOf(
        [&] {
            RunSettings s = tdsSettings(0);
            s.seqPheno = pheno.path();
            s.nonseqPheno = nonseq.path();
            RunData d;
            readSequencedPhenotypes(s, d);
            readNonsequencedPhenotypes(s, d);
        },
        &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "\nPHENOTYPE FILE FOR SEQUENCED SUBJECTS..........\nsuccessful\n"
                   "\nPHENOTYPE FILE FOR NON-SEQUENCED SUBJECTS..........\n"
                   "There are 10 distinct values for the primary trait after rounding\nsuccessful\n");
}

TEST(NonsequencedReader, TwoColumnsKeepRecordsAndWarn) {
    TempFile pheno("y\n5\n7\n");
    TempFile nonseq("1.5\t3\n1.5\t2\n");
    RunSettings s = tdsSettings(0);
    s.seqPheno = pheno.path();
    s.nonseqPheno = nonseq.path();
    s.DO_InvNormal = 1;
    RunData d;
    int status = 0;
    const std::string out = consoleOf(
        [&] {
            RunData c;
            readSequencedPhenotypes(s, c);
            readNonsequencedPhenotypes(s, c);
        },
        &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "\nPHENOTYPE FILE FOR SEQUENCED SUBJECTS..........\nsuccessful\n"
                   "\nPHENOTYPE FILE FOR NON-SEQUENCED SUBJECTS..........\n"
                   "Warning: option -rounding is invalid when the phenotype file for non-sequenced subjects contains "
                   "frequencies.\n"
                   "Warning: the inverse normal transformation is not applied to the primary trait when the phenotype "
                   "file for non-sequenced subjects contains frequencies.\n"
                   "successful\n");
    readPhenotypesQuietly(s, d, true);
    EXPECT_EQ(d.N0, 5);
    ASSERT_EQ(d.n0, 2);
    EXPECT_EQ(d.nonseq_prim_unique[0], 1.5);
    EXPECT_EQ(d.nonseq_prim_unique[1], 1.5);
    EXPECT_EQ(d.c0[0], 3);
    EXPECT_EQ(d.c0[1], 2);
    EXPECT_EQ(d.seq_prim[0], 5.0);  // not transformed
    releaseRunData(s, d);
}

TEST(NonsequencedReader, StopsWithTheirMessages) {
    const StopCase cases[] = {
        {"1.5\t3\n2.5\t0\n", "fail\nError: line 2 of file '@': the frequency '0' is not a positive integer.\n"},
        {"1.5\t3\n2.5\t2.0\n", "fail\nError: line 2 of file '@': the frequency '2.0' is not a positive integer.\n"},
        {"1.5\n2.5\nhigh\n", "fail\nError: line 3 of file '@': the primary trait 'high' is not a number.\n"},
        {"", "fail\nError: file '@' has no rows.\n"},
    };
    TempFile pheno("y\n5\n");
    expectEachStops(cases, "\nPHENOTYPE FILE FOR NON-SEQUENCED SUBJECTS..........\n", false,
                    [&](const StopCase&, const std::string& path) {
                        RunSettings s = tdsSettings(0);
                        s.DO_ROUND = 0;
                        s.seqPheno = pheno.path();
                        s.nonseqPheno = path;
                        RunData d;
                        readSequencedPhenotypes(s, d);
                        readNonsequencedPhenotypes(s, d);
                    });
}

// ------------------------------------------------------------- mapping

TEST(MappingReader, TwoColumnsSortStablyByGene) {
    TempFile map("B\tb1\nA\ta1\nB\tb2\n10\tx\n9\ty\n");
    RunSettings s;
    RunData d;
    readMappingQuietly(map.path(), kT1, 4, s, d);
    EXPECT_EQ(d.maf_flag, 1);
    EXPECT_EQ(d.EXT_THRESH, 0);
    EXPECT_EQ(d.map_maf, nullptr);
    ASSERT_EQ(d.map_NROW, 5);
    const char* genes[] = {"10", "9", "A", "B", "B"};
    const char* snps[] = {"x", "y", "a1", "b1", "b2"};
    for (int r = 0; r < 5; ++r) {
        EXPECT_STREQ(d.map_geneID[r], genes[r]);
        EXPECT_STREQ(d.map_snpID[r], snps[r]);
    }
    EXPECT_EQ(d.N_GENE, 4);
    releaseRunData(s, d);
}

TEST(MappingReader, FrequenciesAndThresholdsTravelWithTheirRows) {
    TempFile map("G2\tv1\t0.01\t1\nG1\tv2\t0.002\t0\nG2\tv3\t0.03\t1\n");
    RunSettings s;
    RunData d;
    readMappingQuietly(map.path(), kVT, 3, s, d);
    EXPECT_EQ(d.EXT_THRESH, 1);
    EXPECT_EQ(d.maf_flag, 0);
    EXPECT_STREQ(d.map_snpID[0], "v2");
    EXPECT_EQ(d.map_maf[0], 0.002);
    EXPECT_EQ(d.map_thresh[0], 0);
    EXPECT_STREQ(d.map_snpID[1], "v1");
    EXPECT_EQ(d.map_maf[2], 0.03);
    EXPECT_EQ(d.map_thresh[2], 1);
    EXPECT_EQ(d.N_GENE, 2);
    releaseRunData(s, d);
}

TEST(MappingReader, StopsWithTheirMessages) {
    struct Case {
        std::string bytes;
        int burden;  // the test kind
        std::string message;  // "@" stands for the file name
    };
    const Case cases[] = {
        {"G\tv\tNA\n", kT1, "fail\nError: line 1 of file '@': the frequency 'NA' is not a number between 0 and 1.\n"},
        {"G\tv\t0.1\nG\tw\t1.5\n", kT1,
         "fail\nError: line 2 of file '@': the frequency '1.5' is not a number between 0 and 1.\n"},
        {"G\tv\t-0.01\n", kT1, "fail\nError: line 1 of file '@': the frequency '-0.01' is not a number between 0 and 1.\n"},
        {"G\tv\tinf\n", kT1, "fail\nError: line 1 of file '@': the frequency 'inf' is not a number between 0 and 1.\n"},
        // VT threshold flags: 0 or 1.
        {"G\tv\t0.1\t0\nG\tw\t0.1\tyes\n", kVT, "fail\nError: line 2 of file '@': the threshold flag 'yes' is not 0 or 1.\n"},
        {"G\tv\t0.1\t0\nG\tw\t0.1\t2\n", kVT, "fail\nError: line 2 of file '@': the threshold flag '2' is not 0 or 1.\n"},
        {"G\tv\t0.1\t-1\n", kVT, "fail\nError: line 1 of file '@': the threshold flag '-1' is not 0 or 1.\n"},
        {"G\tv\t0.1\t1.0\n", kVT, "fail\nError: line 1 of file '@': the threshold flag '1.0' is not 0 or 1.\n"},
        // A fifth field would once have made the file read as three columns.
        {"G\tv1\t0.01\t1\textra\nG\tv2\t0.02\t0\tmore\n", kVT,
         "fail\nError: line 1 of file '@' has 5 fields; a row of the mapping file holds at most four: gene, variant, "
         "frequency and VT threshold flag.\n"},
        {"\nG\tv1\t0.01\t1\tx\ty\n", kT5,
         "fail\nError: line 2 of file '@' has 6 fields; a row of the mapping file holds at most four: gene, variant, "
         "frequency and VT threshold flag.\n"},
    };
    expectEachStops(cases, "\nMAPPING FILE..........\n", true, [](const Case& c, const std::string& path) {
        RunSettings s;
        s.DO_BURDEN = c.burden;
        s.mapFile = path;
        RunData d;
        d.N_SNP = 1;
        readMapping(s, d);
    });
}

// ------------------------------------------------------------- summary

TEST(DataSummary, LinesByDesignModeAndMethod) {
    RunData d;
    d.N_SNP = 12;
    d.N_GENE = 3;
    d.n1 = 40;
    d.N0 = 100;
    d.n0 = 60;
    d.p = 4;
    int status = 0;
    std::string out = consoleOf([&] { printDataSummary(RunSettings(), d); }, &status);
    EXPECT_EQ(out, "\nDATA SUMMARY:\nStudy Design: Trait-dependent sampling\n#SNP = 12\n#SEQ_Subjects = 40\n"
                   "#NONSEQ_Subjects = 100\n#NONSEQ_Unique_Subjects=60\n#Covariates = 3\n\n");
    RunSettings cc;
    cc.TYPE_STUDY = kCC;
    cc.DO_MLE = kLS;
    cc.N_SEC = 2;
    cc.DO_BURDEN = kVT;
    out = consoleOf([&] { printDataSummary(cc, d); }, &status);
    EXPECT_EQ(out, "\nDATA SUMMARY:\nStudy Design: Case-control sampling\n#SNP = 12\n#GENE = 3\n#SEC_Traits = 2\n"
                   "#SEQ_Subjects = 40\n#Covariates = 3\n\n");
    cc.TYPE_STUDY = kRandom;
    out = consoleOf([&] { printDataSummary(cc, d); }, &status);
    EXPECT_NE(out.find("Study Design: Case-only sampling or random sampling\n"), std::string::npos);
}
