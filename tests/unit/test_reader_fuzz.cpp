// Mutation fuzzing of the input readers: valid input files are changed a
// little at a time (bytes, tokens, lines, line ends, byte-order marks), with a
// fixed seed, and the program is run on each.  Whatever the input, it must end
// normally with status 0, or with status 1 after a message (its own stop
// line, or nrerror's fatal-error report) -- never a signal, a hang, another
// status or a sanitizer report.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "run_capture.h"

namespace {

// The end-to-end case folders (tests/e2e/cases/), whose input files are
// the starting points of the mutations.
const std::string kCases = VENTARQUILLO_E2E_CASES;

struct Config {
    const char* name;
    const char* base_case;  // input files from this end-to-end case
    std::vector<std::string> files;
    std::vector<std::string> args;
};

// TDS with MLE, a secondary trait, covariate selection and the customized
// test reads all six kinds of input file; direct mode re-reads genotype rows
// in the loop; VT reads a four-column mapping file.
const Config kConfigs[] = {
    {"customized", "ms_ls_tds_secondary_customized",
     {"pheno_seq.txt", "cov.txt", "pheno_nonseq.txt", "geno.txt", "mapping.txt", "wfile.txt"},
     {"-nsec", "1", "-cov", "cov.txt", "-test", "customized", "-wfile", "wfile.txt"}},
    {"direct", "ms_ls_tds_secondary_customized", {"pheno_seq.txt", "geno.txt"}, {"-method", "LS", "-nsec", "1"}},
    {"vt", "ms_ls_tds_primary_vt_mapping_thresholds", {"pheno_seq.txt", "geno.txt", "mapping.txt"},
     {"-method", "LS", "-test", "VT"}},
};

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l;
    return text;
}

// One random change of the file's bytes.
std::string mutate(std::string text, std::mt19937& rng) {
    static const char kBytes[] = "\t\n\r .-+eE0129NA/,x\xEF\xBB\xBF";
    static const char* const kTokens[] = {"inf", "nan", "NA", "NAN", "./.", "0/1", "1e309", "-999", "", "abc", "0x10",
                                          "2",   "-1",  "1.5", "0",   "1e-400", "N/A", "\xEF\xBB\xBF" "1", "1,5", "99999999999"};
    auto pick = [&rng](std::size_t n) { return static_cast<std::size_t>(rng() % (n == 0 ? 1 : n)); };
    switch (rng() % 9) {
        case 0:  // change one byte
            if (!text.empty()) text[pick(text.size())] = kBytes[pick(sizeof kBytes - 1)];
            break;
        case 1:  // delete one byte
            if (!text.empty()) text.erase(pick(text.size()), 1);
            break;
        case 2:  // insert one byte
            text.insert(pick(text.size() + 1), 1, kBytes[pick(sizeof kBytes - 1)]);
            break;
        case 3: {  // replace one field with a troublesome token
            std::vector<std::size_t> starts;
            for (std::size_t i = 0; i < text.size(); ++i)
                if (i == 0 || text[i - 1] == '\t' || text[i - 1] == '\n') starts.push_back(i);
            if (starts.empty()) break;
            const std::size_t at = starts[pick(starts.size())];
            std::size_t end = at;
            while (end < text.size() && text[end] != '\t' && text[end] != '\n' && text[end] != '\r') ++end;
            text.replace(at, end - at, kTokens[pick(sizeof kTokens / sizeof kTokens[0])]);
            break;
        }
        case 4: {  // duplicate, delete or move a line
            std::vector<std::string> lines = splitLines(text);
            if (lines.empty()) break;
            const std::size_t a = pick(lines.size()), b = pick(lines.size());
            const int how = static_cast<int>(rng() % 3);
            if (how == 0) lines.insert(lines.begin() + static_cast<long>(b), lines[a]);
            else if (how == 1) lines.erase(lines.begin() + static_cast<long>(a));
            else std::swap(lines[a], lines[b]);
            text = joinLines(lines);
            break;
        }
        case 5:  // cut the file short
            text.resize(pick(text.size() + 1));
            break;
        case 6: {  // Windows line ends, or blank lines at the end
            if (rng() % 2 == 0) {
                std::string crlf;
                for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
                text = crlf;
            } else {
                text += std::string(1 + pick(3), '\n');
            }
            break;
        }
        case 7:  // a byte-order mark at the start
            text.insert(0, "\xEF\xBB\xBF");
            break;
        default:  // a field split in two, or two merged
            if (const std::size_t tab = text.find('\t', pick(text.size() + 1)); tab != std::string::npos)
                text.erase(tab, 1);
            else text.insert(pick(text.size() + 1), "\t");
            break;
    }
    return text;
}

