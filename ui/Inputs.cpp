#include "ui/Inputs.h"

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QColorDialog>
#include <QDateEdit>
#include <QDrag>
#include <QDropEvent>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QIcon>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <cfloat>
#include <cmath>
#include <limits>

namespace ui {

// --- caption ---------------------------------------------------------------------------------------

HeaderedControl::HeaderedControl(QWidget* parent)
    : QWidget(parent), header_(new QLabel(this)), layout_(new QVBoxLayout(this)) {
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(2);
    header_->setTextFormat(Qt::PlainText);
    header_->hide();
    layout_->addWidget(header_);
}

QString HeaderedControl::Header() const {
    return header_->text();
}

void HeaderedControl::Header(const QString& value) {
    header_->setText(value);
    header_->setVisible(!value.isEmpty());
}

void HeaderedControl::SetBody(QWidget* body) {
    layout_->addWidget(body);
    setFocusProxy(body);
    header_->setBuddy(body);
}

// --- text boxes ------------------------------------------------------------------------------------

TextBox::TextBox(QWidget* parent) : HeaderedControl(parent), line_(new QLineEdit(this)) {
    SetBody(line_);
    connect(line_, &QLineEdit::textChanged, this, [this] { TextChanged.Invoke(this); });
}

QString TextBox::Text() const {
    return multi_ ? multi_->toPlainText() : line_->text();
}

void TextBox::Text(const QString& value) {
    if (Text() == value) return;
    if (multi_)
        multi_->setPlainText(value);
    else
        line_->setText(value);
}

void TextBox::PlaceholderText(const QString& value) {
    line_->setPlaceholderText(value);
    if (multi_) multi_->setPlaceholderText(value);
}

void TextBox::AcceptsReturn(bool value) {
    if (value == AcceptsReturn()) return;
    const QString text = Text();
    if (value) {
        multi_ = new QPlainTextEdit(this);
        multi_->setPlaceholderText(line_->placeholderText());
        multi_->setPlainText(text);
        multi_->setTabChangesFocus(true);
        connect(multi_, &QPlainTextEdit::textChanged, this, [this] { TextChanged.Invoke(this); });
        line_->hide();
        SetBody(multi_);
    } else {
        multi_->deleteLater();
        multi_->hide();
        multi_ = nullptr;
        line_->show();
        setFocusProxy(line_);
        const QSignalBlocker quiet(line_);
        line_->setText(text);
    }
}

void TextBox::IsReadOnly(bool value) {
    line_->setReadOnly(value);
    if (multi_) multi_->setReadOnly(value);
}

QWidget* TextBox::Editor() const {
    return multi_ ? static_cast<QWidget*>(multi_) : line_;
}

PasswordBox::PasswordBox(QWidget* parent) : HeaderedControl(parent), line_(new QLineEdit(this)) {
    line_->setEchoMode(QLineEdit::Password);
    SetBody(line_);
    connect(line_, &QLineEdit::textChanged, this, [this] { PasswordChanged.Invoke(this); });
}

QString PasswordBox::Password() const {
    return line_->text();
}

void PasswordBox::Password(const QString& value) {
    line_->setText(value);
}

void PasswordBox::PlaceholderText(const QString& value) {
    line_->setPlaceholderText(value);
}

// --- combo box -------------------------------------------------------------------------------------

ComboBoxList::ComboBoxList(ComboBox* owner, QWidget* parent) : QComboBox(parent), owner_(owner) {}

// Qt closes the list before it applies the entry the user took: the event comes once that is done.
void ComboBoxList::hidePopup() {
    const bool was_open = view() && view()->isVisible();
    QComboBox::hidePopup();
    if (!was_open) return;
    QPointer<ComboBox> owner(owner_);
    QMetaObject::invokeMethod(
        this,
        [owner] {
            if (owner) owner->DropDownClosed.Invoke(owner.data());
        },
        Qt::QueuedConnection);
}

void ComboBoxList::keyPressEvent(QKeyEvent* event) {
    const int before = currentIndex();
    QComboBox::keyPressEvent(event);
    chosen_in_place(before);
}

void ComboBoxList::wheelEvent(QWheelEvent* event) {
    const int before = currentIndex();
    QComboBox::wheelEvent(event);
    chosen_in_place(before);
}

void ComboBoxList::chosen_in_place(int before) {
    // A key that opened the list chose nothing yet: its closing reports the choice.
    if (currentIndex() == before || (view() && view()->isVisible())) return;
    QPointer<ComboBox> owner(owner_);
    QMetaObject::invokeMethod(
        this,
        [owner] {
            if (owner) owner->ChosenWithoutDropDown.Invoke(owner.data());
        },
        Qt::QueuedConnection);
}

ComboBox::ComboBox(QWidget* parent) : HeaderedControl(parent), list_(new ComboBoxList(this, this)) {
    list_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    SetBody(list_);
    connect(list_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index == last_index_) return;
        const int old = last_index_;
        last_index_ = index;
        SelectionChanged.Invoke(this, SelectionChangedEventArgs(old, index));
    });
}

