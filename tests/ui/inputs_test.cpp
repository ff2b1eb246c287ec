// The input controls: change events fire for programmatic and typed changes alike, the user-only
// events only for the user; empty number boxes and date pickers hold no value; lists reorder.
#include "tests/ui/ui_test_support.h"

#include "ui/Inputs.h"
#include "ui/Pickers.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QtTest/QTest>

#include <cmath>
#include <string>
#include <vector>

using uitest::wait_until;

namespace {

ui::Action pick_into(ui::FileOpenPicker* picker, QString* path, bool* done) {
    ui::StorageFile file = co_await picker->PickSingleFileAsync();
    *path = file ? file.Path() : QStringLiteral("(cancelled)");
    *done = true;
}

}  // namespace

TEST(Inputs, TextAndChoiceControlsReportEveryChange) {
    QWidget window;
    std::vector<std::string> seen;

    auto* text = new ui::TextBox(&window);
    text->TextChanged.Add([&](ui::TextBox* box) { seen.push_back("text:" + box->Text().toStdString()); });
    text->Text("one");
    text->Text("one");  // no change, no event
    QTest::keyClicks(text->Editor(), "!");
    text->AcceptsReturn(true);
    EXPECT_EQ(text->Text(), "one!");
    text->Text("a\nb");
    EXPECT_EQ(qobject_cast<QPlainTextEdit*>(text->Editor())->toPlainText(), "a\nb");

    auto* password = new ui::PasswordBox(&window);
    password->PasswordChanged.Add([&](ui::PasswordBox* box) { seen.push_back("pwd:" + box->Password().toStdString()); });
    password->Password("s3cret");
    EXPECT_EQ(password->Editor()->echoMode(), QLineEdit::Password);

    auto* combo = new ui::ComboBox(&window);
    combo->SelectionChanged.Add([&](ui::ComboBox*, ui::SelectionChangedEventArgs args) {
        seen.push_back("sel:" + std::to_string(args.OldIndex()) + ">" + std::to_string(args.NewIndex()));
    });
    combo->DropDownClosed.Add([&](ui::ComboBox* box) { seen.push_back("closed:" + std::to_string(box->SelectedIndex())); });
    combo->Append("Forint", "HUF");
    combo->Append("Euro", "EUR");
    EXPECT_EQ(combo->SelectedIndex(), -1) << "items alone select nothing";
    EXPECT_FALSE(combo->SelectedTag().isValid());
    combo->SelectedIndex(1);
    EXPECT_EQ(combo->SelectedTag().toString(), "EUR");
    combo->SelectedItem("Forint");
    combo->SelectedIndex(7);  // out of range: no selection
    combo->SelectedIndex(0);
    combo->List()->showPopup();  // the user opens and closes the list
    combo->List()->hidePopup();
    ASSERT_TRUE(wait_until([&] { return !seen.empty() && seen.back().rfind("closed:", 0) == 0; }));
    combo->Clear();

    auto* check = new ui::CheckBox(&window);
    check->Checked.Add([&](ui::CheckBox*) { seen.push_back("checked"); });
    check->Unchecked.Add([&](ui::CheckBox*) { seen.push_back("unchecked"); });
    check->IsChecked(true);

    auto* toggle = new ui::ToggleSwitch(&window);
    toggle->Toggled.Add([&](ui::ToggleSwitch* t) { seen.push_back(std::string("on:") + (t->IsOn() ? "1" : "0")); });
    toggle->IsOn(true);

    auto* radios = new ui::RadioButtons(&window);
    radios->Append("dates");
    radios->Append(new QLineEdit);
    radios->SelectionChanged.Add([&](ui::RadioButtons*, ui::SelectionChangedEventArgs args) {
        seen.push_back("radio:" + std::to_string(args.NewIndex()));
    });
    radios->SelectedIndex(0);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QTest::mouseClick(check->Box(), Qt::LeftButton);
    QTest::mouseClick(radios->ButtonAt(1), Qt::LeftButton);

    const std::vector<std::string> expected{
        "text:one", "text:one!", "text:a\nb", "pwd:s3cret",
        "sel:-1>1", "sel:1>0", "sel:0>-1", "sel:-1>0", "closed:0", "sel:0>-1",
        "checked", "on:1", "radio:0", "unchecked", "radio:1"};
    EXPECT_EQ(seen, expected);
}

