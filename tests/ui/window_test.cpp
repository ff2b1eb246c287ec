// The main window as a user meets it on the DEMO account: every command within the window from
// 800x600 up, tabs that stay where they are whatever the title button shows, and every text of the
// program drawn with real glyphs by the widgets and by the browser engine.
#include "tests/fakes/maker_fake.h"
#include "tests/test_support.h"
#include "tests/ui/ui_test_support.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "core/Core.h"

#include <QAbstractButton>
#include <QScrollBar>
#include <QApplication>
#include <QGlyphRun>
#include <QLineEdit>
#include <QScrollArea>
#include <QScreen>
#include <QTabBar>
#include <QTextLayout>
#include <QTreeWidget>

#include <filesystem>
#include <set>
#include <vector>

using json11::Json;
using uitest::script;
using uitest::wait_for_script;
using uitest::wait_until;

namespace {

const QString kRowCount = "document.querySelectorAll('#list tbody tr').length";

std::string unreachable_url() {
    FakeServer gone;
    return gone.url();
}

// The program started offline on the DEMO account in its own data folder, closed at the end.
class DemoWindow {
public:
    DemoWindow()
        : data_(dir_.path() + "data/"),
          env_({{"TAVRIN_CLOUD_URL", unreachable_url()}, {"TAVRIN_DATA_DIR", data_}}),
          maker_env_(maker_.env()) {
        std::filesystem::create_directories(data_);
        Tavrin::App app;
        app.OnLaunched();
        window_ = qobject_cast<Tavrin::MainWindow*>(g_main_window.data());
    }
    ~DemoWindow() {
        if (window_) window_->Close();
        delete window_;
        ui::ThreadPool::WaitForIdle();
    }

    Tavrin::MainWindow* window() const { return window_; }

    // The invoice list is shown with its rows.
    bool ready() const {
        return window_ &&
               wait_until([&] {
                   return window_->navigationView->isVisible() && window_->navigationView->SelectedItem() &&
                          window_->listWebView->IsLoaded();
               }) &&
               wait_for_script(window_->listWebView, kRowCount + " > 0", "true") == "true";
    }

private:
    TempDir dir_;
    std::string data_;
    MakerFake maker_;
    ScopedEnv env_;
    ScopedEnv maker_env_;
    Tavrin::MainWindow* window_ = nullptr;
};

// Lets the layouts follow what the last step changed.
void settle() {
    for (int i = 0; i < 3; ++i) {
        QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QCoreApplication::processEvents();
    }
}

bool inside(const QTabBar* bar, const QWidget* widget) {
    for (const QWidget* p = widget; p; p = p->parentWidget())
        if (p == bar) return true;
    return false;
}

// What the user clicks or reads in the tool bar and under the list: buttons, drop-down buttons, the
// search box and the page label, as far as they are shown. The tab bar's own close buttons and arrows
// are left to the tab bar.
std::vector<QWidget*> shown_commands(Tavrin::MainWindow* w) {
    std::vector<QWidget*> commands;
    for (QAbstractButton* b : w->findChildren<QAbstractButton*>())
        if (b->isVisible() && !inside(w->tabView->tabBar(), b)) commands.push_back(b);
    for (QWidget* other : {static_cast<QWidget*>(w->searchBox), static_cast<QWidget*>(w->listPageText)})
        if (other->isVisible()) commands.push_back(other);
    return commands;
}

// Every shown command lies whole inside the window (scrolled to, on a page that scrolls up and down)
// and has at least the room its text needs.
void expect_commands_inside(Tavrin::MainWindow* w, const std::string& where) {
    const std::vector<QWidget*> commands = shown_commands(w);
    EXPECT_GE(commands.size(), 6u) << where;
    for (QWidget* c : commands) {
        // A command on a page that scrolls is reached by scrolling down to it, never sideways.
        for (QWidget* up = c->parentWidget(); up; up = up->parentWidget())
            if (auto* scroller = qobject_cast<QScrollArea*>(up)) {
                scroller->ensureWidgetVisible(c, 0, 0);
                EXPECT_EQ(scroller->horizontalScrollBar()->value(), 0) << where << ": " << ui::Name(c);
                break;
            }
        const QRect place(c->mapTo(w, QPoint(0, 0)), c->size());
        const std::string name = ui::Name(c).empty() ? ui::utf8(c->property("text").toString()) : ui::Name(c);
        EXPECT_TRUE(w->rect().contains(place)) << where << ": " << name << " at " << place.x() << "," << place.y()
                                                << " " << place.width() << "x" << place.height();
        if (c != w->tabTitleButton) {
            EXPECT_GE(c->width(), c->minimumSizeHint().width()) << where << ": " << name << " is squeezed";
        }
    }
}

// Where the tabs lie in the window, by their left edges.
std::vector<int> tab_edges(Tavrin::MainWindow* w) {
    std::vector<int> edges;
    QTabBar* bar = w->tabView->tabBar();
    for (int i = 0; i < bar->count(); ++i) edges.push_back(bar->mapTo(w, bar->tabRect(i).topLeft()).x());
    return edges;
}

void click_tab_at(Tavrin::MainWindow* w, int window_x) {
    QTabBar* bar = w->tabView->tabBar();
    const QPoint at = bar->mapFrom(w, QPoint(window_x + 8, bar->mapTo(w, bar->tabRect(0).center()).y()));
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, at);
}

