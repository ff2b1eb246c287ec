// The program's main window: navigation, the list and record tabs, the command menu and the web
// views of the lists and of the cloud sign-in.
#pragma once

#include "core/sync_notices.h"
#include "json11/json11.hpp"
#include "ui/Action.h"
#include "ui/ContentDialog.h"
#include "ui/Controls.h"
#include "ui/Threading.h"
#include "ui/WebView2.h"

#include <QDate>
#include <QPointer>
#include <QTimer>

#include <array>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct NavExportLeftOut;
class Core;
struct ListPage;
namespace store {
struct ShownDocument;
}

struct KeptDraft;
struct DraftKeeping;

namespace Tavrin {

class SettingsPage;
struct ReportSnapshot;

class MainWindow : public ui::Window {
    Q_OBJECT
public:
    MainWindow();
    ~MainWindow() override;

    // Builds the window's elements once, connecting each through Connect.
    void InitializeComponent();
    // Stores element `connection_id` (2 to 60) in its field and hooks its events; id 1 is the window.
    void Connect(int connection_id, QObject* target);

    // --- handlers -------------------------------------------------------------------------------
    void OnClosed(ui::Window* sender, ui::WindowEventArgs& args);
    ui::Action OnWebViewLoaded(QObject* sender);
    void OnNewWindowRequested(ui::WebView2* sender, ui::NewWindowRequestedEventArgs& args);
    ui::Action SetupWebView();
    void OnCloudSettings(json11::Json reply);
    void OnSignInMessage(ui::WebView2* sender, ui::WebMessageReceivedEventArgs args);
    // Whether a window message of `origin` may carry the sign-in token.
    bool IsCloudOrigin(const QString& origin) const;
    ui::Action OnNavigationChanged(ui::NavigationView* sender, ui::NavigationViewSelectionChangedEventArgs args);
    // A click on the section already chosen: it comes back to the front and runs its work again.
    void OnSelectedSectionInvoked();
    // The list tab (which also holds the settings) comes to the front and the command menu follows it.
    void ShowListTab();
    // Shows `html` in the list view, or builds the current list on page 0 when it is empty.
    void RefreshList(std::string html);
    // The current list on page 0, made off the UI thread (after background work, which must not make
    // the window wait for the store) and shown when it comes back, unless the list was refreshed or
    // left meanwhile.
    void RefreshListOffThread();
    void FillAccountsMenu();
    ui::Action OnCommandClick(QObject* sender);
    ui::Action OnPrintNavigationCompleted(ui::WebView2* sender, ui::NavigationCompletedEventArgs args);
    // The PDF shown in a document's or a report's tab: saved to a file the user chooses, or printed
    // on the printer chosen in the system's print dialog.
    ui::Action SavePdf(QPointer<ui::TabViewItem> tab);
    ui::Action PrintPdf(QPointer<ui::TabViewItem> tab);
    // The PDF a tab shows, as it was printed for it; empty until then and for other tabs.
    static QByteArray TabPdf(const ui::TabViewItem* tab);
    // Names record tabs and shows the commands that fit the selected tab and section.
    void OnTabSelectionChanged();
    void OnTabCloseRequested(ui::TabView* sender, ui::TabViewTabCloseRequestedEventArgs args);
    // Opens the tab of the stored document `record_name`, or brings its open tab to the front, once
    // the open tabs follow their records: a row never opens the tab of another record.
    ui::Action ShowDocumentTab(std::string record_name);
    // The document tabs follow their records after the store may have changed under them (a pass
    // renumbered, changed or deleted one): each shows what is stored now, or closes, saying so.
    // Completes once each does.
    ui::AsyncAction FollowDocumentTabs();
    // A document tab opened elsewhere (the end of a save), printed from `page`, follows its record
    // from now on.
    ui::Action WatchDocumentTab(QPointer<ui::TabViewItem> tab, std::string page);
    // The PDF a tab showed is no longer what it is to show: nothing to save or print until printed anew.
    static void ForgetTabPdf(ui::TabViewItem* tab);
    // Row clicks and document-type buttons of the list and master-data pages.
    ui::Action OnListMessage(ui::WebView2* sender, ui::WebMessageReceivedEventArgs args);
    // Tells the user, once, of the documents made here that took a new number because another
    // installation had made one of the same type and number.
    void ShowRenumberedDocuments();
    // Tells the user, once, of the invoices kept as drafts because their report ended unstored.
    void ShowKeptDrafts();
    // The notice over the tabs: shown while an invoice's report waits for the tax authority (this
    // installation's, or one another installation holds), saying which invoice and since when; hidden
    // otherwise. The store is read anew off the UI thread, and the notice follows that read.
    void ShowReportNotice();
    // Tells once of the downloaded records that could not be read and were set aside.
    void ShowSetAsideRecords();
    // Rows a pass removed because another computer had deleted them, a company's cloud copy made anew,
    // and deletions another computer's change overtook: each told once.
    void ShowSyncNotices();
    // A message over this window with an OK button.
    void ShowMessage(const QString& title, const QString& text);
    // Writes the master-data view of `record_name` with the list `type` into `view`.
    void WriteHtmlToWebView(ui::WebView2* view, std::string type, std::string record_name);
    // Opens a document in the document window (or brings the open one to the front), then applies
    // the client or item `apply_record_name` to it when that is not empty.
    void OpenDocumentWindow(QString recordName, QString kind, bool edit, std::string apply_record_name);
    // The document window's close guard: a document with lines is not dropped without asking.
    void OnDocumentWindowClosed(ui::Window* sender, ui::WindowEventArgs& args);
    // Asks whether to drop the open document; on yes closes the document window, or, with
    // `then_close_main`, this window.
    ui::Action AskDiscardDocument(bool then_close_main);
    // Closes the program's windows without asking about the open document: for a process that is
    // being ended (a termination signal), where nobody may be there to answer.
    void CloseDroppingDocument();

