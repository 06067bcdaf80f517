/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace TessaraVoltTest {

// 256 x 128 pixels, no readout time: recordings take milliseconds.
inline const std::string fastSimulator = "sensors=256x128;readout_ns_per_pixel=0";

struct RunResult {
    int exitStatus = -1; // -1 when the program did not exit by itself within the bound
    std::string out;
    std::string err;
};

// Runs uca-record with `arguments` and XISL_SIM set to `simulator`, under `wrapper` (a command
// and its options, e.g. valgrind) when one is given; stops it after `bound`.
RunResult runRecord(const std::vector<std::string> &arguments, const std::string &simulator,
                    std::chrono::seconds bound = std::chrono::seconds(100),
                    const std::vector<std::string> &wrapper = {});

// uca-record running in the background, for tests that act while it records; its standard error
// goes to a file in `logFolder`. The destructor kills it if it still runs.
class RunningRecord {
public:
    RunningRecord(const std::vector<std::string> &arguments, const std::string &simulator,
                  const std::string &logFolder);
    ~RunningRecord();
    RunningRecord(const RunningRecord &) = delete;
    RunningRecord &operator=(const RunningRecord &) = delete;

    void sendSignal(int signalNumber) const;
    int pid() const { return pid_; }
    std::string errors() const;                   // what it printed to standard error so far
    RunResult finish(std::chrono::seconds bound); // exitStatus -1 if it did not end within `bound`

private:
    std::string errPath_;
    int pid_ = -1;
    RunResult result_; // written by runner_ before done_
    std::atomic<bool> done_ = false;
    std::thread runner_;
};

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder &) = delete;
    TemporaryFolder &operator=(const TemporaryFolder &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::vector<std::string> entries() const; // sorted names, hidden ones included

private:
    std::string path_;
};

} // namespace TessaraVoltTest
