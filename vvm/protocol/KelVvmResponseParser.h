// KelVvmResponseParser: turns an answer of the voicemail web service into its response object.
#ifndef KELVVMRESPONSEPARSER_H
#define KELVVMRESPONSEPARSER_H

#include "KelVvmResponse.h"

#include <cstddef>
#include <memory>
#include <string>

class KelVvmResponseParser
{
  public:
    // Never null and never throws: anything but a well-formed, known answer is a
    // KelVvmBadResponse. The document is read without network access, without a DTD and without
    // entity substitution.
    static std::unique_ptr<KelVvmResponse> parse(const std::string& text);

    // Answers longer than this are bad answers: a call list of thousands of calls stays far
    // below it.
    static const size_t s_maxTextSize = 8u << 20;
};

#endif
