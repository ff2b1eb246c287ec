// The client and item records through their real widgets: searched, dragged onto and added from the
// document page on the DEMO account; made in the main window's dialogs on a cloud account, with the
// taxpayer look-up against the loopback tax authority, the opening stock and the second installation.
#include "tests/fakes/cloud_store.h"
#include "tests/fakes/maker_fake.h"
#include "tests/fakes/nav_fake.h"
#include "tests/test_support.h"
#include "tests/ui/demo_program.h"
#include "tests/ui/ui_test_support.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "app/editor/ClientDlg.h"
#include "app/editor/DocumentPage.h"
#include "app/editor/ItemDlg.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/ContentDialog.h"

#include <QApplication>
#include <QDropEvent>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>

#include <filesystem>
#include <memory>
#include <set>

using json11::Json;
using uitest::wait_for_script;
using uitest::DemoProgram;
using uitest::press;
using uitest::tr_key;
using uitest::wait_for_dialog;
using uitest::unreachable_url;
using uitest::wait_until;

namespace {

template <class T>
T* content(ui::ContentDialog* dialog) {
    return dialog ? qobject_cast<T*>(dialog->ContentWidget()) : nullptr;
}

// Typed key by key where the test keyboard has the keys (plain ASCII), else put in at once.
void type_text(ui::TextBox* box, const QString& text) {
    box->Text(QString());
    bool ascii = true;
    for (QChar c : text) ascii = ascii && c.unicode() < 0x80;
    if (ascii)
        QTest::keyClicks(box->Editor(), text);
    else
        box->Text(text);
}

// The typed text becomes the number box's value when the focus leaves it.
void type_number(ui::NumberBox* box, const QString& text) {
    QApplication::setActiveWindow(box->window());
    box->Editor()->setFocus();
    box->Editor()->selectAll();
    // Nothing typed empties the box.
    if (text.isEmpty()) QTest::keyClick(box->Editor(), Qt::Key_Delete);
    QTest::keyClicks(box->Editor(), text);
    QTest::keyClick(box->Editor(), Qt::Key_Tab);
}

// Presses the dialog's primary button and sees it refused: the dialog stays, with a reason.
void refuse(ui::ContentDialog* dialog) {
    ASSERT_NE(dialog, nullptr);
    for (QPushButton* b : dialog->findChildren<QPushButton*>())
        if (b->isDefault()) QTest::mouseClick(b, Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_EQ(ui::ContentDialog::Current(), dialog);
    EXPECT_FALSE(dialog->ErrorText().isEmpty());
}

std::vector<std::string> names_in(const ui::ListView* list) {
    std::vector<std::string> names;
    for (int i = 0; i < list->Size(); ++i) names.push_back(ui::utf8(list->ContentAt(i)));
    return names;
}

// A user's drag of row `row` of `list`, dropped onto the preview: false when the preview refused it.
bool drag_onto_preview(ui::ListView* list, int row, ui::WebView2* preview) {
    std::unique_ptr<QMimeData> data(list->StartDragItems({row}));
    const QPoint middle(preview->width() / 2, preview->height() / 2);
    QDragEnterEvent enter(middle, Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(preview, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(middle), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(preview, &drop);
    return true;
}

bool shows(ui::WebView2* view, const std::string& text) {
    return wait_for_script(view, "document.body.innerText.indexOf(" + ui::qs(Json(text).dump()) + ") >= 0", "true") ==
           "true";
}

// Many colours: the picture shows drawn controls, not an empty surface.
std::size_t colours_of(const QImage& picture) {
    std::set<QRgb> colours;
    for (int y = 0; y < picture.height(); y += 2)
        for (int x = 0; x < picture.width(); x += 2) colours.insert(picture.pixel(x, y));
    return colours.size();
}

void picture(ui::ContentDialog* dialog, const char* file) {
    const QImage image = dialog->grab().toImage();
    EXPECT_GT(colours_of(image), 8u) << file;
    EXPECT_TRUE(image.save(QString(TAVRIN_UI_TEST_OUTPUT) + "/" + file));
}

std::vector<Json::object> rows(const char* sql, const std::string& value) {
    return store::rows(*g_core, sql, {Json(value)});
}

}  // namespace

TEST(RecordDialogs, SearchDragAndAddRecordsOnTheDocumentPage) {
    DemoProgram program;
    Tavrin::MainWindow* w = program.window;
    ASSERT_TRUE(wait_until([&] { return w && w->navigationView->SelectedItem() && w->listWebView->IsLoaded(); }));
    program.rates().add_rate(iso_date(0), "USD", "356,25");
    QTest::mouseClick(w->newDocument, Qt::LeftButton);
    Tavrin::DocumentPage* page = nullptr;
    ASSERT_TRUE(wait_until([&] {
        page = w->document_window ? qobject_cast<Tavrin::DocumentPage*>(w->document_window->Content()) : nullptr;
        return page && page->previews_shown > 0;
    }));
    EXPECT_EQ(page->clientsListView->Size(), 12) << "an empty search lists every client";

    // Part of an accented name finds the client with or without its accents, in any case.
    for (const char* typed : {"kavezo", "Kávézó", "KÁVÉ", "  kávézó  "}) {
        page->clientsSearchBox->Text(QString::fromUtf8(typed));
        EXPECT_EQ(names_in(page->clientsListView), std::vector<std::string>{"Tiszavirág Kávézó Kft."}) << typed;
    }
    // Typing in one box searches the other list again with its own text.
    EXPECT_EQ(page->itemsListView->Size(), 10);

    // The client dragged onto the preview becomes the document's client, with its term and currency.
    const std::int64_t shown = page->previews_shown;
    ASSERT_TRUE(drag_onto_preview(page->clientsListView, 0, page->previewWebView));
    Json doc(page->document);
    EXPECT_EQ(doc["client_name"].string_value(), "Tiszavirág Kávézó Kft.");
    EXPECT_EQ(doc["clientRecordName"].string_value(),
              Json(store::rows(*g_core, "SELECT recordName FROM clients WHERE name = 'Tiszavirág Kávézó Kft.'").at(0))["recordName"]
                  .string_value());
    EXPECT_FALSE(doc["client_address"].string_value().empty());
    EXPECT_EQ(page->recordsPivot->SelectedIndex(), 1) << "the items come forward";
    EXPECT_EQ(page->dueDatePicker->Date(), Tavrin::stored_date(iso_date(0))->addDays(7)) << "its term is 7 days";
    ASSERT_TRUE(wait_until([&] { return page->previews_shown > shown; }));
    EXPECT_TRUE(shows(page->previewWebView, "Tiszavirág Kávézó Kft."));
    EXPECT_EQ(Json(page->document)["due_date"].string_value(),
              ui::utf8(Tavrin::stored_date(iso_date(0))->addDays(7).toString(Qt::ISODate)));

    // An item dragged onto the preview adds a line at its selling price; dragging one over the list
    // itself is refused there.
    page->itemsSearchBox->Text("diofa");
    ASSERT_EQ(names_in(page->itemsListView), std::vector<std::string>{"Diófa vágódeszka"});
    EXPECT_FALSE(page->itemsListView->acceptDrops());
    ASSERT_TRUE(drag_onto_preview(page->itemsListView, 0, page->previewWebView));
    ASSERT_EQ(page->lines.size(), 1u);
    const Json line(page->lines[0]);
    EXPECT_EQ(line["recordName"].string_value(), ui::utf8(page->itemsListView->TagAt(0).toString()));
    EXPECT_EQ(line["name"].string_value(), "Diófa vágódeszka");
    EXPECT_EQ(line["quantity"].number_value(), 1);
    EXPECT_EQ(line["discount"].number_value(), 0);
    EXPECT_EQ(line["price"].number_value(), 8900);
    EXPECT_TRUE(shows(page->previewWebView, "Diófa vágódeszka"));
    // Dragged again, a second line of the tracked item: its stock hint starts where the first one's ends.
    const double stock = Json(store::rows(*g_core, "SELECT SUM(quantity) AS n FROM inventory WHERE itemRecordName = ?",
                                          {line["recordName"]}).at(0))["n"].number_value();
    const auto hint = [](double from) {
        return g_core->formatted_num(from, 0) + " - 1 = " + g_core->formatted_num(from - 1, 0);
    };
    const std::string hints = Json(hint(stock) + "|" + hint(stock - 1)).dump();
    ASSERT_TRUE(drag_onto_preview(page->itemsListView, 0, page->previewWebView));
    const QString shown_hints = "[...document.querySelectorAll('td i')].map(i => i.innerText).join('|')";
    EXPECT_EQ(wait_for_script(page->previewWebView, shown_hints, hints), hints);
    page->lines.pop_back();

    // A drop without text, or with a text that names nothing, changes nothing.
    QMimeData file;
    file.setUrls({QUrl::fromLocalFile("/tmp/x.png")});
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &file, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page->previewWebView, &drop);
    QMimeData unknown;
    unknown.setText("nincs ilyen");
    QDropEvent drop_unknown(QPointF(10, 10), Qt::CopyAction, &unknown, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(page->previewWebView, &drop_unknown);
    EXPECT_EQ(page->lines.size(), 1u);

    // A new client from the page: saved as typed, applied to the document, and found by a search
    // whose apostrophe and '%' match themselves.
    QTest::mouseClick(page->newClientButton, Qt::LeftButton);
    ui::ContentDialog* dialog = wait_for_dialog();
    auto* client = content<Tavrin::ClientDlg>(dialog);
    ASSERT_NE(client, nullptr);
    // The countries are named in the program's language.
    EXPECT_EQ(ui::utf8(client->countriesCombBox->SelectedText()), "HU - Magyarország");
    EXPECT_EQ(client->address1TextBox->Header(), tr_key("postcode"));
    EXPECT_EQ(ui::GetVisibility(client->address4TextBox), ui::Visibility::Collapsed);
    type_text(client->nameTextBox, "  O'Brien   50%  Fazekas ");
    client->countriesCombBox->SelectedItem("US - Egyesült Államok");
    EXPECT_EQ(client->address3TextBox->Header(), tr_key("state"));
    EXPECT_EQ(ui::GetVisibility(client->address4TextBox), ui::Visibility::Visible);
    type_text(client->address1TextBox, "5th Avenue 1");
    type_text(client->address2TextBox, "New York");
    type_text(client->address3TextBox, "NY");
    type_text(client->address4TextBox, "10001");
    client->currenciesCombBox->SelectedItem("USD");
    picture(dialog, "client_dialog.png");
    press(dialog, tr_key("save"));
    ASSERT_TRUE(wait_until([&] { return Json(page->document)["client_name"].string_value() != "Tiszavirág Kávézó Kft."; }));
    const std::string made_client = Json(page->document)["clientRecordName"].string_value();
    const auto stored = rows("SELECT * FROM clients WHERE recordName = ?", made_client);
    ASSERT_EQ(stored.size(), 1u);
    const Json c(stored[0]);
    EXPECT_EQ(c["name"].string_value(), "O'Brien 50% Fazekas");
    EXPECT_EQ(c["street"].string_value(), "5th Avenue 1");
    EXPECT_EQ(c["state"].string_value(), "NY");
    EXPECT_EQ(c["postcode"].string_value(), "10001");
    EXPECT_EQ(c["currency_code"].string_value(), "USD");
    EXPECT_EQ(Json(page->document)["client_name"].string_value(), "O'Brien 50% Fazekas");
    // A client in another currency brings the rate of the delivery date, as the rate button does.
    EXPECT_EQ(ui::GetVisibility(page->exchangeRateNumberBox), ui::Visibility::Visible) << "not the home currency";
    ASSERT_TRUE(wait_until([&] { return page->exchangeRateNumberBox->Value() == 356.25; }));
    ASSERT_FALSE(program.rates().queries().empty());
    EXPECT_EQ(program.rates().queries().back().currencies, "USD");
    // A client in the document's currency keeps the rate the user typed.
    type_number(page->exchangeRateNumberBox, "360");
    const std::size_t asked = program.rates().queries().size();
    page->ApplyRecordToDocument(true, made_client);
    EXPECT_EQ(page->exchangeRateNumberBox->Value(), 360.0);
    EXPECT_EQ(program.rates().queries().size(), asked);
    for (const char* typed : {"%", "o'brien", "50% f"}) {
        page->clientsSearchBox->Text(typed);
        EXPECT_EQ(names_in(page->clientsListView), std::vector<std::string>{"O'Brien 50% Fazekas"}) << typed;
    }
    page->clientsSearchBox->Text("_");
    EXPECT_EQ(page->clientsListView->Size(), 0) << "'_' is no wildcard";

    // A new item from the page becomes a line at its selling price.
    QTest::mouseClick(page->newItemButton, Qt::LeftButton);
    dialog = wait_for_dialog();
    auto* item = content<Tavrin::ItemDlg>(dialog);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->reasonsCombBox->SelectedIndex(), 0);
    EXPECT_TRUE(item->quantityNumberBox->Text().isEmpty());
    type_text(item->nameTextBox, "Mázas   csésze");
    // Stock is kept in whole units, prices within what an invoice carries: the dialog says why it
    // stays open, and nothing is stored.
    const auto items_before = store::rows(*g_core, "SELECT recordName FROM items").size();
    for (const auto& [box, typed] : {std::pair{item->quantityNumberBox, "2,5"}, std::pair{item->quantityNumberBox, "1e300"},
                                     std::pair{item->sellingPriceNumberBox, "1e13"}}) {
        type_number(box, typed);
        refuse(dialog);
        type_number(box, box == item->quantityNumberBox ? "" : "0");
    }
    EXPECT_EQ(store::rows(*g_core, "SELECT recordName FROM items").size(), items_before);
    type_number(item->sellingPriceNumberBox, "1500");
    picture(dialog, "item_dialog.png");
    press(dialog, tr_key("save"));
    ASSERT_TRUE(wait_until([&] { return page->lines.size() == 2u; }));
    EXPECT_EQ(Json(page->lines[1])["name"].string_value(), "Mázas csésze");
    EXPECT_EQ(Json(page->lines[1])["price"].number_value(), 1500);
    EXPECT_TRUE(shows(page->previewWebView, "Mázas csésze"));

    // While a save runs, a new document for a client from the main window waits for it: the
    // document being saved keeps its client, and the command runs once the save has ended.
    const std::string other_client =
        Json(store::rows(*g_core, "SELECT recordName FROM clients WHERE name = 'Tiszavirág Kávézó Kft.'").at(0))["recordName"]
            .string_value();
    page->save_in_flight = true;
    w->DeriveDocument(w->actionNewForRecord, other_client);
    QCoreApplication::processEvents();
    EXPECT_EQ(Json(page->document)["clientRecordName"].string_value(), made_client);
    page->save_in_flight = false;
    ASSERT_TRUE(wait_until([&] { return Json(page->document)["clientRecordName"].string_value() == other_client; }));

    // A cancelled dialog stores nothing.
    const auto clients_before = store::rows(*g_core, "SELECT recordName FROM clients").size();
    QTest::mouseClick(page->newClientButton, Qt::LeftButton);
    dialog = wait_for_dialog();
    type_text(content<Tavrin::ClientDlg>(dialog)->nameTextBox, "Elvetett");
    press(dialog, tr_key("cancel"));
    QCoreApplication::processEvents();
    EXPECT_EQ(store::rows(*g_core, "SELECT recordName FROM clients").size(), clients_before);
}

namespace {

const std::string kAccount = "7C1D2E3F-4A5B-4C6D-8E9F-A0B1C2D3E4F5";
constexpr std::time_t kNow = 1772362800;  // 2026-03-01 12:00 in Budapest

// A cloud account with the main window shown and a tax authority that knows one taxpayer.
class MainWindowRecords : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return kNow; });
        cloud.create_zone(kAccount);
        cloud.put_row("_defaultZone", "Settings", "accounts",
                      Json(Json::array{Json::object{{"id", kAccount}, {"name", "Fazekas Kft."}}}));
        g_core = make_core(dir.path() + "a/", "hu").release();
        g_core->current_account = kAccount;
        g_core->open_database();
        g_core->save_web_auth_token("a-session");

