#include "app/settings/SettingsPage.h"

#include "app/App.h"
#include "app/settings/SettingsSupport.h"
#include "core/Core.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include <QResizeEvent>
#include <QStyle>

#include <algorithm>
#include <initializer_list>

using json11::Json;

namespace Tavrin {

using settings::caption;

namespace {

ui::AppBarButton* command(const char* name, const QString& label, const QString& tip = QString()) {
    auto* b = new ui::AppBarButton;
    b->setObjectName(name);
    b->Label(label);
    b->setToolTip(tip.isEmpty() ? label : tip);
    return b;
}

ui::ListView* list_view(const char* name) {
    auto* list = new ui::ListView;
    list->setObjectName(name);
    list->setMinimumHeight(110);
    list->setMaximumHeight(190);
    return list;
}

// A titled box of the page: its commands beside the title, its content below.
QFrame* card(const QString& title, std::initializer_list<QWidget*> commands, QWidget* body) {
    auto* frame = new QFrame;
    frame->setFrameShape(QFrame::StyledPanel);
    auto* layout = new QVBoxLayout(frame);
    auto* head = new QHBoxLayout;
    head->setSpacing(2);
    auto* caption = new QLabel(title);
    QFont bold = caption->font();
    bold.setBold(true);
    caption->setFont(bold);
    head->addWidget(caption, 1);
    for (QWidget* c : commands) head->addWidget(c);
    layout->addLayout(head);
    if (body) layout->addWidget(body, 1);
    return frame;
}

// Draws a row's tab-separated columns at fixed places, the amounts right-aligned, so that the
// currencies' samples line up under one another.
class ColumnsDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem row(option);
        initStyleOption(&row, index);
        const QStringList columns = row.text.split('\t');
        row.text.clear();
        QStyle* style = row.widget ? row.widget->style() : nullptr;
        if (!style) return QStyledItemDelegate::paint(painter, option, index);
        style->drawControl(QStyle::CE_ItemViewItem, &row, painter, row.widget);
        const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &row, row.widget);
        painter->save();
        painter->setPen(row.palette.color(row.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
        int x = text.left();
        for (int i = 0; i < columns.size(); ++i) {
            const int width = i == 0 ? kCodeWidth : kAmountWidth;
            const Qt::Alignment align = Qt::AlignVCenter | (i == 0 ? Qt::AlignLeft : Qt::AlignRight);
            painter->drawText(QRect(x, text.top(), width, text.height()), align, columns[i].trimmed());
            x += width + (i == 0 ? 0 : kGap);
        }
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setWidth(kCodeWidth + 2 * (kAmountWidth + kGap));
        return size;
    }

private:
    static constexpr int kCodeWidth = 44;
    static constexpr int kAmountWidth = 110;
    static constexpr int kGap = 12;
};

const QString kAdd = QStringLiteral("+");
const QString kEdit = QString::fromUtf8("\xE2\x9C\x8E");    // U+270E pencil
const QString kDelete = QString::fromUtf8("\xE2\x9C\x95");  // U+2715 multiplication x

}  // namespace

SettingsPage::SettingsPage(QWidget* parent) : QWidget(parent) {
    InitializeComponent();
}

SettingsPage::~SettingsPage() = default;