std::string json_string(const std::string& text) {
    std::string error;
    return Json::parse(text, error).string_value();
}

// Opens the record of the list's first row in its tab, by a click in the page.
void open_first_row(Tavrin::MainWindow* w) {
    const int tabs = w->tabView->Size();
    // The list the tab names is drawn (until then the view is covered).
    ASSERT_TRUE(wait_until([&] { return w->listCover->isHidden(); }));
    ASSERT_EQ(wait_for_script(w->listWebView, kRowCount + " > 0", "true"), "true");
    const std::string first = script(w->listWebView, "document.querySelector('#list tbody tr').id");
    ASSERT_FALSE(json_string(first).empty());
    script(w->listWebView, QString::fromStdString("document.getElementById(" + first + ").click(); 1"));
    ASSERT_TRUE(wait_until([&] { return w->tabView->Size() == tabs + 1; }));
}

// The texts the program shows in both languages: the translation tables, the currency list, the
// list footer (totals line and page label) and the symbols of the window's own controls.
std::vector<QString> shown_texts(Tavrin::MainWindow* w) {
    std::vector<QString> texts;
    for (const char* language : {"en", "hu"})
        for (const auto& [key, value] : g_core->translations[language].object_items()) texts.push_back(ui::qs(value.string_value()));
    for (const Json& currency : g_core->constants["currencies"].array_items()) texts.push_back(ui::qs(currency.string_value()));
    texts.push_back(w->listSummaryText->Text());
    texts.push_back(w->listPageText->Text());
    texts.push_back(ui::qs(Tavrin::page_label(false, 250, 1)));
    texts.push_back(w->listPageBackButton->Content() + w->listPageForwardButton->Content() + w->actionPaid->Text());
    return texts;
}

// What a line of text draws: white space and invisible format marks draw nothing by design.
bool drawn(char32_t c) {
    const QChar::Category category = QChar::category(c);
    return !QChar::isSpace(c) && category != QChar::Other_Format && category != QChar::Other_Control;
}

QString drawn_part(const QString& text) {
    QString out;
    for (char32_t c : text.toUcs4())
        if (drawn(c)) out += QString::fromUcs4(&c, 1);
    return out;
}

// The characters of `text` that the font (with Qt's fallbacks) has no glyph for: glyph 0 is the
// missing-glyph box.
QString qt_missing(const QFont& font, const QString& text) {
    QString missing;
    for (char32_t c : drawn_part(text).toUcs4()) {
        QTextLayout layout(QString::fromUcs4(&c, 1), font);
        layout.beginLayout();
        layout.createLine();
        layout.endLayout();
        const QList<QGlyphRun> runs = layout.glyphRuns();
        bool ok = !runs.isEmpty();
        for (const QGlyphRun& run : runs)
            for (quint32 glyph : run.glyphIndexes())
                if (glyph == 0) ok = false;
        if (!ok) missing += QString::fromUcs4(&c, 1);
    }
    return missing;
}

