#include "tool-runner.h"

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <glib.h>
#include <glib/gstdio.h>

extern char **environ;

namespace ToolsTest {

namespace {

std::string readAll(int fd)
{
    std::string text;
    char chunk[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, size_t(got));
    return text;
}

// An unnamed temporary file the child writes one of its streams into.
class CaptureFile {
public:
    CaptureFile()
    {
        char name[] = "/tmp/tools-test-XXXXXX";
        fd_ = mkstemp(name);
        if (fd_ < 0)
            throw std::runtime_error("cannot make a capture file");
        unlink(name);
    }
    ~CaptureFile() { close(fd_); }
    CaptureFile(const CaptureFile &) = delete;
    CaptureFile &operator=(const CaptureFile &) = delete;

    int fd() const { return fd_; }

private:
    int fd_;
};

// The test's own environment with the given changes.
std::vector<std::string> childEnvironment(const Environment &changes)
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
ToolResult runTool(const std::vector<std::string> &argv, const Environment &environment,
                   std::chrono::seconds timeout)
{
    CaptureFile out;
    CaptureFile err;
    std::vector<std::string> arguments = argv;
    std::vector<std::string> variables = childEnvironment(environment);
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
        throw std::runtime_error("cannot start " + argv.at(0) + ": " + g_strerror(spawned));

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            throw std::runtime_error(argv.at(0) + " did not finish in time");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    ToolResult result;
    result.out = readAll(out.fd());
    result.err = readAll(err.fd());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string readFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// GRegex rather than std::regex: GCC's sanitizer builds warn inside libstdc++'s regex.
std::string maskLogTimes(const std::string &text)
{
    static GRegex *const stamp = g_regex_new(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )",
                                             GRegexCompileFlags(G_REGEX_MULTILINE | G_REGEX_RAW),
                                             GRegexMatchFlags(0), nullptr);
    gchar *masked = g_regex_replace_literal(stamp, text.c_str(), -1, 0, "[TIME] ",
                                            GRegexMatchFlags(0), nullptr);
    std::string result = masked;
    g_free(masked);
    return result;
}

PluginFolder::PluginFolder(const std::vector<std::string> &plugins)
{
    GError *error = nullptr;
    gchar *path = g_dir_make_tmp("uca-tools-XXXXXX", &error);
    if (path == nullptr) {
        std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
    path_ = path;
    g_free(path);

    for (const auto &plugin : plugins) {
        gchar *base = g_path_get_basename(plugin.c_str());
        std::string link = path_ + G_DIR_SEPARATOR_S + base;
        g_free(base);
        if (symlink(plugin.c_str(), link.c_str()) != 0) {
            removeAll();
            throw std::runtime_error("cannot link " + plugin);
        }
    }
}

PluginFolder::~PluginFolder()
{
    removeAll();
}

void PluginFolder::removeAll() const
{
    for (const auto &name : listing())
        g_remove((path_ + G_DIR_SEPARATOR_S + name).c_str());
    g_rmdir(path_.c_str());
}

std::vector<std::string> PluginFolder::listing() const
{
    std::vector<std::string> names;
    GDir *dir = g_dir_open(path_.c_str(), 0, nullptr);
    if (dir == nullptr)
        return names;
    while (const gchar *name = g_dir_read_name(dir))
        names.emplace_back(name);
    g_dir_close(dir);
    return names;
}

} // namespace ToolsTest
