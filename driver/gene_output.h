// The output of one gene, collected in memory while the gene is analysed on
// a worker thread and written out afterwards in gene order.
//
// While a GeneOutput is installed on a thread, consoleOut() and consoleErr()
// of that thread write into it, and the result table and trait logs opened
// there for appending (OutputFile::append) hand it their whole rows.  It
// keeps the gene's doings as one ordered list: console text, opening a file
// for appending, a whole row of an open file, closing it.  replay() then
// does exactly those things to the real standard output, standard error and
// files, so that every byte (and every failure to open or write a file, at
// its place) is what the gene would have produced on its own.  A stop inside
// the gene (a driver error, the toolkit's fatal path, the incomplete gamma
// or recessive-coding checks) marks the output as failed and hands over to
// the stop handler; a row still under way then never reaches the list.
#ifndef VENTARQUILLO_DRIVER_GENE_OUTPUT_H
#define VENTARQUILLO_DRIVER_GENE_OUTPUT_H

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "driver/output_file.h"
#include "numerics/console.h"

class GeneOutput final : public ConsoleSink, public OutputCapture {
public:
    // Called on the gene's thread when the gene stops; must not return.
    using StopHandler = void (*)(GeneOutput& output, void* context);

    GeneOutput(StopHandler handler, void* context);
    ~GeneOutput() override;
    GeneOutput(const GeneOutput&) = delete;
    GeneOutput& operator=(const GeneOutput&) = delete;

    std::FILE* out() override { return out_.f; }
    std::FILE* err() override { return err_.f; }
    [[noreturn]] void stop(bool pause) override;

    // Makes this the output of the calling thread (the console of its gene
    // task and the capture of its output files), or removes it.
    void install();
    void uninstall();

    // The output files of the gene (OutputCapture).
    int opened(const std::string& name) override;
    void row(int file, std::string_view text) override;
    void closed(int file) override;

    // Takes in what is still buffered and closes the files left open (after
    // a stop; the process end would have closed them).  Call once, on the
    // gene's thread, when the gene is done or stopped.
    void finish();

    // Writes the gene's doings to the real streams and files, in order.  Run
    // on a thread without an installed output.  A file that cannot be opened
    // or written stops the run there, as it would on one thread.
    void replay() const;

    bool failed() const { return failed_; }
    bool pause() const { return pause_; }

private:
    struct Stream {
        std::FILE* f = nullptr;
        char* buf = nullptr;
        std::size_t size = 0;
        std::size_t taken = 0;
    };
    enum class Kind { Out, Err, Open, Write, Close };
    struct Op {
        Kind kind;
        int file;          // file number for Open, Write and Close
        std::string text;  // console text, file name or a whole row
    };

    static void openStream(Stream& s);
    static void closeStream(Stream& s);
    void take(Stream& s, Kind kind);
    void cut();

    StopHandler handler_;
    void* context_;
    Stream out_, err_;
    std::vector<int> open_files_;  // numbers of the files opened and not yet closed
    int next_file_ = 0;
    std::vector<Op> ops_;
    bool failed_ = false;
    bool pause_ = false;
    bool finished_ = false;
};

#endif
