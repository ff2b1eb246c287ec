#include "ui/Pickers.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMetaObject>

namespace ui {

namespace {

FilePicker::Responder responder;

}  // namespace

QString StorageFile::Name() const {
    return QFileInfo(path_).fileName();
}

QStringList FilePicker::Filters() const {
    QStringList filters;
    for (const auto& [label, extensions] : choices_) {
        QStringList patterns;
        for (const QString& extension : extensions) patterns << (extension == "*" ? QStringLiteral("*") : "*" + extension);
        filters << QStringLiteral("%1 (%2)").arg(label, patterns.join(' '));
    }
    return filters;
}

void FilePicker::SetResponder(Responder r) {
    responder = std::move(r);
}

void FileOpenPicker::FileTypeFilter(const QStringList& extensions) {
    choices_.clear();
    QStringList shown;
    for (const QString& extension : extensions) shown << extension;
    choices_.emplace_back(shown.join(", "), extensions);
}

void FileSavePicker::FileTypeChoice(const QString& label, const QStringList& extensions) {
    choices_.emplace_back(label, extensions);
}

AsyncOperation<StorageFile> FilePicker::pick() {
    AsyncOperation<StorageFile> op;
    if (responder) {
        const QString answer = responder(*this);
        op.Complete(StorageFile(answer));
        return op;
    }
    auto* dialog = new QFileDialog(owner_.data());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(owner_ ? Qt::WindowModal : Qt::ApplicationModal);
    dialog->setAcceptMode(save_ ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog->setFileMode(save_ ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!choices_.empty()) {
        dialog->setNameFilters(Filters());
        const QStringList& first = choices_.front().second;
        if (save_ && !first.isEmpty() && first.front() != "*") dialog->setDefaultSuffix(first.front().mid(1));
    }
    if (!suggested_.isEmpty()) dialog->selectFile(suggested_);
    // Closing the dialog by any way completes the operation once; Complete ignores the second call.
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, [op](const QString& path) { op.Complete(StorageFile(path)); });
    QObject::connect(dialog, &QFileDialog::finished, dialog, [op] { op.Complete(StorageFile()); });
    dialog->open();
    return op;
}

}  // namespace ui
