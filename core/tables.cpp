// The constant tables: option lists, format choices, colours, the country, language and currency
// catalogues, postal address templates and the first-start introduction.
#include "core/Core.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace {

using json11::Json;

// Right-to-left mark ending some currency symbols, and the zero-width space that is the CVE symbol.
#define TAVRIN_RLM "\xE2\x80\x8F"
#define TAVRIN_ZWSP "\xE2\x80\x8B"

const char* const kColors[] = {
    "FFB900", "FF8C00", "F7630C", "CA5010", "DA3B01", "EF6950", "D13438", "FF4343", "E74856", "E81123",
    "EA005E", "C30052", "E3008C", "BF0077", "C239B3", "9A0089", "0078D7", "0063B1", "8E8CD8", "6B69D6",
    "8764B8", "744DA9", "B146C2", "881798", "0099BC", "2D7D9A", "00B7C3", "038387", "00B294", "018574",
    "00CC6A", "10893E", "7A7574", "5D5A58", "68768A", "515C6B", "567C73", "486860", "498205", "107C10",
    "767676", "4C4A48", "69797E", "4A5459", "647C64", "525E54", "847545", "7E735F", "FFFFFF", "000000",
};

const char* const kDateFormats[] = {
    "YYYY-MM-DD", "YYYY. M. D.", "YYYY. MM. DD.", "YYYY.MM.DD.", "YYYY.MM.DD", "YYYY. MMM D.", "YYYY/M/D",
    "YYYY/MM/DD", "YY-MM-DD",    "YY/M/D",        "YY/MM/DD",    "M/D/YY",     "MM/DD/YYYY",   "MM/DD/YY",
    "MMM D, YYYY", "D-M-YYYY",   "D-M-YY",        "D. M. YYYY",  "D. M. YY.",  "D. MM. YY",    "D.M.YYYY",
    "D.M.YY",     "D.M.YY.",     "D.MM.YYYY",     "D.MM.YY",     "D/M/YYYY",   "D/M/YY",       "D/MM/YYYY",
    "D/MM/YY",    "D MMM YYYY",  "DD-MM-YYYY",    "DD-MM-YY",    "DD.M.YY",    "DD.MM.YYYY",   "DD.MM.YYYY.",
    "DD.MM.YY",   "DD/MM YYYY",  "DD/MM/YYYY",    "DD/MM/YY",
};

const char* const kDocNumberFormats[] = {
    "/YYYY-NNNN", "/YYYY/NNNN", "-YYYY/NNNN", "-YYYY-NNNN", "/NNNN-YYYY", "/NNNN/YYYY", "-NNNN/YYYY", "-NNNN-YYYY",
};

// ISO 3166-1 alpha-2 without the uninhabited territories, plus XK; ascending.
const char* const kCountries =
    "AD AE AF AG AI AL AM AO AR AS AT AU AW AX AZ BA BB BD BE BF BG BH BI BJ BL BM BN BO BQ BR BS BT BW BY BZ "
    "CA CC CD CF CG CH CI CK CL CM CN CO CR CU CV CW CX CY CZ DE DJ DK DM DO DZ EC EE EG ER ES ET FI FJ FK FM "
    "FO FR GA GB GD GE GF GG GH GI GL GM GN GP GQ GR GT GU GW GY HK HN HR HT HU ID IE IL IM IN IO IQ IR IS IT "
    "JE JM JO JP KE KG KH KI KM KN KP KR KW KY KZ LA LB LC LI LK LR LS LT LU LV LY MA MC MD ME MF MG MH MK ML "
    "MM MN MO MP MQ MR MS MT MU MV MW MX MY MZ NA NC NE NF NG NI NL NO NP NR NU NZ OM PA PE PF PG PH PK PL PM "
    "PN PR PS PT PW PY QA RE RO RS RU RW SA SB SC SD SE SG SH SI SJ SK SL SM SN SO SR SS ST SV SX SY SZ TC TD "
    "TG TH TJ TK TL TM TN TO TR TT TV TW TZ UA UG UM US UY UZ VA VC VE VG VI VN VU WF WS XK YE YT ZA ZM ZW";

