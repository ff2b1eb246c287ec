#include "ui/Printing.h"

#include "ui/Pickers.h"
#include "ui/Threading.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QPageRanges>
#include <QPainter>
#include <QPdfDocument>
#include <QPrintDialog>
#include <QPrinter>
#include <QScreen>
#include <QTimer>

#include <algorithm>

namespace ui {

namespace {

PrintDialog::Responder responder;

// Pages are drawn as pictures of this resolution at most: sharp on paper, and an A4 page stays
// a few tens of megabytes in memory.
constexpr int kMaxDotsPerInch = 300;

// Loads `document` from the bytes in `buffer`, which must live as long as the document is read.
bool load_pdf(QPdfDocument& document, QBuffer& buffer, const QByteArray& pdf) {
    buffer.setData(pdf);
    if (!buffer.open(QIODevice::ReadOnly)) return false;
    document.load(&buffer);
    return document.status() == QPdfDocument::Status::Ready && document.pageCount() > 0;
}

bool print_pdf(const QByteArray& pdf, QPrinter& printer) {
    QBuffer buffer;
    QPdfDocument document;
    if (!load_pdf(document, buffer, pdf)) return false;

    // The document brings its own margins: it is laid on the whole sheet.
    printer.setFullPage(true);
    const QPageRanges chosen = printer.pageRanges();
    QPainter painter;
    bool first = true;
    const int dpi = std::min(printer.resolution(), kMaxDotsPerInch);
    for (int page = 0; page < document.pageCount(); ++page) {
        if (!chosen.isEmpty() && !chosen.contains(page + 1)) continue;
        if (first ? !painter.begin(&printer) : !printer.newPage()) return false;
        first = false;
        const QSizeF points = document.pagePointSize(page);
        const QImage picture = document.render(page, (points * dpi / 72.0).toSize());
        if (picture.isNull()) return false;
        // Scaled to the sheet, its proportions kept, centred.
        const QRect sheet = painter.viewport();
        const QSize fitted = picture.size().scaled(sheet.size(), Qt::KeepAspectRatio);
        const QRect target(sheet.left() + (sheet.width() - fitted.width()) / 2,
                           sheet.top() + (sheet.height() - fitted.height()) / 2, fitted.width(), fitted.height());
        painter.drawImage(target, picture);
    }
    return !first && painter.end();
}

// Qt's printer properties dialog is taller than the free area of a small screen where it opens: a
// window the print dialog opens is moved into that area (and made as small as it goes) when shown.
class KeepOnScreen : public QObject {
public:
    explicit KeepOnScreen(QWidget* dialog) : QObject(dialog), dialog_(dialog) { qApp->installEventFilter(this); }

    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* window = event->type() == QEvent::Show ? qobject_cast<QWidget*>(watched) : nullptr;
        if (window && window->isWindow() && opened_by_dialog(window)) fit_once_framed(window, kFrameTries);
        return false;
    }

private:
    bool opened_by_dialog(const QWidget* window) const {
        for (const QWidget* up = window->parentWidget(); up; up = up->parentWidget())
            if (up == dialog_) return true;
        return false;
    }

    // The window's frame comes from the window manager after the window is shown; until it is known a
    // move would place the inside of the window, not its frame.
    static constexpr int kFrameTries = 40;
    static void fit_once_framed(QWidget* window, int tries) {
        QTimer::singleShot(25, window, [window, tries] {
            if (window->frameGeometry().height() > window->height() || tries <= 0)
                fit(window);
            else
                fit_once_framed(window, tries - 1);
        });
    }

    static void fit(QWidget* window) {
        const QScreen* screen = window->screen();
        if (!screen) return;
        const QRect room = screen->availableGeometry();
        const QSize frame = window->frameGeometry().size() - window->size();
        const QSize size = window->size().boundedTo(room.size() - frame).expandedTo(window->minimumSizeHint());
        if (size != window->size()) window->resize(size);
        const QSize outer = size + frame;
        const QPoint at = window->frameGeometry().topLeft();
        const int x = std::clamp(at.x(), room.left(), std::max(room.left(), room.right() + 1 - outer.width()));
        const int y = std::clamp(at.y(), room.top(), std::max(room.top(), room.bottom() + 1 - outer.height()));
        if (QPoint(x, y) != at) window->move(x, y);
    }

    QWidget* dialog_;
};

}  // namespace

PrintDialog::PrintDialog() : printer_(std::make_shared<QPrinter>(QPrinter::HighResolution)) {}

void PrintDialog::DocumentName(const QString& name) {
    printer_->setDocName(name);
}

void PrintDialog::Document(const QByteArray& pdf) {
    pdf_ = pdf;
    QBuffer buffer;
    QPdfDocument document;
    pages_ = load_pdf(document, buffer, pdf) ? document.pageCount() : 0;
}

void PrintDialog::SetResponder(Responder r) {
    responder = std::move(r);
}

void PrintDialog::SuggestOutputFile() {
    if (!printer_->outputFileName().isEmpty()) return;
    const QString name = printer_->docName().isEmpty() ? QStringLiteral("print") : printer_->docName();
    // A file name ending in .pdf turns the printer into that file: the printer chosen at first stays
    // the system's own (where there is one), and the name waits in the dialog's file field.
    const bool native = printer_->outputFormat() == QPrinter::NativeFormat;
    printer_->setOutputFileName(QDir(UserFilesFolder()).filePath(name + ".pdf"));
    if (native) printer_->setOutputFormat(QPrinter::NativeFormat);
}

void PrintDialog::RememberOutputFolder(const QPrinter& printer) {
    if (printer.outputFormat() == QPrinter::PdfFormat) RememberUserFilesFolder(printer.outputFileName());
}

AsyncOperation<bool> PrintDialog::ShowAsync() {
    AsyncOperation<bool> op;
    // A print to a file starts where the user put the last file, not in the program's working folder.
    SuggestOutputFile();
    if (responder) {
        const bool chosen = responder(*printer_);
        if (chosen) RememberOutputFolder(*printer_);
        op.Complete(chosen);
        return op;
    }
    auto* dialog = new QPrintDialog(printer_.get(), owner_.data());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(owner_ ? Qt::WindowModal : Qt::ApplicationModal);
    if (pages_ > 0) dialog->setMinMax(1, pages_);
    new KeepOnScreen(dialog);
    // The dialog writes into the printer: it is held until the dialog has gone.
    std::shared_ptr<QPrinter> printer = printer_;
    QObject::connect(dialog, &QDialog::finished, dialog, [op, printer](int result) {
        if (result == QDialog::Accepted) RememberOutputFolder(*printer);
        op.Complete(result == QDialog::Accepted);
    });
    QObject::connect(dialog, &QObject::destroyed, [op] { op.Complete(false); });
    dialog->open();
    return op;
}

AsyncOperation<bool> PrintDialog::PrintAsync() {
    AsyncOperation<bool> op;
    std::shared_ptr<QPrinter> printer = printer_;
    ThreadPool::RunAsync([op, printer, pdf = pdf_] {
        bool printed = false;
        try {
            printed = print_pdf(pdf, *printer);
        } catch (...) {
        }
        op.Complete(printed);
    });
    return op;
}

}  // namespace ui
