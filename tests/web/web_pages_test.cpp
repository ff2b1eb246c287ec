// The printable pages in a real browser engine: the page-break script splits a long invoice and the
// reports into pages while they load, stamps the page numbers, and printing to PDF gives one sheet
// per page with its number, the totals on the last one.
#include "core/views/document_view.h"
#include "tests/test_support.h"
#include "tests/web/web_harness.h"

#include <gtest/gtest.h>

#include <QPageLayout>
#include <QPageSize>
#include <QWebEnginePage>

#include <algorithm>
#include <cstdio>
#include <random>
#include <regex>
#include <set>
#include <string>

using json11::Json;

namespace {

// Standard output of a command.
std::string output_of(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
    return out;
}

int pdf_page_count(const std::string& pdf) {
    std::smatch m;
    const std::string info = output_of("pdfinfo '" + pdf + "'");
    if (!std::regex_search(info, m, std::regex("Pages:\\s+([0-9]+)"))) return -1;
    return std::stoi(m[1]);
}

std::string pdf_page_text(const std::string& pdf, int page) {
    const std::string n = std::to_string(page);
    return output_of("pdftotext -layout -f " + n + " -l " + n + " '" + pdf + "' -");
}

// The page divs as the script counts them: class exactly "page".
const char* const kPageCount =
    "Array.prototype.filter.call(document.getElementsByTagName('div'), function(d){return d.className=='page';}).length";

// The lowest bottom of a visible table on any page (the page-break limit applies to each).
const char* const kLowestTableBottom =
    "Math.max.apply(null, Array.prototype.map.call(document.getElementsByTagName('table'), "
    "function(t){return t.offsetParent && t.offsetParent.className=='page' ? t.offsetTop+t.offsetHeight : 0;}))";

// The reference the one-pass breaks are held to: the table measured after every row group, the
// group that runs past the limit moved to a new page under the repeated head.
const char* const kPerGroupScript =
    "<script>function addNewPageIfNecessary(table_header){var tables=document.getElementsByTagName('table');var table=tables[tables.length-1];var bodies=table.getElementsByTagName('tbody');var body=bodies[bodies.length-1];if(table.offsetTop+table.offsetHeight>1040){document.write(\"</table></div><div class='page' align='left'><table><thead><td style='padding-top:1cm;'></td></thead><thead class='header'>\"+table_header+\"</thead>\");tables=document.getElementsByTagName('table');tables[tables.length-1].innerHTML+=body.outerHTML;body.style.display='none';}}"
    "function addNewSummaryPageIfNecessary(){var tables=document.getElementsByTagName('table');var table=tables[tables.length-1];var heads=table.getElementsByTagName('thead');var head=heads[heads.length-1];var bodies=table.getElementsByTagName('tbody');var body=bodies[bodies.length-1];if(table.offsetTop+table.offsetHeight>1040){document.write(\"</tbody></table></div><div class='page' align='left'><table><thead><td style='padding-top:1cm;'></td></thead>\");tables=document.getElementsByTagName('table');tables[tables.length-1].innerHTML+=head.outerHTML+body.outerHTML;head.style.display='none';body.style.display='none';}}"
    "function addNewReportPageIfNecessary(table_header){var tables=document.getElementsByTagName('table');var table=tables[tables.length-1];var bodies=table.getElementsByTagName('tbody');var body=bodies[bodies.length-1];if(table.offsetTop+table.offsetHeight>1040){document.write(\"</table></div><div class='page' align='left'><table><thead><td style='padding-top:1cm;'></td></thead><thead class='header'>\"+table_header+\"</thead>\");tables=document.getElementsByTagName('table');tables[tables.length-1].innerHTML+=body.outerHTML;body.style.display='none';}}"
    "function setPageNumbers(scrollX,scrollY,tavrin){var divs=document.getElementsByTagName('div');var pages=[];for(var i=0;i<divs.length;i++){if(divs[i].className=='page')pages.push(divs[i]);}var pageCount=pages.length;for(var page=1;page<=pageCount;page++){pages[page-1].innerHTML+=\"<span style='position:absolute;bottom:18px;margin-left:30px;color:#bbb;font-size:15;'>\"+tavrin+\"</span><div align='center' style='width:100%;'><div style='position:absolute;width:100%;bottom:18px;font-size:15'>\"+page+\" / \"+pageCount+\"</div></div>\";}if(scrollX>=0&&scrollY>=0)window.scrollTo(scrollX,scrollY);}</script>";

// Each page's visible row groups (heads and bodies) with their text, page by page.
const char* const kPageContents =
    "Array.prototype.filter.call(document.getElementsByTagName('div'), function(d){return d.className=='page';})"
    ".map(function(p){return Array.prototype.filter.call(p.querySelectorAll('thead, tbody'), function(g){"
    "return g.offsetParent!==null;}).map(function(g){return g.nodeName+':'+g.innerText.replace(/\\s+/g,' ').trim();})"
    ".join(' | ');}).join('\\n')";

class WebPages : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return local_seconds(2026, 3, 10); });
        core = make_core(dir.path(), "hu");
        core->open_database();
        ASSERT_NE(core->db, nullptr);
        core->current_account = "ACC1";
    }
    void TearDown() override {
        core.reset();
        set_clock({});
    }

    // Loads the page, checks its page split and stamps, prints it and checks the PDF sheet by sheet;
    // `last_page_text` is expected on the last sheet only. Returns the page count.
    int check_printed(const std::string& html, const std::string& name, const std::string& last_page_text) {
        EXPECT_TRUE(page.load(html));
        // setPageNumbers runs from window.onload: wait for its stamps.
        EXPECT_TRUE(web::wait_until([&] {
            return page.run("document.body && document.body.innerText.indexOf(' / ') >= 0").toBool();
        }));
        const int pages = page.run(kPageCount).toInt();
        EXPECT_GE(pages, 2) << name;
        EXPECT_LE(page.run(kLowestTableBottom).toInt(), 1040) << name;
        for (int i = 1; i <= pages; ++i) {
            const QString stamp = QString("%1 / %2").arg(i).arg(pages);
            EXPECT_TRUE(page.run(QString("Array.prototype.filter.call(document.getElementsByTagName('div'), "
                                         "function(d){return d.className=='page';})[%1].innerText.indexOf('%2') >= 0")
                                     .arg(i - 1)
                                     .arg(stamp))
                            .toBool())
                << name << " page " << i;
        }

        const std::string pdf = dir.path() + name + ".pdf";
        const QPageLayout a4(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(0, 0, 0, 0));
        EXPECT_TRUE(page.print_to_pdf(QString::fromStdString(pdf), a4));
        EXPECT_EQ(pdf_page_count(pdf), pages) << name;
        for (int i = 1; i <= pages; ++i) {
            const std::string text = pdf_page_text(pdf, i);
            // The text layer keeps the stamp's digits and slash; its blanks may go.
            const std::regex stamp("(^|[^0-9])" + std::to_string(i) + " ?/ ?" + std::to_string(pages) + "($|[^0-9])");
            EXPECT_TRUE(std::regex_search(text, stamp))
                << name << " sheet " << i << ":\n" << text;
            EXPECT_EQ(text.find(last_page_text) != std::string::npos, i == pages) << name << " sheet " << i;
        }
        return pages;
    }

    TempDir dir;
    std::unique_ptr<Core> core;
    web::WebHarness page;
};

