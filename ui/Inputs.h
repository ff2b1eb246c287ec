// The input controls of the pages and dialogs, each a thin class over a Qt widget. Change events
// (TextChanged, PasswordChanged, SelectionChanged, ValueChanged, DateChanged, Checked/Unchecked,
// Toggled, ColorChanged) fire for programmatic changes too; DropDownClosed and Click only for the user.
#pragma once

#include "ui/Controls.h"
#include "ui/DragDrop.h"
#include "ui/Event.h"

#include <QColor>
#include <QComboBox>
#include <QDate>
#include <QFrame>
#include <QListWidget>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <optional>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QColorDialog;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QVBoxLayout;

namespace ui {

// A control with an optional caption above it (the Header of the input controls).
class HeaderedControl : public QWidget {
    Q_OBJECT
public:
    explicit HeaderedControl(QWidget* parent = nullptr);
    QString Header() const;
    void Header(const QString& value);
    bool IsEnabled() const { return isEnabled(); }
    void IsEnabled(bool value) { setEnabled(value); }

protected:
    // Puts the control's own widget below the caption; it takes the focus for the whole.
    void SetBody(QWidget* body);

private:
    QLabel* header_;
    QVBoxLayout* layout_;
};

// A text box, single-line unless AcceptsReturn is set.
class TextBox : public HeaderedControl {
    Q_OBJECT
public:
    explicit TextBox(QWidget* parent = nullptr);
    QString Text() const;
    void Text(const QString& value);
    void PlaceholderText(const QString& value);
    bool AcceptsReturn() const { return multi_ != nullptr; }
    // Switches to a multi-line editor that keeps the text.
    void AcceptsReturn(bool value);
    void IsReadOnly(bool value);
    // The editing widget (a QLineEdit, or a QPlainTextEdit when AcceptsReturn), for tests.
    QWidget* Editor() const;

    Event<TextBox*> TextChanged;

private:
    QLineEdit* line_;
    QPlainTextEdit* multi_ = nullptr;
};

// A masked text box.
class PasswordBox : public HeaderedControl {
    Q_OBJECT
public:
    explicit PasswordBox(QWidget* parent = nullptr);
    QString Password() const;
    void Password(const QString& value);
    void PlaceholderText(const QString& value);
    QLineEdit* Editor() const { return line_; }

    Event<PasswordBox*> PasswordChanged;

private:
    QLineEdit* line_;
};

class SelectionChangedEventArgs {
public:
    SelectionChangedEventArgs(int old_index, int new_index) : old_(old_index), new_(new_index) {}
    int OldIndex() const { return old_; }
    int NewIndex() const { return new_; }

private:
    int old_;
    int new_;
};

class ComboBox;

// The drop-down list of a combo box: it reports its closing, the user's part of a choice.
class ComboBoxList : public QComboBox {
    Q_OBJECT
public:
    explicit ComboBoxList(ComboBox* owner, QWidget* parent = nullptr);
    void hidePopup() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    // Reports a choice the user made with the list closed.
    void chosen_in_place(int before);
    ComboBox* owner_;
};

// A combo box of texts, each item with an optional Tag (a text element with a Tag, as the pages
// make them). SelectedIndex is -1 when nothing is selected.
class ComboBox : public HeaderedControl {
    Q_OBJECT
public:
    explicit ComboBox(QWidget* parent = nullptr);
    int Size() const;
    void Append(const QString& text, const QVariant& tag = QVariant());
    // Removes every item; the selection becomes -1 (SelectionChanged fires when there was one).
    void Clear();
    QString ItemText(int index) const;
    QVariant ItemTag(int index) const;
    int SelectedIndex() const;
    // An index outside the items clears the selection.
    void SelectedIndex(int index);
    // The selected item's text and Tag; empty and invalid when nothing is selected.
    QString SelectedText() const;
    QVariant SelectedTag() const;
    // Selects the first item whose text is `text`; nothing selected when none is.
    void SelectedItem(const QString& text);
    void PlaceholderText(const QString& value);
    ComboBoxList* List() const { return list_; }

