// The translation tables, their look-up and the constant tables built by the constructor.
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>

using json11::Json;

namespace {

std::unique_ptr<Core> core_in(const TempDir& dir, const std::string& language) {
    return make_core(dir.path() + "data/", language);
}

std::set<std::string> keys_of(const Json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.object_items()) keys.insert(key);
    return keys;
}

std::vector<std::string> ids_of(const Json& options) {
    std::vector<std::string> ids;
    for (const Json& row : options.array_items()) ids.push_back(row["id"].string_value());
    return ids;
}

// The name of the option row whose id is `id`, or "?" when there is none.
std::string name_of(const Json& options, const std::string& id) {
    for (const Json& row : options.array_items())
        if (row["id"].string_value() == id) return row["name"].string_value();
    return "?";
}

}  // namespace

TEST(Translations, BothLanguagesHoldTheSame257StringKeys) {
    TempDir dir;
    auto core = core_in(dir, "hu");
    ASSERT_EQ(core->translations.size(), 2u);
    const Json& en = core->translations.at("en");
    const Json& hu = core->translations.at("hu");
    EXPECT_EQ(en.object_items().size(), 257u);
    EXPECT_EQ(keys_of(en), keys_of(hu));
    for (const Json* table : {&en, &hu})
        for (const auto& [key, value] : table->object_items()) EXPECT_TRUE(value.is_string()) << key;

    // Only these three English texts are empty; every Hungarian one has text.
    std::set<std::string> empty_en;
    for (const auto& [key, value] : en.object_items())
        if (value.string_value().empty()) empty_en.insert(key);
    EXPECT_EQ(empty_en, (std::set<std::string>{"archivum", "convert", "import_invoices"}));
    for (const auto& [key, value] : hu.object_items()) EXPECT_FALSE(value.string_value().empty()) << key;

    // "%s" appears in exactly the five rows that take an argument.
    for (const Json* table : {&en, &hu}) {
        std::set<std::string> with_arg;
        for (const auto& [key, value] : table->object_items())
            if (value.string_value().find("%s") != std::string::npos) with_arg.insert(key);
        EXPECT_EQ(with_arg, (std::set<std::string>{"confirm_delete", "confirm_return", "import_successful",
                                                   "inventory_purchase_price_header", "inventory_quantity_header"}));
    }
}