    // --- navigation and its background work ---------------------------------------------------------
    // Bodies of the status query's and the order import's work items (pool threads); each hands its
    // result back through `queue`, and the list is shown again when it changed.
    static void QueryNavStatus(ui::DispatcherQueue queue, QPointer<MainWindow> window);
    static void ImportWebshopOrders(ui::DispatcherQueue queue, QPointer<MainWindow> window);
    // The paced settling of a report left waiting (a pool thread), whatever page is open.
    static void SettleWaitingReport(ui::DispatcherQueue queue, QPointer<MainWindow> window);
    // Opens account `id` in place of the current one, once running work has ended.
    ui::Action SwitchAccount(std::string id);
    // Closes the document window before the window moves on (an account switch): true once it is gone,
    // false when it stays open because its close guard kept an unsaved document.
    ui::AsyncOperation<bool> CloseDocumentWindow();

    // --- client and item dialogs --------------------------------------------------------------------
    // Shows the client or item dialog (an empty recordName makes a new record); once saved, the
    // lists are refreshed and the record's tab shows it.
    ui::Action ShowClientDialog(std::string recordName);
    ui::Action ShowItemDialog(std::string recordName);
    // Shows a saved client or item in its tab, opening one when none is open.
    ui::Action ShowRecordTab(std::string recordName, bool isClient);

    // --- list commands -------------------------------------------------------------------------------
    // Quick filters, the overdue list and the filter dialog; each rewrites list_filter.
    void ApplyQuickFilter(QObject* sender);
    void ShowOverdueInvoices();
    ui::Action ShowFilterDialog();
    // The list type RefreshList and paging build for `section`: the overdue list while that filter holds.
    std::string ListTypeFor(const std::string& section) const;
    // A report tab with the period report of the current list, or the stock report, printed to PDF.
    void OpenReport(bool inventory);
    // The invoice export file, written where the user chooses.
    ui::Action ExportInvoices();
    // The closing message of the export for the count nav_export_xml gave (-1: the file was not written,
    // -2: the schema refused it) and the invoices it left out.
    static std::string ExportMessage(int written);
    static std::string ExportMessage(int written, const std::vector<NavExportLeftOut>& left_out);
    // Commands on the selected record (its recordName is `sel`).
    ui::Action EditRecord(std::string sel);
    void TogglePaid(std::string sel);
    void ResaveDocument(std::string sel);
    void DeriveDocument(QObject* sender, std::string sel);
    ui::Action DeleteRecord(std::string sel);
    ui::Action ConvertWebshopOrder(std::string sel);
    ui::Action ReturnStock(std::string inventory_record);
    void ChooseProfitMethod(QObject* sender);
    // A new content dialog over this window with the "save" and "cancel" buttons.
    ui::ContentDialog* NewCommandDialog();
    // The order's invoice for a client that is not stored yet.
    ui::Action ConvertOrderForNewClient(std::string sel, json11::Json order);

