// The document editor: a page in a window of its own with a live preview of the edited document,
// its selectors, date pickers and option buttons, and the client and item lists.
#pragma once

#include "core/Core.h"
#include "json11/json11.hpp"
#include "ui/Action.h"
#include "ui/ContentDialog.h"
#include "ui/Controls.h"
#include "ui/Inputs.h"
#include "ui/Threading.h"
#include "ui/WebView2.h"

#include <QDate>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace store {
struct ShownDocument;
struct DocumentNow;
}  // namespace store
struct KeptDraft;

namespace Tavrin {

struct ShownPreview;
struct ReportSnapshot;

class DocumentPage : public QWidget {
    Q_OBJECT
public:
    DocumentPage();
    ~DocumentPage() override;

    // Builds the page's controls once, connecting each through Connect.
    void InitializeComponent();
    // Stores control `connection_id` (2 to 36) in its field and hooks its events.
    void Connect(int connection_id, QObject* target);

    // Opening: loads a stored document (editing it in place, or copying it, or deriving an invoice,
    // a storno or a purchase receipt from it), or starts a new one; then prepares the preview.
    ui::Action OpenDocument(QString recordName, QString kind, bool editing);

    // --- handlers -------------------------------------------------------------------------------
    // Copies the controls into the document and shows it rendered in the preview.
    ui::Action RefreshDocument();
    // A click on a line of the preview: the line dialog edits or deletes that line.
    ui::Action OnPreviewMessage(ui::WebView2* sender, ui::WebMessageReceivedEventArgs args);
    void OnSelectorChanged(QObject* sender);
    // The header and footer note choices of the selected document type.
    void FillDocumentNotes();
    void OnExchangeRateChanged(ui::NumberBox* sender, ui::NumberBoxValueChangedEventArgs args);
    ui::Action OnSaveClick(QObject* sender);
    // The save itself, once the user has confirmed it: the saving dialog and the worker.
    void StartSave();
    ui::Action OnOptionClick(QObject* sender);
    void OnThemeColorChanged(ui::ColorPicker* sender);
    void OnColorSelectionChanged(ui::ListView* sender);
    void SearchRecords();
    ui::Action OnAddClick(QObject* sender);
    // A new client or item in its dialog; once saved, it is applied to the document.
    ui::Action AddRecord(bool isClient);
    // Makes a client the document's client, or adds an item as a line.
    void ApplyRecordToDocument(bool isClient, std::string recordName);
    // Dragging records from the lists onto the preview.
    void ConnectDrag(ui::ListView* list);
    void ConnectDrag(ui::WebView2* preview);
    void OnDragItemsStarting(QObject* sender, ui::DragItemsStartingEventArgs& args);
    void OnDragOver(QObject* sender, ui::DragEventArgs& args);
    ui::Action OnDocumentDrop(QObject* sender, ui::DragEventArgs args);
    // The task repetition editor: a day choice and a month choice; each rewrites the rule at once.
    ui::Action EditTaskRepeat();
    void OnRepeatDayTypeChanged(ui::ComboBox* days, ui::ComboBox* months, ui::TextBlock* description);
    void OnRepeatMonthsChanged(ui::ComboBox* months, ui::TextBlock* description);

    // The window that shows this page (the main window's document window).
    ui::Window* DocumentWindow() const;

