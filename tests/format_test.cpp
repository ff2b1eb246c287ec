// Text folding, search text, and the display formatting of numbers, money, dates and addresses.
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <map>

using json11::Json;

namespace {

// A Core whose account database is open with the default settings of its language.
struct OpenCore {
    TempDir dir;
    std::unique_ptr<Core> core;
    explicit OpenCore(const std::string& language = "hu") {
        core = make_core(dir.path(), language);
        core->open_database();
    }
    void set_currencies(const Json::array& list) {
        core->save_record({{"recordName", "currencies"}, {"value", Json(list).dump()}}, "settings");
    }
};

Json::object currency(std::string code, int line, int total, std::string point, std::string sep, std::string symbol,
                      std::string pattern) {
    return {{"code", code},   {"digits_line", line}, {"digits_total", total}, {"decimal_point", point},
            {"thousands_sep", sep}, {"symbol", symbol}, {"pattern", pattern}};
}

}  // namespace

TEST(TextFold, NormalizeWhitespace) {
    EXPECT_EQ(normalize_whitespace("  a \t b  \r\n\r\n  c  "), "a b\nc");
    EXPECT_EQ(normalize_whitespace("a\r\rb"), "a\nb");
    EXPECT_EQ(normalize_whitespace("a\rb\r\nc\nd"), "a\nb\nc\nd");
    EXPECT_EQ(normalize_whitespace(" \r\n \t\n\v\f \r"), "");
    EXPECT_EQ(normalize_whitespace(""), "");
    EXPECT_EQ(normalize_whitespace("Fő utca\v\f1.  \n\n\n 2. emelet \t"), "Fő utca 1.\n2. emelet");
    // The no-break space is no whitespace here.
    EXPECT_EQ(normalize_whitespace("a\xC2\xA0" "b"), "a\xC2\xA0" "b");
    EXPECT_EQ(normalize_whitespace(" \xC2\xA0 "), "\xC2\xA0");
    // A long note with many lines is handled without trouble.
    std::string note;
    for (int i = 0; i < 100000; ++i) note += "  sor \r\n\t";
    std::string expected;
    for (int i = 0; i < 100000; ++i) expected += i ? "\nsor" : "sor";
    EXPECT_EQ(normalize_whitespace(note), expected);
}

