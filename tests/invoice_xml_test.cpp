// The invoice data of typical invoices against the shipped official schema, escaping, validation
// failures with their Hungarian explanations, and the 2013 export file.
#include "core/store/store_internal.h"
#include "tests/fakes/fake_server.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xmlschemas.h>
#include <sys/stat.h>

using json11::Json;

namespace {

const std::string kSchemaDir = std::string(TAVRIN_TEST_DATA) + "/../../resources/nav/";

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class InvoiceXml : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return std::time_t(1767261600); });  // 2026-01-01 11:00 local
        core = make_core(dir.path() + "data/", "hu");
        core->current_account = "ACME";
        core->open_database();
        Json::array units = core->setting("units").array_items();
        units.push_back(Json::object{{"id", "OWN"}, {"name", "m<sup>2</sup>"}});
        ASSERT_TRUE(core->save_record(Json::object{{"recordName", "units"}, {"value", Json(units).dump()}}, "settings"));
    }
    void TearDown() override { set_clock({}); }

    std::string id_of(const char* setting, const std::string& name) {
        const Json list = core->setting(setting);
        for (const Json& entry : list.array_items())
            if (entry["name"].string_value() == name) return entry["id"].string_value();
        return "";
    }
    Json line(const std::string& name, double quantity, double price, const std::string& tax,
              const std::string& unit = "darab", Json::object extra = {}) {
        Json::object l{{"name", name},         {"quantity", quantity},          {"price", price},
                       {"price_type", "NET"},  {"tax_id", id_of("taxes", tax)}, {"unit_id", id_of("units", unit)},
                       {"item_type", "PRODUCT"}};
        for (auto& [k, v] : extra) l[k] = v;
        return l;
    }
    Json::object invoice(Json::object extra = {}) {
        Json::object d{{"recordName", "INVOICE-1"}, {"type", "INVOICE"}, {"number", 1},
                       {"number_formatted", "2026/00012"}, {"issue_date", "2026-01-01"},
                       {"delivery_date", "2026-01-01"}, {"due_date", "2026-01-09"}, {"currency_code", "HUF"},
                       {"exchange_rate", 1}, {"payment_name", "Átutalás"}, {"payment_bank", "1111-0000"},
                       {"supplier_identifier_number", "12345678-2-42"}, {"supplier_name", "Kovács & Társa"},
                       {"supplier_country_code", "HU"}, {"supplier_postcode", "1234"},
                       {"supplier_city", "Budapest"}, {"supplier_street", "Fő utca 1 & 3"},
                       {"client_status", "DOMESTIC"}, {"client_identifier_number", "87654321-1-13"},
                       {"client_name", "Vevő Bt"}, {"client_country_code", "HU"}, {"client_postcode", "7600"},
                       {"client_city", "Pécs"}, {"client_street", "Király utca 5"}};
        for (auto& [k, v] : extra) d[k] = v;
        return d;
    }

    TempDir dir;
    ScopedEnv schema{"TAVRIN_SCHEMA_DIR", kSchemaDir};
    std::unique_ptr<Core> core;
};

TEST_F(InvoiceXml, TypicalInvoicesValidateAgainstTheOfficialSchema) {
    std::vector<Json> every_class;  // every default tax, gross-priced
    for (const char* tax : {"27%", "18%", "5%", "AAM", "TAM", "KBAET", "KBAUK", "EAM", "ATK", "EUFAD37", "EUFADE",
                            "EUE", "HO", "FAD", "KAH", "KAM", "KAR"})
        every_class.push_back(line(std::string("Tétel ") + tax, 1, 1270, tax, "óra", {{"price_type", "GROSS"}}));
    const std::vector<Json> discounted = {
        line("Alma", 2, 1000, "27%", "kilogramm", {{"discount", 10}, {"discount_type", "RATE"}}),
        line("Könyv", 3, 2500, "5%", "kilowatt óra", {{"discount", 500}, {"item_type", "INVENTORY_TRACKING"}})};
    const struct {
        const char* what;
        std::vector<Json> lines;
        Json::object document;
    } cases[] = {
        {"every VAT class", every_class, invoice()},
        {"discounts", discounted, invoice()},
        {"EU client in euro", {line("Gép", 1, 5000, "KBAET")},
         invoice({{"client_status", "COMMUNITY"}, {"client_identifier_number", "ATU12345678"},
                  {"client_country_code", "AT"}, {"currency_code", "EUR"}, {"exchange_rate", 392.47}})},
        {"third-country client", {line("Bor", 12, 15.5, "EAM", "liter")},
         invoice({{"client_status", "THIRD_STATE"}, {"client_identifier_number", "US-998877"},
                  {"client_country_code", "US"}, {"currency_code", "USD"}, {"exchange_rate", 355.123456}})},
        {"private person", {line("Óra", 1, 8000, "AAM", "óra", {{"item_type", ""}})},
         invoice({{"client_status", "PRIVATE_PERSON"}, {"payment_name", "Bankkártya"}})},
        {"reverse charge", {line("Vas", 1000, 120, "FAD", "kilogramm")}, invoice()},
        {"storno", {line("Alma", -2, 1000, "27%"), line("Könyv", -1, 2500, "5%")},
         invoice({{"reference_recordName", "INVOICE-0"}, {"reference_number_formatted", "2026/00011"}})},
        {"XML specials", {line("Csavar <M8> & \"anya\"", 1, 10, "27%", "m<sup>2</sup>")},
         invoice({{"client_city", "Győr <Belváros>"}})},
    };
    for (const auto& c : cases) {
        const std::string xml = core->nav_invoice_data_xml(c.lines, c.document, "");
        std::string error;
        EXPECT_TRUE(core->validate_invoice_xml(xml, &error)) << c.what << ": " << error;
    }
    const std::string special = core->nav_invoice_data_xml(cases[7].lines, cases[7].document, "");
    EXPECT_EQ(xml_tag_value(special, "additionalAddressDetail"), "Fő utca 1 & 3");
    EXPECT_EQ(xml_tag_value(special, "unitOfMeasureOwn"), "m<sup>2</sup>");
    EXPECT_TRUE(has(special, "<supplierName>Kovács   Társa</supplierName>"));
}

