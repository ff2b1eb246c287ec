// The settings page driven through its real buttons and dialogs on a fresh account: each editor
// changes exactly its own settings row, the change reaches a second installation through the cloud
// and a new invoice's page; bad entries write nothing wrong; the page in the main window, pictured.
#include "tests/fakes/cloud_store.h"
#include "tests/test_support.h"
#include "tests/ui/ui_test_support.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "app/settings/SettingsPage.h"
#include "core/Core.h"
#include "core/store/store_internal.h"
#include "ui/ContentDialog.h"
#include "ui/SettingsControls.h"

#include <QImage>
#include <QLineEdit>
#include <QScrollArea>
#include <QSet>

#include <cmath>
#include <deque>
#include <limits>
#include <map>
#include <set>

using json11::Json;
using uitest::wait_until;
using Result = ui::ContentDialogResult;

namespace json11 {
// Failures show JSON values as their text.
void PrintTo(const Json& value, std::ostream* out) {
    *out << value.dump();
}
}  // namespace json11

namespace {

const std::string kAccount = "5A0C1E2D-3B4A-4968-8776-95A4B3C2D1E0";
constexpr std::time_t kNow = 1772362800;  // 2026-03-01 12:00 in Budapest

std::string caption(const std::string& key) {
    return g_core->translated(key, "");
}

// Answers the content dialogs one by one: each answer may fill the dialog's controls and gives the
// button pressed; an answer of nothing leaves the dialog open. Counts the dialogs shown and gone.
class Dialogs {
public:
    using Answer = std::function<std::optional<Result>(ui::ContentDialog&)>;
    Dialogs() {
        ui::ContentDialog::SetResponder([this](ui::ContentDialog& dialog) -> std::optional<Result> {
            ++shown;
            QObject::connect(&dialog, &QObject::destroyed, [this] { ++gone; });
            if (answers.empty()) {
                ADD_FAILURE() << "unexpected dialog: " << dialog.Title().toStdString();
                return Result::None;
            }
            Answer answer = std::move(answers.front());
            answers.pop_front();
            return answer(dialog);
        });
    }
    ~Dialogs() { ui::ContentDialog::SetResponder(nullptr); }

