// AnswerSummary: one line that says everything the parser made of an answer text, so that a
// change of parser can be compared with the last one on a corpus of answers.
#ifndef ANSWERSUMMARY_H
#define ANSWERSUMMARY_H

#include <string>

// "<class>\t<type>\t<rejection reason>\t<JSON>" for the answer `text`.
std::string summarizeAnswer(const std::string& text);

#endif
