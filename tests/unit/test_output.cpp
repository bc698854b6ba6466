#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include <csignal>

#include <fcntl.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/output.h"
#include "engine/stop.h"
#include "numerics/offset_arrays.h"
#include "run_capture.h"

namespace {

// What a writer puts into a fresh file (a block alone is written out as if
// it ended a row).
std::string written(const std::function<void(OutputFile&)>& write) {
    TempFile f("");
    OutputFile out = OutputFile::append(f.path());
    write(out);
    out.endRow();
    out.close();
    return fileText(f.path());
}

// The console text of writing the header of a primary-trait table to out_file,
// in a child process (for the writes that stop the run).
std::string headerConsole(const std::string& out_file, int* status) {
    return runCaptured(
        [&] {
            RunSettings s;
            s.outFile = out_file;
            RunData d;
            d.traitHeader = {"y"};
            writeResultHeader(s, d);
        },
        status);
}

// Runs in a scratch folder: the header and the logs of the settings, read back.
struct Created {
    std::string header;
    RunData data;
};

Created createIn(RunSettings s, const std::vector<std::string>& traits, int n1) {
    Created c;
    char dir[] = "/tmp/vq_out_dir_XXXXXX";
    const std::string folder = mkdtemp(dir);
    s.outFile = folder + "/output.txt";
    s.logFile = folder + "/log";
    c.data.n1 = n1;
    c.data.traitHeader = traits;
    c.data.logList.assign(2 * static_cast<std::size_t>(s.N_SEC) + 1, std::string());
    writeResultHeader(s, c.data);
    createTraitLogs(s, c.data);
    c.header = fileText(s.outFile);
    for (std::string& name : c.data.logList) {
        if (name.empty()) continue;
        EXPECT_EQ(fileText(name), "#Samples = " + std::to_string(n1) + "\n") << name;
        std::remove(name.c_str());
        name = name.substr(folder.size() + 1);  // keep the plain name for the checks
    }
    std::remove(s.outFile.c_str());
    rmdir(folder.c_str());
    return c;
}

RunSettings settings(int design, int mle, int nsec, int burden) {
    RunSettings s;
    s.TYPE_STUDY = design;
    s.DO_MLE = mle;
    s.N_SEC = nsec;
    s.DO_BURDEN = burden;
    return s;
}

}  // namespace

// ------------------------------------------------------------- header and logs

TEST(ResultHeader, SingleBurdenPrimaryTrait) {
    Created c = createIn(settings(kTDS, kMLE, 0, kDirect), {"bmi"}, 12);
    EXPECT_EQ(c.header, "\t------\t------\tbmi_MLE\t------\t------\nID\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn\n");
    EXPECT_EQ(c.data.logList[0], "log_bmi_MLE");
    c = createIn(settings(kTDS, kLS, 0, kMB), {"bmi"}, 12);
    EXPECT_EQ(c.header, "\t------\t------\tbmi_LS\t------\t------\nID\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn\n");
    EXPECT_EQ(c.data.logList[0], "log_bmi_LS");
}

TEST(ResultHeader, MultiScorePrimaryTrait) {
    Created c = createIn(settings(kTDS, kMLE, 0, kVT), {"y"}, 7);
    EXPECT_EQ(c.header, "\t------\ty_MLE\t------\nID\tStatistic\tP-value\tWarn\n");
    EXPECT_EQ(c.data.logList[0], "log_y_MLE");
}

TEST(ResultHeader, SecondaryTraitsUnderMle) {
    Created c = createIn(settings(kTDS, kMLE, 2, kT1), {"y", "a", "b"}, 5);
    EXPECT_EQ(c.header,
              "\t------\t------\ta_MLE\t------\t------\t------\t------\tb_MLE\t------\t------\n"
              "ID\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn\n");
    EXPECT_EQ(c.data.logList[0], "");
    EXPECT_EQ(c.data.logList[1], "log_a_MLE");
    EXPECT_EQ(c.data.logList[2], "log_b_MLE");
    EXPECT_EQ(c.data.logList[3], "");
}

