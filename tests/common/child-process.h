/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace TessaraVoltTest {

// Variables mapped to std::nullopt are removed from the child's environment.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

struct ChildResult {
    bool finished = false; // false: still running at the bound, and killed
    bool exited = false;   // ended by exiting, not by a signal
    int status = -1;       // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// An unnamed temporary file the child writes one of its streams into.
class CaptureFile {
public:
    CaptureFile();
    ~CaptureFile();
    CaptureFile(const CaptureFile &) = delete;
    CaptureFile &operator=(const CaptureFile &) = delete;

    int fd() const { return fd_; }
    std::string text() const; // what was written so far

private:
    int fd_;
};

// argv[0] started with the test's own environment changed by `changes` and no input, what it
// prints captured. Throws when it cannot be started; killed if it still runs when dropped.
class RunningChild {
public:
    RunningChild(const std::vector<std::string> &argv, const EnvironmentChanges &changes);
    ~RunningChild();
    RunningChild(const RunningChild &) = delete;
    RunningChild &operator=(const RunningChild &) = delete;

    pid_t pid() const { return pid_; }
    void sendSignal(int signalNumber) const;
    std::string errors() const { return err_.text(); }
    // Waits for its end, killing it once `bound` has passed.
    ChildResult finish(std::chrono::milliseconds bound);

private:
    CaptureFile out_;
    CaptureFile err_;
    pid_t pid_ = -1;
};

// Runs argv[0] as RunningChild does, to its end or `bound`.
ChildResult runChild(const std::vector<std::string> &argv, const EnvironmentChanges &changes,
                     std::chrono::milliseconds bound);

} // namespace TessaraVoltTest