TEST(Translations, QuotedTextsAreExact) {
    TempDir dir;
    auto core = core_in(dir, "hu");
    const Json& en = core->translations.at("en");
    const Json& hu = core->translations.at("hu");

    EXPECT_EQ(en["confirm_delete"].string_value(),
              "\"%s\" will be deleted from iCloud on all your devices.\nYou can't undo this action. Are you sure "
              "you want to delete?");
    EXPECT_EQ(hu["confirm_delete"].string_value(),
              "\"%s\" törlődik az iCloudból minden eszközén.\nEz a művelet nem vonható vissza. Biztosan szeretné "
              "törölni?");
    EXPECT_EQ(en["confirm_return"].string_value(), "%s\nAre you sure you want to return the item?");
    EXPECT_EQ(hu["confirm_return"].string_value(), "%s\nBiztosan szeretne visszáruzni a terméket?");
    EXPECT_EQ(en["import_successful"].string_value(), "%s line successfully imported");
    EXPECT_EQ(hu["inventory_purchase_price_header"].string_value(), "Beszerzési ár (utolsó %s)");
    EXPECT_EQ(en["formats_doc_info"].string_value(),
              "\"YYYY\" The year as a four-digit number.\n\"NNNN\" The auto increment document number.");
    EXPECT_EQ(hu["formats_date_info"].string_value(),
              "\"YY\" Az év 00-tól 99-ig.\n\"YYYY\" Az évszám négyjegyű számként.\n\"M\" A hónap 1-től 12-ig.\n"
              "\"MM\" A hónap 01-től 12-ig.\n\"MMM\" A hónap rövid neve.\n\"D\" A hónap napja 1-től 31-ig.\n"
              "\"DD\" A hónap napja 01-től 31-ig.");
    EXPECT_EQ(en["ONBOARDING_TITLE"].string_value(), "Tavrin Invoice\nwith Extras");
    EXPECT_EQ(hu["ONBOARDING_IMAGE_1"].string_value(), "Sidebar_ARCHIVE_INVOICE");
    EXPECT_EQ(en["import_items"].string_value(),
              "CSV file columns:\n1.\tName\n2.\tDescription\n3.\tSKU\n4.\tUPC\n5.\tNet Unit Price\n6.\tTax/VAT "
              "Name\n7.\tUnit Name\n8.\tNote\n\nThe following conditions are required for a successful save:\n• CSV "
              "file format, UTF-8 character encoding\n• A separator character ( ; ) Semicolon\n• Item with the same "
              "name has not been saved yet\n• Exactly 8 columns in the specified order\n• The Tax/VAT name is listed "
              "in Settings > Taxes\n• The Unit name is listed in Settings > Units");
    const std::string clients_hu = hu["import_clients"].string_value();
    EXPECT_NE(clients_hu.find("\n2.\tAdószám (magánszemély ha nem 13 karakter hosszú)\n"), std::string::npos);
    EXPECT_NE(clients_hu.find("\n5.\tVáros\n6.\tUtca\n7.\t"), std::string::npos);
    const std::string invoices_hu = hu["import_invoices"].string_value();
    EXPECT_EQ(invoices_hu.rfind("1. A régi számlázó programból exportálja ki a számlákat az \"Adóhatósági "
                                "ellenőrzési adatszolgáltatás\" menüből.\n\n2. ",
                                0),
              0u);
    EXPECT_NE(invoices_hu.find("\n\n3. Válassza ki mit szeretne importálni.\n\n4. Nyomja meg az Importálás gombot "
                               "és válassza ki a TavrinArchivumImport.tavrinimport fájlt."),
              std::string::npos);

    // The help address follows the line break; the Hungarian text names the help section after it.
    const std::string offline_en = en["saving_successful_offline"].string_value();
    const std::string offline_hu = hu["saving_successful_offline"].string_value();
    const std::string en_head = "The temporary save is successful. Failed to backup to iCloud, check if you have "
                                "enough storage and use a longer sign-in.\n";
    ASSERT_EQ(offline_en.rfind(en_head, 0), 0u);
    const std::string address = offline_en.substr(en_head.size());
    EXPECT_EQ(address.rfind("https://", 0), 0u);
    EXPECT_EQ(offline_hu, "Az átmeneti mentés sikeres. Az iCloud mentése nem sikerült, ellenőrizze van-e elég "
                          "tárhelye és használjon hosszabb időre szóló bejelentkezést.\n" +
                              address + " - Bejelentkezés Apple ID-val");

    // Tax-authority terms are Hungarian in both tables, so is the background colour label.
    for (const char* key : {"nav", "nav_user_id", "nav_user_pwd", "nav_xml_alairokulcs", "nav_xml_cserekulcs",
                            "cash_accounting_indicator", "small_business_indicator", "accent_background_color"})
        EXPECT_EQ(en[key], hu[key]) << key;
    EXPECT_EQ(en["small_business_indicator"].string_value(), "Kisadózó");
    EXPECT_EQ(en["accent_font_color"].string_value(), "Font Color");
}

TEST(Translations, LookUpFillsEveryPlaceholderLiterally) {
    TempDir dir;
    auto hu = core_in(dir, "hu");
    EXPECT_EQ(hu->translated("save", ""), "Mentés");
    EXPECT_EQ(hu->translated("inventory_quantity_header", "12 darab"), "Mennyiség (12 darab)");
    // An empty argument leaves the placeholder in place.
    EXPECT_EQ(hu->translated("confirm_return", ""), "%s\nBiztosan szeretne visszáruzni a terméket?");
    // Dollar signs, backslashes and a "%s" inside the argument are copied as they are, never rescanned.
    EXPECT_EQ(hu->translated("inventory_quantity_header", "$1 \\1 %s"), "Mennyiség ($1 \\1 %s)");
    EXPECT_EQ(hu->translated("import_successful", "%s%s"), "%s%s sor sikeresen importálva");
    EXPECT_EQ(hu->translated("no_such_key", "x"), "");
    EXPECT_EQ(hu->translated("Continue", ""), "");
    EXPECT_EQ(hu->translated("", ""), "");

    TempDir dir_en;
    auto en = core_in(dir_en, "en");
    EXPECT_EQ(en->translated("save", ""), "Save");
    EXPECT_EQ(en->translated("archivum", ""), "");
    EXPECT_EQ(en->translated("confirm_delete", "Acme"),
              "\"Acme\" will be deleted from iCloud on all your devices.\nYou can't undo this action. Are you sure "
              "you want to delete?");

    // Several placeholders in one text, at both ends and side by side; a member that is no string.
    en->translations["en"] = Json(Json::object{{"many", Json("%s-%s%s x %s")}, {"number", Json(5)}});
    EXPECT_EQ(en->translated("many", "ab"), "ab-abab x ab");
    EXPECT_EQ(en->translated("many", "%s"), "%s-%s%s x %s");
    EXPECT_EQ(en->translated("number", ""), "");
    EXPECT_EQ(en->translated("number", "1"), "");

    // A language the tables do not hold gives nothing, also for keys both tables have.
    for (const char* language : {"de", "HU", ""}) {
        TempDir other_dir;
        auto other = core_in(other_dir, language);
        EXPECT_FALSE(other->is_hungarian) << language;
        EXPECT_EQ(other->translated("save", ""), "") << language;
        EXPECT_EQ(other->translated("inventory_quantity_header", "3"), "") << language;
    }
}

