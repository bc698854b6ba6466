#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "driver/genotype_reader.h"
#include "driver/readers.h"
#include "run_capture.h"

namespace {

// strtod is the reference: the reader must give bit for bit the same double.
void expectSameAsStrtod(const std::string& token) {
    const double want = std::strtod(token.c_str(), nullptr);
    const double got = genotypeFieldValue(token.data(), token.size());
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << token;
        return;
    }
    std::uint64_t a = 0, b = 0;
    std::memcpy(&a, &want, sizeof a);
    std::memcpy(&b, &got, sizeof b);
    EXPECT_EQ(a, b) << "token '" << token << "': strtod " << want << ", reader " << got;
}

RunData readGenotypeText(const std::string& bytes, int n1, int burden) {
    TempFile f(bytes);
    RunSettings s;
    s.scoreFile = f.path();
    s.DO_BURDEN = burden;
    RunData d;
    d.n1 = n1;
    QuietStdout quiet;  // the reader prints its heading
    readGenotypes(s, d);
    return d;
}

}  // namespace

// ------------------------------------------------------------- numbers

TEST(GenotypeValue, PlainDecimalsMatchStrtodBitForBit) {
    for (const char* t : {"0", "1", "2", "-999", "-999.0", "-999.5", "0.5", "1.0000005", "0.9999995", "1.000001",
                          "0.1", "0.2", "0.3", "2.675", "1.", ".5", "-0", "+1", "000000000000001", "123456789012345",
                          "0.000000000000001", "9.99999999999999"})
        expectSameAsStrtod(t);
}

TEST(GenotypeValue, RandomDecimalsMatchStrtodBitForBit) {
    std::mt19937_64 gen(12345);
    std::uniform_int_distribution<int> ndig(1, 18), coin(0, 3);
    std::uniform_int_distribution<int> digit(0, 9);
    for (int trial = 0; trial < 200000; ++trial) {
        const int n = ndig(gen);
        std::string digits;
        for (int i = 0; i < n; ++i) digits += static_cast<char>('0' + digit(gen));
        std::uniform_int_distribution<int> where(0, n);
        const int point = where(gen);
        std::string token = (coin(gen) == 0 ? "-" : "") + digits.substr(0, static_cast<std::size_t>(point));
        if (coin(gen) != 0) token += "." + digits.substr(static_cast<std::size_t>(point));
        else token += digits.substr(static_cast<std::size_t>(point));
        expectSameAsStrtod(token);
    }
}

TEST(GenotypeValue, OtherFormsTakeTheLeadingNumberLikeStrtod) {
    for (const char* t : {"1e-3", "2E0", "0x1p3", "inf", "-inf", "nan", "1.5abc", "abc", "", "-", ".", "+.",
                          "1234567890123456", "0.12345678901234567890", "12345678901234567890123"})
        expectSameAsStrtod(t);
}

TEST(GenotypeValue, MissingTokens) {
    double v = 0.0;
    // The tokens, and every number below -0.1 (the engine's missing rule).
    for (const char* t : {"NA", "N/A", "XA", "NaN", "N", "-999", "-999.0", "-999.000", "-9.99e2", "-999.5", "-1",
                          "-0.10000001"})
        EXPECT_FALSE(calledGenotype(t, std::strlen(t), &v)) << t;
    for (const char* t : {"0", "2", "-0.1", "A", "na"}) EXPECT_TRUE(calledGenotype(t, std::strlen(t), &v)) << t;
    ASSERT_TRUE(calledGenotype("1.25", 4, &v));
    EXPECT_EQ(v, 1.25);
}

// ------------------------------------------------------------- counts

TEST(GenotypeReader, CountsPerRowInTestMode) {
    const std::string bytes =
        "v1\t0\t1\t2\tNA\n"                         // offset 0
        "v2\t1.0000005\t0.9999995\t0.999999\tN/A\n"  // offset 12
        "v3\tXA\t-999\t-9.995\t2\n"                  // offset 48
        "v4\t1\t1\tNA\t1\n"                          // offset 68
        "\n\n";                                      // not rows
    RunData d = readGenotypeText(bytes, 4, 1);
    ASSERT_EQ(d.N_SNP, 4);
    EXPECT_EQ(d.geno_snpID[0], "v1");
    EXPECT_EQ(d.geno_snpID[3], "v4");
    // v1: three calls 0, 1, 2.
    EXPECT_EQ(d.geno_AVC[0], 3.0);
    EXPECT_EQ(d.geno_HET[0], 1);
    EXPECT_EQ(d.geno_ALT[0], 1);
    EXPECT_EQ(d.geno_MAC[0], 3.0);
    EXPECT_EQ(d.geno_maf[0], 0.5);
    EXPECT_EQ(d.geno_singular[0], 0);
    // v2: 1.0000005 and 0.9999995 lie within 1e-6 of 1; the double nearest
    // 0.999999 is 0.99999899999999997..., 1.00000000000000003e-6 below 1.
    EXPECT_EQ(d.geno_AVC[1], 3.0);
    EXPECT_EQ(d.geno_HET[1], 2);
    EXPECT_EQ(d.geno_ALT[1], 0);
    // v3: XA, -999 and -9.995 (below -0.1) are missing; the one call is 2.
    EXPECT_EQ(d.geno_AVC[2], 1.0);
    EXPECT_EQ(d.geno_ALT[2], 1);
    EXPECT_EQ(d.geno_MAC[2], 2.0);
    EXPECT_EQ(d.geno_maf[2], 1.0);
    EXPECT_EQ(d.geno_singular[2], 1);
    // v4: all calls 1: constant, frequency 0.5.
    EXPECT_EQ(d.geno_AVC[3], 3.0);
    EXPECT_EQ(d.geno_singular[3], 1);
    EXPECT_EQ(d.geno_maf[3], 0.5);
    EXPECT_EQ(d.geno_offset[0], 0);
    EXPECT_EQ(d.geno_offset[1], 12);
    EXPECT_EQ(d.geno_offset[2], 48);
    EXPECT_EQ(d.geno_offset[3], 68);
    RunSettings s;
    s.DO_BURDEN = kT1;
    releaseRunData(s, d);
}

