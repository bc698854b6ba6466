#include "driver/text_input.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/stop.h"

namespace {

constexpr std::size_t kSizingBlock = std::size_t{1} << 22;

// Character classes of the sizing pass.
enum : unsigned char { kContent = 0, kLineBreak = 1, kTab = 2, kBlank = 3 };

struct ClassTable {
    unsigned char c[256];
    constexpr ClassTable() : c() {
        for (int i = 0; i < 256; ++i) c[i] = kContent;
        c[static_cast<unsigned char>('\n')] = kLineBreak;
        c[static_cast<unsigned char>('\t')] = kTab;
        c[static_cast<unsigned char>(' ')] = kBlank;
        c[static_cast<unsigned char>('\r')] = kBlank;
        c[static_cast<unsigned char>('\v')] = kBlank;
        c[static_cast<unsigned char>('\f')] = kBlank;
    }
};
constexpr ClassTable kClass;

// 1 for a byte that belongs to a field, for bytes within one line (no line
// break): anything but a blank, tab, vertical tab, form feed or carriage
// return (codes 9 to 13 and 32).
inline unsigned isLineContent(unsigned char c) {
    return static_cast<unsigned>(c != ' ') & static_cast<unsigned>(static_cast<unsigned char>(c - 9) > 4);
}

[[noreturn]] void stopOnReadError(const std::string& name) {
    // A directory opens like a file and fails at the first read (EISDIR).
    std::printf("fail\nError: Cannot read file '%s': %s.\n", name.c_str(), std::strerror(errno));
    kill_VENTARQUILLO();
}

}  // namespace

std::FILE* openInputOrStop(const std::string& name, const char* open_format) {
    // Opened without blocking, so that a named pipe with no writer does not
    // hang the open; anything but a regular file is refused before a byte is
    // read (every input is read at least twice, and a device such as
    // /dev/zero never ends).
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::printf(open_format, name.c_str());
        kill_VENTARQUILLO();
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        stopOnReadError(name);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            stopOnReadError(name);
        }
        std::printf("fail\nError: Cannot read file '%s': it is not a regular file (a pipe, a device or a socket); "
                    "every input file must be a regular file, as it is read more than once.\n",
                    name.c_str());
        kill_VENTARQUILLO();
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE* f = ::fdopen(fd, "rb");
    if (f == nullptr) {
        ::close(fd);
        std::printf(open_format, name.c_str());
        kill_VENTARQUILLO();
    }
    return f;
}

void stopOnNulByte(const std::string& name, long lineno) {
    std::printf("fail\nError: line %ld of file '%s' holds a NUL byte (code 0); input files must be plain text.\n",
                lineno, name.c_str());
    kill_VENTARQUILLO();
}

namespace {

// State of the sizing pass.  The counts of the rows up to the last line with
// content are committed; the line breaks and tabs of blank lines after it
// wait as pending and are committed only when another line with content
// follows (which makes them blank rows inside the file, an error).
struct SizingState {
    const std::string* name = nullptr;
    long committed_breaks = 0, committed_tabs = 0;
    long pending_breaks = 0, pending_tabs = 0;
    long first_blank_line = 0;  // line number of the first pending blank line
    long line_tabs = 0;
    long line_fields = 0;
    bool in_field = false;
    long line = 1;              // physical line number of the current line
    long first_fields = -1;     // fields of the first row
    long first_line = 0;

    // A line with content ends (at a line break, or at the end of the file).
    // Every such row has one tab between each two of its fields and no other
    // tab: a blank between two fields, two tabs in a row or a tab at either
    // end of the row breaks it.
    void contentLineEnds() {
        if (pending_breaks > 0) {
            std::printf("fail\nError: line %ld of file '%s' is blank; only the end of a file may hold blank lines.\n",
                        first_blank_line, name->c_str());
            kill_VENTARQUILLO();
        }
        if (line_fields != line_tabs + 1) {
            std::printf("fail\nError: line %ld of file '%s' has %ld field(s) but %ld tab-separated column(s); fields "
                        "must be separated by single tabs.\n",
                        line, name->c_str(), line_fields, line_tabs + 1);
            kill_VENTARQUILLO();
        }
        if (first_fields < 0) {
            first_fields = line_fields;
            first_line = line;
        } else if (line_fields != first_fields) {
            std::printf("fail\nError: line %ld of file '%s' has %ld field(s), but line %ld has %ld.\n", line,
                        name->c_str(), line_fields, first_line, first_fields);
            kill_VENTARQUILLO();
        }
    }

    void lineBreak() {
        if (line_fields > 0) {
            contentLineEnds();
            committed_breaks += 1;
            committed_tabs += line_tabs;
        } else {
            if (pending_breaks == 0) first_blank_line = line;
            ++pending_breaks;
            pending_tabs += line_tabs;
        }
        line_tabs = 0;
        line_fields = 0;
        in_field = false;
        ++line;
    }
};

}  // namespace

