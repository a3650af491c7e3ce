#include "app/ui/list_commands.h"

#include <QClipboard>
#include <QFileInfo>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QPersistentModelIndex>
#include <QTableView>

#include <algorithm>
#include <exception>

#include "app/ui/list_file.h"
#include "app/session/list_models.h"
#include "common/codepage.h"
#include "common/ui/gbk_text.h"
#include "common/ui/prompter.h"
#include "urls/en2cn.h"

namespace qv {

// The selected rows of the view, top to bottom as shown.
static std::vector<int> SelectedViewRows(const QTableView& view) {
  std::vector<int> rows;
  const int count = view.model()->rowCount();
  for (const QItemSelectionRange& range : view.selectionModel()->selection())
    for (int r = std::max(range.top(), 0); r <= range.bottom() && r < count; ++r) rows.push_back(r);
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

std::vector<std::size_t> ListCommands::SelectedInViewOrder(const QTableView& view) {
  std::vector<std::size_t> rows;
  for (int r : SelectedViewRows(view))
    if (const auto source = SourceRowOf(view.model(), r)) rows.push_back(*source);
  return rows;
}

std::optional<std::size_t> ListCommands::FirstSelected(const QTableView& view) {
  const QItemSelection selection = view.selectionModel()->selection();
  std::optional<int> top;
  const int rows = view.model()->rowCount();
  for (const QItemSelectionRange& range : selection) {
    if (range.top() >= rows) continue;
    if (!top || range.top() < *top) top = range.top();
  }
  if (!top) return std::nullopt;
  return SourceRowOf(view.model(), *top);
}

std::vector<bool> ListCommands::SelectedRows(const QTableView& view, std::size_t rows) {
  std::vector<bool> selected(rows, false);
  for (std::size_t r : SelectedInViewOrder(view))
    if (r < rows) selected[r] = true;
  return selected;
}

std::optional<SelectionCopy> ListCommands::Selection() const {
  return list_.LVSLT(FirstSelected(mainView_), FirstSelected(lv2_));
}

QString ListCommands::AddressText(const std::string& bytes) {
  if (IsUtf8WithMultibyte(bytes)) return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  return FromGbk(bytes);
}

void ListCommands::PutOnClipboard(const std::string& address) {
  QGuiApplication::clipboard()->setText(AddressText(address));
}

void ListCommands::CopyAddress() {
  const bool all = list_.ShowingAll();
  const std::vector<std::size_t> rows = SelectedInViewOrder(all ? mainView_ : lv2_);
  if (rows.size() <= 1) {
    if (const auto selection = Selection()) PutOnClipboard(selection->address);
    return;
  }
  QStringList lines;
  for (std::size_t r : rows) {
    if (all && r < list_.Lv1().size()) lines << AddressText(list_.AddressOf(list_.Lv1()[r]));
    else if (!all && r < list_.Lv2().size()) lines << AddressText(list_.Lv2()[r].address);
  }
  QGuiApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
}

void ListCommands::CopyPacket() {
  // The payload text is GBK like every text the capture makes.
  if (const auto selection = Selection(); selection && selection->data)
    QGuiApplication::clipboard()->setText(FromGbk(selection->data->Packet));
}

void ListCommands::Delete() {
  if (list_.ShowingAll()) {
    if (const auto row = FirstSelected(mainView_)) list_.Remove(ListId::LV1, *row);
  } else if (const auto row = FirstSelected(lv2_)) {
    list_.Remove(ListId::Lv2, *row);
  }
}

void ListCommands::AddRemark() {
  if (!list_.ShowingAll()) return;
  const auto row = FirstSelected(mainView_);
  if (!row) return;
  // Rows may come and go while the box is open: the row is followed, not its number.
  const QPersistentModelIndex target(mainRows_.index(static_cast<int>(*row), 0));
  const QString text = prompter_.InputBox(&window_, QStringLiteral("编辑备注"),
                                          QStringLiteral("一般只有需要保存的列表才编辑！"), QString());
  if (target.isValid()) list_.SetRemark(static_cast<std::size_t>(target.row()), ToGbk(text));
}

void ListCommands::Save() {
  const QString path = prompter_.SaveFileName(&window_, QStringLiteral("Save file"),
                                              QStringLiteral("文本文件(*.txt);;列表文件(*.lst);;所有文件(*)"),
                                              QStringLiteral("List.txt"));
  if (path.isEmpty()) return;
  ListFile::Mode mode = ListFile::Mode::Create;
  if (QFileInfo::exists(path)) {
    const BoxAnswer a = prompter_.Message(
        &window_, BoxKind::Information,
        QStringLiteral("文件已经存在，是否覆盖文件？\r\n按\"是\" ------ 覆盖文件\r\n按\"否\" ------ 追加到文件中"),
        BoxButtons::YesNoCancel);
    if (a == BoxAnswer::Yes) mode = ListFile::Mode::Overwrite;
    else if (a == BoxAnswer::No) mode = ListFile::Mode::Append;
    else return;
  }
  try {
    ListFile file;
    file.Open(path, mode);
    const bool all =
        prompter_.Message(&window_, BoxKind::Information,
                          QStringLiteral("选择文件保存方式：\r\n按\"是\" ------ 保存所有地址\r\n按\"否\" ------ 只保存选中的地址"),
                          BoxButtons::YesNo) == BoxAnswer::Yes;
    if (list_.ShowingAll()) {
      const auto& rows = list_.Lv1();
      const std::vector<bool> selected = SelectedRows(mainView_, rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i)
        if (all || selected[i]) file.WriteLine(list_.AddressOf(rows[i]));
    } else {
      const auto& rows = list_.Lv2();
      const std::vector<bool> selected = SelectedRows(lv2_, rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i)
        if (all || selected[i]) file.WriteLine(rows[i].address);
    }
    file.Close();
    prompter_.Message(&window_, BoxKind::Information, QStringLiteral("保存完毕"), BoxButtons::Ok);
  } catch (const std::exception& e) {
    prompter_.Message(&window_, BoxKind::Error, QString::fromLocal8Bit(e.what()), BoxButtons::Ok);
  }
}

void ListCommands::DecodeAddress() {
  if (list_.ShowingAll()) {
    if (const auto row = FirstSelected(mainView_); row && *row < list_.Lv1().size())
      list_.SetAddress(ListId::LV1, *row, qv::DecodeAddress(list_.Lv1Address(*row)));
  } else if (const auto row = FirstSelected(lv2_); row && *row < list_.Lv2().size()) {
    list_.SetAddress(ListId::Lv2, *row, qv::DecodeAddress(list_.Lv2()[*row].address));
  }
}

}  // namespace qv