// Ascending, except that cy stands before cs, as the settings editor has always listed them.
const char* const kLanguages =
    "af agq ak am ar as asa ast az bas be bem bez bg bm bn bo br brx bs ca ce cgg chr ckb cy cs da dav de dje "
    "dsb dua dyo dz ebu ee el en es et eu ewo fa ff fi fil fo fr fur fy ga gd gl gsw gu guz gv ha haw he hi hr "
    "hsb hu hy id ig ii is it iu ja jgo jmc ka kab kam kde kea khq ki kk kkj kl kln km kn ko kok ks ksb ksf ksh "
    "kw ky lag lb lg lkt ln lo lrc lt lu luo luy lv mas mer mfe mg mgh mgo mk ml mn mr ms mt mua my mzn naq nb "
    "nd nds ne nl nmg nn nnh nus nyn om or os pa pl ps pt qu rm rn ro rof ru rw rwk sah saq sbp se seh ses sg "
    "shi si sk sl smn sn so sq sr sv sw ta te teo tg th ti tk to tr tt twq tzm ug uk ur uz vai vi vun wae wo "
    "xog yav yo yue zgh zh zu";

// Currency code and symbol; ten codes have two symbols, both kept in this order.
const std::pair<const char*, const char*> kCurrencies[] = {
    {"AED", "د.إ." TAVRIN_RLM}, {"AFN", "؋"}, {"ALL", "Lekë"}, {"AMD", "֏"},
    {"ANG", "NAf."}, {"AOA", "Kz"}, {"ARS", "$"}, {"AUD", "$"},
    {"AWG", "Afl."}, {"AZN", "₼"}, {"BAM", "KM"}, {"BBD", "$"},
    {"BDT", "৳"}, {"BGN", "лв."}, {"BHD", "د.ب." TAVRIN_RLM}, {"BIF", "FBu"},
    {"BMD", "$"}, {"BND", "$"}, {"BOB", "Bs"}, {"BRL", "R$"},
    {"BSD", "$"}, {"BTN", "Nu."}, {"BWP", "P"}, {"BYN", "Br"},
    {"BZD", "$"}, {"CAD", "$"}, {"CAD", "CA$"}, {"CDF", "FC"},
    {"CHF", "CHF"}, {"CLP", "$"}, {"CNY", "¥"}, {"COP", "$"},
    {"CRC", "₡"}, {"CUP", "$"}, {"CVE", TAVRIN_ZWSP}, {"CZK", "Kč"},
    {"DJF", "Fdj"}, {"DKK", "kr."}, {"DKK", "kr"}, {"DOP", "RD$"},
    {"DZD", "DA"}, {"DZD", "د.ج." TAVRIN_RLM}, {"EGP", "ج.م." TAVRIN_RLM}, {"ERN", "Nfk"},
    {"ETB", "Br"}, {"ETB", "ብር"}, {"EUR", "€"}, {"FJD", "$"},
    {"FKP", "£"}, {"GBP", "£"}, {"GEL", "₾"}, {"GHS", "GH₵"},
    {"GIP", "£"}, {"GMD", "D"}, {"GNF", "FG"}, {"GTQ", "Q"},
    {"GYD", "$"}, {"HKD", "HK$"}, {"HNL", "L"}, {"HTG", "G"},
    {"HUF", "Ft"}, {"IDR", "Rp"}, {"ILS", "₪"}, {"INR", "₹"},
    {"IQD", "د.ع." TAVRIN_RLM}, {"IRR", "ریال"}, {"JMD", "$"}, {"JOD", "د.أ." TAVRIN_RLM},
    {"JPY", "¥"}, {"KES", "Ksh"}, {"KGS", "сом"}, {"KHR", "៛"},
    {"KMF", "CF"}, {"KRW", "₩"}, {"KWD", "د.ك." TAVRIN_RLM}, {"KYD", "$"},
    {"KZT", "₸"}, {"LAK", "₭"}, {"LBP", "ل.ل." TAVRIN_RLM}, {"LKR", "Rs."},
    {"LKR", "රු."}, {"LRD", "$"}, {"LYD", "د.ل." TAVRIN_RLM}, {"MAD", "د.م." TAVRIN_RLM},
    {"MDL", "L"}, {"MGA", "Ar"}, {"MKD", "den"}, {"MKD", "ден"},
    {"MMK", "K"}, {"MNT", "₮"}, {"MOP", "MOP$"}, {"MRU", "UM"},
    {"MUR", "Rs"}, {"MWK", "MK"}, {"MXN", "$"}, {"MYR", "RM"},
    {"MZN", "MTn"}, {"NAD", "$"}, {"NGN", "₦"}, {"NIO", "C$"},
    {"NOK", "kr"}, {"NPR", "नेरू"}, {"NZD", "$"}, {"OMR", "ر.ع." TAVRIN_RLM},
    {"PAB", "B/."}, {"PEN", "S/"}, {"PGK", "K"}, {"PHP", "₱"},
    {"PKR", "Rs"}, {"PKR", "ر"}, {"PLN", "zł"}, {"PYG", "Gs."},
    {"QAR", "ر.ق." TAVRIN_RLM}, {"RUB", "₽"}, {"RWF", "RF"}, {"SAR", "ر.س." TAVRIN_RLM},
    {"SBD", "$"}, {"SCR", "SR"}, {"SDG", "ج.س."}, {"SEK", "kr"},
    {"SGD", "$"}, {"SHP", "£"}, {"SLL", "Le"}, {"SOS", "S"},
    {"SRD", "$"}, {"SSP", "£"}, {"STN", "Db"}, {"SYP", "LS"},
    {"SYP", "ل.س." TAVRIN_RLM}, {"SZL", "E"}, {"TJS", "сом."}, {"TND", "DT"},
    {"TND", "د.ت." TAVRIN_RLM}, {"TOP", "T$"}, {"TRY", "₺"}, {"TTD", "$"},
    {"TWD", "$"}, {"TZS", "TSh"}, {"UAH", "₴"}, {"UGX", "USh"},
    {"USD", "$"}, {"USD", "US$"}, {"UYU", "$"}, {"UZS", "soʻm"},
    {"VEF", "Bs."}, {"VND", "₫"}, {"VUV", "VT"}, {"WST", "WS$"},
    {"XAF", "FCFA"}, {"XCD", "$"}, {"XOF", "CFA"}, {"XPF", "FCFP"},
    {"YER", "ر.ي." TAVRIN_RLM}, {"ZAR", "R"}, {"ZMW", "K"},
};

