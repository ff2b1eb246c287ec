// The settings page: every settings section of the open account as a list or a text, each edited
// in a content dialog built in code, and the commands around them.
#pragma once

#include "core/store/import_check.h"
#include "json11/json11.hpp"
#include "ui/Action.h"
#include "ui/ContentDialog.h"
#include "ui/Controls.h"
#include "ui/Inputs.h"
#include "ui/Threading.h"

#include <QPointer>
#include <QWidget>

#include <map>
#include <string>
#include <vector>

class QGridLayout;
class QLayout;

namespace Tavrin {

class SettingsPage : public QWidget {
    Q_OBJECT
public:
    explicit SettingsPage(QWidget* parent = nullptr);
    ~SettingsPage() override;

    // Builds the page's elements once, connecting each through Connect.
    void InitializeComponent();
    // Stores element `connection_id` (2 to 59) in its field and hooks its Click; other ids store nothing.
    void Connect(int connection_id, QObject* target);

    // Refills every list, text and menu of the page from the stored settings; the main window calls
    // it each time the settings item is chosen.
    void BuildSettingsList();
    // The supplier's name and details texts.
    void SupplierSummary();

    // --- handlers -------------------------------------------------------------------------------
    // The one Click handler of the page's command buttons: tells them apart by identity, opens the
    // section's editor and runs its store step when the user saves.
    ui::Action OnSectionClick(QObject* sender);
    // The editor dialog of section `key`, built but not shown.
    ui::ContentDialog* OpenSectionEditor(std::string key, json11::Json::object data);
    // Click of a date format menu entry: stores its text as the date format.
    void SaveDateFormat(QObject* sender);
    // A drag in one of the reorderable lists has ended: the list's new order is stored.
    void OnListDragItemsCompleted(ui::ListView* sender);

    // --- imports: a work item reads the file, the UI step turns the progress dialog into the result ----
    // How an import ended: the rows it added, or why nothing was imported.
    struct ImportOutcome {
        int count = 0;
        // -1 the import ran; 0 the file could not be read (or the import never ended); n line n of the
        // invoice import file does not have the shape the import reads.
        int problem_line = 0;
        // The client or item lines passed over, by reason.
        std::map<ImportSkip, std::vector<int>> skipped;
    };
    static void ImportMasterData(bool clients, std::string path, ui::DispatcherQueue queue,
                                 QPointer<ui::ContentDialog> progress);
    static void ShowImportResult(QPointer<ui::ContentDialog> progress, ImportOutcome outcome);

    // --- company accounts: a work item runs the zone service, a UI step shows the result ---------------
    // Add (edit false) or rename the entry at `position` (whose id is `id`).
    static void AddAccount(bool edit, int position, std::string id, std::string name, ui::DispatcherQueue queue,
                           QPointer<SettingsPage> page, QPointer<ui::ContentDialog> progress);
    static void DeleteAccount(int position, std::string id, int mode, ui::DispatcherQueue queue,
                              QPointer<SettingsPage> page, QPointer<ui::ContentDialog> progress);
    // The UI steps: the rows and the menu show the stored list; `failure` is what the zone service
    // reported (null when the cloud took the change), told in the progress dialog.
    void ApplyAccountChange(QPointer<ui::ContentDialog> progress, const json11::Json& failure);
    void RenameAccount(int position, QPointer<ui::ContentDialog> progress, const json11::Json& failure);
    void AfterAccountChange(int mode, std::string id, QPointer<ui::ContentDialog> progress,
                            const json11::Json& failure);
    // After the accounts' new order went to the cloud: when it did not, the order before the drag
    // is stored again, shown, and the user told.
    void AfterAccountsReorder(const json11::Json& failure, const json11::Json::array& previous,
                              const json11::Json::array& order);