// A table whose bottom is at the limit stays; one pixel more moves its last row group to a new page
// under the repeated head. Only divs whose class is exactly "page" are numbered.
TEST_F(WebPages, PageBreakLimitAndStamps) {
    auto page_with_table = [](int height) {
        return pagination_script +
               "<body style='margin:0'><div class='page' style='position:relative'><table style='border-spacing:0'>"
               "<thead class='header'></thead><tbody><tr><td style='padding:0;height:" +
               std::to_string(height) +
               "px'>rows</td></tr></tbody><script>addNewReportPageIfNecessary('<td>Head</td>')</script></table>"
               "</div><div class='page other'></div></body>";
    };
    ASSERT_TRUE(page.load(page_with_table(1040)));
    EXPECT_EQ(page.run(kPageCount).toInt(), 1);

    ASSERT_TRUE(page.load(page_with_table(1041)));
    EXPECT_EQ(page.run(kPageCount).toInt(), 2);
    // The moved group is shown once, on the new page, below the head.
    EXPECT_EQ(page.run("Array.prototype.filter.call(document.getElementsByTagName('tbody'), function(b){return "
                       "b.style.display!='none';}).length")
                  .toInt(),
              1);
    EXPECT_EQ(page.run("document.getElementsByTagName('table')[1].innerText.replace(/\\s+/g, ' ').trim()").toString(),
              QStringLiteral("Head rows"));

    EXPECT_TRUE(page.run("window.scrollTo(0, 40); setPageNumbers(-1, -1, 'Tavrin'); setPageNumbers(-1, -1, 'Tavrin'); "
                         "true")
                    .toBool());
    EXPECT_EQ(page.run("document.body.innerText.split('1 / 2').length - 1").toInt(), 2);
    EXPECT_EQ(page.run("document.body.innerText.split('2 / 2').length - 1").toInt(), 2);
    EXPECT_EQ(page.run("document.body.innerText.indexOf('/ 3')").toInt(), -1);
}

