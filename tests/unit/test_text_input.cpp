#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "driver/text_input.h"
#include "run_capture.h"

namespace {

constexpr const char* kOpen = "fail\nError: Cannot open test file '%s'.\n";

FileShape shapeOf(const std::string& bytes) {
    TempFile f(bytes);
    return sizeInputFile(f.path(), kOpen);
}

struct Row {
    std::string text;
    long lineno;
    long long offset;
};

std::vector<Row> rowsOf(const std::string& bytes, std::size_t block) {
    TempFile f(bytes);
    std::FILE* fp = std::fopen(f.path().c_str(), "rb");
    LineReader reader(fp, f.path(), block);
    std::vector<Row> rows;
    std::string_view line;
    long lineno = 0;
    long long offset = 0;
    while (reader.next(line, lineno, offset)) rows.push_back({std::string(line), lineno, offset});
    std::fclose(fp);
    return rows;
}

}  // namespace

// ------------------------------------------------------------- sizing pass

TEST(SizingPass, FinalLineBreakOrNotGivesTheSameRows) {
    const FileShape with = shapeOf("a\tb\tc\n1\t2\t3\n4\t5\t6\n");
    const FileShape without = shapeOf("a\tb\tc\n1\t2\t3\n4\t5\t6");
    EXPECT_EQ(with.rows, 3);
    EXPECT_EQ(with.tabs, 6);
    EXPECT_EQ(with.columns, 3);
    EXPECT_EQ(without.rows, 3);
    EXPECT_EQ(without.tabs, 6);
    EXPECT_EQ(without.columns, 3);
}

TEST(SizingPass, TrailingBlankLinesAreNotRows) {
    const std::string body = "x\ty\n1\t2\n";
    for (const std::string& tail : {std::string("\n"), std::string("\n\n\n"), std::string("\t\n"),
                                    std::string("  \r\n\t"), std::string("\r\n"), std::string(" ")}) {
        const FileShape s = shapeOf(body + tail);
        EXPECT_EQ(s.rows, 2) << "tail of " << tail.size() << " characters";
        EXPECT_EQ(s.tabs, 2);
        EXPECT_EQ(s.columns, 2);
    }
    // Without a final line break the blank tail starts on the last row's line.
    const FileShape s = shapeOf("x\ty\n1\t2\n\n\n");
    EXPECT_EQ(s.rows, 2);
}

// Runs the sizing pass in a child process; returns what it printed.
static std::string sizingStop(const std::string& bytes, std::string* path_out, int* status) {
    TempFile f(bytes);
    *path_out = f.path();
    return runCaptured([&] { sizeInputFile(f.path(), kOpen); }, status);
}

TEST(SizingPass, BlankLineBeforeTheLastRowStops) {
    std::string path;
    int status = 0;
    const std::string out = sizingStop("a\tb\n1\t2\n\n \n3\t4\n\n", &path, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "fail\nError: line 3 of file '" + path +
                       "' is blank; only the end of a file may hold blank lines.\n" + kStopLine);
}

TEST(SizingPass, RowWithAFieldMissingStopsNamingItsLine) {
    // A short last row: 5 tabs over 3 rows would size as 5 / 3 + 1 = 2
    // columns and shift every field; the row is named instead.
    std::string path;
    int status = 0;
    std::string out = sizingStop("y\tsex\tage\n1.5\t0\t30\n2.5\t1\n", &path, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "fail\nError: line 3 of file '" + path + "' has 2 field(s), but line 1 has 3.\n" + kStopLine);
    // A leading line break shifts the line numbers by one.
    out = sizingStop("\ny\tsex\n1\t0\n2\t1\t7\n", &path, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "fail\nError: line 4 of file '" + path + "' has 3 field(s), but line 2 has 2.\n" + kStopLine);
}

TEST(SizingPass, FieldsNotSeparatedByTabsStop) {
    std::string path;
    int status = 0;
    const std::string out = sizingStop("y sex\n1 0\n", &path, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "fail\nError: line 1 of file '" + path +
                       "' has 2 field(s) but 1 tab-separated column(s); fields must be separated by single tabs.\n" +
                       kStopLine);
}

