// The document page: its controls, their layout and the connection table that binds each control to
// its field and its handler.
#include "app/editor/DocumentPage.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "core/Core.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>

namespace Tavrin {

namespace {

// Widths of the preview and the column beside it, in pixels.
constexpr int kPreviewMinimumWidth = 320;
constexpr int kColumnWidth = 400;

ui::Button* button(const char* name, const QString& text) {
    auto* b = new ui::Button;
    b->setObjectName(name);
    b->Content(text);
    return b;
}

ui::ComboBox* combo(const char* name, const QString& header) {
    auto* c = new ui::ComboBox;
    c->setObjectName(name);
    c->Header(header);
    return c;
}

// One page of the records pivot: a search box over a result list, with an add button.
QWidget* records_page(ui::AutoSuggestBox* search, ui::ListView* list, ui::Button* add) {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 6, 0, 0);
    layout->addWidget(search);
    layout->addWidget(list, 1);
    layout->addWidget(add);
    return page;
}

}  // namespace

DocumentPage::DocumentPage() {
    InitializeComponent();
}

DocumentPage::~DocumentPage() {
    // Its reports' invoices have no page to go back to now: their drafts are the drafts list's.
    if (g_core)
        for (const std::string& request_id : held_reports_) g_core->nav_release_invoice(request_id);
}

