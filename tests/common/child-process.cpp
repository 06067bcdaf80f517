// SPDX-License-Identifier: LGPL-2.1-or-later
#include "child-process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace TessaraVoltTest {

namespace {

std::vector<std::string> childEnvironment(const EnvironmentChanges &changes)
{
    std::vector<std::string> result;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        if (changes.count(text.substr(0, text.find('='))) == 0)
            result.push_back(text);
    }
    for (const auto &[name, value] : changes) {
        if (value)
            result.push_back(name + "=" + *value);
    }
    return result;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
    std::vector<char *> result;
    for (std::string &text : strings)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

} // namespace

CaptureFile::CaptureFile()
{
    char name[] = "/tmp/tessaravolt-test-XXXXXX";
    fd_ = mkstemp(name);
    if (fd_ < 0)
        throw std::runtime_error("cannot make a capture file");
    unlink(name);
}

CaptureFile::~CaptureFile()
{
    close(fd_);
}

// pread, not lseek and read: the child writes through the same file offset.
std::string CaptureFile::text() const
{
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = pread(fd_, chunk, sizeof chunk, off_t(text.size()))) > 0)
        text.append(chunk, size_t(got));
    return text;
}

// Plain posix_spawn and waitpid: GLib's subprocess helpers start worker threads whose internal
// races the thread sanitizer would report against the tests.
RunningChild::RunningChild(const std::vector<std::string> &argv, const EnvironmentChanges &changes)
{
    std::vector<std::string> arguments = argv;
    std::vector<std::string> variables = childEnvironment(changes);
    std::vector<char *> argumentPointers = pointers(arguments);
    std::vector<char *> variablePointers = pointers(variables);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_.fd(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_.fd(), STDERR_FILENO);
    const int spawned = posix_spawn(&pid_, argumentPointers[0], &actions, nullptr,
                                    argumentPointers.data(), variablePointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + argv.at(0) + ": " + std::strerror(spawned));
}

RunningChild::~RunningChild()
{
    if (pid_ > 0)
        finish(std::chrono::milliseconds(0));
}

void RunningChild::sendSignal(int signalNumber) const
{
    if (pid_ > 0)
        kill(pid_, signalNumber);
}

ChildResult RunningChild::finish(std::chrono::milliseconds bound)
{
    ChildResult result;
    if (pid_ <= 0) // finished already: waitpid(-1) would take any child
        return result;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    result.finished = true;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            result.finished = false;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid_ = -1;
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = out_.text();
    result.err = err_.text();
    return result;
}

ChildResult runChild(const std::vector<std::string> &argv, const EnvironmentChanges &changes,
                     std::chrono::milliseconds bound)
{
    return RunningChild(argv, changes).finish(bound);
}

} // namespace TessaraVoltTest