// A script for the list view that gives the characters of `chars` the browser engine has no glyph
// for: each, drawn on a canvas in the list's font, must differ from what the engine draws for a
// character no font has (U+0378 is unassigned) and from nothing at all.
QString web_missing_script(const QString& chars) {
    return "(function (chars) {"
           "  var cell = document.querySelector('#list td') || document.body;"
           "  var font = '24px ' + getComputedStyle(cell).fontFamily;"
           "  var canvas = document.createElement('canvas'); canvas.width = 48; canvas.height = 48;"
           "  var g = canvas.getContext('2d');"
           "  function picture(c) {"
           "    g.clearRect(0, 0, 48, 48); g.font = font; g.fillStyle = '#000'; g.textBaseline = 'middle';"
           "    g.fillText(c, 8, 24);"
           "    return Array.prototype.join.call(g.getImageData(0, 0, 48, 48).data, '');"
           "  }"
           "  var box = picture('\\u0378'), nothing = picture('');"
           "  var missing = '';"
           "  Array.from(chars).forEach(function (c) { var p = picture(c); if (p === box || p === nothing) missing += c; });"
           "  return missing;"
           "})(" +
           ui::qs(Json(ui::utf8(chars)).dump()) + ")";
}

}  // namespace

TEST(WindowFit, EveryCommandStaysInsideTheWindowFrom800x600Up) {
    DemoWindow program;
    Tavrin::MainWindow* w = program.window();
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(program.ready());
    QTreeWidget* pane = w->navigationView->Pane();

    // It opens inside the screen's free area, however small the screen (the headless one is 800x600).
    EXPECT_TRUE(w->screen()->availableGeometry().contains(w->geometry()));
    EXPECT_LE(w->minimumWidth(), 800);
    EXPECT_LE(w->minimumHeight(), 600);
    w->resize(800, 600);
    settle();
    ASSERT_EQ(w->size(), QSize(800, 600));
    // The navigation gives up room in a narrow window, and takes it back in a wide one.
    EXPECT_LT(pane->width(), 200);

    // Every section of the navigation, the settings included, with its own commands.
    std::vector<ui::NavigationViewItem*> sections(w->listItems.begin(), w->listItems.end());
    sections.push_back(w->navigationView->SettingsItem());
    for (ui::NavigationViewItem* section : sections) {
        w->navigationView->SelectedItem(section);
        settle();
        // Nothing in the window asks for more room than it has.
        EXPECT_LE(w->minimumSizeHint().width(), 800) << ui::Name(section);
        EXPECT_LE(w->minimumSizeHint().height(), 600) << ui::Name(section);
        expect_commands_inside(w, ui::Name(section));
    }

    // A record tab brings its command menu; a long totals line under a filtered list wraps.
    w->navigationView->SelectedItem(w->listItems[3]);
    open_first_row(w);
    settle();
    expect_commands_inside(w, "invoice tab");
    w->tabView->SelectedIndex(0);
    w->listSummaryText->Text(w->listSummaryText->Text() + ", " + w->listSummaryText->Text());
    settle();
    expect_commands_inside(w, "long totals line");
    EXPECT_LE(w->minimumSizeHint().width(), 800);

    w->resize(1280, 800);
    settle();
    EXPECT_EQ(pane->width(), 230);
    expect_commands_inside(w, "1280x800");

    // The document window opens inside the screen's free area, and at 800x600 every control of
    // its page is reached, the side column scrolling down to it, never sideways.
    w->OpenDocumentWindow(QString(), QString(), false, std::string());
    ui::Window* document = w->document_window;
    ASSERT_NE(document, nullptr);
    settle();
    EXPECT_TRUE(document->screen()->availableGeometry().contains(document->geometry()));
    EXPECT_LE(document->minimumSizeHint().width(), 800);
    document->resize(800, 600);
    settle();
    int reached = 0;
    for (QWidget* c : document->findChildren<QWidget*>()) {
        if (!c->isVisible() || !(qobject_cast<QAbstractButton*>(c) || qobject_cast<QLineEdit*>(c))) continue;
        for (QWidget* up = c->parentWidget(); up; up = up->parentWidget())
            if (auto* scroller = qobject_cast<QScrollArea*>(up)) {
                scroller->ensureWidgetVisible(c, 0, 0);
                EXPECT_EQ(scroller->horizontalScrollBar()->value(), 0) << ui::Name(c);
                break;
            }
        const QRect place(c->mapTo(document, QPoint(0, 0)), c->size());
        EXPECT_TRUE(document->rect().contains(place)) << ui::Name(c) << " at " << place.x() << "," << place.y();
        EXPECT_GE(c->width(), c->minimumSizeHint().width()) << ui::Name(c) << " is squeezed";
        ++reached;
    }
    EXPECT_GE(reached, 12);
}