void SettingsPage::InitializeComponent() {
    if (content_loaded_) return;
    content_loaded_ = true;

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroller = new QScrollArea;
    scroller->setObjectName("pageScroller");
    scroller->setWidgetResizable(true);
    scroller->setFrameShape(QFrame::NoFrame);
    outer->addWidget(scroller);

    auto* panel = new QWidget;
    panel->setObjectName("listsPanel");
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(12, 12, 12, 12);
    grid->setSpacing(12);
    scroller->setWidget(panel);

    const QString add = caption("ADD");
    const QString edit = caption("edit");
    const QString del = caption("delete");

    // The supplier: its name and details, and its two editors.
    auto* supplier_name = new ui::TextBlock;
    supplier_name->setObjectName("supplierNameText");
    QFont big = supplier_name->font();
    big.setPointSizeF(big.pointSizeF() * 1.3);
    big.setBold(true);
    supplier_name->setFont(big);
    auto* supplier_details = new ui::TextBlock;
    supplier_details->setObjectName("supplierDetailsText");
    supplier_details->setWordWrap(true);
    supplier_details->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* supplier_body = new QWidget;
    auto* supplier_layout = new QVBoxLayout(supplier_body);
    supplier_layout->setContentsMargins(0, 0, 0, 0);
    supplier_layout->addWidget(supplier_name);
    supplier_layout->addWidget(supplier_details, 1);
    auto* supplier = command("supplierButton", caption("my_company"));
    auto* nav = command("navButton", caption("nav"));
    cards_.push_back(card(caption("supplier"), {supplier, nav}, supplier_body));

    // Numbering per document type and the date format.
    auto* doc_types = new ui::ComboBox;
    doc_types->setObjectName("docTypeSelector");
    doc_types->PlaceholderText(caption("type"));
    auto* numbering = command("numberingButton", caption("number_format"));
    auto* date_format = command("dateFormatButton", QString());
    date_format->setToolTip(caption("date"));
    date_format->setMinimumWidth(130);
    date_format->Flyout(new ui::MenuFlyout(date_format));
    auto* date_info = command("dateFormatInfoButton", QStringLiteral("?"), caption("date"));
    auto* formats_body = new QWidget;
    auto* formats_layout = new QGridLayout(formats_body);
    formats_layout->setContentsMargins(0, 0, 0, 0);
    formats_layout->addWidget(doc_types, 0, 0);
    formats_layout->addWidget(numbering, 0, 1, 1, 2);
    formats_layout->addWidget(new QLabel(caption("date")), 1, 0);
    formats_layout->addWidget(date_format, 1, 1);
    formats_layout->addWidget(date_info, 1, 2);
    formats_layout->setRowStretch(2, 1);
    cards_.push_back(card(caption("formats"), {}, formats_body));

    auto* countries = list_view("countries_list");
    auto* add_country = command("addCountryButton", kAdd, add);
    auto* delete_country = command("countries_delete", kDelete, del);
    cards_.push_back(card(caption("countries"), {add_country, delete_country}, countries));

    auto* languages = list_view("languages_list");
    auto* add_language = command("addLanguageButton", kAdd, add);
    auto* labels = command("labelsButton", QStringLiteral("Aa"), caption("template"));
    auto* delete_language = command("languages_delete", kDelete, del);
    cards_.push_back(card(caption("languages"), {add_language, labels, delete_language}, languages));

    auto* currencies = list_view("currencies_list");
    currencies->setItemDelegate(new ColumnsDelegate(currencies));
    auto* add_currency = command("addCurrencyButton", kAdd, add);
    auto* edit_currency = command("editCurrencyButton", kEdit, edit);
    auto* delete_currency = command("currencies_delete", kDelete, del);
    cards_.push_back(card(caption("currencies"), {add_currency, edit_currency, delete_currency}, currencies));

    auto* payments = list_view("payments_list");
    auto* add_payment = command("addPaymentButton", kAdd, add);
    auto* edit_payment = command("editPaymentButton", kEdit, edit);
    auto* delete_payment = command("payments_delete", kDelete, del);
    cards_.push_back(card(caption("payments"), {add_payment, edit_payment, delete_payment}, payments));

    auto* terms = list_view("terms_list");
    auto* add_term = command("addTermButton", kAdd, add);
    auto* edit_term = command("editTermButton", kEdit, edit);
    auto* delete_term = command("terms_delete", kDelete, del);
    cards_.push_back(card(caption("terms"), {add_term, edit_term, delete_term}, terms));

    auto* taxes = list_view("taxes_list");
    cards_.push_back(card(caption("taxes"), {}, taxes));

    auto* units = list_view("units_list");
    auto* add_unit = command("addUnitButton", kAdd, add);
    auto* edit_unit = command("editUnitButton", kEdit, edit);
    auto* delete_unit = command("units_delete", kDelete, del);
    cards_.push_back(card(caption("units"), {add_unit, edit_unit, delete_unit}, units));

    auto* header_notes = list_view("headerNotes_list");
    auto* add_header = command("addHeaderNoteButton", kAdd, add);
    auto* edit_header = command("editHeaderNoteButton", kEdit, edit);
    auto* delete_header = command("headerNotes_delete", kDelete, del);
    cards_.push_back(card(caption("header_notes"), {add_header, edit_header, delete_header}, header_notes));

    auto* line_notes = list_view("lineNotes_list");
    auto* add_line = command("addLineNoteButton", kAdd, add);
    auto* edit_line = command("editLineNoteButton", kEdit, edit);
    auto* delete_line = command("lineNotes_delete", kDelete, del);
    cards_.push_back(card(caption("line_notes"), {add_line, edit_line, delete_line}, line_notes));

    auto* footer_notes = list_view("footerNotes_list");
    auto* add_footer = command("addFooterNoteButton", kAdd, add);
    auto* edit_footer = command("editFooterNoteButton", kEdit, edit);
    auto* delete_footer = command("footerNotes_delete", kDelete, del);
    cards_.push_back(card(caption("footer_notes"), {add_footer, edit_footer, delete_footer}, footer_notes));

    auto* accounts = list_view("accounts_list");
    auto* add_account = command("addAccountButton", kAdd, add);
    auto* edit_account = command("editAccountButton", kEdit, edit);
    auto* delete_account = command("accounts_delete", kDelete, del);
    auto* sign_out = command("signOutButton", QString::fromUtf8("Kijelentkezés"));
    cards_.push_back(card(caption("accounts"), {add_account, edit_account, delete_account, sign_out}, accounts));

    auto* webshop = command("webshopButton", caption("webshop_connect"));
    auto* accounting = command("accountingButton", caption("accounting"));
    auto* import_clients = command("importClientsButton", caption("import") + ": " + caption("clients"));
    auto* import_items = command("importItemsButton", caption("import") + ": " + caption("items"));
    auto* import_invoices = command("importInvoicesButton", caption("import") + ": " + caption("invoices"));
    auto* links_body = new QWidget;
    auto* links_layout = new QVBoxLayout(links_body);
    links_layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget* b : {webshop, accounting, import_clients, import_items, import_invoices}) {
        static_cast<QToolButton*>(b)->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        links_layout->addWidget(b);
    }
    links_layout->addStretch(1);
    cards_.push_back(card(caption("settings"), {}, links_body));

    auto* help = command("helpButton", QString::fromUtf8("Súgó"));
    auto* version = new ui::TextBlock;
    version->setObjectName("versionText");
    auto* foot = new QHBoxLayout;
    foot->addWidget(help);
    foot->addWidget(version, 1);
    grid_ = grid;
    foot_ = foot;
    LayOutCards(3);

    // The connection table, in id order.
    Connect(2, panel);
    Connect(3, supplier_details);
    Connect(4, countries);
    Connect(5, languages);
    Connect(6, currencies);
    Connect(7, payments);
    Connect(8, terms);
    Connect(9, taxes);
    Connect(10, units);
    Connect(11, header_notes);
    Connect(12, line_notes);
    Connect(13, footer_notes);
    Connect(14, doc_types);
    Connect(15, accounts);
    Connect(16, version);
    Connect(17, help);
    Connect(18, scroller);
    Connect(19, add_account);
    Connect(20, edit_account);
    Connect(21, delete_account);
    Connect(22, sign_out);
    Connect(23, accounting);
    Connect(24, webshop);
    Connect(25, import_clients);
    Connect(26, import_items);
    Connect(27, import_invoices);
    Connect(28, date_info);
    Connect(29, date_format);
    Connect(30, numbering);
    Connect(31, add_footer);
    Connect(32, edit_footer);
    Connect(33, delete_footer);
    Connect(34, add_line);
    Connect(35, edit_line);
    Connect(36, delete_line);
    Connect(37, add_header);
    Connect(38, edit_header);
    Connect(39, delete_header);
    Connect(40, add_unit);
    Connect(41, edit_unit);
    Connect(42, delete_unit);
    Connect(43, add_term);
    Connect(44, edit_term);
    Connect(45, delete_term);
    Connect(46, add_payment);
    Connect(47, edit_payment);
    Connect(48, delete_payment);
    Connect(49, add_currency);
    Connect(50, edit_currency);
    Connect(51, delete_currency);
    Connect(52, add_language);
    Connect(53, labels);
    Connect(54, delete_language);
    Connect(55, add_country);
    Connect(56, delete_country);
    Connect(57, supplier_name);
    Connect(58, nav);
    Connect(59, supplier);
}