TEST(ConstantTables, SizesAndFixedLists) {
    TempDir dir;
    auto core = core_in(dir, "en");
    const Json& c = core->constants;
    const std::pair<const char*, std::size_t> sizes[] = {
        {"doc_types", 8},          {"doc_types_display", 8},     {"default_colors", 50},
        {"date_formats", 39},      {"doc_number_formats", 8},    {"countries", 244},
        {"languages", 195},        {"currencies", 155},          {"translate_sorted", 21},
        {"decimal_points", 2},     {"thousands_separators", 4},  {"curr_patterns", 6},
        {"item_types", 3},         {"curr_patterns_display", 6}, {"price_types", 2},
        {"discount_types", 2},     {"taxes_compound_types", 2},  {"inventory_item_reasons", 4},
        {"inventory_profits", 4},  {"task_completed_types", 2},  {"filter_date_types", 3},
        {"filter_paids", 3},       {"webshops", 1},              {"client_statuses", 2},
        {"onboarding", 7},
    };
    for (const auto& [key, size] : sizes) EXPECT_EQ(c[key].array_items().size(), size) << key;
    EXPECT_EQ(c["doc_types_plural"].object_items().size(), 14u);
    EXPECT_EQ(c["address_formats"].object_items().size(), 244u);
    EXPECT_EQ(c["default_translate"].object_items().size(), 21u);
    EXPECT_EQ(c["inventory_reasons"].object_items().size(), 8u);
    EXPECT_EQ(c.object_items().size(), 29u);

    EXPECT_EQ(c["default_colors"][0].string_value(), "FFB900");
    EXPECT_EQ(c["default_colors"][49].string_value(), "000000");
    EXPECT_EQ(c["date_formats"][14].string_value(), "MMM D, YYYY");
    EXPECT_EQ(c["date_formats"][38].string_value(), "DD/MM/YY");
    EXPECT_EQ(c["doc_number_formats"][7].string_value(), "-NNNN-YYYY");
    EXPECT_EQ(c["thousands_separators"][3].string_value(), " ");
    EXPECT_EQ(c["curr_patterns"][1].string_value(), "3412");
    EXPECT_EQ(c["curr_patterns_display"][1].string_value(), "-123 S");
    EXPECT_EQ(c["translate_sorted"][9].string_value(), "billto");
    EXPECT_EQ(c["default_translate"]["billto"].string_value(), "Bill to");
    EXPECT_EQ(c["default_translate"]["net"].string_value(), "Net");
}