TEST(WindowFit, TheTitleButtonNeverMovesTheTabs) {
    DemoWindow program;
    Tavrin::MainWindow* w = program.window();
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(program.ready());
    w->resize(800, 600);
    settle();

    // The list tab alone: its header is the title.
    const int list_tab = tab_edges(w).at(0);
    const int title_width = w->tabTitleButton->width();
    EXPECT_EQ(w->tabTitleButton->Content(), w->homeTabItem->Header());

    // A document opens in a tab of its own and the title takes its (longer) header: no tab moves.
    open_first_row(w);
    settle();
    ASSERT_EQ(w->tabView->SelectedIndex(), 1);
    EXPECT_EQ(w->tabTitleButton->Content(), w->tabView->GetAt(1)->Header());
    EXPECT_NE(w->tabTitleButton->Content(), w->homeTabItem->Header());
    const std::vector<int> edges = tab_edges(w);
    EXPECT_EQ(edges.at(0), list_tab);
    EXPECT_EQ(w->tabTitleButton->width(), title_width);

    // Clicks where the tabs were land on those tabs, one after the other.
    for (int round = 0; round < 2; ++round) {
        click_tab_at(w, edges[0]);
        settle();
        EXPECT_EQ(w->tabView->SelectedIndex(), 0) << round;
        EXPECT_EQ(tab_edges(w), edges);
        click_tab_at(w, edges[1]);
        settle();
        EXPECT_EQ(w->tabView->SelectedIndex(), 1) << round;
        EXPECT_EQ(tab_edges(w), edges);
    }

    // A section without a title hides the button and leaves its place; a client's tab fills it again.
    w->navigationView->SelectedItem(w->listItems[1]);
    settle();
    ASSERT_EQ(ui::Name(w->navigationView->SelectedItem()), "clients");
    EXPECT_EQ(ui::GetVisibility(w->tabTitleButton), ui::Visibility::Collapsed);
    EXPECT_EQ(tab_edges(w).at(0), list_tab);
    open_first_row(w);
    settle();
    EXPECT_EQ(ui::GetVisibility(w->tabTitleButton), ui::Visibility::Visible);
    EXPECT_EQ(tab_edges(w).at(0), list_tab);

    // A header too long for the button is shortened there, whole in its tool tip.
    const QString long_header = QString::fromUtf8("Hosszú nevű partner és még hosszabb folytatása a fejlécnek");
    w->tabView->SelectedIndex(0);
    w->homeTabItem->Header(long_header);
    w->OnTabSelectionChanged();
    settle();
    EXPECT_EQ(w->tabTitleButton->Content(), long_header);
    EXPECT_TRUE(w->tabTitleButton->text().endsWith(QChar(0x2026))) << w->tabTitleButton->text().toStdString();
    EXPECT_EQ(w->tabTitleButton->toolTip(), long_header);
    EXPECT_EQ(w->tabTitleButton->width(), title_width);
    EXPECT_EQ(tab_edges(w).at(0), list_tab);
}

TEST(Fonts, EveryTextOfTheProgramIsDrawnWithRealGlyphs) {
    DemoWindow program;
    Tavrin::MainWindow* w = program.window();
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(program.ready());
    // The footer of the invoice list holds the full-width dash of its date range and page label.
    ASSERT_NE(w->listSummaryText->Text().indexOf(QChar(0xFF0D)), -1);
    ASSERT_NE(w->listPageText->Text().indexOf(QChar(0xFF0D)), -1);
    const std::vector<QString> texts = shown_texts(w);
    ASSERT_GT(texts.size(), 600u);

    std::set<char32_t> characters;
    for (const QString& text : texts)
        for (char32_t c : drawn_part(text).toUcs4()) characters.insert(c);
    QString all;
    for (char32_t c : characters) all += QString::fromUcs4(&c, 1);

    // The widgets: the fonts of the list footer and of the window.
    for (const QFont& font : {w->listPageText->font(), w->listSummaryText->font(), w->font()})
        EXPECT_EQ(qt_missing(font, all).toStdString(), "") << font.family().toStdString();
    EXPECT_EQ(qt_missing(w->font(), QString("A") + QChar(0x0378)).toStdString(), "\xCD\xB8");

    // The browser engine, in the list view, in the list's font.
    EXPECT_EQ(json_string(script(w->listWebView, web_missing_script(all))), "");
    // The probe tells a missing glyph: the unassigned character is reported, a letter is not.
    EXPECT_EQ(json_string(script(w->listWebView, web_missing_script(QString("A") + QChar(0x0378)))), "\xCD\xB8");
}
