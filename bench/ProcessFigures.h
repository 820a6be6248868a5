#pragma once
// Whole process against whole process: a program is run through a fresh, small measuring process
// (`imaging_driver --measure ...`), which reports the program's wall time and peak resident memory.
// A child made by fork starts out with its parent's resident pages and the kernel keeps that peak across
// exec, so the measurer, not the benchmark with its test pictures, is the program's parent.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace bench_figures {

struct Run {
    double seconds = 0;
    long peakKiB = 0;
    int status = -1;
    bool ok() const { return status == 0; }
};

// Runs `driver --measure argv...` and reads its report.
inline Run measured(const std::string& driver, const std::vector<std::string>& argv) {
    std::vector<std::string> measure{driver, "--measure"};
    measure.insert(measure.end(), argv.begin(), argv.end());
    int output[2];
    if (pipe(output) != 0) {
        return {};
    }
    std::vector<char*> args;
    for (auto& a : measure) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    Run run;
    if (failed == 0) {
        char text[128] = {};
        const ssize_t count = read(output[0], text, sizeof text - 1);
        if (count > 0) {
            std::sscanf(text, "%lf %ld %d", &run.seconds, &run.peakKiB, &run.status);
        }
        waitpid(pid, nullptr, 0);
    }
    close(output[0]);
    return run;
}

// Rounds of one side: min / median / max of time and of peak memory; how many rounds failed.
struct Series {
    std::vector<double> milliseconds;
    std::vector<double> peakMiB;
    int failures = 0;

    // A failed round counts too: a refusal's time and memory are figures of their own.
    void add(const Run& run) {
        failures += run.ok() ? 0 : 1;
        milliseconds.push_back(run.seconds * 1000);
        peakMiB.push_back(run.peakKiB / 1024.0);
    }
    static double at(std::vector<double> values, double where) {
        if (values.empty()) {
            return 0;
        }
        std::sort(values.begin(), values.end());
        return values[static_cast<std::size_t>(where * static_cast<double>(values.size() - 1) + 0.5)];
    }
    double medianMs() const { return at(milliseconds, 0.5); }
    std::string text() const {
        if (milliseconds.empty()) {
            return "not run";
        }
        char line[160];
        std::snprintf(line, sizeof line, "%7.1f/%7.1f/%7.1f ms  %6.1f/%6.1f/%6.1f MiB%s", at(milliseconds, 0),
                      at(milliseconds, 0.5), at(milliseconds, 1), at(peakMiB, 0), at(peakMiB, 0.5),
                      at(peakMiB, 1),
                      failures == 0                                                ? ""
                      : failures == static_cast<int>(milliseconds.size()) ? "  (refused: no output)"
                                                                           : "  (some rounds failed)");
        return line;
    }
};

inline std::string loadAverage() {
    double one = 0, five = 0, fifteen = 0;
    if (FILE* file = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(file, "%lf %lf %lf", &one, &five, &fifteen) != 3) {
            one = five = fifteen = 0;
        }
        std::fclose(file);
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", one, five, fifteen);
    return text;
}

// A figure of a running process's /proc status in KiB ("VmRSS", "VmHWM"); -1 when it cannot be read (the
// process is gone).
inline long statusKiB(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// A running process's resident memory now, in KiB; -1 when it cannot be read.
inline long residentKiB(pid_t pid) {
    return statusKiB(pid, "VmRSS");
}

// The CPU time the process has used so far (user and system), in seconds.
inline double cpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses: the fields start after the last ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) {
            user = std::stoull(field);
        } else if (index == 15) {
            system = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace bench_figures
