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
    // KelVvmBadResponse. The text is streamed once, without network access, without a document
    // type declaration and without entity declarations; the XML library's messages go to the
    // service's log. Any text costs time linear in its size: the bounds below end the parse
    // as soon as a shape that no answer has shows up.
    static std::unique_ptr<KelVvmResponse> parse(const std::string& text);

    // A 1,000-call list is about 370 KiB: this leaves room for about 2,800 calls.
    static constexpr size_t s_maxTextSize = 1u << 20;
    // Attributes of one element, namespace declarations included; answers carry up to four.
    static constexpr size_t s_maxAttributes = 16;
    // Element nesting; answers nest seven deep (Envelope, Body, answer, out, Call,
    // messageVocal, field).
    static constexpr size_t s_maxDepth = 32;
    // Namespace declarations in scope at once; answers have up to five.
    static constexpr size_t s_maxNamespaces = 16;
    // Character data between two pieces of markup; the longest field of an answer, an audio
    // address or a fault text, stays far below it.
    static constexpr size_t s_maxTextRun = 64u << 10;
};

#endif
