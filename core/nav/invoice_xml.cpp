// The tax authority's InvoiceData document (Online Számla 3.0) of a saved invoice: head, parties,
// lines with their VAT classes and the summary. One element per line, no indentation; every value
// is XML-escaped, so a stored text can never change the document's structure.
#include "core/Core.h"
#include "core/nav/xml.h"

#include <charconv>
#include <cstdlib>
#include <string_view>
#include <utility>

using json11::Json;

namespace {

constexpr const char* base_namespace = "http://schemas.nav.gov.hu/OSA/3.0/base";
constexpr const char* data_namespace = "http://schemas.nav.gov.hu/OSA/3.0/data";
constexpr const char* instance_namespace = "http://www.w3.org/2001/XMLSchema-instance";
constexpr const char* common_namespace = "http://schemas.nav.gov.hu/NTCA/1.0/common";

const std::map<std::string, std::string>& vat_exemption_reasons() {
    static const std::map<std::string, std::string> reasons = {
        {"AAM", "Alanyi adómentes | XIII. fejezet"},
        {"TAM", "\"Tárgyi adómentes\" ill. a közérdekű speciális tekintettel adómentes | 85. §, 86. §"},
        {"KBAET", "Adómentes Közösségen belüli termékértékesítés, új közlekedési eszköz nélkül | 89. §"},
        {"KBAUK", "Adómentes Közösségen belüli új közlekedési eszköz értékesítés | 89. § (2)"},
        {"EAM",
         "Adómentes termékértékesítés a Közösség területén kívülre (termékexport harmadik országba) | 98-109. §"},
        {"NAM", "Egyéb nemzetközi ügyletekhez kapcsolódó megállapított adómentesség jogcímen | 110-118. §"},
        {"ATK", "Áfa tárgyi hatályán kívül | 2-3. §"},
        {"EUFAD37", "Áfa tv. 37. §-a alapján másik tagállamban teljesített, fordítottan adózó ügylet"},
        {"EUFADE", "Másik tagállamban teljesített, nem az Áfa tv. 37. §-a alá tartozó, fordítottan adózó ügylet"},
        {"EUE", "Másik teljesített, fordítottan ügylet tagállamban nem adózó"},
        {"HO", "Harmadik országban teljesített ügylet"},
        {"FAD", "Belföldi fordított adózás | 142. §"},
        {"KAH", "Különbözet szerinti szabályozás - Használt cikkek"},
        {"KAM", "Különbözet szerinti szabályozás - Műalkotások"},
        {"KAR", "Különbözet szerinti szabályozás - Gyűjtemény darabok, régiségek"},
    };
    return reasons;
}

const std::map<std::string, std::string>& nav_unit_codes() {
    static const std::map<std::string, std::string> codes = {
        {"darab", "PIECE"},         {"kilogramm", "KILOGRAM"},  {"tonna", "TON"},
        {"kilowatt ora", "KWH"},    {"nap", "DAY"},             {"ora", "HOUR"},
        {"perc", "MINUTE"},         {"honap", "MONTH"},         {"liter", "LITER"},
        {"kilometer", "KILOMETER"}, {"kobmeter", "CUBIC_METER"}, {"meter", "METER"},
        {"folyometer", "LINEAR_METER"}, {"karton", "CARTON"},  {"csomag", "PACK"},
    };
    return codes;
}

// Fixed-point text with `decimals` digits after ".", rounded as printf's %.*f rounds, in any locale.
std::string fixed(double value, int decimals) {
    char buffer[400];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (error != std::errc()) return "0";
    return std::string(buffer, end);
}

std::string without_ampersands(std::string text) {
    for (char& c : text)
        if (c == '&') c = ' ';
    return text;
}

// Writes the document line by line.
class Writer {
public:
    void line(std::string_view text) {
        out_ += text;
        out_ += '\n';
    }
    void open(std::string_view name) { line("<" + std::string(name) + ">"); }
    void close(std::string_view name) { line("</" + std::string(name) + ">"); }
    // An element with text content, the value escaped.
    void element(std::string_view name, std::string_view value) {
        out_ += '<';
        out_ += name;
        out_ += '>';
        out_ += xml_escaped(value);
        out_ += "</";
        out_ += name;
        out_ += ">\n";
    }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

// The tax number cut into its three parts by position, when it has the 13 characters of 12345678-9-10.
void tax_number_parts(Writer& w, const std::string& number) {
    if (number.size() != 13) return;
    w.element("base:taxpayerId", number.substr(0, 8));
    w.element("base:vatCode", number.substr(9, 1));
    w.element("base:countyCode", number.substr(11, 2));
}

void simple_address(Writer& w, const std::string& container, const Json::object& document, const std::string& prefix) {
    const Json doc(document);
    w.open(container);
    w.open("base:simpleAddress");
    w.element("base:countryCode", doc[prefix + "country_code"].string_value());
    w.element("base:postalCode", doc[prefix + "postcode"].string_value());
    w.element("base:city", doc[prefix + "city"].string_value());
    w.element("base:additionalAddressDetail", doc[prefix + "street"].string_value());
    w.close("base:simpleAddress");
    w.close(container);
}

// The VAT class lines of a tax code; false when the code is none of the classified ones.
bool vat_class(Writer& w, const std::string& code) {
    static const char* const exemptions[] = {"AAM", "TAM", "KBAET", "KBAUK", "EAM", "NAM"};
    static const char* const out_of_scope[] = {"ATK", "EUFAD37", "EUFADE", "EUE", "HO"};
    auto reason_block = [&](const char* container) {
        w.open(container);
        w.element("case", code);
        w.element("reason", vat_exemption_reasons().at(code));
        w.close(container);
    };
    for (const char* c : exemptions)
        if (code == c) return reason_block("vatExemption"), true;
    for (const char* c : out_of_scope)
        if (code == c) return reason_block("vatOutOfScope"), true;
    if (code == "FAD") return w.line("<vatDomesticReverseCharge>true</vatDomesticReverseCharge>"), true;
    if (code == "KAH") return w.line("<marginSchemeIndicator>SECOND_HAND</marginSchemeIndicator>"), true;
    if (code == "KAM") return w.line("<marginSchemeIndicator>ARTWORK</marginSchemeIndicator>"), true;
    if (code == "KAR") return w.line("<marginSchemeIndicator>ANTIQUES</marginSchemeIndicator>"), true;
    return false;
}

// The percentage of a summary label that is no VAT code: the number it begins with; a label
// without one (a user's own summary name) takes the rate of the tax that carries that label.
double summary_rate(const std::string& key, const Json::array& taxes) {
    const char* start = key.c_str();
    while (*start == ' ' || *start == '\t') ++start;
    bool has_digit = false;
    for (const char* p = start; *p; ++p) {
        if (*p >= '0' && *p <= '9') {
            has_digit = true;
            break;
        }
        if (*p != '+' && *p != '-' && *p != '.') break;
    }
    if (has_digit) {
        float value = 0;
        auto result = std::from_chars(start + (*start == '+'), key.c_str() + key.size(), value);
        if (result.ec == std::errc()) return static_cast<double>(value / 100);
    }
    for (const Json& tax : taxes) {
        const std::string& name = tax["name"].string_value();
        if (tax["rate2"].number_value() > 0) {
            if (key == name + " | " + tax["summary_name"].string_value()) return tax["rate"].number_value() / 100;
            if (key == name + " | " + tax["summary_name2"].string_value()) return tax["rate2"].number_value() / 100;
        } else if (key == tax["summary_name"].string_value()) {
            return tax["rate"].number_value() / 100;
        }
    }
    return 0;
}

std::string payment_method(const std::string& payment_name) {
    const std::string folded = to_lower(remove_diacritics(payment_name));
    if (folded.find("atutalas") != std::string::npos) return "TRANSFER";
    if (folded.find("keszpenz") != std::string::npos) return "CASH";
    if (folded.find("bankkartya") != std::string::npos) return "CARD";
    return "";
}

}  // namespace

bool is_cancelling_invoice(double net_total, const Json::object& document) {
    auto reference = document.find("reference_recordName");
    return net_total < 0 && reference != document.end() && reference->second.is_string() &&
           !reference->second.string_value().empty();
}

std::string Core::nav_invoice_data_xml(std::vector<Json> lines, Json::object document, std::string pdf_base64) {
    if (current_account == "DEMO") return "ok^1234567890";

    const Json doc(document);
    const Json::array taxes = setting("taxes").array_items();
    const Json::array units = setting("units").array_items();
    const Json supplier_setting = setting("supplier");
    const TaxSummary summary = tax_summary(Json(lines), taxes);
    const bool modification = is_cancelling_invoice(summary.total_net, document);
    const double rate = doc["exchange_rate"].number_value();
    auto text = [&doc](const char* name) -> const std::string& { return doc[name].string_value(); };

    Writer w;
    w.line("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    w.line(std::string("<InvoiceData xmlns:base=\"") + base_namespace + "\" xmlns=\"" + data_namespace +
           "\" xmlns:xsi=\"" + instance_namespace + "\" xmlns:common=\"" + common_namespace +
           "\" xsi:schemaLocation=\"" + data_namespace + " invoiceData.xsd\">");
    w.element("invoiceNumber", text("number_formatted"));
    w.element("invoiceIssueDate", text("issue_date"));
    w.line("<completenessIndicator>false</completenessIndicator>");
    w.open("invoiceMain");
    w.open("invoice");
    if (modification) {
        w.open("invoiceReference");
        w.element("originalInvoiceNumber", text("reference_number_formatted"));
        w.line("<modifyWithoutMaster>false</modifyWithoutMaster>");
        w.line("<modificationIndex>1</modificationIndex>");
        w.close("invoiceReference");
    }