FileShape sizeInputFile(const std::string& name, const char* open_format) {
    std::FILE* f = openInputOrStop(name, open_format);
    std::vector<char> buf(kSizingBlock);
    SizingState st;
    st.name = &name;
    bool first = true;
    bool mark_checked = false;

    std::size_t got = 0;
    while ((got = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
        std::size_t i = 0;
        if (!mark_checked) {
            // A block read from a file holds the whole mark unless the file
            // ends first.
            mark_checked = true;
            i = byteOrderMarkLength(buf.data(), got);
            if (i == got) continue;
        }
        if (first) {
            // The first character is never a tab or a line break of the count;
            // a line break there leaves physical line 1 empty and rowless.
            first = false;
            if (buf[i] == '\0') stopOnNulByte(name, 1);
            const unsigned char c0 = kClass.c[static_cast<unsigned char>(buf[i])];
            if (c0 == kContent) {
                st.line_fields = 1;
                st.in_field = true;
            } else if (c0 == kLineBreak) {
                st.line = 2;
            }
            ++i;
        }
        // Line by line: memchr finds the line breaks, and the bytes between
        // them are counted without branches; a field starts at every content
        // byte whose predecessor is not content (the loop compares each byte
        // with its predecessor, so it carries no state and vectorises).
        const char* const data = buf.data();
        while (i < got) {
            const void* hit = std::memchr(data + i, '\n', got - i);
            const std::size_t stop = hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data) : got;
            if (i < stop && std::memchr(data + i, '\0', stop - i) != nullptr) stopOnNulByte(name, st.line);
            long tabs = 0, fields = 0;
            unsigned in_field = st.in_field ? 1u : 0u;
            if (i < stop) {
                const unsigned char c = static_cast<unsigned char>(data[i]);
                tabs += c == '\t';
                fields += isLineContent(c) & (in_field ^ 1u);
                for (std::size_t j = i + 1; j < stop; ++j) {
                    const unsigned char cur = static_cast<unsigned char>(data[j]);
                    const unsigned char prev = static_cast<unsigned char>(data[j - 1]);
                    tabs += cur == '\t';
                    fields += isLineContent(cur) & (isLineContent(prev) ^ 1u);
                }
                in_field = isLineContent(static_cast<unsigned char>(data[stop - 1]));
            }
            st.line_tabs += tabs;
            st.line_fields += fields;
            st.in_field = in_field != 0;
            if (hit == nullptr) break;
            st.lineBreak();
            i = stop + 1;
        }
    }
    if (std::ferror(f)) stopOnReadError(name);
    std::fclose(f);

    FileShape shape;
    if (st.line_fields > 0) {
        // A last row without a closing line break.
        st.contentLineEnds();
        shape.rows = st.committed_breaks + 1;
        shape.tabs = st.committed_tabs + st.line_tabs;
    } else {
        shape.rows = st.committed_breaks;
        shape.tabs = st.committed_tabs;
    }
    if (shape.rows == 0) {
        std::printf("fail\nError: file '%s' has no rows.\n", name.c_str());
        kill_VENTARQUILLO();
    }
    if (shape.rows >= INT_MAX || shape.tabs / shape.rows >= INT_MAX - 1) {
        std::printf("fail\nError: file '%s' has more rows or columns than this program can hold.\n", name.c_str());
        kill_VENTARQUILLO();
    }
    shape.columns = shape.tabs / shape.rows + 1;
    shape.first_line = st.first_line;
    // Every row has first_fields fields; the tabs must tell the same.
    if (st.first_fields != shape.columns) {
        std::printf("fail\nError: line %ld of file '%s' has %ld field(s) but %ld tab-separated column(s); fields must "
                    "be separated by single tabs.\n",
                    st.first_line, name.c_str(), st.first_fields, shape.columns);
        kill_VENTARQUILLO();
    }
    return shape;
}

LineReader::LineReader(std::FILE* f, const std::string& name, std::size_t block_bytes)
    : file_(f), name_(name), buf_(block_bytes > 0 ? block_bytes : 1) {}

bool LineReader::fill() {
    if (pos_ > 0) {
        std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
        base_ += static_cast<long long>(pos_);
        end_ -= pos_;
        scanned_ -= pos_;
        pos_ = 0;
    }
    if (end_ == buf_.size()) buf_.resize(buf_.size() * 2);  // a row longer than the block
    const std::size_t got = std::fread(buf_.data() + end_, 1, buf_.size() - end_, file_);
    if (got == 0) {
        if (std::ferror(file_)) stopOnReadError(name_);
        eof_ = true;
        return false;
    }
    end_ += got;
    return true;
}