TEST(ResultHeader, RandomDesignHasOneLeastSquaresBlockPerTrait) {
    Created c = createIn(settings(kRandom, kLS, 2, kVC), {"", "a", "b"}, 5);
    EXPECT_EQ(c.header, "\t------\ta_LS\t------\t------\tb_LS\t------\nID\tStatistic\tP-value\tWarn\tStatistic\tP-value\tWarn\n");
    EXPECT_EQ(c.data.logList[1], "log_a_LS");
    EXPECT_EQ(c.data.logList[2], "log_b_LS");
    c = createIn(settings(kRandom, kLS, 1, kDirect), {"", "a"}, 5);
    EXPECT_EQ(c.header, "\t------\t------\ta_LS\t------\t------\nID\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn\n");
}

TEST(ResultHeader, CaseControlTwoTraitsVcHasMarginalAndConditionalBlocks) {
    Created c = createIn(settings(kCC, kLS, 2, kVC), {"y", "a", "b"}, 9);
    EXPECT_EQ(c.header,
              "\t------\ta_LS-M\t------\t------\ta_LS-C\t------\t------\tb_LS-M\t------\t------\tb_LS-C\t------\n"
              "ID\tStatistic\tP-value\tWarn\tStatistic\tP-value\tWarn\tStatistic\tP-value\tWarn\tStatistic\tP-value"
              "\tWarn\n");
    EXPECT_EQ(c.data.logList[0], "");
    EXPECT_EQ(c.data.logList[1], "log_a_LS-M");
    EXPECT_EQ(c.data.logList[2], "log_a_LS-C");
    EXPECT_EQ(c.data.logList[3], "log_b_LS-M");
    EXPECT_EQ(c.data.logList[4], "log_b_LS-C");
}

TEST(ResultHeader, TdsLeastSquaresSecondarySingleBurden) {
    Created c = createIn(settings(kTDS, kLS, 1, kT5), {"y", "a"}, 9);
    EXPECT_EQ(c.header,
              "\t------\t------\ta_LS-M\t------\t------\t------\t------\ta_LS-C\t------\t------\n"
              "ID\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn\tStatistic\tP-value\tBeta_est\tBeta_se\tWarn\n");
}

TEST(TraitLogs, OverlongNameStops) {
    int status = 0;
    const std::string prefix(1020, 'p');
    const std::string out = runCaptured(
        [&] {
            RunSettings s;
            s.logFile = prefix;
            RunData d;
            d.traitHeader = {"y"};
            d.logList = {""};
            createTraitLogs(s, d);
        },
        &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "fail\nError: the trait log name '" + prefix +
                       "_y_MLE' is longer than 1023 characters; choose a shorter -msglog prefix or trait name.\n" +
                       kStopLine);
}

TEST(OutputFiles, UnwritablePlaceStopsNamingTheFileAndTheReason) {
    const std::string missing = "Cannot create output file.\nError: Cannot open output file "
                                "'/nonexistent/dir/output.txt': No such file or directory.\n";
    int status = 0;
    std::string out = runCaptured([] { OutputFile::append("/nonexistent/dir/output.txt"); }, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, missing + kStopLine);
    out = headerConsole("/nonexistent/dir/output.txt", &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, missing + kStopLine);
    // A folder that may not be written (as root every folder may).
    if (geteuid() != 0) {
        char dir[] = "/tmp/vq_ro_XXXXXX";
        const std::string folder = mkdtemp(dir);
        ASSERT_EQ(chmod(folder.c_str(), 0500), 0);
        out = runCaptured([&] { OutputFile::create(folder + "/log_y_LS"); }, &status);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(out, "Cannot create output file.\nError: Cannot open output file '" + folder +
                           "/log_y_LS': Permission denied.\n" + kStopLine);
        rmdir(folder.c_str());
    }
}

// ------------------------------------------------------------- blocks

TEST(ResultBlocks, SingleBurdenShapes) {
    EXPECT_EQ(written([](OutputFile& f) {
                  writeGeneId(f, "GENE1");
                  writeBurdenBlock(f, 12.3456789012, 0.000123456, -0.5, 0.25, ".");
                  endResultRow(f);
              }),
              "GENE1\t1.234567890E+01\t1.2346E-04\t-5.0000E-01\t2.5000E-01\t.\n");
    // An estimate or a standard error that is not a number, or infinite,
    // reads NA.
    EXPECT_EQ(written([](OutputFile& f) { writeBurdenBlockUndefined(f, 1.5, NAN, ".Undefined_V,"); }),
              "\tNA\tNA\t1.5000E+00\tNA\t.Undefined_V,");
    EXPECT_EQ(written([](OutputFile& f) { writeBurdenBlock(f, 2.0, 0.15, -INFINITY, -NAN, ".Non-convergence,"); }),
              "\t2.000000000E+00\t1.5000E-01\tNA\tNA\t.Non-convergence,");
    EXPECT_EQ(written([](OutputFile& f) {
                  writeGeneId(f, "G");
                  writeBurdenNAPrimary(f, ".Low_MAC,Singular_score,");
              }),
              "G\tNA\tNA\tNA\tNA\t.Low_MAC,Singular_score,\n");
    EXPECT_EQ(written([](OutputFile& f) { writeBurdenNABlock(f, ".Low_MAC,"); }), "\tNA\tNA\tNA\tNA\t.Low_MAC,");
    EXPECT_EQ(written([](OutputFile& f) { writeBurdenNAPair(f, ".x,"); }),
              "\tNA\tNA\tNA\tNA\t.x,\tNA\tNA\tNA\tNA\t.x,");
}

