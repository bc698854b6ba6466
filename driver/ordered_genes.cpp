#include "driver/ordered_genes.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sched.h>

#include "driver/gene_output.h"
#include "numerics/console.h"

namespace {

// Most threads that analyse genes, whatever OMP_NUM_THREADS asks.
constexpr int kMaxGeneThreads = 1024;
// How many genes each thread may run ahead of the gene being written: the
// analysed genes wait in memory (console text, rows, records) for their turn.
constexpr int kGenesAheadPerThread = 4;

// The genes on worker threads, written in gene order by the calling thread.
// (Standard threads rather than OpenMP: the parking of a stopped worker and
// the ordered writer need no more, and ThreadSanitizer can check all of it.)
// A worker claims the next gene (at most `window` genes ahead of the one
// being written), analyses it into a GeneOutput and hands it over; the
// calling thread replays each gene's output as soon as all earlier genes
// are written.  A gene that stops keeps its worker parked where it stopped
// (its arrays stay reachable, as they would in a run on one thread); once
// its text is written, the other workers finish the gene in hand and come to
// rest, and the process ends as the stop requires.  Genes after the stopped
// one are never written.
class OrderedGeneRun {
public:
    using Analyse = std::function<void(int worker, int k)>;

    OrderedGeneRun(int count, int threads, const Analyse& analyse)
        : analyse_(analyse),
          count_(count),
          threads_(threads),
          window_(kGenesAheadPerThread * threads),
          slots_(window_) {}

    void run() {
        current_ = this;
        setStopHook(&OrderedGeneRun::quiesceCurrent);
        active_ = threads_;
        for (int w = 0; w < threads_; ++w) workers_.emplace_back([this, w] { work(w); });
        for (int k = 0; k < count_; ++k) {
            Slot& slot = slots_[static_cast<std::size_t>(k % window_)];
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return slot.ready; });
            }
            slot.output->replay();
            if (slot.output->failed()) {
                const bool pause = slot.output->pause();
                quiesce();
                endProcessAfterStop(pause);
            }
            std::fflush(stdout);  // the console report keeps up with the genes
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                slot.output.reset();
                slot.ready = false;
                ++written_;
            }
            changed_.notify_all();
        }
        setStopHook(nullptr);
        current_ = nullptr;
        for (std::thread& t : workers_) t.join();
    }

private:
    struct Slot {
        std::unique_ptr<GeneOutput> output;
        bool ready = false;
    };

    void work(int worker) {
        for (;;) {
            int k = 0;
            GeneOutput* output = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return stopping_ || next_ >= count_ || next_ < written_ + window_; });
                if (stopping_ || next_ >= count_) break;
                k = next_++;
                Slot& slot = slots_[static_cast<std::size_t>(k % window_)];
                slot.output = std::make_unique<GeneOutput>(&OrderedGeneRun::geneStopped, this);
                output = slot.output.get();
            }
            output->install();
            analyse_(worker, k);
            output->uninstall();
            output->finish();
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                slots_[static_cast<std::size_t>(k % window_)].ready = true;
            }
            changed_.notify_all();
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            --active_;
            finished_.push_back(std::this_thread::get_id());
        }
        changed_.notify_all();
    }

    // Stop handler of a gene's output, on the worker that analysed it: hand
    // the gene over as done and park the worker for good.
    [[noreturn]] static void geneStopped(GeneOutput& output, void* context) {
        auto* self = static_cast<OrderedGeneRun*>(context);
        std::unique_lock<std::mutex> lock(self->mutex_);
        for (Slot& slot : self->slots_)
            if (slot.output.get() == &output) slot.ready = true;
        --self->active_;
        self->changed_.notify_all();
        for (;;) self->parked_.wait(lock);
    }

    // Lets every worker come to rest: no gene is claimed any more, the genes
    // in hand are finished (or stopped), then the finished workers are joined
    // and the parked ones left to the end of the process.
    void quiesce() {
        std::vector<std::thread::id> finished;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            stopping_ = true;
            changed_.notify_all();
            changed_.wait(lock, [&] { return active_ == 0; });
            finished = finished_;
        }
        for (std::thread& t : workers_) {
            if (!t.joinable()) continue;
            if (std::find(finished.begin(), finished.end(), t.get_id()) != finished.end()) t.join();
            else t.detach();
        }
    }

    // The stop hook while genes are in flight: a stop on the writing thread
    // (a result file that cannot be opened) lets the workers come to rest
    // before the process ends.
    static void quiesceCurrent() {
        if (current_ != nullptr && std::this_thread::get_id() == current_->writer_) current_->quiesce();
    }

    const Analyse& analyse_;
    const int count_;
    const int threads_;
    const int window_;
    std::vector<Slot> slots_;
    std::vector<std::thread> workers_;
    std::vector<std::thread::id> finished_;
    const std::thread::id writer_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable parked_;
    int next_ = 0;
    int written_ = 0;
    int active_ = 0;
    bool stopping_ = false;
    static inline OrderedGeneRun* current_ = nullptr;
};

}  // namespace

namespace {

// Reads OMP_NUM_THREADS as OpenMP runtimes do: a list of positive whole
// numbers separated by commas (one per level of nesting), blanks allowed
// around each; the first one counts here.  Returns 0 when the value is not
// such a list.
long threadsFromList(const char* v) {
    long first = 0;
    for (const char* c = v;;) {
        while (*c == ' ' || *c == '\t') ++c;
        if (*c < '0' || *c > '9') return 0;
        long n = 0;
        for (; *c >= '0' && *c <= '9'; ++c) n = std::min(n * 10 + (*c - '0'), static_cast<long>(kMaxGeneThreads));
        if (n < 1) return 0;
        if (first == 0) first = n;
        while (*c == ' ' || *c == '\t') ++c;
        if (*c == '\0') return first;
        if (*c++ != ',') return 0;
    }
}

}  // namespace

int geneThreads() {
    if (const char* v = std::getenv("OMP_NUM_THREADS"); v != nullptr) {
        if (const long n = threadsFromList(v); n >= 1) return static_cast<int>(n);
        std::fprintf(stderr, "Warning: OMP_NUM_THREADS='%s' is not a positive integer; all cores are used.\n", v);
    }
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n >= 1) return std::min(n, kMaxGeneThreads);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n >= 1 ? static_cast<int>(std::min(n, static_cast<unsigned>(kMaxGeneThreads))) : 1;
}

void runGenesInOrder(int count, int threads, const std::function<void(int worker, int k)>& analyse) {
    if (threads <= 1) {
        for (int k = 0; k < count; ++k) {
            analyse(0, k);
            std::fflush(stdout);  // the console report keeps up with the genes
        }
        return;
    }
    OrderedGeneRun(count, threads, analyse).run();
}
