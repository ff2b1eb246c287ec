// The settings page's notes, imports, web-shop and accounting settings, list order and the accounts
// that are not open, driven through the page's own buttons and dialogs on a fresh account.
#include "tests/fakes/cloud_store.h"
#include "tests/test_support.h"
#include "tests/ui/dialog_driver.h"
#include "tests/ui/ui_test_support.h"

#include "app/App.h"
#include "app/settings/SettingsPage.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/Launcher.h"
#include "ui/Pickers.h"
#include "ui/SettingsControls.h"

#include <QLabel>
#include <QLineEdit>

using json11::Json;
using uitest::control;
using uitest::Dialogs;
using uitest::wait_until;
using Result = ui::ContentDialogResult;

namespace {

const std::string kAccount = "6B1D2F3E-4C5B-4A79-8887-A6B5C4D3E2F1";
const std::string kSamples = std::string(TAVRIN_TEST_DATA) + "/imports/";
// The answer for a dialog without buttons: it stays until the program closes it.
const Dialogs::Answer kLeaveOpen = [](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; };

std::string caption(const std::string& key) { return g_core->translated(key, ""); }

void type(ui::ContentDialog& dialog, const std::string& key, const std::string& text) {
    if (auto* box = control<ui::TextBox>(dialog, caption(key))) box->Text(QString::fromStdString(text));
}

int rows(const std::string& sql) { return store::rows(*g_core, sql).front().begin()->second.int_value(); }

void write(const std::string& key, const Json& value, int synced = 0) {
    ASSERT_TRUE(g_core->save_record({{"recordName", key}, {"value", value.dump()}, {"synced", synced}}, "settings"));
}

std::vector<std::string> members(const Json& array, const char* member) {
    std::vector<std::string> found;
    for (const Json& entry : array.array_items()) found.push_back(entry[member].string_value());
    return found;
}

class SettingsSections : public ::testing::Test {
protected:
    void SetUp() override {
        cloud.create_zone(kAccount);
        g_core = make_core(dir.path() + "a/", "hu").release();
        g_core->current_account = kAccount;
        g_core->open_database();
        g_core->save_web_auth_token("a-session");
        page = new Tavrin::SettingsPage;
        page->show();
        page->BuildSettingsList();
        ui::FilePicker::SetResponder([this](const ui::FilePicker& picker) {
            filters.push_back(picker.Filters().join(" ").toStdString());
            return QString::fromStdString(picked);
        });
    }

    void TearDown() override {
        ui::FilePicker::SetResponder(nullptr);
        delete page;
        ui::ThreadPool::WaitForIdle();
        QCoreApplication::processEvents();
        delete g_core;
        g_core = nullptr;
    }

    // Clicks `button` and waits until each of the dialogs it opens has been answered and is gone.
    void click(QAbstractButton* button, std::vector<Dialogs::Answer> answers) {
        const int gone = dialogs.gone + static_cast<int>(answers.size());
        for (auto& answer : answers) dialogs.answers.push_back(std::move(answer));
        button->click();
        EXPECT_TRUE(wait_until([&] { return dialogs.gone == gone; })) << ui::Name(button);
    }

    // Clicks `button`, answers the dialogs before its progress dialog with `answers`, and returns the
    // message the progress dialog ends with (then OK'd), or "" when it closed without one.
    std::string outcome(QAbstractButton* button, std::vector<Dialogs::Answer> answers) {
        QPointer<ui::ContentDialog> progress;
        const int gone = dialogs.gone + static_cast<int>(answers.size()) + 1;
        for (auto& answer : answers) dialogs.answers.push_back(std::move(answer));
        dialogs.answers.push_back([&progress](ui::ContentDialog& d) -> std::optional<Result> {
            progress = &d;
            return std::nullopt;
        });
        button->click();
        auto message = [&] { return progress && !progress->PrimaryButtonText().isEmpty(); };
        if (!wait_until([&] { return dialogs.gone == gone || message(); })) return "did not end";
        if (!message()) return "";
        const std::string text = progress->ContentText().toStdString();
        progress->Answer(Result::Primary);
        EXPECT_TRUE(wait_until([&] { return dialogs.gone == gone; }));
        return text;
    }

