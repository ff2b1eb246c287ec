// The invoice export file of the tax authority's 2013 export schema (root `szamlak`): the invoices of
// a date or number range with their lines and tax totals, CR LF line ends, values XML-escaped.
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "core/nav/xml.h"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <utility>
#include <unistd.h>

using json11::Json;

namespace {

std::string two_decimals(double value) {
    char buffer[400];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    if (error != std::errc()) return "0.00";
    return std::string(buffer, end);
}

// At most `limit` bytes, ending on a whole UTF-8 character.
std::string cut_utf8(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// The integer a tax label begins with: blanks skipped, an optional sign, digits; 0 without digits.
long long leading_integer(const std::string& label) {
    std::size_t at = label.find_first_not_of(" \t");
    if (at == std::string::npos) return 0;
    if (label[at] == '+') ++at;
    long long value = 0;
    std::from_chars(label.data() + at, label.data() + label.size(), value);
    return value;
}

class Writer {
public:
    void line(std::string_view text) {
        out_ += text;
        out_ += "\r\n";
    }
    void open(std::string_view name) { line("<" + std::string(name) + ">"); }
    void close(std::string_view name) { line("</" + std::string(name) + ">"); }
    void element(std::string_view name, std::string_view value) {
        line("<" + std::string(name) + ">" + xml_escaped(value) + "</" + std::string(name) + ">");
    }
    const std::string& text() const { return out_; }

private:
    std::string out_;
};

// Writes the whole text to a temporary file beside `path` and puts it in place only when every byte
// was written, so a failed export never leaves a half-written file.
bool write_whole_file(const std::string& path, const std::string& text) {
    const std::string part = path + ".part";
    std::FILE* file = std::fopen(part.c_str(), "wb");
    if (!file) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = std::fclose(file) == 0 && ok;
    if (ok) ok = std::rename(part.c_str(), path.c_str()) == 0;
    if (!ok) unlink(part.c_str());
    return ok;
}

std::string number_of(const Json::object& row) {
    return std::to_string(saturated_int64(Json(row)["number"].number_value()));
}

// One `szamla` element: the invoice with its lines and tax totals.
void write_invoice(Writer& w, Core& core, const Json::object& row, const Json::array& taxes) {
    const Json doc(row);
    auto text = [&doc](const char* name) -> const std::string& { return doc[name].string_value(); };
    const std::vector<Json::object> lines = store::rows(
        core, "SELECT * FROM document_lines WHERE documentRecordName = ? ORDER BY id", {text("recordName")});
    const Json line_values(lines);
    const TaxSummary summary = core.tax_summary(line_values, taxes);
    // A cancelled original carries a back link to its storno too; only the storno modifies.
    const bool modifying = is_cancelling_invoice(summary.total_net, row);

    w.open("szamla");
    w.open("fejlec");
    w.element("szlasorszam", text("number_formatted"));
    w.element("szlatipus", modifying ? "4" : "1");
    w.element("szladatum", text("issue_date"));
    w.element("teljdatum", text("delivery_date"));
    w.close("fejlec");

    w.open("szamlakibocsato");
    w.element("adoszam", text("supplier_identifier_number"));
    w.element("nev", cut_utf8(text("supplier_name"), 100));
    // One address element of the supplier's or the client's columns.
    auto address = [&w, &text](const std::string& party) {
        w.open("cim");
        w.element("iranyitoszam", text((party + "_postcode").c_str()));
        w.element("telepules", text((party + "_city").c_str()));
        w.element("kozterulet_neve", text((party + "_street").c_str()));
        w.close("cim");
    };
    address("supplier");
    w.close("szamlakibocsato");

    w.open("vevo");
    const std::string& status = text("client_status");
    const std::string& client_number = text("client_identifier_number");
    if (!client_number.empty() && (status == "DOMESTIC" || status == "VENDOR")) w.element("adoszam", client_number);
    if (!client_number.empty() && status == "COMMUNITY") w.element("kozadoszam", client_number);
    w.element("nev", cut_utf8(text("client_name"), 100));
    address("client");
    w.close("vevo");

    for (const Json& line : line_values.array_items()) {
        w.open("termek_szolgaltatas_tetelek");
        w.element("termeknev", cut_utf8(line["name"].string_value(), 100));
        w.element("menny", two_decimals(line["quantity"].number_value()));
        w.element("mertekegys", line["unit_name"].string_value());
        w.element("nettoar", two_decimals(core.line_amount(1, 1, line, taxes)));
        w.element("nettoegysar", two_decimals(core.line_amount(0, 0, line, taxes)));
        w.element("adokulcs", std::to_string(saturated_int(line["tax_rate"].number_value())));
        w.element("adoertek", two_decimals(core.line_amount(2, 1, line, taxes)));
        w.element("bruttoar", two_decimals(core.line_amount(3, 1, line, taxes)));
        w.close("termek_szolgaltatas_tetelek");
    }

    if (modifying) {
        w.open("modosito_szla");
        w.element("eredeti_sorszam", text("reference_number_formatted"));
        w.close("modosito_szla");
    }

    // Optional elements whose schema types refuse an empty value (a cash invoice has no bank
    // account): written only with a value.
    w.open("nem_kotelezo");
    for (const auto& [element, column] : {std::pair{"fiz_hatarido", "due_date"}, std::pair{"fiz_mod", "payment_name"},
                                          std::pair{"penznem", "currency_code"},
                                          std::pair{"kibocsato_bankszla", "payment_bank"}})
        if (!text(column).empty()) w.element(element, text(column));
    w.close("nem_kotelezo");

    w.open("osszesites");
    for (const auto& [label, net] : summary.net) {
        auto tax = summary.tax.find(label);
        auto gross = summary.gross.find(label);
        w.open("afarovat");
        w.element("nettoar", two_decimals(net));
        w.element("adokulcs", std::to_string(leading_integer(label)));
        w.element("adoertek", two_decimals(tax == summary.tax.end() ? 0.0 : tax->second));
        w.element("bruttoar", two_decimals(gross == summary.gross.end() ? 0.0 : gross->second));
        w.close("afarovat");
    }
    w.open("vegosszeg");
    w.element("nettoarossz", two_decimals(summary.total_net));
    w.element("afaertekossz", two_decimals(summary.total_tax));
    w.element("bruttoarossz", two_decimals(summary.total_gross));
    w.close("vegosszeg");
    w.close("osszesites");
    w.close("szamla");
}

// The whole file: the header for the invoices from `first` to `last` (`count` of them), then the
// `szamla` elements already written.
std::string export_text(const Json& filter, std::size_t count, const Json::object& first, const Json::object& last,
                        const std::string& invoices) {
    Writer w;
    w.line("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    w.line("<szamlak xmlns=\"http://schemas.nav.gov.hu/2013/szamla\" xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">");
    w.element("export_datuma", iso_date(clock_now()));
    w.element("export_szla_db", std::to_string(count));
    w.element("kezdo_ido", filter["from_date"].string_value());
    w.element("zaro_ido", filter["to_date"].string_value());
    w.element("kezdo_szla_szam", number_of(first));
    w.element("zaro_szla_szam", number_of(last));
    return w.text() + invoices + "</szamlak>\r\n";
}

// An invoice the schema refused, with what the schema's message names: the element, and whether
// it was one of its numbers, which carry at most 10 digits before the point.
NavExportLeftOut left_out_of(const Json::object& row, const std::string& error) {
    NavExportLeftOut out;
    out.number_formatted = Json(row)["number_formatted"].string_value();
    const std::string opening = "Element '";
    const std::size_t start = error.find(opening);
    const std::size_t end = start == std::string::npos ? start : error.find('\'', start + opening.size());
    if (end != std::string::npos) out.element = error.substr(start + opening.size(), end - start - opening.size());
    // libxml2 names the element with its namespace: "{http://...}nev".
    if (const std::size_t name = out.element.rfind('}'); name != std::string::npos) out.element.erase(0, name + 1);
    out.too_many_digits =
        error.find("'totalDigits'") != std::string::npos || error.find("'decimal_tipus'") != std::string::npos;
    return out;
}

}  // namespace

int Core::nav_export_xml(Json filter, std::string path, std::vector<NavExportLeftOut>* left_out) {
    // Only the program's own date columns may name the compared column.
    std::string column = filter["date_type"].string_value();
    if (column != "issue_date" && column != "delivery_date" && column != "due_date") column = "issue_date";
    const bool by_date = saturated_int(filter["from_to_type"].number_value()) == 0;

    std::vector<Json::object> documents;
    if (by_date) {
        documents = store::rows(*this,
                                "SELECT * FROM documents WHERE type = 'INVOICE' AND " + column +
                                    " BETWEEN ? AND ? ORDER BY created",
                                {filter["from_date"].string_value(), filter["to_date"].string_value()});
    } else {
        // An empty number box (NaN) counts as 0.
        documents = store::rows(
            *this, "SELECT * FROM documents WHERE type = 'INVOICE' AND number BETWEEN ? AND ? ORDER BY created",
            {Json(static_cast<double>(saturated_int64(filter["from_number"].number_value()))),
             Json(static_cast<double>(saturated_int64(filter["to_number"].number_value())))});
    }
    if (documents.empty()) return 0;

    // Every invoice is checked against the export schema alone, and the file as a whole before it is
    // written: the file never holds what the schema refuses. An invoice it cannot carry (an amount
    // of more than 10 digits, say) is left out and named; the others are still exported.
    const XmlSchema schema(nav_schema_folder() + "23_2014_szamlasema.xsd");
    if (!schema.ok()) return -2;
    const Json::array taxes = setting("taxes").array_items();
    std::vector<const Json::object*> kept;
    std::string invoices;
    for (const Json::object& row : documents) {
        Writer one;
        write_invoice(one, *this, row, taxes);
        std::string error;
        if (schema.valid(export_text(filter, 1, row, row, one.text()), &error)) {
            kept.push_back(&row);
            invoices += one.text();
        } else if (left_out) {
            left_out->push_back(left_out_of(row, error));
        }
    }
    if (kept.empty()) return 0;
    const std::string text = export_text(filter, kept.size(), *kept.front(), *kept.back(), invoices);
    if (!schema.valid(text)) return -2;

    if (!write_whole_file(path, text)) return -1;
    return static_cast<int>(kept.size());
}