    Event<ComboBox*, SelectionChangedEventArgs> SelectionChanged;
    // The user closed the drop-down (whether or not the choice changed); it comes after the
    // entry taken is selected, from the event loop.
    Event<ComboBox*> DropDownClosed;
    // The user changed the choice with the list closed (the arrow keys, a letter, the wheel); it
    // comes after the new entry is selected, from the event loop.
    Event<ComboBox*> ChosenWithoutDropDown;

private:
    friend class ComboBoxList;
    ComboBoxList* list_;
    int last_index_ = -1;
};

class NumberBoxValueChangedEventArgs {
public:
    NumberBoxValueChangedEventArgs(double old_value, double new_value) : old_(old_value), new_(new_value) {}
    double OldValue() const { return old_; }
    double NewValue() const { return new_; }

private:
    double old_;
    double new_;
};

// A box for one number. An empty box has the value NaN. Typed text becomes the value when editing
// ends (Enter or the focus leaving); text that is not a number puts the last value back. Both the
// point and the comma are taken as the decimal separator; values are kept within Minimum/Maximum.
class NumberBox : public HeaderedControl {
    Q_OBJECT
public:
    explicit NumberBox(QWidget* parent = nullptr);
    double Value() const { return value_; }
    void Value(double value);
    QString Text() const;
    double Minimum() const { return minimum_; }
    void Minimum(double value);
    double Maximum() const { return maximum_; }
    void Maximum(double value);
    void PlaceholderText(const QString& value);
    QLineEdit* Editor() const { return line_; }

    Event<NumberBox*, NumberBoxValueChangedEventArgs> ValueChanged;

private:
    void commit();
    void show_value();
    double coerce(double value) const;

    QLineEdit* line_;
    double value_;
    double minimum_;
    double maximum_;
};

class CalendarDatePickerDateChangedEventArgs {
public:
    CalendarDatePickerDateChangedEventArgs(std::optional<QDate> old_date, std::optional<QDate> new_date)
        : old_(old_date), new_(new_date) {}
    std::optional<QDate> OldDate() const { return old_; }
    std::optional<QDate> NewDate() const { return new_; }

private:
    std::optional<QDate> old_;
    std::optional<QDate> new_;
};

// A date field with a calendar drop-down; it may hold no date (shown as its placeholder).
class CalendarDatePicker : public HeaderedControl {
    Q_OBJECT
public:
    explicit CalendarDatePicker(QWidget* parent = nullptr);
    std::optional<QDate> Date() const;
    // An invalid date counts as none. The date set is settled (DateCommitted), focus or not.
    void Date(std::optional<QDate> value);
    void PlaceholderText(const QString& value);
    QDateEdit* Editor() const { return edit_; }

    Event<CalendarDatePicker*, CalendarDatePickerDateChangedEventArgs> DateChanged;
    // The date has settled: picked in the calendar, set by the program, or typed and then left (Enter,
    // or the focus gone). Typing fires DateChanged for every keystroke that makes a date, this once.
    Event<CalendarDatePicker*> DateCommitted;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void commit();

    QDateEdit* edit_;
    std::optional<QDate> last_;
    std::optional<QDate> committed_;
};

// A check box with a label. Checked and Unchecked fire for every change of the state.
class CheckBox : public QWidget {
    Q_OBJECT
public:
    explicit CheckBox(QWidget* parent = nullptr);
    QString Content() const;
    void Content(const QString& value);
    bool IsChecked() const;
    void IsChecked(bool value);
    QCheckBox* Box() const { return box_; }

    Event<CheckBox*> Checked;
    Event<CheckBox*> Unchecked;

private:
    QCheckBox* box_;
};

// A button that stays pressed. Checked and Unchecked fire for every change of the state.
class ToggleButton : public QPushButton {
    Q_OBJECT
public:
    explicit ToggleButton(QWidget* parent = nullptr);
    QString Content() const { return text(); }
    void Content(const QString& value) { setText(value); }
    bool IsChecked() const { return isChecked(); }
    void IsChecked(bool value) { setChecked(value); }

    Event<ToggleButton*> Checked;
    Event<ToggleButton*> Unchecked;
};

// An on/off switch with a caption. Toggled fires for every change of IsOn.
class ToggleSwitch : public HeaderedControl {
    Q_OBJECT
public:
    explicit ToggleSwitch(QWidget* parent = nullptr);
    bool IsOn() const;
    void IsOn(bool value);
    QCheckBox* Box() const { return box_; }

    Event<ToggleSwitch*> Toggled;

private:
    QCheckBox* box_;
};

// A group of radio buttons, one of them selected. An item is a text or a widget beside its button.
class RadioButtons : public HeaderedControl {
    Q_OBJECT
public:
    explicit RadioButtons(QWidget* parent = nullptr);
    int Size() const;
    void Append(const QString& text);
    void Append(QWidget* content);
    int SelectedIndex() const;
    void SelectedIndex(int index);
    QAbstractButton* ButtonAt(int index) const;

    Event<RadioButtons*, SelectionChangedEventArgs> SelectionChanged;

private:
    QAbstractButton* add_button(const QString& text);