// The preview fills the page; the document's header controls, the options and the record lists
// stand in a column beside it.
void DocumentPage::InitializeComponent() {
    if (content_loaded_) return;
    content_loaded_ = true;

    auto* root = new QHBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    auto* preview = new ui::WebView2;
    preview->setObjectName("previewWebView");
    // Small enough that the page fits an 800x600 screen beside the column.
    preview->setMinimumWidth(kPreviewMinimumWidth);
    root->addWidget(preview, 1);

    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    // The column narrows with the window down to what its controls need; below that it scrolls
    // across, so that every control stays reachable.
    scroll->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    root->addWidget(scroll);
    auto* column = new QWidget;
    auto* column_layout = new QVBoxLayout(column);
    column_layout->setContentsMargins(12, 12, 12, 12);
    column_layout->setSpacing(10);
    scroll->setWidget(column);

    // The document's header.
    auto* options = new ui::Panel;
    options->setObjectName("optionsPanel");
    column_layout->addWidget(options);
    auto* grid_host = new QWidget;
    auto* grid = new QGridLayout(grid_host);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(8);
    options->Append(grid_host);

    auto* doc_types = combo("docTypesCombBox", tr_key("type"));
    auto* number = new ui::TextBox;
    number->setObjectName("numberTextBox");
    number->Header(tr_key("number"));
    auto* languages = combo("languagesCombBox", tr_key("language"));
    auto* currencies = combo("currenciesCombBox", tr_key("currency"));
    auto* rate = new ui::NumberBox;
    rate->setObjectName("exchangeRateNumberBox");
    rate->Header(tr_key("exchange_rate"));
    auto* rate_button = button("exchangeRateButton", QString::fromUtf8("\u21BB"));
    rate_button->setToolTip(tr_key("exchange_rate"));
    auto* payments = combo("paymentsCombBox", tr_key("payment"));
    auto* delivery = new ui::CalendarDatePicker;
    delivery->setObjectName("deliveryDatePicker");
    delivery->Header(tr_key("delivery_date"));
    auto* due = new ui::CalendarDatePicker;
    due->setObjectName("dueDatePicker");
    due->Header(tr_key("due_date"));
    auto* repeat = button("taskRepeatButton", tr_key("repeat") + QString::fromUtf8("\u2026"));
    ui::SetVisibility(repeat, ui::Visibility::Collapsed);
    auto* header_notes = combo("headerNotesCombBox", tr_key("header_note"));
    auto* header_note = button("headerNoteButton", QString::fromUtf8("\u270E"));
    header_note->setToolTip(tr_key("header_note"));
    auto* footer_notes = combo("footerNotesCombBox", tr_key("footer_note"));
    auto* footer_note = button("footerNoteButton", QString::fromUtf8("\u270E"));
    footer_note->setToolTip(tr_key("footer_note"));

    grid->addWidget(doc_types, 0, 0);
    grid->addWidget(number, 0, 1, 1, 2);
    grid->addWidget(languages, 1, 0);
    grid->addWidget(currencies, 1, 1);
    auto* rate_row = new QWidget;
    auto* rate_layout = new QHBoxLayout(rate_row);
    rate_layout->setContentsMargins(0, 0, 0, 0);
    rate_layout->addWidget(rate, 1);
    rate_layout->addWidget(rate_button, 0, Qt::AlignBottom);
    grid->addWidget(rate_row, 1, 2);
    grid->addWidget(payments, 2, 0, 1, 3);
    grid->addWidget(delivery, 3, 0);
    grid->addWidget(due, 3, 1);
    grid->addWidget(repeat, 3, 2, Qt::AlignBottom);
    grid->addWidget(header_notes, 4, 0, 1, 2);
    grid->addWidget(header_note, 4, 2, Qt::AlignBottom | Qt::AlignLeft);
    grid->addWidget(footer_notes, 5, 0, 1, 2);
    grid->addWidget(footer_note, 5, 2, Qt::AlignBottom | Qt::AlignLeft);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);

    // Looks of the document.
    auto* looks = new ui::Panel(ui::Panel::Orientation::Horizontal);
    auto* previous = button("templatePreviousButton", QString::fromUtf8("\u25C0"));
    auto* template_label = new ui::TextBlock;
    template_label->Text(tr_key("template"));
    auto* next = button("templateNextButton", QString::fromUtf8("\u25B6"));
    auto* logo = button("logoButton", tr_key("logo"));
    auto* colors = button("colorsButton", tr_key("colors"));
    looks->Append(previous);
    looks->Append(template_label);
    looks->Append(next);
    looks->Append(logo, 1);
    looks->Append(colors, 1);
    options->Append(looks);

    auto* new_line = button("newLine", "+ " + tr_key("add_empty_line"));
    options->Append(new_line);
    auto* save = button("saveButton", tr_key("save"));
    save->setDefault(false);
    options->Append(save);

    // Clients and items to pick from, or the colour editor in their place.
    auto* records = new ui::Panel;
    records->setObjectName("recordsPanel");
    column_layout->addWidget(records, 1);
    auto* pivot = new ui::Pivot;
    pivot->setObjectName("recordsPivot");
    pivot->setMinimumHeight(260);
    auto* clients_search = new ui::AutoSuggestBox;
    clients_search->setObjectName("clientsSearchBox");
    auto* clients = new ui::ListView;
    clients->setObjectName("clientsListView");
    auto* new_client = button("newClient", "+ " + tr_key("client"));
    auto* items_search = new ui::AutoSuggestBox;
    items_search->setObjectName("itemsSearchBox");
    auto* items = new ui::ListView;
    items->setObjectName("itemsListView");
    auto* new_item = button("newItem", "+ " + tr_key("item"));
    pivot->Append(tr_key("clients"), records_page(clients_search, clients, new_client));
    pivot->Append(tr_key("items"), records_page(items_search, items, new_item));
    records->Append(pivot, 1);

    auto* colors_panel = new ui::Panel;
    colors_panel->setObjectName("colorsPanel");
    ui::SetVisibility(colors_panel, ui::Visibility::Collapsed);
    auto* targets = new ui::Panel(ui::Panel::Orientation::Horizontal);
    auto* font_color = button("fontColorButton", tr_key("accent_font_color"));
    auto* background_color = button("backgroundColorButton", tr_key("accent_background_color"));
    targets->Append(font_color, 1);
    targets->Append(background_color, 1);
    colors_panel->Append(targets);
    auto* picker = new ui::ColorPicker;
    picker->setObjectName("themeColorPicker");
    // The colour editor is wider than the column: it scrolls across inside it.
    auto* picker_scroll = new QScrollArea;
    picker_scroll->setFrameShape(QFrame::NoFrame);
    picker_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    picker_scroll->setWidget(picker);
    picker_scroll->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    picker_scroll->setFixedHeight(picker->sizeHint().height() + 16);
    colors_panel->Append(picker_scroll);
    auto* swatches = new ui::ListView;
    swatches->setObjectName("colorSwatchList");
    swatches->setViewMode(QListView::IconMode);
    swatches->setResizeMode(QListView::Adjust);
    swatches->setMovement(QListView::Static);
    swatches->setMinimumHeight(150);
    colors_panel->Append(swatches, 1);
    records->Append(colors_panel, 1);
    // What the column's controls need, with room for its vertical scroll bar, so that a column
    // taller than the window does not also scroll across.
    const int bar = scroll->verticalScrollBar()->sizeHint().width();
    const int needed = column->minimumSizeHint().width() + bar;
    scroll->setMinimumWidth(needed);
    scroll->setMaximumWidth(std::max(needed, kColumnWidth + bar));

    // The connection table, in id order.
    Connect(2, options);
    Connect(3, records);
    Connect(4, number);
    Connect(5, payments);
    Connect(6, previous);
    Connect(7, next);
    Connect(8, logo);
    Connect(9, colors);
    Connect(10, footer_notes);
    Connect(11, footer_note);
    Connect(12, header_notes);
    Connect(13, header_note);
    Connect(14, currencies);
    Connect(15, rate);
    Connect(16, rate_button);
    Connect(17, repeat);
    Connect(18, delivery);
    Connect(19, due);
    Connect(20, doc_types);
    Connect(21, languages);
    Connect(22, save);
    Connect(23, preview);
    Connect(24, pivot);
    Connect(25, colors_panel);
    Connect(26, picker);
    Connect(27, swatches);
    Connect(28, font_color);
    Connect(29, background_color);
    Connect(30, items);
    Connect(31, items_search);
    Connect(32, new_item);
    Connect(33, new_line);
    Connect(34, clients);
    Connect(35, clients_search);
    Connect(36, new_client);
}

