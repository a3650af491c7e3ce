// Packet rows whose payloads live in the spill file behave, to the user, exactly as rows kept in
// memory: the same cells and colours, the same clipboard text from both copy commands, the same
// inspector text and the same list file, over a 100,000-row session. And a spill file that cannot be
// written is reported once while the rows keep their payloads in memory.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QPlainTextEdit>
#include <QTableView>

#include <signal.h>
#include <sys/resource.h>

#include "app/session/list_models.h"
#include "packets/ui/packet_inspector.h"
#include "tests/ui/ui_support.h"

namespace qv::testing {
namespace {

// Row i of the session: payloads of every kind the frame handler makes (empty, NUL markers, GBK,
// UTF-8, control bytes, ".flv" at the end, a full 1460-byte segment), IPv4 and IPv6 peers.
PacketRowData MakeRow(int i) {
  std::string payload;
  switch (i % 7) {
    case 0: payload = "GET /v/" + std::to_string(i) + ".flv"; break;
    case 1: payload = ""; break;
    case 2: payload = std::string("\x01\x02\xA5\xFE\xA5\xFEtail", 10) + std::to_string(i); break;
    case 3: payload = "\xC4\xE3\xBA\xC3 GBK " + std::to_string(i); break;
    case 4: payload = "caf\xC3\xA9 utf-8 " + std::to_string(i); break;
    case 5: payload = std::string(1460, static_cast<char>('a' + i % 26)) + "\r\n" + std::to_string(i); break;
    default: payload = "HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\n\r\n" + std::to_string(i); break;
  }
  const std::string remote = i % 5 == 0 ? "[2001:db8::" + std::to_string(i % 9999) + "]:443"
                                        : "10.0." + std::to_string(i % 256) + ".1:" + std::to_string(1024 + i % 60000);
  auto record = std::make_shared<const LVDATA>(LVDATA{remote, payload});
  return PacketRowData{i % 3 ? "TCP" : "UDP", i % 2 ? Direction::Outbound : Direction::Inbound, payload,
                       std::to_string(payload.size()), record};
}

class PacketSpillTest : public WindowTest {
 protected:
  // A second window over the same kind of session, its rows kept in memory.
  std::unique_ptr<TForm1> MemoryForm() {
    auto form = std::make_unique<TForm1>(Net(), memoryPrompter_, TForm1Options::Offline(dir_.path()));
    form->adapterRetryTimer_->stop();
    form->Session().UseSpillStore(nullptr);
    return form;
  }
  static void Feed(TForm1& form, int rows) {
    form.findChild<QAction*>(QStringLiteral("N34"))->trigger();
    for (int i = 0; i < rows; ++i) form.Sink().PacketFound(MakeRow(i));
    form.Pump().DrainAll();
  }
  static void Select(TForm1& form, std::initializer_list<int> rows) {
    form.mainListView_->clearSelection();
    for (int r : rows)
      form.mainListView_->selectionModel()->select(form.mainListView_->model()->index(r, 0),
                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  static QString Clip() { return QGuiApplication::clipboard()->text(); }
  QByteArray Save(TForm1& form, ScriptedPrompter& prompter, const QString& name, bool all) {
    prompter.saveName = dir_.path() + "/" + name;
    prompter.answers = {all ? BoxAnswer::Yes : BoxAnswer::No, BoxAnswer::Ok};
    form.findChild<QAction*>(QStringLiteral("N17"))->trigger();
    QFile f(prompter.saveName);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name.toStdString();
    return f.readAll();
  }

  ScriptedPrompter memoryPrompter_;
};

TEST_F(PacketSpillTest, ASpilledSessionShowsCopiesInspectsAndSavesAsTheInMemoryOne) {
  constexpr int kRows = 100000;
  TForm1& spilled = Form();
  ASSERT_NE(spilled.Session().Spill(), nullptr);
  auto memory = MemoryForm();
  Feed(spilled, kRows);
  Feed(*memory, kRows);
  ASSERT_EQ(spilled.List().Lv1().size(), static_cast<std::size_t>(kRows));
  ASSERT_EQ(memory->List().Lv1().size(), static_cast<std::size_t>(kRows));
  // The rows really are in the file, not in memory.
  EXPECT_TRUE(spilled.List().Lv1()[5].spilled.addressSpilled);
  EXPECT_TRUE(spilled.List().Lv1()[5].cells[1].empty());
  EXPECT_EQ(spilled.List().Lv1()[5].data, nullptr);
  EXPECT_GT(spilled.Session().Spill()->Committed(), 100u * kRows);

  const std::vector<int> sample = {0, 1, 2, 3, 4, 5, 6, 7, 12345, 50000, 77777, kRows - 2, kRows - 1};
  Lv1Model* spilledModel = &spilled.Session().Lv1Rows();
  Lv1Model* memoryModel = &memory->Session().Lv1Rows();
  for (int r : sample) {
    SCOPED_TRACE(r);
    for (int c = 0; c < 4; ++c)
      for (int role : {int(Qt::DisplayRole), int(Qt::ForegroundRole)})
        EXPECT_EQ(spilledModel->index(r, c).data(role), memoryModel->index(r, c).data(role)) << c << "/" << role;
    // The quick filter's text and the bytes sorting compares: the whole payload.
    std::string a, b;
    EXPECT_EQ(spilledModel->FilterText(r, a), memoryModel->FilterText(r, b));
    EXPECT_EQ(spilledModel->FilterText(r, a), MakeRow(r).payload);
    EXPECT_EQ(spilledModel->index(r, 2).data(Qt::ToolTipRole), memoryModel->index(r, 2).data(Qt::ToolTipRole));

    // Both copy commands.
    for (const char* command : {"N20", "N21"}) {
      Select(spilled, {r});
      spilled.findChild<QAction*>(QString::fromLatin1(command))->trigger();
      const QString fromSpill = Clip();
      Select(*memory, {r});
      memory->findChild<QAction*>(QString::fromLatin1(command))->trigger();
      EXPECT_EQ(fromSpill, Clip()) << command;
    }

    // The inspector, as text and as hex dump.
    for (TForm1* form : {&spilled, memory.get()}) {
      Select(*form, {r});
      form->findChild<QAction*>(QStringLiteral("N27"))->trigger();
      ASSERT_NE(form->Inspector(), nullptr);
    }
    EXPECT_EQ(spilled.Inspector()->FAddress, memory->Inspector()->FAddress);
    EXPECT_EQ(spilled.Inspector()->FRemote, memory->Inspector()->FRemote);
    EXPECT_EQ(spilled.Inspector()->FPacket, MakeRow(r).record->Packet);
    EXPECT_EQ(spilled.Inspector()->packetTextView_->toPlainText(), memory->Inspector()->packetTextView_->toPlainText());
    EXPECT_EQ(spilled.Inspector()->packetTextView_->textCursor().selectedText(),
              memory->Inspector()->packetTextView_->textCursor().selectedText());
    spilled.Inspector()->hexTextBox_->click();
    memory->Inspector()->hexTextBox_->click();
    EXPECT_EQ(spilled.Inspector()->packetTextView_->toPlainText(), memory->Inspector()->packetTextView_->toPlainText());
  }

  // Copying several rows' addresses at once.
  Select(spilled, {1, 5, 77777});
  spilled.findChild<QAction*>(QStringLiteral("N20"))->trigger();
  const QString several = Clip();
  Select(*memory, {1, 5, 77777});
  memory->findChild<QAction*>(QStringLiteral("N20"))->trigger();
  EXPECT_EQ(several, Clip());
  EXPECT_TRUE(several.contains(QString::fromStdString(MakeRow(77777).payload)));

  // The list file: every row, then a few selected ones.
  EXPECT_EQ(Save(spilled, prompter_, "spilled-all.txt", true), Save(*memory, memoryPrompter_, "memory-all.txt", true));
  Select(spilled, {3, 5, 77777});
  Select(*memory, {3, 5, 77777});
  const QByteArray some = Save(spilled, prompter_, "spilled-some.txt", false);
  EXPECT_EQ(some, Save(*memory, memoryPrompter_, "memory-some.txt", false));
  EXPECT_TRUE(some.contains(QByteArray::fromStdString(MakeRow(3).payload)));

  // Decoding a spilled row's cell replaces the cell as in memory; deleting it takes the same row away.
  for (TForm1* form : {&spilled, memory.get()}) {
    Select(*form, {3});
    form->findChild<QAction*>(QStringLiteral("N40"))->trigger();
    Select(*form, {4});
    form->findChild<QAction*>(QStringLiteral("N23"))->trigger();
  }
  for (int r : {2, 3, 4}) {
    EXPECT_EQ(spilledModel->index(r, 2).data(), memoryModel->index(r, 2).data()) << r;
    std::string a, b;
    EXPECT_EQ(spilledModel->FilterText(r, a), memoryModel->FilterText(r, b)) << r;
  }
  EXPECT_EQ(spilled.List().Lv1().size(), static_cast<std::size_t>(kRows - 1));
}

// The spill file stops taking writes (the file-size limit stands in for a full disk): the window says
// so once, and every row, before and after, still shows and copies its whole payload.
TEST_F(PacketSpillTest, AFullSpillFileIsToldOnceAndRowsKeepTheirPayloads) {
  TForm1& form = Form();
  form.findChild<QAction*>(QStringLiteral("N34"))->trigger();
  // A store of its own, so that the limit below falls at a known offset.
  form.Session().UseSpillStore(std::shared_ptr<SpillStore>(SpillStore::Open(dir_.path().toStdString())));
  QCoreApplication::processEvents();
  prompter_.boxes.clear();  // what start-up showed
  for (int i = 0; i < 50; ++i) form.Sink().PacketFound(MakeRow(i));
  const std::uint64_t before = form.Session().Spill()->Committed();

  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldSignal = ::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = old;
  limit.rlim_cur = before + 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  for (int i = 50; i < 100; ++i) form.Sink().PacketFound(MakeRow(i));
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldSignal);

  ASSERT_TRUE(WaitFor([&] { return form.List().Lv1().size() == 100u && !prompter_.boxes.empty(); }));
  QCoreApplication::processEvents();
  ASSERT_EQ(prompter_.boxes.size(), 1u);
  EXPECT_EQ(prompter_.boxes[0].kind, BoxKind::Warning);
  EXPECT_TRUE(prompter_.boxes[0].text.contains(QStringLiteral("内存")));
  EXPECT_TRUE(form.Session().Spill()->Failed());

  Lv1Model* model = &form.Session().Lv1Rows();
  int inMemory = 0;
  for (int i = 0; i < 100; ++i) {
    std::string scratch;
    EXPECT_EQ(model->FilterText(i, scratch), MakeRow(i).payload) << i;
    const auto record = form.List().RecordOf(form.List().Lv1()[static_cast<std::size_t>(i)]);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->Remote, MakeRow(i).record->Remote) << i;
    EXPECT_EQ(record->Packet, MakeRow(i).payload) << i;
    if (!form.List().Lv1()[static_cast<std::size_t>(i)].spilled.present) ++inMemory;
  }
  EXPECT_GE(inMemory, 45);  // those after the limit (a short one may still have fitted)
  EXPECT_EQ(prompter_.boxes.size(), 1u);
}

}  // namespace
}  // namespace qv::testing
