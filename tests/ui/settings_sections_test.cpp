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

#include <QLineEdit>
#include <QPlainTextEdit>

#include <deque>
#include <map>

using json11::Json;
using uitest::control;
using uitest::Dialogs;
using uitest::wait_until;
using Result = ui::ContentDialogResult;

namespace {

const std::string kAccount = "6B1D2F3E-4C5B-4A79-8887-A6B5C4D3E2F1";
constexpr std::time_t kNow = 1772362800;  // 2026-03-01 12:00 in Budapest
const std::string kSamples = std::string(TAVRIN_TEST_DATA) + "/imports/";

std::string caption(const std::string& key) { return g_core->translated(key, ""); }

void type(ui::ContentDialog& dialog, const std::string& key, const std::string& text) {
    if (auto* box = control<ui::TextBox>(dialog, caption(key))) box->Text(QString::fromStdString(text));
}

int rows(const std::string& sql) {
    return store::rows(*g_core, sql).front().begin()->second.int_value();
}

std::string stored_text(const std::string& key) {
    auto found = store::rows(*g_core, "SELECT value FROM settings WHERE recordName = ?", {Json(key)});
    return found.empty() ? std::string() : Json(found.front())["value"].string_value();
}

void write(const std::string& key, const Json& value, int synced = 0) {
    ASSERT_TRUE(g_core->save_record({{"recordName", key}, {"value", value.dump()}, {"synced", synced}}, "settings"));
}

std::vector<std::string> tags(const ui::ListView* list) {
    std::vector<std::string> found;
    for (int i = 0; i < list->Size(); ++i) found.push_back(ui::TagText(list->TagAt(i)));
    return found;
}

std::vector<std::string> codes(const Json& array, const char* member) {
    std::vector<std::string> found;
    for (const Json& entry : array.array_items()) found.push_back(entry[member].string_value());
    return found;
}

class SettingsSections : public ::testing::Test {
protected:
    void SetUp() override {
        set_clock([] { return kNow; });
        cloud.create_zone(kAccount);
        g_core = make_core(dir.path() + "a/", "hu").release();
        g_core->current_account = kAccount;
        g_core->open_database();
        g_core->save_web_auth_token("a-session");
        page = new Tavrin::SettingsPage;
        page->resize(1300, 1000);
        page->show();
        page->BuildSettingsList();
        ui::FilePicker::SetResponder([this](const ui::FilePicker& picker) {
            filters.push_back(picker.Filters().join(" ").toStdString());
            if (picked.empty()) {
                ADD_FAILURE() << "unexpected file picker";
                return QString();
            }
            const QString path = QString::fromStdString(picked.front());
            picked.pop_front();
            return path;
        });
    }

    void TearDown() override {
        ui::FilePicker::SetResponder(nullptr);
        delete page;
        ui::ThreadPool::WaitForIdle();
        QCoreApplication::processEvents();
        delete g_core;
        g_core = nullptr;
        set_clock({});
    }

    // Clicks `button`, lets `answer` deal with its dialog and waits until that dialog is gone.
    void run(QAbstractButton* button, Dialogs::Answer answer) {
        const int gone = dialogs.gone;
        dialogs.answers.push_back(std::move(answer));
        button->click();
        EXPECT_TRUE(wait_until([&] { return dialogs.gone == gone + 1; })) << ui::Name(button);
    }

    void no_dialog(QAbstractButton* button) {
        const int shown = dialogs.shown;
        button->click();
        QCoreApplication::processEvents();
        EXPECT_EQ(dialogs.shown, shown) << ui::Name(button);
    }

