// The one click handler of the settings page: which button was pressed, the editor it opens, the
// store step after a save, the list delete action and the commands that open no editor.
#include "app/settings/SettingsPage.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "app/settings/SettingsSupport.h"
#include "core/Core.h"
#include "ui/Pickers.h"
#include "ui/SettingsControls.h"

#include <QPointer>

#include <algorithm>

using json11::Json;

namespace Tavrin {

using settings::caption;

namespace {

// Deletes the run's dialog when the run ends, however it ends.
class DialogHolder {
public:
    explicit DialogHolder(ui::ContentDialog* dialog) : dialog_(dialog) {}
    ~DialogHolder() {
        if (dialog_) dialog_->deleteLater();
    }
    DialogHolder(const DialogHolder&) = delete;
    DialogHolder& operator=(const DialogHolder&) = delete;
    ui::ContentDialog* get() const { return dialog_.data(); }

private:
    QPointer<ui::ContentDialog> dialog_;
};

// "%s" with nothing to put in its place is left out rather than shown.
std::string translated_with(const std::string& key, const std::string& arg) {
    if (!arg.empty()) return g_core->translated(key, arg);
    std::string text = g_core->translated(key, "");
    for (std::size_t at = text.find("%s"); at != std::string::npos; at = text.find("%s", at)) text.erase(at, 2);
    return text;
}

}  // namespace

ui::Action SettingsPage::OnSectionClick(QObject* sender) {
    if (!g_core || !sender) co_return;
    QPointer<SettingsPage> self(this);

    std::string key;
    Json::object data;
    ui::ListView* list = nullptr;  // the list whose entry is edited, added or deleted
    bool edit = false;
    std::string tag;  // the edited row's Tag; the language code of the labels editor; the document type

    // An edit of the selected row: its Tag, and its stored element when the row still stands for it.
    auto selected_element = [&](ui::ListView* source) -> bool {
        list = source;
        const int index = source->SelectedIndex();
        if (index < 0) return false;
        tag = ui::TagText(source->TagAt(index));
        const int checked = CheckedIndex(source, tag);
        if (checked < 0) return false;
        data = g_core->setting(ListKey(source))[static_cast<std::size_t>(checked)].object_items();
        return true;
    };

    if (sender == supplierButton || sender == navButton) {
        key = sender == supplierButton ? "supplier" : "supplier_nav";
        data = g_core->setting("supplier").object_items();
    } else if (sender == addCountryButton || sender == addLanguageButton || sender == addCurrencyButton) {
        key = sender == addCountryButton ? "countries" : sender == addLanguageButton ? "languages" : "currencies";
    } else if (sender == labelsButton) {
        const int index = languagesList->SelectedIndex();
        if (index < 0) co_return;
        tag = ui::TagText(languagesList->TagAt(index));
        key = "translate";
        data = g_core->setting("translate")[tag].object_items();
    } else if (sender == editCurrencyButton) {
        if (!selected_element(currenciesList)) co_return;
        key = "currencies_edit";
    } else if (sender == addPaymentButton || sender == editPaymentButton || sender == addTermButton ||
               sender == editTermButton || sender == addUnitButton || sender == editUnitButton) {
        edit = sender == editPaymentButton || sender == editTermButton || sender == editUnitButton;
        ui::ListView* source = sender == addPaymentButton || sender == editPaymentButton ? paymentsList
                               : sender == addTermButton || sender == editTermButton ? termsList
                                                                                       : unitsList;
        key = source == paymentsList ? "payment" : source == termsList ? "terms" : "units";
        list = source;
        if (edit && !selected_element(source)) co_return;
    } else if (sender == addHeaderNoteButton || sender == editHeaderNoteButton || sender == addLineNoteButton ||
               sender == editLineNoteButton || sender == addFooterNoteButton || sender == editFooterNoteButton) {
        edit = sender == editHeaderNoteButton || sender == editLineNoteButton || sender == editFooterNoteButton;
        ui::ListView* source = sender == addHeaderNoteButton || sender == editHeaderNoteButton ? headerNotesList
                               : sender == addLineNoteButton || sender == editLineNoteButton ? lineNotesList
                                                                                             : footerNotesList;
        key = "notes";
        list = source;
        if (edit && !selected_element(source)) co_return;
    } else if (sender == importClientsButton || sender == importItemsButton || sender == importInvoicesButton) {
        key = sender == importClientsButton ? "import_clients" : sender == importItemsButton ? "import_items" : "import_invoices";
    } else if (sender == webshopButton) {
        key = "webshop_connect";
        data = g_core->setting("webshop_connect").object_items();
    } else if (sender == accountingButton) {
        key = "accounting";
        data = g_core->setting("defaults").object_items();
    } else if (sender == addAccountButton || sender == editAccountButton) {
        edit = sender == editAccountButton;
        key = "accounts";
        list = accountsList;
        if (edit && !selected_element(accountsList)) co_return;
    } else if (sender == numberingButton) {
        const int index = docTypeSelector->SelectedIndex();
        const Json::array& doc_types = g_core->constants["doc_types"].array_items();
        if (index < 0 || static_cast<std::size_t>(index) + 2 >= doc_types.size()) co_return;
        tag = doc_types[static_cast<std::size_t>(index)]["id"].string_value();
        key = "formats";
        data = Json::object{{"doc_type", tag}};
    } else if (sender == dateFormatInfoButton) {
        ShowDateFormatInfo();
        co_return;
    } else if (sender == helpButton) {
        OpenHelp();
        co_return;
    } else if (sender == signOutButton) {
        SignOut();
        co_return;
    } else {
        // A list's delete button, known by the list name before the first "_" of its element name.
        const std::string name = split('_', ui::Name(sender))[0];
        ui::ListView* source = name == "countries"     ? countriesList
                               : name == "languages"   ? languagesList
                               : name == "currencies"  ? currenciesList
                               : name == "payments"    ? paymentsList
                               : name == "terms"       ? termsList
                               : name == "units"       ? unitsList
                               : name == "headerNotes" ? headerNotesList
                               : name == "lineNotes"   ? lineNotesList
                               : name == "footerNotes" ? footerNotesList
                               : name == "accounts"    ? accountsList
                                                       : nullptr;
        if (!source) co_return;
        const int index = source->SelectedIndex();
        if (index < 0) co_return;
        const bool keeps_one = source != headerNotesList && source != lineNotesList && source != footerNotesList &&
                               source != accountsList;
        if (keeps_one && source->Size() == 1) co_return;
        if (!selected_element(source)) co_return;
        // The open account is never deleted.
        if (source == accountsList && to_lower(tag) == to_lower(g_core->current_account)) co_return;
        // Only the user's own units can go.
        if (source == unitsList) {
            const Json& own = data["own"];
            if (!own.is_number() || own.number_value() != 1) co_return;
        }
        const std::string content = ui::utf8(source->ContentAt(index));
        key = "delete";
        data = Json::object{{"message", content.empty() ? tag : content}};
    }

    DialogHolder holder(OpenSectionEditor(key, data));
    const ui::ContentDialogResult result = co_await holder.get()->ShowAsync();
    // The page or Core may have gone while the dialog was open (the window closed).
    if (!self || !g_core || !holder.get()) co_return;
    if (key == "import_invoices" && result == ui::ContentDialogResult::Secondary) {
        // The converter page makes the import file out of another program's export.
        ui::LaunchUriAsync(ui::qs(endpoint_config().maker_url + "/convert/"));
        co_return;
    }
    if (result != ui::ContentDialogResult::Primary) co_return;
    ui::ContentDialog* dialog = holder.get();

    if (key == "import_clients" || key == "import_items" || key == "import_invoices") {
        const QString title = dialog->Title();
        ui::FileOpenPicker picker;
        picker.Owner(window());
        picker.FileTypeFilter({key == "import_invoices" ? QStringLiteral(".tavrinimport") : QStringLiteral(".csv")});
        const ui::StorageFile file = co_await picker.PickSingleFileAsync();
        if (!self || !g_core || !holder.get() || !file) co_return;
        auto* modes = settings::child_as<ui::ComboBox>(holder.get()->ContentWidget(), 1);
        const int mode = key == "import_invoices" && modes ? std::max(modes->SelectedIndex(), 0) : 0;
        StartImport(key, file.Path(), mode, title);
        co_return;
    }

    if (key == "supplier")
        SaveSupplier(dialog);
    else if (key == "supplier_nav")
        SaveCredentials(dialog);
    else if (key == "countries" || key == "languages" || key == "currencies")
        SavePicked(key, dialog);
    else if (key == "translate")
        SaveTranslations(tag, dialog);
    else if (key == "currencies_edit")
        SaveCurrency(tag, dialog);
    else if (key == "payment" || key == "terms" || key == "units")
        SaveListEntry(list, edit, tag, dialog);
    else if (key == "formats")
        SaveNumbering(tag, dialog);
    else if (key == "notes")
        SaveNote(list, edit, tag, dialog);
    else if (key == "webshop_connect")
        SaveWebshop(dialog);
    else if (key == "accounting" && !SaveAccounting(dialog))
        ShowMessage(ui::qs(own_text("A kulcs nem tartalmazhat \"_\" karaktert; nem lett mentve.",
                                              "The key cannot hold the character \"_\"; it was not saved.")));
    else if (key == "accounts")
        SaveAccount(edit, tag, dialog);
    else if (key == "delete" && list == accountsList)
        StartAccountDelete(tag);
    else if (key == "delete")
        DeleteEntry(list, tag);
}

ui::ContentDialog* SettingsPage::OpenSectionEditor(std::string key, Json::object data) {
    auto* dialog = new ui::ContentDialog(window());
    dialog->XamlRoot(window());
    dialog->setMinimumWidth(380);
    dialog->PrimaryButtonText(caption("save"));
    dialog->CloseButtonText(caption("cancel"));
    dialog->DefaultButton(ui::ContentDialogButton::Primary);
    if (!g_core) return dialog;

    if (key == "supplier")
        BuildSupplierEditor(dialog, std::move(data));
    else if (key == "supplier_nav")
        BuildCredentialsEditor(dialog, std::move(data));
    else if (key == "countries" || key == "languages" || key == "currencies")
        BuildPicker(dialog, key);
    else if (key == "translate")
        BuildTranslationsEditor(dialog, std::move(data));
    else if (key == "currencies_edit")
        BuildCurrencyEditor(dialog, std::move(data));
    else if (key == "payment")
        BuildPaymentEditor(dialog, std::move(data));
    else if (key == "terms")
        BuildTermsEditor(dialog, std::move(data));
    else if (key == "units")
        BuildUnitsEditor(dialog, std::move(data));
    else if (key == "formats")
        BuildNumberingEditor(dialog, std::move(data));
    else if (key == "delete")
        BuildDeleteConfirmation(dialog, std::move(data));
    else if (key == "notes")
        BuildNotesEditor(dialog, std::move(data));
    else if (key == "import_clients" || key == "import_items" || key == "import_invoices")
        BuildImportEditor(dialog, key);
    else if (key == "webshop_connect")
        BuildWebshopEditor(dialog);
    else if (key == "accounting")
        BuildAccountingEditor(dialog, std::move(data));
    else if (key == "accounts")
        BuildAccountsEditor(dialog, std::move(data));
    return dialog;
}

void SettingsPage::BuildDeleteConfirmation(ui::ContentDialog* dialog, Json::object data) {
    dialog->Title(caption("delete"));
    dialog->PrimaryButtonText(caption("delete"));
    dialog->Content(ui::qs(translated_with("confirm_delete", Json(data)["message"].string_value())));
}

// The confirmed delete: the element at the selected index goes from the stored array and its row
// from the list, when the row still stands for that element.
void SettingsPage::DeleteEntry(ui::ListView* list, const std::string& tag) {
    const int index = CheckedIndex(list, tag);
    if (index < 0) return;
    Json::array items = g_core->setting(ListKey(list)).array_items();
    items.erase(items.begin() + index);
    if (!settings::write_setting(ListKey(list), items)) return;
    list->RemoveAt(index);
}

// --- commands without an editor ------------------------------------------------------------------------

void SettingsPage::ShowDateFormatInfo() {
    auto* dialog = new ui::ContentDialog(window());
    dialog->XamlRoot(window());
    dialog->Content(caption("formats_date_info"));
    dialog->PrimaryButtonText(caption("ok"));
    dialog->DefaultButton(ui::ContentDialogButton::Primary);
    dialog->Closed.Add([dialog](ui::ContentDialog*, ui::ContentDialogClosedEventArgs) { dialog->deleteLater(); });
    // Shown and not waited for; one that cannot be shown (another dialog is open) goes at once.
    if (dialog->ShowAsync().IsDone() && !dialog->isVisible()) dialog->deleteLater();
}

ui::ContentDialog* SettingsPage::ShowProgress(const QString& title) {
    auto* dialog = new ui::ContentDialog(window());
    dialog->XamlRoot(window());
    dialog->setMinimumWidth(380);
    dialog->Title(title);
    dialog->Content(caption("saving"));
    dialog->DefaultButton(ui::ContentDialogButton::Primary);
    // No buttons while the work runs; a result with an OK button goes with its button.
    dialog->Closed.Add([dialog](ui::ContentDialog*, ui::ContentDialogClosedEventArgs) {
        if (!dialog->PrimaryButtonText().isEmpty()) dialog->deleteLater();
    });
    dialog->ShowAsync();
    return dialog;
}

void SettingsPage::ShowMessage(const QString& text) {
    auto* dialog = new ui::ContentDialog(window());
    dialog->XamlRoot(window());
    dialog->Content(text);
    dialog->PrimaryButtonText(caption("ok"));
    dialog->DefaultButton(ui::ContentDialogButton::Primary);
    dialog->Closed.Add([dialog](ui::ContentDialog*, ui::ContentDialogClosedEventArgs) { dialog->deleteLater(); });
    if (dialog->ShowAsync().IsDone() && !dialog->isVisible()) dialog->deleteLater();
}

void SettingsPage::OpenHelp() {
    ui::LaunchUriAsync(ui::qs(endpoint_config().maker_url + "/help/"));
}

void SettingsPage::SignOut() {
    g_core->save_web_auth_token(std::string());
    // The main window sets its web view up again; with no token the cloud asks for a sign-in.
    if (auto* window = qobject_cast<MainWindow*>(g_main_window.data())) window->SetupWebView();
}

}  // namespace Tavrin