TEST(SizingPass, FirstCharacterIsNeverCountedAsTabOrLineBreak) {
    // A leading tab is not counted: one tab between a and b.
    FileShape s = shapeOf("\ta\tb\n");
    EXPECT_EQ(s.rows, 1);
    EXPECT_EQ(s.tabs, 1);
    EXPECT_EQ(s.columns, 2);
    // A leading line break does not end an empty first row.
    s = shapeOf("\na\tb\nc\td\n");
    EXPECT_EQ(s.rows, 2);
    EXPECT_EQ(s.tabs, 2);
    // A one-character file is one row.
    s = shapeOf("7");
    EXPECT_EQ(s.rows, 1);
    EXPECT_EQ(s.columns, 1);
}

TEST(SizingPass, EveryRowHasOneTabBetweenFields) {
    // Any row, not only the first: a stray tab at the end of a row (also of
    // the last one), a tab before the first field, two tabs in a row, and a
    // blank between two fields with a double tab elsewhere to even the count.
    struct Case {
        std::string bytes;
        std::string message;  // "@" stands for the file name
    };
    const std::string tail = " tab-separated column(s); fields must be separated by single tabs.\n";
    const Case cases[] = {
        {"a\tb\n1\t2\t", "line 2 of file '@' has 2 field(s) but 3" + tail},
        {"a\tb\n1\t2\t\n3\t4\n", "line 2 of file '@' has 2 field(s) but 3" + tail},
        {"a\tb\n1\t2\n\t3\t4\n", "line 3 of file '@' has 2 field(s) but 3" + tail},
        {"a\tb\tc\n1\t\t2\n", "line 2 of file '@' has 2 field(s) but 3" + tail},
        {"a\tb\tc\n1 2\t3\n4\t\t5\t6\n", "line 2 of file '@' has 3 field(s) but 2" + tail},
    };
    for (const Case& c : cases) {
        std::string path;
        int status = 0;
        const std::string out = sizingStop(c.bytes, &path, &status);
        std::string want = c.message;
        want.replace(want.find('@'), 1, path);
        EXPECT_EQ(status, 1) << c.bytes;
        EXPECT_EQ(out, "fail\nError: " + want + kStopLine) << c.bytes;
    }
}

TEST(SizingPass, BlanksAroundTabsAndLineEndsAreNoFields) {
    // Blanks and carriage returns next to a tab or at the ends of a row are
    // not fields, so they do not break the one-tab rule.
    const FileShape s = shapeOf("a \t b\r\n 1\t2 \r\n");
    EXPECT_EQ(s.rows, 2);
    EXPECT_EQ(s.columns, 2);
}

TEST(SizingPass, OnlyRegularFilesAreRead) {
    // A named pipe without a writer would block the open, and a device such
    // as /dev/zero never ends: both stop at once.
    char dir[] = "/tmp/vq_fifo_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        int status = 0;
        const std::string out = runCaptured([&] { sizeInputFile(path, kOpen); }, &status);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(out, "fail\nError: Cannot read file '" + path +
                           "': it is not a regular file (a pipe, a device or a socket); every input file must be a "
                           "regular file, as it is read more than once.\n" + kStopLine);
    }
    unlink(fifo.c_str());
    rmdir(dir);
}

TEST(SizingPass, NulByteStopsWithItsLine) {
    // In the first byte, inside a field, and in a later block of the file.
    std::string late;
    for (int i = 0; i < 300000; ++i) late += "id\t0\t1\n";
    late += "x\t0\t1";
    late.push_back('\0');
    late += "\n";
    const std::pair<std::string, long> cases[] = {
        {std::string("\0a\tb\n", 5), 1}, {std::string("a\tb\nGEN\0E01\tc\n", 13), 2}, {late, 300001}};
    for (const auto& [bytes, line] : cases) {
        std::string path;
        int status = 0;
        const std::string out = sizingStop(bytes, &path, &status);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(out, "fail\nError: line " + std::to_string(line) + " of file '" + path +
                           "' holds a NUL byte (code 0); input files must be plain text.\n" + kStopLine);
    }
}