    std::deque<Answer> answers;
    int shown = 0;
    int gone = 0;
};

// The text box, check box or combo box of a dialog by its caption.
template <class T>
T* control(ui::ContentDialog& dialog, const std::string& header) {
    for (T* found : dialog.findChildren<T*>())
        if (found->Header().toStdString() == header) return found;
    ADD_FAILURE() << "no control captioned " << header;
    return nullptr;
}

void type(ui::ContentDialog& dialog, const std::string& key, const std::string& text) {
    if (auto* box = control<ui::TextBox>(dialog, caption(key))) box->Text(QString::fromStdString(text));
}

int find_row(const ui::ListView* list, const std::string& starts) {
    for (int i = 0; i < list->Size(); ++i)
        if (list->ContentAt(i).toStdString().rfind(starts, 0) == 0) return i;
    return -1;
}

// Every settings row: key to its value text.
std::map<std::string, std::string> stored_rows(Core& core) {
    std::map<std::string, std::string> rows;
    for (const auto& row : store::rows(core, "SELECT recordName, value FROM settings"))
        rows[Json(row)["recordName"].string_value()] = Json(row)["value"].string_value();
    return rows;
}

std::set<std::string> changed(const std::map<std::string, std::string>& before, Core& core) {
    std::set<std::string> keys;
    const auto after = stored_rows(core);
    for (const auto& [key, value] : after) {
        auto found = before.find(key);
        if (found == before.end() || found->second != value) keys.insert(key);
    }
    for (const auto& entry : before)
        if (!after.count(entry.first)) keys.insert(entry.first);
    return keys;
}

Json pass(Core& core) {
    int calls = 0;
    Json received;
    core.sync_start([&](Json result) {
        ++calls;
        received = result;
    });
    EXPECT_EQ(calls, 1);
    return received;
}

Json parsed(const std::string& text) {
    std::string error;
    return Json::parse(text, error);
}

bool is_upper_uuid(const std::string& id) {
    if (id.size() != 36) return false;
    for (char c : id)
        if (!(c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

// A picture that is not one flat colour.
bool has_content(const QImage& image) {
    if (image.isNull()) return false;
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3)
        for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
    return colours.size() > 20;
}

// A fresh account of its own, the page shown, a loopback cloud with the account's zone.
class SettingsPageTest : public ::testing::Test {
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
    }

    void TearDown() override {
        delete page;
        delete g_core;
        g_core = nullptr;
        set_clock({});
    }

    // Clicks `button`, lets `answer` deal with the dialog it opens and waits until the click's run has
    // ended (its dialog is gone).
    void run(QAbstractButton* button, Dialogs::Answer answer) {
        const int gone = dialogs.gone;
        dialogs.answers.push_back(std::move(answer));
        button->click();
        EXPECT_TRUE(wait_until([&] { return dialogs.gone == gone + 1; })) << ui::Name(button);
    }

    // Clicks `button` and checks that no dialog opens.
    void no_dialog(QAbstractButton* button) {
        const int shown = dialogs.shown;
        button->click();
        QCoreApplication::processEvents();
        EXPECT_EQ(ui::ContentDialog::Current(), nullptr) << ui::Name(button);
        EXPECT_EQ(dialogs.shown, shown) << ui::Name(button);
    }

    TempDir dir;
    CloudStore cloud;
    ScopedEnv env{[this] {
        ScopedEnv::Values values = cloud.env();
        values.emplace_back("TAVRIN_MAKER_URL", "http://127.0.0.1:1");
        return values;
    }()};
    Dialogs dialogs;
    Tavrin::SettingsPage* page = nullptr;
};

TEST_F(SettingsPageTest, EachEditorChangesItsOwnSettingWhichReachesTheCloudAndANewInvoice) {
    // The defaults go up first, so that the cloud holds only what the editors change afterwards.
    pass(*g_core);
    Tavrin::SettingsPage* p = page;
    EXPECT_EQ(p->countriesList->Size(), 1);
    EXPECT_EQ(p->unitsList->Size(), 15);
    EXPECT_EQ(p->docTypeSelector->Size(), 6);
    EXPECT_EQ(p->dateFormatButton->Label().toStdString(), "YYYY. MM. DD.");
    EXPECT_EQ(p->versionText->Text().toStdString(), "    v" + Tavrin::get_app_version());

    // The supplier: company data and address, kept members untouched.
    auto before = stored_rows(*g_core);
    run(p->supplierButton, [](ui::ContentDialog& d) {
        type(d, "name", "  Próba   Műhely  Kft. ");
        type(d, "identifier_number", "12345678-2-41");
        type(d, "street", "  Fő   utca 1. ");
        type(d, "city", "Szeged");
        type(d, "postcode", "6720");
        return Result::Primary;
    });
    EXPECT_EQ(changed(before, *g_core), std::set<std::string>{"supplier"});
    Json supplier = g_core->setting("supplier");
    EXPECT_EQ(supplier["name"].string_value(), "Próba Műhely Kft.");
    EXPECT_EQ(supplier["street"].string_value(), "Fő utca 1.");
    EXPECT_EQ(supplier["nav_user_pwd"].string_value(), "");
    EXPECT_EQ(supplier["small_business_indicator"].string_value(), "false");
    EXPECT_EQ(p->supplierNameText->Text().toStdString(), "Próba Műhely Kft.");
    EXPECT_EQ(p->supplierDetailsText->Text().toStdString(), "6720 Szeged, Fő utca 1. HU\n\n12345678-2-41\n");

    // The credentials: the password is masked and kept exactly as typed; the indicators are texts.
    before = stored_rows(*g_core);
    run(p->navButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(d.Title().toStdString(), "NAV adatszolgáltatás");
        type(d, "nav_user_id", "  techuser   1 ");
        auto* password = d.findChild<ui::PasswordBox*>();
        EXPECT_EQ(password->Header().toStdString(), caption("nav_user_pwd"));
        EXPECT_EQ(password->Editor()->echoMode(), QLineEdit::Password);
        password->Password("  jel  szó ");
        type(d, "nav_xml_alairokulcs", "ab-12");
        d.findChildren<ui::CheckBox*>()[0]->IsChecked(true);
        return Result::Primary;
    });
    EXPECT_EQ(changed(before, *g_core), std::set<std::string>{"supplier"});
    supplier = g_core->setting("supplier");
    EXPECT_EQ(supplier["nav_user_id"].string_value(), "techuser 1");
    EXPECT_EQ(supplier["nav_user_pwd"].string_value(), "  jel  szó ");
    EXPECT_EQ(supplier["nav_xml_alairokulcs"].string_value(), "ab-12");
    EXPECT_EQ(supplier["small_business_indicator"].string_value(), "true");
    EXPECT_EQ(supplier["cash_accounting_indicator"].string_value(), "false");
    EXPECT_EQ(supplier["name"].string_value(), "Próba Műhely Kft.");
    // Opened again, the stored password is there, still masked.
    run(p->navButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(d.findChild<ui::PasswordBox*>()->Password().toStdString(), "  jel  szó ");
        EXPECT_TRUE(d.findChildren<ui::CheckBox*>()[0]->IsChecked());
        return Result::None;
    });

