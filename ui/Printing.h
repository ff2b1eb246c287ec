// The system's print dialog, opened without a nested event loop, and printing a PDF document on
// the printer chosen there. A test answers the dialog through the responder instead of a person.
#pragma once

#include "ui/Action.h"

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QPrinter;

namespace ui {

class PrintDialog {
public:
    PrintDialog();
    // The window the dialog belongs to.
    void Owner(QWidget* window) { owner_ = window; }
    // The name of the print job, and of the file when the user prints to one.
    void DocumentName(const QString& name);
    // Shows the dialog; true when the user chose to print, with the printer and its settings.
    AsyncOperation<bool> ShowAsync();
    // Prints every page of the PDF document `pdf` on the printer chosen, on a pool thread; false when
    // the document cannot be read or the printer cannot be started.
    AsyncOperation<bool> PrintPdfAsync(const QByteArray& pdf);

    // Test seam: answers each dialog instead of a person; it may set up the printer (a PDF file, say)
    // and returns true to print, false to cancel.
    using Responder = std::function<bool(QPrinter&)>;
    static void SetResponder(Responder responder);

private:
    QPointer<QWidget> owner_;
    // Shared with the dialog and the print, which may outlive the caller's frame.
    std::shared_ptr<QPrinter> printer_;
};

}  // namespace ui