TEST(ResultBlocks, MultiScoreShapes) {
    EXPECT_EQ(written([](OutputFile& f) { writeMultiBlock(f, 4.0, 0.0455, "."); }), "\t4.000000000E+00\t4.5500E-02\t.");
    EXPECT_EQ(written([](OutputFile& f) { writeMultiBlockFlagged(f, 1e-3, 1.0); }),
              "\t1.000000000E-03\t1.0000E+00\tPvalue_Fail");
    EXPECT_EQ(written([](OutputFile& f) { writeMultiBlockNull(f); }), "\tNA\tNA\tVar_Null");
}

// Block and console text of one combination outcome.
std::string combined(double statistic, double pvalue, int inform) {
    int status = 0;
    const std::string console = runCaptured(
        [&] {
            const std::string block = written([&](OutputFile& f) {
                writeCombinedBlock(f, "G1", "VC", statistic, pvalue, inform, ".");
            });
            std::printf("|%s", block.c_str());
        },
        &status);
    return console;
}

TEST(ResultBlocks, CombinationOutcomes) {
    const std::string warning = "GENE G1 Warning: The asymptotic VC p-value may not be accurate.\n";
    EXPECT_EQ(combined(2.5, 0.25, 0), "|\t2.500000000E+00\t2.5000E-01\t.");
    // Round-off flagged (qfc fault 2): the numbers as returned.
    EXPECT_EQ(combined(2.5, 0.25, 2), warning + "|\t2.500000000E+00\t2.5000E-01\tPvalue_Fail");
    // No distribution value (qfc faults 1, 3, 4, 5): no number for the p-value.
    EXPECT_EQ(combined(2.5, NAN, 4), warning + "|\t2.500000000E+00\tNA\tPvalue_Fail");
    EXPECT_EQ(combined(NAN, NAN, 0), warning + "|\tNA\tNA\tPvalue_Fail");
    // Nothing to combine: never -9.99E+02 in the table.
    EXPECT_EQ(combined(998001.0, -999.0, 0), "|\tNA\tNA\tVar_Null");
    EXPECT_EQ(combined(998001.0, -999.0, 1), warning + "|\tNA\tNA\tPvalue_Fail");
}

// ------------------------------------------------------------- log records

TEST(LogRecords, SingleBurdenPrimaryAndSecondary) {
    EXPECT_EQ(written([](OutputFile& f) {
                  writeGeneId(f, "G7");
                  writeBurdenLogCount(f, 3);
                  writeBurdenLogScore(f, -2.5, 0.125);
              }),
              "G7\t3\t-2.500000000E+00\t1.250000000E-01\n");
    EXPECT_EQ(written([](OutputFile& f) {
                  writeBurdenLogHead(f, "G7", 0);
                  writeBurdenLogUndefined(f);
              }),
              "G7\t0\t0\t0\n");
}

TEST(LogRecords, VariableThresholdWithThreeThresholds) {
    const double thresh[] = {0.001, 0.005, 0.02};
    const int mai[] = {2, 5, 9};
    const double U[] = {1.0, -0.5, 2.25};
    double** cov = dmatrix(0, 2, 0, 2);
    const double values[3][3] = {{1.0, 0.5, 0.25}, {0.5, 2.0, 0.75}, {0.25, 0.75, 3.0}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) cov[i][j] = values[i][j];
    EXPECT_EQ(written([&](OutputFile& f) { writeVTLogRecord(f, "G", 3, thresh, mai, U, cov); }),
              "G\t1.000000E-03\t2\t1.000000000E+00\t1.000000000E+00\t0\t0\n"
              "G\t5.000000E-03\t5\t-5.000000000E-01\t5.000000000E-01\t2.000000000E+00\t0\n"
              "G\t2.000000E-02\t9\t2.250000000E+00\t2.500000000E-01\t7.500000000E-01\t3.000000000E+00\n");
    free_dmatrix(cov, 0, 2, 0, 2);
}