    // A currency from the table: the picker offers none the list holds; the new entry has the defaults.
    before = stored_rows(*g_core);
    run(p->addCurrencyButton, [](ui::ContentDialog& d) {
        auto* choices = d.findChild<ui::ListView*>();
        EXPECT_EQ(find_row(choices, "HUF "), -1);
        choices->SelectedIndex(find_row(choices, "CHF "));
        return Result::Primary;
    });
    EXPECT_EQ(changed(before, *g_core), std::set<std::string>{"currencies"});
    EXPECT_EQ(g_core->setting("currencies")[1],
              Json(Json::object{{"code", "CHF"}, {"symbol", "CHF"}, {"decimal_point", "."}, {"thousands_sep", ","},
                                {"digits_line", 2}, {"digits_total", 2}, {"pattern", "2034"}}));
    ASSERT_EQ(p->currenciesList->Size(), 2);
    EXPECT_EQ(ui::TagText(p->currenciesList->TagAt(1)), "CHF");
    EXPECT_EQ(p->currenciesList->ContentAt(1).toStdString(), "CHF\tCHF-12,345.68    \tCHF-12,345.68");

    // Its number format: separators, decimals and the symbol's place.
    before = stored_rows(*g_core);
    p->currenciesList->SelectedIndex(1);
    run(p->editCurrencyButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(d.Title().toStdString(), "CHF\tCHF-12,345.68    \tCHF-12,345.68");
        auto* format = control<ui::ComboBox>(d, caption("format"));
        EXPECT_EQ(format->SelectedIndex(), 2);
        EXPECT_EQ(format->ItemText(1).toStdString(), "-123 CHF");
        control<ui::ComboBox>(d, caption("decimal_point"))->SelectedItem("\",\"");
        auto* separator = control<ui::ComboBox>(d, caption("thousands_separator"));
        EXPECT_EQ(separator->ItemText(3).toStdString(), "\" \"");
        separator->SelectedItem("\" \"");
        control<ui::ComboBox>(d, caption("line_rounding"))->SelectedIndex(0);
        control<ui::ComboBox>(d, caption("total_rounding"))->SelectedIndex(1);
        format->SelectedIndex(1);
        return Result::Primary;
    });
    EXPECT_EQ(changed(before, *g_core), std::set<std::string>{"currencies"});
    const Json chf = g_core->setting("currencies")[1];
    EXPECT_EQ(chf, Json(Json::object{{"code", "CHF"}, {"symbol", "CHF"}, {"decimal_point", ","}, {"thousands_sep", " "},
                                     {"digits_line", 0}, {"digits_total", 1}, {"pattern", "3412"}}));
    EXPECT_TRUE(chf["digits_line"].is_number());
    EXPECT_EQ(p->currenciesList->ContentAt(1).toStdString(), "CHF\t-12 346 CHF    \t-12 345,7 CHF");

    // A country, and a language that starts with the default document labels.
    before = stored_rows(*g_core);
    run(p->addCountryButton, [](ui::ContentDialog& d) {
        auto* choices = d.findChild<ui::ListView*>();
        EXPECT_EQ(find_row(choices, "HU "), -1);
        choices->SelectedIndex(find_row(choices, "AT - "));
        return Result::Primary;
    });
    EXPECT_EQ(changed(before, *g_core), std::set<std::string>{"countries"});
    EXPECT_EQ(g_core->setting("countries"), Json(Json::array{Json::object{{"code", "HU"}}, Json::object{{"code", "AT"}}}));
    // Names in the program's language.
    EXPECT_EQ(p->countriesList->ContentAt(1).toStdString(), "AT - Ausztria");

    before = stored_rows(*g_core);
    run(p->addLanguageButton, [](ui::ContentDialog& d) {
        auto* choices = d.findChild<ui::ListView*>();
        EXPECT_EQ(find_row(choices, "de "), -1);
        choices->SelectedIndex(find_row(choices, "fr - "));
        return Result::Primary;
    });
    EXPECT_EQ(changed(before, *g_core), (std::set<std::string>{"languages", "translate"}));
    EXPECT_EQ(g_core->setting("languages")[3]["code"].string_value(), "fr");
    EXPECT_EQ(g_core->setting("translate")["fr"], g_core->constants["default_translate"]);
    ASSERT_EQ(p->languagesList->Size(), 4);

    // The labels of that language: every field is written, blanks folded.
    before = stored_rows(*g_core);
    p->languagesList->SelectedIndex(3);
    run(p->labelsButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(d.Title().toStdString(), "fr - francia");
        auto* scroller = qobject_cast<QScrollArea*>(d.ContentWidget());
        EXPECT_NE(scroller, nullptr);
        QList<ui::TextBox*> boxes = d.findChildren<ui::TextBox*>();
        EXPECT_EQ(boxes.size(), 21);
        boxes[0]->Text("  FAC   TURE ");
        boxes[20]->Text("");
        return Result::Primary;
    });
    EXPECT_EQ(changed(before, *g_core), std::set<std::string>{"translate"});
    const Json fr = g_core->setting("translate")["fr"];
    EXPECT_EQ(fr.object_items().size(), 21u);
    EXPECT_EQ(fr["invoice"].string_value(), "FAC TURE");
    EXPECT_TRUE(fr["total"].is_string() && fr["total"].string_value().empty());
    EXPECT_EQ(g_core->setting("translate")["hu"], parsed(before["translate"])["hu"]);

    // A payment method, then the default one edited: its id stays, other members are dropped.
    before = stored_rows(*g_core);
    run(p->addPaymentButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(d.Title().toStdString(), caption("payment"));
        type(d, "name", " Kártya ");
        type(d, "payment_name", "Bankkártya");
        type(d, "bank", "  OTP   Bank ");
        return Result::Primary;
    });
    EXPECT_EQ(changed(before, *g_core), std::set<std::string>{"payments"});
    Json payments = g_core->setting("payments");
    ASSERT_EQ(payments.array_items().size(), 3u);
    const std::string card_id = payments[2]["id"].string_value();
    EXPECT_TRUE(is_upper_uuid(card_id)) << card_id;
    EXPECT_EQ(payments[2], Json(Json::object{{"id", card_id}, {"name", "Kártya"}, {"payment_name", "Bankkártya"},
                                             {"bank", "OTP Bank"}}));
    EXPECT_EQ(p->paymentsList->ContentAt(2).toStdString(), "Kártya");

    const std::string transfer_id = payments[0]["id"].string_value();
    p->paymentsList->SelectedIndex(0);
    run(p->editPaymentButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(control<ui::TextBox>(d, caption("bank"))->Text().toStdString(), "BANK 12345678-12345678");
        type(d, "name", "Utalás");
        return Result::Primary;
    });
    EXPECT_EQ(g_core->setting("payments")[0]["id"].string_value(), transfer_id);
    EXPECT_EQ(g_core->setting("payments")[0]["name"].string_value(), "Utalás");
    EXPECT_EQ(p->paymentsList->ContentAt(0).toStdString(), "Utalás");

    // A payment term with its number of days inside the name.
    before = stored_rows(*g_core);
    run(p->addTermButton, [](ui::ContentDialog& d) {
        type(d, "name", "Fizetés   15 napon belül ");
        return Result::Primary;
    });
    EXPECT_EQ(changed(before, *g_core), std::set<std::string>{"terms"});
    const Json term = g_core->setting("terms")[3];
    EXPECT_EQ(term["name"].string_value(), "Fizetés 15 napon belül");
    EXPECT_EQ(term.object_items().size(), 2u);

    // A unit of the user's own, and a built-in one that only gets another rounding.
    before = stored_rows(*g_core);
    run(p->addUnitButton, [](ui::ContentDialog& d) {
        auto* name = control<ui::TextBox>(d, caption("name"));
        EXPECT_TRUE(name->IsEnabled());
        EXPECT_EQ(control<ui::ComboBox>(d, caption("rounding"))->SelectedIndex(), 0);
        name->Text("doboz");
        control<ui::ComboBox>(d, caption("rounding"))->SelectedIndex(2);
        return Result::Primary;
    });
    EXPECT_EQ(changed(before, *g_core), std::set<std::string>{"units"});
    const Json box_unit = g_core->setting("units")[15];
    EXPECT_TRUE(is_upper_uuid(box_unit["id"].string_value()));
    EXPECT_EQ(box_unit, Json(Json::object{{"id", box_unit["id"]}, {"name", "doboz"}, {"digits", 2}, {"own", 1}}));
    EXPECT_EQ(p->unitsList->Size(), 16);

    const Json piece = g_core->setting("units")[0];
    p->unitsList->SelectedIndex(0);
    run(p->editUnitButton, [](ui::ContentDialog& d) {
        auto* name = control<ui::TextBox>(d, caption("name"));
        EXPECT_FALSE(name->IsEnabled());
        EXPECT_EQ(name->Text().toStdString(), "darab");
        control<ui::ComboBox>(d, caption("rounding"))->SelectedIndex(3);
        return Result::Primary;
    });
    EXPECT_EQ(g_core->setting("units")[0],
              Json(Json::object{{"id", piece["id"]}, {"name", "darab"}, {"digits", 3}, {"own", 0}}));

    // The numbering of invoices: prefix, number format and starting number, nothing of other types.
    before = stored_rows(*g_core);
    const Json formats_before = g_core->setting("formats");
    p->docTypeSelector->SelectedIndex(0);
    run(p->numberingButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(d.Title().toStdString(), caption("INVOICE"));
        auto* initial = d.findChild<ui::NumberBox*>();
        EXPECT_TRUE(initial->IsEnabled()) << "no invoice yet";
        EXPECT_EQ(initial->Value(), 1);
        type(d, "prefix", "  TST   A ");
        control<ui::ComboBox>(d, caption("number_format"))->SelectedIndex(2);
        initial->Value(5);
        return Result::Primary;
    });
    EXPECT_EQ(changed(before, *g_core), std::set<std::string>{"formats"});
    Json::object expected_formats = formats_before.object_items();
    expected_formats["invoice_number_prefix"] = "TST A";
    expected_formats["invoice_number"] = "-YYYY/NNNN";
    expected_formats["invoice_number_initial"] = 5;
    EXPECT_EQ(g_core->setting("formats"), Json(expected_formats));

    // The date format from the button's menu, stored at once.
    QList<QAction*> entries = p->dateFormatButton->Flyout()->actions();
    ASSERT_EQ(entries.size(), 39);
    before = stored_rows(*g_core);
    for (QAction* entry : entries)
        if (entry->text() == "DD.MM.YYYY") entry->trigger();
    EXPECT_EQ(changed(before, *g_core), std::set<std::string>{"formats"});
    expected_formats["date"] = "DD.MM.YYYY";
    EXPECT_EQ(g_core->setting("formats"), Json(expected_formats));
    EXPECT_EQ(p->dateFormatButton->Label().toStdString(), "DD.MM.YYYY");

    // A method added and deleted again, after the confirmation that names it.
    run(p->addPaymentButton, [](ui::ContentDialog& d) {
        type(d, "name", "Ideiglenes");
        return Result::Primary;
    });
    before = stored_rows(*g_core);
    p->paymentsList->SelectedIndex(3);
    run(p->deletePaymentButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(d.Title().toStdString(), caption("delete"));
        EXPECT_EQ(d.PrimaryButtonText().toStdString(), caption("delete"));
        EXPECT_EQ(d.ContentText().toStdString(), g_core->translated("confirm_delete", "Ideiglenes"));
        return Result::Primary;
    });
    EXPECT_EQ(changed(before, *g_core), std::set<std::string>{"payments"});
    EXPECT_EQ(g_core->setting("payments").array_items().size(), 3u);
    EXPECT_EQ(p->paymentsList->Size(), 3);

    // The date format explanation, help and cancelled editors store nothing.
    before = stored_rows(*g_core);
    run(p->dateFormatInfoButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(d.ContentText().toStdString(), caption("formats_date_info"));
        EXPECT_EQ(d.PrimaryButtonText().toStdString(), caption("ok"));
        return Result::Primary;
    });
    std::vector<std::string> launched;
    ui::SetUriLaunchRecorder([&](const QString& uri) {
        launched.push_back(uri.toStdString());
        return true;
    });
    no_dialog(p->helpButton);
    ui::SetUriLaunchRecorder(nullptr);
    EXPECT_EQ(launched, std::vector<std::string>{"http://127.0.0.1:1/help/"});
    run(p->supplierButton, [](ui::ContentDialog& d) {
        type(d, "name", "Elvetett");
        return Result::None;
    });
    run(p->addUnitButton, [](ui::ContentDialog& d) {
        type(d, "name", "Elvetett");
        return Result::Secondary;
    });
    EXPECT_TRUE(changed(before, *g_core).empty());

    // The next sync pass takes every change up; a second installation gets them all.
    const auto edited = stored_rows(*g_core);
    pass(*g_core);
    EXPECT_TRUE(store::rows(*g_core, "SELECT recordName FROM settings WHERE synced = 0").empty());
    auto other = make_core(dir.path() + "b/", "hu");
    other->current_account = kAccount;
    other->open_database();
    other->save_web_auth_token("b-session");
    pass(*other);
    for (const char* key : {"supplier", "currencies", "countries", "languages", "translate", "payments", "terms", "units",
                            "formats"})
        EXPECT_EQ(stored_rows(*other)[key], edited.at(key)) << key;

    // A new invoice in the new currency, with the new method, term and unit: its page shows the
    // new number, the date format, the labels and the currency's format.
    Json::object invoice{{"type", "INVOICE"},
                         {"number", other->next_number("INVOICE")},
                         {"number_formatted", other->next_number_formatted("INVOICE")},
                         {"issue_date", iso_date(0)},
                         {"delivery_date", iso_date(0)},
                         {"currency_code", "CHF"},
                         {"exchange_rate", 400},
                         {"language_code", "fr"},
                         {"client_name", "Vevő Kft."},
                         {"template", "001"}};
    const Json method = other->setting("payments")[2];
    invoice["payment_id"] = method["id"];
    invoice["payment_name"] = method["payment_name"];
    invoice["payment_bank"] = method["bank"];
    const Json new_term = other->setting("terms")[3];
    invoice["due_date"] = iso_date(kNow + 86400LL * number_in_text(new_term["name"].string_value()));
    const Json unit = other->setting("units")[15];
    const Json line = Json::object{{"name", "Kerámia tál"}, {"quantity", 1.25},           {"price", 1000},
                                   {"price_type", "GROSS"},  {"tax_id", other->setting("taxes")[0]["id"]},
                                   {"unit_id", unit["id"]},  {"unit_name", unit["name"]}, {"unit_digits", unit["digits"]}};
    const std::string html = other->document_html(1, Json(invoice), Json(Json::array{line}), "");
    EXPECT_EQ(invoice["number_formatted"].string_value(), "TST A-2026/0005");
    for (const char* shown : {"TST A-2026/0005", "01.03.2026", "16.03.2026", "FAC TURE", "Bankkártya", "OTP Bank",
                              "doboz", "1 250,0 CHF"})
        EXPECT_NE(html.find(shown), std::string::npos) << shown;
}

