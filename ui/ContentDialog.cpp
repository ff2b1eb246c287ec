#include "ui/ContentDialog.h"

#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
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
    // The text scrolls only when it is taller than the screen leaves room for.
    text_area_ = new QScrollArea(this);
    text_area_->setFrameShape(QFrame::NoFrame);
    text_area_->setWidgetResizable(true);
    text_area_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    text_area_->setWidget(text_label_);
    text_label_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    content_area_ = new QScrollArea(this);
    content_area_->setFrameShape(QFrame::NoFrame);
    content_area_->setWidgetResizable(true);
    content_area_->hide();
    content_layout_ = new QVBoxLayout;
    content_layout_->addWidget(text_area_);
    content_layout_->addWidget(content_area_);
    layout->addLayout(content_layout_, 1);
    error_label_ = new QLabel(this);
    error_label_->setObjectName("contentDialogError");
    error_label_->setTextFormat(Qt::PlainText);
    error_label_->setWordWrap(true);
    error_label_->setStyleSheet("color: #c42b1c; font-weight: bold;");
    error_label_->hide();
    layout->addWidget(error_label_);
    layout->addWidget(buttons_);
    title_label_->hide();
    text_label_->hide();
    text_area_->hide();
}

QRect ContentDialog::room() const {
    const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    QScreen* screen = owner && owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
}

// A word-wrapped label inside a window gets no height for its width from the layout: the dialog
// gives the title and the text a width of their own and the height that width needs, so the text
// is never cut off nor hidden behind the buttons. A text or a form taller than the screen scrolls
// inside the dialog, which stays within the screen's free area.
void ContentDialog::fit() {
    const QRect screen = room();
    const int widest = std::max(240, std::min(560, screen.width() - 80));
    auto width_for = [widest](const QLabel* label) {
        int natural = 0;
        const QFontMetrics metrics(label->font());
        for (const QString& line : label->text().split('\n')) natural = std::max(natural, metrics.horizontalAdvance(line));
        return std::clamp(natural + 8, std::min(320, widest), widest);
    };
    const bool title = !title_label_->isHidden();
    const bool text = !text_label_->isHidden();
    int width = 0;
    const QSize form = content_ ? form_size(screen.width() - 60) : QSize();
    fitted_form_ = form;
    if (content_) width = std::min(form.width(), screen.width() - 60);
    if (title) width = std::max(width, std::min(width_for(title_label_), content_ ? std::max(width, 320) : widest));
    if (text) width = std::max(width, width_for(text_label_));
    if (title) {
        title_label_->setMinimumWidth(std::min(width, width_for(title_label_)));
        title_label_->setMinimumHeight(title_label_->heightForWidth(width));
    }
    // Around the text: the layout's margins and spacing, the buttons, the title and the window's
    // title bar (as place() allows for it), so that a text that fits is not made to scroll.
    const QMargins margins = layout() ? layout()->contentsMargins() : QMargins();
    const int spacing = layout() ? std::max(0, layout()->spacing()) : 0;
    const int chrome = margins.top() + margins.bottom() + 32 + 8 + buttons_->sizeHint().height() + spacing +
                       (title ? title_label_->minimumHeight() + spacing : 0) +
                       (error_label_->isHidden() ? 0 : error_label_->minimumHeight() + spacing);
    const int most = std::max(80, screen.height() - chrome);
    if (text) {
        const int needed = text_label_->heightForWidth(width);
        text_label_->setMinimumSize(width, needed);
        text_area_->setMinimumSize(width, std::min(needed, most));
    }
    if (content_) {
        const int bar = form.height() > most ? content_area_->verticalScrollBar()->sizeHint().width() : 0;
        // A form that fits gets no scroll bar: one shown while the dialog was still being laid out
        // would narrow a wrapped text, which then needs the bar for good.
        content_area_->setVerticalScrollBarPolicy(bar > 0 ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
        content_area_->setMinimumSize(std::min(form.width() + bar, screen.width() - 40), std::min(form.height(), most));
    }
    if (layout()) layout()->activate();
    const QSize wanted = sizeHint().expandedTo(minimumSizeHint());
    resize(std::min(wanted.width(), screen.width()), std::min(wanted.height(), screen.height()));
    place();
}

QSize ContentDialog::form_size(int most_width) const {
    QSize form = content_->sizeHint().expandedTo(content_->minimumSizeHint()).expandedTo(content_->minimumSize());
    if (content_->hasHeightForWidth())
        form.setHeight(std::max(form.height(), content_->heightForWidth(std::min(form.width(), most_width))));
    return form;
}

// A form that grows while the dialog is open (a message shown in it) makes the dialog grow with it,
// instead of scrolling inside a dialog that has room to spare.
bool ContentDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == content_ && event->type() == QEvent::LayoutRequest && isVisible() && !refit_posted_) {
        refit_posted_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                refit_posted_ = false;
                if (!content_ || !isVisible()) return;
                const QSize form = form_size(room().width() - 60);
                if (form.height() > fitted_form_.height() || form.width() > fitted_form_.width()) fit();
            },
            Qt::QueuedConnection);
    }
    return QDialog::eventFilter(watched, event);
}

// Over the middle of its window, inside the screen's free area.
void ContentDialog::place() {
    const QRect screen = room();
    const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    QPoint centre = owner ? owner->frameGeometry().center() : screen.center();
    QRect frame = frameGeometry();
    // The frame is not known before the first show: a title bar is allowed for.
    const QSize outer = frame.size().expandedTo(size() + QSize(0, 32));
    const int x = std::clamp(centre.x() - outer.width() / 2, screen.left(), std::max(screen.left(), screen.right() + 1 - outer.width()));
    const int y = std::clamp(centre.y() - outer.height() / 2, screen.top(), std::max(screen.top(), screen.bottom() + 1 - outer.height()));
    move(x, y);
}

void ContentDialog::showEvent(QShowEvent* event) {
    fit();
    QDialog::showEvent(event);
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
    if (isVisible()) fit();
}

void ContentDialog::Content(const QString& text) {
    text_label_->setText(text);
    text_label_->show();
    text_area_->show();
    // A dialog whose text changes while it is open (a progress that becomes its result) grows with it.
    if (isVisible()) fit();
}

void ContentDialog::Content(QWidget* content) {
    if (content_) content_area_->takeWidget()->deleteLater();
    content_ = content;
    text_label_->hide();
    text_area_->hide();
    content_area_->setVisible(content_ != nullptr);
    if (content_) {
        content_area_->setWidget(content_);
        content_->installEventFilter(this);
    }
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

void ContentDialog::PrimaryCheck(std::function<QString()> check) {
    primary_check_ = std::move(check);
}

QString ContentDialog::ErrorText() const {
    return error_label_->isHidden() ? QString() : error_label_->text();
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
    if (result == ContentDialogResult::Primary && primary_check_) {
        const QString problem = primary_check_();
        error_label_->setText(problem);
        error_label_->setVisible(!problem.isEmpty());
        if (!problem.isEmpty()) {
            // Wrapped at the dialog's width, with the height that needs.
            const int width = std::max(240, layout()->contentsRect().width());
            error_label_->setMinimumHeight(error_label_->heightForWidth(width));
            fit();
            return;
        }
    }
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
