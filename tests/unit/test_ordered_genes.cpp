// Genes on several threads: whatever the number of threads, the console text
// (standard output and standard error apart), the files and the exit status
// are those of the genes run one after the other, also when a gene stops the
// run through the driver's stop, through nrerror, by a result file that
// cannot be opened or by a write that fails; the files then hold whole rows.
#include <gtest/gtest.h>

#include <csignal>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "driver/ordered_genes.h"
#include "driver/output_file.h"
#include "engine/stop.h"
#include "numerics/console.h"
#include "numerics/offset_arrays.h"
#include "run_capture.h"

namespace {

struct Outcome {
    std::string out, err, table, log;
    int status = 0;
};

// One run of `count` genes on `threads` threads in a child process, in a
// fresh folder; gene k calls gene(k).  With a limit, no file of the child
// may grow beyond `limit` bytes (RLIMIT_FSIZE; SIGXFSZ ignored, so that the
// write fails with EFBIG as one on a full disk fails with ENOSPC).
template <typename Gene>
Outcome runGenes(int count, int threads, Gene gene, long limit = 0) {
    char dir[] = "/tmp/vq_genes_XXXXXX";
    const std::string folder = mkdtemp(dir);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(98);
        if (std::freopen("out.txt", "w", stdout) == nullptr || std::freopen("err.txt", "w", stderr) == nullptr)
            _exit(99);
        if (limit > 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit lim{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
            if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(97);
        }
        runGenesInOrder(count, threads, [&](int, int k) { gene(k); });
        std::fflush(stdout);
        std::exit(0);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    o.out = fileText(folder + "/out.txt");
    o.err = fileText(folder + "/err.txt");
    o.table = fileText(folder + "/table.txt");
    o.log = fileText(folder + "/log.txt");
    std::system(("rm -rf '" + folder + "'").c_str());
    return o;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void expectSame(const Outcome& a, const Outcome& b) {
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(a.err, b.err);
    EXPECT_EQ(a.table, b.table);
    EXPECT_EQ(a.log, b.log);
}

// Makes the later genes finish first.  On `threads` threads the genes form
// groups of that many (0..threads-1, threads..2 threads-1, ...), and a gene
// other than the last of its group starts its work only once the next gene
// has finished, so that within a group the genes finish from the last to the
// first.  No gene waits for one that cannot start: the workers claim the
// genes in order, so the genes in flight that wait lie in one group with the
// last of it, which waits for none.  Genes from `count` on neither wait nor
// are waited for; on one thread, which runs the genes in turn, nothing waits.
class LaterGenesFirst {
public:
    LaterGenesFirst(int count, int threads) : done_(static_cast<std::size_t>(count), false), threads_(threads) {}

    void awaitNext(int k) {
        const int next = k + 1;
        if (threads_ <= 1 || next >= static_cast<int>(done_.size()) || next % threads_ == 0) return;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return done_[static_cast<std::size_t>(next)]; });
    }
    void finished(int k) {
        if (k >= static_cast<int>(done_.size())) return;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_[static_cast<std::size_t>(k)] = true;
        }
        changed_.notify_all();
    }

private:
    std::vector<bool> done_;
    const int threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
};

// A gene that writes console lines on both streams, a table row and a log
// record in pieces, the later genes finishing first.
void ordinaryGene(int k, LaterGenesFirst& order) {
    order.awaitNext(k);
    std::fprintf(consoleOut(), "\n||---- GENE g%d ----||\n", k);
    OutputFile table = OutputFile::append("table.txt");
    table.print("g%d", k);
    OutputFile log = OutputFile::append("log.txt");
    log.print("g%d\t%d\n", k, k * k);
    log.endRow();
    if (k % 3 == 1) std::fprintf(consoleErr(), "note %d\n", k);
    table.print("\t%d", k + 1);
    log.close();
    if (k % 2 == 0) std::fprintf(consoleOut(), "GENE g%d Warning: even\n", k);
    table.print("\n");
    table.endRow();
    table.close();
    order.finished(k);
}

