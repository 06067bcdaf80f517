// SPDX-License-Identifier: LGPL-2.1-or-later
#include "child-process.h"

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

// An unnamed temporary file the child writes one of its streams into.
class CaptureFile {
public:
    CaptureFile()
    {
        char name[] = "/tmp/tessaravolt-test-XXXXXX";
        fd_ = mkstemp(name);
        if (fd_ < 0)
            throw std::runtime_error("cannot make a capture file");
        unlink(name);
    }
    ~CaptureFile() { close(fd_); }
    CaptureFile(const CaptureFile &) = delete;
    CaptureFile &operator=(const CaptureFile &) = delete;

    int fd() const { return fd_; }

    std::string text() const
    {
        std::string text;
        char chunk[4096];
        lseek(fd_, 0, SEEK_SET);
        ssize_t got;
        while ((got = read(fd_, chunk, sizeof chunk)) > 0)
            text.append(chunk, size_t(got));
        return text;
    }

private:
    int fd_;
};

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

// Plain posix_spawn and waitpid: GLib's subprocess helpers start worker threads whose internal
// races the thread sanitizer would report against the tests.
ChildResult runChild(const std::vector<std::string> &argv, const EnvironmentChanges &changes,
                     std::chrono::milliseconds bound)
{
    CaptureFile out;
    CaptureFile err;
    std::vector<std::string> arguments = argv;
    std::vector<std::string> variables = childEnvironment(changes);
    std::vector<char *> argumentPointers = pointers(arguments);
    std::vector<char *> variablePointers = pointers(variables);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out.fd(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.fd(), STDERR_FILENO);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argumentPointers[0], &actions, nullptr,
                                    argumentPointers.data(), variablePointers.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + argv.at(0) + ": " + std::strerror(spawned));

    ChildResult result;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    result.finished = true;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.finished = false;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.exited = WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = out.text();
    result.err = err.text();
    return result;
}

} // namespace TessaraVoltTest