TEST(GenotypeReader, DirectModeKeepsOnlyTheCallCounts) {
    RunData d = readGenotypeText("s1\t0.5\t2\ns2\tNA\t1", 2, 0);
    EXPECT_EQ(d.N_SNP, 2);
    EXPECT_EQ(d.N_GENE, 2);
    EXPECT_EQ(d.geno_AVC[0], 2.0);
    EXPECT_EQ(d.geno_ALT[0], 1);
    EXPECT_EQ(d.geno_AVC[1], 1.0);
    EXPECT_EQ(d.geno_HET[1], 1);
    EXPECT_EQ(d.geno_MAC, nullptr);
    EXPECT_EQ(d.geno_maf, nullptr);
    EXPECT_EQ(d.geno_singular, nullptr);
    EXPECT_TRUE(d.geno_snpID.empty());
    EXPECT_EQ(d.geno_offset[1], 9);
    RunSettings s;
    releaseRunData(s, d);
}

// ------------------------------------------------------------- bad input

namespace {

// What the genotype reader prints on the file at path, in a child process.
std::string genotypeStop(const std::string& path, int n1, int burden, int* status) {
    return runCaptured(
        [&] {
            RunSettings s;
            s.scoreFile = path;
            s.DO_BURDEN = burden;
            RunData d;
            d.n1 = n1;
            readGenotypes(s, d);
        },
        status);
}

}  // namespace

TEST(GenotypeReader, RowWithAnExtraFieldStopsNamingTheLine) {
    // The sizing pass names the row, before any value is read.
    int status = 0;
    TempFile f("v1\t0\t1\t2\nv2\t1\t1\t0\nv3\t0\t1\t1\t0\nv4\t0\t0\t0\n");
    const std::string out = genotypeStop(f.path(), 3, 1, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "\nGENOTYPE FILE ..........\nfail\nError: line 3 of file '" + f.path() +
                       "' has 5 field(s), but line 1 has 4.\n" + kStopLine);
}

TEST(GenotypeReader, RowWithoutCalledValueStops) {
    int status = 0;
    TempFile f("v1\t0\t1\nv2\tNA\t-999\n");
    const std::string out = genotypeStop(f.path(), 2, 0, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "\nGENOTYPE FILE ..........\nsuccessful\nfail\nError: genotype row 'v2' (line 2 of file '" +
                       f.path() + "') has no called value.\n" + kStopLine);
}

TEST(GenotypeField, CalledMissingOrInvalid) {
    double v = -1.0;
    const auto kind = [&v](const char* t) { return classifyGenotype(t, std::strlen(t), &v); };
    for (const char* t : {"NA", "N/A", "XA", "NaN", "N", "-999", "-999.0", "-9.99e2", "-999.5", "-1", "-0.5"})
        EXPECT_EQ(kind(t), GenotypeField::Missing) << t;
    const std::pair<const char*, double> called[] = {{"0", 0.0}, {"2", 2.0}, {"0.75", 0.75}, {"1e-3", 0.001},
                                                     {"+1", 1.0}, {"-0", 0.0}, {"2.0", 2.0}, {"1e-300", 1e-300}};
    for (const auto& [t, want] : called) {
        ASSERT_EQ(kind(t), GenotypeField::Called) << t;
        EXPECT_EQ(v, want) << t;
    }
    // VCF-style calls, text, decimal commas, hexadecimal and non-finite forms.
    for (const char* t : {"0/1", "1/1", "./.", "0|1", ".", "abc", "A", "na", "nan", "1,5", "0x10", "inf", "-inf",
                          "1e309", "1.5abc", "-999abc", "--1"})
        EXPECT_EQ(kind(t), GenotypeField::Invalid) << t;
    // Numbers outside the scale of an allele count that are not missing.
    for (const char* t : {"-0.1", "-0.05", "-1e-300", "2.0000001", "3", "7", "1e300"})
        EXPECT_EQ(kind(t), GenotypeField::OutOfRange) << t;
}

namespace {

// A bad token in line 2, field 3 (subject 2) of a three-subject file stops
// the run with its line, field, subject and the problem.
void expectFieldStop(const char* token, const std::string& problem) {
    int status = 0;
    TempFile f(std::string("v1\t0\t1\t2\nv2\t1\t") + token + "\t0\n");
    const std::string out = genotypeStop(f.path(), 3, 1, &status);
    EXPECT_EQ(status, 1) << token;
    EXPECT_EQ(out, "\nGENOTYPE FILE ..........\nsuccessful\nfail\nError: line 2 of file '" + f.path() +
                       "', field 3 (subject 2): '" + token + "' " + problem + ".\n" + kStopLine);
}

}  // namespace

TEST(GenotypeReader, AValueOutsideZeroToTwoStopsNamingLineFieldAndSubject) {
    for (const char* token : {"7", "-0.05", "2.5"})
        expectFieldStop(token, "is neither a genotype from 0 to 2 nor a missing value (NA, or a number below -0.1)");
}

TEST(GenotypeReader, ATokenThatIsNotANumberStopsNamingLineFieldAndSubject) {
    for (const char* token : {"0/1", "./.", "inf", "1e309", "0x10"})
        expectFieldStop(token, "is neither a finite number nor a missing value (NA)");
}