TEST(LogRecords, VarianceComponentAndCustomized) {
    const char* ids[] = {"rs1", "rs2"};
    const double maf[] = {0.0125, 0.3};
    const int mai[] = {4, 0};
    const int avc[] = {100, 98};
    const int het[] = {3, 0};
    const int alt[] = {1, 0};
    const double U[] = {0.5, 0.0};
    double** cov = dmatrix(0, 1, 0, 1);
    cov[0][0] = 4.0;
    cov[0][1] = cov[1][0] = 0.0;
    cov[1][1] = 0.0;
    EXPECT_EQ(written([&](OutputFile& f) { writeVCLogRecord(f, "G", 2, ids, maf, mai, avc, het, alt, U, cov); }),
              "G\trs1\t1.250000E-02\t4\t100\t96\t3\t1\t5.000000000E-01\t4.000000000E+00\t0\n"
              "G\trs2\t3.000000E-01\t0\t98\t98\t0\t0\t0.000000000E+00\t0.000000000E+00\t0.000000000E+00\n");
    const int mac[] = {7, 11};
    EXPECT_EQ(written([&](OutputFile& f) { writeCustomizedLogRecord(f, "G", 2, mac, U, cov); }),
              "G\t0\t7\t5.000000000E-01\t4.000000000E+00\t0\n"
              "G\t1\t11\t0.000000000E+00\t0.000000000E+00\t0.000000000E+00\n");
    free_dmatrix(cov, 0, 1, 0, 1);
}

TEST(OutputFiles, AppendingKeepsWhatWasWritten) {
    TempFile f("first line\n");
    OutputFile out = OutputFile::append(f.path());
    writeGeneId(out, "G");
    endResultRow(out);
    out.close();
    EXPECT_EQ(fileText(f.path()), "first line\nG\n");
}

// ------------------------------------------------------------- whole rows, failed writes

TEST(OutputFiles, ARowReachesTheFileOnlyWhenItIsWhole) {
    TempFile f("");
    OutputFile out = OutputFile::append(f.path());
    writeGeneId(out, "G1");
    writeMultiBlock(out, 1.0, 0.5, ".");
    EXPECT_EQ(fileText(f.path()), "");
    endResultRow(out);
    EXPECT_EQ(fileText(f.path()), "G1\t1.000000000E+00\t5.0000E-01\t.\n");
    // A row that is never ended (its gene stopped) is left out.
    writeGeneId(out, "G2");
    out.close();
    EXPECT_EQ(fileText(f.path()), "G1\t1.000000000E+00\t5.0000E-01\t.\n");
}

TEST(OutputFiles, AFailedWriteStopsNamingTheFile) {
    const std::string stop = std::string("Error: Cannot write output file '/dev/full': No space left on device.\n") +
                             kStopLine;
    int status = 0;
    std::string out = runCaptured(
        [] {
            OutputFile f = OutputFile::append("/dev/full");
            writeGeneId(f, "G1");
            endResultRow(f);
            std::printf("not reached\n");
        },
        &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, stop);
    // The header and a trait log at their creation.
    out = headerConsole("/dev/full", &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, stop);
}

// A file-size limit (RLIMIT_FSIZE, with SIGXFSZ ignored so that the write
// fails with EFBIG instead of ending the process) cuts a write short in the
// middle of a record, as a full disk does: the file goes back to its last
// whole record before the stop, and the table, whose row was under way, is
// left as it was.
TEST(OutputFiles, AFailedWriteCutsTheFileBackToItsLastWholeRow) {
    TempFile table("#header\n"), log("");
    const std::string row = "G\t" + std::string(90, 'x') + "\n";  // 93 bytes
    int status = 0;
    const std::string out = runCaptured(
        [&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{1000, 1000};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(97);
            OutputFile t = OutputFile::append(table.path());
            t.print("G\tunder way");
            OutputFile l = OutputFile::append(log.path());
            for (int k = 0; k < 5; ++k) {  // records of three lines, 279 bytes each
                for (int line = 0; line < 3; ++line) l.print("%s", row.c_str());
                l.endRow();
            }
        },
        &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "Error: Cannot write output file '" + log.path() + "': File too large.\n" + kStopLine);
    // Three records would need 837 bytes, four 1116: the fourth was cut at
    // 1000 bytes, then removed.
    std::string three;
    for (int k = 0; k < 9; ++k) three += row;
    EXPECT_EQ(fileText(log.path()), three);
    EXPECT_EQ(fileText(table.path()), "#header\n");
}