TEST(ConstantTables, CountriesLanguagesAndCurrencies) {
    TempDir dir;
    auto core = core_in(dir, "hu");
    const Json& c = core->constants;

    std::vector<std::string> countries;
    for (const Json& code : c["countries"].array_items()) countries.push_back(code.string_value());
    EXPECT_EQ(countries.front(), "AD");
    EXPECT_EQ(countries.back(), "ZW");
    EXPECT_TRUE(std::adjacent_find(countries.begin(), countries.end(), std::greater_equal<>()) == countries.end());
    for (const std::string& code : countries) EXPECT_EQ(code.size(), 2u) << code;
    for (const char* code : {"HU", "XK", "US"}) EXPECT_EQ(std::count(countries.begin(), countries.end(), code), 1);
    for (const char* code : {"AQ", "BV", "EH", "GS", "HM", "TF"})
        EXPECT_EQ(std::count(countries.begin(), countries.end(), code), 0) << code;
    // Every listed country has a name in both languages; a code that names none gives none.
    for (const std::string& code : countries) {
        EXPECT_FALSE(country_name(code, "hu").empty()) << code;
        EXPECT_FALSE(country_name(code, "en").empty()) << code;
    }
    EXPECT_EQ(country_name("AT", "hu"), "Ausztria");
    EXPECT_EQ(country_name("at", "en"), "Austria");
    EXPECT_EQ(language_name("de", "hu"), "német");
    EXPECT_EQ(language_name("DE", "en"), "German");
    for (const char* odd : {"ZZ", "", "H", "hu_HU", "@x", "1A"}) {
        EXPECT_EQ(country_name(odd, "hu"), "") << odd;
        EXPECT_EQ(language_name(odd, "hu"), "") << odd;
    }

    const Json& languages = c["languages"];
    EXPECT_EQ(languages[0].string_value(), "af");
    EXPECT_EQ(languages[25].string_value(), "cy");
    EXPECT_EQ(languages[26].string_value(), "cs");
    EXPECT_EQ(languages[64].string_value(), "hu");
    EXPECT_EQ(languages[194].string_value(), "zu");

    std::vector<std::string> currencies;
    for (const Json& entry : c["currencies"].array_items()) currencies.push_back(entry.string_value());
    auto at = [&](const std::string& entry) {
        return std::find(currencies.begin(), currencies.end(), entry) - currencies.begin();
    };
    EXPECT_EQ(currencies.front(), "AED د.إ.\u200F");
    EXPECT_EQ(currencies.back(), "ZMW K");
    EXPECT_EQ(at("USD US$"), at("USD $") + 1);
    EXPECT_EQ(at("DKK kr"), at("DKK kr.") + 1);
    EXPECT_EQ(at("CAD CA$"), at("CAD $") + 1);
    EXPECT_EQ(at("TND د.ت.\u200F"), at("TND DT") + 1);
    EXPECT_LT(at("HUF Ft"), static_cast<long>(currencies.size()));
    std::set<std::string> codes;
    int right_to_left = 0;
    for (const std::string& entry : currencies) {
        const std::size_t space = entry.find(' ');
        ASSERT_EQ(space, 3u) << entry;
        codes.insert(entry.substr(0, space));
        if (entry.size() >= 3 && entry.compare(entry.size() - 3, 3, "\u200F") == 0) ++right_to_left;
    }
    EXPECT_EQ(codes.size(), 145u);
    EXPECT_EQ(right_to_left, 16);
    auto by_code = [](const std::string& a, const std::string& b) { return a.substr(0, 3) < b.substr(0, 3); };
    EXPECT_TRUE(std::is_sorted(currencies.begin(), currencies.end(), by_code));
    // The CVE symbol is one zero-width space, not an empty text.
    const std::string cve = currencies[at("CVE \u200B")];
    EXPECT_EQ(cve.substr(cve.find(' ') + 1), "\u200B");
}

TEST(ConstantTables, AddressFormats) {
    TempDir dir;
    auto core = core_in(dir, "en");
    const Json& formats = core->constants["address_formats"];
    std::set<std::string> countries;
    for (const Json& code : core->constants["countries"].array_items()) countries.insert(code.string_value());
    EXPECT_EQ(keys_of(formats), countries);

    EXPECT_EQ(formats["HU"].string_value(), "_p_ _c_\n_st_\n_cc_");
    EXPECT_EQ(formats["US"].string_value(), "_st_\n_c_ _s_ _p_\n_cc_");
    EXPECT_EQ(formats["GB"].string_value(), "_st_\n_c_\n_s_\n_p_\n_cc_");
    EXPECT_EQ(formats["KR"].string_value(), "_p_\n_cc_\n_s_\n_c_\n_st_");
    EXPECT_EQ(formats["TR"].string_value(), "_st_\n_p_ _s_\n_c_ _cc_");
    EXPECT_TRUE(formats["AQ"].is_null());
    EXPECT_TRUE(formats[""].is_null());
    EXPECT_TRUE(formats["hu"].is_null());

    std::set<std::string> templates, without_city;
    for (const auto& [code, format] : formats.object_items()) {
        const std::string& text = format.string_value();
        templates.insert(text);
        EXPECT_NE(text.find("_st_"), std::string::npos) << code;
        EXPECT_NE(text.find("_cc_"), std::string::npos) << code;
        if (text.find("_c_") == std::string::npos) without_city.insert(code);
    }
    EXPECT_EQ(templates.size(), 34u);
    EXPECT_EQ(without_city, (std::set<std::string>{"CK", "KY", "NR", "TC"}));
}