TEST_F(SettingsPageTest, BadEntriesWriteNoWrongValueAndNeverCrash) {
    Tavrin::SettingsPage* p = page;
    const auto untouched = stored_rows(*g_core);

    // Commands that need a selected row, or a list that must keep its last entry, open nothing.
    for (QAbstractButton* button :
         std::initializer_list<QAbstractButton*>{p->labelsButton, p->editCurrencyButton, p->editPaymentButton,
                                                 p->editTermButton, p->editUnitButton, p->numberingButton,
                                                 p->deleteCountryButton, p->deletePaymentButton, p->deleteUnitButton,
                                                 p->deleteHeaderNoteButton})
        no_dialog(button);
    p->currenciesList->SelectedIndex(0);
    no_dialog(p->deleteCurrencyButton);
    p->countriesList->SelectedIndex(0);
    no_dialog(p->deleteCountryButton);
    // A built-in unit cannot be deleted.
    p->unitsList->SelectedIndex(2);
    no_dialog(p->deleteUnitButton);
    EXPECT_EQ(stored_rows(*g_core), untouched);

    // A picker saved with no row chosen is a cancel.
    run(p->addCurrencyButton, [](ui::ContentDialog&) { return Result::Primary; });
    run(p->addLanguageButton, [](ui::ContentDialog& d) {
        d.findChild<ui::ListView*>()->SelectedIndex(-1);
        return Result::Primary;
    });
    // An empty name writes nothing, for an add and for an edit.
    run(p->addPaymentButton, [](ui::ContentDialog& d) {
        type(d, "name", "   ");
        type(d, "bank", "OTP");
        return Result::Primary;
    });
    p->termsList->SelectedIndex(1);
    run(p->editTermButton, [](ui::ContentDialog& d) {
        type(d, "name", " \t ");
        return Result::Primary;
    });
    EXPECT_EQ(stored_rows(*g_core), untouched);

    // A cleared starting number keeps the stored one.
    p->docTypeSelector->SelectedIndex(2);
    run(p->numberingButton, [](ui::ContentDialog& d) {
        auto* initial = d.findChild<ui::NumberBox*>();
        initial->Value(std::numeric_limits<double>::quiet_NaN());
        EXPECT_TRUE(std::isnan(initial->Value()));
        return Result::Primary;
    });
    EXPECT_EQ(g_core->setting("formats"), parsed(untouched.at("formats")));
    EXPECT_EQ(g_core->setting("formats")["estimate_number_initial"], Json(1));
    // A stored starting number 0 is shown as 0 and stays; 0 given again after another is stored as 0.
    Json::object zero = g_core->setting("formats").object_items();
    zero["estimate_number_initial"] = 0;
    ASSERT_TRUE(g_core->save_record({{"recordName", "formats"}, {"value", Json(zero).dump()}, {"synced", 0}}, "settings"));
    run(p->numberingButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(d.findChild<ui::NumberBox*>()->Value(), 0);
        type(d, "prefix", "AJ");
        return Result::Primary;
    });
    EXPECT_EQ(g_core->setting("formats")["estimate_number_initial"], Json(0));
    EXPECT_EQ(g_core->setting("formats")["estimate_number_prefix"].string_value(), "AJ");
    for (const int initial : {3, 0}) {
        run(p->numberingButton, [initial](ui::ContentDialog& d) {
            d.findChild<ui::NumberBox*>()->Value(initial);
            return Result::Primary;
        });
        EXPECT_EQ(g_core->setting("formats")["estimate_number_initial"], Json(initial));
    }

    // Stored values no choice matches: nothing is selected and the stored value stays.
    Json::array units = g_core->setting("units").array_items();
    Json::object odd = units[1].object_items();
    odd["digits"] = 7;
    odd["own"] = 1;
    units[1] = odd;
    ASSERT_TRUE(g_core->save_record({{"recordName", "units"}, {"value", Json(units).dump()}, {"synced", 0}}, "settings"));
    Json::array currencies = g_core->setting("currencies").array_items();
    Json::object huf = currencies[0].object_items();
    huf["decimal_point"] = "x";
    huf["digits_line"] = 9;
    huf["digits_total"] = -1;
    huf["extra"] = "megmarad";
    currencies[0] = huf;
    ASSERT_TRUE(g_core->save_record({{"recordName", "currencies"}, {"value", Json(currencies).dump()}, {"synced", 0}},
                                    "settings"));
    p->BuildSettingsList();
    p->unitsList->SelectedIndex(1);
    run(p->editUnitButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(control<ui::ComboBox>(d, caption("rounding"))->SelectedIndex(), -1);
        type(d, "name", "láda");
        return Result::Primary;
    });
    EXPECT_EQ(g_core->setting("units")[1],
              Json(Json::object{{"id", odd["id"]}, {"name", "láda"}, {"digits", 7}, {"own", 1}}));
    p->currenciesList->SelectedIndex(0);
    run(p->editCurrencyButton, [](ui::ContentDialog& d) {
        EXPECT_EQ(control<ui::ComboBox>(d, caption("decimal_point"))->SelectedIndex(), -1);
        EXPECT_EQ(control<ui::ComboBox>(d, caption("line_rounding"))->SelectedIndex(), -1);
        EXPECT_EQ(control<ui::ComboBox>(d, caption("total_rounding"))->SelectedIndex(), -1);
        control<ui::ComboBox>(d, caption("thousands_separator"))->SelectedIndex(0);
        return Result::Primary;
    });
    huf["thousands_sep"] = ".";
    EXPECT_EQ(g_core->setting("currencies")[0], Json(huf));

    // A row whose stored element changed under the list: nothing is written, the list shows the store.
    Json::array terms = g_core->setting("terms").array_items();
    p->termsList->SelectedIndex(2);
    run(p->editTermButton, [&terms](ui::ContentDialog& d) {
        // Meanwhile a download removes the first term.
        terms.erase(terms.begin());
        g_core->save_record({{"recordName", "terms"}, {"value", Json(terms).dump()}, {"synced", 1}}, "settings");
        type(d, "name", "Felülíró");
        return Result::Primary;
    });
    EXPECT_EQ(g_core->setting("terms"), Json(terms));
    ASSERT_EQ(p->termsList->Size(), 2);
    EXPECT_EQ(p->termsList->ContentAt(1).toStdString(), Json(terms)[1]["name"].string_value());
    // The same before the dialog: no dialog opens, and a stale delete removes nothing.
    p->paymentsList->SelectedIndex(1);
    Json::array payments = g_core->setting("payments").array_items();
    std::swap(payments[0], payments[1]);
    g_core->save_record({{"recordName", "payments"}, {"value", Json(payments).dump()}, {"synced", 1}}, "settings");
    no_dialog(p->editPaymentButton);
    EXPECT_EQ(ui::TagText(p->paymentsList->TagAt(1)), Json(payments)[1]["id"].string_value());
    p->paymentsList->SelectedIndex(0);
    run(p->deletePaymentButton, [&payments](ui::ContentDialog&) {
        std::swap(payments[0], payments[1]);
        g_core->save_record({{"recordName", "payments"}, {"value", Json(payments).dump()}, {"synced", 1}}, "settings");
        return Result::Primary;
    });
    EXPECT_EQ(g_core->setting("payments"), Json(payments));
    EXPECT_EQ(p->paymentsList->Size(), 2);

    // A row without a name: the confirmation names it by its key, never by a bare "%s".
    Json::object unnamed = payments[1].object_items();
    unnamed["name"] = "";
    payments[1] = unnamed;
    g_core->save_record({{"recordName", "payments"}, {"value", Json(payments).dump()}, {"synced", 0}}, "settings");
    p->BuildSettingsList();
    p->paymentsList->SelectedIndex(1);
    run(p->deletePaymentButton, [&unnamed](ui::ContentDialog& d) {
        const std::string text = d.ContentText().toStdString();
        EXPECT_EQ(text.find("%s"), std::string::npos) << text;
        EXPECT_NE(text.find(Json(unnamed)["id"].string_value()), std::string::npos) << text;
        return Result::None;
    });
    EXPECT_EQ(g_core->setting("payments").array_items().size(), 2u);

    // The page and Core go while an editor is open: the click's run ends without touching either.
    const auto before_close = stored_rows(*g_core);
    const int gone = dialogs.gone;
    dialogs.answers.push_back([](ui::ContentDialog& d) -> std::optional<Result> {
        type(d, "name", "Soha");
        return std::nullopt;
    });
    p->supplierButton->click();
    ASSERT_TRUE(wait_until([&] { return dialogs.answers.empty(); }));
    ASSERT_NE(ui::ContentDialog::Current(), nullptr);
    delete page;
    page = nullptr;
    delete g_core;
    g_core = nullptr;
    EXPECT_TRUE(wait_until([&] { return dialogs.gone == gone + 1; }));
    QCoreApplication::processEvents();
    auto reopened = make_core(dir.path() + "a/", "hu");
    reopened->current_account = kAccount;
    reopened->open_database();
    EXPECT_EQ(stored_rows(*reopened), before_close);
}

