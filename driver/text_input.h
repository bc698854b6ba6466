// Reading tab-separated inputs in two passes: one that sizes the file (rows
// and tabs) so the arrays can be allocated, then a buffered row reader for the
// parsing pass; plus the conversions of single fields.
//
// Row counting: each line break ends a row, and an unterminated last line
// still counts.  The first character of a file is skipped by the tab and
// line-break count, so a leading line break does not make an empty first row.
// Trailing blank lines (blanks, tabs, carriage returns only) are ignored, so
// they never change what is read.  Every row must have one tab fewer than it
// has fields (fields are runs of characters other than blanks, tabs, carriage
// returns, vertical tabs and form feeds), and all rows the field count of the
// first row; a mismatch stops the run naming the file and the line, and so
// does a NUL byte anywhere in the file.  Inputs must be regular files (a pipe
// or a device is refused at once).  Both passes skip a UTF-8 byte-order mark
// (EF BB BF) at the start of a file.
#ifndef VENTARQUILLO_DRIVER_TEXT_INPUT_H
#define VENTARQUILLO_DRIVER_TEXT_INPUT_H

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// Result of the sizing pass.  columns = tabs / rows + 1 (integer division).
struct FileShape {
    long rows = 0;
    long tabs = 0;
    long columns = 0;
    long first_line = 0;  // line number of the first row
};

// Opens name for reading; on failure writes open_format (a format with one
// %s, the file name) and stops the run.  A directory stops the run with
// "Cannot read file '<name>': Is a directory.", anything else that is not a
// regular file (a named pipe, a device, a socket) with its own message; a
// pipe without a writer does not block the open.
std::FILE* openInputOrStop(const std::string& name, const char* open_format);

// Stops the run: line <lineno> of the file holds a NUL byte.
[[noreturn]] void stopOnNulByte(const std::string& name, long lineno);

// The sizing pass: opens the file (open_format on failure), counts its rows
// and tabs, closes it.  Stops the run, with a "fail\nError: ..." message, on
// a file without any row ("file '<name>' has no rows"), a blank line before
// the last row, a row whose number of fields differs from the first row's,
// a row whose fields do not match its tab count, a NUL byte, and a file with
// more rows or columns than an int can count.
FileShape sizeInputFile(const std::string& name, const char* open_format);

// Reads a file in large blocks and returns it row by row.
class LineReader {
public:
    // Reads the already opened file f (name is used in messages only).
    LineReader(std::FILE* f, const std::string& name, std::size_t block_bytes = std::size_t{1} << 22);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // The next row without its line break, with its 1-based line number in
    // the file and the byte offset of its first character.  False when the
    // file has no more rows.  The view stays valid until the next call.  A
    // row holding a NUL byte stops the run.
    bool next(std::string_view& line, long& lineno, long long& offset);

    // The next row, or the run stops with a message that the file ended
    // before that row (the file changed between the passes).
    void nextOrStop(std::string_view& line, long& lineno, long long& offset);

private:
    bool fill();

    std::FILE* file_;
    std::string name_;
    std::vector<char> buf_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    std::size_t scanned_ = 0;  // no line break in buf_[pos_, scanned_)
    long long base_ = 0;       // file offset of buf_[0]
    long lineno_ = 0;
    bool eof_ = false;
    bool started_ = false;     // the byte-order mark has been looked for
    std::size_t text_start_ = 0;  // file offset of the first character after it
};

// Blanks, tabs, carriage returns, vertical tabs and form feeds (and line
// breaks) separate fields.
constexpr bool isFieldSeparator(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The fields of one row: the runs of characters between separators.
void splitFields(std::string_view line, std::vector<std::string_view>& fields);

// Stops the run unless a row has exactly `columns` fields.  The first row is
// compared with the tab count of the sizing pass, every later row with the
// first row (which then has `columns` fields).
void checkFieldCount(const std::string& name, long lineno, long nfields, long columns, bool first_row,
                     long first_lineno);

// True when the field is missing in a phenotype file: its first two
// characters are "NA".
bool isNAField(std::string_view field);

// True when the whole field is one finite decimal number: an optional sign,
// digits with at most one decimal point (at least one digit), and an optional
// exponent (e or E, optional sign, digits).  Words (inf, nan), hexadecimal
// forms and values that overflow a double are not.  *value receives the
// value strtod gives for the field.
bool finiteDecimal(std::string_view field, double* value);

// True when the whole field is one decimal integer that fits an int.
bool wholeInteger(std::string_view field, int* value);

// Stops the run with "fail\nError: line <lineno> of file '<name>': <what>
// '<field>' <problem>.\n".
[[noreturn]] void stopOnField(const std::string& name, long lineno, const char* what, std::string_view field,
                              const char* problem);

// Stops the run with "fail\nError: line <lineno> of file '<name>', field
// <fieldno> (<what>): '<field>' <problem>.\n" (fieldno counts from 1).
[[noreturn]] void stopOnFieldAt(const std::string& name, long lineno, long fieldno, const std::string& what,
                                std::string_view field, const char* problem);

// Length of the UTF-8 byte-order mark that begins the bytes (3 or 0).
std::size_t byteOrderMarkLength(const char* bytes, std::size_t len);

#endif