TEST(ConstantTables, HungarianOnlyTablesAndTranslatedNames) {
    TempDir dir_hu, dir_en;
    auto hu = core_in(dir_hu, "hu");
    auto en = core_in(dir_en, "en");
    const Json& h = hu->constants;
    const Json& e = en->constants;

    EXPECT_EQ(ids_of(h["client_statuses"]),
              (std::vector<std::string>{"DOMESTIC", "COMMUNITY", "THIRD_STATE", "PRIVATE_PERSON", "VENDOR"}));
    EXPECT_EQ(ids_of(e["client_statuses"]), (std::vector<std::string>{"CUSTOMER", "VENDOR"}));
    EXPECT_EQ(name_of(h["client_statuses"], "DOMESTIC"), "Magyar adóalany");
    EXPECT_EQ(name_of(e["client_statuses"], "VENDOR"), "Vendor");

    EXPECT_EQ(ids_of(h["small_business_indicators"]), (std::vector<std::string>{"false", "true"}));
    EXPECT_EQ(name_of(h["small_business_indicators"], "false"), "Nem kisadózó");
    EXPECT_EQ(name_of(h["cash_accounting_indicators"], "true"), "Pe\u0301nzforgalmi elsza\u0301mola\u0301s");
    EXPECT_EQ(name_of(h["cash_accounting_indicators"], "false"), "Nem pe\u0301nzforgalmi elsza\u0301mola\u0301s");
    EXPECT_TRUE(e["small_business_indicators"].is_null());
    EXPECT_TRUE(e["cash_accounting_indicators"].is_null());
    EXPECT_EQ(e.object_items().count("small_business_indicators"), 0u);

    // Names are made in the constructor's language.
    EXPECT_EQ(name_of(h["doc_types"], "INVOICE"), "Számla");
    EXPECT_EQ(name_of(e["doc_types"], "INVOICE"), "Invoice");
    EXPECT_EQ(h["doc_types_display"][7].string_value(), "Feladat");
    EXPECT_EQ(h["doc_types_plural"]["WEBSHOP_ORDER"], hu->translations.at("hu")["webshop"]);
    EXPECT_EQ(name_of(h["item_types"], "INVENTORY_TRACKING"), "Készletkövetés");
    EXPECT_EQ(name_of(e["inventory_profits"], "profit_fifo"), en->translated("profit_fifo", ""));
    EXPECT_EQ(h["taxes_compound_types"][0].string_value(), hu->translated("compound", ""));

    for (const Json* c : {&h, &e}) {
        const Json& reasons = (*c)["inventory_reasons"];
        EXPECT_EQ(reasons["RETURN"], reasons["INVOICE"]);
        EXPECT_NE(reasons["STORNO"], reasons["INVOICE"]);
        EXPECT_EQ(name_of((*c)["discount_types"], "RATE"), "%");
        EXPECT_EQ((*c)["webshops"][0]["id"].string_value(), "woocommerce");
        EXPECT_EQ((*c)["webshops"][0]["name"].string_value(), "WooCommerce");
        EXPECT_EQ(ids_of((*c)["filter_paids"]), (std::vector<std::string>{"%%", "1", "0"}));
        EXPECT_EQ(ids_of((*c)["task_completed_types"]), (std::vector<std::string>{"0", "1"}));
        // Every id of every option list is a text.
        for (const auto& [key, table] : c->object_items())
            for (const Json& row : table.array_items()) {
                if (row.object_items().count("id")) {
                    EXPECT_TRUE(row["id"].is_string()) << key;
                }
            }
        const Json& onboarding = (*c)["onboarding"];
        EXPECT_TRUE(onboarding[6]["footer"].is_string());
        EXPECT_EQ(onboarding[6]["footer"].string_value(), "");
    }
    EXPECT_EQ(name_of(h["discount_types"], "VALUE"), "Összeg");
    EXPECT_EQ(name_of(e["filter_paids"], "%%"), "Paid and Unpaid");
    EXPECT_EQ(h["onboarding"][0]["header"].string_value(), "Tavrin Számlázó\nextrákkal");
    EXPECT_EQ(h["onboarding"][1]["image"].string_value(), "Sidebar_ARCHIVE_INVOICE");
    EXPECT_EQ(e["onboarding"][5]["image"].string_value(), "Help");
    EXPECT_EQ(e["onboarding"][5]["title"].string_value(), "User Guide");

    // A language without a table still builds every row, with empty names.
    TempDir dir_de;
    auto de = core_in(dir_de, "de");
    EXPECT_EQ(ids_of(de->constants["client_statuses"]), (std::vector<std::string>{"CUSTOMER", "VENDOR"}));
    EXPECT_EQ(name_of(de->constants["doc_types"], "INVOICE"), "");
    EXPECT_EQ(name_of(de->constants["discount_types"], "RATE"), "%");
}