        nav.add_user(user);
        NavAddress address;
        address.postal_code = "1036";
        address.city = "Budapest";
        address.street_name = "Fenyő";
        address.public_place_category = "utca";
        address.number = "5";
        nav.add_taxpayer(NavTaxpayer{"87654321", "2", "41", "Fenyves Pékség Kft.", {address}});
        window = new Tavrin::MainWindow;
        g_main_window = window;
        window->Activate();
        ASSERT_TRUE(wait_until([&] { return window->navigationView->SelectedItem() && !window->navigationView->isHidden(); }));
        for (ui::NavigationViewItem* item : window->listItems)
            if (ui::Name(item) == "clients") window->navigationView->SelectedItem(item);
        ASSERT_TRUE(wait_until([&] { return ui::Name(window->navigationView->SelectedItem()) == "clients"; }));
        // The first start has written the account's defaults; the test's settings go over them.
        Json::object supplier = user.signed_in(g_core->setting("supplier").object_items(), "12345678-2-41");
        g_core->save_record({{"recordName", "supplier"}, {"value", Json(supplier).dump()}}, "settings");
        // A country without an address format of its own.
        Json::array countries = g_core->setting("countries").array_items();
        countries.push_back(Json::object{{"code", "ZZ"}});
        g_core->save_record({{"recordName", "countries"}, {"value", Json(countries).dump()}}, "settings");

    }

    void TearDown() override {
        window->Close();
        delete window;
        g_main_window = nullptr;
        ui::ThreadPool::WaitForIdle();
        delete g_core;
        g_core = nullptr;
        set_clock({});
    }

    Tavrin::ClientDlg* look_up(Tavrin::ClientDlg* client, const QString& tax_number) {
        type_text(client->identifierNumberTextBox, tax_number);
        QTest::mouseClick(client->taxpayerButton, Qt::LeftButton);
        return client;
    }

    TempDir dir;
    CloudStore cloud;
    NavFake nav{std::string(TAVRIN_TEST_DATA) + "/nav"};
    const NavUser user{"tavrintechuser", "Jelszo-123", "ab-12cd-34ef-56ab78", "EXCHANGE-KEY-1234", "12345678"};
    ScopedEnv env{[this] {
        ScopedEnv::Values values = cloud.env();
        values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:1");
        for (const auto& value : nav.env()) values.push_back(value);
        return values;
    }()};
    Tavrin::MainWindow* window = nullptr;
};

}  // namespace

