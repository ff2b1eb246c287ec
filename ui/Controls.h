// The controls of the pages, each a thin class over a Qt widget, under the names the pages use.
// Texts cross this layer as QString; the pages convert their UTF-8 texts at each call.
#pragma once

#include "ui/Event.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
#include <QVariant>
#include <QWidget>

#include <string>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;
class QVBoxLayout;

namespace ui {

QString qs(const std::string& utf8);
std::string utf8(const QString& text);

// The element name a page gives a control (its objectName), as UTF-8.
std::string Name(const QObject* element);
// A Tag as text: the empty text for no Tag.
std::string TagText(const QVariant& tag);

enum class Visibility { Visible, Collapsed };

Visibility GetVisibility(const QWidget* element);
void SetVisibility(QWidget* element, Visibility visibility);

// Arguments of a window's Closed event: setting Handled keeps the window open.
class WindowEventArgs {
public:
    bool Handled() const { return handled_; }
    void Handled(bool value) { handled_ = value; }

private:
    bool handled_ = false;
};

// A top-level window. Closing it hides it; the object stays until its owner deletes it.
class Window : public QWidget {
    Q_OBJECT
public:
    explicit Window(QWidget* parent = nullptr);

    QString Title() const { return windowTitle(); }
    void Title(const QString& title) { setWindowTitle(title); }
    QWidget* Content() const { return content_; }
    void Content(QWidget* content);
    // A missing or unreadable file leaves the window without an icon.
    void SetIcon(const QString& path);
    void Activate();
    // Runs the Closed handlers; true when the window closed.
    bool Close() { return close(); }

    Event<Window*, WindowEventArgs&> Closed;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QVBoxLayout* layout_;
    QWidget* content_ = nullptr;
};

// A block of text.
class TextBlock : public QLabel {
    Q_OBJECT
public:
    explicit TextBlock(QWidget* parent = nullptr);
    QString Text() const { return text(); }
    void Text(const QString& value) { setText(value); }
};

// A plain element holding others.
class Panel : public QWidget {
    Q_OBJECT
public:
    enum class Orientation { Vertical, Horizontal };
    explicit Panel(Orientation orientation = Orientation::Vertical, QWidget* parent = nullptr);
    void Append(QWidget* child, int stretch = 0);
};

// The busy indicator: only its on and off states are used.
class ProgressRing : public QProgressBar {
    Q_OBJECT
public:
    explicit ProgressRing(QWidget* parent = nullptr);
    bool IsActive() const { return active_; }
    void IsActive(bool value);

private:
    bool active_ = false;
};

class MenuFlyout;

// A push button. Click fires for user clicks (and click()), never for programmatic changes. A button
// with a flyout opens it after its Click handlers have run, so they may fill it first.
class Button : public QPushButton {
    Q_OBJECT
public:
    explicit Button(QWidget* parent = nullptr);
    QString Content() const { return content_; }
    void Content(const QString& value);
    bool IsEnabled() const { return isEnabled(); }
    void IsEnabled(bool value) { setEnabled(value); }
    QVariant Tag() const { return tag_; }
    void Tag(const QVariant& value) { tag_ = value; }
    // True: the button keeps the width it is given and shows a content too long for it shortened
    // with "…" (the whole content in its tool tip), instead of growing with it.
    void TextTrimming(bool value);
    MenuFlyout* Flyout() const;
    void Flyout(MenuFlyout* flyout);

    Event<QObject*> Click;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void show_content();

    QString content_;
    bool trimming_ = false;
    QVariant tag_;
    QPointer<MenuFlyout> flyout_;
};

// One command of a menu flyout.
class MenuFlyoutItem : public QAction {
    Q_OBJECT
public:
    explicit MenuFlyoutItem(QObject* parent = nullptr);
    QString Text() const { return text(); }
    void Text(const QString& value) { setText(value); }
    QVariant Tag() const { return tag_; }
    void Tag(const QVariant& value) { tag_ = value; }
    bool IsEnabled() const { return isEnabled(); }
    void IsEnabled(bool value) { setEnabled(value); }
    Visibility GetVisibility() const { return isVisible() ? Visibility::Visible : Visibility::Collapsed; }
    void SetVisibility(Visibility value) { setVisible(value == Visibility::Visible); }

