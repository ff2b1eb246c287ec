// Drives the content dialogs of a test: each dialog shown is handed to the next queued answer, which
// may fill its controls and gives the button pressed (nothing leaves it open, as a progress dialog
// stays). Counts the dialogs shown and gone.
#pragma once

#include "ui/ContentDialog.h"
#include "ui/Inputs.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>

namespace uitest {

class Dialogs {
public:
    using Result = ui::ContentDialogResult;
    using Answer = std::function<std::optional<Result>(ui::ContentDialog&)>;

    Dialogs() {
        ui::ContentDialog::SetResponder([this](ui::ContentDialog& dialog) -> std::optional<Result> {
            ++shown;
            // A dialog may outlive the test (its window is deleted as the program ends): the count
            // goes with this driver.
            QObject::connect(&dialog, &QObject::destroyed, &lifetime, [this] { ++gone; });
            if (answers.empty()) {
                ADD_FAILURE() << "unexpected dialog: " << dialog.Title().toStdString() << " "
                              << dialog.ContentText().toStdString();
                return Result::None;
            }
            Answer answer = std::move(answers.front());
            answers.pop_front();
            return answer(dialog);
        });
    }
    ~Dialogs() { ui::ContentDialog::SetResponder(nullptr); }
    Dialogs(const Dialogs&) = delete;
    Dialogs& operator=(const Dialogs&) = delete;

    QObject lifetime;
    std::deque<Answer> answers;
    int shown = 0;
    int gone = 0;
};

// The control of type T in a dialog whose caption is `header`.
template <class T>
T* control(QWidget& dialog, const std::string& header) {
    for (T* found : dialog.findChildren<T*>())
        if (found->Header().toStdString() == header) return found;
    ADD_FAILURE() << "no control captioned " << header;
    return nullptr;
}

}  // namespace uitest
