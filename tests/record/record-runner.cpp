#include "record-runner.h"

#include "child-process.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace RecordTest {

RunResult runRecord(const std::vector<std::string> &arguments, const std::string &simulator,
                    std::chrono::seconds bound, const std::vector<std::string> &wrapper)
{
    std::vector<std::string> argv = wrapper;
    argv.push_back(UCA_RECORD_PATH);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    TessaraVoltTest::ChildResult child =
        TessaraVoltTest::runChild(argv, {{"XISL_SIM", simulator}}, bound);
    return RunResult{child.exited ? child.status : -1, std::move(child.out), std::move(child.err)};
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

} // namespace RecordTest