    // --- elements, by connection id ---------------------------------------------------------------
    QWidget* listsPanel = nullptr;                  // 2
    ui::TextBlock* supplierDetailsText = nullptr;   // 3
    ui::ListView* countriesList = nullptr;          // 4
    ui::ListView* languagesList = nullptr;          // 5
    ui::ListView* currenciesList = nullptr;         // 6
    ui::ListView* paymentsList = nullptr;           // 7
    ui::ListView* termsList = nullptr;              // 8
    ui::ListView* taxesList = nullptr;              // 9
    ui::ListView* unitsList = nullptr;              // 10
    ui::ListView* headerNotesList = nullptr;        // 11
    ui::ListView* lineNotesList = nullptr;          // 12
    ui::ListView* footerNotesList = nullptr;        // 13
    ui::ComboBox* docTypeSelector = nullptr;        // 14
    ui::ListView* accountsList = nullptr;           // 15
    ui::TextBlock* versionText = nullptr;           // 16
    ui::AppBarButton* helpButton = nullptr;         // 17
    QWidget* pageScroller = nullptr;                // 18
    ui::AppBarButton* addAccountButton = nullptr;   // 19
    ui::AppBarButton* editAccountButton = nullptr;  // 20
    ui::AppBarButton* deleteAccountButton = nullptr;       // 21
    ui::AppBarButton* signOutButton = nullptr;             // 22
    ui::AppBarButton* accountingButton = nullptr;          // 23
    ui::AppBarButton* webshopButton = nullptr;             // 24
    ui::AppBarButton* importClientsButton = nullptr;       // 25
    ui::AppBarButton* importItemsButton = nullptr;         // 26
    ui::AppBarButton* importInvoicesButton = nullptr;      // 27
    ui::AppBarButton* dateFormatInfoButton = nullptr;      // 28
    ui::AppBarButton* dateFormatButton = nullptr;          // 29
    ui::AppBarButton* numberingButton = nullptr;           // 30
    ui::AppBarButton* addFooterNoteButton = nullptr;       // 31
    ui::AppBarButton* editFooterNoteButton = nullptr;      // 32
    ui::AppBarButton* deleteFooterNoteButton = nullptr;    // 33
    ui::AppBarButton* addLineNoteButton = nullptr;         // 34
    ui::AppBarButton* editLineNoteButton = nullptr;        // 35
    ui::AppBarButton* deleteLineNoteButton = nullptr;      // 36
    ui::AppBarButton* addHeaderNoteButton = nullptr;       // 37
    ui::AppBarButton* editHeaderNoteButton = nullptr;      // 38
    ui::AppBarButton* deleteHeaderNoteButton = nullptr;    // 39
    ui::AppBarButton* addUnitButton = nullptr;             // 40
    ui::AppBarButton* editUnitButton = nullptr;            // 41
    ui::AppBarButton* deleteUnitButton = nullptr;          // 42
    ui::AppBarButton* addTermButton = nullptr;             // 43
    ui::AppBarButton* editTermButton = nullptr;            // 44
    ui::AppBarButton* deleteTermButton = nullptr;          // 45
    ui::AppBarButton* addPaymentButton = nullptr;          // 46
    ui::AppBarButton* editPaymentButton = nullptr;         // 47
    ui::AppBarButton* deletePaymentButton = nullptr;       // 48
    ui::AppBarButton* addCurrencyButton = nullptr;         // 49
    ui::AppBarButton* editCurrencyButton = nullptr;        // 50
    ui::AppBarButton* deleteCurrencyButton = nullptr;      // 51
    ui::AppBarButton* addLanguageButton = nullptr;         // 52
    ui::AppBarButton* labelsButton = nullptr;              // 53
    ui::AppBarButton* deleteLanguageButton = nullptr;      // 54
    ui::AppBarButton* addCountryButton = nullptr;          // 55
    ui::AppBarButton* deleteCountryButton = nullptr;       // 56
    ui::TextBlock* supplierNameText = nullptr;             // 57
    ui::AppBarButton* navButton = nullptr;                 // 58
    ui::AppBarButton* supplierButton = nullptr;            // 59

private:
    // --- lists ----------------------------------------------------------------------------------
    // Fills `list` from its stored array, replacing what it shows.
    void FillList(ui::ListView* list);
    // The settings key and match member ("code" or "id") of the array a list shows; empty for none.
    std::string ListKey(const ui::ListView* list) const;
    std::string ListMatch(const ui::ListView* list) const;
    // Position of the selected row when it still stands for the same element of the stored array
    // (same key as the row's Tag); -1 otherwise, the list being filled again from storage then.
    int CheckedIndex(ui::ListView* list, const std::string& tag);
    // Puts `list`'s new last row in view after an add; with `select`, it becomes the selection too.
    static void ShowAddedRow(ui::ListView* list, bool select);