TEST_F(InvoiceXml, LayoutOfPartiesLinesAndSummary) {
    const std::string xml = core->nav_invoice_data_xml(
        {line("Alma", 2, 1000, "27%"), line("Kép", 1, 100, "KAR", "m<sup>2</sup>", {{"discount", 20}}),
         line("Bor", 1, 500, "AAM")},
        invoice({{"exchange_rate", 392.5}, {"payment_name", "Készpénz vagy átutalás"}}), "");
    EXPECT_TRUE(has(xml, "<base:taxpayerId>12345678</base:taxpayerId>\n<base:vatCode>2</base:vatCode>\n"
                         "<base:countyCode>42</base:countyCode>"));
    EXPECT_TRUE(has(xml, "<exchangeRate>392.500000</exchangeRate>\n<paymentMethod>TRANSFER</paymentMethod>"));
    EXPECT_TRUE(has(xml, "<unitPrice>1000.000000</unitPrice>\n<unitPriceHUF>392500.000000</unitPriceHUF>"));
    EXPECT_TRUE(has(xml, "<lineNetAmount>2000.00</lineNetAmount>\n<lineNetAmountHUF>785000.00</lineNetAmountHUF>"));
    EXPECT_TRUE(has(xml, "<unitOfMeasure>OWN</unitOfMeasure>\n<unitOfMeasureOwn>m&lt;sup&gt;2&lt;/sup&gt;<"));
    EXPECT_TRUE(has(xml, "<discountValue>20.00</discountValue>"));
    EXPECT_TRUE(has(xml, "<case>AAM</case>\n<reason>Alanyi adómentes | XIII. fejezet</reason>"));
    // Summary labels in byte order: "27%", "AAM", "KAR".
    const std::size_t p27 = xml.find("<vatRate>\n<vatPercentage>0.27</vatPercentage>");
    const std::size_t aam = xml.find("<vatRate>\n<vatExemption>");
    EXPECT_TRUE(p27 < aam && aam < xml.find("<vatRate>\n<marginSchemeIndicator>ANTIQUES"));
    EXPECT_TRUE(has(xml, "<invoiceNetAmount>2580.00</invoiceNetAmount>\n<invoiceNetAmountHUF>1012650.00<"));
    EXPECT_EQ(xml.substr(xml.size() - 41), "</invoice>\n</invoiceMain>\n</InvoiceData>\n");

    // Private person: name and address only with the PDF; an unknown status leaves the customer empty.
    const Json::object person = invoice({{"client_status", "PRIVATE_PERSON"}});
    EXPECT_FALSE(has(core->nav_invoice_data_xml({line("A", 1, 1, "27%")}, person, ""), "customerName"));
    const std::string with_pdf = core->nav_invoice_data_xml({line("A", 1, 1, "27%")}, person, "JVBERi0=");
    EXPECT_TRUE(has(with_pdf, "<customerName>Vevő Bt</customerName>"));
    EXPECT_TRUE(has(with_pdf, "<dataDescription>PDF</dataDescription>\n<dataValue>JVBERi0=</dataValue>"));
    EXPECT_TRUE(has(core->nav_invoice_data_xml({line("A", 1, 1, "27%")}, invoice({{"client_status", ""}}), ""),
                    "<customerInfo>\n</customerInfo>"));

    // A storno of N lines refers to lines N+1...2N; a positive total with a reference is no storno.
    const Json::object referenced = invoice({{"reference_recordName", "INVOICE-0"}});
    const std::string storno =
        core->nav_invoice_data_xml({line("A", -1, 10, "27%"), line("B", -1, 10, "27%")}, referenced, "");
    EXPECT_TRUE(has(storno, "<lineNumber>2</lineNumber>\n<lineModificationReference>\n"
                            "<lineNumberReference>4</lineNumberReference>"));
    EXPECT_FALSE(has(core->nav_invoice_data_xml({line("A", 1, 10, "27%")}, referenced, ""), "invoiceReference"));

    core->current_account = "DEMO";
    EXPECT_EQ(core->nav_invoice_data_xml({line("A", 1, 10, "27%")}, invoice(), ""), "ok^1234567890");
}