    // One import of `path` through its button; the text its progress dialog ends with.
    std::string import(QAbstractButton* button, const std::string& path) {
        picked = path;
        return outcome(button, {[](ui::ContentDialog& d) {
                           // The explanation is read whole, its last line too, without scrolling.
                           auto* text = qobject_cast<QLabel*>(d.ContentWidget());
                           if (!text && d.ContentWidget()) text = d.ContentWidget()->findChild<QLabel*>();
                           EXPECT_TRUE(text && text->height() >= text->heightForWidth(text->width()) &&
                                       text->visibleRegion().boundingRect().height() == text->height());
                           return Result::Primary;
                       }});
    }

    // A message dialog the program shows by itself (after a background step); its text.
    std::string told(const std::function<void()>& act) {
        std::string text;
        const int gone = dialogs.gone + 1;
        dialogs.answers.push_back([&text](ui::ContentDialog& d) -> std::optional<Result> {
            text = d.ContentText().toStdString();
            return Result::Primary;
        });
        act();
        EXPECT_TRUE(wait_until([&] { return dialogs.gone == gone; }));
        return text;
    }

    TempDir dir;
    CloudStore cloud;
    ScopedEnv env{[this] {
        ScopedEnv::Values values = cloud.env();
        values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:1");
        return values;
    }()};
    Dialogs dialogs;
    std::string picked;
    std::vector<std::string> filters;
    Tavrin::SettingsPage* page = nullptr;
};

TEST_F(SettingsSections, SampleFilesAreImportedAndBrokenOnesAddNothing) {
    Tavrin::SettingsPage* p = page;
    const int clients = rows("SELECT COUNT(*) FROM clients");
    const int items = rows("SELECT COUNT(*) FROM items");

    // The rows added are counted, and the lines passed over named with the reason (the header lines
    // name no listed country, tax or unit); invoices bring their client and items.
    EXPECT_EQ(import(p->importClientsButton, kSamples + "clients.csv"),
              "3 sor sikeresen importálva\nKihagyott sor (az ország nincs a beállítások országai között): 1.");
    EXPECT_EQ(import(p->importItemsButton, kSamples + "items.csv"),
              "2 sor sikeresen importálva\nKihagyott sor (az adó vagy a mértékegység nincs a beállítások között): 1.");
    EXPECT_EQ(import(p->importInvoicesButton, kSamples + "archive.tavrinimport"), "2 sor sikeresen importálva");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM clients"), clients + 4);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM items"), items + 4);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM documents WHERE type = 'ARCHIVE_INVOICE'"), 2);
    EXPECT_EQ(filters, (std::vector<std::string>{".csv (*.csv)", ".csv (*.csv)", ".tavrinimport (*.tavrinimport)"}));
    // The file dialogs are Qt's own: they speak the program's language.
    Tavrin::install_qt_translations("hu");
    EXPECT_NE(QCoreApplication::translate("QFileDialog", "&Open").toStdString(), "&Open");
    EXPECT_EQ(QCoreApplication::translate("QAbstractFileIconProvider", "Folder").toStdString(), "Mappa");
    Tavrin::install_qt_translations("en");
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "&Open").toStdString(), "&Open");

    // Lines of the wrong shape (too few fields, a quoted ";", a stray ";") are passed over and named;
    // the good lines around them are imported, a blank line is no line. The same file again: all
    // stored. A file that cannot be read, or an import file that is none, adds nothing.
    const std::string mixed = dir.write("mixed.csv",
                                        "Új Kft.;;HU;;Győr;Fő tér 1.;9021;;;\nMásik Kft.;;HU;;Győr\n"
                                        "\"Harmadik; és Társa Kft.\";;HU;;Pécs;Kossuth u. 2.;7621;;;\n"
                                        "Negyedik Kft.;;HU;;Eger;;3300;;;;\n\nÖtödik Kft.;;HU;;Sopron;;9400;;;\n");
    EXPECT_EQ(import(p->importClientsButton, mixed),
              "2 sor sikeresen importálva\nKihagyott sorok (hibás a mezők száma): 2., 3., 4.");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM clients WHERE name IN ('Új Kft.', 'Ötödik Kft.')"), 2);
    EXPECT_EQ(import(p->importClientsButton, mixed),
              "0 sor sikeresen importálva\nKihagyott sorok (hibás a mezők száma): 2., 3., 4.\n"
              "Kihagyott sorok (már szerepel a nyilvántartásban): 1., 6.");
    EXPECT_NE(import(p->importItemsButton, dir.path() + "nincs.csv").find("nem olvasható"), std::string::npos);
    EXPECT_NE(import(p->importInvoicesButton, dir.write("bad.tavrinimport", "<html>\n")).find(" 1. sora"),
              std::string::npos);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM clients"), clients + 6);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM items"), items + 4);

    // The convert button opens the converter page and asks for no file.
    std::vector<std::string> launched;
    ui::SetUriLaunchRecorder([&](const QString& uri) {
        launched.push_back(uri.toStdString());
        return true;
    });
    click(p->importInvoicesButton, {[](ui::ContentDialog&) { return Result::Secondary; }});
    ui::SetUriLaunchRecorder(nullptr);
    EXPECT_EQ(launched, std::vector<std::string>{"http://127.0.0.1:1/convert/"});
    EXPECT_EQ(filters.size(), 7u);
}

