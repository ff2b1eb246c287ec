#include "ui/Controls.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QIcon>
#include <QPixmap>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace ui {

QString qs(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string utf8(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

std::string Name(const QObject* element) {
    return element ? utf8(element->objectName()) : std::string();
}

std::string TagText(const QVariant& tag) {
    return tag.isValid() ? utf8(tag.toString()) : std::string();
}

Visibility GetVisibility(const QWidget* element) {
    return element->isHidden() ? Visibility::Collapsed : Visibility::Visible;
}

void SetVisibility(QWidget* element, Visibility visibility) {
    element->setVisible(visibility == Visibility::Visible);
}

// --- window --------------------------------------------------------------------------------------

Window::Window(QWidget* parent) : QWidget(parent, Qt::Window), layout_(new QVBoxLayout(this)) {
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);
}

void Window::Content(QWidget* content) {
    if (content_ == content) return;
    if (content_) {
        layout_->removeWidget(content_);
        content_->deleteLater();
    }
    content_ = content;
    if (content_) layout_->addWidget(content_);
}

void Window::SetIcon(const QString& path) {
    QPixmap picture(path);
    if (!picture.isNull()) setWindowIcon(QIcon(picture));
}

void Window::Activate() {
    show();
    raise();
    activateWindow();
}

void Window::closeEvent(QCloseEvent* event) {
    WindowEventArgs args;
    Closed.Invoke(this, args);
    if (args.Handled())
        event->ignore();
    else
        event->accept();
}

// --- simple controls -------------------------------------------------------------------------------

TextBlock::TextBlock(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
}

Panel::Panel(Orientation orientation, QWidget* parent) : QWidget(parent) {
    QBoxLayout* layout = orientation == Orientation::Vertical ? static_cast<QBoxLayout*>(new QVBoxLayout(this))
                                                              : static_cast<QBoxLayout*>(new QHBoxLayout(this));
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
}

void Panel::Append(QWidget* child, int stretch) {
    static_cast<QBoxLayout*>(layout())->addWidget(child, stretch);
}

ProgressRing::ProgressRing(QWidget* parent) : QProgressBar(parent) {
    setRange(0, 0);
    setTextVisible(false);
    setFixedSize(160, 8);
    hide();
}

void ProgressRing::IsActive(bool value) {
    active_ = value;
    setVisible(value);
}

Button::Button(QWidget* parent) : QPushButton(parent) {
    connect(this, &QPushButton::clicked, this, [this] {
        Click.Invoke(this);
        // popup(), not exec(): no nested event loop.
        if (flyout_ && !flyout_->isEmpty()) flyout_->popup(mapToGlobal(rect().bottomLeft()));
    });
}

MenuFlyout* Button::Flyout() const {
    return flyout_.data();
}

void Button::Flyout(MenuFlyout* flyout) {
    flyout_ = flyout;
}

void Button::Content(const QString& value) {
    content_ = value;
    show_content();
}

void Button::TextTrimming(bool value) {
    trimming_ = value;
    show_content();
}

void Button::resizeEvent(QResizeEvent* event) {
    QPushButton::resizeEvent(event);
    if (trimming_) show_content();
}

void Button::changeEvent(QEvent* event) {
    QPushButton::changeEvent(event);
    if (trimming_ && (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)) show_content();
}

void Button::show_content() {
    if (!trimming_) {
        setText(content_);
        return;
    }
    // The room for text is the width less what the style draws around an empty text.
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    const int frame = style()->sizeFromContents(QStyle::CT_PushButton, &option, QSize(0, 0), this).width();
    const QString shown = fontMetrics().elidedText(content_, Qt::ElideRight, std::max(0, width() - frame));
    setText(shown);
    setToolTip(shown == content_ ? QString() : content_);
}

MenuFlyoutItem::MenuFlyoutItem(QObject* parent) : QAction(parent) {
    connect(this, &QAction::triggered, this, [this] { Click.Invoke(this); });
}

MenuFlyout::MenuFlyout(QWidget* parent) : QMenu(parent) {}

DropDownButton::DropDownButton(QWidget* parent) : QToolButton(parent) {
    setPopupMode(QToolButton::InstantPopup);
    setToolButtonStyle(Qt::ToolButtonTextOnly);
}

AutoSuggestBox::AutoSuggestBox(QWidget* parent) : QLineEdit(parent) {
    setClearButtonEnabled(true);
    connect(this, &QLineEdit::textChanged, this, [this] { TextChanged.Invoke(this); });
}

// --- navigation view ---------------------------------------------------------------------------------

namespace {

// Whether an entry's sub-entries are open, kept on the entry so that a rebuilt pane shows them so.
const char* const kExpanded = "tavrin_expanded";

// Whether `item` is `target` or holds it among its sub-entries.
bool holds(const QObject* item, const QObject* target) {
    for (const QObject* p = target; p; p = p->parent())
        if (p == item) return true;
    return false;
}

}  // namespace

NavigationViewItem* NavigationItemList::GetAt(int index) const {
    if (index < 0 || index >= Size()) return nullptr;
    return items_[static_cast<std::size_t>(index)];
}

int NavigationItemList::IndexOf(const NavigationViewItem* item) const {
    auto found = std::find(items_.begin(), items_.end(), item);
    return found == items_.end() ? -1 : static_cast<int>(found - items_.begin());
}

void NavigationItemList::Append(NavigationViewItem* item) {
    item->setParent(owner_);
    items_.push_back(item);
    changed();
}

void NavigationItemList::Clear() {
    NavigationView* view = nullptr;
    if (auto* v = qobject_cast<NavigationView*>(owner_)) view = v;
    if (auto* i = qobject_cast<NavigationViewItem*>(owner_)) view = i->view();
    for (NavigationViewItem* item : items_) {
        // A removed selection is no selection; no event is raised for it.
        if (view && holds(item, view->selected_.data())) view->selected_ = nullptr;
        item->deleteLater();
    }
    items_.clear();
    changed();
}

void NavigationItemList::changed() {
    NavigationView* view = qobject_cast<NavigationView*>(owner_);
    if (!view)
        if (auto* item = qobject_cast<NavigationViewItem*>(owner_)) view = item->view();
    if (view) view->rebuild();
}

NavigationViewItem::NavigationViewItem(QObject* parent) : QObject(parent), menu_items_(this) {}

NavigationViewItem::~NavigationViewItem() = default;

void NavigationViewItem::Content(const QString& value) {
    content_ = value;
    if (NavigationView* v = view()) v->rebuild();
}

void NavigationViewItem::SelectsOnInvoked(bool value) {
    selects_on_invoked_ = value;
    if (NavigationView* v = view()) v->rebuild();
}

NavigationView* NavigationViewItem::view() const {
    for (QObject* p = parent(); p; p = p->parent())
        if (auto* v = qobject_cast<NavigationView*>(p)) return v;
    return nullptr;
}

NavigationView::NavigationView(QWidget* parent)
    : QWidget(parent), pane_(new QTreeWidget(this)), menu_items_(this), footer_items_(this) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    pane_->setObjectName("navigationPane");
    pane_->setHeaderHidden(true);
    pane_->setFixedWidth(230);
    pane_->setSelectionMode(QAbstractItemView::SingleSelection);
    pane_->setFrameShape(QFrame::NoFrame);
    layout->addWidget(pane_);
    auto* area = new QWidget(this);
    content_layout_ = new QVBoxLayout(area);
    content_layout_->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(area, 1);

    settings_item_ = new NavigationViewItem(this);
    settings_item_->setObjectName("SettingsItem");
    settings_item_->Content("Settings");

    connect(pane_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
        if (rebuilding_) return;
        NavigationViewItem* item = item_of(current);
        if (!item) return;
        if (!item->SelectsOnInvoked()) {
            // An entry that only holds sub-entries opens or closes them; the selection stays.
            item->setProperty(kExpanded, !item->property(kExpanded).toBool());
            rebuild();
            return;
        }
        select(item, true);
    });
    pane_->viewport()->installEventFilter(this);
    connect(pane_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* row) {
        NavigationViewItem* item = item_of(row);
        if (!item || rebuilding_) return;
        const bool was_selected = item == selected_at_press_ && item == selected_;
        QPointer<NavigationView> self(this);
        ItemInvoked.Invoke(this, item);
        if (self && was_selected) SelectedItemInvoked.Invoke(this, item);
    });
    connect(pane_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* row) {
        if (NavigationViewItem* item = item_of(row); item && !rebuilding_) item->setProperty(kExpanded, true);
    });
    connect(pane_, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* row) {
        if (NavigationViewItem* item = item_of(row); item && !rebuilding_) item->setProperty(kExpanded, false);
    });
    rebuild();
}