int ComboBox::Size() const {
    return list_->count();
}

void ComboBox::Append(const QString& text, const QVariant& tag) {
    // A combo box without a selection stays so when items arrive (Qt would select the first).
    const bool none = list_->currentIndex() < 0;
    {
        const QSignalBlocker quiet(list_);
        list_->addItem(text, tag);
        if (none) list_->setCurrentIndex(-1);
    }
}

void ComboBox::Clear() {
    list_->clear();
}

QString ComboBox::ItemText(int index) const {
    return list_->itemText(index);
}

QVariant ComboBox::ItemTag(int index) const {
    return list_->itemData(index);
}

int ComboBox::SelectedIndex() const {
    return list_->currentIndex();
}

void ComboBox::SelectedIndex(int index) {
    list_->setCurrentIndex(index >= 0 && index < list_->count() ? index : -1);
}

QString ComboBox::SelectedText() const {
    return list_->currentIndex() < 0 ? QString() : list_->currentText();
}

QVariant ComboBox::SelectedTag() const {
    return list_->currentIndex() < 0 ? QVariant() : list_->currentData();
}

void ComboBox::SelectedItem(const QString& text) {
    SelectedIndex(list_->findText(text, Qt::MatchExactly));
}

void ComboBox::PlaceholderText(const QString& value) {
    list_->setPlaceholderText(value);
}

// --- number box ------------------------------------------------------------------------------------

NumberBox::NumberBox(QWidget* parent)
    : HeaderedControl(parent),
      line_(new QLineEdit(this)),
      value_(std::numeric_limits<double>::quiet_NaN()),
      minimum_(-DBL_MAX),
      maximum_(DBL_MAX) {
    SetBody(line_);
    connect(line_, &QLineEdit::editingFinished, this, [this] { commit(); });
}

