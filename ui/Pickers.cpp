#include "ui/Pickers.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QMetaObject>
#include <QStandardPaths>
#include <QTreeView>

namespace ui {

namespace {

FilePicker::Responder responder;
QLocale text_locale = QLocale::system();
// The folder of the file last chosen in a save dialog or a print to a file.
QString last_user_files_folder;

constexpr int kNameColumn = 0;
constexpr int kSizeColumn = 1;
constexpr int kDateColumn = 3;

// The dialog's size and date columns written again in the program's locale ("4 bájt", "4,88 KiB",
// "2026. 12. 09. 18:02"): Qt's own dialog writes them in the system's.
class FileTexts : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        const int column = index.column();
        if (role != Qt::DisplayRole || !files || (column != kSizeColumn && column != kDateColumn))
            return QIdentityProxyModel::data(index, role);
        const QModelIndex source = mapToSource(index);
        if (column == kDateColumn) return text_locale.toString(files->lastModified(source), QLocale::ShortFormat);
        return files->isDir(source) ? QString() : text_locale.formattedDataSize(files->size(source));
    }
};

}  // namespace

QString UserFilesFolder() {
    if (!last_user_files_folder.isEmpty() && QFileInfo(last_user_files_folder).isDir()) return last_user_files_folder;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return !documents.isEmpty() && QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

void RememberUserFilesFolder(const QString& chosen_file) {
    if (!chosen_file.isEmpty()) last_user_files_folder = QFileInfo(chosen_file).absolutePath();
}

QString FilePicker::Folder() const {
    return save_ ? UserFilesFolder() : QString();
}

void FilePicker::TextLocale(const QLocale& locale) {
    text_locale = locale;
}

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
    const bool save = save_;
    if (responder) {
        const QString answer = responder(*this);
        if (save) RememberUserFilesFolder(answer);
        op.Complete(StorageFile(answer));
        return op;
    }
    auto* dialog = new QFileDialog(owner_.data());
    dialog->setProxyModel(new FileTexts(dialog));
    // Qt sizes the columns for short English texts: the program's own get their room, and the names
    // take what is left.
    if (auto* details = dialog->findChild<QTreeView*>()) {
        details->header()->setStretchLastSection(false);
        details->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
        details->header()->setSectionResizeMode(kNameColumn, QHeaderView::Stretch);
    }
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(owner_ ? Qt::WindowModal : Qt::ApplicationModal);
    dialog->setAcceptMode(save_ ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog->setFileMode(save_ ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!choices_.empty()) {
        dialog->setNameFilters(Filters());
        const QStringList& first = choices_.front().second;
        if (save_ && !first.isEmpty() && first.front() != "*") dialog->setDefaultSuffix(first.front().mid(1));
    }
    // A save starts where the user put the last file, not in the program's working folder.
    if (save_) dialog->setDirectory(UserFilesFolder());
    if (!suggested_.isEmpty()) dialog->selectFile(suggested_);
    // Closing the dialog by any way completes the operation once; Complete ignores the second call.
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog, [op, save](const QString& path) {
        if (save) RememberUserFilesFolder(path);
        op.Complete(StorageFile(path));
    });
    QObject::connect(dialog, &QFileDialog::finished, dialog, [op] { op.Complete(StorageFile()); });
    dialog->open();
    return op;
}

}  // namespace ui