// Every delegate holds the page weakly (the page is its context): once the page is gone, events do nothing.
void DocumentPage::Connect(int connection_id, QObject* target) {
    auto refresh = [this](auto&&...) {
        if (loaded) RefreshDocument();
    };
    auto search = [this](ui::AutoSuggestBox*) {
        if (loaded) SearchRecords();
    };
    auto selector = [this](ui::ComboBox* sender) { OnSelectorChanged(sender); };
    auto option = [this](QObject* sender) { OnOptionClick(sender); };
    auto add = [this](QObject* sender) { OnAddClick(sender); };

    switch (connection_id) {
    case 2: optionsPanel = static_cast<ui::Panel*>(target); break;
    case 3: recordsPanel = static_cast<ui::Panel*>(target); break;
    case 4:
        numberTextBox = static_cast<ui::TextBox*>(target);
        numberTextBox->TextChanged.Add(this, refresh);
        break;
    case 5:
    case 10:
    case 12:
    case 14:
    case 20:
    case 21: {
        auto* box = static_cast<ui::ComboBox*>(target);
        switch (connection_id) {
        case 5: paymentsCombBox = box; break;
        case 10: footerNotesCombBox = box; break;
        case 12: headerNotesCombBox = box; break;
        case 14: currenciesCombBox = box; break;
        case 20: docTypesCombBox = box; break;
        default: languagesCombBox = box; break;
        }
        box->DropDownClosed.Add(this, selector);
        // A choice made with the keys, the list closed, is the same choice.
        box->ChosenWithoutDropDown.Add(this, selector);
        break;
    }
    case 6:
    case 7:
    case 8:
    case 9:
    case 11:
    case 13:
    case 16:
    case 17:
    case 28:
    case 29: {
        auto* b = static_cast<ui::Button*>(target);
        switch (connection_id) {
        case 6: templatePreviousButton = b; break;
        case 7: templateNextButton = b; break;
        case 8: logoButton = b; break;
        case 9: colorsButton = b; break;
        case 11: footerNoteButton = b; break;
        case 13: headerNoteButton = b; break;
        case 16: exchangeRateButton = b; break;
        case 17: taskRepeatButton = b; break;
        case 28: fontColorButton = b; break;
        default: backgroundColorButton = b; break;
        }
        b->Click.Add(this, option);
        break;
    }
    case 15:
        exchangeRateNumberBox = static_cast<ui::NumberBox*>(target);
        exchangeRateNumberBox->ValueChanged.Add(
            this, [this](ui::NumberBox* sender, ui::NumberBoxValueChangedEventArgs args) { OnExchangeRateChanged(sender, args); });
        break;
    case 18:
    case 19: {
        auto* picker = static_cast<ui::CalendarDatePicker*>(target);
        (connection_id == 18 ? deliveryDatePicker : dueDatePicker) = picker;
        picker->DateChanged.Add(this, refresh);
        if (connection_id == 18)
            picker->DateCommitted.Add(this, [this](ui::CalendarDatePicker*) { OnDeliveryDateCommitted(); });
        break;
    }
    case 22:
        saveButton = static_cast<ui::Button*>(target);
        saveButton->Click.Add(this, [this](QObject* sender) { OnSaveClick(sender); });
        break;
    case 23:
        previewWebView = static_cast<ui::WebView2*>(target);
        previewWebView->WebMessageReceived.Add(
            this, [this](ui::WebView2* sender, ui::WebMessageReceivedEventArgs args) { OnPreviewMessage(sender, args); });
        ConnectDrag(previewWebView);
        break;
    case 24: recordsPivot = static_cast<ui::Pivot*>(target); break;
    case 25: colorsPanel = static_cast<ui::Panel*>(target); break;
    case 26:
        themeColorPicker = static_cast<ui::ColorPicker*>(target);
        themeColorPicker->ColorChanged.Add(this, [this](ui::ColorPicker* sender) { OnThemeColorChanged(sender); });
        break;
    case 27:
        colorSwatchList = static_cast<ui::ListView*>(target);
        colorSwatchList->SelectionChanged.Add(
            this, [this](ui::ListView* sender, ui::SelectionChangedEventArgs) { OnColorSelectionChanged(sender); });
        break;
    case 30:
        itemsListView = static_cast<ui::ListView*>(target);
        ConnectDrag(itemsListView);
        break;
    case 34:
        clientsListView = static_cast<ui::ListView*>(target);
        ConnectDrag(clientsListView);
        break;
    case 31:
    case 35: {
        auto* box = static_cast<ui::AutoSuggestBox*>(target);
        (connection_id == 31 ? itemsSearchBox : clientsSearchBox) = box;
        box->TextChanged.Add(this, search);
        break;
    }
    case 32:
    case 33:
    case 36: {
        auto* b = static_cast<ui::Button*>(target);
        (connection_id == 32 ? newItemButton : connection_id == 33 ? newLineButton : newClientButton) = b;
        b->Click.Add(this, add);
        break;
    }
    default: break;
    }
}

ui::Window* DocumentPage::DocumentWindow() const {
    if (auto* main = qobject_cast<MainWindow*>(g_main_window.data()))
        if (main->document_window && main->document_window->Content() == this) return main->document_window.data();
    return qobject_cast<ui::Window*>(window());
}

}  // namespace Tavrin