namespace {

bool same_value(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

}  // namespace

double NumberBox::coerce(double value) const {
    if (std::isnan(value)) return value;
    return std::min(std::max(value, minimum_), maximum_);
}

void NumberBox::Value(double value) {
    value = coerce(value);
    const double old = value_;
    value_ = value;
    show_value();
    if (!same_value(old, value)) ValueChanged.Invoke(this, NumberBoxValueChangedEventArgs(old, value));
}

QString NumberBox::Text() const {
    return line_->text();
}

void NumberBox::Minimum(double value) {
    minimum_ = value;
    if (!same_value(coerce(value_), value_)) Value(value_);
}

void NumberBox::Maximum(double value) {
    maximum_ = value;
    if (!same_value(coerce(value_), value_)) Value(value_);
}

void NumberBox::PlaceholderText(const QString& value) {
    line_->setPlaceholderText(value);
}

void NumberBox::show_value() {
    const QString text = std::isnan(value_) ? QString() : QString::number(value_, 'g', 15);
    if (line_->text() != text) line_->setText(text);
}

void NumberBox::commit() {
    QString text = line_->text().trimmed();
    if (text.isEmpty()) {
        Value(std::numeric_limits<double>::quiet_NaN());
        return;
    }
    text.remove(' ');
    text.replace(',', '.');
    bool ok = false;
    const double parsed = text.toDouble(&ok);
    if (!ok || !std::isfinite(parsed)) {
        show_value();
        return;
    }
    Value(parsed);
}

// --- date picker -----------------------------------------------------------------------------------

namespace {

// The date edit cannot be empty: its lowest date stands for no date and shows the placeholder.
const QDate kNoDate(1000, 1, 1);

}  // namespace

CalendarDatePicker::CalendarDatePicker(QWidget* parent) : HeaderedControl(parent), edit_(new QDateEdit(this)) {
    edit_->setCalendarPopup(true);
    edit_->setMinimumDate(kNoDate);
    edit_->setSpecialValueText(QStringLiteral(" "));
    edit_->setDisplayFormat(QStringLiteral("yyyy. MM. dd."));
    edit_->setDate(kNoDate);
    // A layout short of room squeezes the box no narrower than a whole date with its calendar button,
    // and a character more: at Qt's own hint the date's last dot touches the button.
    edit_->setMinimumWidth(edit_->sizeHint().width() + edit_->fontMetrics().averageCharWidth());
    edit_->calendarWidget()->installEventFilter(this);
    SetBody(edit_);
    connect(edit_, &QDateEdit::dateChanged, this, [this] {
        const std::optional<QDate> now = Date();
        if (now == last_) return;
        const std::optional<QDate> old = last_;
        last_ = now;
        DateChanged.Invoke(this, CalendarDatePickerDateChangedEventArgs(old, now));
        // A date typed into the box is settled when the user leaves it.
        if (!edit_->hasFocus() || edit_->calendarWidget()->isVisible()) commit();
    });
    connect(edit_, &QDateEdit::editingFinished, this, [this] { commit(); });
}

void CalendarDatePicker::commit() {
    const std::optional<QDate> now = Date();
    if (now == committed_) return;
    committed_ = now;
    DateCommitted.Invoke(this);
}

std::optional<QDate> CalendarDatePicker::Date() const {
    const QDate date = edit_->date();
    if (!date.isValid() || date == kNoDate) return std::nullopt;
    return date;
}

void CalendarDatePicker::Date(std::optional<QDate> value) {
    if (value && (!value->isValid() || *value <= kNoDate)) value.reset();
    edit_->setDate(value ? *value : kNoDate);
    commit();
}

void CalendarDatePicker::PlaceholderText(const QString& value) {
    edit_->setSpecialValueText(value.isEmpty() ? QStringLiteral(" ") : value);
}

// The calendar of an empty picker opens on the present month, not on the stand-in date.
bool CalendarDatePicker::eventFilter(QObject* watched, QEvent* event) {
    if (watched == edit_->calendarWidget() && event->type() == QEvent::Show && !Date()) {
        const QDate today = QDate::currentDate();
        edit_->calendarWidget()->setCurrentPage(today.year(), today.month());
    }
    return HeaderedControl::eventFilter(watched, event);
}

// --- check box, toggles and radio buttons -------------------------------------------------------------

CheckBox::CheckBox(QWidget* parent) : QWidget(parent), box_(new QCheckBox(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(box_);
    setFocusProxy(box_);
    connect(box_, &QCheckBox::toggled, this, [this](bool on) {
        if (on)
            Checked.Invoke(this);
        else
            Unchecked.Invoke(this);
    });
}

QString CheckBox::Content() const {
    return box_->text();
}

void CheckBox::Content(const QString& value) {
    box_->setText(value);
}

bool CheckBox::IsChecked() const {
    return box_->isChecked();
}

void CheckBox::IsChecked(bool value) {
    box_->setChecked(value);
}

ToggleButton::ToggleButton(QWidget* parent) : QPushButton(parent) {
    setCheckable(true);
    connect(this, &QPushButton::toggled, this, [this](bool on) {
        if (on)
            Checked.Invoke(this);
        else
            Unchecked.Invoke(this);
    });
}

ToggleSwitch::ToggleSwitch(QWidget* parent) : HeaderedControl(parent), box_(new QCheckBox(this)) {
    SetBody(box_);
    connect(box_, &QCheckBox::toggled, this, [this] { Toggled.Invoke(this); });
}

bool ToggleSwitch::IsOn() const {
    return box_->isChecked();
}

void ToggleSwitch::IsOn(bool value) {
    box_->setChecked(value);
}

RadioButtons::RadioButtons(QWidget* parent) : HeaderedControl(parent), group_(new QButtonGroup(this)) {
    auto* body = new QWidget(this);
    items_ = new QVBoxLayout(body);
    items_->setContentsMargins(0, 0, 0, 0);
    SetBody(body);
    connect(group_, &QButtonGroup::idToggled, this, [this](int, bool on) {
        if (!on) return;
        const int index = SelectedIndex();
        if (index == last_index_) return;
        const int old = last_index_;
        last_index_ = index;
        SelectionChanged.Invoke(this, SelectionChangedEventArgs(old, index));
    });
}

int RadioButtons::Size() const {
    return static_cast<int>(group_->buttons().size());
}

QAbstractButton* RadioButtons::add_button(const QString& text) {
    auto* button = new QRadioButton(text);
    group_->addButton(button, Size());
    return button;
}

void RadioButtons::Append(const QString& text) {
    items_->addWidget(add_button(text));
}

void RadioButtons::Append(QWidget* content) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(add_button(QString()));
    layout->addWidget(content, 1);
    items_->addWidget(row);
}

int RadioButtons::SelectedIndex() const {
    return group_->checkedId();
}

void RadioButtons::SelectedIndex(int index) {
    if (QAbstractButton* button = group_->button(index)) {
        button->setChecked(true);
        return;
    }
    if (QAbstractButton* checked = group_->checkedButton()) {
        group_->setExclusive(false);
        checked->setChecked(false);
        group_->setExclusive(true);
    }
    if (last_index_ != -1) {
        const int old = last_index_;
        last_index_ = -1;
        SelectionChanged.Invoke(this, SelectionChangedEventArgs(old, -1));
    }
}

QAbstractButton* RadioButtons::ButtonAt(int index) const {
    return group_->button(index);
}

// --- colour picker ---------------------------------------------------------------------------------

ColorPicker::ColorPicker(QWidget* parent) : QWidget(parent), editor_(new QColorDialog(this)) {
    editor_->setWindowFlags(Qt::Widget);
    editor_->setOptions(QColorDialog::NoButtons | QColorDialog::DontUseNativeDialog);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(editor_);
    connect(editor_, &QColorDialog::currentColorChanged, this, [this] { ColorChanged.Invoke(this); });
}

QColor ColorPicker::Color() const {
    return editor_->currentColor();
}

void ColorPicker::Color(const QColor& value) {
    editor_->setCurrentColor(value);
}

// --- list view -------------------------------------------------------------------------------------

ListView::ListView(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row == last_index_) return;
        const int old = last_index_;
        last_index_ = row;
        SelectionChanged.Invoke(this, SelectionChangedEventArgs(old, row));
    });
}