// Postal address templates and the countries that write their addresses so. Placeholders: _st_ street,
// _p_ postcode, _c_ city, _s_ state or region, _cc_ country.
const std::pair<const char*, const char*> kAddressFormats[] = {
    {"_st_\n_p_ _c_\n_cc_",
     "AD AM AT AZ BA BE BG BL CH CI CL CR CU CV CY CZ DE DK DZ EE ET FI FO FR GA GE GF GL GN GP GR GT GW HR HT "
     "IL IR IS LA LI LR LT LU MA MC MD ME MF MG MH MK MQ NC NE NL NO PL PS PT PY QA RE RO RS SE SI SK SN SY TJ "
     "TM TN VA YE YT ZM"},
    {"_st_\n_c_\n_cc_",
     "AE AF AG AI AL AO AW BB BI BJ BO BT BW CF CG CM CW DJ DM ER GD GH GM GQ GY KM LC LY ML MR NA RW SB SC SL "
     "ST SX TD TG TL TO TT TV TZ UG VC VU WS ZW"},
    {"_st_\n_c_ _p_\n_cc_", "BD BF BH BM BN CD JM KH LB LS LV MM MN MS MV MW NP PE PK SA SG VG"},
    {"_p_ _c_\n_st_\n_cc_", "AS AX CC CX GG GU HU IO JE KG MP NF NU PM PN SJ TK UM WF XK"},
    {"_st_\n_c_ _s_ _p_\n_cc_", "AU CA FM IE PR PW SO US VI"},
    {"_st_\n_p_ _c_ _s_\n_cc_", "ES HN IT KN MX MY PF SM UY"},
    {"_st_\n_c_\n_p_\n_cc_", "FK GI IM IQ KE LK MT SH SZ"},
    {"_st_\n_p_ _c_\n_s_\n_cc_", "AR BY KW MZ PA SV"},
    {"_st_\n_c_\n_s_\n_cc_", "BQ BZ KI SR"},
    {"_st_\n_s_\n_cc_", "CK KY NR TC"},
    {"_st_\n_p_\n_c_\n_cc_", "EC MU SD SS"},
    {"_st_\n_c_ _p_\n_s_\n_cc_", "CO IN NG"},
    {"_st_\n_s_\n_c_ _p_\n_cc_", "NZ TH VN"},
    {"_st_\n_c_ _s_\n_p_\n_cc_", "BR UA"},
    {"_st_\n_s_\n_c_\n_cc_", "EG FJ"},
    {"_st_\n_c_\n_s_\n_p_\n_cc_", "GB ZA"},
    {"_cc_\n_p_ _c_\n_st_", "HK MO"},
    {"_st_\n_c_ _p_ _s_\n_cc_", "PG VE"},
    {"_st_\n_c_ _s_\n_cc_", "BS"},
    {"_cc_\n_s_\n_c_\n_st_\n_p_", "CN"},
    {"_st_\n_s_\n_p_ _c_\n_cc_", "DO"},
    {"_st_\n_c_\n_s_ _p_\n_cc_", "ID"},
    {"_s_\n_st_\n_c_ _p_\n_cc_", "JO"},
    {"_p_\n_s_ _c_\n_st_\n_cc_", "JP"},
    {"_cc_\n_s_\n_c_\n_st_", "KP"},
    {"_p_\n_cc_\n_s_\n_c_\n_st_", "KR"},
    {"_st_\n_c_ _s_\n_cc_\n_p_", "KZ"},
    {"_st_\n_p_\n_c_ _s_\n_cc_", "NI"},
    {"_st_\n_p_\n_c_\n_s_\n_cc_", "OM"},
    {"_st_ _s_\n_p_ _c_\n_cc_", "PH"},
    {"_st_\n_c_\n_s_\n_cc_\n_p_", "RU"},
    {"_st_\n_p_ _s_\n_c_ _cc_", "TR"},
    {"_cc_\n_p_ _s_ _c_\n_st_", "TW"},
    {"_st_\n_c_\n_cc_\n_p_", "UZ"},
};