    // --- elements, by connection id ---------------------------------------------------------------
    ui::WebView2* startWebView = nullptr;                       // 2: the cloud sign-in page
    ui::WebView2* popupWebView = nullptr;                       // 3: windows the start view opens
    ui::NavigationView* navigationView = nullptr;               // 4
    ui::ProgressRing* busyIndicator = nullptr;                  // 5
    ui::AutoSuggestBox* searchBox = nullptr;                    // 6
    ui::Button* newDocument = nullptr;                          // 7
    ui::Button* newClient = nullptr;                            // 8
    ui::Button* newItem = nullptr;                              // 9
    std::array<ui::NavigationViewItem*, 12> listItems{};        // 10 to 21, Name = list type
    ui::NavigationViewItem* accountsItem = nullptr;             // 22
    ui::TabView* tabView = nullptr;                             // 23
    ui::TabViewItem* homeTabItem = nullptr;                     // 24
    ui::Panel* listArea = nullptr;                              // 25
    SettingsPage* settingsView = nullptr;                       // 26
    ui::WebView2* listWebView = nullptr;                        // 27
    ui::TextBlock* listSummaryText = nullptr;                   // 28
    ui::Button* listPageBackButton = nullptr;                   // 29
    ui::Button* listPageForwardButton = nullptr;                // 30
    ui::TextBlock* listPageText = nullptr;                      // 31
    ui::Button* tabTitleButton = nullptr;                       // 32
    ui::Panel* listOnlyElement = nullptr;                       // 33
    ui::MenuFlyoutItem* actionPaid = nullptr;                   // 34
    ui::MenuFlyoutItem* actionResave = nullptr;                 // 35
    ui::MenuFlyoutItem* actionCopy = nullptr;                   // 36
    ui::MenuFlyoutItem* actionInvoice = nullptr;                // 37
    ui::MenuFlyoutItem* actionPurchaseReceive = nullptr;        // 38
    ui::MenuFlyoutItem* actionEdit = nullptr;                   // 39
    ui::MenuFlyoutItem* actionNewForRecord = nullptr;           // 40
    ui::MenuFlyoutItem* actionStorno = nullptr;                 // 41
    ui::MenuFlyoutItem* actionDelete = nullptr;                 // 42
    ui::MenuFlyoutItem* actionReturn = nullptr;                 // 43
    std::array<ui::MenuFlyoutItem*, 4> profitItems{};           // 44 to 47
    ui::MenuFlyoutItem* actionReport = nullptr;                 // 48
    ui::MenuFlyoutItem* actionInventoryReport = nullptr;        // 49
    ui::MenuFlyoutItem* actionNavExport = nullptr;              // 50
    ui::Panel* taskListElement = nullptr;                       // 51
    ui::MenuFlyoutItem* actionTaskList = nullptr;               // 52
    ui::MenuFlyoutItem* actionTaskCalendar = nullptr;           // 53
    ui::MenuFlyoutItem* actionMonthFilter = nullptr;            // 54
    ui::MenuFlyoutItem* actionYearFilter = nullptr;             // 55
    ui::MenuFlyoutItem* actionPastYearFilter = nullptr;         // 56
    ui::MenuFlyoutItem* actionOverdueFilter = nullptr;          // 57
    ui::MenuFlyoutItem* actionCustomFilter = nullptr;           // 58
    ui::MenuFlyoutItem* actionSavePdf = nullptr;                // 59
    ui::MenuFlyoutItem* actionPrintPdf = nullptr;               // 60
    // Over the list view while it does not show the list the tab names.
    QWidget* listCover = nullptr;
    // Opens the commands of the selected tab; disabled, saying so, when none fits it.
    ui::DropDownButton* recordCommandsButton = nullptr;
    // Over the tabs: the invoice whose report waits for the tax authority.
    ui::TextBlock* reportNotice = nullptr;
    // While the program runs, a report left waiting is settled at this pace, by itself (the settling
    // reads a bounded part of the authority's records each time).
    static constexpr int kReportPaceMs = 15000;
    QTimer* reportPace = nullptr;

