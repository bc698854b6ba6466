// Whole runs of the built program on small studies written by a test: a
// scratch folder for the input files, in which the program runs with its
// console text in console.txt.
#ifndef VENTARQUILLO_TESTS_RUN_FOLDER_H
#define VENTARQUILLO_TESTS_RUN_FOLDER_H

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "run_capture.h"

// A value as the input files hold it: "NA" for the missing code -999, else
// the iostream form (six significant digits, enough for the values of these
// studies).
inline std::string num(double v) {
    if (v == -999.0) return "NA";
    std::ostringstream os;
    os << v;
    return os.str();
}

// A tab-separated table: the header line when there is one, then row i holds
// entry i of every column.
inline std::string tableText(const std::vector<std::string>& header, const std::vector<std::vector<double>>& columns) {
    std::string text;
    for (std::size_t c = 0; c < header.size(); ++c) text += (c > 0 ? "\t" : "") + header[c];
    if (!header.empty()) text += "\n";
    const std::size_t rows = columns.empty() ? 0 : columns[0].size();
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t c = 0; c < columns.size(); ++c) text += (c > 0 ? "\t" : "") + num(columns[c][i]);
        text += "\n";
    }
    return text;
}

// A folder under /tmp, removed with everything in it when the object goes.
class RunFolder {
public:
    RunFolder() {
        char dir[] = "/tmp/vq_run_XXXXXX";
        const char* made = mkdtemp(dir);
        path_ = made != nullptr ? made : "/nonexistent";
    }
    ~RunFolder() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    void write(const std::string& name, const std::string& text) const {
        std::FILE* f = std::fopen((path_ + "/" + name).c_str(), "wb");
        if (f == nullptr) return;
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    std::string read(const std::string& name) const { return fileText(path_ + "/" + name); }
    // Runs the program with these arguments (one shell word each) in the
    // folder; returns std::system's status (0 for exit status 0).
    int run(const std::string& args) const {
        const std::string cmd = "cd '" + path_ + "' && '" VENTARQUILLO_BINARY "' " + args + " > console.txt 2>&1";
        return std::system(cmd.c_str());
    }

private:
    std::string path_;
};

#endif
