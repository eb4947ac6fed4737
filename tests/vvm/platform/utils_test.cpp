// The service-wide JSON rule, trimming, free space and system properties.
#include "KelVvmMediaFiles.h"
#include "KelVvmUtils.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <glib.h>
#include <glib/gstdio.h>
#include <stdexcept>

namespace
{

void expectRuntimeError(const std::function<void()>& action, const std::string& text)
{
    try {
        action();
        ADD_FAILURE() << "no exception; expected \"" << text << "\"";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), text);
    }
}

TEST(Json, OnlyObjectsAndArraysAtTheTop)
{
    EXPECT_TRUE(vtjsonParse("[]").isArray());
    JValue object = vtjsonParse("{\"a\":[1,{\"b\":null}]}");
    EXPECT_EQ(vtjsonToString(object), "{\"a\":[1,{\"b\":null}]}");
    for (const char* text : {"\"abc\"", "42", "true", "null", "", "{\"a\":", "{} x"})
        expectRuntimeError([&] { vtjsonParse(text); }, "JSON parse exception");
    JValue scalar("text");
    expectRuntimeError([&] { vtjsonToString(scalar); }, "JSON toString exception");
}

TEST(Trim, RemovesOnlyTheSetAtBothEnds)
{
    const std::string set = "\r\n\t ";
    EXPECT_EQ(trimWhitespace(" \tok\r\n", set), "ok");
    EXPECT_EQ(trimWhitespace("   ", set), "");
    EXPECT_EQ(trimWhitespace("", set), "");
    EXPECT_EQ(trimWhitespace(" a b ", set), "a b");
    EXPECT_EQ(trimWhitespace("xxaxx", "x"), "a");
}

TEST(FreeSpace, ExistingAndMissingPaths)
{
    EXPECT_GT(getFreeSpace("/tmp"), 0);
    expectRuntimeError([] { getFreeSpace("/no/such/path/at/all"); }, "Unable to get free space");
}

TEST(SystemProperty, ReadsTextAndLeavesOutputAloneWhenMissing)
{
    gchar* dir = g_dir_make_tmp("props-XXXXXX", nullptr);
    std::string file = std::string(dir) + "/properties.json";
    std::ofstream(file) << "{\"com.quor.properties.version\":\"Quor Nimbos 1.4.5\"}";
    g_setenv("TAMO_SYSTEM_PROPERTIES", file.c_str(), TRUE);

    std::string out = "unchanged";
    EXPECT_TRUE(getTamoPrefSystemValue("com.quor.properties.version", out));
    EXPECT_EQ(out, "Quor Nimbos 1.4.5");
    out = "unchanged";
    EXPECT_FALSE(getTamoPrefSystemValue("com.quor.unknown", out));
    EXPECT_EQ(out, "unchanged");

    g_setenv("TAMO_SYSTEM_PROPERTIES", "/no/such/file.json", TRUE);
    EXPECT_FALSE(getTamoPrefSystemValue("com.quor.properties.version", out));
    EXPECT_EQ(out, "unchanged");
    g_unsetenv("TAMO_SYSTEM_PROPERTIES");
    remove(file.c_str());
    g_rmdir(dir);
    g_free(dir);
}

TEST(MediaFiles, OnlyPlainNamesDirectlyInsideTheFolder)
{
    EXPECT_TRUE(isPlainFileName("0612345678_20260101"));
    EXPECT_TRUE(isPlainFileName("..amr"));
    EXPECT_TRUE(isPlainFileName(std::string(255, 'a')));
    for (const std::string& bad :
         {std::string(), std::string("."), std::string(".."), std::string("a/b"),
          std::string("/etc"), std::string("a\0b", 3), std::string(256, 'a')})
        EXPECT_FALSE(isPlainFileName(bad)) << bad;

    const std::string folder = "/media/kel/";
    EXPECT_TRUE(isFileInFolder("/media/kel/1.amr", folder));
    for (const char* bad : {"/media/kel/", "/media/kel/../x", "/media/kel/a/b.amr", "/media/kelx/1",
                            "/etc/passwd", "1.amr", "/media/kel/.."})
        EXPECT_FALSE(isFileInFolder(bad, folder)) << bad;
    EXPECT_FALSE(isFileInFolder("/media/kel/1.amr", "/media/kel"));
}

} // namespace