    // --- state ------------------------------------------------------------------------------------
    QPointer<ui::Window> document_window;
    // True from the user's "discard" until the document window has closed.
    bool discard_confirmed = false;
    bool show_task_calendar = false;
    // Its year and month are the month the task calendar shows.
    QDate calendar_month;
    json11::Json::object list_filter;
    // The off-screen view that documents and reports are written into for printing.
    ui::WebView2* print_view = nullptr;

private:
    // A document tab and the stored document it shows.
    struct DocumentTab {
        QPointer<ui::TabViewItem> tab;
        std::shared_ptr<const store::ShownDocument> shown;
    };
    std::vector<DocumentTab> document_tabs_;
    // The numbers of document tabs closed because their record went, not told yet (a dialog was open).
    std::vector<std::string> closed_tabs_untold_;
    // Shows `shown` in `tab`: its record name as the tag, its number as the title, its page printed anew.
    void ShowInDocumentTab(ui::TabViewItem* tab, std::shared_ptr<const store::ShownDocument> shown);
    ui::Action FollowTabs(ui::AsyncAction done);
    // True when the tab still shows `pdf` once it follows its record: what is stored under its number.
    // Otherwise the user is told that nothing was written.
    ui::AsyncOperation<bool> TabShowsStored(QPointer<ui::TabViewItem> tab, QByteArray pdf);
    ui::Action AnswerTabShowsStored(QPointer<ui::TabViewItem> tab, QByteArray pdf, ui::AsyncOperation<bool> result);
    void TellClosedTabs();
    // The paid switch of an invoice tab, for an invoice that is paid or not.
    void ShowPaidSwitch(bool is_paid);
    // The commands button is enabled when its menu has a command shown.
    void ShowRecordCommandsState();
    // Closes the window once the program's prints to PDF have ended, or after a while at the most.
    ui::Action CloseOncePrinted();
    // Where a close stands with the prints it waits for.
    enum class PrintsAtClose { unasked, waiting, ended };
    PrintsAtClose prints_at_close_ = PrintsAtClose::unasked;

    bool content_loaded_ = false;
    ui::EventToken print_hook_ = 0;
    // One cloud set-up at a time: a request made while one runs is run once after it.
    bool setup_running_ = false;
    bool setup_again_ = false;
    // The origin of the sign-in address the cloud gave last.
    QString sign_in_origin_;