bool LineReader::next(std::string_view& line, long& lineno, long long& offset) {
    if (!started_) {
        started_ = true;
        while (end_ < 3 && !eof_ && fill()) {
        }
        text_start_ = byteOrderMarkLength(buf_.data(), end_);
        pos_ = scanned_ = text_start_;
    }
    for (;;) {
        if (scanned_ < pos_) scanned_ = pos_;
        const void* hit = scanned_ < end_ ? std::memchr(buf_.data() + scanned_, '\n', end_ - scanned_) : nullptr;
        if (hit != nullptr) {
            const std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(hit) - buf_.data());
            const std::size_t start = pos_;
            pos_ = scanned_ = stop + 1;
            ++lineno_;
            // A line break as the file's first character does not end a row.
            if (lineno_ == 1 && stop == start && base_ + static_cast<long long>(start) ==
                                                     static_cast<long long>(text_start_))
                continue;
            line = std::string_view(buf_.data() + start, stop - start);
            if (std::memchr(line.data(), '\0', line.size()) != nullptr) stopOnNulByte(name_, lineno_);
            lineno = lineno_;
            offset = base_ + static_cast<long long>(start);
            return true;
        }
        scanned_ = end_;
        if (eof_ || !fill()) {
            if (pos_ < end_) {
                line = std::string_view(buf_.data() + pos_, end_ - pos_);
                lineno = ++lineno_;
                if (std::memchr(line.data(), '\0', line.size()) != nullptr) stopOnNulByte(name_, lineno_);
                offset = base_ + static_cast<long long>(pos_);
                pos_ = scanned_ = end_;
                return true;
            }
            return false;
        }
    }
}

void LineReader::nextOrStop(std::string_view& line, long& lineno, long long& offset) {
    if (!next(line, lineno, offset)) {
        std::printf("fail\nError: file '%s' ended before line %ld.\n", name_.c_str(), lineno_ + 1);
        kill_VENTARQUILLO();
    }
}

void splitFields(std::string_view line, std::vector<std::string_view>& fields) {
    fields.clear();
    const char* p = line.data();
    const char* const e = p + line.size();
    while (p < e) {
        while (p < e && isFieldSeparator(static_cast<unsigned char>(*p))) ++p;
        if (p == e) break;
        const char* start = p;
        while (p < e && !isFieldSeparator(static_cast<unsigned char>(*p))) ++p;
        fields.emplace_back(start, static_cast<std::size_t>(p - start));
    }
}

void checkFieldCount(const std::string& name, long lineno, long nfields, long columns, bool first_row,
                     long first_lineno) {
    if (nfields == columns) return;
    if (first_row)
        std::printf(
            "fail\nError: line %ld of file '%s' has %ld field(s) but %ld tab-separated column(s); fields must be "
            "separated by single tabs.\n",
            lineno, name.c_str(), nfields, columns);
    else
        std::printf("fail\nError: line %ld of file '%s' has %ld field(s), but line %ld has %ld.\n", lineno,
                    name.c_str(), nfields, first_lineno, columns);
    kill_VENTARQUILLO();
}

bool isNAField(std::string_view field) { return field.size() >= 2 && field[0] == 'N' && field[1] == 'A'; }

bool wholeInteger(std::string_view field, int* value) {
    if (field.empty()) return false;
    const std::string text(field);
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size() || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

std::size_t byteOrderMarkLength(const char* bytes, std::size_t len) {
    return len >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF && static_cast<unsigned char>(bytes[1]) == 0xBB &&
                   static_cast<unsigned char>(bytes[2]) == 0xBF
               ? 3
               : 0;
}

bool finiteDecimal(std::string_view field, double* value) {
    const char* p = field.data();
    const char* const e = p + field.size();
    if (p < e && (*p == '+' || *p == '-')) ++p;
    int digits = 0;
    while (p < e && static_cast<unsigned>(*p - '0') < 10u) ++p, ++digits;
    if (p < e && *p == '.') {
        ++p;
        while (p < e && static_cast<unsigned>(*p - '0') < 10u) ++p, ++digits;
    }
    if (digits == 0) return false;
    if (p < e && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < e && (*p == '+' || *p == '-')) ++p;
        int exp_digits = 0;
        while (p < e && static_cast<unsigned>(*p - '0') < 10u) ++p, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    if (p != e) return false;
    const std::string text(field);
    const double v = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(v)) return false;
    *value = v;
    return true;
}

[[noreturn]] void stopOnFieldAt(const std::string& name, long lineno, long fieldno, const std::string& what,
                                std::string_view field, const char* problem) {
    std::printf("fail\nError: line %ld of file '%s', field %ld (%s): '%.*s' %s.\n", lineno, name.c_str(), fieldno,
                what.c_str(), static_cast<int>(field.size()), field.data(), problem);
    kill_VENTARQUILLO();
}

[[noreturn]] void stopOnField(const std::string& name, long lineno, const char* what, std::string_view field,
                              const char* problem) {
    std::printf("fail\nError: line %ld of file '%s': %s '%.*s' %s.\n", lineno, name.c_str(), what,
                static_cast<int>(field.size()), field.data(), problem);
    kill_VENTARQUILLO();
}
