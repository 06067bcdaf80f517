#include "tool-runner.h"

#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

#include <gio/gio.h>
#include <glib/gstdio.h>

namespace ToolsTest {

namespace {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct ContextUnref {
    void operator()(GMainContext *context) const { g_main_context_unref(context); }
};

/* Pushes a private main context as the thread's default for the lifetime of the object. */
class ContextScope {
public:
    ContextScope() : context_(g_main_context_new()) { g_main_context_push_thread_default(context_.get()); }
    ~ContextScope() { g_main_context_pop_thread_default(context_.get()); }
    ContextScope(const ContextScope &) = delete;
    ContextScope &operator=(const ContextScope &) = delete;

    GMainContext *get() const { return context_.get(); }

private:
    std::unique_ptr<GMainContext, ContextUnref> context_;
};

struct Communication {
    bool done = false;
    std::string out;
    std::string err;
    std::string error;
};

std::string takeBytes(GBytes *bytes)
{
    if (bytes == nullptr)
        return {};
    gsize size = 0;
    const auto *data = static_cast<const char *>(g_bytes_get_data(bytes, &size));
    std::string text(data != nullptr ? data : "", size);
    g_bytes_unref(bytes);
    return text;
}

void onCommunicated(GObject *source, GAsyncResult *result, gpointer data)
{
    auto &communication = *static_cast<Communication *>(data);
    GBytes *out = nullptr;
    GBytes *err = nullptr;
    GError *error = nullptr;

    if (!g_subprocess_communicate_finish(G_SUBPROCESS(source), result, &out, &err, &error)) {
        communication.error = error->message;
        g_error_free(error);
    }
    communication.out = takeBytes(out);
    communication.err = takeBytes(err);
    communication.done = true;
}

gboolean onTimeout(gpointer data)
{
    *static_cast<bool *>(data) = true;
    return G_SOURCE_REMOVE;
}

} // namespace

ToolResult runTool(const std::vector<std::string> &argv, const Environment &environment,
                   std::chrono::seconds timeout)
{
    std::unique_ptr<GSubprocessLauncher, ObjectUnref> launcher(
        g_subprocess_launcher_new(GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE)));
    for (const auto &[name, value] : environment) {
        if (value)
            g_subprocess_launcher_setenv(launcher.get(), name.c_str(), value->c_str(), TRUE);
        else
            g_subprocess_launcher_unsetenv(launcher.get(), name.c_str());
    }

    std::vector<const gchar *> cargv;
    for (const auto &arg : argv)
        cargv.push_back(arg.c_str());
    cargv.push_back(nullptr);

    ContextScope context;
    GError *error = nullptr;
    std::unique_ptr<GSubprocess, ObjectUnref> process(g_subprocess_launcher_spawnv(launcher.get(), cargv.data(), &error));
    if (!process) {
        std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("cannot start " + argv.at(0) + ": " + message);
    }

    Communication communication;
    bool timedOut = false;
    GSource *timer = g_timeout_source_new_seconds(guint(timeout.count()));
    g_source_set_callback(timer, onTimeout, &timedOut, nullptr);
    g_source_attach(timer, context.get());

    g_subprocess_communicate_async(process.get(), nullptr, nullptr, onCommunicated, &communication);
    while (!communication.done && !timedOut)
        g_main_context_iteration(context.get(), TRUE);

    if (!communication.done) {
        g_subprocess_force_exit(process.get());
        while (!communication.done)
            g_main_context_iteration(context.get(), TRUE);
    }
    g_source_destroy(timer);
    g_source_unref(timer);

    if (timedOut)
        throw std::runtime_error(argv.at(0) + " did not finish in time");
    if (!communication.error.empty())
        throw std::runtime_error(argv.at(0) + ": " + communication.error);

    ToolResult result;
    result.out = std::move(communication.out);
    result.err = std::move(communication.err);
    result.status = g_subprocess_get_if_exited(process.get()) ? g_subprocess_get_exit_status(process.get())
                                                                : 128 + g_subprocess_get_term_sig(process.get());
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

std::string maskLogTimes(const std::string &text)
{
    static const std::regex stamp(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )", std::regex_constants::ECMAScript | std::regex_constants::multiline);
    return std::regex_replace(text, stamp, "[TIME] ");
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
