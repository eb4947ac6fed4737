// Every answer of the corpus parses to exactly what answers.golden recorded: class, type,
// rejection reason and JSON, byte for byte.
#include "AnswerSummary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace
{

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(AnswerCorpus, ParsesAsRecorded)
{
    const std::filesystem::path folder = KEL_ANSWERS_DIR;
    std::ifstream golden(folder.parent_path() / "answers.golden");
    ASSERT_TRUE(golden) << "answers.golden missing";
    size_t count = 0;
    for (std::string line; std::getline(golden, line); count++) {
        size_t tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        std::string name = line.substr(0, tab);
        EXPECT_EQ(summarizeAnswer(readFile(folder / name)), line.substr(tab + 1)) << name;
    }
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        files += entry.path().extension() == ".xml";
    EXPECT_EQ(count, files) << "every answer has its golden line";
}

} // namespace
