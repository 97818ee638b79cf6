// The erase tool against the virtual handset: which boxes the query enables, the box rules as the
// user clicks them, what the handset is asked to erase, how a failed command and an empty selection
// are shown, and that closing the tool while a chip erases does not wait for the erase.
#include <QCheckBox>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <mutex>

#include "CaptionProgressCtrl.h"
#include "EraseFlashDlg.h"
#include "FaceButton.h"
#include "Screenshot.h"
#include "ToolsUiTestSupport.h"
#include "download/JobObserver.h"

using namespace toolsui;

Q_DECLARE_METATYPE(vsim::SSimulatorOptions)

namespace {

constexpr int kJobTimeoutMs = 20000;

vsim::SSimulatorOptions Chips(uint8_t cs0, uint32_t cs0Size, uint8_t cs2, uint32_t cs2Size) {
    vsim::SSimulatorOptions o = FlashWriterOptions();
    o.chips = {{{cs0, cs0Size}, {0, 0}, {cs2, cs2Size}, {0, 0}}};
    return o;
}

class CLogText : public ILogSink {
public:
    void AppendLog(const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_text += text;
    }
    std::string Text() {
        std::lock_guard lock(m_mutex);
        return m_text;
    }

private:
    std::mutex m_mutex;
    std::string m_text;
};

// Shows the tool and waits for its query.
bool OpenAndQuery(CEraseFlashDlg& tool) {
    QSignalSpy queried(&tool, &CEraseFlashDlg::QueryFinished);
    tool.show();
    return queried.count() > 0 || queried.wait(kJobTimeoutMs);
}

bool Erase(CEraseFlashDlg& tool) {
    QSignalSpy erased(&tool, &CEraseFlashDlg::EraseFinished);
    QTest::mouseClick(tool.StartButton(), Qt::LeftButton);
    return erased.count() > 0 || erased.wait(kJobTimeoutMs);
}

} // namespace

class EraseFlashDlgTest : public QObject {
    Q_OBJECT
private slots:
    void queryEnablesFittedChipSelects_data();
    void queryEnablesFittedChipSelects();
    void threeAreasBecomeTheWholeChip();
    void wholeChipLeavesItsOldAreaTicksOut();
    void onlyDbWithPart19OnCs2();
    void failedEraseIsShownWithItsCode();
    void nothingTickedErasesNothing();
    void noLinkLeavesEverythingDisabled();
    void closingWhileAChipErasesDoesNotWait_data();
    void closingWhileAChipErasesDoesNotWait();
};

void EraseFlashDlgTest::queryEnablesFittedChipSelects_data() {
    QTest::addColumn<vsim::SSimulatorOptions>("options");
    QTest::addColumn<int>("dropQueryAfter"); // -1: no fault; else the QueryFlashId replies let through
    QTest::addColumn<QList<bool>>("fitted");
    QTest::newRow("CS#0 and CS#2 fitted")
        << Chips(19, 8u << 20, 18, 8u << 20) << -1 << QList<bool>{true, false, true, false};
    QTest::newRow("only CS#2") << Chips(0, 0, 19, 8u << 20) << -1 << QList<bool>{false, false, true, false};
    QTest::newRow("part 1 is no flash")
        << Chips(1, 8u << 20, 18, 8u << 20) << -1 << QList<bool>{false, false, true, false};
    QTest::newRow("CS#2 does not answer")
        << Chips(19, 8u << 20, 18, 8u << 20) << 2 << QList<bool>{true, false, false, false};
}

void EraseFlashDlgTest::queryEnablesFittedChipSelects() {
    QFETCH(vsim::SSimulatorOptions, options);
    QFETCH(int, dropQueryAfter);
    QFETCH(QList<bool>, fitted);
    CHandset h(ESimLink::Uart, options);
    QVERIFY(h.IsOpen());
    if (dropQueryAfter >= 0) {
        h.Host().SetFault(vsim::EFault::DropReply,
                          {.after = uint32_t(dropQueryAfter), .times = 1, .cid = vsim::cmd::QueryFlashId});
    }
    CEraseFlashDlg tool(h.Monitor());
    QVERIFY(!tool.StartButton()->isEnabled()); // until the query has ended
    QVERIFY(OpenAndQuery(tool));
    QCOMPARE(h.Commands(vsim::cmd::QueryFlashId).size(), size_t(4));
    const TE_ERASE_ITEM chipSelects[4] = {ERASE_CS0, ERASE_CS1, ERASE_CS2, ERASE_CS3};
    for (int cs = 0; cs < 4; ++cs) {
        QCOMPARE(tool.Box(chipSelects[cs])->isEnabled(), fitted[cs]);
    }
    for (TE_ERASE_ITEM area : {ERASE_BOOT, ERASE_MAIN, ERASE_CDRIVE}) {
        QCOMPARE(tool.Box(area)->isEnabled(), fitted[0]);
    }
    for (TE_ERASE_ITEM area : {ERASE_DDRIVE, ERASE_DB, ERASE_MEDIA}) {
        QCOMPARE(tool.Box(area)->isEnabled(), fitted[2]);
    }
    QVERIFY(tool.StartButton()->isEnabled());
    QVERIFY(tool.StatusText().isEmpty());
    if (dropQueryAfter < 0 && fitted[0] && fitted[2]) {
        testsupport::SaveScreenshot(&tool, QStringLiteral("tools_ui_erase_tool_idle"));
    }
}

