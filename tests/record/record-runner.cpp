// SPDX-License-Identifier: LGPL-2.1-or-later
#include "record-runner.h"

#include "child-process.h"
#include "wait-until.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace TessaraVoltTest {

namespace {

// Under AddressSanitizer, LeakSanitizer's exit-time scan of dynamic thread-local storage
// (glibc 2.36, GCC 12) crashes in some uca-record runs ("Tracer caught signal 11") before it
// looks for leaks. uca-record's leaks are checked by valgrind in the plain build instead.
std::string childAsanOptions()
{
    const char *options = getenv("ASAN_OPTIONS");
    std::string text = options != nullptr ? options : "";
#ifdef RECORD_TEST_ADDRESS_SANITIZER
    text += " detect_leaks=0";
#endif
    return text;
}

} // namespace

RunResult runRecord(const std::vector<std::string> &arguments, const std::string &simulator,
                    std::chrono::seconds bound, const std::vector<std::string> &wrapper)
{
    std::vector<std::string> argv = wrapper;
    argv.push_back(UCA_RECORD_PATH);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildResult child =
        runChild(argv, {{"XISL_SIM", simulator}, {"ASAN_OPTIONS", childAsanOptions()}}, bound);
    return RunResult{child.finished ? child.status : -1, std::move(child.out),
                     std::move(child.err)};
}

// A shell notes its process id, which stays uca-record's as it becomes uca-record, and sends its
// standard error to a file that can be read while it runs.
RunningRecord::RunningRecord(const std::vector<std::string> &arguments,
                             const std::string &simulator, const std::string &logFolder)
    : errPath_(logFolder + "/pid.err")
{
    const std::vector<std::string> wrapper{
        "/bin/sh", "-c", "echo $$ > \"$0\"; exec \"$@\" 2> \"$0.err\"", logFolder + "/pid"};
    runner_ = std::thread([this, arguments, simulator, wrapper] {
        result_ = runRecord(arguments, simulator, std::chrono::seconds(300), wrapper);
        done_ = true;
    });
    waitUntil(
        [&] {
            std::ifstream file(logFolder + "/pid");
            const std::string text(std::istreambuf_iterator<char>(file), {});
            pid_ = !text.empty() && text.back() == '\n' ? std::stoi(text) : -1;
            return pid_ > 0;
        },
        std::chrono::seconds(60));
}

RunningRecord::~RunningRecord()
{
    if (runner_.joinable()) {
        if (pid_ > 0)
            kill(pid_, SIGKILL);
        runner_.join();
    }
}

void RunningRecord::sendSignal(int signalNumber) const
{
    if (pid_ > 0)
        kill(pid_, signalNumber);
}

std::string RunningRecord::errors() const
{
    std::ifstream stream(errPath_);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

RunResult RunningRecord::finish(std::chrono::seconds bound)
{
    if (!waitUntil([&] { return done_.load(); }, bound))
        sendSignal(SIGKILL);
    runner_.join();
    result_.err = errors();
    return result_;
}

TemporaryFolder::TemporaryFolder()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "record-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary folder");
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code ignored;
    // Tests may take write permission away; give it back so the folder can go.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TemporaryFolder::entries() const
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace TessaraVoltTest
