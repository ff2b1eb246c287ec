#include "ui/Printing.h"

#include "ui/Threading.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <QPdfDocument>
#include <QPrintDialog>
#include <QPrinter>

#include <algorithm>

namespace ui {

namespace {

PrintDialog::Responder responder;

// Pages are drawn as pictures of this resolution at most: sharp on paper, and an A4 page stays
// a few tens of megabytes in memory.
constexpr int kMaxDotsPerInch = 300;

bool print_pdf(const QByteArray& pdf, QPrinter& printer) {
    QBuffer buffer;
    buffer.setData(pdf);
    if (!buffer.open(QIODevice::ReadOnly)) return false;
    QPdfDocument document;
    document.load(&buffer);
    if (document.status() != QPdfDocument::Status::Ready || document.pageCount() < 1) return false;

    // The document brings its own margins: it is laid on the whole sheet.
    printer.setFullPage(true);
    QPainter painter;
    if (!painter.begin(&printer)) return false;
    const int dpi = std::min(printer.resolution(), kMaxDotsPerInch);
    for (int page = 0; page < document.pageCount(); ++page) {
        if (page > 0 && !printer.newPage()) return false;
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
    return painter.end();
}

}  // namespace

PrintDialog::PrintDialog() : printer_(std::make_shared<QPrinter>(QPrinter::HighResolution)) {}

void PrintDialog::DocumentName(const QString& name) {
    printer_->setDocName(name);
}

void PrintDialog::SetResponder(Responder r) {
    responder = std::move(r);
}

AsyncOperation<bool> PrintDialog::ShowAsync() {
    AsyncOperation<bool> op;
    if (responder) {
        op.Complete(responder(*printer_));
        return op;
    }
    auto* dialog = new QPrintDialog(printer_.get(), owner_.data());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(owner_ ? Qt::WindowModal : Qt::ApplicationModal);
    // The dialog writes into the printer: it is held until the dialog has gone.
    std::shared_ptr<QPrinter> printer = printer_;
    QObject::connect(dialog, &QDialog::finished, dialog, [op, printer](int result) { op.Complete(result == QDialog::Accepted); });
    QObject::connect(dialog, &QObject::destroyed, [op] { op.Complete(false); });
    dialog->open();
    return op;
}

AsyncOperation<bool> PrintDialog::PrintPdfAsync(const QByteArray& pdf) {
    AsyncOperation<bool> op;
    std::shared_ptr<QPrinter> printer = printer_;
    ThreadPool::RunAsync([op, printer, pdf] {
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