namespace {

QListWidgetItem* make_row(const QString& content, const QVariant& tag) {
    auto* row = new QListWidgetItem(content);
    row->setData(Qt::UserRole, tag);
    return row;
}

}  // namespace

void ListView::Append(const QString& content, const QVariant& tag) {
    addItem(make_row(content, tag));
}

void ListView::InsertAt(int index, const QString& content, const QVariant& tag) {
    insertItem(std::clamp(index, 0, count()), make_row(content, tag));
}

void ListView::SetAt(int index, const QString& content, const QVariant& tag) {
    QListWidgetItem* row = item(index);
    if (!row) return;
    row->setText(content);
    row->setData(Qt::UserRole, tag);
}

void ListView::AppendSwatch(const QColor& fill, const QColor& border, int size) {
    QPixmap picture(size, size);
    picture.fill(fill);
    QPainter painter(&picture);
    painter.setPen(border);
    painter.drawRect(0, 0, size - 1, size - 1);
    painter.end();
    auto* row = make_row(QString(), fill);
    row->setIcon(QIcon(picture));
    row->setSizeHint(QSize(size + 6, size + 6));
    setIconSize(QSize(size, size));
    addItem(row);
}

void ListView::RemoveAt(int index) {
    if (!item(index)) return;
    const bool selected = currentRow() == index;
    delete takeItem(index);
    // Rows above the selected one going away move it, but it stays selected.
    if (!selected) last_index_ = currentRow();
}

void ListView::Clear() {
    clear();
}

QString ListView::ContentAt(int index) const {
    const QListWidgetItem* row = item(index);
    return row ? row->text() : QString();
}

QVariant ListView::TagAt(int index) const {
    const QListWidgetItem* row = item(index);
    return row ? row->data(Qt::UserRole) : QVariant();
}

int ListView::SelectedIndex() const {
    return currentRow();
}

void ListView::SelectedIndex(int index) {
    setCurrentRow(index >= 0 && index < count() ? index : -1);
}

void ListView::CanReorderItems(bool value) {
    reorder_ = value;
    setDragEnabled(value);
    setAcceptDrops(value);
    setDropIndicatorShown(value);
    setDragDropMode(value ? QAbstractItemView::InternalMove : QAbstractItemView::NoDragDrop);
    setDefaultDropAction(Qt::MoveAction);
}

void ListView::MoveItem(int from, int to) {
    if (from < 0 || from >= count() || to < 0 || to >= count() || from == to) return;
    const bool selected = currentRow() == from;
    {
        // The selected row moves with the drag; that is no change of the selection.
        const QSignalBlocker quiet(this);
        insertItem(to, takeItem(from));
        if (selected) setCurrentRow(to);
    }
    last_index_ = currentRow();
    DragItemsCompleted.Invoke(this, DragItemsCompletedEventArgs(from, to));
}

