// The program started on its DEMO account, offline, in a data folder of its own, for the window tests.
#pragma once

#include "tests/fakes/fake_server.h"
#include "tests/fakes/maker_fake.h"
#include "tests/fakes/rates_fake.h"
#include "tests/test_support.h"
#include "tests/ui/ui_test_support.h"

#include "app/App.h"
#include "app/MainWindow.h"
#include "app/editor/DocumentPage.h"
#include "ui/ContentDialog.h"

#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace uitest {

// An address where nothing answers: a server that was started and stopped again.
inline std::string unreachable_url() {
    FakeServer gone;
    return gone.url();
}

inline QString tr_key(const char* key) {
    return ui::qs(g_core->translated(key, ""));
}

// The content dialog once it is open and shown.
inline ui::ContentDialog* wait_for_dialog() {
    wait_until([] { return ui::ContentDialog::Current() != nullptr && ui::ContentDialog::Current()->isVisible(); });
    return ui::ContentDialog::Current();
}

// Presses the dialog's button of that text, as the user does, and waits for the dialog to go.
inline void press(ui::ContentDialog* dialog, const QString& text) {
    ASSERT_NE(dialog, nullptr);
    QPushButton* target = nullptr;
    for (QPushButton* b : dialog->findChildren<QPushButton*>())
        if (b->text() == text && b->isVisible()) target = b;
    ASSERT_NE(target, nullptr) << text.toStdString();
    QTest::mouseClick(target, Qt::LeftButton);
    ASSERT_TRUE(wait_until([] { return ui::ContentDialog::Current() == nullptr; }));
}

class DemoProgram {
public:
    DemoProgram()
        : data_(dir_.path() + "data/"),
          env_({{"TAVRIN_CLOUD_URL", unreachable_url()}, {"TAVRIN_DATA_DIR", made(data_)}}),
          maker_env_(maker_.env()),
          rates_env_(rates_.env()) {
        Tavrin::App app;
        app.OnLaunched();
        window = qobject_cast<Tavrin::MainWindow*>(g_main_window.data());
    }
    ~DemoProgram() {
        ui::ContentDialog::SetResponder(nullptr);
        // An unsaved document is dropped without the question.
        if (window && window->document_window)
            if (auto* page = this->page()) page->lines.clear();
        if (window) window->Close();
        delete window;
        ui::ThreadPool::WaitForIdle();
    }

    bool ready() {
        return wait_until([&] {
            return window && window->navigationView->isVisible() && window->navigationView->SelectedItem() &&
                   window->listWebView->IsLoaded();
        });
    }

    Tavrin::DocumentPage* page() const {
        return window->document_window ? qobject_cast<Tavrin::DocumentPage*>(window->document_window->Content()) : nullptr;
    }

    // Opens a document window and waits for its first preview.
    Tavrin::DocumentPage* open(const std::string& record, const char* kind, bool edit) {
        window->OpenDocumentWindow(ui::qs(record), kind, edit, std::string());
        Tavrin::DocumentPage* p = page();
        if (!p || !wait_until([&] { return p->previews_shown > 0; })) return nullptr;
        return p;
    }

    // Closes the document window, answering the discard question with "discard" when it comes.
    void close_document() {
        ui::ContentDialog::SetResponder([](ui::ContentDialog&) { return ui::ContentDialogResult::Primary; });
        if (window->document_window) window->document_window->Close();
        wait_until([&] { return !window->document_window; });
        ui::ContentDialog::SetResponder(nullptr);
    }

    const std::string& data() const { return data_; }
    // The exchange-rate service the program asks.
    RatesFake& rates() { return rates_; }

    Tavrin::MainWindow* window = nullptr;

private:
    static std::string made(const std::string& folder) {
        std::filesystem::create_directories(folder);
        return folder;
    }

    TempDir dir_;
    std::string data_;
    MakerFake maker_;
    ScopedEnv env_;
    ScopedEnv maker_env_;
    RatesFake rates_;
    ScopedEnv rates_env_;
};

}  // namespace uitest