    // --- saving, its result, the PDF and the accounting upload --------------------------------------
    // What the save's steps hand on: the worker works on its own copy of the document and lines.
    struct SaveContext;
    using SaveContextPtr = std::shared_ptr<SaveContext>;
    // The worker's steps (a pool thread): the first sync pass, then numbering, the tax-authority
    // report, the store write and the second pass; exactly one result goes back to the UI thread.
    static void RunSave(SaveContextPtr context);
    static void SaveDocumentAfterSync(SaveContextPtr context, json11::Json reply);
    // After the store write: the accounting upload and the second sync pass, then the result.
    static void StoredDocument(SaveContextPtr context);
    // Uploads again, one after the other, the stored invoices whose accounting upload has not yet
    // succeeded (after a failed upload, or a program ended before it); each is printed in a hidden
    // view of `owner`. One run at a time; one asked for meanwhile makes it look once more at its end.
    // An upload another installation is sending is looked at again once that sender's moment is past.
    static ui::Action RetryAccountingUploads(QPointer<QWidget> owner);
    static void ShowSaveError(SaveContextPtr context, std::string message);
    static ui::Action ShowSaveResult(SaveContextPtr context, Core::SyncOutcome outcome);
    static void MarkDocumentPaid(SaveContextPtr context, bool paid);
    static ui::Action UploadDocumentPdf(SaveContextPtr context);
    // Once the save has waited as long as it waits before it explains itself, the saving dialog says
    // what the report waits for, and follows it as the worker tells each phase.
    static ui::Action ExplainLongReport(SaveContextPtr context);
    // True from the Save click until the save has ended: another click does nothing and the window
    // stays open.
    bool save_in_flight = false;
    // The program is closed while this page's save dialog shows: holds when the close waits for the
    // save (the dialog says so, and the save closes the main window again once nothing typed can be
    // lost); lets_end when the program may end now (the save's invoice went to the tax authority with
    // its report recorded: the next start settles it); none when no save dialog shows.
    enum class SaveAtClose { none, holds, lets_end };
    SaveAtClose SaveHoldsClose();
    // What the close guard asks before the page's document is dropped: the plain discard question,
    // or, once the page's invoice went to the tax authority, that closing leaves it issued.
    struct DiscardQuestion {
        QString title;
        QString text;
        QString close_button;
    };
    // What the question needs of the store about the page's invoice, read off the UI thread from the
    // page's document, its unanswered report and whether it edits a stored document.
    struct DiscardFacts {
        bool waiting = false;  // its report waits for the authority's answer
        std::string stored;    // the record it was stored as since (empty when none)
        std::string number;    // its number as the report or the store knows it (empty when neither)
    };
    static DiscardFacts ReadDiscardFacts(Core& core, const json11::Json& document, const std::string& request_id,
                                         bool editing);
    DiscardQuestion DiscardQuestionText(const DiscardFacts& facts) const;
    // The request id of this page's invoice report whose answer never came: when a later save finds
    // it stored, the page's invoice is that one and is not reported again.
    std::string pending_request_id;
    // Takes that report as the page's own (core holds it for the page from when it was recorded, see
    // Core::nav_invoice_keeper); the page lets every report it held go when it closes.
    void HoldReport(const std::string& request_id);
    // That report has been settled meanwhile (by the background, or another save), as `snapshot` read
    // it: stored, the page ends as its save would; unstored, the user is told and the page keeps the
    // invoice to be saved again. Nothing while it still waits or a save runs.
    void LearnReportOutcome(const ReportSnapshot& snapshot);
    // The save's dialog left open saying that report waits: the outcome is told in it.
    QPointer<ui::ContentDialog> report_dialog;
    // The stored document this page edits in place, as it was opened or last followed; null for any
    // other document.
    std::shared_ptr<const store::ShownDocument> stored_shown;
    // The store holds `now` of that document: a move (a pass gave it another number) takes the page
    // to its new record name and number; the user is told of a move, a change made elsewhere or its
    // deletion, and keeps what was typed.
    void FollowStoredDocument(const store::DocumentNow& now);
    // The page's invoice is kept in this draft since its report ended unstored: the page shows it, and
    // its next save issues the invoice from it, using it up in the same store transaction.
    void ShowKeptDraft(const KeptDraft& kept);
    // The document as that report sent it (see SaveContext::reported_snapshot).
    std::string pending_snapshot;
    // The number the page showed before that report took another.
    std::string pending_shown_number;

    // --- exchange rate, logo and theme colours -----------------------------------------------------
    void FetchExchangeRate();
    // The document's currency may have changed from `previous`: a foreign currency gets the rate of
    // the delivery date as the rate button fetches it, unless it stayed the same and has a rate that
    // the user typed or that belongs to the delivery date.
    void OnCurrencyChanged(const std::string& previous);
    // The delivery date has settled: a foreign currency's rate follows it. A rate the user typed is
    // not replaced without asking.
    void OnDeliveryDateCommitted();
    ui::Action AskToReplaceTypedRate(std::string date);
    ui::Action ChooseLogo();
    static void UploadLogo(QString path, ui::DispatcherQueue queue, QPointer<DocumentPage> page,
                           QPointer<QWidget> dialog);
    void ToggleColorsPanel();
    void ChooseColorTarget(QObject* sender);

