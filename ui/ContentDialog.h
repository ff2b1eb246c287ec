// A window-modal dialog with up to three buttons. It is opened with open(), never exec(): no nested
// event loop. One content dialog is open at a time.
#pragma once

#include "ui/Action.h"
#include "ui/Event.h"

#include <QDialog>

#include <functional>
#include <optional>

class QDialogButtonBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace ui {

enum class ContentDialogResult { None, Primary, Secondary };
enum class ContentDialogButton { None, Primary, Secondary, Close };

class ContentDialogClosedEventArgs {
public:
    explicit ContentDialogClosedEventArgs(ContentDialogResult result) : result_(result) {}
    ContentDialogResult Result() const { return result_; }

private:
    ContentDialogResult result_;
};

class ContentDialog : public QDialog {
    Q_OBJECT
public:
    explicit ContentDialog(QWidget* parent = nullptr);
    ~ContentDialog() override;

    // The window the dialog belongs to (and is modal for).
    void XamlRoot(QWidget* root);
    QString Title() const { return title_; }
    void Title(const QString& title);
    // Plain text content; the line feeds separate its lines.
    void Content(const QString& text);
    void Content(QWidget* content);
    QString ContentText() const;
    QWidget* ContentWidget() const { return content_; }
    QString PrimaryButtonText() const { return primary_text_; }
    void PrimaryButtonText(const QString& text);
    void SecondaryButtonText(const QString& text);
    void CloseButtonText(const QString& text);
    void DefaultButton(ContentDialogButton button);
    // Asked when the primary button is pressed: a text keeps the dialog open and is shown in it.
    void PrimaryCheck(std::function<QString()> check);
    // The text the last refused primary press showed; empty when none.
    QString ErrorText() const;

    // Shows the dialog; the result comes when it is closed (Escape gives None). Fails when another
    // content dialog is open.
    AsyncOperation<ContentDialogResult> ShowAsync();
    // The same, with None where ShowAsync fails: for callers to whom a dialog that could not open
    // means no answer.
    AsyncOperation<ContentDialogResult> ShowAsyncOrNone();
    // Closes the dialog as if its button had been pressed.
    void Answer(ContentDialogResult result);
    // Closes the dialog from code (one without buttons, say); its result is None.
    void Hide();
    // The dialog that is open now, if any.
    static ContentDialog* Current();

    Event<ContentDialog*, ContentDialogClosedEventArgs> Closed;

    // Test seam: answers each dialog right after it is shown; returning nothing leaves it open.
    using Responder = std::function<std::optional<ContentDialogResult>(ContentDialog&)>;
    static void SetResponder(Responder responder);

protected:
    void reject() override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The screen area the dialog may take.
    QRect room() const;
    void fit();
    void place();
    // The form's size at the width it is shown: a wrapped text needs the height that width gives it.
    QSize form_size(int most_width) const;
    void rebuild_buttons();
    void finish(ContentDialogResult result);

    QString title_;
    QLabel* title_label_;
    QLabel* text_label_;
    QScrollArea* text_area_ = nullptr;
    QScrollArea* content_area_ = nullptr;
    QLabel* error_label_ = nullptr;
    std::function<QString()> primary_check_;
    QWidget* content_ = nullptr;
    bool refit_posted_ = false;
    QSize fitted_form_;
    QVBoxLayout* content_layout_;
    QDialogButtonBox* buttons_;
    QString primary_text_;
    QString secondary_text_;
    QString close_text_;
    ContentDialogButton default_button_ = ContentDialogButton::None;
    std::optional<AsyncOperation<ContentDialogResult>> pending_;
};

}  // namespace ui