NavigationView::~NavigationView() = default;

void NavigationView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int pane_width = width() >= 1008 ? 230 : 160;
    if (pane_->minimumWidth() != pane_width) pane_->setFixedWidth(pane_width);
}

bool NavigationView::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == pane_->viewport() && (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick))
        selected_at_press_ = selected_;
    return QWidget::eventFilter(watched, event);
}

void NavigationView::SelectedItem(NavigationViewItem* item) {
    select(item, true);
}

void NavigationView::select(NavigationViewItem* item, bool notify) {
    if (selected_.data() == item) return;
    selected_ = item;
    rebuild();
    if (notify) SelectionChanged.Invoke(this, NavigationViewSelectionChangedEventArgs(item && item == settings_item_, item));
}

void NavigationView::Collapse(NavigationViewItem* item) {
    if (!item) return;
    item->setProperty(kExpanded, false);
    rebuild();
}

void NavigationView::Content(QWidget* content) {
    if (content_) content_layout_->removeWidget(content_);
    content_ = content;
    if (content_) content_layout_->addWidget(content_);
}

// The pane is drawn again from the items after the current event, never inside the pane's own
// signals, which may be what changed the items.
void NavigationView::rebuild() {
    if (rebuild_queued_) return;
    rebuild_queued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            rebuild_queued_ = false;
            rebuilding_ = true;
            pane_->clear();
            add_rows(nullptr, menu_items_);
            add_rows(nullptr, footer_items_);
            auto* settings = new QTreeWidgetItem(pane_, QStringList(settings_item_->Content()));
            settings->setData(0, Qt::UserRole, QVariant::fromValue<void*>(settings_item_));
            QTreeWidgetItem* current = row_of(selected_.data());
            pane_->setCurrentItem(current);
            if (!current) pane_->clearSelection();
            rebuilding_ = false;
        },
        Qt::QueuedConnection);
}