namespace {

// checkOutputFiles in a scratch folder holding the input files; returns what
// it printed ("" when it let the run go on).
std::string checkIn(RunSettings s, const std::vector<std::string>& traits, const std::function<void(const std::string&)>& prepare,
                    int* status) {
    char dir[] = "/tmp/vq_same_XXXXXX";
    const std::string folder = mkdtemp(dir);
    for (const char* name : {"pheno_seq.txt", "geno.txt", "mapping.txt", "wfile.txt", "cov.txt", "pheno_nonseq.txt"}) {
        std::FILE* f = std::fopen((folder + "/" + name).c_str(), "w");
        std::fputs("x\n", f);
        std::fclose(f);
    }
    prepare(folder);
    const auto at = [&folder](std::string& name) { name = folder + "/" + name; };
    at(s.seqPheno), at(s.scoreFile), at(s.mapFile), at(s.wfile), at(s.whichCov), at(s.nonseqPheno);
    at(s.outFile), at(s.logFile);
    RunData d;
    d.traitHeader = traits;
    std::string out = runCaptured([&] { checkOutputFiles(s, d); }, status);
    for (std::size_t p; (p = out.find(folder + "/")) != std::string::npos;) out.erase(p, folder.size() + 1);
    const std::string wipe = "rm -rf '" + folder + "'";
    EXPECT_EQ(std::system(wipe.c_str()), 0);
    return out;
}

}  // namespace

TEST(OutputFiles, AnOutputThatIsAnInputFileIsRefusedWhateverThePath) {
    const auto none = [](const std::string&) {};
    int status = 0;
    RunSettings s = settings(kTDS, kLS, 0, kCustomized);
    s.outFile = "./geno.txt";
    EXPECT_EQ(checkIn(s, {"y"}, none, &status),
              std::string("Error: the result table './geno.txt' is the input file 'geno.txt'; writing it would destroy "
                          "the input.\n") +
                  kStopLine);
    EXPECT_EQ(status, 1);

    s.outFile = "hard.txt";  // a second name of the weight file
    const auto hard_link = [](const std::string& folder) {
        ASSERT_EQ(link((folder + "/wfile.txt").c_str(), (folder + "/hard.txt").c_str()), 0);
    };
    EXPECT_EQ(checkIn(s, {"y"}, hard_link, &status),
              std::string("Error: the result table 'hard.txt' is the input file 'wfile.txt'; writing it would destroy "
                          "the input.\n") +
                  kStopLine);

    s.outFile = "output.txt";
    s.logFile = "log";
    const auto log_is_cov = [](const std::string& folder) {
        ASSERT_EQ(symlink((folder + "/cov.txt").c_str(), (folder + "/log_s_LS-C").c_str()), 0);
    };
    s.m_cov = 1;
    s.N_SEC = 1;
    EXPECT_EQ(checkIn(s, {"y", "s"}, log_is_cov, &status),
              std::string("Error: the trait log 'log_s_LS-C' is the input file 'cov.txt'; writing it would destroy the "
                          "input.\n") +
                  kStopLine);
    // Without -cov the selection file is not an input of the run.
    s.m_cov = 0;
    EXPECT_EQ(checkIn(s, {"y", "s"}, log_is_cov, &status), "");
    EXPECT_EQ(status, 0);

    // Outputs that do not exist yet, or exist but are not inputs, are fine.
    const auto old_output = [](const std::string& folder) {
        std::FILE* f = std::fopen((folder + "/output.txt").c_str(), "w");
        std::fclose(f);
    };
    EXPECT_EQ(checkIn(settings(kTDS, kMLE, 0, kT1), {"y"}, old_output, &status), "");
    EXPECT_EQ(status, 0);
}

