// File pickers: a file dialog of the desktop, opened without a nested event loop; the chosen file
// comes through an awaitable. A test answers them through the responder instead of a person.
#pragma once

#include "ui/Action.h"

#include <QLocale>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace ui {

// A picked file; an empty one (false) when the user cancelled.
class StorageFile {
public:
    StorageFile() = default;
    explicit StorageFile(QString path) : path_(std::move(path)) {}
    explicit operator bool() const { return !path_.isEmpty(); }
    QString Path() const { return path_; }
    // The file's name without its folder.
    QString Name() const;

private:
    QString path_;
};

class FilePicker {
public:
    virtual ~FilePicker() = default;
    // The window the dialog belongs to.
    void Owner(QWidget* window) { owner_ = window; }
    QWidget* Owner() const { return owner_; }
    bool IsSave() const { return save_; }
    // Name patterns offered, as Qt file dialog filters ("Files (*.csv)").
    QStringList Filters() const;
    QString SuggestedFileName() const { return suggested_; }
    // The folder a save dialog starts in (see UserFilesFolder); empty for an open dialog.
    QString Folder() const;

    // Test seam: answers each picker instead of the dialog; a path picks it, an empty text cancels.
    using Responder = std::function<QString(const FilePicker&)>;
    static void SetResponder(Responder responder);
    // The locale the dialogs write file sizes and times in: the program's language, where Qt's own
    // dialog takes the system's.
    static void TextLocale(const QLocale& locale);

protected:
    explicit FilePicker(bool save) : save_(save) {}
    AsyncOperation<StorageFile> pick();

    QPointer<QWidget> owner_;
    bool save_;
    // Each entry is a label with its extensions (".csv").
    std::vector<std::pair<QString, QStringList>> choices_;
    QString suggested_;
};

// The folder where the user's own files are put (a saved PDF, an export file, a print to a file):
// the folder of the file last chosen for one in this run, the user's documents folder before that.
QString UserFilesFolder();
// Remembers the folder of `chosen_file` for the next dialog.
void RememberUserFilesFolder(const QString& chosen_file);

class FileOpenPicker : public FilePicker {
public:
    FileOpenPicker() : FilePicker(false) {}
    // Extensions with their dot (".csv"); "*" for any file.
    void FileTypeFilter(const QStringList& extensions);
    AsyncOperation<StorageFile> PickSingleFileAsync() { return pick(); }
};

class FileSavePicker : public FilePicker {
public:
    FileSavePicker() : FilePicker(true) {}
    void FileTypeChoice(const QString& label, const QStringList& extensions);
    void SuggestedFileName(const QString& name) { suggested_ = name; }
    AsyncOperation<StorageFile> PickSaveFileAsync() { return pick(); }
};

}  // namespace ui