    Event<QObject*> Click;

private:
    QVariant tag_;
};

// The menu that a drop-down button opens.
class MenuFlyout : public QMenu {
    Q_OBJECT
public:
    explicit MenuFlyout(QWidget* parent = nullptr);
    void Append(MenuFlyoutItem* item) { addAction(item); }
    void AppendSeparator() { addSeparator(); }
};

// A button that opens its flyout.
class DropDownButton : public QToolButton {
    Q_OBJECT
public:
    explicit DropDownButton(QWidget* parent = nullptr);
    void Content(const QString& value) { setText(value); }
    void Flyout(MenuFlyout* flyout) { setMenu(flyout); }
};

// The search box. TextChanged fires for every change of the text, typed or set.
class AutoSuggestBox : public QLineEdit {
    Q_OBJECT
public:
    explicit AutoSuggestBox(QWidget* parent = nullptr);
    QString Text() const { return text(); }
    void Text(const QString& value) { setText(value); }
    void PlaceholderText(const QString& value) { setPlaceholderText(value); }

    Event<AutoSuggestBox*> TextChanged;
};

// --- navigation view ---------------------------------------------------------------------------

class NavigationView;
class NavigationViewItem;

// The items of a navigation view or the sub-entries of an item. Removed items are deleted later,
// so a handler that still holds one may read it until it returns.
class NavigationItemList {
public:
    int Size() const { return static_cast<int>(items_.size()); }
    NavigationViewItem* GetAt(int index) const;
    int IndexOf(const NavigationViewItem* item) const;
    void Append(NavigationViewItem* item);
    void Clear();

private:
    friend class NavigationView;
    friend class NavigationViewItem;
    NavigationItemList(QObject* owner) : owner_(owner) {}
    void changed();

    QObject* owner_;
    std::vector<NavigationViewItem*> items_;
};

class NavigationViewItem : public QObject {
    Q_OBJECT
public:
    explicit NavigationViewItem(QObject* parent = nullptr);
    ~NavigationViewItem() override;

    QString Content() const { return content_; }
    void Content(const QString& value);
    QVariant Tag() const { return tag_; }
    void Tag(const QVariant& value) { tag_ = value; }
    // False for an entry that only opens its sub-entries (it never becomes the selection).
    bool SelectsOnInvoked() const { return selects_on_invoked_; }
    void SelectsOnInvoked(bool value);
    NavigationItemList& MenuItems() { return menu_items_; }

private:
    friend class NavigationView;
    friend class NavigationItemList;
    NavigationView* view() const;

    QString content_;
    QVariant tag_;
    bool selects_on_invoked_ = true;
    NavigationItemList menu_items_;
};

class NavigationViewSelectionChangedEventArgs {
public:
    NavigationViewSelectionChangedEventArgs(bool settings, NavigationViewItem* item)
        : settings_(settings), item_(item) {}
    bool IsSettingsSelected() const { return settings_; }
    NavigationViewItem* SelectedItem() const { return item_; }

private:
    bool settings_;
    QPointer<NavigationViewItem> item_;
};

// A pane of entries (menu items, footer items and the built-in settings item) beside a content
// area. SelectionChanged fires when the selection changes, by the user or by SelectedItem.
class NavigationView : public QWidget {
    Q_OBJECT
public:
    explicit NavigationView(QWidget* parent = nullptr);
    ~NavigationView() override;

