// The application object's start-up, the account scan, and the small shared helpers.
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <utime.h>

using json11::Json;

namespace {

void touch(const std::string& path, std::time_t modified) {
    utimbuf times{modified, modified};
    ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
}

void touch_exactly(const std::string& path, std::time_t seconds, long nanoseconds) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

}  // namespace

TEST(CoreStart, FilesChangedWithinOneSecondAreToldApart) {
    // Both orders, so that the directory's own order cannot pick the right file by chance.
    for (const bool user_newer : {true, false}) {
        SCOPED_TRACE(user_newer ? "user's account newer" : "sample newer");
        TempDir dir;
        const std::string user = dir.write("0F1E2D3C-ACME.tvr", "u");
        const std::string sample = dir.write("DEMO.tvr", "d");
        touch_exactly(user, 1700000000, user_newer ? 700000000 : 200000000);
        touch_exactly(sample, 1700000000, user_newer ? 200000000 : 700000000);
        EXPECT_EQ(make_core(dir.path())->current_account, user_newer ? "0F1E2D3C-ACME" : "DEMO");
        // One nanosecond is enough.
        touch_exactly(user, 1700000001, 5);
        touch_exactly(sample, 1700000001, 4);
        EXPECT_EQ(make_core(dir.path())->current_account, "0F1E2D3C-ACME");
    }
}

TEST(CoreStart, NewestAccountFileIsCurrent) {
    TempDir dir;
    touch(dir.write("Alpha.tvr", "a"), 1700000000);
    touch(dir.write("Beta.tvr", "b"), 1700000100);
    touch(dir.write("Gamma.TVR", "c"), 1800000000);   // suffix is case-sensitive
    touch(dir.write("abc.tvr", "d"), 1800000000);     // stem shorter than four characters
    touch(dir.write("notes.tvr.bak", "e"), 1800000000);
    auto core = make_core(dir.path());
    EXPECT_EQ(core->current_account, "Beta");
    EXPECT_EQ(core->db, nullptr);  // the constructor does not open the database
    EXPECT_EQ(core->list_page, 0);
    EXPECT_EQ(core->list_count, 0);
    EXPECT_TRUE(core->list_summary.empty());
}