    // The navigation's background work: one work item of each kind at a time; a sync pass asked for
    // while one runs follows it. The busy indicator shows while any runs.
    enum class Work { sync, status, orders, report };
    void StartWork(Work kind);
    // The work a list section starts whenever it is opened: the invoices' status query (which settles
    // a report left waiting) or the web shop's order import.
    void StartSectionWork();
    void WorkEnded(Work kind, bool refresh);
    // What the list shown asks of the store: its section, list type, filter and search, or the task
    // calendar; none on the settings page.
    struct ListRequest {
        std::string section;
        std::string type;
        json11::Json::object filter;
        std::string search;
        bool calendar = false;
    };
    std::optional<ListRequest> CurrentListRequest() const;
    // What a list page is made for: the account and the list (section, calendar or not) it shows, and
    // the refresh it answers.
    struct ListKey {
        std::string account;
        std::string section;
        bool calendar = false;
        std::uint64_t refresh = 0;
    };
    // How a page stands with what the window shows now: the answer to its newest refresh, an earlier
    // page of the same list (drawn, it shows the right list), or another list's or account's (never
    // drawn, nor left visible).
    enum class ListFit { newest, same_list, other_list };
    // The one place that decides it; every road that draws a list asks it.
    ListFit FitOf(const ListKey& page) const;
    // The key of a new refresh of the current list (none on the settings page or while the account
    // is switched): a page made for an earlier one is not shown over its answer.
    std::optional<ListKey> NextListKey(const ListRequest& request);
    void TakeListPage(const ListKey& key, const ListRequest& asked, std::shared_ptr<ListPage> made);
    // A page ready to draw, with what stands around it (paging buttons, page label, totals line).
    struct ListDrawing {
        ListKey key;
        std::string html;
        bool back_enabled = false;
        bool forward_enabled = false;
        QString page_text;
        QString summary_text;
    };
    // The list page `html` with its page label and summary, from the list members; the task calendar
    // from the rows in them.
    ListDrawing ListPageDrawing(const ListKey& key, const std::string& html) const;
    ListDrawing TaskCalendarDrawing(const ListKey& key) const;
    // One page is written into the list view at a time, until the page says it has drawn it; of those
    // that came meanwhile only the newest waits. Its labels are set once it is drawn, and only while
    // it fits.
    void DrawList(ListDrawing drawing);
    void WriteNextList();
    void OnListDrawn(std::uint64_t refresh);
    // The list view is covered while what it shows, or what is being written into it, is not the
    // current list: no list is seen under another's tab.
    void FollowListCover();
    std::uint64_t list_generation_ = 0;
    std::optional<ListDrawing> list_waiting_;
    std::optional<ListDrawing> list_writing_;
    std::optional<ListKey> list_drawn_;
    void ShowBusy();
    // Each beat of reportPace: what ShowReportOutcomes tells, and the settling of a report left waiting.
    void OnReportPace();
    // After a report may have been settled: the notice, the page that waited on it learns how it
    // ended, and an invoice no page took back is told of as a draft; all from `report_snapshot_`.
    void ShowReportOutcomes();
    // What the notices and the page need is read off the UI thread (ReadReportSnapshot), one read at a
    // time: one asked for meanwhile follows it once. `read_shared`: the company's shared record is
    // looked up in the cloud too (after a pass or a settling). TakeReportSnapshot: its result, back on
    // the UI thread.
    void ReadReportSnapshot(bool read_shared);
    void TakeReportSnapshot(std::shared_ptr<const ReportSnapshot> snapshot);
    bool snapshot_reading_ = false;
    bool snapshot_again_ = false;
    bool snapshot_again_shared_ = false;
    // A pace beat waits for its read: the report left waiting is settled once the read says there is one.
    bool pace_due_ = false;
    std::shared_ptr<const ReportSnapshot> report_snapshot_;
    // Taken from the store by a read, told once no other dialog stands in the way.
    std::vector<KeptDraft> untold_drafts_;
    json11::Json::array untold_renumbered_;
    json11::Json::array untold_set_aside_;
    // What passes found, to be told once (Core::take_sync_notices), gathered over snapshots.
    SyncNotices untold_sync_;
    // The paced report settling runs quietly: the notice tells of the report.
    std::array<bool, 4> work_running_{};
    bool sync_again_ = false;
    bool switching_account_ = false;
    // The close guard is reading what the store knows of the page's invoice: a second close waits for it.
    bool asking_discard_ = false;
    // The section or settings item chosen last: an account switch that does not happen goes back to it.
    QPointer<ui::NavigationViewItem> last_choice_;
};

// A moment as the program writes dates, with the time of day.
std::string moment_text(Core& core, std::time_t moment);
// Why an invoice's report ended unstored (`ended`: its number, outcome and the authority's answer), and
// that it was neither sent nor stored.
std::string unstored_invoice_text(const KeptDraft& ended);
// A draft an invoice was issued from already (`used`): no second invoice is made of it.
std::string draft_used_text(const DraftKeeping& used);
// Today one year back; 29 February becomes 28 February, as the calendar's year step gives it.
std::string one_year_back();
// The list filter of a fresh start: issue dates from `from_date` to today, any currency, payment
// method and paid state.
json11::Json::object fresh_list_filter(const std::string& from_date);
// The script that replaces the list view's document with `html`.
std::string page_write_script(const std::string& html);
// The row-range label under the list.
std::string page_label(bool master, int count, int page);
// The totals line under the list as shown: breakable between its parts only.
QString summary_label_text(const std::string& summary);
// The header of a client's or item's tab: the first two words of its name.
std::string record_tab_header(const std::string& name);
// The PDF file name (without ".pdf") for a document number: accents folded, then every character
// other than A-Z, a-z, 0-9 and "_" made a "-", so the name is safe in any folder.
std::string pdf_file_name(const std::string& number_formatted);
// The name a PDF is saved or printed under: the document's number (or the report's title) as it is
// written, with "_" for each character a file name cannot hold anywhere.
std::string saved_pdf_name(const std::string& title);
// A4 paper without margins, headers or footers, backgrounds printed: the pages lay themselves out.
ui::PrintSettings a4_print_settings();

}  // namespace Tavrin