    // One import through its button: the explanatory dialog answered with `button_pressed`, the picker
    // given `path`; the text the progress dialog ends with ("" when none showed), its OK pressed.
    std::string import(QAbstractButton* button, const std::string& path, int mode = 0) {
        QPointer<ui::ContentDialog> progress;
        std::string title;
        const int gone = dialogs.gone;
        dialogs.answers.push_back([mode, &title](ui::ContentDialog& d) -> std::optional<Result> {
            title = d.Title().toStdString();
            EXPECT_EQ(d.PrimaryButtonText().toStdString(), caption("import"));
            if (auto* modes = d.findChild<ui::ComboBox*>()) {
                EXPECT_EQ(modes->Size(), 6);
                EXPECT_EQ(modes->SelectedIndex(), 0);
                modes->SelectedIndex(mode);
            }
            return Result::Primary;
        });
        dialogs.answers.push_back([&progress](ui::ContentDialog& d) -> std::optional<Result> {
            progress = &d;
            return std::nullopt;
        });
        picked.push_back(path);
        button->click();
        if (!wait_until([&] { return progress && !progress->PrimaryButtonText().isEmpty(); })) {
            ADD_FAILURE() << "the import did not end";
            return "";
        }
        EXPECT_EQ(progress->Title().toStdString(), title);
        const std::string text = progress->ContentText().toStdString();
        progress->Answer(Result::Primary);
        EXPECT_TRUE(wait_until([&] { return dialogs.gone == gone + 2; }));
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
    std::deque<std::string> picked;
    std::vector<std::string> filters;
    Tavrin::SettingsPage* page = nullptr;
};

TEST_F(SettingsSections, SampleFilesAreImportedAndBrokenOnesAddNothing) {
    Tavrin::SettingsPage* p = page;
    const int clients = rows("SELECT COUNT(*) FROM clients");
    const int items = rows("SELECT COUNT(*) FROM items");

    // Clients and items from their sample files: the rows added are counted; the header lines are not.
    EXPECT_EQ(import(p->importClientsButton, kSamples + "clients.csv"), "3 sor sikeresen importálva");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM clients"), clients + 3);
    EXPECT_EQ(Json(store::rows(*g_core, "SELECT * FROM clients WHERE name = 'Korsó Kft.'").front())["postcode"].string_value(),
              "1052");
    EXPECT_EQ(import(p->importItemsButton, kSamples + "items.csv"), "2 sor sikeresen importálva");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM items"), items + 2);
    // The same file again adds nothing, and says so.
    EXPECT_EQ(import(p->importClientsButton, kSamples + "clients.csv"), "0 sor sikeresen importálva");

    // Earlier invoices with their client and items.
    EXPECT_EQ(import(p->importInvoicesButton, kSamples + "archive.tavrinimport"), "2 sor sikeresen importálva");
    EXPECT_EQ(rows("SELECT COUNT(*) FROM documents WHERE type = 'ARCHIVE_INVOICE'"), 2);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM clients"), clients + 4);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM items"), items + 4);
    EXPECT_EQ(filters, (std::vector<std::string>{".csv (*.csv)", ".csv (*.csv)", ".csv (*.csv)",
                                                 ".tavrinimport (*.tavrinimport)"}));

    // A file with a line of the wrong shape names that line and adds nothing, not even its good lines.
    const std::string broken = dir.write("broken.csv",
                                         "Új Kft.;;HU;;Győr;Fő tér 1.;9021;;;\n"
                                         "Másik Kft.;;HU;;Győr;Fő tér 2.;9021;;\n");
    const std::string failed = import(p->importClientsButton, broken);
    EXPECT_NE(failed.find(" 2. sora"), std::string::npos) << failed;
    EXPECT_EQ(failed.find("sikeresen"), std::string::npos) << failed;
    EXPECT_EQ(rows("SELECT COUNT(*) FROM clients"), clients + 4);
    // A file that cannot be read, and an import file that is no import file, are failures too.
    EXPECT_NE(import(p->importItemsButton, dir.path() + "nincs ilyen.csv").find("nem olvasható"), std::string::npos);
    const std::string not_json = dir.write("bad.tavrinimport", "<html>nem ez</html>\n");
    EXPECT_NE(import(p->importInvoicesButton, not_json, 1).find(" 1. sora"), std::string::npos);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM clients"), clients + 4);
    EXPECT_EQ(rows("SELECT COUNT(*) FROM items"), items + 4);

    // The convert button opens the converter page and asks for no file; a cancelled picker imports nothing.
    std::vector<std::string> launched;
    ui::SetUriLaunchRecorder([&](const QString& uri) {
        launched.push_back(uri.toStdString());
        return true;
    });
    run(p->importInvoicesButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(d.Title().toStdString(), "Archívum");
        return Result::Secondary;
    });
    ui::SetUriLaunchRecorder(nullptr);
    EXPECT_EQ(launched, std::vector<std::string>{"http://127.0.0.1:1/convert/"});
    picked.push_back("");
    run(p->importItemsButton, [](ui::ContentDialog&) { return Result::Primary; });
    QCoreApplication::processEvents();
    EXPECT_EQ(ui::ContentDialog::Current(), nullptr);
    EXPECT_EQ(filters.size(), 8u);
}