#undef TAVRIN_ZWSP
#undef TAVRIN_RLM

// Calls `each` with every blank-separated word of `list`.
template <typename F>
void for_each_word(std::string_view list, F each) {
    std::size_t from = 0;
    while (from < list.size()) {
        std::size_t end = list.find(' ', from);
        if (end == std::string_view::npos) end = list.size();
        if (end > from) each(std::string(list.substr(from, end - from)));
        from = end + 1;
    }
}

Json::array words(std::string_view list) {
    Json::array result;
    for_each_word(list, [&](std::string word) { result.emplace_back(std::move(word)); });
    return result;
}

template <typename Range>
Json::array texts(const Range& range) {
    Json::array result;
    for (const char* text : range) result.emplace_back(text);
    return result;
}

Json::array texts(std::initializer_list<const char*> list) { return texts<>(list); }

Json option(std::string id, std::string name) {
    return Json(Json::object{{"id", Json(std::move(id))}, {"name", Json(std::move(name))}});
}

}  // namespace

void Core::build_constants() {
    auto tr = [this](const char* key) { return translated(key, ""); };
    // An option list whose names are the translations of the ids.
    auto options = [&](std::initializer_list<const char*> ids) {
        Json::array rows;
        for (const char* id : ids) rows.push_back(option(id, tr(id)));
        return rows;
    };
    // A map from code to the translation of its key.
    auto labels = [&](std::initializer_list<std::pair<const char*, const char*>> entries) {
        Json::object map;
        for (const auto& [code, key] : entries) map[code] = Json(tr(key));
        return map;
    };

    const std::initializer_list<const char*> doc_types = {
        "INVOICE", "PROFORMA", "ESTIMATE", "DELIVERY_NOTE", "PURCHASE_ORDER", "PURCHASE_RECEIVE", "DRAFT", "TASK"};

    Json::object c;
    c["doc_types"] = options(doc_types);
    Json::array display;
    for (const char* id : doc_types) display.emplace_back(tr(id));
    c["doc_types_display"] = std::move(display);
    c["doc_types_plural"] = labels({{"clients", "clients"},
                                    {"items", "items"},
                                    {"INVOICE", "invoices"},
                                    {"PROFORMA", "proformas"},
                                    {"ESTIMATE", "estimates"},
                                    {"DELIVERY_NOTE", "delivery_notes"},
                                    {"PURCHASE_ORDER", "purchase_orders"},
                                    {"PURCHASE_RECEIVE", "purchase_receives"},
                                    {"DRAFT", "drafts"},
                                    {"TASK", "tasks"},
                                    {"inventory", "inventory"},
                                    {"WEBSHOP_ORDER", "webshop"},
                                    {"settings", "settings"},
                                    {"accounts", "accounts"}});
    c["default_colors"] = texts(kColors);

    Json::object address_formats;
    for (const auto& [format, countries] : kAddressFormats) {
        const Json value(format);
        for_each_word(countries, [&address_formats, &value](std::string code) { address_formats[code] = value; });
    }
    c["address_formats"] = std::move(address_formats);

    c["date_formats"] = texts(kDateFormats);
    c["doc_number_formats"] = texts(kDocNumberFormats);
    c["countries"] = words(kCountries);
    c["languages"] = words(kLanguages);
    Json::array currencies;
    for (const auto& [code, symbol] : kCurrencies) currencies.emplace_back(std::string(code) + " " + symbol);
    c["currencies"] = std::move(currencies);

    c["translate_sorted"] = texts({
        "invoice", "estimate", "proforma", "delivery_note", "purchase_order", "purchase_receive", "draft",
        "reference", "supplier", "billto", "vendor", "issue_date", "delivery_date", "due_date", "payment_name",
        "quantity", "price", "net", "tax", "gross", "total"});
    c["default_translate"] = labels({{"invoice", "INVOICE"},
                                     {"proforma", "PROFORMA"},
                                     {"estimate", "ESTIMATE"},
                                     {"delivery_note", "DELIVERY_NOTE"},
                                     {"purchase_order", "PURCHASE_ORDER"},
                                     {"purchase_receive", "PURCHASE_RECEIVE"},
                                     {"draft", "DRAFT"},
                                     {"reference", "reference"},
                                     {"supplier", "supplier"},
                                     {"billto", "bill_to"},
                                     {"vendor", "vendor"},
                                     {"issue_date", "issue_date"},
                                     {"delivery_date", "delivery_date"},
                                     {"due_date", "due_date"},
                                     {"payment_name", "payment_name"},
                                     {"quantity", "quantity"},
                                     {"price", "price"},
                                     {"net", "NET"},
                                     {"tax", "tax"},
                                     {"gross", "GROSS"},
                                     {"total", "total"}});
    c["decimal_points"] = texts({".", ","});
    c["thousands_separators"] = texts({".", ",", "'", " "});
    // Four positions of a printed amount, each digit telling what stands there: 0 nothing, 1 a space,
    // 2 the symbol, 3 the sign, 4 the value. The display list shows each on minus 123 with symbol S.
    c["curr_patterns"] = texts({"3402", "3412", "2034", "2134", "3204", "3214"});
    c["curr_patterns_display"] =
        texts({"-123S", "-123 S", "S-123", "S -123", "-S123", "-S 123"});
    c["item_types"] = options({"PRODUCT", "SERVICE", "INVENTORY_TRACKING"});
    c["price_types"] = options({"NET", "GROSS"});
    c["discount_types"] = Json::array{option("RATE", "%"), option("VALUE", tr("amount"))};
    c["taxes_compound_types"] = Json::array{Json(tr("compound")), Json(tr("not_compound"))};
    // A returned sale is shown with the invoice's label.
    c["inventory_reasons"] = labels({{"INVOICE", "INVOICE"},
                                     {"STORNO", "STORNO"},
                                     {"RETURN", "INVOICE"},
                                     {"RECEIVE", "RECEIVE"},
                                     {"ADD", "ADD"},
                                     {"REMOVE", "REMOVE"},
                                     {"DAMAGE", "DAMAGE"},
                                     {"LOSS", "LOSS"}});
    c["inventory_item_reasons"] = options({"ADD", "REMOVE", "DAMAGE", "LOSS"});
    c["inventory_profits"] = options({"profit_fifo", "profit_lifo", "profit_avg", "profit_clearing"});
    c["task_completed_types"] =
        Json::array{option("0", tr("task_in_progress")), option("1", tr("task_completed"))};
    c["filter_date_types"] = options({"issue_date", "delivery_date", "due_date"});
    c["filter_paids"] =
        Json::array{option("%%", tr("paid_and_unpaid")), option("1", tr("paid")), option("0", tr("unpaid"))};
    c["webshops"] = Json::array{option("woocommerce", "WooCommerce")};

    if (is_hungarian) {
        c["client_statuses"] = options({"DOMESTIC", "COMMUNITY", "THIRD_STATE", "PRIVATE_PERSON", "VENDOR"});
        c["small_business_indicators"] =
            Json::array{option("false", "Nem kisadózó"), option("true", "Kisadózó")};
        // Written with combining accents (base letter + U+0301), as the stored settings have them.
        c["cash_accounting_indicators"] =
            Json::array{option("false", "Nem pe\u0301nzforgalmi elsza\u0301mola\u0301s"),
                        option("true", "Pe\u0301nzforgalmi elsza\u0301mola\u0301s")};
    } else {
        c["client_statuses"] = options({"CUSTOMER", "VENDOR"});
    }

    Json::array onboarding;
    onboarding.push_back(Json(Json::object{{"header", Json(tr("ONBOARDING_TITLE"))}}));
    for (int step = 1; step <= 5; ++step) {
        const std::string n = std::to_string(step);
        onboarding.push_back(Json(Json::object{{"image", Json(tr(("ONBOARDING_IMAGE_" + n).c_str()))},
                                               {"title", Json(tr(("ONBOARDING_TITLE_" + n).c_str()))},
                                               {"detail", Json(tr(("ONBOARDING_DETAIL_" + n).c_str()))}}));
    }
    // Neither table holds "Continue", so the footer is empty; kept so the page finds its member.
    onboarding.push_back(Json(Json::object{{"footer", Json(tr("Continue"))}}));
    c["onboarding"] = std::move(onboarding);

    constants = Json(std::move(c));
}