TEST_F(WebPages, LongInvoicePrintsPageByPage) {
    const Json::array taxes = core->setting("taxes").array_items();
    const Json::array units = core->setting("units").array_items();
    Json::array lines;
    for (int i = 1; i <= 60; ++i) {
        Json::object line{{"name", "Tétel " + std::to_string(i)},
                          {"quantity", i},
                          {"price", 1000},
                          {"price_type", "NET"},
                          {"tax_id", taxes[i % 2 ? 0 : 2]["id"]},
                          {"unit_id", units[0]["id"]}};
        if (i % 10 == 0) {
            line["discount"] = 10;
            line["discount_type"] = "RATE";
        }
        lines.push_back(line);
    }
    const Json::object document{{"type", "INVOICE"},           {"template", "001"},
                                {"currency_code", "HUF"},      {"exchange_rate", 1},
                                {"number_formatted", "SZ-1"},  {"issue_date", "2026-03-01"},
                                {"client_name", "Alma Kft."},  {"footer_note", "Köszönjük"}};
    const std::string html = core->document_html(1, document, lines, "0,0");
    const TaxSummary summary = core->tax_summary(Json(lines));
    const std::string total = core->formatted_curr(summary.total_gross, "HUF", true, {});
    const int pages = check_printed(html, "invoice", total);
    // The column head repeats on every page the lines run onto.
    EXPECT_GE(page.run("document.querySelectorAll('div.page thead.header').length").toInt(), pages);
}

TEST_F(WebPages, ReportsPrintPageByPage) {
    Json::array documents;
    for (int i = 1; i <= 70; ++i)
        documents.push_back(Json::object{{"number_formatted", "SZ-" + std::to_string(i)},
                                         {"client_name", "Ügyfél " + std::to_string(i)},
                                         {"currency_code", "HUF"},
                                         {"total_net_amount", 1000 * i},
                                         {"total_tax_amount", 270 * i},
                                         {"total_gross_amount", 1270 * i},
                                         {"exchange_rate", 1},
                                         {"issue_date", "2026-03-01"}});
    const Json filter = Json::object{{"report_title", "Számlák"}, {"date_name", "Kiállítás"}, {"date_type", "issue_date"},
                                     {"from_date", "2026-03-01"}, {"to_date", "2026-03-31"}};
    // Sum of 1270 * i for i = 1..70.
    check_printed(core->documents_report_html(false, documents, filter), "period",
                  core->formatted_curr(1270.0 * 70 * 71 / 2, "", true, {}));

    for (int i = 1; i <= 90; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "Cikk %03d", i);
        ASSERT_TRUE(core->save_record({{"recordName", "M" + std::to_string(i)},
                                       {"itemRecordName", "I" + std::to_string(i)},
                                       {"item_name", name},
                                       {"quantity", i}},
                                      "inventory"));
    }
    check_printed(core->inventory_report_html(), "stock", "Cikk 090");
}

