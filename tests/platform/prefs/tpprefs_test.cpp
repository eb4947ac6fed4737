// Tests of tpprefs: system properties and application values on files in a private folder.
#include "tpprefs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace
{

class Prefs : public testing::Test
{
  protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tpprefs-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        m_root = pattern;
        m_prefsDir = m_root / "prefs"; // missing on purpose: the first write makes it
        m_properties = m_root / "properties.json";
        setenv("TAMO_PREFS_DIR", m_prefsDir.c_str(), 1);
        setenv("TAMO_SYSTEM_PROPERTIES", m_properties.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(m_root); }

    static void writeFile(const fs::path& path, const std::string& text)
    {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }

    // The value as text, or the error number in brackets.
    static std::string systemValue(const char* key)
    {
        char* value = nullptr;
        TPErr err = TPSystemCopyStringValue(key, &value);
        std::string result =
            err == TP_ERR_NONE ? std::string(value) : "[" + std::to_string(err) + "]";
        TPFreeString(value);
        return result;
    }

    static std::string appValue(TPAppHandle* handle, const char* key)
    {
        char* value = reinterpret_cast<char*>(1); // must be reset on failure
        TPErr err = TPAppCopyValue(handle, key, &value);
        if (err != TP_ERR_NONE) {
            EXPECT_EQ(nullptr, value);
            return "[" + std::to_string(err) + "]";
        }
        std::string result = value;
        TPFreeString(value);
        return result;
    }

    static TPAppHandle* handleOf(const char* appId)
    {
        TPAppHandle* handle = nullptr;
        EXPECT_EQ(TP_ERR_NONE, TPAppGetHandle(appId, &handle));
        return handle;
    }

    fs::path m_root, m_prefsDir, m_properties;
};

const std::string kNoValue = "[" + std::to_string(TP_ERR_NO_VALUE) + "]";

TEST_F(Prefs, SystemPropertyTypes)
{
    writeFile(m_properties, R"({"s":"Quor Nimbos 1.4.5","path":"/a/b","i":42,"d":1.5,"b":false,
                               "n":null,"o":{},"a":[1]})");
    EXPECT_EQ("Quor Nimbos 1.4.5", systemValue("s"));
    EXPECT_EQ("/a/b", systemValue("path"));
    EXPECT_EQ("42", systemValue("i"));
    EXPECT_EQ("1.5", systemValue("d"));
    EXPECT_EQ("false", systemValue("b"));
    for (const char* key : {"n", "o", "a", "missing"})
        EXPECT_EQ(kNoValue, systemValue(key)) << key;
}

TEST_F(Prefs, SystemPropertyFileIsReadOnEachCall)
{
    EXPECT_EQ(kNoValue, systemValue("k")); // no file
    writeFile(m_properties, R"({"k":"one"})");
    EXPECT_EQ("one", systemValue("k"));
    writeFile(m_properties, R"({"k":"two"})");
    EXPECT_EQ("two", systemValue("k"));
    for (const char* text : {R"({"k":"two")", R"({"k":"two"} x)", R"(["k"])", ""}) {
        writeFile(m_properties, text);
        EXPECT_EQ(kNoValue, systemValue("k")) << text;
    }
    fs::remove(m_properties);
    fs::create_directory(m_properties); // exists but cannot be read as a file
    EXPECT_EQ(kNoValue, systemValue("k"));
}

TEST_F(Prefs, AppValueRoundTripAndMissingKey)
{
    TPAppHandle* handle = handleOf("com.quor.app");
    EXPECT_EQ(kNoValue, appValue(handle, "user")); // neither folder nor file yet
    ASSERT_EQ(TP_ERR_NONE, TPAppSetValue(handle, "user", "ann"));
    ASSERT_EQ(TP_ERR_NONE, TPAppSetValue(handle, "url", "http://h/p \"q\""));
    ASSERT_EQ(TP_ERR_NONE, TPAppSetValue(handle, "user", "bob"));
    EXPECT_EQ("bob", appValue(handle, "user"));
    EXPECT_EQ("http://h/p \"q\"", appValue(handle, "url"));
    EXPECT_EQ(kNoValue, appValue(handle, "other"));
    TPAppFreeHandle(handle);

    TPAppHandle* again = handleOf("com.quor.app");
    EXPECT_EQ("bob", appValue(again, "user"));
    TPAppFreeHandle(again);
    TPAppHandle* otherApp = handleOf("com.quor.other");
    EXPECT_EQ(kNoValue, appValue(otherApp, "user"));
    TPAppFreeHandle(otherApp);
}