TEST(TraitLogs, TwoTraitsWithOneNameAreRefused) {
    const auto none = [](const std::string&) {};
    int status = 0;
    for (const RunSettings& s :
         {settings(kTDS, kMLE, 3, kVT), settings(kCC, kLS, 3, kT1), settings(kRandom, kLS, 3, kVC)}) {
        EXPECT_EQ(checkIn(s, {"y", "bmi", "ldl", "bmi"}, none, &status),
                  std::string("Error: two traits are named 'bmi' and would share the trait log 'log_bmi_") +
                      (s.DO_MLE == kMLE ? "MLE" : s.TYPE_STUDY == kRandom ? "LS" : "LS-M") +
                      "'; every trait needs its own name.\n" + kStopLine);
        EXPECT_EQ(status, 1);
    }
    // Names that differ only in case are different files here.
    EXPECT_EQ(checkIn(settings(kTDS, kMLE, 2, kVT), {"y", "bmi", "BMI"}, none, &status), "");
    EXPECT_EQ(status, 0);
}

TEST(OutputFiles, TheTableAndTheLogsAreDistinctFiles) {
    const auto none = [](const std::string&) {};
    const auto oneFile = [](const std::string& a, const std::string& b) {
        return "Error: the " + a + " and the " + b + " would be one file; every output needs its own file.\n" +
               kStopLine;
    };
    int status = 0;
    RunSettings s = settings(kTDS, kLS, 0, kT1);
    s.outFile = "log_y_LS";  // the name of the trait log
    EXPECT_EQ(checkIn(s, {"y"}, none, &status), oneFile("result table 'log_y_LS'", "trait log 'log_y_LS'"));
    EXPECT_EQ(status, 1);
    // Another path to the same place, before either file exists.
    s.outFile = "./log_y_LS";
    EXPECT_EQ(checkIn(s, {"y"}, none, &status), oneFile("result table './log_y_LS'", "trait log 'log_y_LS'"));
    // Two names of one existing file.
    s.outFile = "output.txt";
    const auto log_is_table = [](const std::string& folder) {
        std::FILE* f = std::fopen((folder + "/output.txt").c_str(), "w");
        std::fclose(f);
        ASSERT_EQ(link((folder + "/output.txt").c_str(), (folder + "/log_y_LS").c_str()), 0);
    };
    EXPECT_EQ(checkIn(s, {"y"}, log_is_table, &status),
              oneFile("result table 'output.txt'", "trait log 'log_y_LS'"));
    // Two trait logs, one a link to the other.
    const auto linked_logs = [](const std::string& folder) {
        std::FILE* f = std::fopen((folder + "/log_a_LS").c_str(), "w");
        std::fclose(f);
        ASSERT_EQ(symlink("log_a_LS", (folder + "/log_b_LS").c_str()), 0);
    };
    EXPECT_EQ(checkIn(settings(kRandom, kLS, 2, kVC), {"", "a", "b"}, linked_logs, &status),
              oneFile("trait log 'log_a_LS'", "trait log 'log_b_LS'"));
    EXPECT_EQ(status, 1);
    // Distinct names in one folder, existing or not, are distinct files.
    EXPECT_EQ(checkIn(settings(kRandom, kLS, 2, kVC), {"", "a", "b"}, none, &status), "");
    EXPECT_EQ(status, 0);
}

// ------------------------------------------------------------- console