    // --- controls, by connection id --------------------------------------------------------------
    ui::Panel* optionsPanel = nullptr;                      // 2
    ui::Panel* recordsPanel = nullptr;                      // 3
    ui::TextBox* numberTextBox = nullptr;                   // 4
    ui::ComboBox* paymentsCombBox = nullptr;                // 5
    ui::Button* templatePreviousButton = nullptr;           // 6
    ui::Button* templateNextButton = nullptr;               // 7
    ui::Button* logoButton = nullptr;                       // 8
    ui::Button* colorsButton = nullptr;                     // 9
    ui::ComboBox* footerNotesCombBox = nullptr;             // 10
    ui::Button* footerNoteButton = nullptr;                 // 11
    ui::ComboBox* headerNotesCombBox = nullptr;             // 12
    ui::Button* headerNoteButton = nullptr;                 // 13
    ui::ComboBox* currenciesCombBox = nullptr;              // 14
    ui::NumberBox* exchangeRateNumberBox = nullptr;         // 15
    ui::Button* exchangeRateButton = nullptr;               // 16
    ui::Button* taskRepeatButton = nullptr;                 // 17
    ui::CalendarDatePicker* deliveryDatePicker = nullptr;   // 18
    ui::CalendarDatePicker* dueDatePicker = nullptr;        // 19
    ui::ComboBox* docTypesCombBox = nullptr;                // 20
    ui::ComboBox* languagesCombBox = nullptr;               // 21
    ui::Button* saveButton = nullptr;                       // 22
    ui::WebView2* previewWebView = nullptr;                 // 23
    ui::Pivot* recordsPivot = nullptr;                      // 24
    ui::Panel* colorsPanel = nullptr;                       // 25
    ui::ColorPicker* themeColorPicker = nullptr;            // 26
    ui::ListView* colorSwatchList = nullptr;                // 27
    ui::Button* fontColorButton = nullptr;                  // 28
    ui::Button* backgroundColorButton = nullptr;            // 29
    ui::ListView* itemsListView = nullptr;                  // 30
    ui::AutoSuggestBox* itemsSearchBox = nullptr;           // 31
    ui::Button* newItemButton = nullptr;                    // 32, Name "newItem"
    ui::Button* newLineButton = nullptr;                    // 33, Name "newLine"
    ui::ListView* clientsListView = nullptr;                // 34
    ui::AutoSuggestBox* clientsSearchBox = nullptr;         // 35
    ui::Button* newClientButton = nullptr;                  // 36, Name "newClient"

    // --- state ------------------------------------------------------------------------------------
    // False until the opening has filled the controls: their change events are no edits before.
    bool loaded = false;
    // The stored document is edited in place.
    bool editing = false;
    json11::Json::object document;
    std::vector<json11::Json> lines;
    // Previews written so far (each finished refresh counts one).
    std::int64_t previews_shown = 0;

private:
    // Every report this page sent or took: let go when it closes.
    std::vector<std::string> held_reports_;
    // The save under way since its dialog showed (expired once the save has ended).
    std::weak_ptr<SaveContext> running_save_;
    bool content_loaded_ = false;
    // The stored type of a document edited in place: an archived invoice stays one.
    std::string stored_type_;
    // Its stored number: a document edited in place keeps it while its type stays the same, so that
    // editing never moves the numbering on.
    int stored_number_ = 0;
    // The box empty until a fetched rate comes; the program's own value is no typing.
    void ClearExchangeRate();
    // The delivery date as "%Y-%m-%d" (today when the picker holds none).
    std::string DeliveryDateText() const;
    // The delivery date ("%Y-%m-%d") the rate box's rate belongs to: the date it was fetched for, the
    // stored date of a stored document's rate, or the date shown when the user typed it or kept it.
    std::string rate_date_;
    // The box holds a rate the user typed (and has not had replaced by a fetched one since).
    bool rate_typed_ = false;
    // The program is writing the box: its change is no typing.
    bool writing_rate_ = false;
    // What the preview shows, so that a refresh replaces only what changed; none: write it whole.
    std::shared_ptr<ShownPreview> shown_preview_;
    long preview_generation_ = 0;
};

// Whether a colour target button is the one being edited.
bool has_target_style(const QWidget* button);

// The date a stored "%Y-%m-%d" text names; nothing when the text gives no valid date.
std::optional<QDate> stored_date(const std::string& text);

}  // namespace Tavrin