TEST_F(InvoiceXml, FailedValidationSaysWhyInHungarian) {
    std::string error;
    EXPECT_FALSE(core->validate_invoice_xml(
        core->nav_invoice_data_xml({line("A", 1, 10, "27%")}, invoice({{"supplier_identifier_number", "1234567-82-42"}}),
                                   ""),
        &error));
    EXPECT_EQ(nav_error_text(error), "Szállító: Hibás adószám. Minta: 12345678-9-10\n") << error;
    EXPECT_EQ(last_xml_error(), error);
    EXPECT_FALSE(core->validate_invoice_xml(
        core->nav_invoice_data_xml({line("A", 1, 10, "27%")}, invoice({{"client_street", " "}}), ""), &error));
    EXPECT_EQ(nav_error_text(error), "Vevő: Hibás utca.\n") << error;
    // The authority's messages, one a line: each names its own party.
    EXPECT_EQ(nav_error_text("/InvoiceData/supplierInfo/supplierAddress/additionalAddressDetail: too short\n"
                             "/InvoiceData/customerInfo/customerVatData/customerTaxNumber/taxpayerId: invalid"),
              "Szállító: Hibás utca.\nVevő: Hibás adószám. Minta: 12345678-9-10\n");
    EXPECT_FALSE(core->validate_invoice_xml(
        core->nav_invoice_data_xml({line("A", 1, 10, "27%")}, invoice({{"exchange_rate", 0}}), ""), &error));
    EXPECT_EQ(nav_error_text(error), "Deviza számla esetén 0-nál nagyobb összegű árfolyam szükséges.\n");

    // A bare "&" is not well-formed: refused, although a recovering parser would pass it.
    const std::string good = core->nav_invoice_data_xml({line("A", 1, 10, "27%")}, invoice(), "");
    std::string broken = good;
    broken.replace(broken.find("&amp;"), 5, "&");
    EXPECT_FALSE(core->validate_invoice_xml(broken, &error));
    EXPECT_FALSE(error.empty());
    // A valid document leaves the last message alone; a missing schema fails every validation.
    EXPECT_TRUE(core->validate_invoice_xml(good));
    EXPECT_EQ(last_xml_error(), error);
    ScopedEnv nowhere("TAVRIN_SCHEMA_DIR", dir.path() + "missing/");
    EXPECT_FALSE(core->validate_invoice_xml(good, &error));

    EXPECT_EQ(nav_error_text("'taxpayerId' and 'vatCode' in electricity"),
              "Hibás település.\nHibás adószám. Minta: 12345678-9-10\nHibás adószám áfakód. Minta: 12345678-9-10\n");
    EXPECT_EQ(nav_error_text("NO_INTERNET"), "NO_INTERNET");
    collect_xml_error(nullptr, "%s", std::string(300, 'x').c_str());
    EXPECT_EQ(last_xml_error(), std::string(255, 'x'));
}

// ---- export file ----------------------------------------------------------------------------------