// The sections in rows of `columns`: the supplier first, over two columns when there are two or more.
void SettingsPage::LayOutCards(int columns) {
    if (!grid_ || columns == columns_) return;
    columns_ = columns;
    for (QWidget* c : cards_) grid_->removeWidget(c);
    grid_->removeItem(foot_);
    for (int i = 0; i < grid_->columnCount(); ++i) grid_->setColumnStretch(i, 0);
    for (int i = 0; i < grid_->rowCount(); ++i) grid_->setRowStretch(i, 0);
    int row = 0;
    int column = 0;
    for (std::size_t i = 0; i < cards_.size(); ++i) {
        const int span = i == 0 ? std::min(2, columns) : 1;
        if (column + span > columns) {
            ++row;
            column = 0;
        }
        grid_->addWidget(cards_[i], row, column, 1, span);
        column += span;
    }
    grid_->addLayout(foot_, row + 1, 0, 1, columns);
    for (int i = 0; i < columns; ++i) grid_->setColumnStretch(i, 1);
    grid_->setRowStretch(row + 2, 1);
}

// As many columns as the widest section allows, so that no command lies outside a narrow window.
void SettingsPage::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (!grid_) return;
    int widest = 0;
    for (std::size_t i = 1; i < cards_.size(); ++i) widest = std::max(widest, cards_[i]->minimumSizeHint().width());
    const QMargins margins = grid_->contentsMargins();
    // Room for a vertical scroll bar is kept.
    const int room = width() - margins.left() - margins.right() - style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    int columns = 3;
    while (columns > 1 && columns * widest + (columns - 1) * grid_->horizontalSpacing() > room) --columns;
    LayOutCards(columns);
}