// The console report is flushed after every gene.  The result table is a
// pipe of one page that the test holds open for reading and writing, so the
// program's openings never wait and its rows come to the test as they are
// written.  Once the row of r2 has come, r1 is done and its gene line must be
// in the console file.  The test then stops reading: the full pipe holds the
// program at a later row, far from its end, until the test kills it.
TEST(Console, ReachesItsFileAfterEveryGene) {
    char dir[] = "/tmp/vq_flush_XXXXXX";
    const std::string folder = mkdtemp(dir);
    const auto put = [&folder](const char* name, const std::string& text) {
        std::FILE* f = std::fopen((folder + "/" + name).c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    };
    put("pheno_seq.txt", "y\tage\n0.1\t30\n1.2\t41\n-0.7\t52\n0.4\t38\n2.2\t61\n-1.1\t45\n");
    std::string geno;
    for (int k = 1; k <= 400; ++k) geno += "r" + std::to_string(k) + "\t0\t1\t0\t2\t1\t" + std::to_string(k % 3) + "\n";
    put("geno.txt", geno);
    const std::string fifo = folder + "/table";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int table = open(fifo.c_str(), O_RDWR);
    ASSERT_GE(table, 0);
    fcntl(table, F_SETPIPE_SZ, 4096);

    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(table);
        if (chdir(folder.c_str()) != 0 || !std::freopen("console.txt", "w", stdout)) _exit(99);
        execl(VENTARQUILLO_BINARY, VENTARQUILLO_BINARY, "-method", "LS", "-ofile", "table", static_cast<char*>(nullptr));
        _exit(98);
    }
    alarm(120);  // a program that never writes the row of r2 ends the test
    std::string rows;
    for (;;) {
        const std::size_t at = rows.find("\nr2\t");
        if (at != std::string::npos && rows.find('\n', at + 1) != std::string::npos) break;
        char buf[256];
        const ssize_t got = read(table, buf, sizeof buf);
        ASSERT_GT(got, 0);
        rows.append(buf, static_cast<std::size_t>(got));
    }
    alarm(0);
    const std::string console = fileText(folder + "/console.txt");
    EXPECT_NE(console.find("\n||---- GENE r1 ----||\n"), std::string::npos) << console;
    EXPECT_EQ(console.find("END SCORE TEST"), std::string::npos);
    kill(pid, SIGKILL);
    int raw = 0;
    waitpid(pid, &raw, 0);
    close(table);
    const std::string wipe = "rm -rf '" + folder + "'";
    EXPECT_EQ(std::system(wipe.c_str()), 0);
}

// ------------------------------------------------------------- a failed write in the gene loop

namespace {

struct LimitedRun {
    std::string console, table, log;
    int status = -1;
};

// The program in `folder` on `threads` threads, every file it writes limited
// to `limit` bytes (RLIMIT_FSIZE, SIGXFSZ ignored: a write beyond the limit
// fails with EFBIG, as one on a full disk fails with ENOSPC).  The console
// comes through a pipe, which the limit does not touch.
LimitedRun runLimited(const std::string& folder, std::vector<std::string> args, const char* threads, long limit,
                      const std::string& log) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        close(fds[1]);
        if (chdir(folder.c_str()) != 0) _exit(99);
        setenv("OMP_NUM_THREADS", threads, 1);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lim{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(97);
        args.insert(args.begin(), VENTARQUILLO_BINARY);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(VENTARQUILLO_BINARY, argv.data());
        _exit(98);
    }
    close(fds[1]);
    LimitedRun r;
    char buf[4096];
    for (ssize_t got; (got = read(fds[0], buf, sizeof buf)) > 0;) r.console.append(buf, static_cast<std::size_t>(got));
    close(fds[0]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.table = fileText(folder + "/output.txt");
    r.log = fileText(folder + "/" + log);
    std::remove((folder + "/output.txt").c_str());
    std::remove((folder + "/" + log).c_str());
    return r;
}

// The lines of a text that ends in a line break (else a last line "<cut>").
std::vector<std::string> wholeLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1)
        lines.push_back(text.substr(from, at - from));
    if (from < text.size()) lines.push_back("<cut>");
    return lines;
}

std::size_t fieldCount(const std::string& line) {
    return 1 + static_cast<std::size_t>(std::count(line.begin(), line.end(), '\t'));
}

std::string firstField(const std::string& line) { return line.substr(0, line.find('\t')); }

// The console without its calendar times ("Mon Dec  7 05:54:26 2026"),
// which differ from run to run.
std::string withoutTimes(std::string console) {
    const std::string shape = "Aaa Aaa #9 99:99:99 9999";  // A upper, a lower case, 9 digit, # digit or blank
    const auto fits = [&shape](const std::string& text, std::size_t at) {
        for (std::size_t k = 0; k < shape.size(); ++k) {
            const char c = text[at + k];
            const bool digit = c >= '0' && c <= '9';
            const bool ok = shape[k] == 'A'   ? c >= 'A' && c <= 'Z'
                            : shape[k] == 'a' ? c >= 'a' && c <= 'z'
                            : shape[k] == '9' ? digit
                            : shape[k] == '#' ? digit || c == ' '
                                              : c == shape[k];
            if (!ok) return false;
        }
        return true;
    };
    for (std::size_t at = 0; at + shape.size() <= console.size(); ++at)
        if (fits(console, at)) console.replace(at, shape.size(), "<TIME>");
    return console;
}
}  // namespace

