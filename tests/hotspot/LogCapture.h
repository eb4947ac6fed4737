/* Collects the daemon's debug lines during one test. */
#ifndef TESTS_HOTSPOT_LOG_CAPTURE_H
#define TESTS_HOTSPOT_LOG_CAPTURE_H

#include "csdebug.h"

#include <algorithm>
#include <string>
#include <vector>

class LogCapture
{
  public:
    LogCapture() { DebugSetCapture(&LogCapture::add, this); }
    ~LogCapture() { DebugSetCapture(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // How many lines contain `text`.
    long count(const std::string& text) const
    {
        return std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }
    bool has(const std::string& text) const { return count(text) > 0; }
    // Whether a failed check named exactly `name` was logged.
    bool hasCheck(const std::string& name) const { return has("check \"" + name + "\" failed"); }
    void clear() { lines_.clear(); }
    const std::vector<std::string>& lines() const { return lines_; }

  private:
    static void add(int, const char* line, void* user)
    {
        static_cast<LogCapture*>(user)->lines_.emplace_back(line);
    }

    std::vector<std::string> lines_;
};

#endif