TEST(SizingPass, RowsAcrossManyBlocks) {
    std::string big;
    for (int i = 0; i < 300000; ++i) big += "id\t0\t1\t2\n";  // 2.7 MB, beyond one block
    big += "\n\n";
    const FileShape s = shapeOf(big);
    EXPECT_EQ(s.rows, 300000);
    EXPECT_EQ(s.tabs, 900000);
    EXPECT_EQ(s.columns, 4);
}

TEST(SizingPass, FileWithoutRowsStops) {
    for (const std::string& bytes : {std::string(""), std::string("\n"), std::string("\n\n \t\n")}) {
        TempFile f(bytes);
        int status = 0;
        const std::string out = runCaptured([&] { sizeInputFile(f.path(), kOpen); }, &status);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(out, "fail\nError: file '" + f.path() + "' has no rows.\n" + kStopLine);
    }
}

TEST(SizingPass, MissingFileStopsWithItsOpenMessage) {
    int status = 0;
    const std::string out = runCaptured([] { sizeInputFile("/nonexistent/dir/x.txt", kOpen); }, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, std::string("fail\nError: Cannot open test file '/nonexistent/dir/x.txt'.\n") + kStopLine);
}

// ------------------------------------------------------------- line reader

TEST(LineReader, RowsLineNumbersAndOffsets) {
    const std::vector<Row> rows = rowsOf("ab\tc\n\nxyz\nlast", 1 << 16);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].text, "ab\tc");
    EXPECT_EQ(rows[0].lineno, 1);
    EXPECT_EQ(rows[0].offset, 0);
    EXPECT_EQ(rows[1].text, "");
    EXPECT_EQ(rows[1].offset, 5);
    EXPECT_EQ(rows[2].text, "xyz");
    EXPECT_EQ(rows[2].lineno, 3);
    EXPECT_EQ(rows[2].offset, 6);
    EXPECT_EQ(rows[3].text, "last");
    EXPECT_EQ(rows[3].lineno, 4);
    EXPECT_EQ(rows[3].offset, 10);
}

TEST(LineReader, LeadingLineBreakIsNoRow) {
    const std::vector<Row> rows = rowsOf("\na\nb\n", 64);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].text, "a");
    EXPECT_EQ(rows[0].lineno, 2);
    EXPECT_EQ(rows[0].offset, 1);
    EXPECT_EQ(rows[1].text, "b");
}

TEST(LineReader, RowsLongerThanTheBlockAndAcrossBlockEdges) {
    std::string bytes;
    std::vector<std::string> want;
    long long offset = 0;
    std::vector<long long> offsets;
    for (int i = 0; i < 50; ++i) {
        std::string line = "r" + std::to_string(i) + std::string(static_cast<std::size_t>(i * 7 % 23), 'x');
        want.push_back(line);
        offsets.push_back(offset);
        bytes += line + "\n";
        offset += static_cast<long long>(line.size()) + 1;
    }
    const std::vector<Row> rows = rowsOf(bytes, 5);  // a 5-byte block forces every case
    ASSERT_EQ(rows.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(rows[i].text, want[i]);
        EXPECT_EQ(rows[i].lineno, static_cast<long>(i) + 1);
        EXPECT_EQ(rows[i].offset, offsets[i]);
    }
}

// ------------------------------------------------------------- fields

TEST(Fields, SplitAtRunsOfBlanksTabsAndCarriageReturns) {
    std::vector<std::string_view> f;
    splitFields("  a\t\tbb \r c\r", f);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(f[0], "a");
    EXPECT_EQ(f[1], "bb");
    EXPECT_EQ(f[2], "c");
    splitFields(" \t ", f);
    EXPECT_TRUE(f.empty());
}