struct Outcome {
    bool exited = false;
    int status = -1;
    int signal = 0;
    std::string out, err;
};

// Runs the program in dir with args; a run that takes more than 60 s is killed.
Outcome runProgram(const std::string& dir, const std::vector<std::string>& args) {
    const std::string out_path = dir + "/.stdout", err_path = dir + "/.stderr";
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(98);
        if (!std::freopen(out_path.c_str(), "w", stdout) || !std::freopen(err_path.c_str(), "w", stderr)) _exit(99);
        // Sanitizer reports end the run with a status of their own.
        setenv("ASAN_OPTIONS", "exitcode=66:detect_leaks=0", 1);
        setenv("UBSAN_OPTIONS", "exitcode=67:halt_on_error=1:print_stacktrace=1", 1);
        alarm(60);
        std::vector<char*> argv;
        std::string bin = VENTARQUILLO_BINARY;
        argv.push_back(bin.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(97);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    Outcome o;
    o.exited = WIFEXITED(raw);
    o.status = o.exited ? WEXITSTATUS(raw) : -1;
    o.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
    o.out = readAll(out_path);
    o.err = readAll(err_path);
    return o;
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// kRuns mutated runs of one file of one configuration.
void fuzzFile(const Config& config, const std::string& file, unsigned seed) {
    constexpr int kRuns = 40;
    char tmpl[] = "/tmp/vq_fuzz_XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    std::vector<std::pair<std::string, std::string>> inputs;
    for (const std::string& f : config.files) {
        const std::string text = f == "pheno_nonseq.txt" ? std::string("0.5\n1.2\n-0.3\n0.9\n2.1\n0.0\n1.7\n")
                                                         : readAll(kCases + config.base_case + "/input/" + f);
        ASSERT_FALSE(text.empty()) << f;
        inputs.emplace_back(f, text);
    }
    std::mt19937 rng(seed);
    int ended[2] = {0, 0};
    for (int run = 0; run < kRuns; ++run) {
        std::string changed;
        for (const auto& [name, text] : inputs) {
            if (name != file) {
                writeAll(dir + "/" + name, text);
                continue;
            }
            changed = text;
            const int changes = 1 + static_cast<int>(rng() % 3);
            for (int c = 0; c < changes; ++c) changed = mutate(changed, rng);
            writeAll(dir + "/" + name, changed);
        }
        const Outcome o = runProgram(dir, config.args);
        const std::string where = std::string(config.name) + " / " + file + " run " + std::to_string(run);
        ASSERT_TRUE(o.exited) << where << ": killed by signal " << o.signal << "\n" << o.err;
        ASSERT_TRUE(o.status == 0 || o.status == 1) << where << ": status " << o.status << "\n" << o.err;
        EXPECT_EQ(o.err.find("Sanitizer"), std::string::npos) << where << "\n" << o.err;
        EXPECT_EQ(o.err.find("runtime error"), std::string::npos) << where << "\n" << o.err;
        ++ended[o.status];
        if (o.status == 0) {
            EXPECT_NE(o.out.find("END SCORE TEST"), std::string::npos) << where;
        } else {
            const bool own_stop = endsWith(o.out, kStopLine);
            const bool toolkit_stop = o.err.find("run-time error") != std::string::npos;
            EXPECT_TRUE(own_stop || toolkit_stop) << where << ": status 1 without a message\n" << o.out;
        }
    }
    std::printf("%s / %s: %d runs ended with status 0, %d with status 1\n", config.name, file.c_str(), ended[0],
                ended[1]);
    const std::string wipe = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(wipe.c_str()), 0);
}

}  // namespace

TEST(ReaderFuzz, SequencedPhenotypes) { fuzzFile(kConfigs[0], "pheno_seq.txt", 11); }
TEST(ReaderFuzz, CovariateSelection) { fuzzFile(kConfigs[0], "cov.txt", 12); }
TEST(ReaderFuzz, NonsequencedPhenotypes) { fuzzFile(kConfigs[0], "pheno_nonseq.txt", 13); }
TEST(ReaderFuzz, Genotypes) { fuzzFile(kConfigs[0], "geno.txt", 14); }
TEST(ReaderFuzz, Mapping) { fuzzFile(kConfigs[0], "mapping.txt", 15); }
TEST(ReaderFuzz, WeightFile) { fuzzFile(kConfigs[0], "wfile.txt", 16); }
TEST(ReaderFuzz, DirectModeGenotypes) { fuzzFile(kConfigs[1], "geno.txt", 17); }
TEST(ReaderFuzz, FourColumnMapping) { fuzzFile(kConfigs[2], "mapping.txt", 18); }