TEST(Inputs, NumbersDatesAndColoursHoldNoValueWhenEmpty) {
    QWidget window;
    std::vector<std::string> seen;

    auto* number = new ui::NumberBox(&window);
    EXPECT_TRUE(std::isnan(number->Value()));
    number->ValueChanged.Add([&](ui::NumberBox*, ui::NumberBoxValueChangedEventArgs args) {
        seen.push_back(std::isnan(args.NewValue()) ? "nan" : std::to_string(args.NewValue()));
    });
    number->Value(2.5);
    EXPECT_EQ(number->Text(), "2.5");
    number->Editor()->clear();
    QTest::keyClicks(number->Editor(), "1,25");
    QTest::keyClick(number->Editor(), Qt::Key_Return);
    EXPECT_EQ(number->Value(), 1.25);
    number->Editor()->setText("abc");
    QTest::keyClick(number->Editor(), Qt::Key_Return);
    EXPECT_EQ(number->Text(), "1.25") << "text that is no number gives the last value back";
    number->Editor()->clear();
    QTest::keyClick(number->Editor(), Qt::Key_Return);
    EXPECT_TRUE(std::isnan(number->Value())) << "a cleared box holds no number";
    number->Maximum(10);
    number->Value(12);
    EXPECT_EQ(number->Value(), 10);
    number->Value(10);  // unchanged: no event

    auto* date = new ui::CalendarDatePicker(&window);
    EXPECT_FALSE(date->Date().has_value());
    date->DateChanged.Add([&](ui::CalendarDatePicker*, ui::CalendarDatePickerDateChangedEventArgs args) {
        seen.push_back(args.NewDate() ? args.NewDate()->toString(Qt::ISODate).toStdString() : "no date");
    });
    date->Date(QDate(2024, 2, 29));
    date->Date(QDate(2024, 2, 29));
    date->Date(QDate());  // invalid: none
    date->Date(std::nullopt);
    EXPECT_FALSE(date->Date().has_value());
    date->Editor()->setDate(QDate(2025, 1, 31));  // as the calendar sets it
    EXPECT_EQ(date->Date(), QDate(2025, 1, 31));

    auto* colour = new ui::ColorPicker(&window);
    colour->ColorChanged.Add([&](ui::ColorPicker* p) { seen.push_back(p->Color().name().toStdString()); });
    colour->Color(QColor("#336699"));

    const std::vector<std::string> expected{"2.500000", "1.250000", "nan", "10.000000",
                                            "2024-02-29", "no date", "2025-01-31", "#336699"};
    EXPECT_EQ(seen, expected);
}

TEST(Inputs, ListsReorderAndPickersAnswerThroughTheResponder) {
    ui::ListView list;
    for (const char* tag : {"HU", "AT", "DE"}) list.Append(QString("Country ") + tag, QString(tag));
    std::vector<std::string> seen;
    list.SelectionChanged.Add([&](ui::ListView*, ui::SelectionChangedEventArgs args) {
        seen.push_back("sel:" + std::to_string(args.NewIndex()));
    });
    list.DragItemsCompleted.Add([&](ui::ListView* l, ui::DragItemsCompletedEventArgs) {
        std::string order;
        for (int i = 0; i < l->Size(); ++i) order += l->TagAt(i).toString().toStdString();
        seen.push_back("order:" + order);
    });
    list.CanReorderItems(true);
    EXPECT_EQ(list.dragDropMode(), QAbstractItemView::InternalMove);
    list.SelectedIndex(0);
    list.MoveItem(0, 2);
    EXPECT_EQ(list.SelectedIndex(), 2) << "the moved row stays selected";
    list.SetAt(1, "Germany", "DE");
    list.MoveItem(5, 0);  // out of range: nothing
    list.RemoveAt(0);
    EXPECT_EQ(list.ContentAt(0), "Germany");
    EXPECT_EQ(list.SelectedIndex(), 1);
    const std::vector<std::string> expected{"sel:0", "order:ATDEHU"};
    EXPECT_EQ(seen, expected);

    ui::InfoBar bar;
    bar.Title("Found");
    EXPECT_FALSE(bar.IsOpen());
    bar.IsOpen(true);
    EXPECT_TRUE(bar.IsOpen());

    ui::FileOpenPicker picker;
    picker.FileTypeFilter({".csv"});
    QStringList filters;
    ui::FilePicker::SetResponder([&](const ui::FilePicker& p) {
        filters = p.Filters();
        return QString("/tmp/clients.csv");
    });
    QString path;
    bool done = false;
    pick_into(&picker, &path, &done);
    ASSERT_TRUE(wait_until([&] { return done; }));
    EXPECT_EQ(path, "/tmp/clients.csv");
    EXPECT_EQ(filters, QStringList{".csv (*.csv)"});
    ui::FilePicker::SetResponder([](const ui::FilePicker&) { return QString(); });
    done = false;
    pick_into(&picker, &path, &done);
    ASSERT_TRUE(wait_until([&] { return done; }));
    EXPECT_EQ(path, "(cancelled)");
    ui::FilePicker::SetResponder(nullptr);
}
