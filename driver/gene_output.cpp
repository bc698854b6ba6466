#include "driver/gene_output.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "numerics/offset_arrays.h"

GeneOutput::GeneOutput(StopHandler handler, void* context) : handler_(handler), context_(context) {
    openStream(out_);
    openStream(err_);
}

GeneOutput::~GeneOutput() {
    uninstall();
    closeStream(out_);
    closeStream(err_);
}

void GeneOutput::openStream(Stream& s) {
    s.f = open_memstream(&s.buf, &s.size);
    // Nothing can be collected without memory: the allocation path.
    if (s.f == nullptr) nrerror("allocation failure in open_memstream()");
}

void GeneOutput::closeStream(Stream& s) {
    if (s.f != nullptr) std::fclose(s.f);
    std::free(s.buf);
    s.f = nullptr;
    s.buf = nullptr;
}

void GeneOutput::install() {
    setConsoleSink(this);
    setOutputCapture(this);
}

void GeneOutput::uninstall() {
    // Only on the thread where it is installed.
    if (currentConsoleSink() == this) {
        setConsoleSink(nullptr);
        setOutputCapture(nullptr);
    }
}

// Moves the text written to s since the last take into the list of doings,
// joined to the previous entry when that is text of the same stream.
void GeneOutput::take(Stream& s, Kind kind) {
    std::fflush(s.f);
    if (s.size <= s.taken) return;
    const char* from = s.buf + s.taken;
    const std::size_t len = s.size - s.taken;
    s.taken = s.size;
    if (!ops_.empty() && ops_.back().kind == kind) ops_.back().text.append(from, len);
    else ops_.push_back(Op{kind, -1, std::string(from, len)});
}

// The console text written so far, in place before the next doing.
void GeneOutput::cut() {
    take(out_, Kind::Out);
    take(err_, Kind::Err);
}

int GeneOutput::opened(const std::string& name) {
    cut();
    const int file = next_file_++;
    open_files_.push_back(file);
    ops_.push_back(Op{Kind::Open, file, name});
    return file;
}

void GeneOutput::row(int file, std::string_view text) {
    cut();
    ops_.push_back(Op{Kind::Write, file, std::string(text)});
}

void GeneOutput::closed(int file) {
    const auto it = std::find(open_files_.begin(), open_files_.end(), file);
    if (it == open_files_.end()) return;
    open_files_.erase(it);
    cut();
    ops_.push_back(Op{Kind::Close, file, std::string()});
}

void GeneOutput::finish() {
    if (finished_) return;
    finished_ = true;
    cut();
    for (const int file : open_files_) ops_.push_back(Op{Kind::Close, file, std::string()});
    open_files_.clear();
}

void GeneOutput::stop(bool pause) {
    failed_ = true;
    pause_ = pause;
    finish();
    uninstall();
    handler_(*this, context_);
    // The handler never returns; should it, the process ends here all the same.
    std::abort();
}

void GeneOutput::replay() const {
    std::vector<std::optional<OutputFile>> files(static_cast<std::size_t>(next_file_));
    for (const Op& op : ops_) {
        switch (op.kind) {
            case Kind::Out: std::fwrite(op.text.data(), 1, op.text.size(), stdout); break;
            case Kind::Err: std::fwrite(op.text.data(), 1, op.text.size(), stderr); break;
            case Kind::Open: files[static_cast<std::size_t>(op.file)].emplace(OutputFile::append(op.text)); break;
            case Kind::Write: {
                OutputFile& f = *files[static_cast<std::size_t>(op.file)];
                f.put(op.text);
                f.endRow();
                break;
            }
            case Kind::Close: files[static_cast<std::size_t>(op.file)]->close(); break;
        }
    }
}
