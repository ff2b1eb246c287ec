// The list pages and the calendar in a real browser engine: a click on a row, a type button or a
// task reaches the host as the page's web message, and hostile values stay text.
#include "tests/test_support.h"
#include "tests/web/web_harness.h"

#include <QWebEngineView>

#include <gtest/gtest.h>

using json11::Json;

namespace {

const std::string kHostile = "<b>O'Brien & \"Sons\"</b>";
// A record name with every character that could end an attribute or a script string.
const std::string kHostileName = "CLIENT'\"\\`${1}";

// A script expression for a text (JSON strings are script strings).
QString literal(const std::string& text) { return QString::fromStdString(Json(text).dump()); }

QString click(const QString& element) {
    return element + QStringLiteral(".dispatchEvent(new MouseEvent('click', {bubbles: true})); true");
}

class WebLists : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return local_seconds(2026, 3, 10); });
        core = make_core(dir.path(), "hu");
        core->open_database();
        ASSERT_NE(core->db, nullptr);
        ASSERT_TRUE(core->save_record({{"recordName", "C1"}, {"name", "Alma Kft."}}, "clients"));
        ASSERT_TRUE(core->save_record({{"recordName", kHostileName}, {"name", kHostile}}, "clients"));
    }
    void TearDown() override {
        core.reset();
        set_clock({});
    }
    Json message(int index) { return Json::parse(page.messages().at(index).toStdString()); }

    TempDir dir;
    std::unique_ptr<Core> core;
    web::WebHarness page;
};

TEST_F(WebLists, ClickingARowSelectsItAndPostsItsMessage) {
    ASSERT_TRUE(page.load(core->list_html(0, "clients", {}, "", "")));
    const QString hostile_row = "document.getElementById(" + literal(kHostileName) + ")";

    // The name is text in its cell, not markup.
    EXPECT_EQ(page.run(hostile_row + ".cells[0].textContent").toString().toStdString(), kHostile);
    EXPECT_EQ(page.run("document.querySelectorAll('#list b').length").toInt(), 0);
    EXPECT_EQ(page.run("document.getElementById('list').tBodies[0].rows.length").toInt(), 2);

    ASSERT_TRUE(page.run(click(hostile_row)).toBool());
    ASSERT_TRUE(page.wait_for_messages(1));
    EXPECT_EQ(message(0), Json(Json::object{{"action", "onListRowSelected"}, {"recordName", kHostileName}, {"type", "client"}}))
        << page.messages().at(0).toStdString();
    EXPECT_EQ(page.run(hostile_row + ".className").toString(), QStringLiteral("selectedRow"));

    // The selection moves to the next row clicked.
    ASSERT_TRUE(page.run(click(QStringLiteral("document.getElementById('C1')"))).toBool());
    ASSERT_TRUE(page.wait_for_messages(2));
    EXPECT_EQ(message(1)["recordName"].string_value(), "C1");
    EXPECT_EQ(page.run(hostile_row + ".className").toString(), QString());
    EXPECT_EQ(page.run("document.getElementById('C1').className").toString(), QStringLiteral("selectedRow"));
}

TEST_F(WebLists, MasterDataButtonAndCalendarTaskPostTheirMessages) {
    ASSERT_FALSE(core->save_document({}, true,
                                     {{"recordName", "ESTIMATE-1"}, {"type", "ESTIMATE"}, {"clientRecordName", kHostileName},
                                      {"issue_date", "2026-03-01"}, {"number_formatted", "AJ-1"}, {"created", 2}})
                     .empty());
    ASSERT_FALSE(core->save_document({}, true,
                                     {{"recordName", "INVOICE-1"}, {"type", "INVOICE"}, {"clientRecordName", kHostileName},
                                      {"issue_date", "2026-03-01"}, {"number_formatted", "SZLA-1"}, {"created", 1}})
                     .empty());
    const std::string view = core->list_html(0, "client|INVOICE", {}, "", kHostileName);
    ASSERT_TRUE(page.load(view));
    EXPECT_EQ(page.run("document.querySelector('h1').textContent").toString().toStdString(), kHostile);
    ASSERT_TRUE(page.run(click(QStringLiteral("document.querySelector(\"input[type='button']\")"))).toBool());
    ASSERT_TRUE(page.wait_for_messages(1));
    EXPECT_EQ(message(0), Json(Json::object{{"action", "onMasterDataDocTypeFilter"},
                                            {"recordName", kHostileName},
                                            {"type", "client|ESTIMATE"}}))
        << page.messages().at(0).toStdString();

    // An item's card in a narrow window: its long lines wrap inside the card, none is cut at its edge.
    ASSERT_TRUE(core->save_record({{"recordName", "I1"}, {"name", "Kerámia tál, kék mázas"}, {"type", "INVENTORY_TRACKING"},
                                   {"purchase_price", 2600}, {"clearing_price", 2800}, {"selling_price", 6500}},
                                  "items"));
    page.view().resize(560, 600);
    ASSERT_TRUE(page.load(core->list_html(0, "item", {}, "", "I1")));
    EXPECT_TRUE(page.run("(() => { const card = document.querySelector('table td'); "
                         "return card.textContent.includes('Elszámoló ár') && card.scrollWidth <= card.clientWidth; })()")
                    .toBool());
    page.view().resize(1024, 768);

    // The host writes the calendar into the view through a template literal.
    const std::vector<Json> tasks = {Json::object{{"recordName", "TASK-`${x}'\"\\"},
                                                  {"due_date", "2026-03-12"},
                                                  {"number_formatted", "a`b${c}\\d"}}};
    const std::string calendar = core->calendar_html(2026, 3, tasks);
    ASSERT_TRUE(page.run(QStringLiteral("document.body.innerHTML = ''; document.write(`") +
                         QString::fromStdString(calendar) + QStringLiteral("`); document.close(); true"))
                    .toBool());
    EXPECT_EQ(page.run("document.querySelectorAll('td.today').length").toInt(), 1);
    EXPECT_EQ(page.run("document.querySelector('.title').textContent").toString().toStdString(), "\xE2\xAC\xA4 a`b${c}\\d");
    ASSERT_TRUE(page.run(click(QStringLiteral("document.querySelector('.title')"))).toBool());
    ASSERT_TRUE(page.wait_for_messages(2));
    EXPECT_EQ(message(1), Json(Json::object{{"action", "onListRowSelected"}, {"recordName", "TASK-`${x}'\"\\"}}))
        << page.messages().at(1).toStdString();
}

}  // namespace

int main(int argc, char** argv) { return web::run_tests(argc, argv); }