// A drop inside the list moves the dragged row; the event comes once the rows stand in their new order.
void ListView::dropEvent(QDropEvent* event) {
    const int from = currentRow();
    QListWidget::dropEvent(event);
    if (!reorder_ || !event->isAccepted()) return;
    const int to = currentRow();
    DragItemsCompleted.Invoke(this, DragItemsCompletedEventArgs(from, to));
}

void ListView::CanDragItems(bool value) {
    drag_out_ = value;
    if (reorder_) return;
    setDragEnabled(value);
    setDragDropMode(value ? QAbstractItemView::DragOnly : QAbstractItemView::NoDragDrop);
    setDefaultDropAction(Qt::CopyAction);
}

QMimeData* ListView::StartDragItems(const std::vector<int>& rows) {
    std::vector<DragItem> items;
    for (int row : rows)
        if (row >= 0 && row < count()) items.push_back(DragItem{ContentAt(row), TagAt(row)});
    auto* data = new QMimeData;
    DragItemsStartingEventArgs args(std::move(items), data);
    DragItemsStarting.Invoke(this, args);
    return data;
}

void ListView::startDrag(Qt::DropActions supportedActions) {
    if (reorder_ || !drag_out_) {
        QListWidget::startDrag(supportedActions);
        return;
    }
    std::vector<int> rows;
    for (const QModelIndex& index : selectedIndexes()) rows.push_back(index.row());
    if (rows.empty() && currentRow() >= 0) rows.push_back(currentRow());
    if (rows.empty()) return;
    auto* drag = new QDrag(this);
    drag->setMimeData(StartDragItems(rows));
    drag->exec(Qt::CopyAction);
}

// --- info bar --------------------------------------------------------------------------------------

InfoBar::InfoBar(QWidget* parent) : QFrame(parent), title_(new QLabel(this)), message_(new QLabel(this)) {
    setFrameShape(QFrame::StyledPanel);
    auto* layout = new QHBoxLayout(this);
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    title_->setTextFormat(Qt::PlainText);
    message_->setTextFormat(Qt::PlainText);
    message_->setWordWrap(true);
    auto* close = new QPushButton(QStringLiteral("\u2715"), this);
    close->setFlat(true);
    close->setFixedWidth(28);
    layout->addWidget(title_);
    layout->addWidget(message_, 1);
    layout->addWidget(close);
    connect(close, &QPushButton::clicked, this, [this] { IsOpen(false); });
    Severity(InfoBarSeverity::Informational);
    hide();
}

void InfoBar::IsOpen(bool value) {
    open_ = value;
    setVisible(value);
}

QString InfoBar::Title() const {
    return title_->text();
}

void InfoBar::Title(const QString& value) {
    title_->setText(value);
}

QString InfoBar::Message() const {
    return message_->text();
}

void InfoBar::Message(const QString& value) {
    message_->setText(value);
}

void InfoBar::Severity(InfoBarSeverity value) {
    severity_ = value;
    const char* colour = "#e5f1fb";
    if (value == InfoBarSeverity::Success) colour = "#dff6dd";
    if (value == InfoBarSeverity::Warning) colour = "#fff4ce";
    if (value == InfoBarSeverity::Error) colour = "#fde7e9";
    setStyleSheet(QStringLiteral("ui--InfoBar { background: %1; border-radius: 4px; }").arg(QLatin1String(colour)));
}

// --- pivot and command button ----------------------------------------------------------------------------

Pivot::Pivot(QWidget* parent) : QWidget(parent), tabs_(new QTabWidget(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    tabs_->setDocumentMode(true);
    layout->addWidget(tabs_);
    connect(tabs_, &QTabWidget::currentChanged, this, [this] { SelectionChanged.Invoke(this); });
}

int Pivot::Size() const {
    return tabs_->count();
}

void Pivot::Append(const QString& header, QWidget* content) {
    tabs_->addTab(content, header);
}

QWidget* Pivot::ItemAt(int index) const {
    return tabs_->widget(index);
}

int Pivot::SelectedIndex() const {
    return tabs_->currentIndex();
}

void Pivot::SelectedIndex(int index) {
    if (index >= 0 && index < tabs_->count()) tabs_->setCurrentIndex(index);
}

AppBarButton::AppBarButton(QWidget* parent) : QToolButton(parent) {
    setToolButtonStyle(Qt::ToolButtonTextOnly);
    setAutoRaise(true);
    connect(this, &QToolButton::clicked, this, [this] { Click.Invoke(this); });
}

void AppBarButton::Flyout(MenuFlyout* flyout) {
    flyout_ = flyout;
    setMenu(flyout);
    setPopupMode(flyout ? QToolButton::InstantPopup : QToolButton::DelayedPopup);
}

}  // namespace ui