void EraseFlashDlgTest::threeAreasBecomeTheWholeChip() {
    CHandset h;
    CEraseFlashDlg tool(h.Monitor());
    QVERIFY(OpenAndQuery(tool));
    for (TE_ERASE_ITEM area : {ERASE_BOOT, ERASE_MAIN, ERASE_CDRIVE}) {
        QTest::mouseClick(tool.Box(area), Qt::LeftButton, {}, QPoint(8, tool.Box(area)->height() / 2));
    }
    QVERIFY(tool.Box(ERASE_CS0)->isChecked());
    for (TE_ERASE_ITEM area : {ERASE_BOOT, ERASE_MAIN, ERASE_CDRIVE}) {
        QVERIFY(!tool.Box(area)->isChecked());
        QVERIFY(!tool.Box(area)->isEnabled());
    }
    testsupport::SaveScreenshot(&tool, QStringLiteral("tools_ui_erase_tool_cs0_ticked"));

    h.Host().ClearRecord();
    QVERIFY(Erase(tool));
    const vsim::SHandsetSnapshot record = h.Host().Snapshot();
    QCOMPARE(record.erases.size(), size_t(1));
    QVERIFY(record.erases[0].wholeChip);
    QCOMPARE(record.erases[0].start, 0u);
    QCOMPARE(h.Commands(vsim::cmd::EraseFlashAll).size(), size_t(1));
    QCOMPARE(h.Commands(vsim::cmd::EraseFlashBlock).size(), size_t(0));
    // idle again: "0%" at position 0, the timer off, Start usable, the ticks kept
    QCOMPARE(tool.Progress()->ShownText(), QStringLiteral("0%"));
    QCOMPARE(tool.Progress()->GetPos(), 0);
    QVERIFY(!tool.IsEraseTimerActive());
    QVERIFY(tool.StartButton()->isEnabled());
    QVERIFY(tool.Box(ERASE_CS0)->isChecked());
    QVERIFY(tool.StatusText().isEmpty());
}

void EraseFlashDlgTest::wholeChipLeavesItsOldAreaTicksOut() {
    CHandset h(ESimLink::Usb, Chips(19, 8u << 20, 19, 8u << 20));
    CEraseFlashDlg tool(h.Monitor());
    QVERIFY(OpenAndQuery(tool));
    tool.Box(ERASE_BOOT)->click();
    tool.Box(ERASE_CS0)->click();   // boot stays ticked underneath, but disabled
    tool.Box(ERASE_MEDIA)->click(); // an area of CS#2, which is not erased whole
    QVERIFY(!tool.Box(ERASE_BOOT)->isEnabled());
    h.Host().ClearRecord();
    QVERIFY(Erase(tool));
    const vsim::SHandsetSnapshot record = h.Host().Snapshot();
    QCOMPARE(record.erases.size(), size_t(2));
    QVERIFY(record.erases[0].wholeChip);
    QCOMPARE(record.erases[0].start, 0u);
    QVERIFY(!record.erases[1].wholeChip);
    QCOMPARE(record.erases[1].start, 0x08100000u); // media with part 19 on CS#2
    QCOMPARE(record.erases[1].end, 0x08700000u);
}

void EraseFlashDlgTest::onlyDbWithPart19OnCs2() {
    CHandset h(ESimLink::Uart, Chips(18, 8u << 20, 19, 8u << 20));
    CEraseFlashDlg tool(h.Monitor());
    QVERIFY(OpenAndQuery(tool));
    tool.Box(ERASE_DB)->click();
    h.Host().ClearRecord();
    QVERIFY(Erase(tool));
    const std::vector<vsim::SCommandRecord> blocks = h.Commands(vsim::cmd::EraseFlashBlock);
    QCOMPARE(blocks.size(), size_t(1));
    QCOMPARE(blocks[0].address, 0x08700000u);
    QCOMPARE(blocks[0].endAddress, 0x08800000u);
    QCOMPARE(h.Commands(vsim::cmd::EraseFlashAll).size(), size_t(0));
    QCOMPARE(tool.Progress()->ShownText(), QStringLiteral("0%"));
}