TEST_F(SettingsSections, NotesConnectionsListOrderAndAccounts) {
    Tavrin::SettingsPage* p = page;
    const Json::array doc_types = g_core->constants["doc_types"].array_items();
    const int estimate = index_of(doc_types, "id", "ESTIMATE");

    // A header note for estimates; its text keeps its inner line breaks.
    const int header_rows = p->headerNotesList->Size();
    run(p->addHeaderNoteButton, [estimate](ui::ContentDialog& d) {
        EXPECT_EQ(d.Title().toStdString(), caption("note"));
        auto* kind = control<ui::ComboBox>(d, caption("type"));
        EXPECT_EQ(kind->SelectedIndex(), 0);
        kind->SelectedIndex(estimate);
        type(d, "name", "  Köszönet   ");
        auto* text = control<ui::TextBox>(d, caption("note"));
        EXPECT_NE(qobject_cast<QPlainTextEdit*>(text->Editor()), nullptr);
        text->Text("Köszönjük  a\nbizalmat!\n\n");
        return Result::Primary;
    });
    Json notes = g_core->setting("header_notes");
    ASSERT_EQ(static_cast<int>(notes.array_items().size()), header_rows + 1);
    const Json added = notes[static_cast<std::size_t>(header_rows)];
    EXPECT_EQ(added["id"].string_value().size(), 36u);
    EXPECT_EQ(added, Json(Json::object{{"id", added["id"]}, {"name", "Köszönet"}, {"note", "Köszönjük a\nbizalmat!"},
                                       {"type", "ESTIMATE"}}));
    EXPECT_EQ(p->headerNotesList->ContentAt(header_rows).toStdString(), "Köszönet - " + caption("ESTIMATE"));

    // Edited: the same id in the same place; a name of blanks stores nothing.
    p->headerNotesList->SelectedIndex(header_rows);
    run(p->editHeaderNoteButton, [estimate](ui::ContentDialog& d) {
        EXPECT_EQ(control<ui::ComboBox>(d, caption("type"))->SelectedIndex(), estimate);
        type(d, "name", "Hála");
        control<ui::ComboBox>(d, caption("type"))->SelectedIndex(0);
        return Result::Primary;
    });
    notes = g_core->setting("header_notes");
    EXPECT_EQ(notes[static_cast<std::size_t>(header_rows)]["id"], added["id"]);
    EXPECT_EQ(notes[static_cast<std::size_t>(header_rows)]["type"].string_value(), "INVOICE");
    EXPECT_EQ(p->headerNotesList->ContentAt(header_rows).toStdString(), "Hála - " + caption("INVOICE"));
    const std::string notes_text = stored_text("header_notes");
    run(p->addLineNoteButton, [](ui::ContentDialog& d) {
        type(d, "name", "   ");
        return Result::Primary;
    });
    EXPECT_EQ(stored_text("header_notes"), notes_text);
    EXPECT_TRUE(g_core->setting("line_notes").array_items().empty());
    p->lineNotesList->SelectedIndex(-1);
    no_dialog(p->editLineNoteButton);

    // The web shop: the secret is masked, texts are stored as typed, other members survive.
    write("webshop_connect", Json::object{{"id", "other"}, {"domain", "régi"}, {"extra", "marad"}});
    run(p->webshopButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(d.Title().toStdString(), caption("webshop_connect"));
        EXPECT_EQ(d.findChild<ui::ComboBox*>()->SelectedText().toStdString(), "WooCommerce");
        EXPECT_EQ(control<ui::TextBox>(d, caption("webshop_domain"))->Text().toStdString(), "régi");
        auto* secret = control<ui::PasswordBox>(d, caption("webshop_key2"));
        EXPECT_EQ(secret->Editor()->echoMode(), QLineEdit::Password);
        type(d, "webshop_domain", " https://bolt.example/ ");
        type(d, "webshop_key1", "ck_1");
        secret->Password("cs_2 ");
        return Result::Primary;
    });
    EXPECT_EQ(g_core->setting("webshop_connect"),
              Json(Json::object{{"id", "woocommerce"}, {"domain", " https://bolt.example/ "}, {"key1", "ck_1"},
                                {"key2", "cs_2 "}, {"extra", "marad"}}));

    // The accounting key: a stored text without "_" shows an empty box; a key holding "_" is refused
    // with a message; an emptied box keeps the stored key.
    Json::object defaults = g_core->setting("defaults").object_items();
    defaults["accounting"] = "cashbook";
    write("defaults", defaults);
    const int gone = dialogs.gone;
    dialogs.answers.push_back([](ui::ContentDialog& d) {
        EXPECT_EQ(d.Title().toStdString(), caption("accounting"));
        auto* key = d.findChild<ui::PasswordBox*>();
        EXPECT_EQ(key->Password().toStdString(), "");
        key->Password("ab_cd");
        return Result::Primary;
    });
    std::string refusal;
    dialogs.answers.push_back([&refusal](ui::ContentDialog& d) {
        refusal = d.ContentText().toStdString();
        return Result::Primary;
    });
    p->accountingButton->click();
    ASSERT_TRUE(wait_until([&] { return dialogs.gone == gone + 2; }));
    EXPECT_NE(refusal.find("\"_\""), std::string::npos) << refusal;
    EXPECT_EQ(g_core->setting("defaults"), Json(defaults));
    run(p->accountingButton, [](ui::ContentDialog& d) {
        d.findChild<ui::PasswordBox*>()->Password("titok123");
        return Result::Primary;
    });
    defaults["accounting"] = "cashbook_titok123";
    EXPECT_EQ(g_core->setting("defaults"), Json(defaults));
    run(p->accountingButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(d.findChild<ui::PasswordBox*>()->Password().toStdString(), "titok123");
        d.findChild<ui::PasswordBox*>()->Password("");
        return Result::Primary;
    });
    EXPECT_EQ(g_core->setting("defaults"), Json(defaults));

    // A drag stores the new order, entries written back unchanged.
    write("countries", Json::array{Json::object{{"code", "HU"}}, Json::object{{"code", "AT"}, {"note", "x"}},
                                   Json::object{{"code", "DE"}}});
    // A code the locale does not know still gets its row, and the lists after it are filled.
    write("languages", Json::array{Json::object{{"code", "hu"}}, Json::object{{"code", "zz"}}});
    p->BuildSettingsList();
    EXPECT_EQ(p->languagesList->ContentAt(1).toStdString(), "zz - ");
    EXPECT_GT(p->unitsList->Size(), 0);
    p->countriesList->MoveItem(0, 2);
    EXPECT_EQ(codes(g_core->setting("countries"), "code"), (std::vector<std::string>{"AT", "DE", "HU"}));
    EXPECT_EQ(g_core->setting("countries")[0]["note"].string_value(), "x");
    // Rows that no longer stand for the stored entries (a download changed them): nothing is doubled or lost.
    write("countries", Json::array{Json::object{{"code", "at"}}, Json::object{{"code", "HU"}}, Json::object{{"code", "CH"}}},
          1);
    p->countriesList->MoveItem(2, 0);  // rows HU, AT, DE
    EXPECT_EQ(codes(g_core->setting("countries"), "code"), (std::vector<std::string>{"HU", "at", "CH"}));
    EXPECT_EQ(tags(p->countriesList), (std::vector<std::string>{"HU", "at", "CH"}));
    // The notes lists write their own rows.
    const std::vector<std::string> before = codes(g_core->setting("header_notes"), "id");
    p->headerNotesList->MoveItem(header_rows, 0);
    EXPECT_EQ(codes(g_core->setting("header_notes"), "id").front(), added["id"].string_value());
    EXPECT_EQ(codes(g_core->setting("header_notes"), "id").size(), before.size());
    EXPECT_TRUE(stored_text("headerNotes").empty());
    const Json payments = g_core->setting("payments");
    p->paymentsList->MoveItem(0, 1);
    EXPECT_EQ(g_core->setting("payments"), Json(Json::array{payments[1], payments[0]}));

    // Accounts that are not open: a rename beyond the zone mode's range is refused, a drag keeps the
    // local row out of the upload, and deleting the last listed one removes it, signs out and closes
    // the main window.
    Json::array many;
    for (int i = 0; i < 32770; ++i) many.push_back(Json::object{{"id", "ACC" + std::to_string(i)}, {"name", "Cég"}});
    Json::object local = g_core->setting("local").object_items();
    local["accounts"] = many;
    write("local", local, -1);
    p->BuildSettingsList();
    p->accountsList->SelectedIndex(32768);
    run(p->editAccountButton, [](ui::ContentDialog& d) {
        type(d, "name", "Túl messze");
        return Result::Primary;
    });
    QCoreApplication::processEvents();
    EXPECT_EQ(ui::ContentDialog::Current(), nullptr);
    EXPECT_EQ(g_core->setting("accounts"), Json(many));

    // The drag: the local row, which holds this installation's sync state, is stored unmarked, and the
    // cloud's copy of the list follows.
    const std::string other = "7C2E3F4A-5D6C-4B8A-9998-B7C6D5E4F3A2";
    cloud.create_zone(other);
    const Json open = Json::object{{"id", kAccount}, {"name", "Nyitott Kft."}};
    const Json listed = Json::object{{"id", other}, {"name", "Utolsó Kft."}};
    local["accounts"] = Json::array{open, listed};
    write("local", local, -1);
    cloud.put_row("_defaultZone", "Settings", "accounts", Json(Json::array{open, listed}));
    p->BuildSettingsList();
    p->accountsList->MoveItem(0, 1);
    EXPECT_EQ(g_core->setting("accounts"), Json(Json::array{listed, open}));
    EXPECT_EQ(rows("SELECT synced FROM settings WHERE recordName = 'local'"), -1);
    ASSERT_TRUE(wait_until([&] {
        auto record = cloud.record("_defaultZone", "accounts");
        return record && record->fields["data"]["value"].string_value() == Json(Json::array{listed, open}).dump() &&
               ui::ThreadPool::ActiveCount() == 0;
    }));
    EXPECT_EQ(g_core->current_account, kAccount);

    // A cloud that refuses the new account's zone: the progress ends all the same, and the list shows
    // what is stored.
    cloud.fail("zones/modify", CloudStore::Fault::status_500);
    const int before_add = dialogs.gone;
    dialogs.answers.push_back([](ui::ContentDialog& d) {
        type(d, "name", "Felhőtlen Kft.");
        return Result::Primary;
    });
    dialogs.answers.push_back([](ui::ContentDialog&) -> std::optional<Result> { return std::nullopt; });
    p->addAccountButton->click();
    ASSERT_TRUE(wait_until([&] { return dialogs.gone == before_add + 2; }));
    ASSERT_EQ(p->accountsList->Size(), 3);
    EXPECT_EQ(p->accountsList->ContentAt(2).toStdString(), "Felhőtlen Kft.");
    EXPECT_EQ(g_core->setting("accounts").array_items().size(), 3u);

    // The last listed account (the open one is not among them).
    local = g_core->setting("local").object_items();
    local["accounts"] = Json::array{listed};
    write("local", local, -1);
    p->BuildSettingsList();

    ui::Window main_window;
    g_main_window = &main_window;
    main_window.show();
    bool closed = false;
    main_window.Closed.Add([&closed](ui::Window*, ui::WindowEventArgs&) { closed = true; });
    std::vector<int> exits;
    ui::SetExitRecorder([&exits](int code) { exits.push_back(code); });
    p->accountsList->SelectedIndex(0);
    const int before_delete = dialogs.gone;
    dialogs.answers.push_back([](ui::ContentDialog& d) {
        EXPECT_EQ(d.ContentText().toStdString(), g_core->translated("confirm_delete", "Utolsó Kft."));
        return Result::Primary;
    });
    dialogs.answers.push_back([](ui::ContentDialog& d) -> std::optional<Result> {
        EXPECT_EQ(d.Title().toStdString(), "Utolsó Kft.");
        EXPECT_EQ(d.ContentText().toStdString(), caption("saving"));
        return std::nullopt;
    });
    p->deleteAccountButton->click();
    EXPECT_TRUE(wait_until([&] { return dialogs.gone == before_delete + 2 && closed; }));
    ui::SetExitRecorder(nullptr);
    g_main_window = nullptr;
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_FALSE(cloud.has_zone(other));
    EXPECT_FALSE(cloud.record("_defaultZone", "accounts") && !cloud.record("_defaultZone", "accounts")->deleted);
    EXPECT_TRUE(g_core->setting("accounts").array_items().empty());
    EXPECT_EQ(p->accountsList->Size(), 0);
    EXPECT_EQ(g_core->load_web_auth_token(), "");
}

}  // namespace