TEST(OutputFiles, AFailedWriteInTheGeneLoopLeavesWholeRowsOnAnyNumberOfThreads) {
    char dir[] = "/tmp/vq_limit_XXXXXX";
    const std::string folder = mkdtemp(dir);
    const auto put = [&folder](const char* name, const std::string& text) {
        std::FILE* f = std::fopen((folder + "/" + name).c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    };
    constexpr int kSubjects = 20;
    std::string pheno = "y\tage\n";
    for (int i = 0; i < kSubjects; ++i)
        pheno += std::to_string(0.37 * ((i * 7) % 11) - 1.5) + "\t" + std::to_string(30 + (i * 13) % 29) + "\n";
    put("pheno_seq.txt", pheno);
    // Direct mode: 300 scores; variant rows for VC: one carrier each.
    std::string scores, variants, mapping;
    for (int k = 1; k <= 300; ++k) {
        scores += "r" + std::to_string(k);
        variants += "v" + std::to_string(k);
        for (int i = 0; i < kSubjects; ++i) {
            scores += "\t" + std::to_string((i * k + i / 3) % 3);
            variants += i == k % kSubjects ? "\t1" : "\t0";
        }
        scores += "\n";
        variants += "\n";
        mapping += "G" + std::to_string((k + 2) / 3) + "\tv" + std::to_string(k) + "\n";
    }
    put("scores.txt", scores);
    put("variants.txt", variants);
    put("mapping.txt", mapping);

    // The table reaches the limit first (rows of about 60 bytes, log records
    // of about 40), then, under VC, the log (three lines of about 90 bytes
    // per gene, rows of about 35).
    struct Case {
        std::vector<std::string> args;
        std::string log, failing;
        std::size_t table_fields, log_lines_per_gene;
    };
    const std::vector<Case> cases = {
        {{"-method", "LS", "-gfile", "scores.txt"}, "log_y_LS", "output.txt", 6, 1},
        {{"-method", "LS", "-gfile", "variants.txt", "-mfile", "mapping.txt", "-test", "VC"}, "log_y_LS", "log_y_LS", 4,
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        const LimitedRun one = runLimited(folder, c.args, "1", 3000, c.log);
        EXPECT_EQ(one.status, 1);
        const std::string stop = "Error: Cannot write output file '" + c.failing + "': File too large.\n" + kStopLine;
        ASSERT_GE(one.console.size(), stop.size());
        EXPECT_EQ(one.console.substr(one.console.size() - stop.size()), stop);

        // Whole rows: the two header lines, then rows of the genes in order.
        const std::vector<std::string> rows = wholeLines(one.table);
        ASSERT_GT(rows.size(), 2u);
        for (std::size_t k = 2; k < rows.size(); ++k) EXPECT_EQ(fieldCount(rows[k]), c.table_fields) << rows[k];
        // Whole records: every record of a gene complete.
        const std::vector<std::string> records = wholeLines(one.log);
        ASSERT_GT(records.size(), 1u);
        EXPECT_EQ((records.size() - 1) % c.log_lines_per_gene, 0u);
        std::vector<std::string> logged;
        for (std::size_t k = 1; k < records.size(); k += c.log_lines_per_gene) {
            for (std::size_t l = 0; l < c.log_lines_per_gene; ++l)
                EXPECT_EQ(firstField(records[k + l]), firstField(records[k])) << records[k + l];
            logged.push_back(firstField(records[k]));
        }
        // The gene whose write failed has no row; a record it completed
        // before (its log is written before its row) stays.
        std::vector<std::string> tabled;
        for (std::size_t k = 2; k < rows.size(); ++k) tabled.push_back(firstField(rows[k]));
        ASSERT_GE(logged.size(), tabled.size());
        EXPECT_LE(logged.size(), tabled.size() + 1);
        EXPECT_TRUE(std::equal(tabled.begin(), tabled.end(), logged.begin()));
        if (c.failing == c.log) EXPECT_EQ(logged.size(), tabled.size());
        else EXPECT_EQ(logged.size(), tabled.size() + 1);

        const LimitedRun eight = runLimited(folder, c.args, "8", 3000, c.log);
        EXPECT_EQ(eight.status, one.status);
        EXPECT_EQ(withoutTimes(eight.console), withoutTimes(one.console));
        EXPECT_EQ(eight.table, one.table);
        EXPECT_EQ(eight.log, one.log);
    }
    const std::string wipe = "rm -rf '" + folder + "'";
    EXPECT_EQ(std::system(wipe.c_str()), 0);
}