TEST(OrderedGenes, EveryOutputIsThatOfOneThread) {
    constexpr int kCount = 40;
    const auto genes = [](int threads) {
        LaterGenesFirst order(kCount, threads);
        return runGenes(kCount, threads, [&order](int k) { ordinaryGene(k, order); });
    };
    const Outcome one = genes(1);
    ASSERT_EQ(one.status, 0);
    // Spot checks of the order itself, written out by hand.
    EXPECT_EQ(one.out.substr(0, 48), "\n||---- GENE g0 ----||\nGENE g0 Warning: even\n\n||");
    EXPECT_EQ(one.err.substr(0, 16), "note 1\nnote 4\nno");
    EXPECT_EQ(one.table.substr(0, 18), "g0\t1\ng1\t2\ng2\t3\ng3\t");
    EXPECT_EQ(one.log.substr(0, 15), "g0\t0\ng1\t1\ng2\t4\n");
    for (int threads : {2, 3, 8}) {
        SCOPED_TRACE(threads);
        expectSame(genes(threads), one);
    }
}

// Gene 5 stops after part of its row and of its log record, in one of three
// ways; those parts and the genes after it, analysed on other threads, leave
// no trace.  The genes before it finish later than the next one, as above;
// gene 5 declares itself finished before it stops, so that gene 4 can go on
// (and the genes from 6 on wait for none: a stopped gene keeps its worker).
void stoppingGene(int k, int how, LaterGenesFirst& order) {
    if (k != 5) {
        ordinaryGene(k, order);
        return;
    }
    order.finished(5);
    std::fprintf(consoleOut(), "\n||---- GENE g5 ----||\n");
    OutputFile table = OutputFile::append("table.txt");
    table.print("g5\tpartial");
    OutputFile log = OutputFile::append("log.txt");
    log.print("g5\t");
    if (how == 0) {
        std::fprintf(consoleOut(), "fail\nError: something in gene 5.\n");
        kill_VENTARQUILLO();
    }
    if (how == 1) nrerror("Sigmatrix in ludcmp");
    OutputFile::append("no_such_folder/log.txt");
}

TEST(OrderedGenes, AStopInTheLoopEndsTheRunAsOnOneThread) {
    for (int how : {0, 1, 2}) {
        SCOPED_TRACE(how);
        const auto genes = [how](int threads) {
            LaterGenesFirst order(6, threads);
            return runGenes(12, threads, [how, &order](int k) { stoppingGene(k, how, order); });
        };
        const Outcome one = genes(1);
        EXPECT_EQ(one.status, 1);
        EXPECT_TRUE(endsWith(one.table, "\ng3\t4\ng4\t5\n")) << one.table;
        EXPECT_TRUE(endsWith(one.log, "\ng4\t16\n")) << one.log;
        EXPECT_EQ(one.out.find("GENE g6"), std::string::npos);
        if (how == 0) {
            EXPECT_TRUE(endsWith(one.out, "\n||---- GENE g5 ----||\nfail\nError: something in gene 5.\n\nVENTARQUILLO was "
                                          "stopped due to error(s) listed above.\n\n"))
                << one.out;
        } else if (how == 1) {
            // The notes of genes 1 and 4, the three lines of the fatal path,
            // and wherever it lands, what the command "pause" printed.
            EXPECT_NE(one.err.find("note 1\nnote 4\nNumerical Recipes run-time error...\nSigmatrix in ludcmp\n"
                                   "...now exiting to system...\n"),
                      std::string::npos)
                << one.err;
            EXPECT_TRUE(endsWith(one.out, "\n||---- GENE g5 ----||\n")) << one.out;
        } else {
            EXPECT_TRUE(endsWith(one.out, "GENE g5 ----||\nCannot create output file.\nError: Cannot open output file "
                                          "'no_such_folder/log.txt': No such file or directory.\n\nVENTARQUILLO was "
                                          "stopped due to error(s) listed above.\n\n"))
                << one.out;
        }
        for (int threads : {2, 4, 8}) {
            SCOPED_TRACE(threads);
            expectSame(genes(threads), one);
        }
    }
}