TEST_F(Prefs, AppWriteReplacesFileAtomically)
{
    TPAppHandle* handle = handleOf("app");
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(TP_ERR_NONE, TPAppSetValue(handle, "k", std::to_string(i).c_str()));
    TPAppFreeHandle(handle);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_prefsDir))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(std::set<std::string>{"app.json"}, names); // no temporary file left behind
    EXPECT_EQ(fs::perms::owner_all, fs::status(m_prefsDir).permissions() & fs::perms::all);
    std::ifstream file(m_prefsDir / "app.json");
    EXPECT_EQ(R"({"k":"2"})", std::string(std::istreambuf_iterator<char>(file), {}));
}

TEST_F(Prefs, TornOrForeignAppFileReadsAsEmpty)
{
    TPAppHandle* handle = handleOf("app");
    writeFile(m_prefsDir / "app.json", R"({"a":"1","b":"2)");
    EXPECT_EQ(kNoValue, appValue(handle, "a"));
    ASSERT_EQ(TP_ERR_NONE, TPAppSetValue(handle, "c", "3"));
    EXPECT_EQ(kNoValue, appValue(handle, "a"));
    EXPECT_EQ("3", appValue(handle, "c"));
    writeFile(m_prefsDir / "app.json", R"({"n":5})");
    EXPECT_EQ(kNoValue, appValue(handle, "n"));
    TPAppFreeHandle(handle);
}

TEST_F(Prefs, ConcurrentWritersKeepEveryKey)
{
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; w++) {
        writers.emplace_back([w] {
            TPAppHandle* handle = handleOf("shared");
            for (int i = 0; i < 5; i++) {
                std::string key = std::to_string(w) + "-" + std::to_string(i);
                EXPECT_EQ(TP_ERR_NONE, TPAppSetValue(handle, key.c_str(), "v"));
            }
            TPAppFreeHandle(handle);
        });
    }
    for (auto& writer : writers)
        writer.join();
    TPAppHandle* handle = handleOf("shared");
    for (int w = 0; w < 4; w++)
        for (int i = 0; i < 5; i++)
            EXPECT_EQ("v", appValue(handle, (std::to_string(w) + "-" + std::to_string(i)).c_str()));
    TPAppFreeHandle(handle);
}

TEST_F(Prefs, UnwritableFolderIsIoError)
{
    writeFile(m_root / "file", "x");
    setenv("TAMO_PREFS_DIR", (m_root / "file" / "prefs").c_str(), 1);
    TPAppHandle* handle = handleOf("app");
    EXPECT_EQ(TP_ERR_IO, TPAppSetValue(handle, "k", "v"));
    TPAppFreeHandle(handle);
}

TEST_F(Prefs, BadArgumentsAreParamErrors)
{
    TPAppHandle* handle = nullptr;
    for (const char* appId : {"", ".", "..", "a/b", "/abs", static_cast<const char*>(nullptr)})
        EXPECT_EQ(TP_ERR_PARAM, TPAppGetHandle(appId, &handle)) << (appId ? appId : "NULL");
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(TP_ERR_PARAM, TPAppGetHandle("app", nullptr));

    handle = handleOf("app");
    char* value = nullptr;
    EXPECT_EQ(TP_ERR_PARAM, TPAppCopyValue(nullptr, "k", &value));
    EXPECT_EQ(TP_ERR_PARAM, TPAppCopyValue(handle, nullptr, &value));
    EXPECT_EQ(TP_ERR_PARAM, TPAppCopyValue(handle, "k", nullptr));
    EXPECT_EQ(TP_ERR_PARAM, TPAppSetValue(nullptr, "k", "v"));
    EXPECT_EQ(TP_ERR_PARAM, TPAppSetValue(handle, nullptr, "v"));
    EXPECT_EQ(TP_ERR_PARAM, TPAppSetValue(handle, "k", nullptr));
    EXPECT_EQ(TP_ERR_PARAM, TPSystemCopyStringValue(nullptr, &value));
    EXPECT_EQ(TP_ERR_PARAM, TPSystemCopyStringValue("k", nullptr));
    EXPECT_FALSE(fs::exists(m_prefsDir)); // nothing was written
    TPAppFreeHandle(handle);
    TPAppFreeHandle(nullptr);
    TPFreeString(nullptr);
}

} // namespace