void NavigationView::add_rows(QTreeWidgetItem* parent, NavigationItemList& list) {
    for (NavigationViewItem* item : list.items_) {
        QTreeWidgetItem* row =
            parent ? new QTreeWidgetItem(parent, QStringList(item->Content())) : new QTreeWidgetItem(pane_, QStringList(item->Content()));
        row->setData(0, Qt::UserRole, QVariant::fromValue<void*>(item));
        add_rows(row, item->menu_items_);
        row->setExpanded(item->property(kExpanded).toBool());
    }
}

NavigationViewItem* NavigationView::item_of(QTreeWidgetItem* row) const {
    if (!row) return nullptr;
    return static_cast<NavigationViewItem*>(row->data(0, Qt::UserRole).value<void*>());
}

QTreeWidgetItem* NavigationView::row_of(const NavigationViewItem* item) const {
    if (!item) return nullptr;
    for (QTreeWidgetItemIterator it(pane_); *it; ++it)
        if (item_of(*it) == item) return *it;
    return nullptr;
}

// --- tab view ------------------------------------------------------------------------------------------

TabViewItem::TabViewItem(QWidget* parent) : QWidget(parent), layout_(new QVBoxLayout(this)) {
    layout_->setContentsMargins(0, 0, 0, 0);
}

void TabViewItem::Header(const QString& value) {
    header_ = value;
    if (view_) view_->setTabText(view_->indexOf(this), value);
}

void TabViewItem::Content(QWidget* content) {
    if (content_) layout_->removeWidget(content_);
    content_ = content;
    if (content_) layout_->addWidget(content_);
}

void TabViewItem::IsClosable(bool value) {
    closable_ = value;
    if (!view_) return;
    const int index = view_->indexOf(this);
    if (index < 0) return;
    if (!value) view_->tabBar()->setTabButton(index, QTabBar::RightSide, nullptr);
}

TabView::TabView(QWidget* parent) : QTabWidget(parent) {
    setDocumentMode(true);
    setTabsClosable(true);
    connect(this, &QTabWidget::currentChanged, this, [this](int) { SelectionChanged.Invoke(this); });
    connect(this, &QTabWidget::tabCloseRequested, this, [this](int index) {
        TabViewItem* item = GetAt(index);
        if (item) TabCloseRequested.Invoke(this, TabViewTabCloseRequestedEventArgs(item));
    });
}

// The base classes remove the tabs as they go: no event may reach the handlers of a page being torn down.
TabView::~TabView() {
    disconnect(this, nullptr, this, nullptr);
}

TabViewItem* TabView::GetAt(int index) const {
    return qobject_cast<TabViewItem*>(widget(index));
}

int TabView::IndexOf(const TabViewItem* item) const {
    return item ? indexOf(const_cast<TabViewItem*>(item)) : -1;
}

void TabView::Append(TabViewItem* item) {
    item->view_ = this;
    const int index = addTab(item, item->Header());
    if (!item->closable_) tabBar()->setTabButton(index, QTabBar::RightSide, nullptr);
}

void TabView::RemoveAt(int index) {
    TabViewItem* item = GetAt(index);
    if (!item) return;
    removeTab(index);
    item->view_ = nullptr;
    item->hide();
    item->deleteLater();
}

void TabView::SelectedItem(TabViewItem* item) {
    const int index = IndexOf(item);
    if (index >= 0) setCurrentIndex(index);
}

}  // namespace ui