void SettingsPage::Connect(int connection_id, QObject* target) {
    if (connection_id < 2 || connection_id > 59) return;
    // Every command button: one handler, told apart by the sender. The click starts the handler and
    // does not wait for it; a click after the page is gone reaches nothing.
    // Each list of the page: the user drags its rows into a new order, which is stored.
    auto reorderable = [this](QObject* element) {
        auto* list = static_cast<ui::ListView*>(element);
        list->CanReorderItems(true);
        list->DragItemsCompleted.Add(this, [this](ui::ListView* sender, ui::DragItemsCompletedEventArgs) {
            OnListDragItemsCompleted(sender);
        });
        return list;
    };
    auto clickable = [this](QObject* element) {
        auto* b = static_cast<ui::AppBarButton*>(element);
        b->Click.Add(this, [this](QObject* sender) { OnSectionClick(sender); });
        return b;
    };
    ui::ListView** lists[] = {&countriesList, &languagesList,   &currenciesList,   &paymentsList,
                              &termsList,     &taxesList,       &unitsList,        &headerNotesList,
                              &lineNotesList, &footerNotesList};
    ui::AppBarButton** commands[] = {
        &addAccountButton,      &editAccountButton,      &deleteAccountButton,    &signOutButton,
        &accountingButton,      &webshopButton,          &importClientsButton,    &importItemsButton,
        &importInvoicesButton,  &dateFormatInfoButton,   &dateFormatButton,       &numberingButton,
        &addFooterNoteButton,   &editFooterNoteButton,   &deleteFooterNoteButton, &addLineNoteButton,
        &editLineNoteButton,    &deleteLineNoteButton,   &addHeaderNoteButton,    &editHeaderNoteButton,
        &deleteHeaderNoteButton, &addUnitButton,         &editUnitButton,         &deleteUnitButton,
        &addTermButton,         &editTermButton,         &deleteTermButton,       &addPaymentButton,
        &editPaymentButton,     &deletePaymentButton,    &addCurrencyButton,      &editCurrencyButton,
        &deleteCurrencyButton,  &addLanguageButton,      &labelsButton,           &deleteLanguageButton,
        &addCountryButton,      &deleteCountryButton};
    switch (connection_id) {
    case 2:
        listsPanel = static_cast<QWidget*>(target);
        break;
    case 3:
        supplierDetailsText = static_cast<ui::TextBlock*>(target);
        break;
    case 14:
        docTypeSelector = static_cast<ui::ComboBox*>(target);
        break;
    case 15:
        accountsList = reorderable(target);
        break;
    case 16:
        versionText = static_cast<ui::TextBlock*>(target);
        break;
    case 17:
        helpButton = clickable(target);
        break;
    case 18:
        pageScroller = static_cast<QWidget*>(target);
        break;
    case 29:
        // Its menu entries are what the user clicks (they are made with the lists).
        dateFormatButton = static_cast<ui::AppBarButton*>(target);
        break;
    case 57:
        supplierNameText = static_cast<ui::TextBlock*>(target);
        break;
    case 58:
        navButton = clickable(target);
        break;
    case 59:
        supplierButton = clickable(target);
        break;
    default:
        if (connection_id >= 4 && connection_id <= 13)
            *lists[connection_id - 4] = reorderable(target);
        else if (connection_id >= 19 && connection_id <= 56)
            *commands[connection_id - 19] = clickable(target);
        break;
    }
}

