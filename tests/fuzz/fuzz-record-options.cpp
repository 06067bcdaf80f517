// SPDX-License-Identifier: LGPL-2.1-or-later
// uca-record's command line, parsed as the recorder parses it, without recording: any arguments
// either give options whose values the recorder can use, or are refused with a message. The
// input is the arguments after the program's name, one a line.
#include "fuzz-support.h"

extern "C" {
#include "uca-record/formats.h"
#include "uca-record/options.h"
}

#include <clocale>
#include <cmath>
#include <string>
#include <vector>

namespace TessaraVoltFuzz {
namespace {

// GOption prints the help and ends the process for these; nothing else of it prints.
bool asksForHelp(const std::string &argument)
{
    if (argument.rfind("--help", 0) == 0)
        return true;
    return argument.size() > 1 && argument[0] == '-' && argument[1] != '-' &&
           argument.find_first_of("h?") != std::string::npos;
}

// libFuzzer keeps the input with the crash: the messages need not repeat it.
void checkOptions(const Options &options, int argc)
{
    FUZZ_CHECK(argc >= 2 || options.stream.keygen, "no camera named, yet accepted");
    FUZZ_CHECK(std::isfinite(options.duration_s) && options.duration_s >= 0, "a duration of %g s",
               options.duration_s);
    FUZZ_CHECK(std::isfinite(options.timeout_s) && options.timeout_s >= 0, "a time-out of %g s",
               options.timeout_s);
    FUZZ_CHECK(options.buffer_bytes > 0, "no buffer");
    FUZZ_CHECK(options.mode <= MODE_BUFFERED && options.counter <= COUNTER_SIM_PATTERN &&
                   options.series <= SERIES_FLAT,
               "mode %d, counter %d, series %d", options.mode, options.counter, options.series);
    FUZZ_CHECK(options.format >= record_formats &&
                   options.format < record_formats + record_n_formats,
               "a format outside the table");
    FUZZ_CHECK(options.series == SERIES_DATA || record_format_holds_series(options.format),
               "series %d into --format %s", options.series, options.format->name);
    // A format or a series asked for writes files: without a folder it would be ignored.
    FUZZ_CHECK(options.output_dir != nullptr ||
                   (options.format == &record_formats[0] && options.series == SERIES_DATA),
               "--format %s without --output", options.format->name);
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
    std::vector<std::string> arguments{"uca-record"};
    for (size_t begin = 0; begin <= input.size();) {
        const size_t end = std::min(input.find('\n', begin), input.size());
        arguments.push_back(input.substr(begin, end - begin));
        if (asksForHelp(arguments.back()))
            return 0;
        begin = end + 1;
    }
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(arguments.size());
    char **parsed = argv.data();

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
    return 0;
}