namespace {

// Codes of two or three ASCII letters only: anything else would be read as a whole locale name.
bool plain_code(const std::string& code) {
    if (code.size() < 2 || code.size() > 3) return false;
    for (char c : code)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    return true;
}

std::string utf8_of(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

}  // namespace

// The names come from ICU's locale data, which names every country and language in both languages.
// ICU answers a code it does not know with the code itself: that is no name.
std::string country_name(const std::string& code, const std::string& language) {
    if (code.size() != 2 || !plain_code(code)) return std::string();
    const std::string region = to_upper(code);
    // User-assigned codes name no country (ICU calls ZZ "Unknown Region"); Kosovo's XK is the one in use.
    if (region == "AA" || region == "ZZ" || (region[0] == 'Q' && region[1] >= 'M') || (region[0] == 'X' && region != "XK"))
        return std::string();
    icu::UnicodeString name;
    icu::Locale("", region.c_str()).getDisplayCountry(icu::Locale(language.c_str()), name);
    std::string text = utf8_of(name);
    return text == region ? std::string() : text;
}

std::string language_name(const std::string& code, const std::string& language) {
    if (!plain_code(code)) return std::string();
    const std::string lower = to_lower(code);
    icu::UnicodeString name;
    icu::Locale(lower.c_str()).getDisplayLanguage(icu::Locale(language.c_str()), name);
    std::string text = utf8_of(name);
    return text == lower ? std::string() : text;
}