TEST(CoreStart, DemoWhenNoAccountAndFolderCreated) {
    TempDir dir;
    {
        touch(dir.write("abc.tvr", "x"), 1700000000);
        auto core = make_core(dir.path());
        EXPECT_EQ(core->current_account, "DEMO");
    }
    {
        std::string missing = dir.path() + "data/";
        auto core = make_core(missing);
        EXPECT_EQ(core->current_account, "DEMO");
        struct stat st;
        EXPECT_EQ(stat(missing.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
    {
        // The folder cannot be made (its parent does not exist): no account at all.
        auto core = make_core(dir.path() + "no/such/", "hu", dir.path());
        EXPECT_EQ(core->current_account, "");
    }
    {
        touch(dir.write("abcd.tvr", "x"), 1800000000);
        auto core = make_core(dir.path());
        EXPECT_EQ(core->current_account, "abcd");
    }
}

TEST(CoreStart, LanguageSelectsHungarian) {
    TempDir dir;
    EXPECT_TRUE(make_core(dir.path(), "hu")->is_hungarian);
    EXPECT_FALSE(make_core(dir.path(), "HU")->is_hungarian);
    EXPECT_FALSE(make_core(dir.path(), "en")->is_hungarian);
    auto core = make_core(dir.path(), "en");
    EXPECT_EQ(core->language, "en");
    EXPECT_EQ(core->month_names.size(), 12u);
    EXPECT_EQ(core->weekday_names.size(), 7u);
    EXPECT_EQ(core->system_info.at("currency_code"), "HUF");
    EXPECT_EQ(core->accent_color, "0,120,215");

    // A locale that names no country (C.UTF-8): a new account lists Hungary, never an empty code.
    for (const char* language : {"hu", "en"}) {
        Core bare(dir.path() + language + "/", dir.path(), {{"platform", "win"}, {"country_code", ""}},
                  test_month_names(), test_weekday_names(), language, "0,0,0");
        bare.current_account = "5E6F7A8B-0000-4000-8000-00000000000C";
        bare.open_database();
        EXPECT_EQ(bare.setting("countries"), Json(Json::array{Json::object{{"code", "HU"}}})) << language;
    }
}

TEST(Utilities, FindObjectAndIndexOf) {
    Json::array list = {Json(Json::object{{"id", "A1"}, {"n", 1}}), Json(Json::object{{"id", "b2"}, {"n", 2}})};
    EXPECT_EQ(find_object(list, false, "id", "B2").at("n").int_value(), 2);
    EXPECT_TRUE(find_object(list, false, "id", "c3").empty());
    EXPECT_EQ(find_object(list, true, "id", "c3").at("id").string_value(), "A1");
    EXPECT_TRUE(find_object({}, true, "id", "x").empty());
    EXPECT_TRUE(find_object({Json(Json::object{{"id", 5}})}, false, "id", "5").empty());  // a number is no text
    // An empty value matches the first element whose member is missing or not a text.
    Json::array mixed = {Json(Json::object{{"id", "x"}}), Json(Json::object{{"id", 7}, {"n", 3}})};
    EXPECT_EQ(find_object(mixed, false, "id", "").at("n").int_value(), 3);

    Json::array texts = {"x", "y", "z"};
    EXPECT_EQ(index_of(texts, "", "z"), 2);
    EXPECT_EQ(index_of(texts, "", "w"), 0);
    EXPECT_EQ(index_of(list, "id", "b2"), 1);
    EXPECT_EQ(index_of(list, "id", "B2"), 0);  // case matters here
}

TEST(Utilities, CaseAndSplit) {
    EXPECT_EQ(to_upper("abc áő"), "ABC áő");
    EXPECT_EQ(to_lower("ÁBC Ő"), "Ábc Ő");
    EXPECT_EQ(split(',', ""), std::vector<std::string>{""});
    EXPECT_EQ(split(',', ",a"), (std::vector<std::string>{"", "a"}));
    EXPECT_EQ(split(',', "a,,b"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(split(',', "a,"), (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(split(';', std::string("a;b\0;c", 7)), (std::vector<std::string>{"a", "b"}));
}

TEST(Utilities, DatesFollowTheClock) {
    // 2024-02-10 10:00 UTC, inside winter time in Budapest.
    set_clock([] { return std::time_t(1707559200); });
    EXPECT_EQ(iso_date(0), "2024-02-10");
    EXPECT_EQ(local_time(0).tm_mday, 10);
    std::tm d = make_date(2024, 1, 30);
    EXPECT_EQ(format_time(d, "%Y-%m-%d %H"), "2024-03-01 12");
    EXPECT_EQ(format_time(make_date(2024, 0, 0), "%Y-%m-%d"), "2023-12-31");
    EXPECT_EQ(format_time(make_date(2023, 12, 1), "%Y-%m-%d"), "2024-01-01");
    // Across the change to summer time the calendar day stays.
    EXPECT_EQ(format_time(make_date(2024, 6, 15), "%Y-%m-%d"), "2024-07-15");
    EXPECT_EQ(iso_date(1719741600), "2024-06-30");
    EXPECT_EQ(format_time(d, "%Y-%m-%d %Y-%m-%d %Y-%m-"), "");  // 30 characters do not fit
    EXPECT_EQ(format_time(d, "%Y-%m-%d %Y-%m-%d %Y-%m"), "2024-03-01 2024-03-01 2024-03");
    set_clock(nullptr);
    EXPECT_NEAR(static_cast<double>(clock_now()), static_cast<double>(std::time(nullptr)), 5.0);
}

TEST(Utilities, SaturatingConversions) {
    EXPECT_EQ(saturated_int(3.7), 3);
    EXPECT_EQ(saturated_int(-3.7), -3);
    EXPECT_EQ(saturated_int(1e12), 2147483647);
    EXPECT_EQ(saturated_int(-1e12), -2147483647 - 1);
    EXPECT_EQ(saturated_int(std::nan("")), 0);
    EXPECT_EQ(saturated_int64(1e30), INT64_MAX);
    EXPECT_EQ(saturated_int64(-1e30), INT64_MIN);
    EXPECT_EQ(saturated_int64(1700000000000.0), 1700000000000LL);
    EXPECT_EQ(saturated_int64(std::nan("")), 0);
}

TEST(RecordNames, UuidForm) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string name = new_record_name();
        ASSERT_EQ(name.size(), 36u);
        for (size_t p = 0; p < name.size(); ++p) {
            if (p == 8 || p == 13 || p == 18 || p == 23) {
                ASSERT_EQ(name[p], '-');
            } else {
                ASSERT_TRUE((name[p] >= '0' && name[p] <= '9') || (name[p] >= 'A' && name[p] <= 'F')) << name;
            }
        }
        EXPECT_EQ(name[14], '4');  // random version 4
        EXPECT_NE(std::string("89AB").find(name[19]), std::string::npos);
        seen.insert(name);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(Base64, EncodesBinaryAndFiles) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("f"), "Zg==");
    EXPECT_EQ(base64_encode("fo"), "Zm8=");
    EXPECT_EQ(base64_encode("foo"), "Zm9v");
    EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    const std::string expected =
        "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJT"
        "VFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaan"
        "qKmqq6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7"
        "/P3+/w==";
    EXPECT_EQ(base64_encode(all), expected);

    TempDir dir;
    EXPECT_EQ(file_base64(dir.write("two", std::string("\xFF\xFE", 2))), "//4=");
    EXPECT_EQ(file_base64(dir.write("crlf", "a\r\nb")), "YQ0KYg==");
    EXPECT_EQ(file_base64(dir.write("empty", "")), "");
    EXPECT_EQ(file_base64(dir.path() + "missing"), "");
}

TEST(Configuration, EnvironmentOverridesEachCall) {
    unsetenv("TAVRIN_NAV_URL");
    std::string builtin = endpoint_config().nav_url;
    EXPECT_EQ(builtin.rfind("https://", 0), 0u);
    setenv("TAVRIN_NAV_URL", "http://127.0.0.1:1234", 1);
    EXPECT_EQ(endpoint_config().nav_url, "http://127.0.0.1:1234");
    unsetenv("TAVRIN_NAV_URL");
    EXPECT_EQ(endpoint_config().nav_url, builtin);
    setenv("TAVRIN_DATA_DIR", "/tmp/x", 1);
    EXPECT_EQ(endpoint_config().data_dir, "/tmp/x/");
    unsetenv("TAVRIN_DATA_DIR");
    EXPECT_EQ(endpoint_config().data_dir, "");
}
