// Prints the golden summary of each answer file named on the command line, one
// "<file name>\t<summary>" line each: the reference that the corpus test compares with.
// Usage: answers_golden tests/vvm/protocol/answers/*.xml > tests/vvm/protocol/answers.golden
#include "AnswerSummary.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; i++) {
        std::ifstream file(argv[i], std::ios::binary);
        if (!file) {
            std::cerr << "cannot read " << argv[i] << "\n";
            return 1;
        }
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::cout << std::filesystem::path(argv[i]).filename().string() << "\t"
                  << summarizeAnswer(text) << "\n";
    }
    return 0;
}