void EraseFlashDlgTest::failedEraseIsShownWithItsCode() {
    // A 7 MB part on CS#2 that says it is part 19: its media area fits, its DB area lies past the end.
    CHandset h(ESimLink::Uart, Chips(19, 8u << 20, 19, 7u << 20));
    CLogText log;
    CEraseFlashDlg tool(h.Monitor(), nullptr, &log);
    QVERIFY(OpenAndQuery(tool));
    tool.Box(ERASE_DB)->click();
    tool.Box(ERASE_MEDIA)->click(); // inside the chip: erased all the same
    QVERIFY(Erase(tool));
    QCOMPARE(h.Commands(vsim::cmd::EraseFlashBlock).size(), size_t(2));
    const QString expected =
        QStringLiteral("Error occurred while erasing ostra DB block [0x08700000-0x08800000] => code[-30]");
    QCOMPARE(tool.StatusText(), expected);
    QVERIFY(QString::fromStdString(log.Text()).contains(expected));
    QCOMPARE(tool.LastErase().Failures(), 1);
    QCOMPARE(tool.Progress()->ShownText(), QStringLiteral("0%"));
    testsupport::SaveScreenshot(&tool, QStringLiteral("tools_ui_erase_tool_failure"));
}

void EraseFlashDlgTest::nothingTickedErasesNothing() {
    CHandset h;
    CEraseFlashDlg tool(h.Monitor());
    QVERIFY(OpenAndQuery(tool));
    h.Host().ClearRecord();
    CMessageBoxCatcher boxes;
    QTest::mouseClick(tool.StartButton(), Qt::LeftButton);
    QCOMPARE(boxes.Texts, QStringList{QStringLiteral("Please select a flash memory to erase.")});
    QCOMPARE(boxes.Icons.value(0), QMessageBox::Warning);
    QVERIFY(!tool.IsJobRunning());
    QTest::qWait(50);
    QCOMPARE(h.Host().Snapshot().commands.size(), size_t(0));
}

void EraseFlashDlgTest::noLinkLeavesEverythingDisabled() {
    CEraseFlashDlg tool(nullptr);
    QVERIFY(OpenAndQuery(tool));
    for (TE_ERASE_ITEM item : ERASE_ITEMS) {
        QVERIFY(!tool.Box(item)->isEnabled());
    }
    QVERIFY(!tool.StartButton()->isEnabled());
    QVERIFY(!tool.StatusText().isEmpty());
}

void EraseFlashDlgTest::closingWhileAChipErasesDoesNotWait_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<ESimLink>("link");
    QTest::newRow("close box, UART") << "close" << ESimLink::Uart;
    QTest::newRow("Esc, USB") << "escape" << ESimLink::Usb;
    QTest::newRow("destroyed, UART") << "destroy" << ESimLink::Uart;
}

void EraseFlashDlgTest::closingWhileAChipErasesDoesNotWait() {
    QFETCH(QString, how);
    QFETCH(ESimLink, link);
    vsim::SSimulatorOptions options = FlashWriterOptions();
    options.eraseUsPer64K = vsim::kRealisticEraseUsPer64K; // an 8 MB chip takes 32 s
    CHandset h(link, options);
    auto* tool = new CEraseFlashDlg(h.Monitor());
    QVERIFY(OpenAndQuery(*tool));
    tool->Box(ERASE_CS0)->click();
    QTest::mouseClick(tool->StartButton(), Qt::LeftButton);
    QVERIFY(h.Host().WaitUntil(
        [](const vsim::SHandsetSnapshot& s) {
            for (const vsim::SCommandRecord& r : s.commands) {
                if (r.cid == vsim::cmd::EraseFlashAll) {
                    return true;
                }
            }
            return false;
        },
        std::chrono::milliseconds(kJobTimeoutMs)));
    QVERIFY(tool->IsJobRunning());
    if (how == QLatin1String("close")) {
        // one tick of the erase timer: the message on the bar, the bar a step on
        QTRY_COMPARE_WITH_TIMEOUT(tool->Progress()->ShownText(),
                                  QStringLiteral("CS #0 flash memory is erasing.."), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(tool->Progress()->GetPos() > 0, 5000);
        testsupport::SaveScreenshot(tool, QStringLiteral("tools_ui_erase_tool_erasing"));
    }

    QElapsedTimer clock;
    clock.start();
    if (how == QLatin1String("destroy")) {
        delete tool;
        tool = nullptr;
    } else {
        QSignalSpy finished(tool, &QDialog::finished);
        if (how == QLatin1String("close")) {
            tool->close();
        } else {
            QTest::keyClick(tool, Qt::Key_Escape);
        }
        // the close finishes once the job has stopped, not when the 32 s erase is over
        QVERIFY(finished.count() > 0 || finished.wait(10000));
        QVERIFY(!tool->isVisible());
        QCOMPARE(tool->result(), int(QDialog::Rejected));
        QVERIFY(!tool->IsJobRunning());
        delete tool;
    }
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
}

QTEST_MAIN(EraseFlashDlgTest)
#include "EraseFlashDlgTest.moc"