// A write of the table fails in the middle of a row (the limit falls inside
// gene 12's row): the table ends with the row of gene 11, the log with the
// record that gene 12 finished before its row, on any number of threads.
TEST(OrderedGenes, AFailedWriteLeavesWholeRowsAsOnOneThread) {
    const auto gene = [](int k) {
        std::fprintf(consoleOut(), "\n||---- GENE g%d ----||\n", k);
        OutputFile table = OutputFile::append("table.txt");
        table.print("g%02d\t%s", k, std::string(95, 'x').c_str());
        OutputFile log = OutputFile::append("log.txt");
        log.print("g%02d\tfirst\ng%02d\tsecond\n", k, k);
        log.endRow();
        log.close();
        table.print("\n");  // rows of 100 bytes
        table.endRow();
        table.close();
    };
    const Outcome one = runGenes(30, 1, gene, 1250);
    EXPECT_EQ(one.status, 1);
    EXPECT_TRUE(endsWith(one.out, "\n||---- GENE g12 ----||\nError: Cannot write output file 'table.txt': File too "
                                  "large.\n\nVENTARQUILLO was stopped due to error(s) listed above.\n\n"))
        << one.out;
    ASSERT_EQ(one.table.size(), 1200u);
    EXPECT_EQ(one.table.substr(1100), "g11\t" + std::string(95, 'x') + "\n");
    EXPECT_TRUE(endsWith(one.log, "g11\tsecond\ng12\tfirst\ng12\tsecond\n")) << one.log;
    for (int threads : {2, 8}) {
        SCOPED_TRACE(threads);
        expectSame(runGenes(30, threads, gene, 1250), one);
    }
}

// Gene 2 takes on work that gene 3 waits for, then stops; the release it
// registered lets gene 3 go on, so the run ends instead of hanging (on one
// thread gene 3 never starts).
struct SharedWork {
    std::mutex lock;
    std::condition_variable changed;
    bool taken = false, withdrawn = false;
    static void withdraw(void* self) {
        auto* w = static_cast<SharedWork*>(self);
        {
            const std::lock_guard<std::mutex> guard(w->lock);
            w->withdrawn = true;
        }
        w->changed.notify_all();
    }
};

TEST(OrderedGenes, AStoppedGeneReleasesTheGenesWaitingForIt) {
    for (int threads : {1, 4}) {
        SCOPED_TRACE(threads);
        SharedWork work;
        const Outcome o = runGenes(6, threads, [&work](int k) {
            std::fprintf(consoleOut(), "gene %d\n", k);
            if (k == 2) {
                const StopRelease release(&SharedWork::withdraw, &work);
                {
                    const std::lock_guard<std::mutex> guard(work.lock);
                    work.taken = true;
                }
                work.changed.notify_all();
                std::fprintf(consoleOut(), "fail\n");
                kill_VENTARQUILLO();
            }
            if (k == 3) {
                std::unique_lock<std::mutex> lock(work.lock);
                work.changed.wait(lock, [&work] { return work.taken && work.withdrawn; });
            }
        });
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, "gene 0\ngene 1\ngene 2\nfail\n\nVENTARQUILLO was stopped due to error(s) listed above.\n\n");
    }
}

// geneThreads() under OMP_NUM_THREADS = value (null: unset), with what it
// wrote on standard error.
std::pair<int, std::string> threadsFor(const char* value) {
    if (value != nullptr) setenv("OMP_NUM_THREADS", value, 1);
    else unsetenv("OMP_NUM_THREADS");
    TempFile err("");
    std::fflush(stderr);
    const int saved = dup(2);
    const int fd = open(err.path().c_str(), O_WRONLY);
    dup2(fd, 2);
    close(fd);
    const int n = geneThreads();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return {n, fileText(err.path())};
}

TEST(OrderedGenes, ThreadsFollowOmpNumThreads) {
    const char* saved = std::getenv("OMP_NUM_THREADS");
    const std::string keep = saved != nullptr ? saved : "";
    const int cores = threadsFor(nullptr).first;
    EXPECT_GE(cores, 1);
    using Result = std::pair<int, std::string>;
    EXPECT_EQ(threadsFor("3"), Result(3, ""));
    EXPECT_EQ(threadsFor(" 3 "), Result(3, ""));
    EXPECT_EQ(threadsFor("2,4"), Result(2, ""));  // one entry per level of nesting
    EXPECT_EQ(threadsFor("99999999999999999999999"), Result(1024, ""));
    for (const char* bad : {"0", "many", "", "-2", "+2", "2.5", "4,", "4,0", "3x"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(threadsFor(bad), Result(cores, std::string("Warning: OMP_NUM_THREADS='") + bad +
                                                     "' is not a positive integer; all cores are used.\n"));
    }
    if (saved != nullptr) setenv("OMP_NUM_THREADS", keep.c_str(), 1);
    else unsetenv("OMP_NUM_THREADS");
}

}  // namespace
