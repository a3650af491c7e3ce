// The commands of the two address lists (the "列表" menu and the lists' popup) over what the views
// select: copying, deleting, remarks, saving to a list file and address decoding. They change the
// session's UrlList only; the views follow through its models.
#pragma once
#include <QString>

#include <optional>
#include <string>
#include <vector>

#include "urls/url_list.h"

class QTableView;
class QWidget;

namespace qv {

class Lv1Model;
class Prompter;

class ListCommands {
 public:
  // `mainView` (LV1) shows the URL list, `categoryView` (lv2) the category view; boxes open over
  // `window`.
  ListCommands(UrlList& list, Lv1Model& mainRows, QTableView& mainView, QTableView& categoryView, Prompter& prompter,
               QWidget& window)
      : list_(list),
        mainRows_(mainRows),
        mainView_(mainView),
        lv2_(categoryView),
        prompter_(prompter),
        window_(window) {}

  // The selected row of the list shown (its topmost selected row as the view shows it), detached
  // from the list.
  std::optional<SelectionCopy> Selection() const;

  // Copies the address of every selected row of the list shown, one a line, top to bottom as shown.
  void CopyAddress();     // N20
  void CopyPacket();      // N21
  void Delete();          // N23
  void AddRemark();       // N4
  void Save();            // N17
  void DecodeAddress();   // N40

  // An address as text: from UTF-8 when its bytes are UTF-8 text (as the lists show it), else GBK.
  static QString AddressText(const std::string& bytes);
  static void PutOnClipboard(const std::string& address);

  // The list rows behind the selected rows of a view (which may sort and filter), top to bottom as
  // the view shows them.
  static std::vector<std::size_t> SelectedInViewOrder(const QTableView& view);

 private:
  static std::optional<std::size_t> FirstSelected(const QTableView& view);
  static std::vector<bool> SelectedRows(const QTableView& view, std::size_t rows);

  UrlList& list_;
  Lv1Model& mainRows_;
  QTableView& mainView_;
  QTableView& lv2_;
  Prompter& prompter_;
  QWidget& window_;
};

}  // namespace qv