    // --- editors --------------------------------------------------------------------------------
    void BuildSupplierEditor(ui::ContentDialog* dialog, json11::Json::object values);
    void BuildCredentialsEditor(ui::ContentDialog* dialog, json11::Json::object values);
    void BuildPicker(ui::ContentDialog* dialog, const std::string& key);
    void BuildTranslationsEditor(ui::ContentDialog* dialog, json11::Json::object values);
    void BuildCurrencyEditor(ui::ContentDialog* dialog, json11::Json::object entry);
    void BuildPaymentEditor(ui::ContentDialog* dialog, json11::Json::object item);
    void BuildTermsEditor(ui::ContentDialog* dialog, json11::Json::object item);
    void BuildUnitsEditor(ui::ContentDialog* dialog, json11::Json::object item);
    void BuildNumberingEditor(ui::ContentDialog* dialog, json11::Json::object data);
    void BuildDeleteConfirmation(ui::ContentDialog* dialog, json11::Json::object data);
    void BuildNotesEditor(ui::ContentDialog* dialog, json11::Json::object note);
    void BuildImportEditor(ui::ContentDialog* dialog, const std::string& key);
    void BuildWebshopEditor(ui::ContentDialog* dialog);
    void BuildAccountingEditor(ui::ContentDialog* dialog, json11::Json::object defaults);
    void BuildAccountsEditor(ui::ContentDialog* dialog, json11::Json::object account);

    // --- store steps, run after the editor closed with its primary button --------------------------
    void SaveSupplier(ui::ContentDialog* dialog);
    void SaveCredentials(ui::ContentDialog* dialog);
    void SavePicked(const std::string& key, ui::ContentDialog* dialog);
    void SaveTranslations(const std::string& code, ui::ContentDialog* dialog);
    void SaveCurrency(const std::string& tag, ui::ContentDialog* dialog);
    // Payment methods, payment terms and units: `list` is the page's list, `tag` the edited row's
    // Tag (edit) or empty (add).
    void SaveListEntry(ui::ListView* list, bool edit, const std::string& tag, ui::ContentDialog* dialog);
    void SaveNumbering(const std::string& code, ui::ContentDialog* dialog);
    void DeleteEntry(ui::ListView* list, const std::string& tag);
    void SaveNote(ui::ListView* list, bool edit, const std::string& tag, ui::ContentDialog* dialog);
    void SaveWebshop(ui::ContentDialog* dialog);
    // False when the key was refused (it would be cut at its "_" when sent).
    bool SaveAccounting(ui::ContentDialog* dialog);
    void SaveAccount(bool edit, const std::string& tag, ui::ContentDialog* dialog);
    void StartAccountDelete(const std::string& tag);
    // Queues the import of `path` with its progress dialog titled `title`.
    void StartImport(const std::string& key, const QString& path, int mode, const QString& title);

    // A dialog without buttons titled `title` that says the change is being saved; shown, not awaited.
    ui::ContentDialog* ShowProgress(const QString& title);
    // A message with an OK button; shown, not awaited.
    void ShowMessage(const QString& text);

    // --- commands without an editor ---------------------------------------------------------------
    void ShowDateFormatInfo();
    void OpenHelp();
    void SignOut();
    // The main window's accounts menu, filled again from the stored list.
    static void RefillAccountsMenu();

    bool content_loaded_ = false;

    // --- layout: the sections flow into as many columns as the page's width allows ----------------------
protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void LayOutCards(int columns);
    QGridLayout* grid_ = nullptr;
    QLayout* foot_ = nullptr;
    std::vector<QWidget*> cards_;
    int columns_ = 0;
};

// The work item of the invoice import (mode 0 to 5, as the import dialog's choice list).
void import_invoices_work_item(std::string path, int mode, ui::DispatcherQueue queue,
                               QPointer<ui::ContentDialog> progress);

}  // namespace Tavrin