TEST_F(SettingsPageTest, ShownFromTheMainWindowAndPictured) {
    delete page;
    page = nullptr;
    Tavrin::MainWindow window;
    g_main_window = &window;
    // Never shown: showing would start the cloud set-up of the start view.
    window.resize(1400, 1000);
    window.navigationView->show();
    Tavrin::SettingsPage* p = window.settingsView;
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(p->isVisibleTo(&window));

    // Choosing the settings item shows the page filled from the store, in place of the list.
    window.navigationView->SelectedItem(window.navigationView->SettingsItem());
    EXPECT_TRUE(p->isVisibleTo(&window));
    EXPECT_FALSE(window.listArea->isVisibleTo(&window));
    EXPECT_EQ(window.homeTabItem->Header().toStdString(), caption("settings"));
    EXPECT_EQ(p->unitsList->Size(), 15);
    EXPECT_EQ(p->paymentsList->ContentAt(0).toStdString(), caption("bank_transfer"));
    EXPECT_EQ(p->taxesList->ContentAt(0).toStdString(), "27%");
    EXPECT_EQ(p->footerNotesList->ContentAt(0).toStdString(), caption("thank_you") + " - " + caption("INVOICE"));
    EXPECT_EQ(ui::TagText(p->languagesList->TagAt(0)), "hu");
    EXPECT_EQ(p->languagesList->ContentAt(0).toStdString(), "hu - magyar");
    EXPECT_EQ(p->currenciesList->ContentAt(0).toStdString(), "HUF\t-12 346 Ft    \t-12 346 Ft");
    EXPECT_TRUE(p->addAccountButton->isVisibleTo(&window));
    EXPECT_TRUE(p->accountsList->isEnabled());

    // Shown again: the same lists, the same 39 date formats.
    window.navigationView->SelectedItem(window.listItems[3]);
    EXPECT_FALSE(p->isVisibleTo(&window));
    EXPECT_TRUE(window.listArea->isVisibleTo(&window));
    window.navigationView->SelectedItem(window.navigationView->SettingsItem());
    EXPECT_EQ(p->unitsList->Size(), 15);
    EXPECT_EQ(p->dateFormatButton->Flyout()->actions().size(), 39);

    // The sample company has no account commands.
    g_core->current_account = "DEMO";
    p->BuildSettingsList();
    EXPECT_FALSE(p->addAccountButton->isVisibleTo(&window));
    EXPECT_FALSE(p->deleteAccountButton->isVisibleTo(&window));
    EXPECT_FALSE(p->accountsList->isEnabled());
    g_core->current_account = kAccount;
    p->BuildSettingsList();
    EXPECT_TRUE(p->editAccountButton->isVisibleTo(&window));

    // Pictures of the page and of two editors.
    const QString out = QString(TAVRIN_UI_TEST_OUTPUT);
    QCoreApplication::processEvents();
    const QImage picture = window.grab().toImage();
    EXPECT_TRUE(has_content(picture));
    EXPECT_TRUE(picture.save(out + "/settings_page.png"));
    QImage supplier_picture;
    run(p->supplierButton, [&supplier_picture](ui::ContentDialog& d) {
        d.adjustSize();
        supplier_picture = d.grab().toImage();
        return Result::None;
    });
    EXPECT_TRUE(has_content(supplier_picture));
    EXPECT_TRUE(supplier_picture.save(out + "/settings_supplier_editor.png"));
    QImage currency_picture;
    p->currenciesList->SelectedIndex(0);
    run(p->editCurrencyButton, [&currency_picture](ui::ContentDialog& d) {
        d.adjustSize();
        currency_picture = d.grab().toImage();
        return Result::None;
    });
    EXPECT_TRUE(has_content(currency_picture));
    EXPECT_TRUE(currency_picture.save(out + "/settings_currency_editor.png"));

    // Signing out empties the token and has the window set the cloud up again.
    ASSERT_EQ(g_core->load_web_auth_token(), "a-session");
    p->signOutButton->click();
    EXPECT_EQ(g_core->load_web_auth_token(), "");
    EXPECT_TRUE(window.busyIndicator->IsActive());
    EXPECT_FALSE(window.navigationView->isVisibleTo(&window));
    ui::ThreadPool::WaitForIdle();
    g_main_window = nullptr;
    window.Close();
}

}  // namespace
