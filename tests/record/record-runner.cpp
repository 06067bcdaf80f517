// SPDX-License-Identifier: LGPL-2.1-or-later
#include "record-runner.h"

#include "child-process.h"
#include "wait-until.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char **environ;

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
    return RunResult{child.exited ? child.status : -1, std::move(child.out), std::move(child.err)};
}

RunningRecord::RunningRecord(const std::vector<std::string> &arguments,
                             const std::string &simulator, const std::string &logFolder)
    : outPath_(logFolder + "/out.txt"), errPath_(logFolder + "/err.txt")
{
    std::vector<std::string> argv{UCA_RECORD_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        if (text.rfind("XISL_SIM=", 0) != 0 && text.rfind("ASAN_OPTIONS=", 0) != 0)
            environment.push_back(text);
    }
    environment.push_back("XISL_SIM=" + simulator);
    environment.push_back("ASAN_OPTIONS=" + childAsanOptions());

    auto pointers = [](std::vector<std::string> &strings) {
        std::vector<char *> result;
        for (std::string &text : strings)
            result.push_back(text.data());
        result.push_back(nullptr);
        return result;
    };
    std::vector<char *> argvPointers = pointers(argv);
    std::vector<char *> environmentPointers = pointers(environment);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    const int failed = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, argvPointers.data(),
                                   environmentPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        throw std::runtime_error("cannot start uca-record");
}

RunningRecord::~RunningRecord()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void RunningRecord::sendSignal(int signalNumber) const
{
    kill(pid_, signalNumber);
}

std::string RunningRecord::errors() const
{
    std::ifstream stream(errPath_);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

RunResult RunningRecord::finish(std::chrono::seconds bound)
{
    RunResult result;
    int status = 0;
    if (waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, bound)) {
        pid_ = -1;
        result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::ifstream out(outPath_);
    result.out.assign(std::istreambuf_iterator<char>(out), {});
    result.err = errors();
    return result;
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
