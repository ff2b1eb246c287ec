// Drag and drop between controls: what a drag carries (a text) and what a drop target accepts.
#pragma once

#include <QMimeData>
#include <QString>
#include <QVariant>

#include <vector>

namespace ui {

enum class DataPackageOperation { None, Copy };

// The data of a drag being started; the handler puts the text the drag carries into it.
class DataPackage {
public:
    explicit DataPackage(QMimeData* data) : data_(data) {}
    void SetText(const QString& text) {
        if (data_) data_->setText(text);
    }

private:
    QMimeData* data_;
};

// One row of a list that is being dragged.
struct DragItem {
    QString Content;
    QVariant Tag;
};

class DragItemsStartingEventArgs {
public:
    DragItemsStartingEventArgs(std::vector<DragItem> items, QMimeData* data) : items_(std::move(items)), data_(data) {}
    const std::vector<DragItem>& Items() const { return items_; }
    DataPackage Data() const { return DataPackage(data_); }

private:
    std::vector<DragItem> items_;
    QMimeData* data_;
};

// A drag over or dropped on a target. Nothing can be dropped unless a DragEnter/DragOver handler
// accepts an operation.
class DragEventArgs {
public:
    explicit DragEventArgs(const QMimeData* data) : data_(data) {}
    bool HasText() const { return data_ && data_->hasText(); }
    // The dropped text; empty when the data holds none.
    QString Text() const { return HasText() ? data_->text() : QString(); }
    DataPackageOperation AcceptedOperation() const { return accepted_; }
    void AcceptedOperation(DataPackageOperation value) { accepted_ = value; }

private:
    const QMimeData* data_;
    DataPackageOperation accepted_ = DataPackageOperation::None;
};

}  // namespace ui
