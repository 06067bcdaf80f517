// SPDX-License-Identifier: LGPL-2.1-or-later
// uca-record's command line, parsed as the recorder parses it, without recording: any arguments
// either give options whose values the recorder can use, or are refused with a message. The
// input is the arguments after the program's name, one a line.
#include "fuzz-support.h"

extern "C" {
#include "core/formats.h"
#include "core/options.h"
}

#include <algorithm>
#include <clocale>
#include <cmath>
#include <string>
#include <vector>

namespace TessaraVoltFuzz {
namespace {

// GOption prints the help and ends the process for these; nothing else of it prints.
bool asksForHelp(const std::string &argument)
{
    return argument.rfind("--help", 0) == 0 ||
           (argument.size() > 1 && argument[0] == '-' && argument[1] != '-' &&
            argument.find_first_of("h?") != std::string::npos);
}

// libFuzzer keeps the input with the crash: the messages need not repeat it.
void checkOptions(const Options &options, int argc)
{
    FUZZ_CHECK((argc >= 2 || options.stream.keygen) && std::isfinite(options.duration_s) &&
                   options.duration_s >= 0 && std::isfinite(options.timeout_s) &&
                   options.timeout_s >= 0 && options.buffer_bytes > 0,
               "no camera, a duration of %g s, a time-out of %g s or no buffer, yet accepted",
               options.duration_s, options.timeout_s);
    FUZZ_CHECK(options.mode <= MODE_BUFFERED && options.counter <= COUNTER_SIM_PATTERN &&
                   options.series <= SERIES_FLAT && options.format >= record_formats &&
                   options.format < record_formats + record_n_formats,
               "mode %d, counter %d, series %d or the format outside their tables", options.mode,
               options.counter, options.series);
    // A format or a series asked for writes files: without a folder it would be ignored.
    FUZZ_CHECK((options.series == SERIES_DATA || record_format_holds_series(options.format)) &&
                   (options.output_dir != nullptr ||
                    (options.format == &record_formats[0] && options.series == SERIES_DATA)),
               "series %d into --format %s, or files without --output", options.series,
               options.format->name);
}

} // namespace
} // namespace TessaraVoltFuzz

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    TessaraVoltFuzz::prepareProcess(argc, argv, false);
    // As the recorder runs: the user's character set (UTF-8 here), numbers with a point.
    std::setlocale(LC_ALL, "C.UTF-8");
    std::setlocale(LC_NUMERIC, "C");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace TessaraVoltFuzz;
    // As a shell hands them over: no NUL inside an argument.
    const std::string input(reinterpret_cast<const char *>(data), size);
    if (input.find('\0') != std::string::npos)
        return 0;
    gchar **arguments = g_strsplit(("uca-record\n" + input).c_str(), "\n", -1);
    // The parser takes arguments out of the array, not from memory: it is freed as it was.
    std::vector<char *> argv(arguments, arguments + g_strv_length(arguments) + 1);
    int argc = static_cast<int>(argv.size() - 1);
    char **parsed = argv.data();
    if (std::any_of(argv.begin() + 1, argv.end() - 1, asksForHelp)) {
        g_strfreev(arguments);
        return 0;
    }
    Options options;
    GError *error = nullptr;
    if (record_parse_options(&argc, &parsed, &options, &error)) {
        FUZZ_CHECK(error == nullptr, "accepted with an error: %s", error->message);
        checkOptions(options, argc);
    } else {
        FUZZ_CHECK(error != nullptr && error->message[0] != '\0' &&
                       (error->domain == RECORD_ERROR || error->domain == G_OPTION_ERROR ||
                        error->domain == G_CONVERT_ERROR), // text not in the locale's character set
                   "refused without a message");
        g_error_free(error);
    }
    record_options_clear(&options);
    g_strfreev(arguments);
    return 0;
}