class NavExport : public InvoiceXml {
protected:
    void save(int number, const std::string& date, std::vector<Json> lines, Json::object extra = {}) {
        Json::object d = invoice({{"recordName", "INVOICE-" + std::to_string(number)}, {"number", number},
                                  {"number_formatted", "2026/" + std::to_string(number)}, {"issue_date", date},
                                  {"created", number * 1000.0}});
        for (auto& [k, v] : extra) d[k] = v;
        ASSERT_FALSE(core->save_document(lines, false, d).empty());
    }
    int export_to(const std::string& name, Json::object filter) {
        filter.insert({{"date_type", "issue_date"}, {"from_date", "2026-01-01"}, {"to_date", "2026-01-31"}});
        return core->nav_export_xml(filter, dir.path() + name);
    }
    // Valid against the 2013 export schema.
    bool valid(const std::string& name) {
        xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt((kSchemaDir + "23_2014_szamlasema.xsd").c_str());
        xmlSchemaPtr schema = xmlSchemaParse(parser);
        xmlSchemaFreeParserCtxt(parser);
        xmlDocPtr doc = xmlReadFile((dir.path() + name).c_str(), nullptr, XML_PARSE_NONET);
        xmlSchemaValidCtxtPtr context = xmlSchemaNewValidCtxt(schema);
        const bool ok = doc && schema && xmlSchemaValidateDoc(context, doc) == 0;
        xmlSchemaFreeValidCtxt(context);
        xmlFreeDoc(doc);
        xmlSchemaFree(schema);
        return ok;
    }
};

TEST_F(NavExport, DateAndNumberRanges) {
    save(5, "2026-01-05", {line("Alma", 2, 1000, "27%"), line("Könyv", 1, 100, "5%"), line("Bor", 1, 10, "AAM")},
         {{"client_name", std::string(95, 'n') + "Árvíz & Co"}});
    // Paid in cash: no bank account, whose element cannot be empty.
    save(6, "2026-01-20", {line("Gép", 1, 50, "KBAET")},
         {{"client_status", "COMMUNITY"}, {"client_identifier_number", "ATU12345678"}, {"payment_bank", ""}});
    // The storno of invoice 5; saving it gives invoice 5 a back link, which must not make it a storno.
    save(7, "2026-02-03", {line("Alma", -2, 1000, "27%")},
         {{"reference_recordName", "INVOICE-5"}, {"reference_number_formatted", "2026/5"}});

    EXPECT_EQ(export_to("dates.xml", {{"from_to_type", 0}}), 2);
    const std::string dates = read_file(dir.path() + "dates.xml");
    EXPECT_TRUE(valid("dates.xml")) << dates;
    EXPECT_TRUE(has(dates, "<export_datuma>2026-01-01</export_datuma>\r\n<export_szla_db>2</export_szla_db>\r\n"
                           "<kezdo_ido>2026-01-01</kezdo_ido>\r\n<zaro_ido>2026-01-31</zaro_ido>\r\n"
                           "<kezdo_szla_szam>5</kezdo_szla_szam>\r\n<zaro_szla_szam>6</zaro_szla_szam>"));
    EXPECT_FALSE(has(dates, "modosito_szla"));
    EXPECT_TRUE(has(dates, "<nev>" + std::string(95, 'n') + "Árv</nev>"));  // whole characters within 100 bytes
    EXPECT_TRUE(has(dates, "<afarovat>\r\n<nettoar>2000.00</nettoar>\r\n<adokulcs>27</adokulcs>\r\n"
                           "<adoertek>540.00</adoertek>\r\n<bruttoar>2540.00</bruttoar>\r\n</afarovat>"));
    EXPECT_TRUE(has(dates, "<vevo>\r\n<kozadoszam>ATU12345678</kozadoszam>"));

    // Number range 6.9 (cut to 6) to 7: the storno is a modifying invoice with negative amounts.
    EXPECT_EQ(export_to("numbers.xml", {{"from_to_type", 1}, {"from_number", 6.9}, {"to_number", 7}}), 2);
    const std::string numbers = read_file(dir.path() + "numbers.xml");
    EXPECT_TRUE(valid("numbers.xml")) << numbers;
    EXPECT_TRUE(has(numbers, "<szlatipus>4</szlatipus>"));
    EXPECT_TRUE(has(numbers, "<modosito_szla>\r\n<eredeti_sorszam>2026/5</eredeti_sorszam>\r\n</modosito_szla>"));
    EXPECT_TRUE(has(numbers, "<nettoarossz>-2000.00</nettoarossz>"));

    // Nothing in range: no file; an unknown date column reads as the issue date; an unwritable path fails.
    EXPECT_EQ(export_to("none.xml", {{"from_to_type", 1}, {"from_number", 8}, {"to_number", 9}}), 0);
    struct stat st;
    EXPECT_NE(stat((dir.path() + "none.xml").c_str(), &st), 0);
    EXPECT_EQ(core->nav_export_xml(Json::object{{"date_type", "1=1 OR issue_date"}, {"from_date", "2026-01-20"},
                                                {"to_date", "2026-01-20"}},
                                   dir.path() + "one.xml"),
              1);
    EXPECT_EQ(export_to("no/such/folder.xml", {{"from_to_type", 0}}), -1);
}

}  // namespace