    // --- head: supplier, customer, details
    w.open("invoiceHead");
    w.open("supplierInfo");
    w.open("supplierTaxNumber");
    tax_number_parts(w, text("supplier_identifier_number"));
    w.close("supplierTaxNumber");
    w.element("supplierName", without_ampersands(text("supplier_name")));
    simple_address(w, "supplierAddress", document, "supplier_");
    w.close("supplierInfo");

    w.open("customerInfo");
    const std::string& status = text("client_status");
    const std::string& client_number = text("client_identifier_number");
    bool with_name = false;
    if (status == "DOMESTIC" || status == "VENDOR") {
        w.line("<customerVatStatus>DOMESTIC</customerVatStatus>");
        w.open("customerVatData");
        w.open("customerTaxNumber");
        tax_number_parts(w, client_number);
        w.close("customerTaxNumber");
        w.close("customerVatData");
        with_name = status == "DOMESTIC";
    } else if (status == "COMMUNITY" || status == "THIRD_STATE") {
        w.line("<customerVatStatus>OTHER</customerVatStatus>");
        w.open("customerVatData");
        w.element(status == "COMMUNITY" ? "communityVatNumber" : "thirdStateTaxId", client_number);
        w.close("customerVatData");
        with_name = true;
    } else if (status == "PRIVATE_PERSON") {
        w.line("<customerVatStatus>PRIVATE_PERSON</customerVatStatus>");
        with_name = !pdf_base64.empty();
    }
    if (with_name) {
        w.element("customerName", without_ampersands(text("client_name")));
        simple_address(w, "customerAddress", document, "client_");
    }
    w.close("customerInfo");

