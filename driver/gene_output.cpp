#include "driver/gene_output.h"

#include <cstdlib>

#include "driver/output.h"
#include "numerics/offset_arrays.h"

namespace {

thread_local GeneOutput* installed = nullptr;

}  // namespace

GeneOutput::GeneOutput(StopHandler handler, void* context) : handler_(handler), context_(context) {
    openStream(out_);
    openStream(err_);
}

GeneOutput::~GeneOutput() {
    if (installed == this) uninstall();
    for (Stream& s : files_) closeStream(s);
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
    installed = this;
    setGeneConsole(this);
}

void GeneOutput::uninstall() {
    if (installed == this) {
        installed = nullptr;
        setGeneConsole(nullptr);
    }
}

GeneOutput* GeneOutput::current() { return installed; }

// Moves the text written to s since the last take into the list of doings,
// joined to the previous entry when that is text of the same stream.
void GeneOutput::take(Stream& s, Kind kind) {
    std::fflush(s.f);
    if (s.size <= s.taken) return;
    const char* from = s.buf + s.taken;
    const std::size_t len = s.size - s.taken;
    s.taken = s.size;
    if (!ops_.empty() && ops_.back().kind == kind && ops_.back().id == s.id) ops_.back().text.append(from, len);
    else ops_.push_back(Op{kind, s.id, std::string(from, len)});
}

// Everything written so far, in place before the next doing.
void GeneOutput::cut() {
    take(out_, Kind::Out);
    take(err_, Kind::Err);
    for (Stream& s : files_) take(s, Kind::Write);
}

std::FILE* GeneOutput::openFile(const std::string& name) {
    cut();
    files_.emplace_back();
    Stream& s = files_.back();
    s.id = next_id_++;
    openStream(s);
    ops_.push_back(Op{Kind::Open, s.id, name});
    return s.f;
}

bool GeneOutput::closeFile(std::FILE* f) {
    for (auto it = files_.begin(); it != files_.end(); ++it) {
        if (it->f != f) continue;
        cut();
        ops_.push_back(Op{Kind::Close, it->id, std::string()});
        closeStream(*it);
        files_.erase(it);
        return true;
    }
    return false;
}

void GeneOutput::finish() {
    if (finished_) return;
    finished_ = true;
    cut();
    for (Stream& s : files_) {
        ops_.push_back(Op{Kind::Close, s.id, std::string()});
        closeStream(s);
    }
    files_.clear();
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
    std::vector<std::FILE*> files(static_cast<std::size_t>(next_id_), nullptr);
    std::vector<const std::string*> names(static_cast<std::size_t>(next_id_), nullptr);
    for (const Op& op : ops_) {
        switch (op.kind) {
            case Kind::Out: std::fwrite(op.text.data(), 1, op.text.size(), stdout); break;
            case Kind::Err: std::fwrite(op.text.data(), 1, op.text.size(), stderr); break;
            case Kind::Open:
                files[static_cast<std::size_t>(op.id)] = openForAppend(op.text);
                names[static_cast<std::size_t>(op.id)] = &op.text;
                break;
            case Kind::Write:
                writeOutputOrStop(files[static_cast<std::size_t>(op.id)], *names[static_cast<std::size_t>(op.id)],
                                  op.text.data(), op.text.size());
                break;
            case Kind::Close: closeOutput(files[static_cast<std::size_t>(op.id)]); break;
        }
    }
}
