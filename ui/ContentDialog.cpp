#include "ui/ContentDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include <stdexcept>

namespace ui {

namespace {

QPointer<ContentDialog> open_dialog;
ContentDialog::Responder responder;

}  // namespace

ContentDialog::ContentDialog(QWidget* parent)
    : QDialog(parent), title_label_(new QLabel(this)), text_label_(new QLabel(this)), buttons_(new QDialogButtonBox(this)) {
    setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(this);
    QFont big = title_label_->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    title_label_->setFont(big);
    title_label_->setTextFormat(Qt::PlainText);
    title_label_->setWordWrap(true);
    text_label_->setTextFormat(Qt::PlainText);
    text_label_->setWordWrap(true);
    text_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(title_label_);
    content_layout_ = new QVBoxLayout;
    content_layout_->addWidget(text_label_);
    layout->addLayout(content_layout_, 1);
    layout->addWidget(buttons_);
    title_label_->hide();
    text_label_->hide();
}

ContentDialog::~ContentDialog() {
    if (pending_) pending_->Complete(ContentDialogResult::None);
}

void ContentDialog::XamlRoot(QWidget* root) {
    setParent(root, windowFlags() | Qt::Dialog);
    setWindowModality(Qt::WindowModal);
}

void ContentDialog::Title(const QString& title) {
    title_ = title;
    title_label_->setText(title);
    title_label_->setVisible(!title.isEmpty());
    setWindowTitle(QString(title).replace('\n', ' '));
}

void ContentDialog::Content(const QString& text) {
    text_label_->setText(text);
    text_label_->show();
    // A dialog whose text changes while it is open (a progress that becomes its result) grows with it.
    if (isVisible()) adjustSize();
}

void ContentDialog::Content(QWidget* content) {
    if (content_) {
        content_layout_->removeWidget(content_);
        content_->deleteLater();
    }
    content_ = content;
    text_label_->hide();
    if (content_) content_layout_->addWidget(content_);
}

QString ContentDialog::ContentText() const {
    return text_label_->isHidden() ? QString() : text_label_->text();
}

void ContentDialog::PrimaryButtonText(const QString& text) {
    primary_text_ = text;
    rebuild_buttons();
}

void ContentDialog::SecondaryButtonText(const QString& text) {
    secondary_text_ = text;
    rebuild_buttons();
}

void ContentDialog::CloseButtonText(const QString& text) {
    close_text_ = text;
    rebuild_buttons();
}

void ContentDialog::DefaultButton(ContentDialogButton button) {
    default_button_ = button;
    rebuild_buttons();
}

void ContentDialog::rebuild_buttons() {
    buttons_->clear();
    auto add = [this](const QString& text, QDialogButtonBox::ButtonRole role, ContentDialogResult result,
                      ContentDialogButton which) {
        if (text.isEmpty()) return;
        QPushButton* button = buttons_->addButton(text, role);
        button->setDefault(default_button_ == which);
        button->setAutoDefault(default_button_ == which);
        connect(button, &QPushButton::clicked, this, [this, result] { Answer(result); });
    };
    add(primary_text_, QDialogButtonBox::AcceptRole, ContentDialogResult::Primary, ContentDialogButton::Primary);
    add(secondary_text_, QDialogButtonBox::ActionRole, ContentDialogResult::Secondary, ContentDialogButton::Secondary);
    add(close_text_, QDialogButtonBox::RejectRole, ContentDialogResult::None, ContentDialogButton::Close);
}

AsyncOperation<ContentDialogResult> ContentDialog::ShowAsyncOrNone() {
    // Another open dialog is the one way ShowAsync fails.
    if (open_dialog && open_dialog != this) return AsyncOperation<ContentDialogResult>::Completed(ContentDialogResult::None);
    return ShowAsync();
}

AsyncOperation<ContentDialogResult> ContentDialog::ShowAsync() {
    AsyncOperation<ContentDialogResult> op;
    if (open_dialog && open_dialog != this) {
        op.Fail(std::make_exception_ptr(std::runtime_error("only one content dialog can be open at a time")));
        return op;
    }
    if (pending_) return *pending_;
    pending_ = op;
    open_dialog = this;
    open();
    // Typing goes to the dialog at once, also where no window manager hands it the focus.
    activateWindow();
    if (responder) {
        QPointer<ContentDialog> self(this);
        QMetaObject::invokeMethod(
            this,
            [self] {
                if (!self || !self->pending_ || !responder) return;
                if (std::optional<ContentDialogResult> answer = responder(*self)) self->Answer(*answer);
            },
            Qt::QueuedConnection);
    }
    return op;
}

void ContentDialog::Answer(ContentDialogResult result) {
    if (!pending_) return;
    finish(result);
}

void ContentDialog::Hide() {
    if (pending_)
        finish(ContentDialogResult::None);
    else
        hide();
}

void ContentDialog::reject() {
    // Escape and the window's close button.
    if (pending_)
        finish(ContentDialogResult::None);
    else
        QDialog::reject();
}

// The Closed handlers and the awaiting coroutine run after the button's signal has returned.
void ContentDialog::finish(ContentDialogResult result) {
    AsyncOperation<ContentDialogResult> op = *pending_;
    pending_.reset();
    if (open_dialog == this) open_dialog = nullptr;
    hide();
    setResult(result == ContentDialogResult::None ? QDialog::Rejected : QDialog::Accepted);
    QPointer<ContentDialog> self(this);
    post_to_ui([self, result, op] {
        if (self) self->Closed.Invoke(self.data(), ContentDialogClosedEventArgs(result));
        op.Complete(result);
    });
}

ContentDialog* ContentDialog::Current() {
    return open_dialog.data();
}

void ContentDialog::SetResponder(Responder r) {
    responder = std::move(r);
}

}  // namespace ui