    NavigationItemList& MenuItems() { return menu_items_; }
    NavigationItemList& FooterMenuItems() { return footer_items_; }
    NavigationViewItem* SettingsItem() const { return settings_item_; }
    NavigationViewItem* SelectedItem() const { return selected_.data(); }
    void SelectedItem(NavigationViewItem* item);
    // Closes the sub-entries of `item`.
    void Collapse(NavigationViewItem* item);
    void Content(QWidget* content);
    // The pane, for tests and pictures of the window.
    QTreeWidget* Pane() const { return pane_; }

    Event<NavigationView*, NavigationViewSelectionChangedEventArgs> SelectionChanged;
    // A click on an entry, the selected one included (which changes no selection).
    Event<NavigationView*, NavigationViewItem*> ItemInvoked;
    // A click on the entry that was the selection already when the click began.
    Event<NavigationView*, NavigationViewItem*> SelectedItemInvoked;

protected:
    // The pane is narrower in a narrow window, so that the content keeps its room.
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class NavigationItemList;
    friend class NavigationViewItem;
    void rebuild();
    void add_rows(QTreeWidgetItem* parent, NavigationItemList& list);
    NavigationViewItem* item_of(QTreeWidgetItem* row) const;
    QTreeWidgetItem* row_of(const NavigationViewItem* item) const;
    void select(NavigationViewItem* item, bool notify);

    QTreeWidget* pane_;
    QVBoxLayout* content_layout_;
    QWidget* content_ = nullptr;
    NavigationItemList menu_items_;
    NavigationItemList footer_items_;
    NavigationViewItem* settings_item_;
    QPointer<NavigationViewItem> selected_;
    // The selection when the last press on the pane began: the click that makes an entry the
    // selection is no click on the selected entry.
    QPointer<NavigationViewItem> selected_at_press_;
    bool rebuilding_ = false;
    bool rebuild_queued_ = false;
};

// --- tab view ----------------------------------------------------------------------------------

class TabView;

class TabViewItem : public QWidget {
    Q_OBJECT
public:
    explicit TabViewItem(QWidget* parent = nullptr);
    QString Header() const { return header_; }
    void Header(const QString& value);
    QVariant Tag() const { return tag_; }
    void Tag(const QVariant& value) { tag_ = value; }
    QWidget* Content() const { return content_; }
    void Content(QWidget* content);
    // False hides the tab's close button.
    bool IsClosable() const { return closable_; }
    void IsClosable(bool value);

private:
    friend class TabView;
    TabView* view_ = nullptr;
    bool closable_ = true;
    QString header_;
    QVariant tag_;
    QWidget* content_ = nullptr;
    QVBoxLayout* layout_;
};

class TabViewTabCloseRequestedEventArgs {
public:
    explicit TabViewTabCloseRequestedEventArgs(TabViewItem* tab) : tab_(tab) {}
    TabViewItem* Tab() const { return tab_; }

private:
    QPointer<TabViewItem> tab_;
};

// Tabs with close buttons. SelectionChanged fires whenever the selected tab changes, by the user, by
// SelectedIndex/SelectedItem or by adding and removing tabs; TabCloseRequested when a close button
// is pressed (the tab stays until a handler removes it).
class TabView : public QTabWidget {
    Q_OBJECT
public:
    explicit TabView(QWidget* parent = nullptr);
    ~TabView() override;
    int Size() const { return count(); }
    TabViewItem* GetAt(int index) const;
    // -1 when `item` is not one of the tabs.
    int IndexOf(const TabViewItem* item) const;
    void Append(TabViewItem* item);
    // Removes the tab; the item and its content are deleted once the current event is handled, so a
    // handler or a suspended coroutine that still holds them (guarded by QPointer) sees them go safely.
    void RemoveAt(int index);
    int SelectedIndex() const { return currentIndex(); }
    void SelectedIndex(int index) { setCurrentIndex(index); }
    TabViewItem* SelectedItem() const { return GetAt(currentIndex()); }
    void SelectedItem(TabViewItem* item);

    Event<TabView*> SelectionChanged;
    Event<TabView*, TabViewTabCloseRequestedEventArgs> TabCloseRequested;
};

}  // namespace ui
