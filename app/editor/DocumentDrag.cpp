// Dragging clients and items from the page's lists onto the preview.
#include "app/editor/DocumentPage.h"

#include "core/Core.h"

namespace Tavrin {

void DocumentPage::ConnectDrag(ui::ListView* list) {
    list->CanDragItems(true);
    list->DragItemsStarting.Add(this, [this](ui::ListView* sender, ui::DragItemsStartingEventArgs& args) {
        OnDragItemsStarting(sender, args);
    });
}

void DocumentPage::ConnectDrag(ui::WebView2* preview) {
    auto over = [this](QObject* sender, ui::DragEventArgs& args) { OnDragOver(sender, args); };
    preview->DragEnter.Add(this, over);
    preview->DragOver.Add(this, over);
    preview->Drop.Add(this, [this](QObject* sender, ui::DragEventArgs& args) { OnDocumentDrop(sender, args); });
}

// Only the first row travels: its record name, as text.
void DocumentPage::OnDragItemsStarting(QObject*, ui::DragItemsStartingEventArgs& args) {
    if (args.Items().empty()) return;
    args.Data().SetText(args.Items().front().Tag.toString());
}

// Only the preview takes a drop; the lists and the pivot take none.
void DocumentPage::OnDragOver(QObject* sender, ui::DragEventArgs& args) {
    if (sender == previewWebView) args.AcceptedOperation(ui::DataPackageOperation::Copy);
}

// The text names a client while the clients page shows, an item (by record name or by name)
// otherwise. A drop without text changes nothing.
ui::Action DocumentPage::OnDocumentDrop(QObject*, ui::DragEventArgs args) {
    if (!args.HasText()) co_return;
    const std::string text = ui::utf8(args.Text());
    ApplyRecordToDocument(recordsPivot->SelectedIndex() == 0, text);
}

}  // namespace Tavrin