TEST(Fields, FieldCountMessagesNameTheFileAndLine) {
    int status = 0;
    std::string out = runCaptured([] { checkFieldCount("g.txt", 7, 3, 4, false, 2); }, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, std::string("fail\nError: line 7 of file 'g.txt' has 3 field(s), but line 2 has 4.\n") + kStopLine);
    out = runCaptured([] { checkFieldCount("g.txt", 1, 5, 4, true, 1); }, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, std::string("fail\nError: line 1 of file 'g.txt' has 5 field(s) but 4 tab-separated column(s); "
                               "fields must be separated by single tabs.\n") +
                       kStopLine);
    out = runCaptured([] { checkFieldCount("g.txt", 9, 4, 4, false, 1); }, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
}

TEST(Fields, MissingPhenotypeTokens) {
    EXPECT_TRUE(isNAField("NA"));
    EXPECT_TRUE(isNAField("NAN"));
    EXPECT_TRUE(isNAField("NA_missing"));
    EXPECT_FALSE(isNAField("nan"));
    EXPECT_FALSE(isNAField("N/A"));
    EXPECT_FALSE(isNAField("N"));
}

TEST(Fields, FiniteDecimalsOnly) {
    double v = 0.0;
    // Values checked against their decimal meaning.
    const std::pair<const char*, double> good[] = {{"0.25", 0.25}, {"-1e-3", -0.001}, {"+2", 2.0}, {".5", 0.5},
                                                   {"5.", 5.0},     {"1E+2", 100.0},  {"-0", -0.0}, {"1e-400", 0.0}};
    for (const auto& [text, want] : good) {
        ASSERT_TRUE(finiteDecimal(text, &v)) << text;
        EXPECT_EQ(v, want) << text;
    }
    for (const char* t : {"", "-", ".", "+.", "e5", "1e", "1e+", "1.5x", "1,5", "0x10", "0/1", "./.", "abc", "NA",
                          "inf", "-inf", "nan", "NaN", "infinity", "1e309", "-1e309", "1..2", "1e5.5", " 1"})
        EXPECT_FALSE(finiteDecimal(t, &v)) << t;
}

TEST(Fields, Integers) {
    int k = 0;
    EXPECT_TRUE(wholeInteger("42", &k));
    EXPECT_EQ(k, 42);
    EXPECT_TRUE(wholeInteger("-7", &k));
    EXPECT_EQ(k, -7);
    EXPECT_FALSE(wholeInteger("3.0", &k));
    EXPECT_FALSE(wholeInteger("99999999999", &k));
    EXPECT_FALSE(wholeInteger("x", &k));
}

TEST(ByteOrderMark, SkippedByBothPassesWithOffsetsIntoTheFile) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string body = "id\ta\tb\nv1\t1\t2\n";
    const FileShape plain = shapeOf(body);
    const FileShape marked = shapeOf(bom + body);
    EXPECT_EQ(marked.rows, plain.rows);
    EXPECT_EQ(marked.tabs, plain.tabs);
    EXPECT_EQ(marked.columns, plain.columns);
    for (std::size_t block : {std::size_t{1}, std::size_t{2}, std::size_t{64}}) {
        const std::vector<Row> rows = rowsOf(bom + body, block);
        ASSERT_EQ(rows.size(), 2u) << block;
        EXPECT_EQ(rows[0].text, "id\ta\tb");  // the first identifier keeps its name
        EXPECT_EQ(rows[0].offset, 3);
        EXPECT_EQ(rows[1].text, "v1\t1\t2");
        EXPECT_EQ(rows[1].offset, 3 + 7);
        EXPECT_EQ(rows[1].lineno, 2);
    }
    // A line break right after the mark is a leading line break: no row.
    const std::vector<Row> rows = rowsOf(bom + "\nx\n", 64);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].text, "x");
    EXPECT_EQ(shapeOf(bom + "\nx\n").rows, 1);
    // Only a mark at the very start is skipped; a mark alone is an empty file.
    EXPECT_EQ(rowsOf("x\n" + bom + "y\n", 64)[1].text, bom + "y");
    std::string path;
    int status = 0;
    const std::string out = sizingStop(bom, &path, &status);
    EXPECT_EQ(out, "fail\nError: file '" + path + "' has no rows.\n" + kStopLine);
    EXPECT_EQ(status, 1);
}
