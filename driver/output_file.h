// One output file of the run (the result table or a trait log) as a value:
// its name, its handle and the row being written.
//
// Text goes into the row under way and reaches the file only when the row
// (or record) is whole: endRow() writes it in one piece.  A write that fails
// (a full disk, a file-size limit) cuts the file back to where it ended
// before the row, then stops the run with
// "Error: Cannot write output file '<name>': <reason>."; a stop of the run
// while a row is under way leaves the row out.  So the file never ends in
// part of a row, and joined tables keep one row per line.
//
// On a thread with an installed OutputCapture (a gene analysed on a worker
// thread) a file opened for appending belongs to the capture: its opening,
// its whole rows and its closing are handed over, and the thread that writes
// the genes out in order replays them on real files.
#ifndef VENTARQUILLO_DRIVER_OUTPUT_FILE_H
#define VENTARQUILLO_DRIVER_OUTPUT_FILE_H

#include <string>
#include <string_view>

// What takes the output files of the calling thread instead of the files.
class OutputCapture {
public:
    virtual ~OutputCapture() = default;
    // A file opened for appending; returns the number that names it below.
    virtual int opened(const std::string& name) = 0;
    // A whole row (or record) of that file.
    virtual void row(int file, std::string_view text) = 0;
    virtual void closed(int file) = 0;
};

// Installs (or, with null, removes) the capture of the calling thread.
void setOutputCapture(OutputCapture* capture);

class OutputFile {
public:
    // Opens the file for appending (the rows of one gene), or creates it
    // empty (the first lines at start-up; never captured; a file that did
    // not exist is noted as made by the run, see beginOutputCreation).  A file that
    // cannot be opened stops the run: "Cannot create output file.", then
    // "Error: Cannot open output file '<name>': <reason>.".
    static OutputFile append(const std::string& name);
    static OutputFile create(const std::string& name);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile& operator=(OutputFile&&) = delete;
    // Releases a file that was not closed, without writing its unfinished row.
    ~OutputFile();

    const std::string& name() const { return name_; }

    // Text for the row under way.
    [[gnu::format(printf, 2, 3)]] void print(const char* format, ...);
    void put(std::string_view text) { row_.append(text); }
    // Writes the row under way in one piece (nothing when it is empty).
    void endRow();
    // Closes the file (checked); an unfinished row is left out.
    void close();

private:
    OutputFile(std::string name, int fd, OutputCapture* capture, int id);
    void release();
    [[noreturn]] void failed(int error, long long whole_size);

    std::string name_;
    std::string row_;
    int fd_ = -1;
    OutputCapture* capture_ = nullptr;
    int id_ = -1;  // the capture's number of this file
};

// The stop after a failed write or close of an output file: the message
// naming the file and the reason (an errno value), then the stop line.
[[noreturn]] void stopWriteFailed(const std::string& name, int error);

// The start-up creation of the outputs (the table and the trait logs with
// their first lines), between begin and end: a stop inside it (an output
// that cannot be made or written, a log name that is too long) first removes
// every file that the creation made, so a run that cannot create its outputs
// leaves none behind.  A file that existed before the run is never removed.
void beginOutputCreation();
void endOutputCreation();
// Removes the files made so far when the creation is under way; otherwise
// does nothing.  The stops of the creation call it.
void removeOutputsMadeSoFar();

#endif