// --- lists ----------------------------------------------------------------------------------------

std::string SettingsPage::ListKey(const ui::ListView* list) const {
    if (!list) return std::string();
    if (list == headerNotesList) return "header_notes";
    if (list == lineNotesList) return "line_notes";
    if (list == footerNotesList) return "footer_notes";
    if (list == accountsList) return "accounts";
    for (const ui::ListView* l : {countriesList, languagesList, currenciesList, paymentsList, termsList, taxesList,
                                  unitsList})
        if (list == l) return split('_', ui::Name(list))[0];
    return std::string();
}

std::string SettingsPage::ListMatch(const ui::ListView* list) const {
    return list == countriesList || list == languagesList || list == currenciesList ? "code" : "id";
}

void SettingsPage::FillList(ui::ListView* list) {
    if (!g_core || !list) return;
    list->Clear();
    const std::string key = ListKey(list);
    const bool notes = list == headerNotesList || list == lineNotesList || list == footerNotesList;
    const Json stored = g_core->setting(key);
    for (const Json& entry : stored.array_items()) {
        const std::string code = entry["code"].string_value();
        std::string content;
        std::string tag = entry["id"].string_value();
        if (list == countriesList)
            content = settings::country_row(code);
        else if (list == languagesList)
            content = settings::language_row(code);
        else if (list == currenciesList)
            content = settings::currency_row(code);
        else if (notes)
            content = entry["name"].string_value() + " - " + g_core->translated(entry["type"].string_value(), "");
        else
            content = entry["name"].string_value();
        if (ListMatch(list) == "code") tag = code;
        list->Append(ui::qs(content), ui::qs(tag));
    }
}

int SettingsPage::CheckedIndex(ui::ListView* list, const std::string& tag) {
    if (!g_core || !list) return -1;
    const int index = list->SelectedIndex();
    const Json::array stored = g_core->setting(ListKey(list)).array_items();
    if (index >= 0 && static_cast<std::size_t>(index) < stored.size() && ui::TagText(list->TagAt(index)) == tag &&
        stored[static_cast<std::size_t>(index)][ListMatch(list)].string_value() == tag)
        return index;
    // The stored array changed under the list (a download, say): show it as it is now.
    FillList(list);
    return -1;
}

void SettingsPage::ShowAddedRow(ui::ListView* list, bool select) {
    if (list->Size() <= 5) return;
    const int last = list->Size() - 1;
    if (select) list->SelectedIndex(last);
    list->scrollToItem(list->item(last));
}

void SettingsPage::BuildSettingsList() {
    if (!g_core) return;
    SupplierSummary();

    // Clearing pass over every list of the page.
    for (ui::ListView* list : listsPanel->findChildren<ui::ListView*>()) list->Clear();
    docTypeSelector->Clear();

    // The document types whose numbering is kept: all but drafts and tasks.
    const Json::array& doc_types = g_core->constants["doc_types"].array_items();
    for (std::size_t i = 0; i + 2 < doc_types.size(); ++i) docTypeSelector->Append(ui::qs(doc_types[i]["name"].string_value()));

    for (ui::ListView* list : {countriesList, languagesList, currenciesList, paymentsList, termsList, taxesList,
                               unitsList, headerNotesList, lineNotesList, footerNotesList, accountsList})
        FillList(list);

    dateFormatButton->Label(ui::qs(g_core->setting("formats")["date"].string_value()));
    ui::MenuFlyout* menu = dateFormatButton->Flyout();
    for (QAction* old : menu->actions()) {
        menu->removeAction(old);
        old->deleteLater();
    }
    for (const Json& format : g_core->constants["date_formats"].array_items()) {
        auto* entry = new ui::MenuFlyoutItem(menu);
        entry->Text(ui::qs(format.string_value()));
        entry->Click.Add(this, [this](QObject* sender) { SaveDateFormat(sender); });
        menu->Append(entry);
    }

    const bool demo = g_core->current_account == "DEMO";
    for (QWidget* b : {static_cast<QWidget*>(addAccountButton), static_cast<QWidget*>(editAccountButton),
                       static_cast<QWidget*>(deleteAccountButton)})
        ui::SetVisibility(b, demo ? ui::Visibility::Collapsed : ui::Visibility::Visible);
    accountsList->setEnabled(!demo);

    versionText->Text(ui::qs("    v" + get_app_version()));
}

}  // namespace Tavrin