TEST_F(SettingsSections, NotesConnectionsListOrderAndAccounts) {
    Tavrin::SettingsPage* p = page;
    const int estimate = index_of(g_core->constants["doc_types"].array_items(), "id", "ESTIMATE");

    // A header note for estimates, then edited: same id, same place; a blank name stores nothing.
    const std::size_t at = g_core->setting("header_notes").array_items().size();
    click(p->addHeaderNoteButton, {[estimate](ui::ContentDialog& d) {
              control<ui::ComboBox>(d, caption("type"))->SelectedIndex(estimate);
              type(d, "name", "  Köszönet   ");
              type(d, "note", "Köszönjük  a\nbizalmat!\n\n");
              return Result::Primary;
          }});
    const Json added = g_core->setting("header_notes")[at];
    EXPECT_EQ(added, Json(Json::object{{"id", added["id"]}, {"name", "Köszönet"}, {"note", "Köszönjük a\nbizalmat!"},
                                       {"type", "ESTIMATE"}}));
    EXPECT_EQ(added["id"].string_value().size(), 36u);
    EXPECT_EQ(p->headerNotesList->ContentAt(static_cast<int>(at)).toStdString(), "Köszönet - " + caption("ESTIMATE"));
    p->headerNotesList->SelectedIndex(static_cast<int>(at));
    click(p->editHeaderNoteButton, {[estimate](ui::ContentDialog& d) {
              EXPECT_EQ(control<ui::ComboBox>(d, caption("type"))->SelectedIndex(), estimate);
              type(d, "name", "Hála");
              return Result::Primary;
          }});
    EXPECT_EQ(g_core->setting("header_notes")[at]["id"], added["id"]);
    EXPECT_EQ(g_core->setting("header_notes")[at]["name"].string_value(), "Hála");
    click(p->addLineNoteButton, {[](ui::ContentDialog& d) {
              type(d, "name", "   ");
              return Result::Primary;
          }});
    EXPECT_TRUE(g_core->setting("line_notes").array_items().empty());

    // The web shop: the secret masked, texts stored as typed, other members kept.
    write("webshop_connect", Json::object{{"id", "other"}, {"extra", "marad"}});
    click(p->webshopButton, {[](ui::ContentDialog& d) {
              auto* secret = control<ui::PasswordBox>(d, caption("webshop_key2"));
              EXPECT_EQ(secret->Editor()->echoMode(), QLineEdit::Password);
              type(d, "webshop_domain", " https://bolt.example/ ");
              type(d, "webshop_key1", "ck_1");
              secret->Password("cs_2");
              return Result::Primary;
          }});
    EXPECT_EQ(g_core->setting("webshop_connect"), Json(Json::object{{"id", "woocommerce"}, {"domain", " https://bolt.example/ "},
                                                                     {"key1", "ck_1"}, {"key2", "cs_2"}, {"extra", "marad"}}));

    // The accounting key: a stored text without "_" shows an empty box; a key holding "_" is refused
    // with a message; a plain one is stored after "cashbook_".
    Json::object defaults = g_core->setting("defaults").object_items();
    defaults["accounting"] = "cashbook";
    write("defaults", defaults);
    std::string refusal;
    click(p->accountingButton, {[](ui::ContentDialog& d) {
                                    auto* key = d.findChild<ui::PasswordBox*>();
                                    EXPECT_EQ(key->Password().toStdString(), "");
                                    key->Password("ab_cd");
                                    return Result::Primary;
                                },
                                [&refusal](ui::ContentDialog& d) {
                                    refusal = d.ContentText().toStdString();
                                    return Result::Primary;
                                }});
    EXPECT_NE(refusal.find("\"_\""), std::string::npos) << refusal;
    EXPECT_EQ(g_core->setting("defaults"), Json(defaults));
    click(p->accountingButton, {[](ui::ContentDialog& d) {
              d.findChild<ui::PasswordBox*>()->Password("titok123");
              return Result::Primary;
          }});
    defaults["accounting"] = "cashbook_titok123";
    EXPECT_EQ(g_core->setting("defaults"), Json(defaults));

    // A drag stores the new order; rows that no longer stand for the stored entries (a download
    // changed them) double and lose nothing. A code the locale does not know still gets its row.
    write("countries", Json::array{Json::object{{"code", "HU"}}, Json::object{{"code", "AT"}}, Json::object{{"code", "DE"}}});
    write("languages", Json::array{Json::object{{"code", "hu"}}, Json::object{{"code", "zz"}}});
    p->BuildSettingsList();
    EXPECT_EQ(p->languagesList->ContentAt(1).toStdString(), "zz - ");
    p->countriesList->MoveItem(0, 2);
    EXPECT_EQ(members(g_core->setting("countries"), "code"), (std::vector<std::string>{"AT", "DE", "HU"}));
    write("countries", Json::array{Json::object{{"code", "at"}}, Json::object{{"code", "HU"}}, Json::object{{"code", "CH"}}},
          1);
    p->countriesList->MoveItem(2, 0);  // rows HU, AT, DE
    EXPECT_EQ(members(g_core->setting("countries"), "code"), (std::vector<std::string>{"HU", "at", "CH"}));
    EXPECT_EQ(p->countriesList->Size(), 3);
    p->headerNotesList->MoveItem(static_cast<int>(at), 0);
    EXPECT_EQ(g_core->setting("header_notes")[0]["id"], added["id"]);
    EXPECT_EQ(g_core->setting("header_notes").array_items().size(), at + 1);

    // Accounts: a rename beyond the zone mode's 16-bit range is refused.
    Json::array many;
    for (int i = 0; i < 32770; ++i) many.push_back(Json::object{{"id", "ACC" + std::to_string(i)}, {"name", "Cég"}});
    Json::object local = g_core->setting("local").object_items();
    local["accounts"] = many;
    write("local", local, -1);
    p->BuildSettingsList();
    p->accountsList->SelectedIndex(32768);
    click(p->editAccountButton, {[](ui::ContentDialog& d) {
              type(d, "name", "Túl messze");
              return Result::Primary;
          }});
    EXPECT_EQ(g_core->setting("accounts"), Json(many));

    // A drag keeps the local row (this installation's sync state) out of the upload.
    const std::string other = "7C2E3F4A-5D6C-4B8A-9998-B7C6D5E4F3A2";
    cloud.create_zone(other);
    const Json open = Json::object{{"id", kAccount}, {"name", "Nyitott Kft."}};
    Json listed = Json::object{{"id", other}, {"name", "Utolsó Kft."}};
    local["accounts"] = Json::array{open, listed};
    write("local", local, -1);
    cloud.put_row("_defaultZone", "Settings", "accounts", Json(Json::array{open, listed}));
    p->BuildSettingsList();
    p->accountsList->MoveItem(0, 1);
    EXPECT_EQ(g_core->setting("accounts"), Json(Json::array{listed, open}));
    EXPECT_EQ(rows("SELECT synced FROM settings WHERE recordName = 'local'"), -1);
    ASSERT_TRUE(wait_until([] { return ui::ThreadPool::ActiveCount() == 0; }));
    EXPECT_EQ(cloud.row("_defaultZone", "accounts"), Json(Json::array{listed, open}));

    // A new order the cloud does not get: the order before the drag is stored and shown again, and
    // the user is told; a rename afterwards finds its row.
    cloud.fail("records/modify", CloudStore::Fault::drop);
    const std::string unsaved = told([p] { p->accountsList->MoveItem(0, 1); });
    EXPECT_NE(unsaved.find("sorrendje nem menthető"), std::string::npos) << unsaved;
    EXPECT_NE(unsaved.find("nem érhető el"), std::string::npos) << unsaved;
    EXPECT_EQ(g_core->setting("accounts"), Json(Json::array{listed, open}));
    EXPECT_EQ(p->accountsList->ContentAt(0).toStdString(), "Utolsó Kft.");
    p->accountsList->SelectedIndex(0);
    EXPECT_EQ(outcome(p->editAccountButton, {[](ui::ContentDialog& d) {
                  type(d, "name", "Utolsó Zrt.");
                  return Result::Primary;
              }}),
              "");
    EXPECT_EQ(g_core->setting("accounts")[0]["name"].string_value(), "Utolsó Zrt.");
    EXPECT_EQ(cloud.row("_defaultZone", "accounts")[0]["name"].string_value(), "Utolsó Zrt.");

    // A cloud that cannot create the new account's zone: no account is added, and the user learns why.
    cloud.fail("zones/modify", CloudStore::Fault::status_500);
    const std::string not_added = outcome(p->addAccountButton, {[](ui::ContentDialog& d) {
                                              type(d, "name", "Felhőtlen Kft.");
                                              return Result::Primary;
                                          }});
    EXPECT_NE(not_added.find("nem jött létre"), std::string::npos) << not_added;
    EXPECT_EQ(p->accountsList->Size(), 2);
    EXPECT_EQ(g_core->setting("accounts").array_items().size(), 2u);
    listed = g_core->setting("accounts")[0];

    // The last listed account deleted: it leaves the list, the user is signed out and the program ends
    // by closing its window.
    local = g_core->setting("local").object_items();
    local["accounts"] = Json::array{listed};
    write("local", local, -1);
    p->BuildSettingsList();
    ui::Window main_window;
    main_window.show();
    g_main_window = &main_window;
    bool closed = false;
    main_window.Closed.Add([&closed](ui::Window*, ui::WindowEventArgs&) { closed = true; });
    std::vector<int> exits;
    ui::SetExitRecorder([&exits](int code) { exits.push_back(code); });
    auto confirm = [](ui::ContentDialog& d) {
        EXPECT_EQ(d.ContentText().toStdString(), g_core->translated("confirm_delete", "Utolsó Zrt."));
        return Result::Primary;
    };
    // The cloud down: the account stays, here and in the cloud, the program goes on and says why.
    cloud.fail("zones/modify", CloudStore::Fault::drop);
    p->accountsList->SelectedIndex(0);
    const std::string kept = outcome(p->deleteAccountButton, {confirm});
    EXPECT_NE(kept.find("nem lett törölve"), std::string::npos) << kept;
    EXPECT_FALSE(closed);
    EXPECT_TRUE(exits.empty());
    EXPECT_EQ(g_core->setting("accounts"), Json(Json::array{listed}));
    EXPECT_EQ(p->accountsList->Size(), 1);
    EXPECT_TRUE(cloud.has_zone(other));
    EXPECT_EQ(g_core->load_web_auth_token(), "a-session");
    p->accountsList->SelectedIndex(0);
    click(p->deleteAccountButton, {confirm, kLeaveOpen});
    ui::SetExitRecorder(nullptr);
    g_main_window = nullptr;
    EXPECT_TRUE(closed);
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_FALSE(cloud.has_zone(other));
    EXPECT_TRUE(g_core->setting("accounts").array_items().empty());
    EXPECT_EQ(p->accountsList->Size(), 0);
    EXPECT_EQ(g_core->load_web_auth_token(), "");
}

}  // namespace
