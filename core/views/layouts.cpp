// The positioned header block of a document page: the built-in layouts with their accent variants,
// the placeholder texts, the logo and the supplier and client blocks.
//
// A layout entry is a placeholder followed by CSS declarations, "{P};left:L;top:T;width:W;height:H;...".
// The declarations are the program's own; every value put into a box is escaped.
#include "core/Core.h"
#include "core/views/html.h"

#include <charconv>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

using json11::Json;

namespace {

using Layout = std::vector<std::string>;

const std::map<std::string, Layout>& layouts() {
    static const std::map<std::string, Layout> table = {
        {"TASK",
         {
             "{_DueDate};left:400;top:100;width:80;height:20;",
             "{_TaskRepeat};left:400;top:120;width:80;height:20;",
             "{DueDate};left:480;top:100;width:225;height:20;font-weight:bold;",
             "{TaskRepeat};left:480;top:120;width:225;height:20;font-weight:bold;",
             "{DocumentTitle};left:400;top:30;width:360;height:25;font-size:22px;font-weight:bold;",
             "{DocumentNumber};left:400;top:66;width:360;height:20;font-size:15px;font-weight:bold;",
             "{Client};left:30;top:30;width:360;height:110;",
             "{Line};left:400;top:61;width:360;height:10;border-top:2px solid black;",
             "{Line};left:30;top:220;width:730;height:2;border-top:1px solid black;",
         }},
        {"001",
         {
             "{_IssueDate};left:400;top:270;width:130;height:20;text-align:end;",
             "{_DeliveryDate};left:400;top:295;width:130;height:20;text-align:end;",
             "{_DueDate};left:400;top:320;width:130;height:20;text-align:end;",
             "{_PaymentName};left:400;top:245;width:130;height:20;text-align:end;",
             "{_ReferenceNumber};left:400;top:345;width:130;height:20;text-align:end;",
             "{DocumentTitle};left:400;top:30;width:360;height:25;font-size:22px;font-weight:bold;",
             "{DocumentNumber};left:535;top:220;width:240;height:20;font-weight:bold;",
             "{Supplier};left:400;top:65;width:360;height:140;",
             "{Client};left:30;top:220;width:360;height:140;",
             "{IssueDate};left:535;top:270;width:225;height:20;font-weight:bold;",
             "{DeliveryDate};left:535;top:295;width:225;height:20;font-weight:bold;",
             "{DueDate};left:535;top:320;width:225;height:20;font-weight:bold;",
             "{PaymentName};left:535;top:245;width:225;height:20;font-weight:bold;",
             "{ReferenceNumber};left:535;top:345;width:225;height:20;font-weight:bold;",
             "{Line};left:400;top:61;width:360;height:10;border-top:2px solid black;",
             "{Line};left:30;top:215;width:730;height:10;border-top:1px solid black;",
             "{Logo};left:30;top:30;width:300;height:150;",
         }},
        {"002",
         {
             "{_IssueDate};left:390;top:254;width:100;height:20;z-index:1;color:rgb(170, 170, 170);",
             "{_DeliveryDate};left:390;top:274;width:100;height:20;z-index:1;color:rgb(170, 170, 170);",
             "{_DueDate};left:390;top:295;width:100;height:20;z-index:1;color:rgb(170, 170, 170);",
             "{_PaymentName};left:100;top:296;width:90;height:20;z-index:1;color:rgb(255, 255, 255);text-align:end;",
             "{_ReferenceNumber} {ReferenceNumber};left:440;top:328;width:320;height:20;color:rgb(85, 85, 85);"
             "text-align:end;",
             "{DocumentTitle};left:395;top:206;width:335;height:25;z-index:1;font-size:22px;",
             "{DocumentNumber};left:510;top:274;width:240;height:20;z-index:1;font-size:14px;color:rgb(136, 136, "
             "136);text-align:end;",
             "{Supplier};left:390;top:30;width:370;height:20;z-index:1;color:rgb(136, 136, 136);",
             "{Client};left:30;top:160;width:350;height:20;color:rgb(136, 136, 136);",
             "{IssueDate};left:500;top:254;width:100;height:20;z-index:1;color:rgb(136, 136, 136);font-weight:bold;",
             "{DeliveryDate};left:500;top:274;width:100;height:20;z-index:1;color:rgb(136, 136, 136);"
             "font-weight:bold;",
             "{DueDate};left:500;top:295;width:100;height:20;z-index:1;color:rgb(136, 136, 136);font-weight:bold;",
             "{PaymentName};left:196;top:296;width:90;height:20;z-index:1;color:rgb(255, 255, 255);font-weight:bold;",
             "{Box1};left:380;top:190;width:380;height:60;",
             "{Box};left:380;top:250;width:380;height:70;background:rgb(238, 238, 238);",
             "{Box};left:30;top:290;width:320;height:30;background:rgb(170, 170, 170);",
             "{Logo};left:30;top:30;width:350;height:120;",
         }},
        {"003",
         {
             "{_IssueDate};left:30;top:262;width:98;height:20;color:rgb(170, 170, 170);text-align:end;",
             "{_DeliveryDate};left:30;top:278;width:98;height:20;color:rgb(170, 170, 170);text-align:end;",
             "{_DueDate};left:182;top:278;width:100;height:20;color:rgb(170, 170, 170);text-align:end;",
             "{_PaymentName};left:182;top:262;width:100;height:20;color:rgb(170, 170, 170);text-align:end;",
             "{_ReferenceNumber} {ReferenceNumber};left:30;top:86;width:340;height:20;",
             "{DocumentTitle};left:30;top:30;width:340;height:25;font-size:24px;",
             "{DocumentNumber};left:30;top:65;width:340;height:30;font-size:14px;",
             "{Supplier};left:380;top:150;width:360;height:20;z-index:1;",
             "{Client};left:30;top:110;width:340;height:20;",
             "{IssueDate};left:136;top:262;width:90;height:20;",
             "{DeliveryDate};left:136;top:278;width:90;height:30;",
             "{DueDate};left:288;top:278;width:90;height:30;",
             "{PaymentName};left:288;top:262;width:90;height:20;",
             "{Box1};left:370;top:140;width:390;height:160;",
             "{Logo};left:370;top:30;width:390;height:100;",
         }},
        {"004",
         {
             "{_IssueDate};left:30;top:257;width:90;height:20;z-index:1;text-align:end;",
             "{_DeliveryDate};left:210;top:257;width:90;height:21;z-index:1;text-align:end;",
             "{_DueDate};left:390;top:257;width:90;height:20;z-index:1;text-align:end;",
             "{_PaymentName};left:570;top:257;width:90;height:20;z-index:1;text-align:end;",
             "{_ReferenceNumber} {ReferenceNumber};left:440;top:90;width:320;height:20;color:rgb(85, 85, 85);"
             "text-align:end;",
             "{DocumentTitle};left:170;top:15;width:304;height:25;z-index:1;font-size:20px;color:rgb(255, 255, 255);",
             "{DocumentNumber};left:460;top:15;width:280;height:25;z-index:1;font-size:20px;color:rgb(255, 255, "
             "255);text-align:end;",
             "{Supplier};left:40;top:100;width:350;height:20;z-index:1;",
             "{Client};left:400;top:100;width:350;height:20;",
             "{IssueDate};left:126;top:257;width:90;height:20;z-index:1;font-weight:bold;",
             "{DeliveryDate};left:306;top:257;width:90;height:20;z-index:1;font-weight:bold;",
             "{DueDate};left:486;top:257;width:80;height:20;z-index:1;font-weight:bold;",
             "{PaymentName};left:666;top:257;width:90;height:20;z-index:1;font-weight:bold;",
             "{Box};left:0;top:0;width:100%;height:57;background:black;",
             "{Box1};left:30;top:253;width:730;height:24;",
             "{Logo};left:30;top:0;width:120;height:57;",
         }},
        {"005",
         {
             "{_IssueDate};left:30;top:304;width:90;height:20;color:rgb(170, 170, 170);text-align:end;",
             "{_DeliveryDate};left:210;top:304;width:90;height:20;color:rgb(170, 170, 170);text-align:end;",
             "{_DueDate};left:390;top:304;width:90;height:20;color:rgb(170, 170, 170);text-align:end;",
             "{_PaymentName};left:570;top:304;width:90;height:20;color:rgb(170, 170, 170);text-align:end;",
             "{_ReferenceNumber} {ReferenceNumber};left:430;top:60;width:355;height:20;z-index:1;font-size:10px;"
             "color:#ffffff;text-align:end;",
             "{DocumentTitle};left:420;top:90;width:340;height:29;z-index:2;font-size:22px;",
             "{DocumentNumber};left:515;top:32;width:245;height:20;z-index:1;font-size:16px;color:rgb(255, 255, "
             "255);text-align:end;",
             "{Supplier};left:30;top:150;width:350;height:20;z-index:1;",
             "{Client};left:400;top:150;width:360;height:20;",
             "{IssueDate};left:126;top:304;width:90;height:20;",
             "{DeliveryDate};left:306;top:304;width:90;height:20;",
             "{DueDate};left:486;top:304;width:90;height:20;",
             "{PaymentName};left:666;top:304;width:90;height:20;",
             "{Box};left:0;top:0;width:100%;height:110;background:black;",
             "{Box1};left:400;top:80;width:394;height:50;z-index:1;",
             "{Line};left:30;top:300;width:730;height:10;border-top:1px solid black;",
             "{Line};left:30;top:324;width:730;height:1;border-top:1px solid black;",
             "{Logo};left:30;top:0;width:360;height:110;z-index:1;",
         }},
    };
    return table;
}

// Text after the first ':' of a declaration as a base-10 integer (0 when it holds none).
int declared_number(const std::string& field) {
    const auto colon = field.find(':');
    if (colon == std::string::npos) return 0;
    int value = 0;
    const char* begin = field.data() + colon + 1;
    std::from_chars(begin, field.data() + field.size(), value);
    return value;
}

// An escaped value with its line breaks shown as breaks.
std::string escaped_lines(const std::string& text) {
    const std::string escaped = html_escaped(text);
    std::string out;
    out.reserve(escaped.size());
    for (char c : escaped) {
        if (c == '\n')
            out += "<br>";
        else
            out += c;
    }
    return out;
}

std::string replaced_all(std::string text, const std::string& from, const std::string& to) {
    std::string out;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(from, start)) != std::string::npos; start = at + from.size()) {
        out.append(text, start, at - start);
        out += to;
    }
    out.append(text, start, std::string::npos);
    return out;
}