    w.open("invoiceDetail");
    w.line("<invoiceCategory>NORMAL</invoiceCategory>");
    w.element("invoiceDeliveryDate", text("delivery_date"));
    w.element("smallBusinessIndicator", supplier_setting["small_business_indicator"].string_value());
    w.element("currencyCode", text("currency_code"));
    w.element("exchangeRate", fixed(rate, 6));
    const std::string method = payment_method(text("payment_name"));
    if (!method.empty()) w.element("paymentMethod", method);
    w.element("paymentDate", text("due_date"));
    w.element("cashAccountingIndicator", supplier_setting["cash_accounting_indicator"].string_value());
    w.line("<invoiceAppearance>PAPER</invoiceAppearance>");
    if (!pdf_base64.empty()) {
        w.open("additionalInvoiceData");
        w.line("<dataName>BASE64_PDF</dataName>");
        w.line("<dataDescription>PDF</dataDescription>");
        w.element("dataValue", pdf_base64);
        w.close("additionalInvoiceData");
    }
    w.close("invoiceDetail");
    w.close("invoiceHead");

    // --- lines
    w.open("invoiceLines");
    w.line("<mergedItemIndicator>false</mergedItemIndicator>");
    const std::size_t count = lines.size();
    for (std::size_t i = 0; i < count; ++i) {
        const Json line = lines[i].is_object() ? lines[i] : Json(Json::object{});
        const Json tax(find_object(taxes, true, "id", line["tax_id"].string_value()));
        const Json unit(find_object(units, true, "id", line["unit_id"].string_value()));
        auto amount = [&](short kind, short mode) { return line_amount(kind, mode, line, taxes); };

        w.open("line");
        w.element("lineNumber", std::to_string(i + 1));
        if (modification) {
            w.open("lineModificationReference");
            w.element("lineNumberReference", std::to_string(count + i + 1));
            w.line("<lineOperation>CREATE</lineOperation>");
            w.close("lineModificationReference");
        }
        w.line("<lineExpressionIndicator>true</lineExpressionIndicator>");
        std::string nature = line["item_type"].string_value();
        if (nature == "INVENTORY_TRACKING") nature = "PRODUCT";
        if (nature.empty()) nature = "OTHER";
        w.element("lineNatureIndicator", nature);
        const Json& item_name = line["item_name"];
        w.element("lineDescription",
                  without_ampersands(item_name.is_string() ? item_name.string_value() : line["name"].string_value()));
        w.element("quantity", fixed(line["quantity"].number_value(), 6));

        const std::string& unit_name = unit["name"].string_value();
        auto code = nav_unit_codes().find(to_lower(remove_diacritics(unit_name)));
        if (code != nav_unit_codes().end()) {
            w.element("unitOfMeasure", code->second);
        } else {
            w.line("<unitOfMeasure>OWN</unitOfMeasure>");
            w.element("unitOfMeasureOwn", unit_name);
        }

        const double unit_price = amount(0, 0);
        w.element("unitPrice", fixed(unit_price, 6));
        w.element("unitPriceHUF", fixed(unit_price * rate, 6));
        if (line["discount"].number_value() > 0) {
            w.open("lineDiscountData");
            if (line["discount_type"].string_value() == "RATE")
                w.element("discountRate", fixed(line["discount"].number_value() / 100, 4));
            else
                w.element("discountValue", fixed(-amount(1, 2), 2));
            w.close("lineDiscountData");
        }

        const double net = amount(1, 1);
        const double vat = amount(2, 1);
        const double gross = amount(3, 1);
        w.open("lineAmountsNormal");
        w.open("lineNetAmountData");
        w.element("lineNetAmount", fixed(net, 2));
        w.element("lineNetAmountHUF", fixed(net * rate, 2));
        w.close("lineNetAmountData");
        w.open("lineVatRate");
        if (!vat_class(w, tax["name"].string_value()))
            w.element("vatPercentage", fixed(tax["rate"].number_value() / 100, 2));
        w.close("lineVatRate");
        w.open("lineVatData");
        w.element("lineVatAmount", fixed(vat, 2));
        w.element("lineVatAmountHUF", fixed(vat * rate, 2));
        w.close("lineVatData");
        w.open("lineGrossAmountData");
        w.element("lineGrossAmountNormal", fixed(gross, 2));
        w.element("lineGrossAmountNormalHUF", fixed(gross * rate, 2));
        w.close("lineGrossAmountData");
        w.close("lineAmountsNormal");
        w.close("line");
    }
    w.close("invoiceLines");