    QButtonGroup* group_;
    QVBoxLayout* items_;
    int last_index_ = -1;
};

// The colour editor, shown inline. ColorChanged fires for every change of Color.
class ColorPicker : public QWidget {
    Q_OBJECT
public:
    explicit ColorPicker(QWidget* parent = nullptr);
    QColor Color() const;
    void Color(const QColor& value);
    QColorDialog* Editor() const { return editor_; }

    Event<ColorPicker*> ColorChanged;

private:
    QColorDialog* editor_;
};

class ListView;

class DragItemsCompletedEventArgs {
public:
    DragItemsCompletedEventArgs(int from, int to) : from_(from), to_(to) {}
    int From() const { return from_; }
    int To() const { return to_; }

private:
    int from_;
    int to_;
};

// The rows of a list view: Content text and Tag. With CanReorderItems the user drags rows into a
// new order; DragItemsCompleted fires after each move, when the rows already stand in the new order.
class ListView : public QListWidget {
    Q_OBJECT
public:
    explicit ListView(QWidget* parent = nullptr);
    int Size() const { return count(); }
    void Append(const QString& content, const QVariant& tag = QVariant());
    void InsertAt(int index, const QString& content, const QVariant& tag = QVariant());
    // Replaces row `index` (out of range: nothing).
    void SetAt(int index, const QString& content, const QVariant& tag = QVariant());
    // A colour swatch of `size` pixels with a thin frame of `border`; its Tag is the fill colour.
    void AppendSwatch(const QColor& fill, const QColor& border, int size);
    void RemoveAt(int index);
    void Clear();
    QString ContentAt(int index) const;
    QVariant TagAt(int index) const;
    int SelectedIndex() const;
    void SelectedIndex(int index);
    bool CanReorderItems() const { return reorder_; }
    void CanReorderItems(bool value);
    // Moves a row as a user's drag does, with the same event; for programmatic moves and tests.
    void MoveItem(int from, int to);
    // With CanDragItems the user drags rows out of the list: DragItemsStarting puts the text into
    // the drag's data.
    bool CanDragItems() const { return drag_out_; }
    void CanDragItems(bool value);
    // Starts a drag of `rows` as the user's does: DragItemsStarting fills the data, which the caller
    // then owns. Used by the drag itself and by tests.
    QMimeData* StartDragItems(const std::vector<int>& rows);

    Event<ListView*, SelectionChangedEventArgs> SelectionChanged;
    Event<ListView*, DragItemsCompletedEventArgs> DragItemsCompleted;
    Event<ListView*, DragItemsStartingEventArgs&> DragItemsStarting;

protected:
    void dropEvent(QDropEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;

private:
    bool reorder_ = false;
    bool drag_out_ = false;
    int last_index_ = -1;
};

// A message bar: closed until IsOpen is set; the user may close it.
class InfoBar : public QFrame {
    Q_OBJECT
public:
    enum class InfoBarSeverity { Informational, Success, Warning, Error };
    explicit InfoBar(QWidget* parent = nullptr);
    bool IsOpen() const { return open_; }
    void IsOpen(bool value);
    QString Title() const;
    void Title(const QString& value);
    QString Message() const;
    void Message(const QString& value);
    InfoBarSeverity Severity() const { return severity_; }
    void Severity(InfoBarSeverity value);

private:
    QLabel* title_;
    QLabel* message_;
    bool open_ = false;
    InfoBarSeverity severity_ = InfoBarSeverity::Informational;
};

// A pivot: headed pages, one shown at a time.
class Pivot : public QWidget {
    Q_OBJECT
public:
    explicit Pivot(QWidget* parent = nullptr);
    int Size() const;
    void Append(const QString& header, QWidget* content);
    QWidget* ItemAt(int index) const;
    int SelectedIndex() const;
    void SelectedIndex(int index);
    QTabWidget* Tabs() const { return tabs_; }

    Event<Pivot*> SelectionChanged;

private:
    QTabWidget* tabs_;
};

// A command button of a command bar: a label, and optionally a flyout menu it opens.
class AppBarButton : public QToolButton {
    Q_OBJECT
public:
    explicit AppBarButton(QWidget* parent = nullptr);
    QString Label() const { return text(); }
    void Label(const QString& value) { setText(value); }
    MenuFlyout* Flyout() const { return flyout_; }
    void Flyout(MenuFlyout* flyout);
    QVariant Tag() const { return tag_; }
    void Tag(const QVariant& value) { tag_ = value; }

    Event<QObject*> Click;

private:
    MenuFlyout* flyout_ = nullptr;
    QVariant tag_;
};

}  // namespace ui
