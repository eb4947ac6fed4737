/* Points kelwisprd's settings at test endpoints for the life of one object. */
#ifndef TESTS_HOTSPOT_TEST_SETTINGS_H
#define TESTS_HOTSPOT_TEST_SETTINGS_H

#include "WISPrSettings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

class TestSettings
{
  public:
    TestSettings(const std::string& connectivityCheckHost, const std::string& accountCreationHost)
        : path_(testing::TempDir() + "kelwisprd-" + std::to_string(getpid()) + ".conf")
    {
        std::ofstream(path_) << "[Endpoints]\n"
                             << "ConnectivityCheckHost=" << connectivityCheckHost << "\n"
                             << "AccountCreationHost=" << accountCreationHost << "\n";
        EXPECT_TRUE(WISPrLoadSettings(path_.c_str()));
    }
    ~TestSettings()
    {
        std::remove(path_.c_str());
        WISPrLoadSettings(path_.c_str());
    }
    TestSettings(const TestSettings&) = delete;
    TestSettings& operator=(const TestSettings&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

#endif