TEST(TextFold, RemoveDiacritics) {
    EXPECT_EQ(remove_diacritics("Árvíztűrő TÜKÖRFÚRÓGÉP"), "Arvizturo TUKORFUROGEP");
    EXPECT_EQ(remove_diacritics("árvíztűrő tükörfúrógép"), "arvizturo tukorfurogep");
    EXPECT_EQ(remove_diacritics("Őszi Ügyfél Kft."), "Oszi Ugyfel Kft.");
    EXPECT_EQ(remove_diacritics("Łódź, Česká, Ærø, Šiauliai, Niño, Français"), "Lodz, Ceska, ro, Siauliai, Nino, Francais");
    // The odd rows: sharp s to s, long s to l, dotless i to i, fullwidth and circled letters.
    EXPECT_EQ(remove_diacritics("\u00DF\u017F\u0131\uFF37\u24B6\u24D0\u1E9E\u0149\u01DD\u0250\u2184\u1D79\u1E9B\u1E96"),
              "sliWAaSneacgsh");
    // Ligatures, signs above the Latin-1 range and other scripts vanish.
    EXPECT_EQ(remove_diacritics("Æbler €5"), "bler 5");
    EXPECT_EQ(remove_diacritics("\u0152uvre \u0132s"), "uvre s");
    EXPECT_EQ(remove_diacritics("Москва Αθήνα 東京 x"), "   x");
    EXPECT_EQ(remove_diacritics("a\U0001F600b"), "ab");
    // Latin-1 signs become blanks; U+0080 too, so the result stays valid UTF-8.
    EXPECT_EQ(remove_diacritics("a\xC2\xA0" "b"), "a b");
    EXPECT_EQ(remove_diacritics("\u00A7 12\u00B0"), "  12 ");
    EXPECT_EQ(remove_diacritics("x\xC2\x80y"), "x y");
    // Invalid bytes are dropped without taking the following character with them.
    EXPECT_EQ(remove_diacritics("\xC3" "A\xFF" "B\xE2\x82" "C\x80" "D"), "ABCD");
    EXPECT_EQ(remove_diacritics(""), "");
    // The Latin-1 letters: every one folds except the eight without a row.
    const std::string dropped = "\u00C6\u00D0\u00D7\u00DE\u00E6\u00F0\u00F7\u00FE";
    for (char32_t cp = 0xC0; cp <= 0xFF; ++cp) {
        std::string utf8{static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        std::string folded = remove_diacritics(utf8);
        if (dropped.find(utf8) != std::string::npos) {
            EXPECT_EQ(folded, "") << std::hex << static_cast<unsigned>(cp);
        } else {
            ASSERT_EQ(folded.size(), 1u) << std::hex << static_cast<unsigned>(cp);
            EXPECT_TRUE(std::isalpha(static_cast<unsigned char>(folded[0])));
            // Case is kept: the upper half of the block is lower case.
            EXPECT_EQ(std::islower(static_cast<unsigned char>(folded[0])) != 0, cp >= 0xDF);
        }
    }
}

TEST(SearchText, MembersAndPieces) {
    Json::object client = {{"name", "Kovács és Társa Kft."},
                           {"city", "Budapest"},
                           {"postcode", "1051"},
                           {"phone", "+36 (1) 123-4567"},
                           {"identifier_number", "12345678-2-41"},
                           {"recordName", "ABC-DEF"},
                           {"clientRecordName", "XYZ"},
                           {"synced", 0},
                           {"country_code", "HU"}};
    EXPECT_EQ(search_text(client), "1051 12345678-2-41 3611234567 budapest kovacs es tarsa kft");

    // Only a member named exactly "phone" counts and is reduced to digits.
    EXPECT_EQ(search_text({{"client_phone", "+36 1"}, {"supplier_phone", "555"}, {"phone", "06-30/111 22 33"}}),
              "06301112233");
    // Same folded text from two members gives one piece; commas and full stops become blanks.
    EXPECT_EQ(search_text({{"client_city", "Győr"}, {"supplier_city", "GYŐR"}, {"client_name", "A.B,C  d"},
                           {"number_formatted", "SZ-2024/1."}, {"client_address", "Fő u. 1.\r\n9021\tGyőr"}}),
              "a b c d fo u 1 9021 gyor gyor sz-2024/1");
    // Members named in part or exactly, other kinds count as empty.
    EXPECT_EQ(search_text({{"item_name", "Csavar"}, {"note", "Megjegyzés"}, {"notes", "no"}, {"sku", "SK-1"},
                           {"upc", 5990000}, {"description", Json()}, {"email", "Info@Example.HU"},
                           {"tax_summary_name2", "ÁFA"}, {"other", "Egyéb"}, {"state", "Pest"},
                           {"street", "Ág utca"}}),
              "afa ag utca csavar egyeb info@example hu megjegyzes pest sk-1");
    EXPECT_EQ(search_text({}), "");
    EXPECT_EQ(search_text({{"name", " , . "}, {"phone", "n/a"}, {"price", 10}, {"city", true}}), "");
}

TEST(SearchText, EmptyFieldsAndNumbers) {
    Json::object row = {{"a", ""}, {"b", 0}, {"c", Json()}, {"d", "x"}, {"e", Json::array{}}, {"f", ""}};
    remove_empty_fields(row);
    EXPECT_EQ(Json(row), Json(Json::object{{"b", 0}, {"c", Json()}, {"d", "x"}, {"e", Json::array{}}}));

    EXPECT_EQ(number_in_text("8 nap"), 8);
    EXPECT_EQ(number_in_text("30 days net 45"), 30);
    EXPECT_EQ(number_in_text("Net 007"), 7);
    EXPECT_EQ(number_in_text("fizetés azonnal"), 0);
    EXPECT_EQ(number_in_text(""), 0);
    EXPECT_EQ(number_in_text("x-12"), 12);
    EXPECT_EQ(number_in_text("00000000000000000000000000042 nap"), 42);
    // A digit run beyond the integer range saturates instead of failing.
    EXPECT_EQ(number_in_text("99999999999 nap"), INT_MAX);
    EXPECT_EQ(number_in_text("2147483647"), INT_MAX);
    EXPECT_EQ(number_in_text("2147483648"), INT_MAX);
    EXPECT_EQ(number_in_text(std::string(5000, '9')), INT_MAX);
}

TEST(FormatCurrency, PatternsAndDefaults) {
    OpenCore hu("hu");
    Core& c = *hu.core;
    // Default Hungarian entry: 0 decimals, "," and " ", "Ft", "3412".
    EXPECT_EQ(c.formatted_curr(-1234.56, "HUF", true, {}), "-1 235 Ft");
    EXPECT_EQ(c.formatted_curr(1234.56, "HUF", false, {}), "1 235 Ft");
    EXPECT_EQ(c.formatted_curr(-12345.6789, "", true, {}), "-12 346 Ft");
    EXPECT_EQ(c.formatted_curr(0, "HUF", true, {}), "0 Ft");
    EXPECT_EQ(c.formatted_curr(-0.001, "HUF", true, {}), "-0 Ft");  // sign of the unrounded amount
    EXPECT_EQ(c.formatted_curr(999, "huf", true, {}), "999 Ft");
    EXPECT_EQ(c.formatted_curr(1000000, "XYZ", true, {}), "1 000 000 Ft");
    EXPECT_EQ(c.formatted_curr(1234567890123.0, "HUF", true, {}), "1 234 567 890 123 Ft");
    // An amount times an emptied exchange rate is missing, not 0 Ft; so is an emptied rate.
    EXPECT_EQ(c.formatted_curr(std::nan(""), "HUF", true, {}), "\u2014 Ft");
    EXPECT_EQ(Core::formatted_rate(std::nan("")), "\u2014");
    EXPECT_EQ(Core::formatted_rate(0), "\u2014");
    EXPECT_EQ(Core::formatted_rate(392.5), "392.500000");

    // Every offered pattern, in HUF and with two decimals.
    const std::map<std::string, std::vector<std::string>> patterns = {
        {"3402", {"-1 235Ft", "1 235Ft", "-1.234,50€"}},   {"3412", {"-1 235 Ft", "1 235 Ft", "-1.234,50 €"}},
        {"2034", {"Ft-1 235", "Ft1 235", "€-1.234,50"}},   {"2134", {"Ft -1 235", "Ft 1 235", "€ -1.234,50"}},
        {"3204", {"-Ft1 235", "Ft1 235", "-€1.234,50"}},   {"3214", {"-Ft 1 235", "Ft 1 235", "-€ 1.234,50"}},
    };
    const Json& offered = c.constants["curr_patterns"];
    ASSERT_EQ(offered.array_items().size(), patterns.size());
    for (const Json& p : offered.array_items()) {
        const auto& expected = patterns.at(p.string_value());
        Json::array huf = {currency("HUF", 0, 0, ",", " ", "Ft", p.string_value())};
        Json::array eur = {currency("EUR", 2, 2, ",", ".", "€", p.string_value())};
        EXPECT_EQ(c.formatted_curr(-1234.56, "HUF", true, huf), expected[0]) << p.string_value();
        EXPECT_EQ(c.formatted_curr(1234.56, "HUF", true, huf), expected[1]) << p.string_value();
        EXPECT_EQ(c.formatted_curr(-1234.5, "EUR", false, eur), expected[2]) << p.string_value();
    }

    // The international defaults: USD (2 line / 0 total decimals) first, then EUR.
    OpenCore en("en");
    Core& e = *en.core;
    EXPECT_EQ(e.formatted_curr(-12345.6789, "USD", true, {}), "$-12,346");
    EXPECT_EQ(e.formatted_curr(-12345.6789, "USD", false, {}), "$-12,345.68");
    EXPECT_EQ(e.formatted_curr(-12345.6789, "eur", true, {}), "-12.345,68 €");
    EXPECT_EQ(e.formatted_curr(-12345.6789, "EUR", false, {}), "-12.345,68 €");
    EXPECT_EQ(e.formatted_curr(0.05, "EUR", true, {}), "0,05 €");
    EXPECT_EQ(e.formatted_curr(-0.05, "EUR", true, {}), "-0,05 €");
    EXPECT_EQ(e.formatted_curr(5, "EUR", true, {}), "5,00 €");
    EXPECT_EQ(e.formatted_curr(0, "USD", false, {}), "$0.00");
    EXPECT_EQ(e.formatted_curr(0.004, "USD", false, {}), "$0.00");
    EXPECT_EQ(e.formatted_curr(999.994, "USD", false, {}), "$999.99");
    EXPECT_EQ(e.formatted_curr(999.995001, "USD", false, {}), "$1,000.00");
    EXPECT_EQ(e.formatted_curr(1000000, "USD", true, {}), "$1,000,000");
    EXPECT_EQ(e.formatted_curr(7, "GBP", true, {}), "$7");  // unknown code: the first entry
}

TEST(FormatCurrency, OddEntriesAndStoredSetting) {
    OpenCore hu("hu");
    Core& c = *hu.core;
    // A stored setting replaces the defaults; an explicit list replaces the setting.
    hu.set_currencies({currency("CHF", 2, 2, ".", "'", "CHF", "2134"), currency("HUF", 0, 0, ",", " ", "Ft", "3412")});
    EXPECT_EQ(c.formatted_curr(-1234567.891, "", true, {}), "CHF -1'234'567.89");
    EXPECT_EQ(c.formatted_curr(12, "huf", true, {}), "12 Ft");
    EXPECT_EQ(c.formatted_curr(12, "CHF", true, {currency("CHF", 0, 0, ".", "'", "Fr.", "3402")}), "12Fr.");

    // Missing members: no symbol, no decimals, and no pattern writes nothing.
    Json::object bare = {{"code", "ABC"}, {"pattern", "3412"}, {"decimal_point", ","}, {"thousands_sep", "."}};
    EXPECT_EQ(c.formatted_curr(-1234.5678, "ABC", false, {bare}), "-1.235 ");
    Json::object no_pattern = currency("ABC", 2, 2, ",", ".", "X", "");
    EXPECT_EQ(c.formatted_curr(5, "ABC", true, {no_pattern}), "");
    // Short and over-long patterns, unknown pattern characters.
    EXPECT_EQ(c.formatted_curr(-5, "X", true, {currency("X", 0, 0, ",", " ", "S", "34")}), "-5");
    EXPECT_EQ(c.formatted_curr(-5, "X", true, {currency("X", 0, 0, ",", " ", "S", "43x2")}), "5-S");
    EXPECT_EQ(c.formatted_curr(-5, "X", true, {currency("X", 0, 0, ",", " ", "S", "342144")}), "-5S ");  // only four places count
    // Multi-byte symbol and separator stay whole.
    EXPECT_EQ(c.formatted_curr(12345, "X", true, {currency("X", 0, 0, ",", "\u2009", "\u20BD", "3412")}),
              "12\u2009" "345 \u20BD");

    // A missing or empty setting falls back to the defaults of the language.
    hu.set_currencies({});
    EXPECT_EQ(c.formatted_curr(-1234.56, "", true, {}), "-1 235 Ft");
    EXPECT_EQ(c.formatted_num(1234.5, 4), "1 234,5");
    TempDir dir;
    auto closed = make_core(dir.path(), "en");  // no database open: the setting reads as null
    EXPECT_EQ(closed->formatted_curr(-1234.56, "", true, {}), "$-1,235");
    EXPECT_EQ(closed->formatted_curr(-1234.56, "EUR", false, {}), "-1.234,56 €");
    EXPECT_EQ(closed->formatted_num(1234567.891, 2), "1,234,567.89");
}

TEST(FormatNumber, DecimalsAndSeparators) {
    OpenCore hu("hu");
    Core& c = *hu.core;
    EXPECT_EQ(c.formatted_num(1234.5, 4), "1 234,5");
    EXPECT_EQ(c.formatted_num(1234, 4), "1 234");
    EXPECT_EQ(c.formatted_num(12.3456789, 4), "12,3457");
    EXPECT_EQ(c.formatted_num(1234567.891, 0), "1 234 568");
    EXPECT_EQ(c.formatted_num(1000, 0), "1 000");
    EXPECT_EQ(c.formatted_num(100, 2), "100");
    EXPECT_EQ(c.formatted_num(10.50, 2), "10,5");
    EXPECT_EQ(c.formatted_num(0, 4), "0");
    EXPECT_EQ(c.formatted_num(-0.00001, 4), "-0");
    EXPECT_EQ(c.formatted_num(-2500.25, 1), "-2 500,2");  // the exact half rounds to even
    EXPECT_EQ(c.formatted_num(-999.9999, 2), "-1 000");
    EXPECT_EQ(c.formatted_num(0.05, 2), "0,05");
    EXPECT_EQ(c.formatted_num(123, 0), "123");

    // Decimal point and thousands separator both ".": zeros of the integer part stay.
    hu.set_currencies({currency("EUR", 2, 2, ".", ".", "€", "3412")});
    EXPECT_EQ(c.formatted_num(1000, 0), "1.000");
    EXPECT_EQ(c.formatted_num(1000, 2), "1.000");
    EXPECT_EQ(c.formatted_num(2000000.5, 2), "2.000.000.5");
    hu.set_currencies({currency("CHF", 2, 2, ".", "'", "CHF", "2134")});
    EXPECT_EQ(c.formatted_num(-1234567.125, 2), "-1'234'567.12");
    // Any other separator text, the empty one included, groups with a blank.
    hu.set_currencies({currency("X", 2, 2, ",", "", "X", "3412")});
    EXPECT_EQ(c.formatted_num(1234567, 0), "1 234 567");
    hu.set_currencies({currency("X", 2, 2, ",", "_", "X", "3412")});
    EXPECT_EQ(c.formatted_num(1234567, 0), "1 234 567");
    // An entry without a decimal point still writes its decimals after a point.
    hu.set_currencies({Json::object{{"code", "X"}}});
    EXPECT_EQ(c.formatted_num(1000, 2), "1 000");
    EXPECT_EQ(c.formatted_num(1000.25, 2), "1 000.25");
}

TEST(FormatDate, EveryShippedFormat) {
    OpenCore hu("hu");
    Core& c = *hu.core;
    // December holds a D and March an M: neither name may be read as a token.
    const std::map<std::string, std::pair<std::string, std::string>> expected = {
        {"YYYY-MM-DD", {"2024-12-05", "2007-03-09 08:05"}},
        {"YYYY. M. D.", {"2024. 12. 5.", "2007. 3. 9. 08:05"}},
        {"YYYY. MM. DD.", {"2024. 12. 05.", "2007. 03. 09. 08:05"}},
        {"YYYY.MM.DD.", {"2024.12.05.", "2007.03.09. 08:05"}},
        {"YYYY.MM.DD", {"2024.12.05", "2007.03.09 08:05"}},
        {"YYYY. MMM D.", {"2024. Dec 5.", "2007. Mar 9. 08:05"}},
        {"YYYY/M/D", {"2024/12/5", "2007/3/9 08:05"}},
        {"YYYY/MM/DD", {"2024/12/05", "2007/03/09 08:05"}},
        {"YY-MM-DD", {"24-12-05", "07-03-09 08:05"}},
        {"YY/M/D", {"24/12/5", "07/3/9 08:05"}},
        {"YY/MM/DD", {"24/12/05", "07/03/09 08:05"}},
        {"M/D/YY", {"12/5/24", "3/9/07 08:05"}},
        {"MM/DD/YYYY", {"12/05/2024", "03/09/2007 08:05"}},
        {"MM/DD/YY", {"12/05/24", "03/09/07 08:05"}},
        {"MMM D, YYYY", {"Dec 5, 2024", "Mar 9, 2007 08:05"}},
        {"D-M-YYYY", {"5-12-2024", "9-3-2007 08:05"}},
        {"D-M-YY", {"5-12-24", "9-3-07 08:05"}},
        {"D. M. YYYY", {"5. 12. 2024", "9. 3. 2007 08:05"}},
        {"D. M. YY.", {"5. 12. 24.", "9. 3. 07. 08:05"}},
        {"D. MM. YY", {"5. 12. 24", "9. 03. 07 08:05"}},
        {"D.M.YYYY", {"5.12.2024", "9.3.2007 08:05"}},
        {"D.M.YY", {"5.12.24", "9.3.07 08:05"}},
        {"D.M.YY.", {"5.12.24.", "9.3.07. 08:05"}},
        {"D.MM.YYYY", {"5.12.2024", "9.03.2007 08:05"}},
        {"D.MM.YY", {"5.12.24", "9.03.07 08:05"}},
        {"D/M/YYYY", {"5/12/2024", "9/3/2007 08:05"}},
        {"D/M/YY", {"5/12/24", "9/3/07 08:05"}},
        {"D/MM/YYYY", {"5/12/2024", "9/03/2007 08:05"}},
        {"D/MM/YY", {"5/12/24", "9/03/07 08:05"}},
        {"D MMM YYYY", {"5 Dec 2024", "9 Mar 2007 08:05"}},
        {"DD-MM-YYYY", {"05-12-2024", "09-03-2007 08:05"}},
        {"DD-MM-YY", {"05-12-24", "09-03-07 08:05"}},
        {"DD.M.YY", {"05.12.24", "09.3.07 08:05"}},
        {"DD.MM.YYYY", {"05.12.2024", "09.03.2007 08:05"}},
        {"DD.MM.YYYY.", {"05.12.2024.", "09.03.2007. 08:05"}},
        {"DD.MM.YY", {"05.12.24", "09.03.07 08:05"}},
        {"DD/MM YYYY", {"05/12 2024", "09/03 2007 08:05"}},
        {"DD/MM/YYYY", {"05/12/2024", "09/03/2007 08:05"}},
        {"DD/MM/YY", {"05/12/24", "09/03/07 08:05"}},
    };
    const Json::array& shipped = c.constants["date_formats"].array_items();
    ASSERT_EQ(shipped.size(), 39u);
    for (const Json& f : shipped) {
        auto it = expected.find(f.string_value());
        ASSERT_NE(it, expected.end()) << f.string_value();
        EXPECT_EQ(c.formatted_date("2024-12-05", f.string_value()), it->second.first) << f.string_value();
        EXPECT_EQ(c.formatted_date("2007-03-09T08:05:59", f.string_value()), it->second.second) << f.string_value();
    }
}

TEST(FormatDate, TemplatesAndUnreadableText) {
    OpenCore hu("hu");
    Core& c = *hu.core;
    EXPECT_EQ(c.formatted_date("2024-03-05T14:30:00", "YYYY-MM-DD"), "2024-03-05 14:30");
    EXPECT_EQ(c.formatted_date("2024-03-05", "D.M.YYYY"), "5.3.2024");
    EXPECT_EQ(c.formatted_date("2024-03-05", "YY/MM/DD"), "24/03/05");
    // An empty template takes the date format of the settings.
    EXPECT_EQ(c.formatted_date("2024-03-05", ""), "2024. 03. 05.");
    EXPECT_EQ(c.formatted_date("2024-05-31T23:59:00", ""), "2024. 05. 31. 23:59");
    // Other characters pass unchanged, a percent sign included.
    EXPECT_EQ(c.formatted_date("2024-03-05", "[D|%d|%Y] MMMM"), "[5|%d|%Y] Mar3");
    // A day past the month's end rolls over; the time is kept as far as it was read.
    EXPECT_EQ(c.formatted_date("2023-02-29", "YYYY-MM-DD"), "2023-03-01");
    EXPECT_EQ(c.formatted_date("2024-03-05T14", "D MMM YYYY"), "5 Mar 2024 14:00");
    EXPECT_EQ(c.formatted_date("2024-3-5", "YYYY-MM-DD"), "2024-03-05");
    // Text without a readable year, month and day gives nothing.
    for (const char* bad : {"", "hello", "2024", "2024-03", "2024-13-01", "2024-00-10", "2024-03-32", "-2024-01-01",
                            "24.03.05"})
        EXPECT_EQ(c.formatted_date(bad, "YYYY-MM-DD"), "") << bad;

    // Month names are inserted as they are, whatever letters they hold.
    TempDir dir;
    std::vector<std::string> names = {"jan.", "febr.", "márc.", "ápr.", "máj.", "jún.",
                                      "júl.", "aug.", "szept.", "okt.", "nov.", "DM%Y"};
    Core named(dir.path(), dir.path(), {}, names, test_weekday_names(), "hu", "0,0,0");
    EXPECT_EQ(named.formatted_date("2024-09-15", "YYYY. MMM D."), "2024. szept. 15.");
    EXPECT_EQ(named.formatted_date("2024-03-15T09:07:00", "YYYY. MMM D."), "2024. márc. 15. 09:07");
    EXPECT_EQ(named.formatted_date("2024-12-01", "D MMM YYYY"), "1 DM%Y 2024");
    // No database open: the language's default date format.
    EXPECT_EQ(named.formatted_date("2024-09-15", ""), "2024. 09. 15.");
    Core short_names(dir.path(), dir.path(), {}, {"a", "b"}, test_weekday_names(), "en", "0,0,0");
    EXPECT_EQ(short_names.formatted_date("2024-09-15", "D MMM"), "15 ");
    EXPECT_EQ(short_names.formatted_date("2024-09-15", ""), "2024-09-15");
}

TEST(FormatAddress, CountriesAndModes) {
    TempDir dir;
    auto core = make_core(dir.path());
    Core& c = *core;
    std::map<std::string, std::string> hu = {
        {"street", "Fő utca 1."}, {"postcode", "1051"}, {"city", "Budapest"}, {"state", ""}, {"country_code", "HU"}};
    std::map<std::string, std::string> us = {
        {"street", "1 Main St"}, {"city", "Springfield"}, {"state", "IL"}, {"postcode", "62701"}, {"country_code", "US"}};
    EXPECT_EQ(c.formatted_address(false, hu), "1051 Budapest\nFő utca 1.\nHU");
    EXPECT_EQ(c.formatted_address(true, hu), "1051 Budapest, Fő utca 1. HU");
    EXPECT_EQ(c.formatted_address(false, us), "1 Main St\nSpringfield IL 62701\nUS");
    EXPECT_EQ(c.formatted_address(true, us), "1 Main St Springfield, IL 62701 US");

    std::map<std::string, std::string> gb = {
        {"street", "10 Downing St"}, {"city", "London"}, {"state", "Greater London"}, {"postcode", "SW1A 2AA"},
        {"country_code", "GB"}};
    EXPECT_EQ(c.formatted_address(false, gb), "10 Downing St\nLondon\nGreater London\nSW1A 2AA\nGB");
    EXPECT_EQ(c.formatted_address(true, gb), "10 Downing St London, Greater London SW1A 2AA GB");
    // No city in the template: the city is not written at all.
    std::map<std::string, std::string> ky = {
        {"street", "1 Bay Rd"}, {"city", "George Town"}, {"state", "Grand Cayman"}, {"country_code", "KY"}};
    EXPECT_EQ(c.formatted_address(false, ky), "1 Bay Rd\nGrand Cayman\nKY");
    EXPECT_EQ(c.formatted_address(true, ky), "1 Bay Rd Grand Cayman KY");

    // Empty parts leave no double blank and no empty line.
    EXPECT_EQ(c.formatted_address(false, {{"postcode", "1051"}, {"city", "Budapest"}, {"country_code", "HU"}}),
              "1051 Budapest\nHU");
    us["state"] = "";
    EXPECT_EQ(c.formatted_address(false, us), "1 Main St\nSpringfield 62701\nUS");
    hu["postcode"] = "";
    EXPECT_EQ(c.formatted_address(true, hu), "Budapest, Fő utca 1. HU");
    hu["city"] = "";
    hu["postcode"] = "1051";
    EXPECT_EQ(c.formatted_address(true, hu), "1051 Fő utca 1. HU");  // no stray comma without a city

    // No template: nothing.
    EXPECT_EQ(c.formatted_address(true, {{"street", "x"}, {"country_code", "hu"}}), "");
    EXPECT_EQ(c.formatted_address(false, {{"street", "x"}}), "");
    EXPECT_EQ(c.formatted_address(false, {{"street", "x"}, {"country_code", "AQ"}}), "");

    // Field order for the dialogs: the city value "city" gets no comma.
    std::map<std::string, std::string> keys = {
        {"street", "street"}, {"city", "city"}, {"postcode", "postcode"}, {"state", "state"}};
    keys["country_code"] = "HU";
    EXPECT_EQ(c.formatted_address(true, keys), "postcode city street HU");
    keys["country_code"] = "US";
    EXPECT_EQ(c.formatted_address(true, keys), "street city state postcode US");
    keys["country_code"] = "JP";
    EXPECT_EQ(c.formatted_address(true, keys), "postcode state city street JP");

    // Field texts are taken literally, placeholders and dollar signs included.
    EXPECT_EQ(c.formatted_address(false, {{"street", "Bolt $1 $& $$ _c_"}, {"city", "_p_"}, {"postcode", "$0"},
                                          {"country_code", "DE"}}),
              "Bolt $1 $& $$ _c_\n$0 _p_\nDE");

    // A comma that would end the text goes; in one-line mode also before trailing blanks.
    EXPECT_EQ(c.formatted_address(true, {{"city", "Beijing"}, {"state", "Beijing"}, {"country_code", "CN"}}),
              "CN Beijing Beijing");
    EXPECT_EQ(c.formatted_address(false, {{"city", "Taipei"}, {"street", "No. 7,"}, {"country_code", "TW"}}),
              "TW\nTaipei\nNo. 7");
    EXPECT_EQ(c.formatted_address(true, {{"city", "Seoul"}, {"street", "Jongno 1"}, {"postcode", "03154"},
                                         {"country_code", "KR"}}),
              "03154 KR Seoul, Jongno 1");
    EXPECT_EQ(c.formatted_address(false, {{"city", "Seoul"}, {"street", "Jongno 1"}, {"postcode", "03154"},
                                          {"country_code", "KR"}}),
              "03154\nKR\nSeoul\nJongno 1");
}