// The supplier or client box: caption, name, address, the further lines and the contacts.
std::string party_block(const Json& document, const std::string& opening, const std::string& style,
                        const std::string& caption, const std::string& prefix, bool with_bank) {
    auto member = [&](const std::string& name) { return document[prefix + name].string_value(); };
    std::string block = opening + "style='position:absolute;" + style + "'><div>" + html_escaped(caption) +
                        "</div><b>" + html_escaped(member("name")) + "</b><div style='line-height:1.3;'><b>" +
                        escaped_lines(member("address")) + "</b><br>";
    std::vector<std::string> further = {member("identifier_number"), member("other")};
    if (with_bank) further.push_back(document["payment_bank"].string_value());
    for (const std::string& line : further)
        if (!line.empty()) block += html_escaped(line) + "<br>";
    const std::string email = member("email");
    const std::string phone = member("phone");
    if (!email.empty() || !phone.empty()) {
        block += html_escaped(email);
        if (!email.empty() && !phone.empty()) block += ", ";
        block += html_escaped(phone);
    }
    return "<div>" + block + "</div></div></div>";
}

}  // namespace

// The extra CSS that colours a layout's boxes with the theme colours; empty for an unknown layout.
std::string layout_accent_css(const std::string& layout) {
    static const std::map<std::string, std::string> variants = {
        {"002",
         ".DocumentTitle {color:var(--accent-font-color)} .box1 {background:var(--accent-bg-color)} .line "
         "{background:#eee} .footer-total {color:var(--accent-font-color); background:var(--accent-bg-color)}"},
        {"003", ".supplier {color:var(--accent-font-color)} .box1 {background:var(--accent-bg-color)}"},
        {"004",
         ".box1 {border-top:1px black solid; border-bottom:1px black solid;} .footer-total "
         "{color:var(--accent-font-color); background:var(--accent-bg-color)}"},
        {"005",
         ".DocumentTitle {color:var(--accent-font-color)} .footer-total{color:var(--accent-font-color)} .box1, "
         ".footer-total{background:var(--accent-bg-color)}"},
    };
    auto found = variants.find(layout);
    return found == variants.end() ? "" : found->second;
}