    // --- summary
    auto amount_of = [](const std::map<std::string, double>& amounts, const std::string& key) {
        auto found = amounts.find(key);
        return found == amounts.end() ? 0.0 : found->second;
    };
    auto amount_pair = [&](const char* name, double value) {
        w.element(name, fixed(value, 2));
        w.element(std::string(name) + "HUF", fixed(value * rate, 2));
    };
    w.open("invoiceSummary");
    w.open("summaryNormal");
    for (const auto& [key, net] : summary.net) {
        w.open("summaryByVatRate");
        w.open("vatRate");
        if (!vat_class(w, key)) w.element("vatPercentage", fixed(summary_rate(key, taxes), 2));
        w.close("vatRate");
        w.open("vatRateNetData");
        amount_pair("vatRateNetAmount", net);
        w.close("vatRateNetData");
        w.open("vatRateVatData");
        amount_pair("vatRateVatAmount", amount_of(summary.tax, key));
        w.close("vatRateVatData");
        w.open("vatRateGrossData");
        amount_pair("vatRateGrossAmount", amount_of(summary.gross, key));
        w.close("vatRateGrossData");
        w.close("summaryByVatRate");
    }
    amount_pair("invoiceNetAmount", summary.total_net);
    amount_pair("invoiceVatAmount", summary.total_tax);
    w.close("summaryNormal");
    w.open("summaryGrossData");
    amount_pair("invoiceGrossAmount", summary.total_gross);
    w.close("summaryGrossData");
    w.close("invoiceSummary");

    w.close("invoice");
    w.close("invoiceMain");
    w.close("InvoiceData");
    return w.take();
}