TEST_F(MainWindowRecords, ClientsAndItemsAreSavedLookedUpPostedAndReachTheCloud) {
    // The taxpayer look-up: what the user typed stays when the authority is not asked, knows no such
    // taxpayer or cannot be reached, and the answer fills the form when it comes.
    QTest::mouseClick(window->newClient, Qt::LeftButton);
    ui::ContentDialog* dialog = wait_for_dialog();
    auto* client = content<Tavrin::ClientDlg>(dialog);
    ASSERT_NE(client, nullptr);
    type_text(client->nameTextBox, "Saját név");
    type_text(client->address2TextBox, "Szeged");
    // It says why: the look-up that did not ask differs from the one that got no taxpayer.
    const auto unchanged = [&](const char* tax_number) {
        EXPECT_EQ(ui::utf8(client->nameTextBox->Text()), "Saját név") << tax_number;
        EXPECT_EQ(ui::utf8(client->identifierNumberTextBox->Text()), tax_number);
        EXPECT_EQ(ui::utf8(client->address2TextBox->Text()), "Szeged");
        EXPECT_TRUE(client->taxpayerInfoBar->IsOpen());
        EXPECT_EQ(client->taxpayerInfoBar->Severity(), ui::InfoBar::InfoBarSeverity::Warning);
        return client->taxpayerInfoBar->Message();
    };
    look_up(client, "8765432");
    const QString not_asked = unchanged("8765432");
    look_up(client, "11112222");
    const QString not_found = unchanged("11112222");
    EXPECT_NE(not_asked, not_found);
    EXPECT_FALSE(not_found.isEmpty());
    {
        ScopedEnv gone({{"TAVRIN_NAV_URL", unreachable_url()}});
        client->taxpayerInfoBar->IsOpen(false);
        look_up(client, "87654321");
        EXPECT_EQ(unchanged("87654321"), not_found);
    }
    look_up(client, "87654321");
    EXPECT_EQ(ui::utf8(client->nameTextBox->Text()), "Fenyves Pékség Kft.");
    EXPECT_EQ(ui::utf8(client->identifierNumberTextBox->Text()), "87654321-2-41");
    EXPECT_EQ(ui::utf8(client->address1TextBox->Text()), "1036");
    EXPECT_EQ(ui::utf8(client->address2TextBox->Text()), "Budapest");
    EXPECT_EQ(ui::utf8(client->address3TextBox->Text()), "Fenyő utca 5");
    EXPECT_EQ(client->taxpayerInfoBar->Severity(), ui::InfoBar::InfoBarSeverity::Success);
    // The dialog grows for the message: the form may scroll down, never across out of sight.
    auto* area = qobject_cast<QScrollArea*>(client->parentWidget()->parentWidget());
    ASSERT_NE(area, nullptr);
    EXPECT_TRUE(wait_until([&] {
        return area->viewport()->width() >= client->minimumSizeHint().width() && !area->horizontalScrollBar()->isVisible();
    }));
    press(dialog, tr_key("save"));

    // Saved, shown in its own tab and in the clients list.
    const char* const fenyves = "SELECT * FROM clients WHERE name = 'Fenyves Pékség Kft.'";
    ASSERT_TRUE(wait_until([&] { return !store::rows(*g_core, fenyves).empty(); }));
    const auto found = store::rows(*g_core, fenyves);
    ASSERT_EQ(found.size(), 1u);
    const std::string client_name = Json(found[0])["recordName"].string_value();
    EXPECT_EQ(client_name.size(), 36u);
    EXPECT_EQ(Json(found[0])["street"].string_value(), "Fenyő utca 5");
    EXPECT_EQ(Json(found[0])["postcode"].string_value(), "1036");
    ASSERT_TRUE(wait_until([&] { return ui::TagText(window->tabView->SelectedItem()->Tag()) == client_name; }));
    EXPECT_EQ(window->tabView->SelectedItem()->Header().toStdString(), "Fenyves Pékség");
    EXPECT_TRUE(shows(window->listWebView, "Fenyves Pékség Kft."));

    // A country without an address format keeps all four address parts.
    window->ShowClientDialog(std::string());
    dialog = wait_for_dialog();
    client = content<Tavrin::ClientDlg>(dialog);
    type_text(client->nameTextBox, "Messzi Bt.");
    client->countriesCombBox->SelectedItem("ZZ");
    for (ui::TextBox* slot : {client->address1TextBox, client->address2TextBox, client->address3TextBox, client->address4TextBox})
        EXPECT_EQ(ui::GetVisibility(slot), ui::Visibility::Visible);
    type_text(client->address1TextBox, "Hosszú út 9");
    type_text(client->address2TextBox, "9999");
    type_text(client->address3TextBox, "Messzeváros");
    type_text(client->address4TextBox, "Tartomány");
    press(dialog, tr_key("save"));
    ASSERT_TRUE(wait_until([&] { return !store::rows(*g_core, "SELECT * FROM clients WHERE name = 'Messzi Bt.'").empty(); }));
    const auto far = store::rows(*g_core, "SELECT * FROM clients WHERE name = 'Messzi Bt.'");
    ASSERT_EQ(far.size(), 1u);
    EXPECT_EQ(Json(far[0])["country_code"].string_value(), "ZZ");
    EXPECT_EQ(Json(far[0])["street"].string_value(), "Hosszú út 9");
    EXPECT_EQ(Json(far[0])["postcode"].string_value(), "9999");
    EXPECT_EQ(Json(far[0])["city"].string_value(), "Messzeváros");
    EXPECT_EQ(Json(far[0])["state"].string_value(), "Tartomány");

    // A client whose country and currency are no longer in the lists keeps them, and its address.
    const std::string old = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";
    g_core->save_record({{"recordName", old}, {"name", "Régi Kft."}, {"country_code", "XX"}, {"currency_code", "GBP"},
                         {"street", "Régi út 1"}, {"city", "Régiváros"}},
                        "clients");
    window->ShowClientDialog(old);
    dialog = wait_for_dialog();
    client = content<Tavrin::ClientDlg>(dialog);
    EXPECT_EQ(client->countriesCombBox->SelectedIndex(), -1);
    EXPECT_EQ(ui::utf8(client->address1TextBox->Text()), "Régi út 1");
    press(dialog, tr_key("save"));
    ASSERT_TRUE(wait_until([&] { return ui::TagText(window->tabView->SelectedItem()->Tag()) == old; }));
    const Json kept(rows("SELECT * FROM clients WHERE recordName = ?", old).at(0));
    EXPECT_EQ(kept["country_code"].string_value(), "XX");
    EXPECT_EQ(kept["currency_code"].string_value(), "GBP");
    EXPECT_EQ(kept["street"].string_value(), "Régi út 1");
    EXPECT_EQ(kept["city"].string_value(), "Régiváros");

    // An item with an opening stock posts one movement at its purchase price.
    QTest::mouseClick(window->newItem, Qt::LeftButton);
    dialog = wait_for_dialog();
    auto* item = content<Tavrin::ItemDlg>(dialog);
    ASSERT_NE(item, nullptr);
    type_text(item->nameTextBox, "Agyagkorong");
    type_number(item->sellingPriceNumberBox, "900");
    type_number(item->purchasePriceNumberBox, "400");
    type_number(item->quantityNumberBox, "-5");
    type_text(item->stockNoteTextBox, "Nyitó készlet");
    press(dialog, tr_key("save"));
    ASSERT_TRUE(wait_until([&] { return !store::rows(*g_core, "SELECT * FROM items WHERE name = 'Agyagkorong'").empty(); }));
    const auto items = store::rows(*g_core, "SELECT * FROM items WHERE name = 'Agyagkorong'");
    ASSERT_EQ(items.size(), 1u);
    const std::string item_name = Json(items[0])["recordName"].string_value();
    const auto movements = rows("SELECT * FROM inventory WHERE itemRecordName = ?", item_name);
    ASSERT_EQ(movements.size(), 1u);
    EXPECT_EQ(Json(movements[0])["reason"].string_value(), "ADD");
    EXPECT_EQ(Json(movements[0])["quantity"].number_value(), 5) << "the reason, not the sign, gives the direction";
    EXPECT_EQ(Json(movements[0])["price"].number_value(), 400);
    EXPECT_EQ(Json(movements[0])["note"].string_value(), "Nyitó készlet");
    EXPECT_EQ(rows("SELECT type FROM items WHERE recordName = ?", item_name).at(0).at("type").string_value(),
              "INVENTORY_TRACKING");
    ASSERT_TRUE(wait_until([&] { return ui::TagText(window->tabView->SelectedItem()->Tag()) == item_name; }));
    const int tabs = window->tabView->Size();

    // Opened again, it shows its stock and starts without a change: saving it posts nothing more.
    window->ShowItemDialog(item_name);
    dialog = wait_for_dialog();
    item = content<Tavrin::ItemDlg>(dialog);
    EXPECT_TRUE(item->quantityNumberBox->Header().contains("5"));
    EXPECT_EQ(ui::utf8(item->nameTextBox->Text()), "Agyagkorong");
    EXPECT_TRUE(item->quantityNumberBox->Text().isEmpty());
    const int item_tab = window->tabView->SelectedIndex();
    window->tabView->SelectedIndex(0);
    press(dialog, tr_key("save"));
    // The record's open tab comes forward again once the save is done.
    ASSERT_TRUE(wait_until([&] { return window->tabView->SelectedIndex() == item_tab; }));
    EXPECT_EQ(rows("SELECT * FROM inventory WHERE itemRecordName = ?", item_name).size(), 1u);
    EXPECT_EQ(store::rows(*g_core, "SELECT * FROM items WHERE name = 'Agyagkorong'").size(), 1u);
    EXPECT_EQ(window->tabView->Size(), tabs) << "its open tab shows it again";

    // The dialogs' sync passes take the records up; a second installation gets them.
    EXPECT_TRUE(wait_until([] {
        for (const char* table : {"clients", "items", "inventory"})
            if (!store::rows(*g_core, std::string("SELECT recordName FROM ") + table + " WHERE synced = 0").empty())
                return false;
        return ui::ThreadPool::ActiveCount() == 0;
    }));
    auto other = make_core(dir.path() + "b/", "hu");
    other->current_account = kAccount;
    other->open_database();
    other->save_web_auth_token("b-session");
    other->sync_start([](Json) {});
    for (const std::string& name : {client_name, Json(far[0])["recordName"].string_value()})
        EXPECT_EQ(store::rows(*other, "SELECT * FROM clients WHERE recordName = ?", {Json(name)}).size(), 1u) << name;
    const auto other_items = store::rows(*other, "SELECT * FROM items WHERE recordName = ?", {Json(item_name)});
    ASSERT_EQ(other_items.size(), 1u);
    EXPECT_EQ(Json(other_items[0])["purchase_price"].number_value(), 400);
    EXPECT_EQ(store::rows(*other, "SELECT * FROM inventory WHERE itemRecordName = ?", {Json(item_name)}).size(), 1u);
}