// Long documents break at the same groups as when the table was measured after every group: rows
// of varied height, amounts that widen the columns further down, a summary that needs its own
// page, and the reports. Every page after the first starts with the column head.
TEST_F(WebPages, BreaksMatchThePerGroupCheck) {
    const Json::array taxes = core->setting("taxes").array_items();
    const Json::array units = core->setting("units").array_items();
    auto lines_of = [&](int count, bool widening) {
        Json::array lines;
        double price = 10;
        for (int i = 1; i <= count; ++i) {
            std::string name = "Tétel " + std::to_string(i);
            if (i % 9 == 0) name += " hosszú megnevezés, amely több sorba is átfolyik a táblázat első oszlopában";
            Json::object line{{"name", name},
                              {"quantity", i % 7 + 1},
                              {"price", widening ? price : 1000.0 + i},
                              {"price_type", "NET"},
                              {"tax_id", taxes[static_cast<std::size_t>(i % 3)]["id"]},
                              {"unit_id", units[0]["id"]}};
            std::string description = "Leírás";
            for (int extra = 0; extra < i % 4; ++extra) description += "\nsor " + std::to_string(extra);
            if (i % 3 != 0) line["description"] = description;
            if (i % 7 == 0) {
                line["discount"] = 10;
                line["discount_type"] = "RATE";
            }
            price *= 1.12;
            lines.push_back(line);
        }
        return lines;
    };
    const Json::object document{{"type", "INVOICE"},          {"template", "001"},
                                {"currency_code", "HUF"},     {"exchange_rate", 1},
                                {"number_formatted", "SZ-1"}, {"issue_date", "2026-03-01"},
                                {"client_name", "Alma Kft."}, {"footer_note", "Köszönjük"}};

    // The page contents under both scripts; the column head opens every page the rows run onto.
    const std::string head_text = "THEAD: | THEAD:" + core->translated("quantity", "");
    auto same_pages = [&](const std::string& html, const std::string& name) {
        const std::size_t at = html.find(pagination_script);
        EXPECT_NE(at, std::string::npos) << name;
        if (at == std::string::npos) return std::string();
        std::string reference = html;
        reference.replace(at, pagination_script.size(), kPerGroupScript);
        EXPECT_TRUE(page.load(reference)) << name;
        const std::string expected = page.run(kPageContents).toString().toStdString();
        EXPECT_TRUE(page.load(html)) << name;
        const std::string contents = page.run(kPageContents).toString().toStdString();
        EXPECT_EQ(contents, expected) << name;
        EXPECT_LE(page.run(kLowestTableBottom).toInt(), 1040) << name;
        return contents;
    };

    const std::string widening = same_pages(core->document_html(1, document, lines_of(150, true), "0,0"), "widening");
    EXPECT_GE(std::count(widening.begin(), widening.end(), '\n'), 10);
    for (std::size_t at = widening.find('\n'); at != std::string::npos; at = widening.find('\n', at + 1)) {
        const std::string page_text = widening.substr(at + 1, widening.find('\n', at + 1) - at - 1);
        if (page_text.find("TBODY:Tétel") != std::string::npos) {
            EXPECT_EQ(page_text.rfind(head_text, 0), 0u) << page_text.substr(0, 80);
        }
    }

    // Around a page's worth of lines the summary fits, or moves to a page of its own.
    int summary_alone = 0;
    for (int count = 8; count <= 20; ++count) {
        const std::string contents =
            same_pages(core->document_html(1, document, lines_of(count, false), "0,0"), std::to_string(count));
        const std::string last = contents.substr(contents.rfind('\n') + 1);
        if (last.rfind("THEAD: | THEAD:" + core->translated("net", ""), 0) == 0) ++summary_alone;
    }
    EXPECT_GE(summary_alone, 1);

    Json::array documents;
    for (int i = 1; i <= 70; ++i)
        documents.push_back(Json::object{{"number_formatted", "SZ-" + std::to_string(i)},
                                         {"client_name", "Ügyfél " + std::to_string(i)},
                                         {"currency_code", "HUF"},
                                         {"total_net_amount", 1000 * i * i},
                                         {"total_tax_amount", 270 * i},
                                         {"total_gross_amount", 1270 * i * i},
                                         {"exchange_rate", 1},
                                         {"issue_date", "2026-03-01"}});
    const Json filter = Json::object{{"report_title", "Számlák"}, {"date_name", "Kiállítás"}, {"date_type", "issue_date"},
                                     {"from_date", "2026-03-01"}, {"to_date", "2026-03-31"}};
    same_pages(core->documents_report_html(false, documents, filter), "period");
}

