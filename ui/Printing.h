// The system's print dialog for a PDF document, opened without a nested event loop, and the print of
// that document on the printer chosen there. A test answers the dialog through the responder instead
// of a person.
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
    // The PDF document to print; the dialog offers its pages.
    void Document(const QByteArray& pdf);
    // Shows the dialog; true when the user chose to print, with the printer, its settings and pages.
    AsyncOperation<bool> ShowAsync();
    // Prints the pages chosen on the printer chosen, on a pool thread; false when the document
    // cannot be read or the printer cannot be started.
    AsyncOperation<bool> PrintAsync();

    // Test seam: answers each dialog instead of a person; it may set up the printer (a PDF file, say)
    // and returns true to print, false to cancel.
    using Responder = std::function<bool(QPrinter&)>;
    static void SetResponder(Responder responder);

private:
    // Names the file a print to a file writes, in the folder of the user's files (ui::UserFilesFolder).
    void SuggestOutputFile();
    // A print to a file chosen: its folder is where the next file dialog starts.
    static void RememberOutputFolder(const QPrinter& printer);

    QPointer<QWidget> owner_;
    QByteArray pdf_;
    int pages_ = 0;
    // Shared with the dialog and the print, which may outlive the caller's frame.
    std::shared_ptr<QPrinter> printer_;
};

}  // namespace ui