// The header block of the document in `layout`, left open for the page to close; `height` receives
// the lowest box bottom.
std::string document_header_html(Core& core, const Json& document, const Json& labels, const std::string& layout,
                                  int& height) {
    auto label = [&](const char* key) { return labels[key].string_value(); };
    const std::string type = document["type"].string_value();
    const bool reference_invoice =
        type == "INVOICE" && document["reference_recordName"].string_value().find("INVOICE") != std::string::npos;
    const bool purchase = type == "PURCHASE_ORDER" || type == "PURCHASE_RECEIVE";

    std::string title;
    if (type == "TASK")
        title = core.translated("TASK", "");
    else if (type == "ARCHIVE_INVOICE")
        title = label("invoice");
    else
        title = labels[to_lower(type)].string_value();
    if (title.empty() && type == "WEBSHOP_ORDER") title = core.translated("webshop", "");

    const Json& issue = document["issue_date"];
    const std::string issue_date =
        issue.is_null() ? core.formatted_date(iso_date(0), "") : core.formatted_date(issue.string_value().substr(0, 10), "");
    const std::string reference_number =
        reference_invoice ? document["reference_number_formatted"].string_value() : std::string();
    const std::string reference_label = reference_invoice ? label("reference") : std::string();

    const std::map<std::string, std::string> placeholders = {
        {"{DocumentTitle}", title},
        {"{DocumentNumber}", document["number_formatted"].string_value()},
        {"{PaymentName}", document["payment_name"].string_value()},
        {"{IssueDate}", issue_date},
        {"{DeliveryDate}", core.formatted_date(document["delivery_date"].string_value(), "")},
        {"{DueDate}", core.formatted_date(document["due_date"].string_value(), "")},
        {"{ReferenceNumber}", reference_number},
        {"{TaskRepeat}", core.repeat_description(document["task_repeat"].string_value())},
        {"{_ReferenceNumber}", reference_label},
        {"{_ReferenceNumber} {ReferenceNumber}", reference_invoice ? reference_label + " " + reference_number : ""},
        {"{_IssueDate}", label("issue_date")},
        {"{_DeliveryDate}", label("delivery_date")},
        {"{_DueDate}", label("due_date")},
        {"{_TaskRepeat}", core.translated("repeat", "")},
        {"{_PaymentName}", label("payment_name")},
    };

    std::string out = "<div id='documentHeader' style='position:relative;'>";
    height = 0;
    auto found = layouts().find(layout);
    if (found == layouts().end()) return out;

    const std::string logo_path = core.data_folder + core.current_account + "logo";
    for (const std::string& entry : found->second) {
        std::vector<std::string> fields = split(';', entry);
        if (!fields.empty() && fields.back().empty()) fields.pop_back();
        if (fields.empty()) continue;
        const std::string& placeholder = fields[0];
        std::string style;
        for (std::size_t i = 1; i < fields.size(); ++i) style += fields[i] + ";";
        if (fields.size() > 4) height = std::max(height, declared_number(fields[2]) + declared_number(fields[4]));

        if (placeholder == "{Logo}") {
            std::error_code error;
            if (!std::filesystem::is_regular_file(logo_path, error)) continue;
            const std::string logo_style = replaced_all(replaced_all(style, "height", "max-height"), "width", "max-width");
            out += "<div><img style='position:absolute;" + logo_style + "' src='data:image/png;base64," +
                   file_base64(logo_path) + "'></div>";
        } else if (placeholder == "{Supplier}") {
            out += party_block(document, "<div class='supplier' ", style, purchase ? "" : label("supplier"), "supplier_",
                               true);
        } else if (placeholder == "{Client}") {
            out += party_block(document, "<div ", style, purchase ? label("vendor") : label("billto"), "client_", false);
        } else {
            auto text = placeholders.find(placeholder);
            const std::string css_class = placeholder.size() >= 2 ? placeholder.substr(1, placeholder.size() - 2) : "";
            out += "<div class='" + css_class + "' style='position:absolute;" + style + "'>" +
                   (text == placeholders.end() ? std::string() : html_escaped(text->second)) + "</div>";
        }
    }
    return out;
}