// The editor's preview, changed in place after every edit, shows what a fresh rendering of the same
// document shows: the same pages with the same rows, breaks, stamps and line numbers.
TEST_F(WebPages, PreviewChangedInPlaceMatchesAFreshPage) {
    const Json::array taxes = core->setting("taxes").array_items();
    const Json::array units = core->setting("units").array_items();
    std::mt19937 random(20260310);
    auto pick = [&](int count) { return static_cast<int>(random() % static_cast<unsigned>(count)); };
    int made = 0;
    auto new_line = [&] {
        ++made;
        Json::object line{{"name", "Tétel " + std::to_string(made) + (made % 4 ? "" : " hosszabb megnevezés, amely két sorba fut át")},
                          {"quantity", pick(9) + 1},
                          {"price", 500.0 + pick(100000)},
                          {"price_type", "NET"},
                          {"tax_id", taxes[static_cast<std::size_t>(pick(3))]["id"]},
                          {"unit_id", units[0]["id"]}};
        std::string description = "Leírás";
        for (int extra = pick(4); extra > 0; --extra) description += "\nsor";
        if (pick(3)) line["description"] = description;
        if (!pick(5)) line["discount"] = 10, line["discount_type"] = "RATE";
        return Json(line);
    };
    std::vector<Json> lines;
    for (int i = 0; i < 45; ++i) lines.push_back(new_line());
    Json::object document{{"type", "INVOICE"},          {"template", "001"},      {"currency_code", "HUF"},
                          {"exchange_rate", 1},         {"number_formatted", "SZ-1"}, {"issue_date", "2026-03-01"},
                          {"client_name", "Alma Kft."}, {"footer_note", "Köszönjük"}};
    const std::string stamp = core->translated("tavrin_invoice", "");
    DocumentPageParts shown;
    // As the editor renders: the rows of unchanged lines are taken over from the page shown.
    auto parts_of = [&] { return document_page_parts(*core, -1, Json(document), Json(lines), "0,0", &shown); };
    // Everything a reader sees and clicks, page by page.
    const QString seen = QString(kPageContents) +
                         "+'\\n'+Array.prototype.filter.call(document.getElementsByTagName('div'), function(d){return "
                         "d.className=='page';}).map(function(p){return p.innerText;}).join('\\f')+'\\n'+"
                         "Array.prototype.filter.call(document.querySelectorAll('tr.row_line'), function(r){return "
                         "r.offsetParent!==null;}).map(function(r){return r.getAttribute('onclick');}).join()";

    shown = parts_of();
    ASSERT_TRUE(page.load(shown.whole()));
    ASSERT_TRUE(web::wait_until([&] { return page.run("document.body.innerText.indexOf(' / ') >= 0").toBool(); }));
    page.run("document.previewShown=1");
    web::WebHarness fresh;
    std::set<std::string> kinds;
    for (int step = 1; step <= 30; ++step) {
        std::string kind;
        switch (step <= 8 ? step - 1 : pick(8)) {
            case 0: {
                kind = "edit";
                Json& edited = lines[static_cast<std::size_t>(pick(static_cast<int>(lines.size())))];
                Json::object line = edited.object_items();
                line["quantity"] = line["quantity"].number_value() * 13;
                line["description"] = line["description"].is_string() ? Json() : Json("Új leírás\nmásodik\nharmadik");
                edited = Json(line);
                break;
            }
            case 1:
                kind = "add";
                for (int n = pick(3) + 1; n > 0; --n)
                    lines.insert(lines.begin() + pick(static_cast<int>(lines.size()) + 1), new_line());
                break;
            case 2:
                kind = "remove";
                for (int n = pick(3) + 1; n > 0 && lines.size() > 1; --n) lines.erase(lines.begin() + pick(static_cast<int>(lines.size())));
                break;
            case 3: {
                kind = "move";
                const auto from = lines.begin() + pick(static_cast<int>(lines.size()));
                const Json line = *from;
                lines.erase(from);
                lines.insert(lines.begin() + pick(static_cast<int>(lines.size()) + 1), line);
                break;
            }
            case 4:
                kind = "header";
                document["client_name"] = "Ügyfél " + std::to_string(step);
                document["number_formatted"] = "SZ-" + std::to_string(step);
                break;
            case 5:
                kind = "header note";
                document["header_note"] = Json(document)["header_note"].string_value().empty()
                                              ? "Fejléc megjegyzés\nkét sorban\nés egy harmadikban"
                                              : "";
                break;
            case 6:
                kind = "footer note";
                document["footer_note"] = "Köszönjük a vásárlást (" + std::to_string(step) + ")";
                break;
            default:
                kind = "currency";
                document["currency_code"] = Json(document)["currency_code"].string_value() == "HUF" ? "EUR" : "HUF";
                document["exchange_rate"] = Json(document)["currency_code"].string_value() == "HUF" ? 1.0 : 391.5;
                break;
        }
        kinds.insert(kind);
        const DocumentPageParts next = parts_of();
        const std::string script = page_update_script(shown, next, stamp, step, step + 1);
        ASSERT_FALSE(script.empty()) << kind;
        ASSERT_TRUE(page.run(QString::fromStdString(script)).toBool()) << "step " << step << ": " << kind;
        ASSERT_TRUE(fresh.load(core->document_html(-1, document, Json(lines), "0,0")));
        ASSERT_TRUE(web::wait_until([&] { return fresh.run("document.body.innerText.indexOf(' / ') >= 0").toBool(); }));
        const QString expected = fresh.run(seen).toString();
        ASSERT_EQ(page.run(seen).toString(), expected) << "step " << step << ": " << kind;
        ASSERT_EQ(page.run(kPageCount).toInt(), fresh.run(kPageCount).toInt());
        shown = next;
    }
    EXPECT_EQ(kinds.size(), 8u);
    EXPECT_GE(page.run(kPageCount).toInt(), 3);
    // A page that is not the one the change was worked out for refuses it.
    EXPECT_FALSE(page.run(QString::fromStdString(page_update_script(shown, parts_of(), stamp, 1, 2))).toBool());
    // A change of colours or language needs the whole page.
    document["language_code"] = "en";
    EXPECT_TRUE(page_update_script(shown, parts_of(), stamp, 31, 32).empty());
}

}  // namespace

int main(int argc, char** argv) { return web::run_tests(argc, argv); }
